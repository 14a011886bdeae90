#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace vx::meter {

// A meter could not be used: not reached, not answering in time, answering wrongly. The words say
// what happened and, where the meter said something, what it said.
class MeterError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// No answer within the time limit: the meter is asked afresh (a device clear, or a new connection)
// before the next exchange, so that a late answer is never taken for the next one's.
class MeterTimeout : public MeterError {
 public:
  using MeterError::MeterError;
};

// An exchange ended because its user asked, not through the meter: a stop signal, or the meter
// closed from another thread. The link is cleared first, as after a time-out, so a late answer
// never answers a later question.
class Stopped : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A resource string as VISA libraries parse one (pyvisa's and the vendors'): the interface type
// and board, case-insensitive, then its fields, "::" apart.
//   TCPIP[board]::host::port::SOCKET      raw SCPI over TCP, the port every LXI meter offers (5025)
//   TCPIP[board]::host[::device]::INSTR   VXI-11 (device inst0 unless named)
//   USB[board]::vendor::product::serial[::interface]::INSTR   USBTMC
//   ASRL/dev/ttyUSB0::INSTR, ASRLn::INSTR  a serial port by path, or /dev/ttySn-1 by number
//   sim                                   the meter wired to the simulated part
struct Resource {
  enum class Kind { sim, socket, vxi11, usbtmc, serial };
  Kind kind = Kind::sim;
  std::string text;                  // as given
  std::string host;                  // socket, vxi11
  int port = 0;                      // socket
  std::string device = "inst0";      // vxi11
  unsigned vendor = 0, product = 0;  // usbtmc
  std::string serial_number;         // usbtmc
  std::string path;                  // serial
};

// Throws MeterError saying what is wrong and what the forms are.
Resource parse_resource(const std::string& text);

// The serial ports a meter may be on (/dev/ttyUSB*, /dev/ttyACM*) and the kernel's USBTMC nodes
// (/dev/usbtmc*), as resource strings, in order; none asks the network.
std::vector<std::string> local_meters();

// What answers liblxi's VXI-11 discovery on the network ("TCPIP::192.168.1.20::INSTR  <its
// *IDN?>"): a broadcast, so only ever made when a person asks (vx3071 meters --lan).
std::vector<std::string> discover_lan(int timeout_ms);

}  // namespace vx::meter
