#include "app/ColourPanel.h"

#include <QWidget>

#include "app/settings.h"
#include "platform/toolkit/ColourPicker.h"

ColourPanel::ColourPanel(QWidget* panel, ColourPicker* titlePicker, ColourPicker* failurePicker,
                         uint32_t& titleColour, uint32_t& failureColour)
    : panel_(panel), titlePicker_(titlePicker), failurePicker_(failurePicker),
      titleColour_(titleColour), failureColour_(failureColour) {
  // It lies over the grid: paint its own background so no cell shows through.
  if (panel_) panel_->setAutoFillBackground(true);
}

void ColourPanel::on按钮3Clicked() {
  if (titlePicker_) titlePicker_->setColour(titleColour_);
  if (failurePicker_) failurePicker_->setColour(failureColour_);
  if (panel_) {
    panel_->show();
    panel_->raise();  // it lies over the grid
  }
}

void ColourPanel::on按钮4Clicked() {
  if (titlePicker_) {
    const uint32_t colour = titlePicker_->colour();
    writeSetting("颜色", "标题", integerToText(static_cast<int32_t>(colour)));
    titleColour_ = colour;
  }
  if (failurePicker_) {
    const uint32_t colour = failurePicker_->colour();
    writeSetting("颜色", "失败", integerToText(static_cast<int32_t>(colour)));
    failureColour_ = colour;
  }
  if (panel_) panel_->hide();
}

void ColourPanel::on按钮5Clicked() {
  if (panel_) panel_->hide();
}
