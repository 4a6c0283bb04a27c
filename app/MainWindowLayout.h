// MainWindow's resize rule: the window never gets smaller than its design
// size, and only the results grid follows its size.
#pragma once

class QWidget;

inline constexpr int kMinimumWindowWidth = 800;
inline constexpr int kMinimumWindowHeight = 500;
// Our sizes are the client area's (no frame, no caption), so the grid runs
// to the right and bottom edges: full width, and the height below its top.
inline constexpr int kGridWidthMargin = 0;
inline constexpr int kGridHeightMargin = 115;

// Sets the window's own minimum size, so the window manager stops a border
// drag at 800 x 500 instead of the program fighting the drag.
void applyMinimumWindowSize(QWidget& window);

// The resized handler: grows a window below the minimum back to it (for a
// size set by the program) and sizes the grid to the window's width by its
// height - 115, so it reaches the right and bottom edges; the grid keeps
// its place and nothing else moves.
void onMainWindowResized(QWidget& window, QWidget& grid);
