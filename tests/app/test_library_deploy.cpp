// Writing libxl.so beside the program (or into the per-user cache), and
// refusing to start with a library that cannot be had.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "app/library_deploy.h"

namespace fs = std::filesystem;

extern char** environ;

namespace {
std::vector<unsigned char> readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

void writeBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

class LibraryDeploy : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    root_ = fs::path(QUORVANE_TEST_SCRATCH) / "library_deploy" / info->name();
    fs::remove_all(root_);
    program_ = root_ / "program";
    cache_ = root_ / "cache" / "quorvane";
    fs::create_directories(program_);
    image_ = {'\x7f', 'E', 'L', 'F', 1, 2, 3, 4, 5, 6, 7, 8, 9};
  }

  std::string deploy(LibraryFailure& failure) {
    return deployLibrary(image_, program_.string(), cache_.string(), failure);
  }

  // Everything in `dir` but the library itself: a temporary file must not stay behind.
  std::vector<std::string> leftovers(const fs::path& dir) {
    std::vector<std::string> names;
    if (!fs::is_directory(dir)) return names;
    for (const auto& entry : fs::directory_iterator(dir))
      if (entry.path().filename() != kLibraryFileName) names.push_back(entry.path().filename());
    return names;
  }

  fs::path root_, program_, cache_;
  std::vector<unsigned char> image_;
};

TEST_F(LibraryDeploy, MissingLibraryIsWrittenBesideTheProgram) {
  LibraryFailure failure;
  const std::string path = deploy(failure);
  EXPECT_EQ(path, (program_ / "libxl.so").string());
  EXPECT_EQ(readBytes(path), image_);
  EXPECT_NE(fs::status(path).permissions() & fs::perms::owner_exec, fs::perms::none);
  EXPECT_TRUE(leftovers(program_).empty());
  EXPECT_FALSE(fs::exists(cache_));
}

TEST_F(LibraryDeploy, StaleOrForeignLibraryIsReplaced) {
  // Same size but other bytes, a shorter file and a longer one.
  for (const std::string& old : {std::string("\x7f" "ELF" "999999999", 13), std::string("old"),
                                 std::string(100000, 'x')}) {
    writeBytes(program_ / "libxl.so", old);
    LibraryFailure failure;
    const std::string path = deploy(failure);
    EXPECT_EQ(path, (program_ / "libxl.so").string());
    EXPECT_EQ(readBytes(path), image_);
  }
  EXPECT_TRUE(leftovers(program_).empty());
}

TEST_F(LibraryDeploy, GoodCopyIsUsedAsItIs) {
  LibraryFailure failure;
  const std::string path = deploy(failure);
  struct stat before {};
  ASSERT_EQ(::stat(path.c_str(), &before), 0);
  EXPECT_EQ(deploy(failure), path);
  struct stat after {};
  ASSERT_EQ(::stat(path.c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);  // not rewritten
}

TEST_F(LibraryDeploy, UnusableProgramDirectoryFallsBackToTheCache) {
  // A directory of that name cannot be replaced (and, run as root, neither
  // permissions nor anything else would stop a write).
  fs::create_directories(program_ / "libxl.so");
  LibraryFailure failure;
  const std::string path = deploy(failure);
  EXPECT_EQ(path, (cache_ / "libxl.so").string());
  EXPECT_EQ(readBytes(path), image_);
  EXPECT_TRUE(fs::is_directory(program_ / "libxl.so"));
  EXPECT_TRUE(leftovers(program_).empty());
  EXPECT_TRUE(leftovers(cache_).empty());
}

TEST_F(LibraryDeploy, UnknownProgramDirectoryNeverMeansTheRoot) {
  LibraryFailure failure;
  const std::string path = deployLibrary(image_, "", cache_.string(), failure);
  EXPECT_EQ(path, (cache_ / "libxl.so").string());
  EXPECT_EQ(deployLibrary(image_, "", "", failure), "");
  EXPECT_EQ(failure.libraryPath, "libxl.so");
  EXPECT_FALSE(failure.reason.empty());
}

TEST_F(LibraryDeploy, NowhereToWriteNamesTheLibraryAndTheEntryPoint) {
  fs::create_directories(program_ / "libxl.so");
  writeBytes(root_ / "cache", "a file where the cache folder should be");
  LibraryFailure failure;
  EXPECT_EQ(deploy(failure), "");
  EXPECT_EQ(failure.libraryPath, (program_ / "libxl.so").string());
  EXPECT_EQ(failure.entryPoint, "xlCreateXMLBookCA");
  EXPECT_FALSE(failure.reason.empty());
  const std::string message = libraryFailureMessage(failure);
  EXPECT_NE(message.find((program_ / "libxl.so").string()), std::string::npos) << message;
  EXPECT_NE(message.find("xlCreateXMLBookCA"), std::string::npos) << message;

  XlApi api;
  EXPECT_FALSE(startSpreadsheetLibrary(image_, program_.string(), (root_ / "cache" / "q").string(),
                                       api, failure));
  EXPECT_EQ(api.createXMLBook, nullptr);
}

TEST_F(LibraryDeploy, TheBuiltLibraryLoadsFromItsCopy) {
  image_ = readBytes(QUORVANE_XL_LIBRARY);
  ASSERT_GT(image_.size(), 1000u);
  XlApi api;
  LibraryFailure failure;
  ASSERT_TRUE(startSpreadsheetLibrary(image_, program_.string(), cache_.string(), api, failure))
      << libraryFailureMessage(failure);
  EXPECT_EQ(readBytes(program_ / "libxl.so"), image_);
  ASSERT_NE(api.createXMLBook, nullptr);
  ASSERT_NE(api.bookRelease, nullptr);
  BookHandle book = api.createXMLBook();
  ASSERT_NE(book, nullptr);
  EXPECT_EQ(api.bookSheetCount(book), 0);
  api.bookRelease(book);

  setXlApi(api);
  BookHandle second = createXmlBook();
  EXPECT_NE(second, nullptr);
  xlApi().bookRelease(second);
  setXlApi(XlApi{});
  EXPECT_EQ(createXmlBook(), nullptr);  // no table, no call through a null pointer
}

TEST_F(LibraryDeploy, ALibraryWithoutTheEntryPointsIsRefused) {
  // A real shared library, but not ours.
  const fs::path foreign = "/lib/x86_64-linux-gnu/libz.so.1";
  if (!fs::exists(foreign)) GTEST_SKIP() << "no " << foreign;
  image_ = readBytes(foreign);
  XlApi api;
  LibraryFailure failure;
  EXPECT_FALSE(startSpreadsheetLibrary(image_, program_.string(), cache_.string(), api, failure));
  EXPECT_EQ(failure.libraryPath, (program_ / "libxl.so").string());
  EXPECT_EQ(failure.entryPoint.rfind("xl", 0), 0u) << failure.entryPoint;
  const std::string message = libraryFailureMessage(failure);
  EXPECT_NE(message.find(failure.entryPoint), std::string::npos);
  EXPECT_NE(message.find(failure.libraryPath), std::string::npos);
}

// The real program, copied into a scratch folder, with the offscreen platform.
class ProgramStart : public LibraryDeploy {
 protected:
  pid_t start(const fs::path& cacheHome, const fs::path& errFile) {
    const fs::path exe = program_ / "quorvane";
    fs::copy_file(QUORVANE_PROGRAM, exe, fs::copy_options::overwrite_existing);
    std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen", "LC_ALL=C.UTF-8",
                                    "HOME=" + root_.string(), "XDG_CACHE_HOME=" + cacheHome.string(),
                                    "XDG_CONFIG_HOME=" + (root_ / "config").string()};
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string exePath = exe.string();
    char* argv[] = {exePath.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, exePath.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
  }

  // The exit status, or -1 when the program is still running after `limit`.
  static int waitFor(pid_t pid, std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      int status = 0;
      if (::waitpid(pid, &status, WNOHANG) == pid)
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
  }
};

TEST_F(ProgramStart, WithoutAUsableLibraryTheProgramEndsWithFailure) {
  fs::create_directories(program_ / "libxl.so");
  writeBytes(root_ / "not-a-folder", "x");
  const fs::path err = root_ / "stderr.txt";
  const pid_t pid = start(root_ / "not-a-folder", err);
  ASSERT_GT(pid, 0);
  const int status = waitFor(pid, std::chrono::seconds(60));
  if (status < 0) ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0);
  EXPECT_GT(status, 0);
  std::ifstream in(err);
  const std::string text((std::istreambuf_iterator<char>(in)), {});
  EXPECT_NE(text.find((program_ / "libxl.so").string()), std::string::npos) << text;
  EXPECT_NE(text.find("xlCreateXMLBookCA"), std::string::npos) << text;
}

TEST_F(ProgramStart, FirstStartWritesTheLibraryAndRuns) {
  const fs::path err = root_ / "stderr.txt";
  writeBytes(program_ / "libxl.so", "left by an older version");
  const pid_t pid = start(root_ / "cache", err);
  ASSERT_GT(pid, 0);
  const auto library = readBytes(QUORVANE_XL_LIBRARY);
  bool deployed = false;
  for (int i = 0; i < 600 && !deployed; ++i) {
    deployed = readBytes(program_ / "libxl.so") == library;
    if (!deployed) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  // Still running a moment later: it started and waits for the user.
  const int status = waitFor(pid, std::chrono::seconds(2));
  ::kill(pid, SIGTERM);
  ::waitpid(pid, nullptr, 0);
  EXPECT_TRUE(deployed);
  EXPECT_EQ(status, -1);
  EXPECT_FALSE(fs::exists(program_ / "配置.ini"));  // start-up writes no settings
}
}  // namespace
