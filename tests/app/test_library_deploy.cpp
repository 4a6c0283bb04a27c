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
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/library_deploy.h"
#include "tests/scratch_folder.h"

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
    root_ = freshScratchFolder("library_deploy", info->name());
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

// The real program, copied into a scratch folder: with the offscreen
// platform, or on a display of its own (xvfb-run) where a script answers its
// message box as a user would.
class ProgramStart : public LibraryDeploy {
 protected:
  pid_t start(const fs::path& cacheHome, const fs::path& errFile) {
    return spawn({"QT_QPA_PLATFORM=offscreen"}, {copyProgram()}, cacheHome, errFile);
  }

  // Started by tests/app/answer_message_box.sh under xvfb-run; `seenFile`
  // gets the box's window id once it has appeared.
  pid_t startAnsweringTheBox(const fs::path& cacheHome, const fs::path& errFile, const fs::path& seenFile) {
    const char* path = std::getenv("PATH");
    return spawn({"PATH=" + std::string(path ? path : "/usr/bin:/bin")},
                 {"xvfb-run", "-a", QUORVANE_SOURCE_DIR "/tests/app/answer_message_box.sh", copyProgram(),
                  seenFile.string()},
                 cacheHome, errFile);
  }

  static bool onPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "";
    for (size_t begin = 0; begin <= dirs.size();) {
      size_t end = dirs.find(':', begin);
      if (end == std::string::npos) end = dirs.size();
      if (end > begin && ::access((dirs.substr(begin, end - begin) + "/" + name).c_str(), X_OK) == 0) return true;
      begin = end + 1;
    }
    return false;
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

  // Ends what start…() began, the whole process group (xvfb-run's display
  // and the program too).
  static void kill(pid_t pid, int signal) {
    ::kill(-pid, signal);
    ::waitpid(pid, nullptr, 0);
  }

 private:
  std::string copyProgram() {
    const fs::path exe = program_ / "quorvane";
    fs::copy_file(QUORVANE_PROGRAM, exe, fs::copy_options::overwrite_existing);
    return exe.string();
  }

  pid_t spawn(std::vector<std::string> env, std::vector<std::string> args, const fs::path& cacheHome,
              const fs::path& errFile) {
    for (std::string e : {std::string("LC_ALL=C.UTF-8"), "HOME=" + root_.string(), "XDG_CACHE_HOME=" + cacheHome.string(),
                          "XDG_CONFIG_HOME=" + (root_ / "config").string()})
      env.push_back(e);
    std::vector<char*> envp, argv;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);  // its own group: one kill ends it all
    posix_spawnattr_setpgroup(&attr, 0);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), envp.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
  }
};

TEST_F(ProgramStart, WithoutAUsableLibraryTheProgramEndsWithFailure) {
  if (!onPath("xvfb-run") || !onPath("xdotool"))
    GTEST_SKIP() << "xvfb-run and xdotool answer the program's message box: install xvfb and xdotool";
  fs::create_directories(program_ / "libxl.so");
  writeBytes(root_ / "not-a-folder", "x");
  const fs::path err = root_ / "stderr.txt";
  const fs::path seen = root_ / "box-seen.txt";
  const pid_t pid = startAnsweringTheBox(root_ / "not-a-folder", err, seen);
  ASSERT_GT(pid, 0);
  // The program waits for its box to be answered, then ends with a failure.
  const int status = waitFor(pid, std::chrono::seconds(60));
  if (status < 0) kill(pid, SIGKILL);
  EXPECT_TRUE(fs::exists(seen)) << "no message box appeared";
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
  kill(pid, SIGTERM);
  EXPECT_TRUE(deployed);
  EXPECT_EQ(status, -1);
  EXPECT_FALSE(fs::exists(program_ / "配置.ini"));  // start-up writes no settings
}
}  // namespace
