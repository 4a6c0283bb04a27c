// Bytes as the settings file: the program's reads, then a write, then the
// same reads again. The written value must read back exactly, and every
// other key must read as before: a write touches one line only.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "app/settings.h"
#include "fuzz/fuzz_util.h"

namespace {

struct Key {
  const char* section;
  const char* key;
};
constexpr Key kKeys[] = {{"目录", "目录"}, {"选择框", "列名"}, {"选择框", "隐藏"},
                         {"颜色", "标题"}, {"颜色", "失败"}, {"Section", "Key"}};

const std::string& scratchFile() {
  static const std::string path = [] {
    // tmpfs when there is one: each write syncs the file, and a disk makes
    // that the whole cost of a run.
    static std::string dir = std::string(::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                             "/quorvane-fuzz-settings-XXXXXX";
    if (!::mkdtemp(dir.data())) std::abort();
    std::atexit([] {
      ::unlink((dir + "/配置.ini").c_str());
      ::rmdir(dir.c_str());
    });
    return dir + "/配置.ini";
  }();
  return path;
}

std::vector<std::string> readAll(const std::string& path) {
  std::vector<std::string> out;
  for (const Key& k : kKeys) out.push_back(readProfileString(path, k.section, k.key, "\x01none"));
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = scratchFile();
  // The last byte picks which key is written and how its value looks, so the
  // fuzzer steers both; the rest is the file.
  unsigned pick = size ? data[size - 1] : 0;
  if (size) --size;
  {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    if (size && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);
  }
  std::vector<std::string> before = readAll(path);
  (void)integerFromText(before[3]);
  (void)integerFromText(before[4]);

  const size_t which = pick % (sizeof kKeys / sizeof kKeys[0]);
  static const char* const kValues[] = {"/home/用户/表格/", "1", " 两边有空格 ", "\"引号\"", "", "-12615935"};
  const std::string value = kValues[(pick / 8) % (sizeof kValues / sizeof kValues[0])];
  if (!writeProfileString(path, kKeys[which].section, kKeys[which].key, value))
    fuzz::fail("write to a writable settings file failed");

  std::vector<std::string> after = readAll(path);
  for (size_t i = 0; i < after.size(); ++i) {
    if (i == which) {
      if (after[i] != value) fuzz::fail("written value does not read back");
    } else if (after[i] != before[i]) {
      fuzz::fail("a write changed another key");
    }
  }
  return 0;
}
