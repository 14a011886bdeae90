#pragma once

#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <array>
#include <deque>
#include <functional>
#include <memory>

#include "panel/panel_logic.h"
#include "panel/worker.h"

class QAbstractSlider;
class QLineEdit;
class QPushButton;
class QScrollBar;

namespace vx::panel {

// The panel's only window. It mirrors the panel logic and forwards the user's actions to it; it
// keeps no state of its own. A failure inside an action is shown in a message box and the panel
// carries on.
//
// On its own, the window runs each action at once, on its own thread. Given a worker
// (`use_worker`), it queues each action there in the order the user acted and goes on drawing: what
// the logic shows comes back as events, a wait cursor shows once work has been queued for 100 ms,
// and closing the window stops the work at the end of the frame in progress.
class Form1 final : public QWidget, private PanelView {
  Q_OBJECT

 public:
  explicit Form1(PanelLogic& logic, QWidget* parent = nullptr);
  ~Form1() override;

  // Runs the logic's events on a worker of the window's own from now on; call once, before the
  // first action.
  void use_worker();
  // Drops the queued actions and stops the one in progress at its next frame (returns at once);
  // then waits until the frame in progress has ended. Idempotent.
  void stop_work();
  void finish_work();
  bool stopping() const { return worker_ && worker_->stopping(); }
  // Actions queued or running, none when idle.
  int pending() const { return pending_; }
  // While `why` gives a reason, the user's actions are refused with it and the scroll bar moved is
  // put back: a characterisation holds the port, and they would wait behind all of it.
  void set_refused(std::function<std::string()> why) { refused_ = std::move(why); }
  // Told once the window has closed (Exit, or its close button): the program ends then, whatever
  // other windows are open.
  void set_closed(std::function<void()> closed) { closed_ = std::move(closed); }
  // Queues long work (a characterisation) on the worker behind what the user did, without the
  // wait cursor: it reports for itself. Without a worker it runs at once. It must catch what it
  // throws.
  void post_work(std::function<void()> work);
  // Failures met by an action, rewritten before they are shown: the settings named.
  void set_failure_words(std::function<std::string(const std::exception&)> words) {
    failure_words_ = std::move(words);
  }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void show_cell(int index, int value) override;
  void show_slider(int value) override;
  void show_text(TextBox box, int index, std::string_view text) override;

  // Runs a user action at the event boundary, or queues it on the worker: nothing thrown crosses
  // into Qt. `source` is the scroll bar the action came from, if any.
  void run(std::function<void()> action, QAbstractSlider* source = nullptr);
  void failed(const std::string& message, QAbstractSlider* source);
  void ended(bool failed, const std::string& message);
  void report(const QString& message);
  // On the window's thread: at once when called there, else queued behind what came before.
  template <class Show>
  void on_window_thread(Show&& show);

  void build_cells();
  void build_input_group();
  void build_static_labels();
  void build_buttons();

  PanelLogic& logic_;
  std::unique_ptr<Worker> worker_;
  // Each queued action, in order: the scroll bar it came from, and whether it counts as pending
  // (a characterisation does not).
  struct Queued {
    QPointer<QAbstractSlider> source;
    bool counted = true;
  };
  std::deque<Queued> queued_;
  int pending_ = 0;
  std::function<std::string()> refused_;
  std::function<void()> closed_;
  QTimer busy_;           // shows the wait cursor once work has waited long enough
  bool waiting_ = false;  // the wait cursor is shown
  std::function<std::string(const std::exception&)> failure_words_;
  std::array<QScrollBar*, frame::kCellCount> vsbBit_{};
  QScrollBar* vsbInputCode1_ = nullptr;
  std::array<QLineEdit*, kTextSlots> text_boxes_{};  // by text_slot: txtBit, then the others
};

}  // namespace vx::panel
