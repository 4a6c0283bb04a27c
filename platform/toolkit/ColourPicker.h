// A button that shows a colour and lets the user pick another one. Colours
// are kept as 0x00BBGGRR, the layout the settings file and the grid use.
#pragma once

#include <QColor>
#include <QPushButton>

#include <cstdint>

class UserDialogs;

QColor colourToQColor(uint32_t colour);
uint32_t qcolorToColour(const QColor& colour);

class ColourPicker : public QPushButton {
  Q_OBJECT
  Q_PROPERTY(uint colour READ colour WRITE setColour NOTIFY colourChanged)

 public:
  explicit ColourPicker(QWidget* parent = nullptr);

  uint32_t colour() const { return colour_; }
  void setColour(uint32_t colour);

  // Where a click asks for the new colour; until it is given (forms build
  // the button with its parent alone), a click picks nothing.
  void setDialogs(UserDialogs& dialogs) { dialogs_ = &dialogs; }

 signals:
  void colourChanged(uint32_t colour);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void chooseColour();

  uint32_t colour_ = 0;
  UserDialogs* dialogs_ = nullptr;
};
