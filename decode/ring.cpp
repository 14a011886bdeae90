#include "decode/ring.h"

namespace vx::decode {

void AccessRing::push(const Access& access) {
  if (!action_open_) {
    action_starts_.push_back(end_);
    action_open_ = true;
  }
  accesses_.push_back(access);
  ++end_;
  if (accesses_.size() > capacity_) accesses_.pop_front();
  // What has fallen out of the ring is forgotten with it.
  while (action_starts_.size() > 1 && action_starts_[1] <= begin()) action_starts_.pop_front();
  while (!failures_.empty() && failures_.front() < begin()) failures_.pop_front();
  while (!waits_.empty() && waits_.front() < begin()) waits_.pop_front();
}

void AccessRing::end_action() {
  action_open_ = false;
  if (waits_.empty() || waits_.back() != end_) waits_.push_back(end_);
}

void AccessRing::fail() {
  // A port that fails again before any access succeeds fails at the same place.
  if (failures_.empty() || failures_.back() != end_) failures_.push_back(end_);
  action_open_ = false;
}

std::pair<std::size_t, std::size_t> AccessRing::last_action() const {
  if (action_starts_.empty() || accesses_.empty()) return {end_, end_};
  const std::size_t first = std::max(action_starts_.back(), begin());
  return {first, end_};
}

}  // namespace vx::decode
