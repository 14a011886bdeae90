#include "support/emulated_hardware.h"

#include <fcntl.h>
#include <linux/gpio.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <linux/usb/tmc.h>
#include <umockdev.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace vx::test {

namespace {

constexpr const char* kPreload = "libumockdev-preload.so.0";

template <class T>
T* resolve(UMockdevIoctlData* data, std::size_t offset = 0, std::size_t length = sizeof(T)) {
  GError* error = nullptr;
  UMockdevIoctlData* child = umockdev_ioctl_data_resolve(data, offset, length, &error);
  if (error) {
    g_error_free(error);
    return nullptr;
  }
  return child ? reinterpret_cast<T*>(child->data) : nullptr;
}

UMockdevIoctlData* resolve_data(UMockdevIoctlData* data, std::size_t offset, std::size_t length) {
  GError* error = nullptr;
  UMockdevIoctlData* child = umockdev_ioctl_data_resolve(data, offset, length, &error);
  if (error) g_error_free(error);
  return child;
}

gboolean complete(UMockdevIoctlClient* client, long result, int error = 0) {
  umockdev_ioctl_client_complete(client, result, error);
  return TRUE;
}

void note(HardwareLog& log, unsigned long request) {
  std::lock_guard lock(log.mutex);
  log.ioctls.push_back(request);
}

// --- I2C: each message clocked out to the simulated device, as an adapter drives its bus --------

void line(sim::Device& d, bool scl, bool sda) {
  d.set_lines(scl, sda);
}

// Sends one byte and its acknowledge clock; true when the device acknowledged.
bool send_byte(sim::Device& d, std::uint8_t byte) {
  for (int bit = 7; bit >= 0; --bit) {
    const bool value = (byte >> bit & 1) != 0;
    line(d, false, value);
    line(d, true, value);
  }
  line(d, false, true);
  line(d, true, true);
  const bool acked = !d.sda();
  line(d, false, true);
  return acked;
}

std::uint8_t receive_byte(sim::Device& d, bool last) {
  std::uint8_t byte = 0;
  for (int bit = 0; bit < 8; ++bit) {
    line(d, false, true);
    line(d, true, true);
    byte = static_cast<std::uint8_t>(byte << 1 | (d.sda() ? 1 : 0));
  }
  line(d, false, !last);  // acknowledge all but the last, as a master does
  line(d, true, !last);
  line(d, false, true);
  return byte;
}

void start(sim::Device& d) {
  line(d, true, true);
  line(d, true, false);
}

void stop(sim::Device& d) {
  line(d, false, false);
  line(d, true, false);
  line(d, true, true);
}

// One message on the bus, as an adapter clocks it: 0, or the errno a missing acknowledge fails
// with. `as_message`: it reaches the driver as an I2C message, so a quirk on messages without data
// applies (see the functions that set zero_length_errno).
int on_bus(I2cAdapterModel& model, std::uint16_t address, bool read, std::uint8_t* buffer,
           std::size_t length, bool as_message = true) {
  if (as_message && model.zero_length_errno && length == 0) return model.zero_length_errno;
  {
    char text[32];
    std::snprintf(text, sizeof text, "%c %02X %zu", read ? 'R' : 'W', address, length);
    std::lock_guard lock(model.log.mutex);
    model.messages.push_back(text);
  }
  const int nack = read && model.read_nack_errno ? model.read_nack_errno : model.nack_errno;
  if (!model.device_present) return nack;
  sim::Device& device = *model.device;
  start(device);
  if (!send_byte(device, static_cast<std::uint8_t>(address << 1 | (read ? 1 : 0)))) {
    stop(device);
    return nack;
  }
  for (std::size_t k = 0; k < length; ++k) {
    if (read) {
      buffer[k] = receive_byte(device, k + 1 == length);
    } else if (!send_byte(device, buffer[k])) {
      stop(device);
      return model.nack_errno;
    }
  }
  stop(device);
  return 0;
}

// An SMBus command as the bytes it puts on the bus: a write of `command` and the data, or a read.
// What i2c-core's i2c_smbus_xfer_emulated sends for the commands modelled; the drivers' own
// smbus_xfer put the same bytes out, except where the caller says otherwise.
int smbus_on_bus(I2cAdapterModel& model, std::uint16_t address, bool read, std::uint8_t command,
                 std::uint32_t size, i2c_smbus_data* data, bool as_message) {
  std::uint8_t bytes[3] = {command, 0, 0};
  switch (size) {
    case I2C_SMBUS_QUICK:
      return on_bus(model, address, read, nullptr, 0, as_message);
    case I2C_SMBUS_BYTE:
      return read ? on_bus(model, address, true, &data->byte, 1, as_message)
                  : on_bus(model, address, false, bytes, 1, as_message);
    case I2C_SMBUS_BYTE_DATA:
      if (read) return EOPNOTSUPP;  // not modelled: nothing here reads a register
      bytes[1] = data->byte;
      return on_bus(model, address, false, bytes, 2, as_message);
    case I2C_SMBUS_WORD_DATA:
      if (read) return EOPNOTSUPP;
      bytes[1] = static_cast<std::uint8_t>(data->word & 0xFF);  // low byte first (SMBus 3.0, 6.5.4)
      bytes[2] = static_cast<std::uint8_t>(data->word >> 8);
      return on_bus(model, address, false, bytes, 3, as_message);
    default:
      return EOPNOTSUPP;
  }
}

// I2C_SMBUS as each driver takes it. 0 or the errno.
int smbus_command(I2cAdapterModel& model, std::uint16_t address, bool read, std::uint8_t command,
                  std::uint32_t size, i2c_smbus_data* data) {
  using Smbus = I2cAdapterModel::Smbus;
  const bool quick = size == I2C_SMBUS_QUICK;
  switch (model.smbus) {
    case Smbus::core:
      break;
    case Smbus::ft260_6_1:
    case Smbus::mcp2221:
      // Both carry the quick write through their write of a command with no data, which still
      // sends the command byte: ft260_smbus_write ("rep->length = data_len + 1") and
      // mcp_smbus_write ("txbuf[1] = len + 1").
      if (quick && !read) return on_bus(model, address, false, &command, 1, false);
      return smbus_on_bus(model, address, read, command, size, data, false);
    case Smbus::ft260_6_2:
    case Smbus::cp2112:
      // ft260_smbus_xfer and cp2112_xfer answer EOPNOTSUPP to the quick write: i2c-core falls
      // back to a message without data, which meets the driver's own refusal.
      if (quick) break;
      return smbus_on_bus(model, address, read, command, size, data, false);
    case Smbus::i801:
      // Native commands, the quick write as the address alone; no master_xfer to fall back on.
      return smbus_on_bus(model, address, read, command, size, data, false);
  }
  return smbus_on_bus(model, address, read, command, size, data, true);
}

gboolean on_i2c_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
  auto& model = *static_cast<I2cAdapterModel*>(user);
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  note(model.log, request);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  if (request == I2C_FUNCS) {
    auto* functions = resolve<unsigned long>(arg);
    if (!functions) return complete(client, -1, EFAULT);
    *functions = model.functions;
    return complete(client, 0);
  }
  // i2cdev_ioctl: the address a later I2C_SMBUS goes to; EBUSY where a kernel driver holds it
  // (i2cdev_check_addr).
  if (request == I2C_SLAVE) {
    // umockdev hands the argument itself over as the data, not as a pointer to follow.
    unsigned long value = 0;
    std::memcpy(&value, arg->data, sizeof value);
    if (value > 0x7F) return complete(client, -1, EINVAL);
    for (std::uint16_t held : model.bound) {
      if (held == value) return complete(client, -1, EBUSY);
    }
    model.slave = static_cast<std::uint16_t>(value);
    return complete(client, 0);
  }
  if (request == I2C_SMBUS) {
    if (model.fail_errno) return complete(client, -1, model.fail_errno);
    UMockdevIoctlData* header = resolve_data(arg, 0, sizeof(i2c_smbus_ioctl_data));
    if (!header) return complete(client, -1, EFAULT);
    i2c_smbus_ioctl_data smbus;
    std::memcpy(&smbus, header->data, sizeof smbus);
    const bool read = smbus.read_write == I2C_SMBUS_READ;
    // i2cdev_ioctl_smbus takes no data for the quick write and a written byte command.
    const bool no_data = smbus.size == I2C_SMBUS_QUICK || (smbus.size == I2C_SMBUS_BYTE && !read);
    i2c_smbus_data* data = nullptr;
    if (!no_data) {
      UMockdevIoctlData* resolved =
          resolve_data(header, offsetof(i2c_smbus_ioctl_data, data), sizeof(i2c_smbus_data));
      if (!resolved) return complete(client, -1, EFAULT);
      data = reinterpret_cast<i2c_smbus_data*>(resolved->data);
    }
    const int error = smbus_command(model, model.slave, read, smbus.command, smbus.size, data);
    return error ? complete(client, -1, error) : complete(client, 0);
  }
  if (request != I2C_RDWR) return complete(client, -1, ENOTTY);
  if (model.fail_errno) return complete(client, -1, model.fail_errno);
  // i2c_transfer: an adapter without master_xfer, one that offers no plain I2C, takes no message.
  if ((model.functions & I2C_FUNC_I2C) == 0) return complete(client, -1, EOPNOTSUPP);

  UMockdevIoctlData* rdwr = resolve_data(arg, 0, sizeof(i2c_rdwr_ioctl_data));
  if (!rdwr) return complete(client, -1, EFAULT);
  i2c_rdwr_ioctl_data header;
  std::memcpy(&header, rdwr->data, sizeof header);
  UMockdevIoctlData* messages =
      resolve_data(rdwr, offsetof(i2c_rdwr_ioctl_data, msgs), header.nmsgs * sizeof(i2c_msg));
  if (!messages) return complete(client, -1, EFAULT);
  for (std::size_t i = 0; i < header.nmsgs; ++i) {
    i2c_msg message;
    std::memcpy(&message, messages->data + i * sizeof(i2c_msg), sizeof message);
    std::uint8_t* buffer = nullptr;
    if (message.len > 0) {
      UMockdevIoctlData* data =
          resolve_data(messages, i * sizeof(i2c_msg) + offsetof(i2c_msg, buf), message.len);
      if (!data) return complete(client, -1, EFAULT);
      buffer = data->data;
    }
    const int error =
        on_bus(model, message.addr, (message.flags & I2C_M_RD) != 0, buffer, message.len);
    if (error) return complete(client, -1, error);
  }
  return complete(client, static_cast<long>(header.nmsgs));
}

}  // namespace

void like_ft260(I2cAdapterModel& adapter) {
  adapter.functions = I2C_FUNC_I2C | I2C_FUNC_SMBUS_BYTE | I2C_FUNC_SMBUS_BYTE_DATA |
                      I2C_FUNC_SMBUS_WORD_DATA | I2C_FUNC_SMBUS_I2C_BLOCK;
  adapter.smbus = I2cAdapterModel::Smbus::ft260_6_2;
  adapter.zero_length_errno = EINVAL;
  adapter.nack_errno = EIO;
  adapter.read_nack_errno = ETIMEDOUT;
}

void like_ft260_6_1(I2cAdapterModel& adapter) {
  like_ft260(adapter);
  adapter.functions |= I2C_FUNC_SMBUS_QUICK;
  adapter.smbus = I2cAdapterModel::Smbus::ft260_6_1;
  adapter.zero_length_errno = 0;  // what the chip does with none is not known: never sent here
}

void like_mcp2221(I2cAdapterModel& adapter) {
  adapter.functions = I2C_FUNC_I2C | I2C_FUNC_SMBUS_READ_BLOCK_DATA |
                      I2C_FUNC_SMBUS_BLOCK_PROC_CALL | (I2C_FUNC_SMBUS_EMUL & ~I2C_FUNC_SMBUS_PEC);
  adapter.smbus = I2cAdapterModel::Smbus::mcp2221;
  adapter.nack_errno = ENXIO;
}

void like_i801(I2cAdapterModel& adapter) {
  adapter.functions = I2C_FUNC_SMBUS_QUICK | I2C_FUNC_SMBUS_BYTE | I2C_FUNC_SMBUS_BYTE_DATA |
                      I2C_FUNC_SMBUS_WORD_DATA | I2C_FUNC_SMBUS_PROC_CALL |
                      I2C_FUNC_SMBUS_BLOCK_DATA | I2C_FUNC_SMBUS_WRITE_I2C_BLOCK;
  adapter.smbus = I2cAdapterModel::Smbus::i801;
  adapter.nack_errno = ENXIO;
}

void like_cp2112(I2cAdapterModel& adapter) {
  adapter.functions = I2C_FUNC_I2C | I2C_FUNC_SMBUS_BYTE | I2C_FUNC_SMBUS_BYTE_DATA |
                      I2C_FUNC_SMBUS_WORD_DATA | I2C_FUNC_SMBUS_BLOCK_DATA |
                      I2C_FUNC_SMBUS_I2C_BLOCK | I2C_FUNC_SMBUS_PROC_CALL |
                      I2C_FUNC_SMBUS_BLOCK_PROC_CALL;
  adapter.smbus = I2cAdapterModel::Smbus::cp2112;
  adapter.zero_length_errno = EIO;
}

void with_no_zero_length_quirk(I2cAdapterModel& adapter) {
  adapter.functions = I2C_FUNC_I2C | (I2C_FUNC_SMBUS_EMUL & ~I2C_FUNC_SMBUS_QUICK);
  adapter.zero_length_errno = EOPNOTSUPP;
}

namespace {

// --- GPIO: a chip whose lines are wired to the simulated device ----------------------------------

struct GpioState {
  GpioChipModel* model;
  std::string node;
  std::vector<std::uint32_t> requested;  // offsets of the line request, in order
  int request_fd = -1;                   // the descriptor handed out for it
  std::string request_file;              // and what it was open on
  bool drive_sda = true, drive_scl = true;
  bool pin_scl = true, pin_sda = true;                   // as the device last saw them
  std::chrono::steady_clock::time_point scl_released{};  // when SCL last went high
};

void copy_name(char* target, const std::string& name) {
  std::strncpy(target, name.c_str(), GPIO_MAX_NAME_SIZE - 1);
  target[GPIO_MAX_NAME_SIZE - 1] = '\0';
}

// What descriptor `fd` of this process is open on ("socket:[123]"), empty when it is closed.
std::string open_file_of(int fd) {
  char link[256];
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = ::readlink(path.c_str(), link, sizeof link - 1);
  return n > 0 ? std::string(link, static_cast<std::size_t>(n)) : std::string();
}

// A request's lines stay taken until its descriptor is closed (gpiolib-cdev.c, linereq_release
// frees them). The descriptor lives in this process: it is still open when its number still
// names the same open file, not one opened since under a reused number.
bool still_held(const GpioState& state) {
  return state.request_fd >= 0 && open_file_of(state.request_fd) == state.request_file;
}

// The flags in force for line `index` of a request: the first flags attribute whose mask holds it,
// else the config's own (gpiolib-cdev.c, gpio_v2_line_config_flags).
std::uint64_t flags_of(const gpio_v2_line_config& config, unsigned index) {
  for (std::uint32_t a = 0; a < config.num_attrs; ++a) {
    if (config.attrs[a].attr.id == GPIO_V2_LINE_ATTR_ID_FLAGS &&
        (config.attrs[a].mask >> index & 1) != 0) {
      return config.attrs[a].attr.flags;
    }
  }
  return config.flags;
}

// gpiolib-cdev.c, gpio_v2_line_flags_validate: what the kernel refuses with EINVAL.
bool valid_flags(std::uint64_t flags) {
  constexpr std::uint64_t direction = GPIO_V2_LINE_FLAG_INPUT | GPIO_V2_LINE_FLAG_OUTPUT;
  constexpr std::uint64_t drive = GPIO_V2_LINE_FLAG_OPEN_DRAIN | GPIO_V2_LINE_FLAG_OPEN_SOURCE;
  constexpr std::uint64_t bias = GPIO_V2_LINE_FLAG_BIAS_PULL_UP | GPIO_V2_LINE_FLAG_BIAS_PULL_DOWN |
                                 GPIO_V2_LINE_FLAG_BIAS_DISABLED;
  if ((flags & direction) == direction) return false;
  if ((flags & drive) == drive) return false;
  if ((flags & drive) && !(flags & GPIO_V2_LINE_FLAG_OUTPUT)) return false;
  if ((flags & bias) && !(flags & direction)) return false;
  if (std::popcount(flags & bias) > 1) return false;
  return true;
}

// The lines as the board makes them, handed to the device after every single line change, and
// the START and STOP conditions among them counted as a logic analyser would. A short to ground
// wins over everything, a short to the supply over the chip's drive; bridged lines are each low
// when either is driven low.
void settle(GpioState& state) {
  GpioChipModel& model = *state.model;
  bool scl = (state.drive_scl || model.scl_to_supply) && !model.scl_shorted;
  bool sda_master = (state.drive_sda || model.sda_open) && !model.sda_shorted;
  if (model.bridged) scl = sda_master = scl && sda_master;
  if (model.device_present) model.device->set_lines(scl, sda_master);
  const bool sda = model.device_present ? model.device->sda() : sda_master;
  if (model.bridged) scl = scl && sda;
  if (scl && state.pin_scl && sda != state.pin_sda) ++(sda ? model.stops : model.starts);
  if (scl && !state.pin_scl) state.scl_released = std::chrono::steady_clock::now();
  state.pin_scl = scl;
  state.pin_sda = sda;
}

gboolean on_gpio_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
  auto& state = *static_cast<GpioState*>(user);
  GpioChipModel& model = *state.model;
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  note(model.log, request);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  const auto lines = static_cast<std::uint32_t>(model.line_names.size());
  const bool line_call =
      request == GPIO_V2_LINE_SET_VALUES_IOCTL || request == GPIO_V2_LINE_GET_VALUES_IOCTL;
  if (line_call) {
    std::lock_guard lock(model.log.mutex);
    model.line_calls.push_back({std::chrono::steady_clock::now(), {}});
  }
  // A line call's return is stamped before the caller is let go, so that the pause up to the
  // next call's entry is never longer than the one the caller made.
  const auto complete = [&](UMockdevIoctlClient* c, long result, int error = 0) {
    if (line_call) {
      std::lock_guard lock(model.log.mutex);
      model.line_calls.back().returned = std::chrono::steady_clock::now();
    }
    return vx::test::complete(c, result, error);
  };
  if (line_call && model.unplug_in > 0 && --model.unplug_in == 0) model.fail_errno = ENODEV;
  const bool v2 =
      request == GPIO_V2_GET_LINEINFO_IOCTL || request == GPIO_V2_GET_LINE_IOCTL || line_call;
  if (v2 && model.v2_errno) return complete(client, -1, model.v2_errno);

  switch (request) {
    case GPIO_GET_CHIPINFO_IOCTL: {
      auto* info = resolve<gpiochip_info>(arg);
      if (!info) return complete(client, -1, EFAULT);
      copy_name(info->name, state.node.substr(state.node.rfind('/') + 1));
      copy_name(info->label, model.label);
      info->lines = lines;
      return complete(client, 0);
    }
    case GPIO_V2_GET_LINEINFO_IOCTL: {
      auto* info = resolve<gpio_v2_line_info>(arg);
      if (!info) return complete(client, -1, EFAULT);
      if (info->offset >= lines) return complete(client, -1, EINVAL);
      const std::uint32_t offset = info->offset;
      std::memset(info, 0, sizeof *info);
      info->offset = offset;
      copy_name(info->name, model.line_names[offset]);
      const bool ours = offset == model.sda || offset == model.scl;
      if (ours && !model.busy_consumer.empty()) {
        copy_name(info->consumer, model.busy_consumer);
        info->flags = GPIO_V2_LINE_FLAG_USED | GPIO_V2_LINE_FLAG_OUTPUT;
      } else {
        info->flags = GPIO_V2_LINE_FLAG_INPUT;
      }
      return complete(client, 0);
    }
    case GPIO_V2_GET_LINE_IOCTL: {
      auto* line_request = resolve<gpio_v2_line_request>(arg);
      if (!line_request) return complete(client, -1, EFAULT);
      // gpiolib-cdev.c, linereq_create: the count, then every line's flags, then each line.
      if (line_request->num_lines == 0 || line_request->num_lines > GPIO_V2_LINES_MAX) {
        return complete(client, -1, EINVAL);
      }
      if (line_request->config.num_attrs > GPIO_V2_LINE_NUM_ATTRS_MAX) {
        return complete(client, -1, EINVAL);
      }
      for (std::uint32_t i = 0; i < line_request->num_lines; ++i) {
        if (!valid_flags(flags_of(line_request->config, i))) return complete(client, -1, EINVAL);
      }
      for (std::uint32_t i = 0; i < line_request->num_lines; ++i) {
        if (line_request->offsets[i] >= lines) return complete(client, -1, EINVAL);
        const std::uint32_t offset = line_request->offsets[i];
        // gpiod_request_commit: a line already requested is EBUSY.
        const bool ours = offset == model.sda || offset == model.scl;
        if ((ours && !model.busy_consumer.empty()) || still_held(state)) {
          return complete(client, -1, EBUSY);
        }
      }
      // Pull-up bias is taken where the chip has it and ignored where not: gpio_set_bias in
      // gpiolib.c drops -ENOTSUPP, so no request fails for want of it.
      model.line_flags.clear();
      for (std::uint32_t i = 0; i < line_request->num_lines; ++i) {
        model.line_flags[line_request->offsets[i]] = flags_of(line_request->config, i);
      }
      state.requested.assign(line_request->offsets,
                             line_request->offsets + line_request->num_lines);
      // The line handle: another descriptor of the same emulated node, so that its ioctls come
      // here too. The test process is the client, so the number is valid there.
      const int fd = ::open(state.node.c_str(), O_RDWR | O_CLOEXEC);
      if (fd < 0) return complete(client, -1, errno);
      line_request->fd = fd;
      state.request_fd = fd;
      state.request_file = open_file_of(fd);
      state.drive_sda = state.drive_scl = true;
      settle(state);
      return complete(client, 0);
    }
    case GPIO_V2_LINE_SET_VALUES_IOCTL: {
      if (model.fail_errno) return complete(client, -1, model.fail_errno);
      auto* values = resolve<gpio_v2_line_values>(arg);
      if (!values) return complete(client, -1, EFAULT);
      // gpiod_set_array_value_complex in gpiolib.c hands each open-drain line on its own, in the
      // order of the request, to gpio_set_open_drain_value_commit: an input for 1, an output
      // driving 0 for 0. The device sees each change as it is made.
      for (std::size_t i = 0; i < state.requested.size(); ++i) {
        if ((values->mask >> i & 1) == 0) continue;
        const bool high = (values->bits >> i & 1) != 0;
        if (state.requested[i] == model.sda) state.drive_sda = high;
        if (state.requested[i] == model.scl) state.drive_scl = high;
        settle(state);
      }
      return complete(client, 0);
    }
    case GPIO_V2_LINE_GET_VALUES_IOCTL: {
      if (model.fail_errno) return complete(client, -1, model.fail_errno);
      auto* values = resolve<gpio_v2_line_values>(arg);
      if (!values) return complete(client, -1, EFAULT);
      // linereq_get_values: "It's ok to read values of output lines". A released open-drain line
      // is an input, so it reads the pin; one driving 0 reads 0.
      std::uint64_t bits = 0;
      for (std::size_t i = 0; i < state.requested.size(); ++i) {
        if ((values->mask >> i & 1) == 0) continue;
        bool high = true;
        const std::uint32_t offset = state.requested[i];
        // An open SDA line leaves the chip's pin alone with its own drive.
        if (offset == model.sda) {
          high = model.reads_own_output || model.sda_open ? state.drive_sda : state.pin_sda;
        }
        // A slow rise shows on the pin alone; the device takes SCL as high at once.
        if (offset == model.scl) {
          high = model.reads_own_output
                     ? state.drive_scl
                     : state.pin_scl &&
                           std::chrono::steady_clock::now() - state.scl_released >= model.scl_rise;
        }
        if (offset == model.sense) high = state.pin_sda;
        if (high) bits |= std::uint64_t{1} << i;
      }
      values->bits = bits;
      return complete(client, 0);
    }
    default:
      return complete(client, -1, ENOTTY);
  }
}

}  // namespace

std::vector<std::string> header_line_names() {
  std::vector<std::string> names;
  for (int i = 0; i < 28; ++i) names.push_back(i == 9 ? "" : "GPIO" + std::to_string(i));
  return names;
}

void run_under_umockdev(int, char** argv) {
  const char* preload = std::getenv("LD_PRELOAD");
  if (preload && std::strstr(preload, "umockdev-preload")) return;
  std::string value = kPreload;
  if (preload && *preload) value = std::string(preload) + ":" + value;
  ::setenv("LD_PRELOAD", value.c_str(), 1);
  ::execv("/proc/self/exe", argv);
  std::perror("cannot start again under umockdev's preload library");
  std::exit(1);
}

struct EmulatedHardware::State {
  UMockdevTestbed* testbed = nullptr;
  std::vector<UMockdevIoctlBase*> handlers;
  std::vector<std::unique_ptr<GpioState>> gpio;
};

EmulatedHardware::EmulatedHardware() : state_(std::make_unique<State>()) {
  state_->testbed = umockdev_testbed_new();
}

EmulatedHardware::~EmulatedHardware() {
  for (UMockdevIoctlBase* handler : state_->handlers) g_object_unref(handler);
  g_object_unref(state_->testbed);
}

std::string EmulatedHardware::root() const {
  gchar* dir = umockdev_testbed_get_root_dir(state_->testbed);
  std::string root = dir;
  g_free(dir);
  return root;
}

void EmulatedHardware::add_file(const std::string& path, const std::string& bytes) {
  const std::filesystem::path file = root() + path;
  std::filesystem::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << bytes;
}

void EmulatedHardware::add_link(const std::string& path, const std::string& target) {
  const std::filesystem::path link = root() + path;
  std::filesystem::create_directories(link.parent_path());
  std::filesystem::remove(link);
  std::filesystem::create_directory_symlink(
      std::filesystem::path(target).lexically_relative(std::filesystem::path(path).parent_path()),
      link);
}

void EmulatedHardware::add(const std::string& description) {
  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(state_->testbed, description.c_str(), &error)) {
    const std::string message = error ? error->message : "unknown error";
    if (error) g_error_free(error);
    throw std::runtime_error("cannot emulate a device: " + message);
  }
}

void EmulatedHardware::attach(const std::string& node, GCallback on_ioctl, void* user,
                              GCallback on_read, GCallback on_write) {
  UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
  g_signal_connect(handler, "handle-ioctl", on_ioctl, user);
  if (on_read) g_signal_connect(handler, "handle-read", on_read, user);
  if (on_write) g_signal_connect(handler, "handle-write", on_write, user);
  GError* error = nullptr;
  if (!umockdev_testbed_attach_ioctl(state_->testbed, node.c_str(), handler, &error)) {
    const std::string message = error ? error->message : "unknown error";
    if (error) g_error_free(error);
    g_object_unref(handler);
    throw std::runtime_error("cannot emulate " + node + ": " + message);
  }
  state_->handlers.push_back(handler);
}

void EmulatedHardware::add_i2c_sysfs_only(int number, const std::string& name) {
  add("P: /devices/i2c-" + std::to_string(number) + "\nE: SUBSYSTEM=i2c-dev\nA: name=" + name +
      "\n");
}

void EmulatedHardware::add_i2c_adapter(int number, const std::string& name,
                                       I2cAdapterModel& model) {
  const std::string device = "i2c-" + std::to_string(number);
  add("P: /devices/" + device + "\nE: SUBSYSTEM=i2c-dev\nE: DEVNAME=/dev/" + device +
      "\nA: name=" + name + "\nA: dev=89:" + std::to_string(number) + "\nN: " + device + "\n");
  attach("/dev/" + device, G_CALLBACK(on_i2c_ioctl), &model);
}

namespace {

gboolean on_usbtmc_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
  auto& model = *static_cast<UsbtmcModel*>(user);
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  note(model.log, request);
  if (request == USBTMC_IOCTL_SET_TIMEOUT) {
    auto* ms = resolve<__u32>(umockdev_ioctl_client_get_arg(client));
    if (!ms) return complete(client, -1, EFAULT);
    if (*ms < 100) return complete(client, -1, EINVAL);
    model.timeouts.push_back(*ms);
    return complete(client, 0);
  }
  if (request == USBTMC_IOCTL_CLEAR) {
    model.answers.clear();
    ++model.clears;
    return complete(client, 0);
  }
  // usbtmc488_ioctl_simple sends USB488's GOTO_LOCAL request: this instrument has the capability.
  if (request == USBTMC488_IOCTL_GOTO_LOCAL) {
    ++model.locals;
    return complete(client, 0);
  }
  return complete(client, -1, ENOTTY);
}

gboolean on_usbtmc_write(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
  auto& model = *static_cast<UsbtmcModel*>(user);
  UMockdevIoctlData* data = umockdev_ioctl_client_get_arg(client);
  std::string message(reinterpret_cast<const char*>(data->data),
                      static_cast<std::size_t>(data->data_len));
  const std::size_t size = message.size();
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  char reading[64];
  std::snprintf(reading, sizeof reading, "%+.8E\n", model.value);
  if (message == "*IDN?") {
    model.answers.push_back("Keysight Technologies,34465A," + model.serial + ",A.02.14\n");
  } else if (message == "SYST:ERR?") {
    model.answers.push_back("+0,\"No error\"\n");
  } else if (message == "READ?" && !model.silent) {
    model.answers.push_back(reading);
  }
  return complete(client, static_cast<long>(size));
}

gboolean on_usbtmc_read(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
  auto& model = *static_cast<UsbtmcModel*>(user);
  if (model.answers.empty()) return complete(client, -1, ETIMEDOUT);
  UMockdevIoctlData* data = umockdev_ioctl_client_get_arg(client);
  const std::string answer = model.answers.front();
  model.answers.erase(model.answers.begin());
  const std::size_t n =
      std::min<std::size_t>(answer.size(), static_cast<std::size_t>(data->data_len));
  std::memcpy(data->data, answer.data(), n);
  return complete(client, static_cast<long>(n));
}

}  // namespace

void EmulatedHardware::add_usbtmc(int number, UsbtmcModel& model) {
  const std::string name = "usbtmc" + std::to_string(number);
  const std::string usb = "/sys/devices/pci0000:00/usb1/1-" + std::to_string(number + 2);
  const std::string interface = usb + "/" + usb.substr(usb.rfind('/') + 1) + ":1.0";
  add("P: " + interface.substr(4) + "/usbmisc/" + name +
      "\nE: SUBSYSTEM=usbmisc\nE: DEVNAME=/dev/" + name +
      "\nA: dev=180:" + std::to_string(176 + number) + "\nN: " + name + "\n");
  char id[8];
  std::snprintf(id, sizeof id, "%04x\n", model.vendor);
  add_file(usb + "/idVendor", id);
  std::snprintf(id, sizeof id, "%04x\n", model.product);
  add_file(usb + "/idProduct", id);
  add_file(usb + "/serial", model.serial + "\n");
  add_link(interface + "/usbmisc/" + name + "/device", interface);
  add_link("/sys/class/usbmisc/" + name, interface + "/usbmisc/" + name);
  attach("/dev/" + name, G_CALLBACK(on_usbtmc_ioctl), &model, G_CALLBACK(on_usbtmc_read),
         G_CALLBACK(on_usbtmc_write));
}

void EmulatedHardware::add_gpio_chip(int number, GpioChipModel& model) {
  const std::string device = "gpiochip" + std::to_string(number);
  add("P: /devices/" + device + "\nE: SUBSYSTEM=gpio\nE: DEVNAME=/dev/" + device +
      "\nA: dev=254:" + std::to_string(number) + "\nN: " + device + "\n");
  auto gpio = std::make_unique<GpioState>();
  gpio->model = &model;
  gpio->node = "/dev/" + device;
  attach(gpio->node, G_CALLBACK(on_gpio_ioctl), gpio.get());
  state_->gpio.push_back(std::move(gpio));
}

}  // namespace vx::test
