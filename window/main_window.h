#pragma once

#include <QWidget>
#include <array>

#include "panel/panel_logic.h"

class QAbstractSlider;
class QLineEdit;
class QPushButton;
class QScrollBar;

namespace vx::panel {

// The panel's only window. It mirrors the panel logic and forwards the user's actions to it; it
// keeps no state of its own. A failure inside an action is shown in a message box and the panel
// carries on.
class Form1 final : public QWidget, private PanelView {
  Q_OBJECT

 public:
  explicit Form1(PanelLogic& logic, QWidget* parent = nullptr);
  ~Form1() override;

 private:
  void show_cell(int index, int value) override;
  void show_slider(int value) override;
  void show_text(TextBox box, int index, std::string_view text) override;

  // Runs a user action at the event boundary: nothing thrown crosses into Qt. `source` is the
  // scroll bar the action came from, if any.
  template <class Action>
  void run(Action&& action, QAbstractSlider* source = nullptr);
  void report(const QString& message);

  void build_cells();
  void build_input_group();
  void build_static_labels();
  void build_buttons();

  PanelLogic& logic_;
  std::array<QScrollBar*, frame::kCellCount> vsbBit_{};
  QScrollBar* vsbInputCode1_ = nullptr;
  std::array<QLineEdit*, kTextSlots> text_boxes_{};  // by text_slot: txtBit, then the others
};

}  // namespace vx::panel
