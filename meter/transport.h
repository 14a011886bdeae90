#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "meter/resource.h"

namespace vx::meter {

using Clock = std::chrono::steady_clock;

// Whole milliseconds until `deadline`, rounded up so that a limit is never cut short; at most a
// million (some 17 minutes), at least `floor`: what the call it is handed to takes.
inline int milliseconds_left(Clock::time_point deadline, int floor = 0) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(left < floor ? floor : left > 1'000'000 ? 1'000'000 : left);
}

// Lines to and from an instrument, each exchange within its time limit. Answers are framed by
// their terminator however the bytes arrive (an answer split over TCP segments is one answer);
// nothing read is ever dropped or taken twice. Throws MeterTimeout past the deadline and
// MeterError for anything else (a hang-up, a refused connection), with the resource named.
class Transport {
 public:
  virtual ~Transport() = default;
  // Sends `line` and the terminator.
  virtual void send(const std::string& line, Clock::time_point deadline) = 0;
  // The next line, without its terminator (and without a carriage return before it).
  virtual std::string receive(Clock::time_point deadline) = 0;
  // After a time-out: whatever the instrument still sends for the old question must not answer
  // the next one. A socket is connected afresh; a serial meter is sent its device clear and its
  // late bytes are let go.
  virtual void clear() = 0;
  virtual std::string where() const = 0;
  // Before a question: lets go of whatever the instrument sent that nothing asked for (a second
  // line to one question), so that it can never answer this one. Never waits.
  virtual void drain() {}
  // At the end: gives the instrument's front panel back, where the link has a way (a serial
  // meter's SYST:LOC, USBTMC's go-to-local); a raw socket and liblxi's VXI-11 have none.
  virtual void go_to_local(Clock::time_point) {}

  // Called while an exchange waits, at least every kInterruptPoll: it throws Stopped to end the
  // exchange at once (a signal, a close from another thread).
  void set_interrupt(std::function<void()> check) { interrupt_ = std::move(check); }
  static constexpr std::chrono::milliseconds kInterruptPoll{50};

 protected:
  void interrupt_point() const {
    if (interrupt_) interrupt_();
  }

 private:
  std::function<void()> interrupt_;
};

// Serial line settings: the 34401A's factory ones (its manual's RS-232 configuration: 9600 baud,
// no parity and 8 data bits, 2 stop bits fixed), with a line feed ending each line.
struct SerialSettings {
  unsigned baud = 9600;
  char parity = 'N';  // N, E or O
  int data_bits = 8;
  int stop_bits = 2;
  std::string ending = "\n";  // what ends a line sent: "\n", or "\r\n" for meters that want it
};

// "BAUD,FRAME[,lf|crlf]" as people write serial settings: "9600,8N2", "19200,7E1,crlf". Throws
// MeterError saying what is wrong.
SerialSettings parse_serial(const std::string& text);

// Raw SCPI over TCP (`TCPIP::host::port::SOCKET`): TCP_NODELAY, so a question leaves at once
// rather than waiting for the last answer's acknowledgement; MSG_NOSIGNAL, so a meter that hangs
// up is an error, not SIGPIPE; a numeric address is connected to without asking a name server.
std::unique_ptr<Transport> open_socket(const Resource& resource, Clock::time_point deadline);

// A serial port (`ASRL/dev/ttyUSB0::INSTR`), raw, at `settings`; a pseudo-terminal too.
std::unique_ptr<Transport> open_serial(const Resource& resource, const SerialSettings& settings);

// VXI-11 (`TCPIP::host[::device]::INSTR`), through liblxi. It needs the instrument's portmapper
// and RPC server, which nothing here emulates: built, and untested on this machine.
std::unique_ptr<Transport> open_vxi11(const Resource& resource, Clock::time_point deadline);

// The kernel's USBTMC instruments: each node with the ids of the USB device above it
// (/sys/class/usbmisc/usbtmcN/device is the interface, its parent the device). Ids that cannot be
// read are left empty.
struct UsbtmcInstrument {
  std::string node;                     // usbtmcN
  std::string vendor, product, serial;  // as sysfs writes them: "2a8d", "1301", "MY12345"
};
std::vector<UsbtmcInstrument> usbtmc_instruments();

// USBTMC (`USB::vendor::product::serial::INSTR`) through the kernel's usbtmc driver: the node found
// by the instrument's ids under /sys/class/usbmisc, the driver's time-out set for each exchange,
// its clear after a time-out.
std::unique_ptr<Transport> open_usbtmc(const Resource& resource);

}  // namespace vx::meter
