#include "backends/pin_owner.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

namespace vx::backends {

namespace {

namespace fs = std::filesystem;

constexpr const char* kTree = "/sys/firmware/devicetree/base";

// A property's bytes, or empty when it is not there.
std::string property(const std::string& node, const char* name) {
  std::ifstream in(node + "/" + name, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Device-tree cells are big-endian 32-bit words, as dtc writes them and the kernel shows them.
std::vector<std::uint32_t> cells(const std::string& bytes) {
  std::vector<std::uint32_t> words;
  for (std::size_t at = 0; at + 4 <= bytes.size(); at += 4) {
    words.push_back(static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at])) << 24 |
                    static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 16 |
                    static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 2])) << 8 |
                    static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 3])));
  }
  return words;
}

// A string-list property: NUL-terminated strings one after another.
std::vector<std::string> strings(const std::string& bytes) {
  std::vector<std::string> list;
  std::istringstream in(bytes);
  for (std::string item; std::getline(in, item, '\0');) list.push_back(item);
  return list;
}

std::string text(const std::string& bytes) {
  return bytes.substr(0, bytes.find('\0'));
}

// The node's phandle, under either name dtc has given it.
std::optional<std::uint32_t> phandle(const std::string& node) {
  for (const char* name : {"phandle", "linux,phandle"}) {
    const auto words = cells(property(node, name));
    if (words.size() == 1) return words[0];
  }
  return std::nullopt;
}

// A node is enabled when its status is absent, "okay" or "ok", as the kernel's
// of_device_is_available takes it.
bool enabled(const std::string& node) {
  const std::string status = text(property(node, "status"));
  return status.empty() || status == "okay" || status == "ok";
}

// A line offset from a pin's name in the generic binding: "gpio2" on the RP1 and most others.
std::optional<unsigned> offset_of(const std::string& pin) {
  if (pin.size() < 5 || pin.compare(0, 4, "gpio") != 0) return std::nullopt;
  const std::string digits = pin.substr(4);
  if (digits.size() > 4 || digits.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  return static_cast<unsigned>(std::stoul(digits));
}

// The lines a pin configuration node lists: `brcm,pins` (bcm2835 binding), `pins` (generic
// binding, pinctrl-bindings.txt), in the node or in its subnodes, which the generic binding allows.
std::vector<unsigned> pins_of(const std::string& node) {
  std::vector<unsigned> pins;
  for (std::uint32_t pin : cells(property(node, "brcm,pins"))) pins.push_back(pin);
  for (const std::string& name : strings(property(node, "pins"))) {
    if (const auto offset = offset_of(name)) pins.push_back(*offset);
  }
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(node, error)) {
    if (entry.is_directory(error) && !entry.is_symlink(error)) {
      const auto more = pins_of(entry.path().string());
      pins.insert(pins.end(), more.begin(), more.end());
    }
  }
  return pins;
}

struct Tree {
  std::map<std::uint32_t, std::string> by_phandle;  // node paths, from the root of the tree
  std::vector<std::string> with_pinctrl;            // enabled nodes with a pinctrl-0
};

void walk(const std::string& node, Tree& tree, int depth = 0) {
  if (depth > 16) return;  // a tree is not that deep; a loop of links would be
  if (const auto handle = phandle(node)) tree.by_phandle[*handle] = node;
  if (!property(node, "pinctrl-0").empty() && enabled(node)) tree.with_pinctrl.push_back(node);
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(node, error)) {
    if (entry.is_directory(error) && !entry.is_symlink(error)) {
      walk(entry.path().string(), tree, depth + 1);
    }
  }
}

// The chip's device-tree node: its own of_node, or its parent device's (gpiolib's
// of_gpio_dev_init takes the parent's where the chip has none).
std::optional<std::string> chip_node(const std::string& chip) {
  const std::string device = "/sys/bus/gpio/devices/" + chip;
  for (const char* link : {"/of_node", "/../of_node"}) {
    std::error_code error;
    const fs::path target = fs::read_symlink(device + link, error);
    if (error) continue;
    const std::string path = target.string();
    const std::size_t base = path.find("devicetree/base");
    if (base == std::string::npos) continue;
    return kTree + path.substr(base + std::string("devicetree/base").size());
  }
  return std::nullopt;
}

std::string leaf(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

// The Raspberry Pi's dtparam that enables `node`, from the labels config.txt's parameters set
// (the firmware's dtparam=i2c_arm=on sets status on the node labelled i2c_arm).
std::string dtparam_of(const std::string& node) {
  const std::string symbols = std::string(kTree) + "/__symbols__";
  const std::string path = node.substr(std::string(kTree).size());
  for (const char* label : {"i2c_arm", "i2c_vc", "spi", "i2s", "uart0", "uart1"}) {
    if (text(property(symbols, label)) == path) return label;
  }
  return "";
}

// An I2C controller's bus number: i2c-core numbers the adapter after its alias i2cN
// (of_alias_get_id in i2c_register_adapter).
int i2c_bus_of(const std::string& node) {
  const std::string aliases = std::string(kTree) + "/aliases";
  const std::string path = node.substr(std::string(kTree).size());
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(aliases, error)) {
    const std::string name = entry.path().filename().string();
    if (name.size() < 4 || name.compare(0, 3, "i2c") != 0) continue;
    if (name.find_first_not_of("0123456789", 3) != std::string::npos) continue;
    if (text(property(aliases, name.c_str())) == path) return std::stoi(name.substr(3));
  }
  return -1;
}

std::string kind_of(const std::string& name) {
  if (name.rfind("i2c", 0) == 0) return "the I2C controller ";
  if (name.rfind("spi", 0) == 0) return "the SPI controller ";
  if (name.rfind("serial", 0) == 0 || name.rfind("uart", 0) == 0) return "the UART ";
  return "";
}

std::optional<PinOwner> from_device_tree(const std::string& chip,
                                         const std::vector<unsigned>& lines) {
  const auto controller = chip_node(chip);
  if (!controller) return std::nullopt;
  Tree tree;
  walk(kTree, tree);
  for (const std::string& owner : tree.with_pinctrl) {
    PinOwner found;
    for (std::uint32_t handle : cells(property(owner, "pinctrl-0"))) {
      const auto group = tree.by_phandle.find(handle);
      if (group == tree.by_phandle.end() || group->second.rfind(*controller + "/", 0) != 0) {
        continue;
      }
      for (unsigned pin : pins_of(group->second)) {
        const bool asked = std::find(lines.begin(), lines.end(), pin) != lines.end();
        const bool known =
            std::find(found.lines.begin(), found.lines.end(), pin) != found.lines.end();
        if (asked && !known) found.lines.push_back(pin);
      }
    }
    if (found.lines.empty()) continue;
    std::sort(found.lines.begin(), found.lines.end());
    found.owner = leaf(owner);
    found.what = kind_of(found.owner);
    found.dtparam = dtparam_of(owner);
    if (found.owner.rfind("i2c", 0) == 0) found.i2c_bus = i2c_bus_of(owner);
    return found;
  }
  return std::nullopt;
}

// The pin controller's debugfs pinmux-pins, as pinmux_pins_show (drivers/pinctrl/pinmux.c)
// writes it for a controller that is not strict: "pin 2 (gpio2): fe804000.i2c (GPIO UNCLAIMED)
// function alt0 group gpio2", the mux owner first, "(MUX UNCLAIMED)" where there is none. Its
// folder is the controller's device name, with "-" and the controller's own name after it where
// they differ (pinctrl_init_device_debugfs in core.c). Pins are taken as line offsets, as on the
// bcm2835 and the RP1.
std::optional<PinOwner> from_debugfs(const std::string& chip, const std::vector<unsigned>& lines) {
  std::error_code error;
  const fs::path target = fs::read_symlink("/sys/bus/gpio/devices/" + chip, error);
  if (error || !target.has_parent_path()) return std::nullopt;
  const std::string device = target.parent_path().filename().string();  // fe200000.gpio
  for (const auto& entry : fs::directory_iterator("/sys/kernel/debug/pinctrl", error)) {
    const std::string name = entry.path().filename().string();
    if (name != device && name.rfind(device + "-", 0) != 0) continue;
    std::ifstream in(entry.path() / "pinmux-pins");
    PinOwner found;
    for (std::string line; std::getline(in, line);) {
      unsigned pin = 0;
      char rest[2];
      if (std::sscanf(line.c_str(), "pin %u (%1s", &pin, rest) != 2) continue;
      if (std::find(lines.begin(), lines.end(), pin) == lines.end()) continue;
      const std::size_t colon = line.find("): ");
      if (colon == std::string::npos) continue;
      const std::string owner = line.substr(colon + 3, line.find(' ', colon + 3) - colon - 3);
      // A hog is the controller itself, naming its own device: not another function.
      if (owner.empty() || owner[0] == '(' || owner == "UNCLAIMED" || owner == "GPIO" ||
          owner == name) {
        continue;
      }
      found.lines.push_back(pin);
      found.owner = owner;
    }
    if (found.lines.empty()) continue;
    std::sort(found.lines.begin(), found.lines.end());
    const std::string kind = found.owner.substr(found.owner.rfind('.') + 1);  // fe804000.i2c
    found.what = kind_of(kind);
    found.from_debugfs = true;
    return found;
  }
  return std::nullopt;
}

}  // namespace

std::optional<PinOwner> pin_owner(const std::string& chip, const std::vector<unsigned>& lines) {
  if (auto owner = from_device_tree(chip, lines)) return owner;
  return from_debugfs(chip, lines);
}

std::string describe(const PinOwner& owner) {
  std::string pins;
  for (std::size_t i = 0; i < owner.lines.size(); ++i) {
    pins += (i == 0                        ? ""
             : i + 1 == owner.lines.size() ? " and "
                                           : ", ") +
            std::to_string(owner.lines[i]);
  }
  std::string text = "GPIO " + pins + (owner.lines.size() == 1 ? " carries " : " carry ") +
                     owner.what + owner.owner;
  if (!owner.dtparam.empty()) {
    text += " (dtparam=" + owner.dtparam + "=on): ";
    if (owner.i2c_bus >= 0) text += "use i2c:" + std::to_string(owner.i2c_bus) + ", or ";
    return text + "turn " + owner.dtparam + " off";
  }
  text +=
      owner.from_debugfs ? " (the pin controller's pinmux-pins)" : " (enabled in the device tree)";
  text += ": ";
  if (owner.i2c_bus >= 0) text += "use i2c:" + std::to_string(owner.i2c_bus) + ", or ";
  return text + "disable it (an overlay, or unbind its driver), or pick other lines";
}

}  // namespace vx::backends
