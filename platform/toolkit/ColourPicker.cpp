#include "platform/toolkit/ColourPicker.h"

#include <QColorDialog>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionButton>

#include "platform/toolkit/user_dialogs.h"

QColor colourToQColor(uint32_t colour) {
  return QColor(int(colour & 0xFF), int((colour >> 8) & 0xFF), int((colour >> 16) & 0xFF));
}

uint32_t qcolorToColour(const QColor& colour) {
  return uint32_t(colour.red()) | (uint32_t(colour.green()) << 8) | (uint32_t(colour.blue()) << 16);
}

ColourPicker::ColourPicker(QWidget* parent) : QPushButton(parent) {
  setAutoDefault(false);
  connect(this, &QPushButton::clicked, this, &ColourPicker::chooseColour);
}

void ColourPicker::setColour(uint32_t colour) {
  if (colour == colour_) return;
  colour_ = colour;
  update();
  emit colourChanged(colour_);
}

void ColourPicker::chooseColour() {
  if (dialogs_ == nullptr) return;
  if (const std::optional<uint32_t> chosen = dialogs_->colourDialog(colour_, this)) setColour(*chosen);
}

std::optional<uint32_t> DesktopDialogs::colourDialog(uint32_t current, QWidget* parent) {
  const QColor picked = QColorDialog::getColor(colourToQColor(current), parent);
  if (!picked.isValid()) return std::nullopt;
  return qcolorToColour(picked);
}

void ColourPicker::paintEvent(QPaintEvent* event) {
  QPushButton::paintEvent(event);
  // The swatch fills the button's content area, so the button keeps its
  // frame and focus look.
  QStyleOptionButton option;
  initStyleOption(&option);
  QRect swatch = style()->subElementRect(QStyle::SE_PushButtonContents, &option, this);
  swatch.adjust(2, 2, -2, -2);
  if (swatch.width() < 4 || swatch.height() < 4) swatch = rect().adjusted(3, 3, -3, -3);
  QPainter painter(this);
  painter.setPen(isEnabled() ? Qt::black : Qt::gray);
  painter.setBrush(colourToQColor(colour_));
  painter.drawRect(swatch.adjusted(0, 0, -1, -1));
}
