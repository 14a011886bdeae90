#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

#include <sys/types.h>

#include "backends/backends.h"
#include "bus/bring_up.h"
#include "bus/line_driver.h"
#include "session/arguments.h"

namespace vx::meter {
class Meter;
}

namespace vx::session {

// A read-back that differs from what was written, or a write that nothing acknowledged: status 4,
// VerifyError in Python.
class VerifyError : public std::runtime_error {
 public:
  VerifyError(const std::string& what, int wrote, int read)
      : std::runtime_error(what), wrote(wrote), read(read) {}
  int wrote, read;
};

// Nothing acknowledged the VX3071's address where a missing device reads 255: status 4,
// NoDeviceError in Python. `wrote` is -1 after a read.
class NoDevice : public VerifyError {
 public:
  using VerifyError::VerifyError;
};

// The device was closed: before the call, or by another thread while it waited between frames;
// also a device used in a process forked from the one that opened it.
class Closed : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A stop was asked for (a signal) and the call ended between two frames, the bus idle.
class Interrupted : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Makes the port the settings name; tests put a port of their own in its place.
using PortMaker = std::function<std::unique_ptr<port::PortAccess>(const backends::Settings&)>;

struct CharacterisePlan;
struct Characterisation;
using Progress = std::function<void(const Characterisation&)>;

// What a sweep will do, its arguments checked.
struct SweepPlan {
  int from = 0, to = 0, step = 1;
  long long dwell_ms = 0;
  int count = 1;
  int code(int n) const { return from + (to >= from ? 1 : -1) * n * step; }
};
SweepPlan plan_sweep(long long from, long long to, long long step, long long dwell_ms);

// Waits `milliseconds`, calling `stop_point` before each slice of at most 20 ms; what it throws
// ends the wait early. A dwell, a settle time, the time between two meter readings.
void wait_stopping(long long milliseconds, const std::function<void()>& stop_point);

// One VX3071 on one port, for a script: owns the port, the bus driver and the trace, and runs each
// command whole. Calls from several threads run one at a time. A call stops only between frames,
// never in one, so the device is never left holding SDA: for `close` from another thread, or for a
// stop the stop check reports (a signal); a dwell looks every 20 ms. After each call the trace is
// complete on disk; its first error waits in `take_trace_error`, and the port works on.
//
// Lock order, for whoever binds this to a language with its own lock (Python's GIL): never wait for
// the device's lock holding the other one, and never wait for the other one holding the device's
// lock. Every call but `take_trace_error`, `closed` and `port_name` may wait for the device's lock,
// so release yours before you make it; those three never wait for a call in progress. The stop
// check runs with the device's lock held and must not block; what must wait (Python's signal
// handlers want the GIL) goes in the decision, which runs with the device's lock released.
class Device {
 public:
  // Polled between frames and through dwells, on the calling thread, with the device's lock held:
  // it must not block. True stops the call with Interrupted (or with what it throws itself),
  // unless a decision is set.
  using StopCheck = std::function<bool()>;
  // Asked when the stop check said yes, with the device's lock released, so it may wait: true
  // stops the call, false lets it go on. Another thread's call may run meanwhile, between two
  // frames of this one.
  using Decide = std::function<bool()>;

  // UsageError for settings that name nothing (see checked_settings); nothing is opened yet.
  Device(const backends::Settings& settings, bool port_given,
         const PortMaker& make_port = backends::make_port);
  ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  void set_stop_check(StopCheck check, Decide decide = {}) {
    stop_check_ = std::move(check);
    decide_ = std::move(decide);
  }

  // Opens the port now; PortError when it cannot (the next call tries again).
  void open();
  // The slider's frame for `code` (0..255); with `verify`, reads the setting back: VerifyError when
  // it differs, and when it reads 255 on a bus where a missing device reads so, unless the
  // device acknowledges its address.
  void write(long long code, bool verify);
  void frame(std::uint32_t word);
  // The setting; NoDevice when it reads 255 where a missing device reads so and nothing
  // acknowledges the device's address.
  int read();
  // Writes code `n` of `plan` and waits its dwell; the trace is completed at each dwell and after
  // the last code.
  int sweep_code(const SweepPlan& plan, int n);
  // Measures each code of `plan` with `meter` (see characterise in session/characterise.h) as one
  // call: no other call's frame comes between a code's write and its readings. `progress` is told
  // after each code with the device's lock let go, so it may wait for another lock (the GIL); a
  // stop or a close takes effect at the next frame or meter exchange, and the setting found is
  // put back in every case.
  Characterisation characterise(const CharacterisePlan& plan, meter::Meter& meter,
                                const Progress& progress = {});
  bus::CheckReport check(bool thorough);
  bus::ScanResult scan();

  // Releases the port and completes the trace, after the call in progress (which another thread
  // makes) has ended its frame; twice is harmless. Further calls throw Closed. In a process
  // forked from the one that opened the device, it touches neither the port nor the trace.
  void close();
  bool closed() const { return closed_; }
  // The port as it was named ("sim" for the simulated device when none was).
  const std::string& port_name() const { return port_name_; }

  // The first error in writing the trace, given once; never waits for a call in progress.
  std::optional<std::string> take_trace_error();

 private:
  class Call;
  // The device's lock, held; Closed when the device is closed or was opened by another process.
  std::unique_lock<std::mutex> lock_open();
  // Moves the trace's first error into trace_error_, where take_trace_error finds it; with the
  // device's lock held.
  void keep_trace_error();
  void between_frames();
  // Runs `work` with the device's lock let go; a close waits for it to end.
  void without_lock(const std::function<void()>& work);
  void dwell(long long milliseconds);
  // After 255 was read: NoDevice when a missing device would read so and nothing acknowledges.
  void check_presence(int wrote, int read);

  std::mutex mutex_;
  std::unique_lock<std::mutex>* held_ = nullptr;  // the call in progress's hold on mutex_
  int paused_calls_ = 0;  // calls that let go of mutex_ for a decision, under mutex_
  std::condition_variable resumed_;
  std::unique_ptr<port::PortAccess> access_;
  std::unique_ptr<bus::LineDriver> driver_;
  std::string port_name_;
  pid_t owner_;          // the process that opened the device
  unsigned generation_;  // its fork generation: another one is a forked process
  StopCheck stop_check_;
  Decide decide_;
  std::atomic<bool> closing_{false};
  std::atomic<bool> closed_{false};
  std::mutex trace_error_mutex_;  // held only to move trace_error_, never while waiting
  std::optional<std::string> trace_error_;
};

}  // namespace vx::session
