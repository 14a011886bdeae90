#include "meter/resource.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <vector>

#include "meter/transport.h"
#include "port/port.h"

namespace vx::meter {

namespace {

constexpr const char* kForms =
    "TCPIP::host::port::SOCKET, TCPIP::host::INSTR, USB::vendor::product::serial::INSTR, "
    "ASRL/dev/ttyUSB0::INSTR or sim";

[[noreturn]] void malformed(const std::string& text, const std::string& why) {
  throw MeterError("the meter resource " + port::quoted(text, 120) + " " + why + ": it is one of " +
                   kForms);
}

std::string upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

std::vector<std::string> fields(const std::string& text) {
  std::vector<std::string> parts;
  for (std::size_t start = 0;;) {
    const std::size_t end = text.find("::", start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::string::npos) return parts;
    start = end + 2;
  }
}

bool digits(const std::string& text) {
  return !text.empty() && text.size() <= 9 &&
         std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

// VISA writes USB ids in hex with 0x, or in decimal.
unsigned usb_id(const std::string& text, const std::string& resource) {
  std::size_t used = 0;
  unsigned long value = 0;
  try {
    value = std::stoul(text, &used, 0);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used != text.size() || value > 0xFFFF) malformed(resource, "has a USB id that is not one");
  return static_cast<unsigned>(value);
}

}  // namespace

std::vector<std::string> local_meters() {
  std::vector<std::string> found;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/dev", error)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0) {
      found.push_back("ASRL/dev/" + name + "::INSTR");
    }
  }
  // Each USBTMC instrument named by its ids, as VISA names it.
  for (const UsbtmcInstrument& i : usbtmc_instruments()) {
    found.push_back(i.vendor.empty() ? "/dev/" + i.node + " (USBTMC; its ids cannot be read)"
                                     : "USB0::0x" + upper(i.vendor) + "::0x" + upper(i.product) +
                                           "::" + i.serial + "::INSTR");
  }
  std::sort(found.begin(), found.end());
  return found;
}

Resource parse_resource(const std::string& text) {
  Resource r;
  r.text = text;
  if (text == "sim") return r;
  // A NUL would end the host name or path the system is handed short of what was written.
  if (std::any_of(text.begin(), text.end(),
                  [](unsigned char c) { return c < 0x20 || c == 0x7F; })) {
    malformed(text, "has a control character in it");
  }
  std::vector<std::string> parts = fields(text);
  const std::string head = upper(parts.front());
  const std::string last = upper(parts.back());
  // The interface type and its optional board number.
  const auto board_of = [&](const char* type) {
    const std::string rest = head.substr(std::string(type).size());
    return rest.empty() || digits(rest);
  };
  if (head.rfind("TCPIP", 0) == 0 && board_of("TCPIP")) {
    if (parts.size() == 4 && last == "SOCKET") {
      r.kind = Resource::Kind::socket;
      r.host = parts[1];
      if (!digits(parts[2]) || std::stoul(parts[2]) == 0 || std::stoul(parts[2]) > 65535) {
        malformed(text, "has no port number from 1 to 65535");
      }
      r.port = static_cast<int>(std::stoul(parts[2]));
    } else if ((parts.size() == 3 || parts.size() == 4) && last == "INSTR") {
      r.kind = Resource::Kind::vxi11;
      r.host = parts[1];
      if (parts.size() == 4) r.device = parts[2];
    } else if (parts.size() == 2 || (parts.size() == 3 && upper(parts[2]) != "SOCKET")) {
      r.kind = Resource::Kind::vxi11;  // INSTR is the default resource class
      r.host = parts[1];
      if (parts.size() == 3) r.device = parts[2];
    } else {
      malformed(text, "is not a TCPIP resource");
    }
    if (r.host.empty()) malformed(text, "names no host");
    return r;
  }
  if (head.rfind("USB", 0) == 0 && board_of("USB")) {
    if (last == "INSTR") parts.pop_back();
    if (parts.size() != 4 && parts.size() != 5) malformed(text, "is not a USB resource");
    r.kind = Resource::Kind::usbtmc;
    r.vendor = usb_id(parts[1], text);
    r.product = usb_id(parts[2], text);
    r.serial_number = parts[3];
    return r;
  }
  if (head.rfind("ASRL", 0) == 0) {
    if (last == "INSTR") parts.pop_back();
    if (parts.size() != 1) malformed(text, "is not a serial resource");
    const std::string port = parts.front().substr(4);
    r.kind = Resource::Kind::serial;
    if (!port.empty() && port.front() == '/') {
      r.path = port;  // pyvisa-py's form: the device's own path
    } else if (digits(port) && std::stoul(port) >= 1) {
      r.path = "/dev/ttyS" + std::to_string(std::stoul(port) - 1);  // ASRL1 is the first port
    } else {
      malformed(text, "names no serial port");
    }
    return r;
  }
  malformed(text, "has no interface type this tool knows");
}

}  // namespace vx::meter
