// The small always-on-top window with the one button that stops a search,
// centred over the main window.
#pragma once

#include <QPointer>
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

  // The only ways it closes: its button was pressed, or the search ended.
  // Every other close request (Alt+F4, the window manager) is refused, so
  // the stop button stays there for as long as the search runs.
  void closeAtEndOfSearch();
  // Opens centred over `window` (else in the middle of the screen).
  void placeOver(QWidget* window) { placeOver_ = window; }

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  std::unique_ptr<Ui::StopWindow> form_;
  QPointer<QWidget> placeOver_;
  bool placed_ = false;
  bool closing_ = false;
};
