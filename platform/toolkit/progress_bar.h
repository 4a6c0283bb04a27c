// The progress bar and status bar of the main window, as the search and the
// export drive them.
#pragma once

#include <QString>

class QProgressBar;
class QStatusBar;

// Maximum and position are each stored clamped into 0..32767 and read back
// as stored; the bar shows the position clipped into 0..maximum. The minimum
// stays 0.
inline constexpr int kProgressLimit = 32767;

void setProgressMaximum(QProgressBar* bar, int maximum);
int progressMaximum(const QProgressBar* bar);
void setProgressPosition(QProgressBar* bar, int position);
int progressPosition(const QProgressBar* bar);

// Text of the status bar's one part.
void setStatusText(QStatusBar* bar, const QString& text);
QString statusText(const QStatusBar* bar);
