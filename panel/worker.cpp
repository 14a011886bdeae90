#include "panel/worker.h"

#include <exception>

#include "panel/panel_logic.h"

namespace vx::panel {

Worker::Worker(Reports reports) : reports_(std::move(reports)), thread_([this] { run(); }) {}

Worker::~Worker() {
  stop();
  join();
}

void Worker::post(std::function<void()> action) {
  {
    const std::lock_guard lock(mutex_);
    if (stopping_) return;
    queue_.push_back(std::move(action));
  }
  wake_.notify_all();
}

void Worker::resume() {
  {
    const std::lock_guard lock(mutex_);
    waiting_for_resume_ = false;
  }
  wake_.notify_all();
}

void Worker::stop() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
    queue_.clear();
  }
  wake_.notify_all();
}

bool Worker::stopping() const {
  const std::lock_guard lock(mutex_);
  return stopping_;
}

void Worker::join() {
  if (thread_.joinable()) thread_.join();
}

void Worker::run() {
  for (;;) {
    std::function<void()> action;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || (!queue_.empty() && !waiting_for_resume_); });
      if (stopping_) return;
      action = std::move(queue_.front());
      queue_.pop_front();
    }
    bool failed = true;
    std::string message;
    try {
      action();
      failed = false;
    } catch (const Stopped&) {
      return;  // between two frames, for an end: nothing to tell
    } catch (const std::exception& error) {
      message = error.what();
    } catch (...) {
      message = "an unknown error";
    }
    if (failed) {
      const std::lock_guard lock(mutex_);
      waiting_for_resume_ = true;
    }
    if (reports_.ended) reports_.ended(failed, message);
  }
}

}  // namespace vx::panel
