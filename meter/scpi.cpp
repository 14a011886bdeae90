#include "meter/scpi.h"

#include "meter/simulated.h"
#include "port/port.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace vx::meter {

namespace {

constexpr double kOverload = 9.9e37;     // SCPI's overload value
constexpr double kNotANumber = 9.91e37;  // SCPI's not-a-number

std::string trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// The meter's own words (an error from its queue) as they are, but for a control byte, written
// \xNN, which could cut a message short or garble a terminal.
std::string printable(const std::string& text) {
  std::string shown;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) {
      shown += c;
      continue;
    }
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
    shown += escaped;
  }
  return shown;
}

// A telnet session greets and prompts where a SCPI socket only answers: Keysight's meters on port
// 5024 send "Welcome to Keysight's 34465A Multimeter" and a "34465A>" prompt (their operating
// guides, "Telnet"); a telnet server may also open with its option negotiation (IAC, 0xFF, RFC
// 854).
bool telnet_session(const std::string& answer) {
  const std::string t = trimmed(answer);
  return answer.find('\xff') != std::string::npos || t.rfind("Welcome", 0) == 0 ||
         (!t.empty() && t.back() == '>');
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  for (std::size_t start = 0;;) {
    const std::size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

}  // namespace

std::optional<double> parse_number(const std::string& text) {
  const std::string t = trimmed(text);
  std::size_t i = 0;
  const auto digits = [&] {
    const std::size_t from = i;
    while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) ++i;
    return i - from;
  };
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
  std::size_t mantissa = digits();
  if (i < t.size() && t[i] == '.') {
    ++i;
    mantissa += digits();
  }
  if (mantissa == 0) return std::nullopt;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    if (digits() == 0) return std::nullopt;
  }
  if (i != t.size()) return std::nullopt;
  const double value = std::strtod(t.c_str(), nullptr);
  if (!std::isfinite(value)) return std::nullopt;
  return value;
}

Function parse_function(const std::string& text) {
  if (text == "resistance") return Function::resistance;
  if (text == "voltage") return Function::voltage;
  throw MeterError("the function is resistance or voltage, not " + port::quoted(text));
}

std::string checked_range(const std::string& text) {
  const auto value = parse_number(text);
  if (text != "AUTO" && !(value && *value > 0)) {
    throw MeterError("the range is a finite number above 0, or AUTO, not " + port::quoted(text));
  }
  return text;
}

Meter::Meter(const Resource& resource, MeterOptions options) : options_(std::move(options)) {
  const auto deadline = Clock::now() + options_.timeout;
  switch (resource.kind) {
    case Resource::Kind::sim:
      transport_ = open_simulated();
      break;
    case Resource::Kind::socket:
      transport_ = open_socket(resource, deadline);
      break;
    case Resource::Kind::serial:
      transport_ = open_serial(resource, options_.serial);
      break;
    case Resource::Kind::vxi11:
      transport_ = open_vxi11(resource, deadline);
      break;
    case Resource::Kind::usbtmc:
      transport_ = open_usbtmc(resource);
      break;
  }
  start(resource.kind == Resource::Kind::serial);
}

Meter::Meter(std::unique_ptr<Transport> transport, MeterOptions options, bool serial)
    : options_(std::move(options)), transport_(std::move(transport)) {
  start(serial);
}

Meter::~Meter() {
  // Also after a stop or a close: the interrupt that ended the last exchange must not end this.
  transport_->set_interrupt({});
  try {
    transport_->go_to_local(Clock::now() + std::chrono::milliseconds(500));
  } catch (const std::exception&) {  // a meter gone or silent: nothing is left to tell
  }
}

void Meter::start(bool serial) {
  transport_->set_interrupt([this] {
    if (closed_)
      throw Stopped("the meter was closed during an exchange with " + transport_->where());
    if (stop_check_ && stop_check_()) {
      throw Stopped("stopped during an exchange with " + transport_->where());
    }
  });
  const std::string idn = ask("*IDN?");
  // A serial line at the wrong settings garbles its bytes (0xFF among them): that is no telnet.
  if (!serial && telnet_session(idn)) {
    throw MeterError(transport_->where() + " is a telnet session, not a SCPI socket: it answered " +
                     port::quoted(idn, 120) +
                     "; use the meter's raw SCPI port (5025 on Keysight and most LXI meters, "
                     "whose telnet port is 5024)");
  }
  const std::vector<std::string> fields = split(idn, ',');
  if (fields.size() < 3 || trimmed(fields[0]).empty() || trimmed(fields[1]).empty()) {
    throw MeterError(transport_->where() + " did not identify itself: *IDN? answered " +
                     port::quoted(idn, 120) + ", not its maker, model, serial number and firmware");
  }
  identity_.text = trimmed(idn);
  identity_.maker = trimmed(fields[0]);
  identity_.model = trimmed(fields[1]);
  if (fields.size() == 3) {
    identity_.firmware = trimmed(fields[2]);
  } else {
    identity_.serial = trimmed(fields[2]);
    identity_.firmware =
        trimmed(idn.substr(fields[0].size() + fields[1].size() + fields[2].size() + 3));
  }
  // Over RS-232 the 34401A and its kin take commands only in remote (their manuals' SYSTem:REMote).
  if (serial) tell("SYST:REM");
  tell("*CLS");
  const bool ohms = options_.function == Function::resistance;
  const std::string range = options_.range.empty() ? (ohms ? "10000" : "10") : options_.range;
  const std::string configure = std::string(ohms ? "CONF:RES " : "CONF:VOLT:DC ") + range;
  tell(configure);
  if (const std::string error = first_error(); !error.empty()) {
    throw MeterError(identity_.model + " refused " + configure + ": it says " + printable(error));
  }
}

Reading Meter::read() {
  const std::lock_guard lock(mutex_);
  const std::string answer = ask("READ?");
  Reading reading;
  reading.taken = Clock::now();
  reading.unit = unit();
  const auto number = parse_number(answer);
  if (!number) {
    const std::string error = first_error();
    throw NotANumber(identity_.model + " answered READ? with " + port::quoted(answer, 120) +
                     ", which is no finite number" +
                     (error.empty() ? "" : "; it says " + printable(error)));
  }
  // 9.91E37 first: it lies above the overload's threshold, and is no overload.
  if (*number >= kNotANumber * 0.9999 && *number <= kNotANumber * 1.0001) {
    throw NotANumber(identity_.model + " read not a number (9.91E37)");
  }
  if (std::abs(*number) >= kOverload * 0.999) {
    throw Overload(identity_.model + " read " + (*number < 0 ? "negative " : "") + "overload (" +
                   (*number < 0 ? "-" : "") + "9.9E37): the value is beyond the range " +
                   (options_.range.empty() ? "set" : options_.range));
  }
  reading.value = *number;
  return reading;
}

std::string Meter::first_error() {
  const std::string answer = ask("SYST:ERR?");
  const auto code = parse_number(answer.substr(0, answer.find(',')));
  if (code && *code == 0) return "";
  return answer;
}

std::string Meter::ask(const std::string& question) {
  const auto deadline = Clock::now() + options_.timeout;
  if (closed_) throw Stopped("the meter was closed");
  try {
    // Not before the first question: what comes unasked then is a greeting, which tells a telnet
    // session from a SCPI socket.
    if (asked_) transport_->drain();
    asked_ = true;
    transport_->send(question, deadline);
    return transport_->receive(deadline);
  } catch (const Stopped&) {
    // As after a time-out: the answer still on its way must not answer a later question.
    if (!closed_) {
      try {
        transport_->clear();
      } catch (const MeterError&) {
      }
    }
    throw;
  } catch (const MeterTimeout& error) {
    // A late answer to this question must not answer the next one.
    try {
      transport_->clear();
    } catch (const MeterError&) {
    }
    // Said with the question, so that a person knows which exchange the meter failed.
    throw MeterTimeout(std::string(error.what()) + " (asked " + question + ", waited " +
                       std::to_string(options_.timeout.count()) + " ms)");
  }
}

void Meter::tell(const std::string& command) {
  transport_->send(command, Clock::now() + options_.timeout);
}

}  // namespace vx::meter
