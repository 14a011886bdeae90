#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "meter/resource.h"
#include "meter/transport.h"

namespace vx::meter {

// A reading beyond the range: SCPI meters answer +9.9E37, and -9.9E37 beyond it below zero
// (Keysight's 34401A and 34465A manuals, "overload"; SCPI-99 volume 1, 7.2.1). The caller may
// retry, or take another range.
class Overload : public MeterError {
 public:
  using MeterError::MeterError;
};

// An answer to READ? that is no number, or SCPI's not-a-number (9.91E37): worth one more try.
class NotANumber : public MeterError {
 public:
  using MeterError::MeterError;
};

enum class Function { resistance, voltage };

struct MeterOptions {
  Function function = Function::resistance;
  // The range, in ohms or volts, or "AUTO" when autoranging is asked for; never autoranged
  // otherwise. Empty: 10 kOhm, or 10 V.
  std::string range;
  std::chrono::milliseconds timeout{3000};  // for each exchange
  SerialSettings serial;                    // for a serial meter
};

// What *IDN? said: manufacturer, model, serial number, firmware (IEEE 488.2, 10.14). Three
// fields are taken too, the serial number missing, as libsigrok takes them (src/scpi/scpi.c,
// sr_scpi_get_hw_id: some GW Instek meters answer so); more than four keep the rest in the
// firmware. `text` is the answer whole, as the meter said it.
struct Identity {
  std::string maker, model, serial, firmware;
  std::string text;
};

struct Reading {
  double value = 0;
  const char* unit = "Ohm";
  Clock::time_point taken;
};

// One SCPI meter, as instruments speak it: identified by *IDN?, its error queue cleared and its
// function and range configured at opening (CONF:RES <range>, CONF:VOLT:DC <range>), then each
// reading taken fresh with READ?, never a streamed or last one. A refused command is told with what
// the meter's SYST:ERR? said. Safe from several threads: one exchange at a time.
class Meter {
 public:
  Meter(const Resource& resource, MeterOptions options);
  // Over a transport made elsewhere (tests).
  Meter(std::unique_ptr<Transport> transport, MeterOptions options, bool serial = false);
  // Gives the front panel back where the link has a way (Transport::go_to_local).
  ~Meter();
  Meter(const Meter&) = delete;
  Meter& operator=(const Meter&) = delete;

  const Identity& identity() const { return identity_; }
  // "Ohm" or "V", as the function set.
  const char* unit() const { return options_.function == Function::resistance ? "Ohm" : "V"; }
  const MeterOptions& options() const { return options_; }
  // A fresh reading; Overload beyond the range, NotANumber for an answer that is no finite
  // number.
  Reading read();

  // Polled while an exchange waits, from the thread making it: true ends the exchange at once
  // with Stopped, the link cleared as after a time-out. It must not block.
  void set_stop_check(std::function<bool()> check) { stop_check_ = std::move(check); }
  // Ends the exchange in progress (another thread's) at once, and refuses every later one with
  // Stopped; never waits for the exchange.
  void close() { closed_ = true; }
  bool closed() const { return closed_; }

 private:
  void start(bool serial);
  std::string ask(const std::string& question);
  void tell(const std::string& command);
  // The meter's first queued error, or empty when it has none.
  std::string first_error();

  MeterOptions options_;
  std::unique_ptr<Transport> transport_;
  Identity identity_;
  std::mutex mutex_;
  std::function<bool()> stop_check_;
  std::atomic<bool> closed_{false};
  bool asked_ = false;  // a question has been sent
};

// "resistance" or "voltage", as a person names the function; MeterError for anything else.
Function parse_function(const std::string& text);
// A range as a person gives it: a number above 0, in the function's unit, or "AUTO"; MeterError for
// anything else.
std::string checked_range(const std::string& text);

// An IEEE 488.2 decimal number (NR1, NR2 or NR3: "+1.00000000E+04", "-12.5", "3"), whole and
// finite; empty for anything else: "nan", "inf" and hex, which strtod would take, and a number
// beyond a double's range ("1e999", 400 digits), which strtod makes infinite.
std::optional<double> parse_number(const std::string& text);

}  // namespace vx::meter
