// The FTDI back end's own libftdi wrapper, run for real: the USB-facing functions of libftdi and
// libusb are replaced in this program by ones that hand each call to the simulated chip (a
// program's own definitions come before a shared library's), while libftdi's context, its
// ftdi_set_interface and its divisor (convert_baudrate_UT_export) stay the library's own. So the
// interface letter reaches the chip through libftdi's INTERFACE_x numbering, and the clock path
// is read from the divisor's index bit as the real chip would be programmed.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ftdi.h>
#include <libusb.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "backends/ftdi.h"
#include "panel/panel_logic.h"
#include "port/port_access.h"
#include "sim/device.h"
#include "support/simulated_ftdi.h"

namespace {

vx::test::FtdiChipModel* model = nullptr;
vx::test::SimulatedFtdi* chip = nullptr;
std::string error;  // what ftdi_get_error_string gives: the chip's last words, or NULL before any

// The chip behind a fake libusb_device: its index in the model's list, plus one (never null).
std::size_t index_of(libusb_device* dev) {
  return reinterpret_cast<std::uintptr_t>(dev) - 1;
}

int said(int result) {
  if (result < 0) error = chip->error_string();
  return result;
}

}  // namespace

extern "C" {

// libftdi's src/ftdi.c: ftdi_usb_find_all gives a list of the chips attached, each a libusb
// device, and its count; ftdi_list_free frees it.
int ftdi_usb_find_all(ftdi_context*, ftdi_device_list** list, int, int) {
  *list = nullptr;
  for (std::size_t i = model->attached.size(); i-- > 0;) {
    auto* node = static_cast<ftdi_device_list*>(std::calloc(1, sizeof(ftdi_device_list)));
    node->next = *list;
    node->dev = reinterpret_cast<libusb_device*>(i + 1);
    *list = node;
  }
  return static_cast<int>(model->attached.size());
}

void ftdi_list_free(ftdi_device_list** list) {
  while (*list) {
    ftdi_device_list* next = (*list)->next;
    std::free(*list);
    *list = next;
  }
}

// The device's strings, each cut to its buffer and ended, as libusb's string descriptors are.
int ftdi_usb_get_strings(ftdi_context*, libusb_device* dev, char* manufacturer, int mnf_len,
                         char* description, int desc_len, char* serial, int serial_len) {
  const vx::backends::FtdiChip& c = model->attached.at(index_of(dev));
  const auto put = [](char* to, int size, const std::string& text) {
    if (to && size > 0) std::snprintf(to, static_cast<std::size_t>(size), "%s", text.c_str());
  };
  put(manufacturer, mnf_len, "FTDI");
  put(description, desc_len, c.description);
  put(serial, serial_len, c.serial);
  return 0;
}

int libusb_get_device_descriptor(libusb_device* dev, libusb_device_descriptor* descriptor) {
  *descriptor = {};
  descriptor->idVendor = 0x0403;
  descriptor->idProduct = static_cast<std::uint16_t>(model->attached.at(index_of(dev)).product);
  return 0;
}
std::uint8_t libusb_get_bus_number(libusb_device* dev) {
  return static_cast<std::uint8_t>(model->attached.at(index_of(dev)).bus);
}
std::uint8_t libusb_get_device_address(libusb_device* dev) {
  return static_cast<std::uint8_t>(model->attached.at(index_of(dev)).address);
}

// ftdi_usb_open_dev claims the interface ftdi_set_interface chose (ftdi->interface, 0 for A) and
// sets ftdi->type from the device's bcdDevice; the model says which type the chip is.
int ftdi_usb_open_dev(ftdi_context* ftdi, libusb_device* dev) {
  const int opened = said(chip->open(model->attached.at(index_of(dev)).serial, ftdi->interface));
  if (opened == 0) ftdi->type = static_cast<ftdi_chip_type>(model->type);
  return opened;
}

int ftdi_set_bitmode(ftdi_context*, unsigned char bitmask, unsigned char mode) {
  return said(chip->set_bitmode(bitmask, mode));
}
int ftdi_set_latency_timer(ftdi_context*, unsigned char latency) {
  return said(chip->set_latency_timer(latency));
}
int ftdi_set_baudrate(ftdi_context*, int baudrate) {
  return said(chip->set_baudrate(baudrate));
}
int ftdi_write_data(ftdi_context*, const unsigned char* data, int size) {
  return said(chip->write(data, size));
}
int ftdi_read_data(ftdi_context*, unsigned char* data, int size) {
  return said(chip->read(data, size));
}
int ftdi_tcioflush(ftdi_context*) {
  return said(chip->purge());
}
int ftdi_usb_close(ftdi_context*) {
  chip->close();
  return 0;
}
const char* ftdi_get_error_string(ftdi_context*) {
  return error.empty() ? nullptr : error.c_str();
}

}  // extern "C"

namespace vx {
namespace {

using ::testing::HasSubstr;
using namespace std::chrono_literals;

// The chip the replaced functions hand their calls to, for one test.
struct Attached {
  explicit Attached(test::FtdiChipModel& m) : simulated(m) {
    model = &m;
    chip = &simulated;
    error.clear();
  }
  ~Attached() {
    model = nullptr;
    chip = nullptr;
  }
  Attached(const Attached&) = delete;
  Attached& operator=(const Attached&) = delete;
  test::SimulatedFtdi simulated;
};

// Through the real wrapper: the letter opens that interface of a dual or quad chip, an H chip runs
// on its 12 MHz clock path as libftdi's divisor says, an FT232R on its 3 MHz one, and a frame
// reaches the device.
TEST(LibftdiWrapper, OpensTheInterfaceItsLetterNamesOnTheRightClockPath) {
  struct Case {
    int type, product;
    const char* choice;
    int interface;
    bool high_speed;
  };
  for (const Case& c : {Case{3, 0x6001, "", 0, false}, Case{4, 0x6010, ":B", 1, true},
                        Case{5, 0x6011, "FT9H2K01:C", 2, true}, Case{5, 0x6011, ":D", 3, true},
                        Case{6, 0x6014, "", 0, true}}) {
    SCOPED_TRACE(std::to_string(c.product) + c.choice);
    test::FtdiChipModel m;
    if (c.type != 3) test::like_h_chip(m, c.type, c.product);
    const Attached attached(m);
    port::PortAccess access([&] { return backends::open_ftdi(c.choice, 5us); });
    panel::PanelLogic logic(access);
    logic.user_sets_slider(17);
    EXPECT_EQ(m.interface, c.interface);
    EXPECT_EQ(m.high_speed_path, c.high_speed);
    EXPECT_EQ(m.device->setting(), 17);
  }
}

// The list as the ports listing takes it: each chip's serial, description, USB node and product.
TEST(LibftdiWrapper, ListsEachChipWithItsStringsAndNode) {
  test::FtdiChipModel m;
  m.attached.push_back({"FT9H2K01", "Dual RS232-HS", 3, 12, 0x6010});
  const Attached attached(m);
  const std::vector<backends::FtdiChip> chips =
      backends::list_ftdi_chips(*backends::libftdi_calls());
  ASSERT_EQ(chips.size(), 2u);
  EXPECT_EQ(chips[0].serial, "FT6ZQ7TX");
  EXPECT_EQ(chips[0].description, "FT232R USB UART");
  EXPECT_EQ(chips[1].serial, "FT9H2K01");
  EXPECT_EQ(chips[1].bus, 3);
  EXPECT_EQ(chips[1].address, 12);
  EXPECT_EQ(chips[1].product, 0x6010);
}

// A chip another driver holds: the wrapper passes libftdi's own words on.
TEST(LibftdiWrapper, AnOpenThatFailsSaysLibftdisWords) {
  test::FtdiChipModel m;
  m.open_result = -5;
  const Attached attached(m);
  port::PortAccess access([&] { return backends::open_ftdi("", 5us); });
  panel::PanelLogic logic(access);
  try {
    logic.user_sets_slider(3);
    ADD_FAILURE() << "opened";
  } catch (const port::PortError& e) {
    EXPECT_THAT(e.what(), HasSubstr("unable to claim usb device"));
  }
}

}  // namespace
}  // namespace vx
