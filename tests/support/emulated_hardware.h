#pragma once

#include <linux/i2c.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/device.h"

namespace vx::test {

// Starts the calling test program again under umockdev's preload library, unless it already runs
// under it, so that its opens and ioctls of /dev and /sys reach the emulation. Call first in main.
void run_under_umockdev(int argc, char** argv);

// What the emulated hardware answers, kept for the test to look at. The ioctl handlers run on
// umockdev's own thread while the test's thread waits in its ioctl, so each call is guarded.
struct HardwareLog {
  std::mutex mutex;
  std::vector<unsigned long> ioctls;  // every request, in order
  int count(unsigned long request) {
    std::lock_guard lock(mutex);
    int n = 0;
    for (unsigned long r : ioctls) n += r == request;
    return n;
  }
  void clear() {
    std::lock_guard lock(mutex);
    ioctls.clear();
  }
};

// An I2C adapter's behaviour over the simulated device: each message is clocked out to the
// device bit by bit, and a missing acknowledge fails the transfer as an adapter does. As made, it
// answers as an i2c-algo-bit adapter does (i2c-gpio, a board's bit-banged bus); the functions
// below make it answer as a USB bridge's driver does, each as its source says.
struct I2cAdapterModel {
  std::shared_ptr<sim::Device> device = std::make_shared<sim::Device>();
  // drivers/i2c/algos/i2c-algo-bit.c, bit_func: plain I2C and every SMBus command emulated over
  // it, the quick write among them.
  unsigned long functions = I2C_FUNC_I2C | I2C_FUNC_NOSTART | I2C_FUNC_SMBUS_EMUL_ALL |
                            I2C_FUNC_10BIT_ADDR | I2C_FUNC_PROTOCOL_MANGLING;
  // Which driver's own smbus_xfer takes I2C_SMBUS: `core` for an adapter without one, whose
  // commands i2c-core carries as messages (i2c_smbus_xfer_emulated in i2c-core-smbus.c). Where a
  // driver answers EOPNOTSUPP and has master_xfer, i2c-core falls back to those messages too
  // (__i2c_smbus_xfer). Each driver's commands are in emulated_hardware.cpp, with its source.
  enum class Smbus { core, ft260_6_1, ft260_6_2, mcp2221, cp2112, i801 };
  Smbus smbus = Smbus::core;
  bool device_present = true;         // false: nobody acknowledges
  int nack_errno = 6;                 // ENXIO: i2c-algo-bit's bit_xfer for a missing acknowledge
  int read_nack_errno = 0;            // when set, what a read to nobody fails with instead
  std::vector<std::uint16_t> bound;   // addresses a kernel driver holds: I2C_SLAVE answers EBUSY
  std::uint16_t slave = 0;            // as I2C_SLAVE last set it
  int fail_errno = 0;                 // when set, every transfer fails with it (unplugged)
  int zero_length_errno = 0;          // when set, a message without data fails with it
  std::vector<std::string> messages;  // each message: "W 2C 0" (write, address, length)
  HardwareLog log;
};

// drivers/hid/hid-ft260.c after 6.2: ft260_functionality offers no SMBus quick write,
// ft260_smbus_xfer answers EOPNOTSUPP to it, and ft260_i2c_write refuses a message without data
// ("if (len < 1) return -EINVAL"). A write the chip reports unacknowledged fails with EIO
// (ft260_xfer_status); a read of nobody gets no data and times out (ft260_i2c_read: ETIMEDOUT
// after 5 s, not waited here).
void like_ft260(I2cAdapterModel& adapter);
// drivers/hid/hid-ft260.c as in 6.1, Debian 12's kernel: the quick write offered and carried by
// ft260_smbus_write as a write of one byte, the command (0 from i2cdetect), and no length check.
void like_ft260_6_1(I2cAdapterModel& adapter);
// drivers/hid/hid-mcp2221.c as in 6.1: I2C and every emulated SMBus command but PEC
// (mcp_i2c_func); mcp_smbus_xfer carries the quick write as mcp_smbus_write with no data, whose
// report still holds the command byte with a length of one ("len + 1"): a write of one byte. A
// missing acknowledge is ENXIO (mcp_get_i2c_eng_state, MCP2221_I2C_WRADDRL_NACK).
void like_mcp2221(I2cAdapterModel& adapter);
// drivers/hid/hid-cp2112.c: cp2112_functionality offers I2C and SMBus byte, byte-data, word,
// block and process calls, no quick write, and the driver sets no quirk for messages without data.
// The chip's data write request takes 1 to 61 bytes (AN495); what it does with none is not
// documented, so the model fails it (EIO), as an unfinished transfer is reported.
void like_cp2112(I2cAdapterModel& adapter);
// An adapter with i2c-core's I2C_AQ_NO_ZERO_LEN quirk: i2c_check_for_quirks refuses a message
// without data with EOPNOTSUPP before it reaches the driver, and such drivers leave the quick
// write out of their functions (i2c-mt65xx's mtk_i2c_functionality).
void with_no_zero_length_quirk(I2cAdapterModel& adapter);
// drivers/i2c/busses/i2c-i801.c, an Intel chipset's SMBus controller: no master_xfer, so no plain
// I2C (i801_func offers SMBus commands only, the quick write among them); i801_access carries
// each command natively, the quick write as the address alone; a missing acknowledge is ENXIO
// (i801_check_post: SMBHSTSTS_DEV_ERR).
void like_i801(I2cAdapterModel& adapter);

// GPIO0 to GPIO27, as a single-board computer's header names its lines, with line 9 unnamed as
// lines often are.
std::vector<std::string> header_line_names();

// A GPIO chip whose lines SDA and SCL (and SENSE, an input wired to SDA) are wired to the
// simulated device, with pull-ups on the board. It answers as gpiolib and its character device
// do; each behaviour names its source in emulated_hardware.cpp.
struct GpioChipModel {
  std::string label = "pinctrl-bcm2711";
  std::vector<std::string> line_names = header_line_names();  // one per line
  unsigned sda = 2, scl = 3, sense = 4;
  std::shared_ptr<sim::Device> device = std::make_shared<sim::Device>();
  bool device_present = true;     // false: nothing on the bus but the pull-ups
  bool reads_own_output = false;  // a driver that reads back what it drives, not the pin
  bool sda_shorted = false;       // a line held to ground on the board
  bool scl_shorted = false;
  bool scl_to_supply = false;  // SCL shorted to the supply: it cannot be pulled low
  bool bridged = false;        // SDA and SCL shorted together: each is low when either is
  // SDA broken between the chip and the bus: the chip's pin sees its own drive, the bus and SENSE
  // only the device and the pull-ups.
  bool sda_open = false;
  // A weak pull-up on SCL: released, the pin reads low this long before it reads high (the rise
  // time of the pull-up against the line's capacitance, UM10204's t_r).
  std::chrono::microseconds scl_rise{0};
  int v2_errno = 0;           // when set, every uAPI v2 call fails with it (a kernel before 5.10)
  std::string busy_consumer;  // when set, the lines are in use by this consumer
  int fail_errno = 0;         // when set, every line ioctl fails with it (unplugged)
  int unplug_in = 0;          // when > 0, the line ioctl that many from now sets ENODEV

  // What it saw, for the test: each requested line's flags, by offset; when every line call
  // reached this emulation and when the emulation let it return; START and STOP conditions on the
  // pins.
  struct LineCall {
    std::chrono::steady_clock::time_point entered, returned;
  };
  std::map<unsigned, std::uint64_t> line_flags;
  std::vector<LineCall> line_calls;
  int starts = 0, stops = 0;
  HardwareLog log;
};

// A USBTMC meter behind the kernel's usbtmc driver, as drivers/usb/class/usbtmc.c answers user
// space: each write one message to the instrument, each read one whole answer or ETIMEDOUT once the
// driver's time-out passes (usbtmc_read), USBTMC_IOCTL_SET_TIMEOUT refused under 100 ms with
// EINVAL (usbtmc_ioctl_set_timeout), USBTMC_IOCTL_CLEAR discarding what the instrument held. The
// instrument speaks SCPI as a 34465A does.
struct UsbtmcModel {
  unsigned vendor = 0x2A8D, product = 0x1301;
  std::string serial = "MY12345";
  double value = 4321.5;
  bool silent = false;               // READ? is never answered
  std::vector<std::string> answers;  // waiting to be read
  std::vector<unsigned> timeouts;    // every time-out set, in ms
  int clears = 0;
  int locals = 0;  // go-to-local requests
  HardwareLog log;
};

// A umockdev test bed in this process: /sys and /dev as the test lays them out.
class EmulatedHardware {
 public:
  EmulatedHardware();
  ~EmulatedHardware();
  EmulatedHardware(const EmulatedHardware&) = delete;
  EmulatedHardware& operator=(const EmulatedHardware&) = delete;

  // /dev/i2c-N and /sys/class/i2c-dev/i2c-N with its name, answered by `model`.
  void add_i2c_adapter(int number, const std::string& name, I2cAdapterModel& model);
  // /dev/gpiochipN and its /sys entry, answered by `model`.
  void add_gpio_chip(int number, GpioChipModel& model);
  // /sys/class/i2c-dev/i2c-N alone, with no device node.
  void add_i2c_sysfs_only(int number, const std::string& name);
  // /dev/usbtmcN, its /sys/class/usbmisc entry and the USB device above it with its ids.
  void add_usbtmc(int number, UsbtmcModel& model);

  // A file or a symbolic link under the emulated root, its folders made: `path` as the program
  // sees it ("/sys/firmware/..."), a link's `target` too, made relative as sysfs makes its links.
  void add_file(const std::string& path, const std::string& bytes);
  void add_link(const std::string& path, const std::string& target);

  // Where the emulated /sys and /dev lie on the real file system.
  std::string root() const;

 private:
  void add(const std::string& description);  // in umockdev-record's format
  void attach(const std::string& node, void (*on_ioctl)(), void* user, void (*on_read)() = nullptr,
              void (*on_write)() = nullptr);

  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace vx::test
