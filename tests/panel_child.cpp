// The panel program as a user drives it, for the tests that must watch it end: it runs the real
// program and, once the window shows, acts as `--then` says, telling each step on standard output
// ("clicked cmdFS", "box: TEXT" for each message box, which it answers).
//   --then full-scale            click Full Scale
//   --then full-scale-exit       click Full Scale, then Exit 120 ms later
//   --then full-scale-then-exit  click Full Scale, then Exit once the work is done
//   --then characterise-exit     open the Characterise window, Start a sweep of the `sim` meter,
//                                then Exit once three codes are measured
#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QProgressBar>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "window/main_window.h"
#include "window/program.h"

namespace {

void tell(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

void click(vx::panel::Form1& form, const char* name) {
  form.findChild<QAbstractButton*>(name)->click();
  tell(std::string("clicked ") + name);
}

}  // namespace

int main(int argc, char** argv) {
  std::string then;
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--then") == 0 && i + 1 < argc) {
      then = argv[++i];
    } else {
      args.push_back(argv[i]);
    }
  }
  int count = static_cast<int>(args.size());
  args.push_back(nullptr);
  return vx::panel::run_panel(count, args.data(), [then](vx::panel::Form1& form) {
    // Message boxes are told and answered as they come.
    auto* boxes = new QTimer(&form);
    QObject::connect(boxes, &QTimer::timeout, &form, [] {
      for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (!box || !box->isVisible()) continue;
        tell("box: " + box->text().toStdString());
        if (QAbstractButton* yes = box->button(QMessageBox::Yes)) {
          yes->click();
        } else {
          box->accept();
        }
      }
    });
    boxes->start(10);
    if (then.rfind("full-scale", 0) == 0) click(form, "cmdFS");
    if (then == "characterise-exit") {
      QWidget* window = nullptr;
      for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->objectName() == "characterise") window = widget;
      }
      window->show();
      window->findChild<QAbstractButton*>("start")->click();
      tell("clicked start");
      auto* watch = new QTimer(&form);
      QObject::connect(watch, &QTimer::timeout, &form, [&form, window, watch] {
        const auto* progress = window->findChild<QProgressBar*>("progress");
        if (progress->value() < 3) return;
        watch->stop();
        click(form, "cmdExit");
      });
      watch->start(5);
    }
    if (then == "full-scale-exit") {
      QTimer::singleShot(120, &form, [&form] { click(form, "cmdExit"); });
    }
    if (then == "full-scale-then-exit") {
      auto* done = new QTimer(&form);
      QObject::connect(done, &QTimer::timeout, &form, [&form, done] {
        if (form.pending() > 0) return;
        done->stop();
        click(form, "cmdExit");
      });
      done->start(10);
    }
  });
}
