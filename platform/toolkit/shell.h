// Opening a folder or file with the desktop's own program (the file browser
// for a folder), the way a user's double click would.
#pragma once

#include <QString>

#include <functional>
#include <string>

class QUrl;
class UserDialogs;

// Told whether the desktop opened it.
using OpenedFn = std::function<void(bool opened)>;

// `path` is the path's bytes, UTF-8 or not; the desktop gets it through
// `dialogs` as a file URL that keeps every byte. False for an empty path
// (nothing is asked); `done`, when given, hears the desktop's answer.
bool openWithShell(UserDialogs& dialogs, const std::string& path, OpenedFn done = {});

// Shows `folder` in the file browser; when no program of the desktop can,
// says so in a message box that names the folder readably.
void showFolder(UserDialogs& dialogs, const std::string& folder);
QString noFileBrowserMessage(const std::string& folder);

// The desktop's opener for `url`: xdg-open, else `gio open`, found on PATH.
// `done` gets true once one of them has opened it (or still runs after a few
// seconds: some start the program and wait for it), false when neither
// could. Never blocks.
void openWithDesktopProgram(const QUrl& url, OpenedFn done);
