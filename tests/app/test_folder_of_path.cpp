// The folder a dropped or typed path stands for.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/folder_of_path.h"
#include "tests/scratch_folder.h"

namespace fs = std::filesystem;

namespace {

fs::path scratch(const std::string& name) { return freshScratchFolder("folder_of_path", name); }

}  // namespace

TEST(FolderOfPath, FoldersFilesAndBareNames) {
  const fs::path dir = scratch("folder_of_path");
  fs::create_directories(dir / "数据" / "报表");
  std::ofstream(dir / "数据" / "报表" / "一月.xls") << "x";
  const std::string base = dir.string();

  // An existing folder keeps its form, with or without the trailing "/".
  EXPECT_EQ(folderOfPath(base + "/数据/报表"), base + "/数据/报表");
  EXPECT_EQ(folderOfPath(base + "/数据/报表/"), base + "/数据/报表/");
  EXPECT_EQ(folderOfPath("/"), "/");
  // A file or a path that names nothing: up to and including the last "/".
  EXPECT_EQ(folderOfPath(base + "/数据/报表/一月.xls"), base + "/数据/报表/");
  EXPECT_EQ(folderOfPath("/gone/x.xls"), "/gone/");
  EXPECT_EQ(folderOfPath("/gone/深/"), "/gone/深/");
  // No "/" at all.
  EXPECT_EQ(folderOfPath("一月.xls"), "");
  EXPECT_EQ(folderOfPath(""), "");
}
