#include "session/device.h"

#include <chrono>
#include <cstdlib>
#include <thread>
#include <utility>
#include <vector>

#include <unistd.h>

#include "bus/address_probe.h"
#include "bus/read_back.h"
#include "bus/write_transaction.h"
#include "frame/code_conversions.h"
#include "frame/device_address.h"
#include "port/forks.h"
#include "session/characterise.h"

namespace vx::session {

namespace {

constexpr auto kStopPoll = std::chrono::milliseconds(20);
constexpr int kMissingDeviceReads = 255;  // SDA left high by nobody: every bit 1

// What a forked process let go of unused. Destroying it would write to the parent's port and
// trace, so it is kept, reachable (leak checkers see it is on purpose), until the process ends.
void abandon(std::unique_ptr<bus::LineDriver> driver, std::unique_ptr<port::PortAccess> access) {
  static std::mutex mutex;
  static auto* const kept = new std::vector<
      std::pair<std::unique_ptr<bus::LineDriver>, std::unique_ptr<port::PortAccess>>>();
  const std::lock_guard lock(mutex);
  kept->emplace_back(std::move(driver), std::move(access));
}

}  // namespace

SweepPlan plan_sweep(long long from, long long to, long long step, long long dwell_ms) {
  SweepPlan plan;
  plan.from = static_cast<int>(in_range(from, "FROM", 0, 255));
  plan.to = static_cast<int>(in_range(to, "TO", 0, 255));
  plan.step = static_cast<int>(in_range(step, "STEP", 1, 255));
  plan.dwell_ms = in_range(dwell_ms, "MS", 0, kMaxDwellMs);
  plan.count = std::abs(plan.to - plan.from) / plan.step + 1;
  return plan;
}

// One public call: the device's lock held, a closed device refused, and the trace completed on
// every way out, its error kept for take_trace_error.
class Device::Call {
 public:
  explicit Call(Device& device) : device_(device), lock_(device.lock_open()) {
    device_.held_ = &lock_;
  }
  ~Call() {
    device_.held_ = nullptr;
    device_.access_->flush();
    device_.keep_trace_error();
  }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

 private:
  Device& device_;
  std::unique_lock<std::mutex> lock_;
};

Device::Device(const backends::Settings& settings, bool port_given, const PortMaker& make_port)
    : port_name_(settings.port.empty() ? "sim" : settings.port),
      owner_(::getpid()),
      generation_(port::fork_generation()) {
  const backends::Settings checked = checked_settings(settings, port_given);
  access_ = make_port(checked);
  driver_ = std::make_unique<bus::LineDriver>(*access_);
}

Device::~Device() {
  try {
    close();
  } catch (...) {  // a trace that could not be completed: nobody is left to tell
  }
}

std::unique_lock<std::mutex> Device::lock_open() {
  // Checked before the lock: in a forked process, the thread that held it may not exist.
  if (port::fork_generation() != generation_) {
    throw Closed("this device was opened by process " + std::to_string(owner_) +
                 "; open another here");
  }
  std::unique_lock lock(mutex_);
  if (!access_) throw Closed("the device is closed: open another");
  return lock;
}

void Device::keep_trace_error() {
  auto error = access_->take_trace_error();
  if (!error) return;
  const std::lock_guard lock(trace_error_mutex_);
  if (!trace_error_) trace_error_ = std::move(error);
}

void Device::between_frames() {
  if (closing_) throw Closed("the device was closed by another thread");
  if (!stop_check_ || !stop_check_()) return;
  if (decide_) {
    bool stop = false;
    without_lock([&] { stop = decide_(); });
    if (closing_) throw Closed("the device was closed by another thread");
    if (!stop) return;
  }
  throw Interrupted("stopped between frames");
}

void Device::without_lock(const std::function<void()>& work) {
  // Another call may run while the lock is let go, and takes held_ for its own while it does.
  std::unique_lock<std::mutex>* const mine = held_;
  // A close meanwhile waits for this call to end: the bus code above it still uses the port.
  ++paused_calls_;
  const auto resume = [&] {
    mine->lock();
    held_ = mine;
    --paused_calls_;
    resumed_.notify_all();
  };
  mine->unlock();
  try {
    work();
  } catch (...) {
    resume();
    throw;
  }
  resume();
}

void wait_stopping(long long milliseconds, const std::function<void()>& stop_point) {
  const auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (auto now = std::chrono::steady_clock::now(); now < due;
       now = std::chrono::steady_clock::now()) {
    stop_point();
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(kStopPoll, due - now));
  }
}

void Device::dwell(long long milliseconds) {
  access_->flush();
  wait_stopping(milliseconds, [this] { between_frames(); });
}

// Where a missing device reads 255 (SDA left high), 255 read back proves nothing until the device
// answers to its address; an I2C adapter sees the missing acknowledge itself.
void Device::check_presence(int wrote, int read) {
  if (read != kMissingDeviceReads || !access_->port().sees_lines()) return;
  between_frames();
  if (bus::address_acknowledged(*driver_, frame::kWriteAddressByte)) return;
  const std::string where =
      "there is no acknowledge at 0x" + port::hex(frame::kDeviceAddress) +
      ": nothing answers there (check the power, the pull-ups and the wiring)";
  if (wrote < 0) throw NoDevice("read 255, but " + where, wrote, read);
  throw NoDevice("verify failed: wrote 255 and read back 255, but " + where, wrote, read);
}

// No Call: nothing was accessed, so there is nothing to complete in the trace yet (a flush
// would end the VCD's first instant early).
void Device::open() {
  const auto lock = lock_open();
  access_->port();
  keep_trace_error();
}

void Device::write(long long code, bool verify) {
  const int checked = static_cast<int>(in_range(code, "CODE", 0, 255));
  Call call(*this);
  between_frames();
  bus::Read_Write_Bits_to_Parallel_Port(*driver_, frame::fixed_address_frame_word(checked));
  if (!verify) return;
  between_frames();
  const int back = bus::read_transaction(*driver_, bus::standard_read_frame());
  if (back != checked) {
    throw VerifyError(
        "verify failed: wrote " + std::to_string(checked) + ", read back " + std::to_string(back),
        checked, back);
  }
  check_presence(checked, back);
}

void Device::frame(std::uint32_t word) {
  Call call(*this);
  between_frames();
  bus::Read_Write_Bits_to_Parallel_Port(*driver_, word);
}

int Device::read() {
  Call call(*this);
  between_frames();
  const int value = bus::read_transaction(*driver_, bus::standard_read_frame());
  check_presence(-1, value);
  return value;
}

int Device::sweep_code(const SweepPlan& plan, int n) {
  Call call(*this);
  between_frames();
  const int code = plan.code(n);
  bus::Read_Write_Bits_to_Parallel_Port(*driver_, frame::fixed_address_frame_word(code));
  if (plan.dwell_ms > 0) dwell(plan.dwell_ms);
  return code;
}

Characterisation Device::characterise(const CharacterisePlan& plan, meter::Meter& meter,
                                      const Progress& progress) {
  Call call(*this);
  // Another process's sweep or write on a shared part would put its codes among ours.
  const std::shared_ptr<void> held = access_->port().hold_for_sweep();
  SweepPort port;
  port.read = [this] {
    between_frames();
    return bus::read_transaction(*driver_, bus::standard_read_frame());
  };
  port.write = [this](int code) {
    between_frames();
    bus::Read_Write_Bits_to_Parallel_Port(*driver_, frame::fixed_address_frame_word(code));
  };
  // Also after a stop or a close from another thread (which waits for this call): the part is
  // left as it was found.
  port.restore = [this](int code) {
    bus::Read_Write_Bits_to_Parallel_Port(*driver_, frame::fixed_address_frame_word(code));
    access_->flush();
  };
  port.stop_point = [this] { between_frames(); };
  port.settle = [this](long long ms) { dwell(ms); };
  // Told with the device's lock let go: a Python callback takes the GIL, and the trace is whole.
  const Progress told = [&](const Characterisation& so_far) {
    access_->flush();
    keep_trace_error();
    if (progress) without_lock([&] { progress(so_far); });
  };
  return session::characterise(port, meter, plan, told);
}

bus::CheckReport Device::check(bool thorough) {
  Call call(*this);
  between_frames();
  return bus::check(*access_, *driver_, thorough, [this] { between_frames(); });
}

bus::ScanResult Device::scan() {
  Call call(*this);
  return bus::scan(*access_, *driver_, [this] { between_frames(); });
}

void Device::close() {
  if (port::fork_generation() != generation_) {
    // The port and the trace are the opener's: this process lets go of its copies unused.
    abandon(std::move(driver_), std::move(access_));
    closed_ = true;
    return;
  }
  closing_ = true;
  std::unique_lock lock(mutex_);
  resumed_.wait(lock, [this] { return paused_calls_ == 0; });
  if (!access_) return;
  access_->close_trace();
  keep_trace_error();
  driver_.reset();
  access_.reset();
  closed_ = true;
}

std::optional<std::string> Device::take_trace_error() {
  const std::lock_guard lock(trace_error_mutex_);
  return std::exchange(trace_error_, std::nullopt);
}

}  // namespace vx::session
