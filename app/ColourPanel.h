// The colour panel 分组框1: the background colours of title rows and failure
// rows, opened with 按钮3, saved with 按钮4, closed unsaved with 按钮5.
#pragma once

#include <QPointer>

#include <cstdint>

class ColourPicker;
class QWidget;

class ColourPanel {
 public:
  // `titleColour` and `failureColour` are the colours the search paints
  // rows with; the panel reads and replaces them.
  ColourPanel(QWidget* panel, ColourPicker* titlePicker, ColourPicker* failurePicker,
              uint32_t& titleColour, uint32_t& failureColour);

  // 按钮3: the pickers show the stored colours (dropping unsaved choices).
  void on按钮3Clicked();
  // 按钮4: writes "颜色"/"标题" and "颜色"/"失败" and uses the colours for rows
  // added from now on.
  void on按钮4Clicked();
  // 按钮5: only hides the panel.
  void on按钮5Clicked();

 private:
  QPointer<QWidget> panel_;
  QPointer<ColourPicker> titlePicker_;
  QPointer<ColourPicker> failurePicker_;
  uint32_t& titleColour_;
  uint32_t& failureColour_;
};
