#include "platform/path_text.h"

#include <cerrno>

#include <iconv.h>

#include "platform/xl/utf8.h"

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

bool keptInUrl(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~' || c == '/';
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Strict GBK to UTF-8; nullopt when the bytes are not GBK.
std::optional<std::string> fromGbk(std::string_view in) {
  iconv_t cd = iconv_open("UTF-8", "GBK");
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out;
  char buf[1024];
  char* src = const_cast<char*>(in.data());
  std::size_t left = in.size();
  bool ok = true;
  while (left > 0 && ok) {
    char* dst = buf;
    std::size_t room = sizeof buf;
    const std::size_t r = iconv(cd, &src, &left, &dst, &room);
    out.append(buf, std::size_t(dst - buf));
    ok = r != std::size_t(-1) || errno == E2BIG;
  }
  iconv_close(cd);
  if (!ok) return std::nullopt;
  return out;
}

std::string readableComponent(std::string_view part) {
  if (isUtf8(part)) return std::string(part);
  if (auto gbk = fromGbk(part)) return *gbk;
  std::string out;
  for (std::size_t i = 0; i < part.size();) {
    const std::size_t n = xl::utf8SequenceLength(part, i);
    if (n == 0) {
      out += kReplacement;
      ++i;
    } else {
      out.append(part.substr(i, n));
      i += n;
    }
  }
  return out;
}

}  // namespace

bool isUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = xl::utf8SequenceLength(text, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string fileUrlOfPath(std::string_view path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string url = "file://";
  for (const char ch : path) {
    const auto c = static_cast<unsigned char>(ch);
    if (keptInUrl(c)) {
      url += ch;
    } else {
      url += '%';
      url += kHex[c >> 4];
      url += kHex[c & 0xF];
    }
  }
  return url;
}

std::optional<std::string> pathOfFileUrl(std::string_view url) {
  if (url.size() < 5 || (url.substr(0, 5) != "file:" && url.substr(0, 5) != "FILE:")) return std::nullopt;
  url.remove_prefix(5);
  if (url.starts_with("//")) {
    url.remove_prefix(2);
    const std::size_t slash = url.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    const std::string_view host = url.substr(0, slash);
    if (!host.empty() && host != "localhost") return std::nullopt;  // another machine's file
    url.remove_prefix(slash);
  }
  if (!url.starts_with('/')) return std::nullopt;
  std::string path;
  path.reserve(url.size());
  for (std::size_t i = 0; i < url.size(); ++i) {
    if (url[i] == '%' && i + 2 < url.size() && hexValue(url[i + 1]) >= 0 && hexValue(url[i + 2]) >= 0) {
      path += static_cast<char>(hexValue(url[i + 1]) * 16 + hexValue(url[i + 2]));
      i += 2;
    } else {
      path += url[i];
    }
  }
  if (path.find('\0') != std::string::npos) return std::nullopt;  // no file has such a name
  return path;
}

std::string readablePath(std::string_view path) {
  if (isUtf8(path)) return std::string(path);
  std::string out;
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = path.find('/', start);
    out += readableComponent(path.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start));
    if (slash == std::string_view::npos) break;
    out += '/';
    start = slash + 1;
  }
  return out;
}

std::string storedFolderText(std::string_view path) {
  return isUtf8(path) ? std::string(path) : fileUrlOfPath(path);
}

std::string folderOfStoredText(std::string_view stored) {
  if (auto path = pathOfFileUrl(stored)) return *path;
  return std::string(stored);
}
