#include "app/settings.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/xl/ascii.h"
#include "platform/xl/write_all.h"

namespace {

std::optional<std::string>& programDirectoryOverride() {
  static std::optional<std::string> dir;
  return dir;
}

std::function<bool(const std::string&)>& writableCheck() {
  static std::function<bool(const std::string&)> check;
  return check;
}

// Writes of one process never interleave; the file is rewritten whole.
std::mutex& writeMutex() {
  static std::mutex m;
  return m;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimBlanks(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
  return s;
}

// Valid UTF-8, and `wide` tells whether any character took three or four bytes.
bool isValidUtf8(std::string_view s, bool& wide) {
  wide = false;
  std::size_t i = 0, n = s.size();
  while (i < n) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) { ++i; continue; }
    int len;
    uint32_t cp;
    if ((c & 0xE0) == 0xC0) { len = 2; cp = c & 0x1F; }
    else if ((c & 0xF0) == 0xE0) { len = 3; cp = c & 0x0F; }
    else if ((c & 0xF8) == 0xF0) { len = 4; cp = c & 0x07; }
    else return false;
    if (i + len > n) return false;
    for (int k = 1; k < len; ++k) {
      unsigned char cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
        cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    wide = wide || len >= 3;
    i += len;
  }
  return true;
}

// Our own files always hold Chinese section names, three bytes each in UTF-8.
// A GBK file can pass as UTF-8 when all its pairs happen to look like two-byte
// characters ("[目录]" in GBK reads as "[Ŀ¼]"), so such a file is GBK.
bool looksLikeUtf8(std::string_view s) {
  bool wide;
  if (!isValidUtf8(s, wide)) return false;
  bool ascii = std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  return ascii || wide;
}

// Files written on Chinese Windows are GBK; GB18030 is its superset. Bytes
// that are not GBK either become U+FFFD so a damaged file still reads.
std::string gbkToUtf8(std::string_view in) {
  iconv_t cd = iconv_open("UTF-8", "GB18030");
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(in);
  std::string out;
  out.reserve(in.size() * 3 / 2 + 16);
  char buf[4096];
  char* src = const_cast<char*>(in.data());
  std::size_t srcLeft = in.size();
  while (srcLeft > 0) {
    char* dst = buf;
    std::size_t dstLeft = sizeof buf;
    std::size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    out.append(buf, dst - buf);
    if (r == static_cast<std::size_t>(-1) && errno != E2BIG) {
      out += "\xEF\xBF\xBD";  // skip the offending byte
      ++src;
      --srcLeft;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  iconv_close(cd);
  return out;
}

// Content of the file as UTF-8 without BOM. Returns false when the file
// exists but cannot be read; a missing file is empty content.
bool loadFile(const std::string& path, std::string& text, bool& hadBom, bool& exists) {
  text.clear();
  hadBom = false;
  exists = false;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT || errno == ENOTDIR;
  exists = true;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  std::string raw;
  char buf[65536];
  for (;;) {
    ssize_t r = ::read(fd, buf, sizeof buf);
    if (r < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return false;
    }
    if (r == 0) break;
    raw.append(buf, static_cast<std::size_t>(r));
  }
  ::close(fd);
  std::string_view body(raw);
  if (body.substr(0, 3) == "\xEF\xBB\xBF") {
    hadBom = true;
    body.remove_prefix(3);
  }
  text = looksLikeUtf8(body) ? std::string(body) : gbkToUtf8(body);
  return true;
}

struct Line {
  std::string text;  // without the line ending
  bool crlf = false;
};

std::vector<Line> splitLines(const std::string& text, bool& lastHadNewline) {
  std::vector<Line> lines;
  std::size_t pos = 0;
  lastHadNewline = true;
  while (pos < text.size()) {
    std::size_t nl = text.find('\n', pos);
    Line line;
    if (nl == std::string::npos) {
      line.text = text.substr(pos);
      lastHadNewline = false;
      pos = text.size();
    } else {
      line.text = text.substr(pos, nl - pos);
      pos = nl + 1;
    }
    if (!line.text.empty() && line.text.back() == '\r') {
      line.text.pop_back();
      line.crlf = true;
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

// A section header's name, or nullopt when the line is not a header.
std::optional<std::string_view> sectionName(std::string_view line) {
  std::string_view t = trimBlanks(line);
  if (t.empty() || t.front() != '[') return std::nullopt;
  t.remove_prefix(1);
  std::size_t close = t.find(']');
  if (close != std::string_view::npos) t = t.substr(0, close);
  return trimBlanks(t);
}

// For a key line: the key and where the value starts; nullopt otherwise.
struct KeyLine {
  std::string_view key;
  std::size_t valueStart;
};
std::optional<KeyLine> keyLine(std::string_view line) {
  std::string_view t = trimBlanks(line);
  if (t.empty() || t.front() == ';' || t.front() == '[') return std::nullopt;
  std::size_t eq = line.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  return KeyLine{trimBlanks(line.substr(0, eq)), eq + 1};
}

std::string_view cutAtCharBoundary(std::string_view s, std::size_t maxBytes) {
  if (s.size() <= maxBytes) return s;
  std::size_t end = maxBytes;
  // Back up over continuation bytes so no character is split.
  while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) --end;
  return s.substr(0, end);
}

std::string unquotedValue(std::string_view raw) {
  std::string_view v = trimBlanks(raw);
  if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
  return std::string(cutAtCharBoundary(v, kMaxSettingValueBytes));
}

// A value that the read rules would change (outer blanks, enclosing quotes) is
// stored inside one pair of quotes, so it reads back exactly as written.
std::string storedValue(std::string_view value) {
  bool needsQuotes = !value.empty() &&
                     (isBlank(value.front()) || isBlank(value.back()) ||
                      (value.size() >= 2 && value.front() == '"' && value.back() == '"'));
  if (!needsQuotes) return std::string(value);
  std::string s;
  s.reserve(value.size() + 2);
  s += '"';
  s += value;
  s += '"';
  return s;
}

bool hasLineBreakOrNul(std::string_view s) {
  return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

std::string parentDirectory(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool makeDirectories(const std::string& dir) {
  if (dir.empty()) return false;
  struct stat st;
  if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  std::string parent = parentDirectory(dir);
  if (parent != dir && !makeDirectories(parent)) return false;
  return ::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

// Temporary file in the same folder, fsync, rename over the old file: a crash
// or a full disk leaves either the old file or the new one, never a torn one.
bool replaceFileAtomically(const std::string& path, std::string_view content, mode_t mode) {
  std::string dir = parentDirectory(path);
  std::string tmpl = dir + "/.配置.ini.XXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = xl::writeAll(fd, content.data(), content.size()) && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (ok) ok = ::rename(name.data(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(name.data());
    return false;
  }
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return true;
}

bool directoryWritable(const std::string& dir) {
  if (auto& check = writableCheck()) return check(dir);
  return ::access(dir.c_str(), W_OK) == 0;
}

std::string userSettingsPath() {
  std::string base;
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && xdg[0] == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home ? home : "") + "/.config";
  }
  return base + "/quorvane/配置.ini";
}

}  // namespace

std::string programDirectory() {
  if (auto& dir = programDirectoryOverride()) return *dir;
  std::vector<char> buf(PATH_MAX + 1);
  ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return ".";
  std::string exe(buf.data(), static_cast<std::size_t>(n));
  // A program replaced while running is reported with this suffix.
  static constexpr std::string_view kDeleted = " (deleted)";
  if (exe.size() > kDeleted.size() && exe.ends_with(kDeleted)) exe.resize(exe.size() - kDeleted.size());
  std::size_t slash = exe.rfind('/');
  if (slash == std::string::npos) return ".";
  return exe.substr(0, slash);
}

std::string settingsPath() {
  std::string dir = programDirectory();
  std::string beside = dir + "/配置.ini";
  if (::access(beside.c_str(), F_OK) == 0) return beside;
  if (directoryWritable(dir.empty() ? "/" : dir)) return beside;
  return userSettingsPath();
}

std::string defaultSearchFolder() {
  const std::string dir = programDirectory();
  if (settingsPath() == dir + "/配置.ini") return dir + "/";
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] != '/') {
    const passwd* user = ::getpwuid(::getuid());
    home = user != nullptr ? user->pw_dir : nullptr;
  }
  if (home == nullptr || home[0] != '/') return dir + "/";
  std::string folder = home;
  if (!folder.ends_with('/')) folder += '/';
  return folder;
}

std::string readProfileString(const std::string& path, std::string_view section,
                              std::string_view key, std::string_view defaultText) {
  std::string text;
  bool hadBom, exists;
  if (!loadFile(path, text, hadBom, exists)) return std::string(defaultText);
  std::string_view sec = trimBlanks(section), k = trimBlanks(key);
  bool inSection = false, seenSection = false;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t nl = text.find('\n', pos);
    std::string_view line = std::string_view(text).substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (auto name = sectionName(line)) {
      // The first section of a name is the one that counts.
      if (inSection) break;
      inSection = !seenSection && xl::equalsFoldedAscii(*name, sec);
      seenSection = seenSection || inSection;
    } else if (inSection) {
      if (auto kl = keyLine(line); kl && xl::equalsFoldedAscii(kl->key, k))
        return unquotedValue(line.substr(kl->valueStart));
    }
    if (nl == std::string::npos) break;
    pos = nl + 1;
  }
  return std::string(defaultText);
}

bool writeProfileString(const std::string& path, std::string_view section, std::string_view key,
                        std::string_view value) {
  std::string_view sec = trimBlanks(section), k = trimBlanks(key);
  // Names or values that would break the line structure (or let a value
  // inject other keys) are refused rather than written damaged.
  if (sec.empty() || k.empty() || sec.find(']') != std::string_view::npos ||
      k.find('=') != std::string_view::npos || k.front() == '[' || k.front() == ';' ||
      hasLineBreakOrNul(sec) || hasLineBreakOrNul(k) || hasLineBreakOrNul(value))
    return false;

  std::lock_guard<std::mutex> lock(writeMutex());
  std::string target = path;
  if (char* real = ::realpath(path.c_str(), nullptr)) {  // write through a symlink
    target = real;
    std::free(real);
  }
  std::string text;
  bool hadBom, exists;
  if (!loadFile(target, text, hadBom, exists)) return false;  // never clobber what we cannot read

  bool lastHadNewline;
  std::vector<Line> lines = splitLines(text, lastHadNewline);
  bool crlf = !lines.empty() && lines.front().crlf;
  // An unterminated last line that gets terminated follows the file's style.
  // One that ends in a CR keeps it: the reads take that CR as the line's end.
  const bool lastEndsInCr = !lastHadNewline && lines.back().crlf;
  if (!lastHadNewline && !lastEndsInCr) lines.back().crlf = crlf;
  std::string stored = storedValue(value);

  std::optional<std::size_t> sectionLine, lastContentLine;
  bool replaced = false;
  for (std::size_t i = 0; i < lines.size() && !replaced; ++i) {
    const std::string& t = lines[i].text;
    if (auto name = sectionName(t)) {
      if (sectionLine) break;  // end of our section
      if (xl::equalsFoldedAscii(*name, sec)) {
        sectionLine = i;
        lastContentLine = i;
      }
      continue;
    }
    if (!sectionLine) continue;
    if (!trimBlanks(t).empty()) lastContentLine = i;
    if (auto kl = keyLine(t); kl && xl::equalsFoldedAscii(kl->key, k)) {
      lines[i].text = t.substr(0, kl->valueStart) + stored;
      replaced = true;
    }
  }
  if (!replaced) {
    Line keyLineNew{std::string(k) + "=" + stored, crlf};
    if (sectionLine) {
      lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(*lastContentLine + 1), keyLineNew);
      if (*lastContentLine + 1 == lines.size() - 1) lastHadNewline = true;
    } else {
      lines.push_back(Line{"[" + std::string(sec) + "]", crlf});
      lines.push_back(keyLineNew);
      lastHadNewline = true;
    }
  }

  std::string out;
  out.reserve(text.size() + stored.size() + 64);
  if (hadBom) out += "\xEF\xBB\xBF";
  for (std::size_t i = 0; i < lines.size(); ++i) {
    out += lines[i].text;
    if (i + 1 < lines.size() || lastHadNewline)
      out += lines[i].crlf ? "\r\n" : "\n";
    else if (lastEndsInCr)
      out += '\r';  // still unterminated: give back the CR it ended in
  }

  mode_t mode = 0644;
  struct stat st;
  if (exists && ::stat(target.c_str(), &st) == 0) {
    mode = st.st_mode & 07777;
  } else {
    mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  return replaceFileAtomically(target, out, mode);
}

std::string readSetting(std::string_view section, std::string_view key, std::string_view defaultText) {
  return readProfileString(settingsPath(), section, key, defaultText);
}

bool writeSetting(std::string_view section, std::string_view key, std::string_view value) {
  std::string path = settingsPath();
  if (!makeDirectories(parentDirectory(path))) return false;
  return writeProfileString(path, section, key, value);
}

int32_t integerFromText(std::string_view text) {
  // Full-width forms (U+FF01..U+FF5E, UTF-8 EF BC 81 .. EF BD 9E) read as
  // their ASCII characters, U+3000 (E3 80 80) as a blank.
  std::string ascii;
  ascii.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == 0xEF && i + 2 < text.size()) {
      unsigned char b1 = static_cast<unsigned char>(text[i + 1]);
      unsigned char b2 = static_cast<unsigned char>(text[i + 2]);
      uint32_t cp = ((c & 0x0F) << 12) | ((b1 & 0x3F) << 6) | (b2 & 0x3F);
      if ((b1 & 0xC0) == 0x80 && (b2 & 0xC0) == 0x80 && cp >= 0xFF01 && cp <= 0xFF5E) {
        ascii += static_cast<char>(cp - 0xFF01 + 0x21);
        i += 3;
        continue;
      }
    }
    if (c == 0xE3 && i + 2 < text.size() && text[i + 1] == '\x80' && text[i + 2] == '\x80') {
      ascii += ' ';
      i += 3;
      continue;
    }
    ascii += static_cast<char>(c);
    ++i;
  }
  std::size_t i = 0;
  while (i < ascii.size() && (ascii[i] == ' ' || (ascii[i] >= '\t' && ascii[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < ascii.size() && (ascii[i] == '+' || ascii[i] == '-')) negative = ascii[i++] == '-';
  uint32_t v = 0;  // unsigned: overflow wraps, as a 32-bit accumulator does
  for (; i < ascii.size() && ascii[i] >= '0' && ascii[i] <= '9'; ++i) v = v * 10u + uint32_t(ascii[i] - '0');
  if (negative) v = 0u - v;
  return static_cast<int32_t>(v);
}

std::string integerToText(int32_t value) { return std::to_string(value); }

void setProgramDirectoryForTesting(std::optional<std::string> directory) {
  programDirectoryOverride() = std::move(directory);
}

void setDirectoryWritableCheckForTesting(std::function<bool(const std::string&)> check) {
  writableCheck() = std::move(check);
}
