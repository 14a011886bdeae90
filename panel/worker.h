#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace vx::panel {

// Runs the panel's actions on a thread of its own, one at a time and whole, in the order they were
// posted, so that the window's thread only draws and queues. What it reports comes on the
// worker's thread; the window moves it to its own.
class Worker {
 public:
  struct Reports {
    // An action ended, done or failed (`message` says why). After a failure the
    // worker waits for `resume` (the window shows the failure first, as it did when the action
    // ran on its own thread), so nothing queued behind it runs under the message.
    std::function<void(bool failed, const std::string& message)> ended;
  };

  explicit Worker(Reports reports);
  ~Worker();  // stops and joins
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Queues `action`; its end is reported in the order it was posted. From any thread; ignored
  // once stopping.
  void post(std::function<void()> action);
  // After a failure was shown: the next queued action may run.
  void resume();
  // Drops what is queued and asks the action in progress to stop at its next frame (the panel
  // logic's stop check looks at `stopping`); returns at once.
  void stop();
  bool stopping() const;
  // Waits until the thread has ended: after `stop`, the frame in progress finishes first.
  void join();

 private:
  void run();

  Reports reports_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;

  std::deque<std::function<void()>> queue_;
  bool stopping_ = false;
  bool waiting_for_resume_ = false;
  std::thread thread_;  // last: starts once the rest is made
};

}  // namespace vx::panel
