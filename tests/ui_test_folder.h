// What every Qt test of the window's pieces does around each test function: a
// fresh program folder (settings file and all) before, the settings file's
// place put back after. The dialogs are each test's own ScriptedDialogs.
#pragma once

#include <QString>

#include <filesystem>
#include <optional>
#include <string>

#include "app/settings.h"
#include "tests/scratch_folder.h"

inline QString q(const std::string& s) { return QString::fromStdString(s); }

// A new folder under the scratch area per call, made the program's folder.
inline std::filesystem::path freshProgramFolder(const std::string& area) {
  static int n = 0;
  const std::filesystem::path dir = freshScratchFolder(area, std::to_string(++n));
  setProgramDirectoryForTesting(dir.string());
  return dir;
}

inline void resetTestHooks() {
  setProgramDirectoryForTesting(std::nullopt);
  setDirectoryWritableCheckForTesting(nullptr);
}
