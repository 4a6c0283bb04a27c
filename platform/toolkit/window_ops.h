// Window placement and the pop-up menu.
#pragma once

#include <QPoint>

class QMenu;
class QWidget;
class UserDialogs;

// Puts a top-level window into or out of the always-on-top band without
// moving or resizing it, and shows it.
void setWindowTopmost(QWidget* window, bool topmost);

// Places a top-level window in the middle of its screen.
void centreOnScreen(QWidget* window);

// Places a top-level window in the middle of `over` (another top-level
// window), kept on `over`'s screen.
void centreOver(QWidget* window, const QWidget* over);

// Shows the menu through `dialogs` at the mouse pointer plus 3 pixels right
// and down; the chosen item's action is triggered before this returns.
void popupMenu(UserDialogs& dialogs, QMenu* menu);
// The same at `position` (global), for a menu the keyboard asked for.
void popupMenuAt(UserDialogs& dialogs, QMenu* menu, QPoint position);
