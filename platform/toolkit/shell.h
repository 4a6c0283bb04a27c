// Opening a folder or file with the desktop's own program (the file browser
// for a folder), the way a user's double click would.
#pragma once

#include <string>

class UserDialogs;

// `path` is the path's bytes, UTF-8 or not; the desktop gets it through
// `dialogs` as a file URL that keeps every byte. The result is the desktop's
// answer; callers may ignore it.
bool openWithShell(UserDialogs& dialogs, const std::string& path);
