#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "port/port.h"
#include "port/trace.h"

namespace vx::port {

// Stands where the port-access DLL stood: `OutportW` and `InportW`, nothing opened before the
// first call. Opening runs the opener, then starts the trace file if one is asked for; when the
// opener fails, that call throws and the next call tries again; a trace that cannot be started is
// an error told once by `take_trace_error`, and the port works on without it. A back end that fails
// an access is closed, so the next call opens it afresh, as after an unplugged cable or an unloaded
// driver. Sees every access as it is made, as the trace does: the bus monitor's way in.
class AccessObserver {
 public:
  virtual ~AccessObserver() = default;
  virtual void on_write(std::int16_t address, std::int16_t value, std::optional<bool> bus_sda) = 0;
  virtual void on_read(std::int16_t address, std::int32_t value, std::optional<bool> bus_sda) = 0;
  // The access after the last one seen failed with `message`.
  virtual void on_failure(const std::string& message) = 0;
  // The program waits for the user: an action has ended.
  virtual void on_idle() {}
};

using Clock = std::chrono::steady_clock;

// Waits until `due`: a sleep is too coarse for phases of a few microseconds and a spin burns a
// core through long ones, so it sleeps until shortly before, then spins the rest.
void wait_until(Clock::time_point due);

class PortAccess {
 public:
  using Opener = std::function<std::unique_ptr<Port>()>;

  // `min_phase`, when not zero, spaces the accesses for slow devices or long cabling: each starts
  // no sooner than that after the previous one returned.
  explicit PortAccess(Opener opener, std::string trace_path = {},
                      std::chrono::microseconds min_phase = {});
  ~PortAccess();
  PortAccess(const PortAccess&) = delete;
  PortAccess& operator=(const PortAccess&) = delete;

  void OutportW(std::int16_t address, std::int16_t value) {
    Port& port = access([&](Port& p) { p.write16(address, value); });
    if (batching_) {
      pending_.push_back({address, value, false});
    } else {
      note_write(address, value, port.bus_sda());
    }
  }

  // A read answered now, whatever the back end: one that batches carries out what it has queued
  // first. Samples already taken stay queued.
  std::int32_t InportW(std::int16_t address) {
    sample(address);
    if (batching_) flush_batch();
    const std::int32_t value = samples_.back();
    samples_.pop_back();
    return value;
  }

  // A read taken now and given later, in order, by `complete`: at once from most back ends, at
  // the flush from one that batches. The values are kept here, so nothing outside can dangle.
  void sample(std::int16_t address) {
    Port& port = access([&](Port& p) {
      if (batching_) {
        p.queue_read32(address);
      } else {
        samples_.push_back(p.read32(address));
      }
    });
    if (batching_) {
      pending_.push_back({address, 0, true});
    } else {
      note_read(address, samples_.back(), port.bus_sda());
    }
  }

  // SCL as the back end reads it (nullopt where it cannot), taken a phase after the last access
  // as an access is: a line just released needs its rise time, which the phase stands for. Not
  // traced: no access of the line protocol.
  std::optional<bool> read_scl() {
    std::optional<bool> scl;
    access([&](Port& p) { scl = p.read_scl(); });
    return scl;
  }

  // Ends a transaction: a back end that batches carries out what it has queued, and the trace
  // records it, every access in order, each read with its value. Gives the values of the samples
  // taken since the last completion, in order.
  std::vector<std::int32_t> complete() {
    if (batching_) flush_batch();
    return std::exchange(samples_, {});
  }

  // True from a failed access until a bus clear has gone through: the device may still hold SDA
  // from the abandoned transaction, so the bus must be cleared before the next one, also when
  // the port could not be opened in between.
  bool bus_clear_due() const { return bus_clear_due_; }
  void bus_cleared() { bus_clear_due_ = false; }

  // Makes the trace complete on disk; the panel calls it whenever it waits for the user. Never
  // throws: a trace that cannot be written is kept as an error for `take_trace_error`.
  void flush();
  // The first error in writing the trace, given once; the trace stops at that error.
  std::optional<std::string> take_trace_error();
  // Flushes and closes the trace file, as at the end of a run; its error, if any, is then taken
  // by `take_trace_error`.
  void close_trace();

  bool is_open() const { return backend_ != nullptr; }
  // The back end, opened if it is not yet, for what a bring-up check asks of it.
  Port& port() { return opened(); }
  // The shortest time from the end of one access to the start of the next.
  std::chrono::microseconds min_phase() const {
    return std::chrono::duration_cast<std::chrono::microseconds>(min_phase_);
  }

  // Tells `observer` (or nobody, with null) of every access from now on.
  void set_observer(AccessObserver* observer) { observer_ = observer; }

 private:
  Port& opened() {
    if (!backend_) open();
    return *backend_;
  }
  void open();
  void pace() { wait_until(last_access_ + min_phase_); }

  // One access on the opened back end, paced when asked to be; a back end that fails it is
  // closed, so the next access opens it afresh.
  template <class Call>
  Port& access(Call&& call) {
    Port& port = opened();
    if (min_phase_.count() > 0 && !batching_) pace();
    try {
      call(port);
    } catch (const PortError& error) {
      lose_backend(error);
      throw;
    }
    if (min_phase_.count() > 0) last_access_ = Clock::now();
    return port;
  }
  void lose_backend(const PortError& error);
  void flush_batch();
  void note_write(std::int16_t address, std::int16_t value, std::optional<bool> bus_sda) {
    if (trace_) trace_->record_write(address, value, bus_sda);
    if (observer_) observer_->on_write(address, value, bus_sda);
  }
  void note_read(std::int16_t address, std::int32_t value, std::optional<bool> bus_sda) {
    if (trace_) trace_->record_read(address, value, bus_sda);
    if (observer_) observer_->on_read(address, value, bus_sda);
  }

  // An access a batching back end has queued: a write of `value`, or a read.
  struct Pending {
    std::int16_t address;
    std::int16_t value;
    bool read;
  };

  Opener opener_;
  std::string trace_path_;
  std::unique_ptr<Port> backend_;
  std::unique_ptr<TraceRecorder> trace_;
  std::optional<std::string> trace_error_;  // why the trace could not be started
  bool trace_error_told_ = false;
  Clock::duration min_phase_;
  Clock::time_point last_access_{};
  bool bus_clear_due_ = false;
  bool batching_ = false;  // the open back end batches
  std::vector<Pending> pending_;
  std::vector<std::int32_t> samples_;  // values of the samples not yet given by `complete`
  AccessObserver* observer_ = nullptr;
};

// An opener that hands out `port` without giving up ownership, for a layer over a port that
// lives elsewhere (a back end probing its own lines through the bus layer).
PortAccess::Opener borrowed(Port& port);

}  // namespace vx::port
