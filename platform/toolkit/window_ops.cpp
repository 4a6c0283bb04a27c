#include "platform/toolkit/window_ops.h"

#include <QAction>
#include <QCursor>
#include <QGuiApplication>
#include <QMenu>
#include <QScreen>
#include <QWidget>
#include <QWindow>

#include "platform/toolkit/user_dialogs.h"

void setWindowTopmost(QWidget* window, bool topmost) {
  if (window == nullptr) return;
  const Qt::WindowFlags before = window->windowFlags();
  const Qt::WindowFlags after =
      topmost ? (before | Qt::WindowStaysOnTopHint) : (before & ~Qt::WindowStaysOnTopHint);
  if (after != before) {
    if (QWindow* handle = window->windowHandle()) {
      // setWindowFlags() would re-create the native window, which hides and
      // may move it; tell the existing one instead.
      window->overrideWindowFlags(after);
      handle->setFlags(after);
    } else {
      window->setWindowFlags(after);
    }
  }
  window->show();
}

void centreOnScreen(QWidget* window) {
  if (window == nullptr) return;
  QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  const QRect available = screen->availableGeometry();
  QRect frame = window->frameGeometry();
  frame.moveCenter(available.center());
  window->move(frame.topLeft());
}

void popupMenu(UserDialogs& dialogs, QMenu* menu) {
  if (menu == nullptr) return;
  dialogs.popupMenu(*menu, QCursor::pos() + QPoint(3, 3));
}

QAction* DesktopDialogs::popupMenu(QMenu& menu, QPoint position) { return menu.exec(position); }
