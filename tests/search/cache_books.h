// Workbooks and files for the cell cache's tests: one-cell books, of an
// exact size when a rewrite must keep the file's size, and the shell.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <xlsxwriter.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

inline std::string readAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// One sheet whose first cell is `text`.
inline void writeOneCell(const std::filesystem::path& path, const std::string& text) {
  lxw_workbook* wb = workbook_new(path.c_str());
  ASSERT_NE(wb, nullptr);
  lxw_worksheet* ws = workbook_add_worksheet(wb, "S");
  worksheet_write_string(ws, 0, 0, text.c_str(), nullptr);
  worksheet_write_string(ws, 1, 0, "filler", nullptr);
  ASSERT_EQ(workbook_close(wb), LXW_NO_ERROR);
}

// A workbook of exactly `size` bytes whose first cell is `text` and two
// letters: the letters are tried until the compressed parts come out that size.
inline void writeOneCellOfSize(const std::filesystem::path& path, const std::string& text, uintmax_t size) {
  for (int tries = 0; tries < 26 * 26; ++tries) {
    writeOneCell(path, text + "-" + std::string(1, static_cast<char>('a' + tries % 26)) +
                           std::string(1, static_cast<char>('a' + tries / 26)));
    if (std::filesystem::file_size(path) == size) return;
  }
  FAIL() << "no workbook of " << size << " bytes";
}

inline int runShell(const std::string& command) {
  const int raw = std::system(command.c_str());
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}
