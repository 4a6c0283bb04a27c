#include "search/enumeration.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

namespace {

// Upper case, not the usual fold: NTFS orders names by their upcased form,
// which puts '_' after the letters; matching uses it too, to the same effect.
inline unsigned char upperAscii(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 0x20) : c;
}

// Kernel file systems that hold no user files and can be endless or slow to
// read (/proc, /sys, /dev and the like).
bool isPseudoFileSystemType(unsigned long type) {
  switch (type) {
    case 0x9fa0:      // proc
    case 0x62656572:  // sysfs
    case 0x1cd1:      // devpts
    case 0x27e0eb:    // cgroup
    case 0x63677270:  // cgroup2
    case 0x73636673:  // securityfs
    case 0x64626720:  // debugfs
    case 0x74726163:  // tracefs
    case 0x6165676c:  // pstore
    case 0xcafe4a11:  // bpf
    case 0x62656570:  // configfs
    case 0x65735543:  // fusectl
    case 0x19800202:  // mqueue
    case 0x958458f6:  // hugetlbfs
    case 0x42494e4d:  // binfmt_misc
    case 0x0187:      // autofs
      return true;
    default:
      return false;
  }
}

bool isPseudoFileSystemName(std::string_view type) {
  static constexpr std::string_view kNames[] = {
      "proc",   "sysfs",   "devtmpfs", "devpts",  "cgroup", "cgroup2",   "securityfs", "debugfs", "tracefs",
      "pstore", "bpf",     "configfs", "fusectl", "mqueue", "hugetlbfs", "binfmt_misc", "autofs"};
  return std::find(std::begin(kNames), std::end(kNames), type) != std::end(kNames);
}

// Devices of the pseudo file systems mounted now. devtmpfs reports the tmpfs
// magic number, so it can only be told apart by its mount entry.
std::vector<dev_t> pseudoFileSystemDevices() {
  std::vector<dev_t> devices;
  FILE* f = std::fopen("/proc/self/mountinfo", "re");
  if (!f) return devices;
  char* line = nullptr;
  size_t capacity = 0;
  while (getline(&line, &capacity, f) > 0) {
    // id parent major:minor root mountpoint options [optional...] - fstype source ...
    unsigned major = 0, minor = 0;
    if (std::sscanf(line, "%*s %*s %u:%u", &major, &minor) != 2) continue;
    const char* dash = std::strstr(line, " - ");
    if (!dash) continue;
    const char* type = dash + 3;
    size_t length = std::strcspn(type, " \n");
    if (isPseudoFileSystemName(std::string_view(type, length))) devices.push_back(makedev(major, minor));
  }
  std::free(line);
  std::fclose(f);
  return devices;
}

struct Entry {
  std::string name;
  bool isFolder;
};

struct FolderId {
  dev_t dev;
  ino_t ino;
};

// Goes into every folder and counts every matching file; the callback gets
// them all, or with `visitDotFolders` false only those outside folders whose
// name begins with ".". Folders it cannot read go to `unreadable`, except
// those whose files the callback would not get anyway.
class Walk {
 public:
  Walk(const std::string& pattern, bool visitDotFolders, const WorkbookCallback* callback,
       const std::atomic<int>* stop, const UnreadableFolderCallback* unreadable = nullptr)
      : pattern_(pattern),
        visitDotFolders_(visitDotFolders),
        callback_(callback),
        unreadable_(unreadable),
        stop_(stop),
        pseudoDevices_(pseudoFileSystemDevices()) {}

  void run(const std::string& folder) {
    std::string prefix = directoryPrefix(folder);
    int fd = ::open(prefix.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {  // a folder that cannot be read gives no entries
      report(prefix, errno);
      return;
    }
    walkFolder(fd, prefix);
  }

  long long total() const { return total_; }

 private:
  // Takes ownership of `fd`, an open folder whose path is `prefix`.
  void walkFolder(int fd, const std::string& prefix) {
    struct stat st;
    if (stopped()) {
      ::close(fd);
      return;
    }
    if (::fstat(fd, &st) != 0) {
      report(prefix, errno);
      ::close(fd);
      return;
    }
    if (isPseudo(fd, st)) {
      ::close(fd);
      return;
    }
    for (const FolderId& id : path_) {
      if (id.dev == st.st_dev && id.ino == st.st_ino) {  // a link back up the tree
        ::close(fd);
        return;
      }
    }
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
      report(prefix, errno);
      ::close(fd);
      return;
    }
    int readError = 0;
    std::vector<Entry> entries = readEntries(dir, readError);
    if (readError) report(prefix, readError);  // what was read before the error is still walked
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return ntfsNameLess(a.name, b.name); });

    for (const Entry& e : entries) {
      if (e.isFolder || !matchesPattern(e.name, pattern_)) continue;
      ++total_;
      if (callback_ && dotDepth_ == 0) (*callback_)(prefix, e.name);
    }

    path_.push_back({st.st_dev, st.st_ino});
    std::vector<const Entry*> folders;
    for (const Entry& e : entries)
      if (e.isFolder && e.name != "." && e.name != "..") folders.push_back(&e);
    // The top folder's subfolders are walked in two halves at once: the
    // second half's files are kept and handed on after the first half's, so
    // the order is the one walk's.
    size_t split = folders.size();
    std::unique_ptr<Walk> second;
    std::vector<std::pair<std::string, std::string>> kept;
    WorkbookCallback keep = [&](const std::string& p, const std::string& n) { kept.emplace_back(p, n); };
    std::vector<std::pair<std::string, int>> keptUnreadable;
    UnreadableFolderCallback keepUnreadable = [&](const std::string& p, int error) {
      keptUnreadable.emplace_back(p, error);
    };
    std::thread beside;
    if (path_.size() == 1 && folders.size() >= 2) {
      split = folders.size() / 2;
      second.reset(new Walk(*this, callback_ ? &keep : nullptr, unreadable_ ? &keepUnreadable : nullptr));
      try {
        beside = std::thread([&] { second->walkFolders(::dirfd(dir), prefix, folders, split, folders.size()); });
      } catch (...) {  // no thread: walked here after the first half
      }
    }
    walkFolders(::dirfd(dir), prefix, folders, 0, split);
    if (second) {
      if (beside.joinable())
        beside.join();
      else
        second->walkFolders(::dirfd(dir), prefix, folders, split, folders.size());
      total_ += second->total_;
      for (const auto& [p, error] : keptUnreadable) report(p, error);
      for (const auto& [p, n] : kept) (*callback_)(p, n);
    }
    path_.pop_back();
    ::closedir(dir);
  }

  // A walk of part of the tree beside this one, from the same folder.
  Walk(const Walk& from, const WorkbookCallback* callback, const UnreadableFolderCallback* unreadable)
      : pattern_(from.pattern_),
        visitDotFolders_(from.visitDotFolders_),
        callback_(callback),
        unreadable_(unreadable),
        dotDepth_(from.dotDepth_),
        stop_(from.stop_),
        pseudoDevices_(from.pseudoDevices_),
        path_(from.path_) {}

  void walkFolders(int dirFd, const std::string& prefix, const std::vector<const Entry*>& folders, size_t from,
                   size_t to) {
    for (size_t i = from; i < to; ++i) {
      const Entry& e = *folders[i];
      const bool dot = e.name[0] == '.' && !visitDotFolders_;
      if (stopped()) break;
      dotDepth_ += dot;
      int child = ::openat(dirFd, e.name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
      if (child < 0) {  // no access, vanished, too many open folders: no entries
        const int error = errno;
        report(prefix + e.name + "/", error);
        dotDepth_ -= dot;
        continue;
      }
      walkFolder(child, prefix + e.name + "/");
      dotDepth_ -= dot;
    }
  }

  // Only folders whose files would be visited: a dot folder's files are
  // counted but never searched, so missing them changes no result.
  void report(const std::string& folder, int error) const {
    if (unreadable_ && dotDepth_ == 0) (*unreadable_)(folder, error);
  }

  // After a stop nothing more is scanned: a huge tree is not walked to its end.
  bool stopped() const { return stop_ && stop_->load(std::memory_order_relaxed) != 0; }

  bool isPseudo(int fd, const struct stat& st) const {
    if (std::find(pseudoDevices_.begin(), pseudoDevices_.end(), st.st_dev) != pseudoDevices_.end()) return true;
    struct statfs fs;
    return ::fstatfs(fd, &fs) == 0 && isPseudoFileSystemType(static_cast<unsigned long>(fs.f_type));
  }

  // A symbolic link to a folder counts as a folder, every other entry
  // (regular file, link to a file, dangling link, FIFO, device) as a file.
  // `error` gets the errno of a read that failed part way, else stays 0.
  static std::vector<Entry> readEntries(DIR* dir, int& error) {
    std::vector<Entry> entries;
    const int fd = ::dirfd(dir);
    for (;;) {
      errno = 0;
      struct dirent* d = ::readdir(dir);
      if (!d) {
        error = errno;
        break;
      }
      Entry e{d->d_name, false};
      unsigned char type = d->d_type;
      if (type == DT_UNKNOWN || type == DT_LNK) {
        struct stat st;
        if (::fstatat(fd, d->d_name, &st, AT_NO_AUTOMOUNT) == 0) {
          e.isFolder = S_ISDIR(st.st_mode);
        } else if (type == DT_UNKNOWN && ::fstatat(fd, d->d_name, &st, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT) == 0) {
          e.isFolder = S_ISDIR(st.st_mode);
        }
      } else {
        e.isFolder = (type == DT_DIR);
      }
      entries.push_back(std::move(e));
    }
    return entries;
  }

  const std::string& pattern_;
  const bool visitDotFolders_;
  const WorkbookCallback* callback_;
  const UnreadableFolderCallback* unreadable_;
  int dotDepth_ = 0;  // dot folders around the one being walked, when they are not visited
  const std::atomic<int>* stop_;
  std::vector<dev_t> pseudoDevices_;
  std::vector<FolderId> path_;
  long long total_ = 0;
};

bool wildcardMatch(std::string_view name, std::string_view pattern) {
  // Iterative '*' backtracking; '?' takes one byte.
  size_t n = 0, p = 0, starP = std::string_view::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starN = n;
    } else if (p < pattern.size() &&
               (pattern[p] == '?' || upperAscii(static_cast<unsigned char>(pattern[p])) ==
                                         upperAscii(static_cast<unsigned char>(name[n])))) {
      ++p;
      ++n;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace

std::string directoryPrefix(const std::string& folder) {
  if (!folder.empty() && folder.back() == '/') return folder;
  return folder + "/";
}

bool matchesPattern(std::string_view name, std::string_view pattern) {
  if (pattern == "*" || pattern == "*.*") return true;
  if (pattern.size() > 2 && pattern.substr(0, 2) == "*." &&
      pattern.find_first_of("*?", 2) == std::string_view::npos) {
    std::string_view ext = pattern.substr(2);
    size_t dot = name.rfind('.');
    if (dot == std::string_view::npos) return false;
    std::string_view actual = name.substr(dot + 1);
    // A short name keeps the first three characters of the extension, so a
    // three-letter pattern extension also takes longer ones beginning with it.
    if (ext.size() == 3 ? actual.size() < 3 : actual.size() != ext.size()) return false;
    for (size_t i = 0; i < ext.size(); ++i) {
      if (upperAscii(static_cast<unsigned char>(actual[i])) != upperAscii(static_cast<unsigned char>(ext[i])))
        return false;
    }
    return true;
  }
  return wildcardMatch(name, pattern);
}

bool ntfsNameLess(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    // Bytes equal as they stand are equal upper-cased: names in one folder
    // share long beginnings, passed over eight bytes at a time.
    for (uint64_t x = 0, y = 0; i + 8 <= n; i += 8) {
      std::memcpy(&x, a.data() + i, 8);
      std::memcpy(&y, b.data() + i, 8);
      if (x != y) break;
    }
    while (i < n && a[i] == b[i]) ++i;
    if (i == n) break;
    unsigned char x = upperAscii(static_cast<unsigned char>(a[i]));
    unsigned char y = upperAscii(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y;
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

long long countWorkbooks(const std::string& folder, const std::string& pattern, const std::atomic<int>* stop) {
  Walk walk(pattern, true, nullptr, stop);
  walk.run(folder);
  return walk.total();
}

void visitWorkbooks(const std::string& folder, const std::string& pattern, const WorkbookCallback& callback,
                    const std::atomic<int>* stop) {
  countAndVisitWorkbooks(folder, pattern, callback, stop);
}

long long countAndVisitWorkbooks(const std::string& folder, const std::string& pattern,
                                 const WorkbookCallback& callback, const std::atomic<int>* stop,
                                 const UnreadableFolderCallback* unreadable) {
  Walk walk(pattern, false, &callback, stop, unreadable);
  walk.run(folder);
  return walk.total();
}
