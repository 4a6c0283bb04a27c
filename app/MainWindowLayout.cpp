#include "app/MainWindowLayout.h"

#include <QWidget>

void applyMinimumWindowSize(QWidget& window) {
  window.setMinimumSize(kMinimumWindowWidth, kMinimumWindowHeight);
}

void onMainWindowResized(QWidget& window, QWidget& grid) {
  if (window.width() < kMinimumWindowWidth) window.resize(kMinimumWindowWidth, window.height());
  if (window.height() < kMinimumWindowHeight) window.resize(window.width(), kMinimumWindowHeight);
  // The size the window has now, even if the resize above is still on its
  // way through the window system.
  const int width = qMax(window.width(), kMinimumWindowWidth);
  const int height = qMax(window.height(), kMinimumWindowHeight);
  grid.resize(width - kGridWidthMargin, height - kGridHeightMargin);
}
