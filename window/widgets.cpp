#include "window/widgets.h"

#include <qdrawutil.h>
#include <QPainter>
#include <QStyleFactory>
#include <QStyleOptionButton>
#include <cmath>

namespace vx::panel {

QFont panel_font(double points, bool bold) {
  QFont font;
  font.setFamilies({"MS Sans Serif", "Liberation Sans", "Arimo", "Arial"});
  font.setPixelSize(static_cast<int>(std::lround(points * 96 / 72)));
  font.setBold(bold);
  return font;
}

PanelStyle::PanelStyle() : QProxyStyle(QStyleFactory::create("Fusion")) {}

int PanelStyle::styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                          QStyleHintReturn* returned) const {
  switch (hint) {
    case SH_ScrollBar_LeftClickAbsolutePosition:
    case SH_ScrollBar_MiddleClickAbsolutePosition:
      return 0;
    default:
      return QProxyStyle::styleHint(hint, option, widget, returned);
  }
}

ColouredButton::ColouredButton(const QString& caption, QColor face, QWidget* parent)
    : QPushButton(caption, parent), face_(face) {}

void ColouredButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const bool sunken = isDown();
  const QBrush fill(face_);
  qDrawWinButton(&painter, rect(), palette(), sunken, &fill);

  QRect text_area = rect().adjusted(2, 2, -2, -2);
  if (sunken) text_area.translate(1, 1);
  painter.setFont(font());
  painter.setPen(
      palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::ButtonText));
  painter.drawText(text_area, Qt::AlignCenter | Qt::TextWordWrap | Qt::TextShowMnemonic, text());

  if (hasFocus()) {
    QStyleOptionFocusRect focus;
    focus.initFrom(this);
    focus.rect = rect().adjusted(4, 4, -4, -4);
    style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &painter, this);
  }
}

}  // namespace vx::panel
