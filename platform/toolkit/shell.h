// Opening a folder or file with the desktop's own program (the file browser
// for a folder), the way a user's double click would.
#pragma once

#include <QUrl>

#include <functional>
#include <string>

// `path` is the path's bytes, UTF-8 or not; the desktop gets it as a file
// URL that keeps every byte. The result is the desktop's answer; callers may
// ignore it.
bool openWithShell(const std::string& path);

// Replaces the desktop call (tests): gets the URL the desktop would get.
using ShellOpenHook = std::function<bool(const QUrl& url)>;
void setShellOpenHookForTesting(ShellOpenHook hook);
