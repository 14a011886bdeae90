#pragma once

#include <array>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "bus/line_driver.h"
#include "frame/cell_register.h"
#include "port/port_access.h"

namespace vx::panel {

// The panel's text boxes. `bit` is the txtBit array; the others are single boxes.
enum class TextBox { bit, display1, sda_write, sda_data };

// Every text box numbered in one table, shared by the logic and the window: the txtBit array
// first, then the single boxes in the order above.
inline constexpr int kTextSlots = frame::kCellCount + 3;
constexpr int text_slot(TextBox box, int index) {
  return box == TextBox::bit ? index : frame::kCellCount + static_cast<int>(box) - 1;
}

// What the window mirrors. Calls come synchronously, in the order the values change, and may nest
// (a cell changed inside the refresh of another cell).
class PanelView {
 public:
  virtual ~PanelView() = default;
  virtual void show_cell(int index, int value) = 0;
  virtual void show_slider(int value) = 0;
  // Every write of a text box, also one that writes the text it already holds: a box the user
  // typed over is put right at its next write.
  virtual void show_text(TextBox box, int index, std::string_view text) = 0;
};

// An event left between two frames because the stop check asked it to: the program is ending.
class Stopped : public std::runtime_error {
 public:
  Stopped() : std::runtime_error("stopped between two frames") {}
};

// The panel's whole behaviour without a toolkit: the window's event procedures, the shared data
// code and frame word, and the displayed values. A port failure is thrown out of the event that
// met it, with the rest of that event left undone; the next event starts afresh. A trace that
// could not be written is thrown as a TraceError once, at the end of an event that did its work.
class PanelLogic {
 public:
  static constexpr int kSliderMax = 255;

  explicit PanelLogic(port::PortAccess& port);
  PanelLogic(const PanelLogic&) = delete;
  PanelLogic& operator=(const PanelLogic&) = delete;

  void set_view(PanelView* view) { view_ = view; }
  // Asked before each frame, on the thread the events run on; true abandons the event there with
  // Stopped, the bus idle and the trace complete. It must not block.
  void set_stop_check(std::function<bool()> check) { stop_check_ = std::move(check); }

  // Button clicks.
  void cmdRun_Click();
  void cmdRead_Click();
  void cmdZS_Click();
  void cmdMS_Click();
  void cmdFS_Click();

  // The user moved a cell's scroll bar or the input-code slider to `value`. Out-of-range values
  // throw std::out_of_range and change nothing.
  void user_sets_cell(int index, int value);
  void user_sets_slider(int value);

  // For a characterisation, each a whole event that changes no display (the sweep puts back the
  // setting it found): the slider's frame for `code`, and the setting read back, each after the
  // stop check; `restore_code` sends the frame whatever the stop check says, to leave the part as
  // it was found.
  void send_code(int code);
  int read_setting();
  void restore_code(int code);
  // Holds the part for the sweep while the result lives (port::Port::hold_for_sweep).
  std::shared_ptr<void> hold_for_sweep();
  // What the stop check says now.
  bool stop_asked() const { return stop_check_ && stop_check_(); }

  int cell(int index) const { return cells_.value(index); }
  int slider() const { return slider_; }
  const std::string& text(TextBox box, int index = 0) const;
  double data_code() const { return data_code_; }
  double frame_word() const { return frame_word_; }

 private:
  template <class Body>
  void event(Body&& body);

  void assign_cell(int index, int value) { cells_.assign(index, static_cast<std::int16_t>(value)); }
  void assign_slider(int value);
  void set_text(TextBox box, int index, std::string text);

  void vsbBit_Change(int index);  // the cell refresh
  void vsbInputCode1_Change();    // the slider send
  void load_standard_address();
  void preset(int code);
  void before_frame() const {
    if (stop_check_ && stop_check_()) throw Stopped();
  }

  port::PortAccess& port_;
  bus::LineDriver driver_;
  frame::CellRegister cells_;
  int slider_ = 0;
  double data_code_ = 0;  // shared by Run, the presets, the slider and the read-back
  double frame_word_ = 0;
  std::array<std::string, kTextSlots> texts_;
  PanelView* view_ = nullptr;
  std::function<bool()> stop_check_;
  int event_depth_ = 0;
};

}  // namespace vx::panel
