// The small always-on-top window with the one button that stops a search.
#pragma once

#include <QWidget>

#include <memory>

namespace Ui {
class StopWindow;
}

class StopWindow : public QWidget {
  Q_OBJECT

 public:
  explicit StopWindow(QWidget* parent = nullptr);
  ~StopWindow() override;

  // The form's controls (按钮1 is the stop button).
  Ui::StopWindow& form() { return *form_; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  std::unique_ptr<Ui::StopWindow> form_;
  bool placed_ = false;
};
