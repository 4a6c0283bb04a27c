#include "platform/toolkit/progress_bar.h"

#include <QProgressBar>
#include <QStatusBar>
#include <QVariant>

#include <algorithm>

namespace {
constexpr const char* kStoredMaximum = "quorvaneStoredMaximum";
constexpr const char* kStoredPosition = "quorvaneStoredPosition";

int clampStored(int value) { return std::clamp(value, 0, kProgressLimit); }

void refresh(QProgressBar* bar) {
  const int maximum = progressMaximum(bar);
  const int position = progressPosition(bar);
  // QProgressBar draws a busy animation for the range 0..0; an empty bar is
  // what a zero maximum means here.
  bar->setRange(0, std::max(maximum, 1));
  bar->setValue(std::min(position, maximum));
}
}  // namespace

void setProgressMaximum(QProgressBar* bar, int maximum) {
  bar->setProperty(kStoredMaximum, clampStored(maximum));
  refresh(bar);
}

int progressMaximum(const QProgressBar* bar) {
  const QVariant stored = bar->property(kStoredMaximum);
  return stored.isValid() ? stored.toInt() : clampStored(bar->maximum());
}

void setProgressPosition(QProgressBar* bar, int position) {
  bar->setProperty(kStoredPosition, clampStored(position));
  refresh(bar);
}

int progressPosition(const QProgressBar* bar) {
  const QVariant stored = bar->property(kStoredPosition);
  return stored.isValid() ? stored.toInt() : clampStored(bar->value());
}

void setStatusText(QStatusBar* bar, const QString& text) {
  if (text.isEmpty()) bar->clearMessage();
  else bar->showMessage(text);
}

QString statusText(const QStatusBar* bar) { return bar->currentMessage(); }
