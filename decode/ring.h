#pragma once

#include <cstddef>
#include <deque>
#include <utility>

#include "decode/decoder.h"

namespace vx::decode {

// The last accesses of a session, at most `capacity` of them, each numbered from the session's
// first; with where each action began and where the port failed.
class AccessRing {
 public:
  explicit AccessRing(std::size_t capacity) : capacity_(capacity) {}

  void push(const Access& access);
  // The port failed at the access that would have been numbered `end()`.
  void fail();
  // An action ended, the program waits for the user: the next access begins a new one.
  void end_action();

  std::size_t begin() const { return end_ - accesses_.size(); }  // the oldest kept
  std::size_t end() const { return end_; }                       // one past the newest
  const Access& at(std::size_t number) const { return accesses_[number - begin()]; }

  // The numbers the last action began and ended at (end exclusive); empty when none is kept.
  std::pair<std::size_t, std::size_t> last_action() const;

  // The access numbers where the port failed.
  const std::deque<std::size_t>& failures() const { return failures_; }
  // Where the program waited for the user: the access numbers that came next.
  const std::deque<std::size_t>& waits() const { return waits_; }

 private:
  std::size_t capacity_;
  std::deque<Access> accesses_;
  std::size_t end_ = 0;
  bool action_open_ = false;
  std::deque<std::size_t> action_starts_;
  std::deque<std::size_t> failures_;
  std::deque<std::size_t> waits_;
};

}  // namespace vx::decode
