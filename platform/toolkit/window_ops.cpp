#include "platform/toolkit/window_ops.h"

#include <QAction>
#include <QCursor>
#include <QGuiApplication>
#include <QMenu>
#include <QScreen>
#include <QWidget>
#include <QWindow>

#include <algorithm>

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

void centreOver(QWidget* window, const QWidget* over) {
  if (window == nullptr) return;
  if (over == nullptr || !over->isVisible()) {
    centreOnScreen(window);
    return;
  }
  QRect frame = window->frameGeometry();
  frame.moveCenter(over->frameGeometry().center());
  if (QScreen* screen = over->screen()) {
    // Wholly on the screen, also over a window partly off it.
    const QRect available = screen->availableGeometry();
    frame.moveLeft(std::clamp(frame.left(), available.left(), std::max(available.left(), available.right() - frame.width() + 1)));
    frame.moveTop(std::clamp(frame.top(), available.top(), std::max(available.top(), available.bottom() - frame.height() + 1)));
  }
  window->move(frame.topLeft());
}

void popupMenu(UserDialogs& dialogs, QMenu* menu) { popupMenuAt(dialogs, menu, QCursor::pos() + QPoint(3, 3)); }

void popupMenuAt(UserDialogs& dialogs, QMenu* menu, QPoint position) {
  if (menu == nullptr) return;
  dialogs.popupMenu(*menu, position);
}

QAction* DesktopDialogs::popupMenu(QMenu& menu, QPoint position) { return menu.exec(position); }
