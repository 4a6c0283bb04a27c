// Window placement and the pop-up menu.
#pragma once

#include <QPoint>

#include <functional>

class QAction;
class QMenu;
class QWidget;

// Puts a top-level window into or out of the always-on-top band without
// moving or resizing it, and shows it.
void setWindowTopmost(QWidget* window, bool topmost);

// Places a top-level window in the middle of its screen.
void centreOnScreen(QWidget* window);

// Shows the menu at the mouse pointer plus 3 pixels right and down; the
// chosen item's action is triggered before this returns.
void popupMenu(QMenu* menu);

// Chooses instead of the user (tests): gets the menu and the position it
// would appear at, returns the action to trigger or nullptr for none.
using PopupMenuHook = std::function<QAction*(QMenu* menu, QPoint position)>;
void setPopupMenuHookForTesting(PopupMenuHook hook);
