// A button that shows a colour and lets the user pick another one. Colours
// are kept as 0x00BBGGRR, the layout the settings file and the grid use.
#pragma once

#include <QColor>
#include <QPushButton>

#include <cstdint>
#include <functional>
#include <optional>

QColor colourToQColor(uint32_t colour);
uint32_t qcolorToColour(const QColor& colour);

class ColourPicker : public QPushButton {
  Q_OBJECT
  Q_PROPERTY(uint colour READ colour WRITE setColour NOTIFY colourChanged)

 public:
  explicit ColourPicker(QWidget* parent = nullptr);

  uint32_t colour() const { return colour_; }
  void setColour(uint32_t colour);

  // Replaces the colour dialog (tests): gets the current colour, returns the
  // chosen one or nothing for a cancelled dialog.
  using DialogHook = std::function<std::optional<uint32_t>(uint32_t current)>;
  static void setDialogHookForTesting(DialogHook hook);

 signals:
  void colourChanged(uint32_t colour);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void chooseColour();

  uint32_t colour_ = 0;
};
