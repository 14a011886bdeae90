#include "port/port_access.h"

namespace vx::port {

PortAccess::PortAccess(Opener opener, std::string trace_path, std::chrono::microseconds min_phase)
    : opener_(std::move(opener)), trace_path_(std::move(trace_path)), min_phase_(min_phase) {}

PortAccess::~PortAccess() = default;

void PortAccess::open() {
  // The trace starts with the run's first access, so it is created once, before the back end:
  // a back end that fails to open is retried without emptying the file again.
  if (!trace_path_.empty() && !trace_) trace_ = TraceRecorder::create(trace_path_);
  if (!opener_) throw PortError("no port back end is configured");
  backend_ = opener_();
  if (!backend_) throw PortError("the port back end did not open");
}

void PortAccess::pace() {
  // A sleep would be far too coarse for phases of tens of microseconds.
  while (Clock::now() - last_access_ < min_phase_) {
  }
}

void PortAccess::flush() {
  if (trace_) trace_->flush();
}

}  // namespace vx::port
