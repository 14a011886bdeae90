#include "port/port_access.h"

#include <algorithm>
#include <thread>

namespace vx::port {

namespace {

class Borrowed final : public Port {
 public:
  explicit Borrowed(Port& inner) : inner_(inner) {}
  void write16(std::int16_t address, std::int16_t value) override {
    inner_.write16(address, value);
  }
  std::int32_t read32(std::int16_t address) override { return inner_.read32(address); }
  std::optional<bool> bus_sda() const override { return inner_.bus_sda(); }
  std::optional<bool> read_scl() override { return inner_.read_scl(); }
  bool batches() const override { return inner_.batches(); }
  void queue_read32(std::int16_t address) override { inner_.queue_read32(address); }
  std::vector<std::int32_t> flush() override { return inner_.flush(); }

 private:
  Port& inner_;
};

}  // namespace

void wait_until(Clock::time_point due) {
  constexpr auto kSpinMargin = std::chrono::microseconds(200);
  if (due - Clock::now() > kSpinMargin) std::this_thread::sleep_until(due - kSpinMargin);
  while (Clock::now() < due) {
  }
}

PortAccess::Opener borrowed(Port& port) {
  return [&port] { return std::make_unique<Borrowed>(port); };
}

PortAccess::PortAccess(Opener opener, std::string trace_path, std::chrono::microseconds min_phase)
    : opener_(std::move(opener)), trace_path_(std::move(trace_path)), min_phase_(min_phase) {}

PortAccess::~PortAccess() = default;

void PortAccess::open() {
  if (!opener_) throw PortError("no port back end is configured");
  std::unique_ptr<Port> backend = opener_();
  if (!backend) throw PortError("the port back end did not open");
  // The trace starts with the run's first access, once: a run that never reaches the port leaves
  // an existing file as it was, and a reopened back end goes on in the same file. A trace that
  // cannot be started is told once and the port works without one.
  if (!trace_path_.empty() && !trace_ && !trace_error_) {
    try {
      trace_ = TraceRecorder::create(trace_path_);
    } catch (const TraceError& error) {
      trace_error_ = error.what();
    }
  }
  backend_ = std::move(backend);
  batching_ = backend_->batches();
  pending_.clear();
  samples_.clear();
}

void PortAccess::lose_backend(const PortError& error) {
  if (observer_) observer_->on_failure(error.what());
  backend_.reset();
  batching_ = false;
  pending_.clear();
  samples_.clear();
  bus_clear_due_ = true;
}

void PortAccess::flush_batch() {
  std::vector<std::int32_t> values;
  try {
    values = backend_->flush();
  } catch (const PortError& error) {
    lose_backend(error);
    throw;
  }
  const std::size_t reads = static_cast<std::size_t>(
      std::count_if(pending_.begin(), pending_.end(), [](const Pending& a) { return a.read; }));
  if (values.size() != reads) {
    const PortError error("the port back end answered " + std::to_string(values.size()) +
                          " reads of " + std::to_string(reads));
    lose_backend(error);
    throw error;
  }
  auto value = values.begin();
  for (const Pending& access : pending_) {
    if (access.read) {
      note_read(access.address, *value++, std::nullopt);
    } else {
      note_write(access.address, access.value, std::nullopt);
    }
  }
  pending_.clear();
  samples_.insert(samples_.end(), values.begin(), values.end());
}

void PortAccess::flush() {
  if (trace_) trace_->flush();
  if (observer_) observer_->on_idle();
}

std::optional<std::string> PortAccess::take_trace_error() {
  if (trace_error_ && !trace_error_told_) {
    trace_error_told_ = true;
    return trace_error_;
  }
  return trace_ ? trace_->take_error() : std::nullopt;
}

void PortAccess::close_trace() {
  if (trace_) trace_->close();
}

}  // namespace vx::port
