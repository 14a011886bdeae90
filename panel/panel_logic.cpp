#include "panel/panel_logic.h"

#include <array>
#include <stdexcept>

#include "bus/read_back.h"
#include "bus/write_transaction.h"
#include "frame/code_conversions.h"
#include "frame/device_address.h"

namespace vx::panel {

namespace {

struct CellValue {
  int cell;
  int value;
};

// The bits of `byte` into cells top..top-7, most significant first, the order the panel loads them.
constexpr std::array<CellValue, 8> byte_cells(int byte, int top) {
  std::array<CellValue, 8> cells{};
  for (int k = 0; k < 8; ++k) cells[static_cast<std::size_t>(k)] = {top - k, byte >> (7 - k) & 1};
  return cells;
}

constexpr auto kWriteAddressCells = byte_cells(frame::kWriteAddressByte, 26);
constexpr auto kSecondByteCells = byte_cells(0x00, 17);
constexpr auto kReadAddressCells = byte_cells(frame::kReadAddressByte, 44);
// After the read address: its acknowledge slot low, the master's acknowledge after the data high.
constexpr CellValue kReadAcknowledges[] = {{36, 0}, {27, 1}};

constexpr int kMidScale = 128;

}  // namespace

PanelLogic::PanelLogic(port::PortAccess& port) : port_(port), driver_(port) {
  cells_.set_change_handler([this](int index) {
    if (view_) view_->show_cell(index, cells_.value(index));
    vsbBit_Change(index);
  });
}

// Runs one event. The trace is made complete whenever the outermost event ends, failed or not,
// since the panel then waits for the user. A trace error is reported after an event that did its
// work; after a failed one, the event's own failure is the one to report and the trace error waits
// for the next event.
template <class Body>
void PanelLogic::event(Body&& body) {
  ++event_depth_;
  try {
    body();
  } catch (...) {
    if (--event_depth_ == 0) port_.flush();
    throw;
  }
  if (--event_depth_ > 0) return;
  port_.flush();
  if (auto error = port_.take_trace_error()) throw port::TraceError(*error);
}

void PanelLogic::send_code(int code) {
  event([&] {
    before_frame();
    bus::Read_Write_Bits_to_Parallel_Port(driver_, frame::fixed_address_frame_word(code));
  });
}

int PanelLogic::read_setting() {
  int value = 0;
  event([&] {
    before_frame();
    value = bus::read_transaction(driver_, bus::standard_read_frame());
  });
  return value;
}

std::shared_ptr<void> PanelLogic::hold_for_sweep() {
  std::shared_ptr<void> held;
  event([&] { held = port_.port().hold_for_sweep(); });
  return held;
}

void PanelLogic::restore_code(int code) {
  event([&] {
    bus::Read_Write_Bits_to_Parallel_Port(driver_, frame::fixed_address_frame_word(code));
  });
}

const std::string& PanelLogic::text(TextBox box, int index) const {
  return texts_.at(static_cast<std::size_t>(text_slot(box, index)));
}

void PanelLogic::set_text(TextBox box, int index, std::string text) {
  std::string& target = texts_.at(static_cast<std::size_t>(text_slot(box, index)));
  target = std::move(text);
  if (view_) view_->show_text(box, index, target);
}

void PanelLogic::assign_slider(int value) {
  if (value < 0 || value > kSliderMax) {
    throw std::out_of_range("the input code " + std::to_string(value) + " is outside 0..255");
  }
  if (value == slider_) return;
  slider_ = value;
  if (view_) view_->show_slider(value);
  vsbInputCode1_Change();
}

void PanelLogic::user_sets_cell(int index, int value) {
  event([&] { assign_cell(index, value); });
}

void PanelLogic::user_sets_slider(int value) {
  event([&] { assign_slider(value); });
}

void PanelLogic::cmdRun_Click() {
  event([&] {
    frame::Compute_Frame_Word(cells_, data_code_, frame_word_);
    before_frame();
    bus::Read_Write_Bits_to_Parallel_Port(driver_, frame_word_);
  });
}

void PanelLogic::cmdRead_Click() {
  event([&] {
    cmdRun_Click();
    for (auto [cell, value] : kReadAddressCells) assign_cell(cell, value);
    for (auto [cell, value] : kReadAcknowledges) assign_cell(cell, value);
    before_frame();
    const int byte = bus::read_transaction(driver_, cells_);
    set_text(TextBox::sda_data, 0, std::to_string(byte));
    frame::spread_byte(cells_, byte, frame::kReadDataCellLow);
  });
}

void PanelLogic::cmdZS_Click() {
  event([&] {
    load_standard_address();
    for (int i = 1; i <= 8; ++i) assign_cell(i, 0);
    preset(0);
  });
}

void PanelLogic::cmdMS_Click() {
  event([&] {
    load_standard_address();
    assign_cell(8, 1);
    for (int i = 1; i <= 7; ++i) assign_cell(i, 0);
    preset(kMidScale);
  });
}

void PanelLogic::cmdFS_Click() {
  event([&] {
    load_standard_address();
    for (int i = 1; i <= 8; ++i) assign_cell(i, 1);
    preset(kSliderMax);
  });
}

// The presets' common end: the slider follows (sending at once if it moves), then Run.
void PanelLogic::preset(int code) {
  assign_slider(code);
  cmdRun_Click();
}

void PanelLogic::load_standard_address() {
  for (auto [cell, value] : kWriteAddressCells) assign_cell(cell, value);
  for (auto [cell, value] : kSecondByteCells) assign_cell(cell, value);
}

void PanelLogic::vsbBit_Change(int /*index*/) {
  for (int i = 0; i < frame::kCellCount; ++i) {
    set_text(TextBox::bit, i, cells_.value(i) == 1 ? "1" : "0");
  }
  double code = 0;
  double word = 0;
  frame::Compute_Frame_Word(cells_, code, word);
  set_text(TextBox::sda_write, 0, std::to_string(static_cast<int>(code)));
}

void PanelLogic::vsbInputCode1_Change() {
  load_standard_address();
  set_text(TextBox::display1, 0, std::to_string(slider_));
  data_code_ = slider_;
  frame::Code_to_Data_Bits(cells_, data_code_);
  frame_word_ = frame::fixed_address_frame_word(data_code_);
  before_frame();
  bus::Read_Write_Bits_to_Parallel_Port(driver_, frame_word_);
}

}  // namespace vx::panel
