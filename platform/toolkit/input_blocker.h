// Keeps the user's input (mouse, keyboard, wheel, drops) from a window and
// everything in it while it is drawn as usual: a disabled window is drawn
// greyed, and during a search the user watches its status and progress.
// Requests of the window system (a close, a repaint, a resize) still reach it.
#pragma once

#include <QObject>
#include <QPointer>

class QWidget;

class InputBlocker : public QObject {
  Q_OBJECT

 public:
  explicit InputBlocker(QWidget* root, QObject* parent = nullptr);
  ~InputBlocker() override;

  void setBlocked(bool blocked);
  bool blocked() const { return blocked_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QPointer<QWidget> root_;
  bool blocked_ = false;
};
