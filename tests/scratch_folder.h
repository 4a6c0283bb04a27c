// A fresh, empty folder per test under the build's scratch area; each test
// file names its own area so binaries running side by side never share one.
#pragma once

#include <filesystem>
#include <string>

inline std::filesystem::path freshScratchFolder(const std::string& area, const std::string& name) {
  std::filesystem::path dir = std::filesystem::path(QUORVANE_TEST_SCRATCH) / area / name;
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}
