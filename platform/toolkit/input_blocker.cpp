#include "platform/toolkit/input_blocker.h"

#include <QApplication>
#include <QEvent>
#include <QWidget>
#include <QWindow>

namespace {

bool isUserInput(QEvent::Type type) {
  switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::InputMethod:
    case QEvent::ContextMenu:
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TabletPress:
    case QEvent::TabletRelease:
      return true;
    default:
      return false;
  }
}

}  // namespace

InputBlocker::InputBlocker(QWidget* root, QObject* parent) : QObject(parent), root_(root) {}

InputBlocker::~InputBlocker() { setBlocked(false); }

void InputBlocker::setBlocked(bool blocked) {
  if (blocked == blocked_) return;
  blocked_ = blocked;
  // On the application: input reaches the widget under the pointer or with
  // the focus, and widgets come and go inside the window.
  if (blocked) qApp->installEventFilter(this);
  else qApp->removeEventFilter(this);
}

bool InputBlocker::eventFilter(QObject* watched, QEvent* event) {
  if (!blocked_ || !root_ || !isUserInput(event->type())) return false;
  QWidget* widget = nullptr;
  if (watched->isWidgetType()) widget = static_cast<QWidget*>(watched);
  else if (watched == static_cast<QObject*>(root_->windowHandle())) widget = root_;
  if (widget == nullptr) return false;
  if (widget != root_ && !root_->isAncestorOf(widget)) return false;
  // A drag offered here is refused rather than left pending.
  if (event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove) event->ignore();
  return true;
}
