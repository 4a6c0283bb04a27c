// Opening a folder or file with the desktop's own program (the file browser
// for a folder), the way a user's double click would.
#pragma once

#include <QString>

#include <functional>

// The result is the desktop's answer; callers may ignore it.
bool openWithShell(const QString& path);

// Replaces the desktop call (tests): gets the absolute path.
using ShellOpenHook = std::function<bool(const QString& path)>;
void setShellOpenHookForTesting(ShellOpenHook hook);
