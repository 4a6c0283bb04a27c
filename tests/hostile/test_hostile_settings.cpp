// A settings file damaged or replaced by garbage reads as the defaults, and
// the next write still works and reads back.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>

#include "app/settings.h"
#include "tests/hostile/hostile_util.h"

using namespace hostile;
using namespace std::string_literals;

namespace {

class HostileSettings : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = scratchDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    path = dir + "/配置.ini";
  }
  void TearDown() override { removeTree(dir); }
  std::string dir, path;
};

TEST_F(HostileSettings, GarbageReadsAsTheDefaultsAndTheNextWriteWorks) {
  std::mt19937 rng(3);
  for (int i = 0; i < 40; ++i) {
    std::string noise(rng() % 20000, '\0');
    for (char& c : noise) {
      c = static_cast<char>(rng());
      if (c == '[' || c == '=') c = '?';  // no line may pass as a section or key
    }
    writeFile(path, noise);
    EXPECT_EQ(readProfileString(path, "目录", "目录", "默认"), "默认") << i;
    EXPECT_EQ(integerFromText(readProfileString(path, "颜色", "标题", "8421504")), 8421504) << i;
    ASSERT_TRUE(writeProfileString(path, "选择框", "列名", "真")) << i;
    EXPECT_EQ(readProfileString(path, "选择框", "列名", ""), "真") << i;
    EXPECT_EQ(readProfileString(path, "目录", "目录", "默认"), "默认") << i;
  }
}

TEST_F(HostileSettings, HugeLinesNulBytesAndOverlongValues) {
  // One 20 MB line, NUL bytes around the keys, a value far past the limit.
  std::string text = "[目录]\n目录="s + std::string(1u << 20, 'x') + "中" + "\n[颜色]\n标\0题=1\n失败=\0 2\n"s;
  text.append(20u << 20, 'z');
  writeFile(path, text);
  const auto start = std::chrono::steady_clock::now();
  const std::string value = readProfileString(path, "目录", "目录", "");
  EXPECT_EQ(value, std::string(kMaxSettingValueBytes, 'x'));
  EXPECT_EQ(readProfileString(path, "颜色", "标题", "默认"), "默认");
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 10.0);
  ASSERT_TRUE(writeProfileString(path, "颜色", "标题", "255"));
  EXPECT_EQ(readProfileString(path, "颜色", "标题", ""), "255");
  EXPECT_EQ(readProfileString(path, "目录", "目录", ""), value);
  // Values that would break the file are refused, and the file stays.
  const std::string before = readProfileString(path, "颜色", "标题", "");
  EXPECT_FALSE(writeProfileString(path, "颜色", "标题", "1\n[目录]\n目录=/etc"));
  EXPECT_FALSE(writeProfileString(path, "颜色", "标题", std::string("a\0b", 3)));
  EXPECT_EQ(readProfileString(path, "颜色", "标题", ""), before);
}

}  // namespace
