#pragma once

#include <QColor>
#include <QFont>
#include <QProxyStyle>
#include <QPushButton>
#include <QRect>

namespace vx::panel {

// Positions come in twips, 15 to a pixel.
constexpr int px(int twips) {
  return (twips + 7) / 15;
}
inline QRect twips(int left, int top, int width, int height) {
  return {px(left), px(top), px(width), px(height)};
}

// A colour written 0x00BBGGRR.
inline QColor bgr(unsigned value) {
  return QColor::fromRgb(static_cast<int>(value & 0xFF), static_cast<int>((value >> 8) & 0xFF),
                         static_cast<int>((value >> 16) & 0xFF));
}

// The panel's font at `points`, sized in pixels so that a desktop's font DPI cannot make a caption
// outgrow its fixed box. Arial-metric faces stand in where MS Sans Serif is missing.
QFont panel_font(double points, bool bold = false);

// Fusion everywhere, with a click in a scroll bar's track stepping by one instead of jumping to
// the pointer, whatever the desktop's theme says.
class PanelStyle final : public QProxyStyle {
 public:
  PanelStyle();
  int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                QStyleHintReturn* returned) const override;
};

// A button whose face is filled with its colour and whose caption wraps onto several lines when
// the button is narrow. The caption keeps its "&" access key.
class ColouredButton final : public QPushButton {
 public:
  ColouredButton(const QString& caption, QColor face, QWidget* parent);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QColor face_;
};

}  // namespace vx::panel
