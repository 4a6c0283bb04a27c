#include "app/library_deploy.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include "platform/xl/write_all.h"

BookHandle scanBook = nullptr;

namespace {
XlApi& table() {
  static XlApi api;
  return api;
}

std::string errnoText(int error) { return std::strerror(error); }

// Writes the image beside `target` and renames it over `target`, so a reader
// (another instance starting at the same time) never sees a half-written
// library. Returns 0 or the errno of the failed step.
int writeImageAtomically(const std::string& target, LibraryImage image) {
  std::string temp = target + ".XXXXXX";
  std::vector<char> name(temp.begin(), temp.end());
  name.push_back('\0');
  const int fd = ::mkstemp(name.data());
  if (fd < 0) return errno;
  int error = 0;
  if (!xl::writeAll(fd, image.data(), image.size())) error = errno ? errno : EIO;
  if (error == 0 && ::fchmod(fd, 0755) != 0) error = errno;
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(name.data(), target.c_str()) != 0) error = errno;
  if (error != 0) ::unlink(name.data());
  return error;
}

// Empty text on success, else why the folder could not be made.
std::string makeDirectories(const std::string& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  struct stat st {};
  if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return {};
  return ec ? ec.message() : errnoText(ENOTDIR);
}

std::string absolutePath(const std::string& path) {
  std::error_code ec;
  const auto absolute = std::filesystem::absolute(path, ec);
  return ec ? path : absolute.lexically_normal().string();
}
}  // namespace

std::string libraryCacheDirectory() {
  const char* cache = std::getenv("XDG_CACHE_HOME");
  if (cache != nullptr && cache[0] == '/') return std::string(cache) + "/quorvane";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return std::string(home) + "/.cache/quorvane";
  return {};
}

bool fileHoldsImage(const std::string& path, LibraryImage image) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  bool same = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
              std::size_t(st.st_size) == image.size();
  std::vector<unsigned char> buffer(1 << 16);
  std::size_t offset = 0;
  while (same && offset < image.size()) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || offset + std::size_t(n) > image.size()) {
      same = false;
      break;
    }
    same = std::memcmp(buffer.data(), image.data() + offset, std::size_t(n)) == 0;
    offset += std::size_t(n);
  }
  ::close(fd);
  return same && offset == image.size();
}

std::string deployLibrary(LibraryImage image, const std::string& programDir,
                          const std::string& cacheDir, LibraryFailure& failure) {
  // An unknown program directory must not turn into "/libxl.so".
  const std::string primary =
      programDir.empty() ? std::string() : absolutePath(programDir + "/" + kLibraryFileName);
  failure = LibraryFailure{primary.empty() ? kLibraryFileName : primary, kFirstEntryPoint, {}};
  if (image.empty()) {
    failure.reason = "程序内没有函数库映像";
    return {};
  }
  if (primary.empty()) {
    failure.reason = "程序所在的文件夹不明";
  } else {
    // A copy that is not exactly our image (left by another version, or
    // foreign) would crash at the first call, so it is replaced, never used.
    if (fileHoldsImage(primary, image)) return primary;
    const int primaryError = writeImageAtomically(primary, image);
    if (primaryError == 0 && fileHoldsImage(primary, image)) return primary;
    failure.reason = errnoText(primaryError ? primaryError : EIO);
  }

  // An installed copy (say under /usr/lib) cannot write beside itself; the
  // per-user cache takes the library instead.
  if (cacheDir.empty()) return {};
  const std::string cached = absolutePath(cacheDir + "/" + kLibraryFileName);
  if (fileHoldsImage(cached, image)) return cached;
  if (const std::string error = makeDirectories(cacheDir); !error.empty()) {
    failure.reason += "；" + cacheDir + "：" + error;
    return {};
  }
  const int cacheError = writeImageAtomically(cached, image);
  if (cacheError == 0 && fileHoldsImage(cached, image)) return cached;
  failure.reason += "；" + cached + "：" + errnoText(cacheError ? cacheError : EIO);
  return {};
}

bool startSpreadsheetLibrary(LibraryImage image, const std::string& programDir,
                             const std::string& cacheDir, XlApi& api, LibraryFailure& failure) {
  const std::string path = deployLibrary(image, programDir, cacheDir, failure);
  if (path.empty()) return false;
  failure.libraryPath = path;
  std::string missing;
  XlApi loaded;
  if (!loadXlApi(path, loaded, missing)) {
    // loadXlApi names either the entry point it could not resolve or, when
    // the file itself did not load, the loader's message.
    const bool isEntryPoint = missing.rfind("xl", 0) == 0 &&
                              missing.find_first_of(" :/") == std::string::npos;
    if (isEntryPoint) {
      failure.entryPoint = missing;
      failure.reason = "入口不存在";
    } else {
      failure.reason = missing.empty() ? "无法加载" : missing;
    }
    return false;
  }
  api = loaded;
  return true;
}

std::string libraryFailureMessage(const LibraryFailure& failure) {
  std::string text = "无法使用函数库文件“" + failure.libraryPath + "”中的函数 " +
                     failure.entryPoint + "，程序将退出。";
  if (!failure.reason.empty()) text += "\n原因：" + failure.reason;
  return text;
}

const XlApi& xlApi() { return table(); }

void setXlApi(const XlApi& api) { table() = api; }

BookHandle createXmlBook() { return table().createXMLBook ? table().createXMLBook() : nullptr; }
