// MainWindow's resize rule: the window never gets smaller than its design
// size, and only the results grid follows its size.
#pragma once

class QWidget;

inline constexpr int kMinimumWindowWidth = 800;
inline constexpr int kMinimumWindowHeight = 500;
inline constexpr int kGridWidthMargin = 12;
inline constexpr int kGridHeightMargin = 150;

// Sets the window's own minimum size, so the window manager stops a border
// drag at 800 x 500 instead of the program fighting the drag.
void applyMinimumWindowSize(QWidget& window);

// The resized handler: grows a window below the minimum back to it (for a
// size set by the program) and sizes the grid to width - 12 by height - 150;
// the grid keeps its place and nothing else moves.
void onMainWindowResized(QWidget& window, QWidget& grid);
