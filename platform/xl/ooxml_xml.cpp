// A small XML tokenizer for the UTF-8 parts of a workbook. Expat spends
// several times longer on a sheet than inflating it; this scanner handles
// the XML that workbook parts use (elements, attributes, character and
// entity references, CDATA, comments, processing instructions), checks
// that the document is well formed where it matters (tags close in order,
// references are known, UTF-8 is valid), and calls the same SaxHandler as
// the expat path. Parts in other encodings go to expat.
#include "platform/xl/ooxml_xml.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>

namespace xl::ooxml {

namespace {

inline bool isSpace(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }

// Bytes that matter while looking for the end of a tag.
constexpr auto kTagStop = [] {
  std::array<bool, 256> t{};
  t['>'] = t['<'] = t['"'] = t['\''] = true;
  return t;
}();

// Decodes the reference at s[0] == '&' (up to `end`). Writes its UTF-8 to
// out, sets the bytes consumed. False for an unknown or malformed reference.
bool decodeReference(const char* s, const char* end, char* out, size_t& outLen, size_t& consumed) {
  const char* semi = static_cast<const char*>(std::memchr(s, ';', static_cast<size_t>(std::min<std::ptrdiff_t>(end - s, 16))));
  if (!semi) return false;
  std::string_view name(s + 1, static_cast<size_t>(semi - s - 1));
  consumed = static_cast<size_t>(semi - s + 1);
  char c = 0;
  if (name == "amp") c = '&';
  else if (name == "lt") c = '<';
  else if (name == "gt") c = '>';
  else if (name == "quot") c = '"';
  else if (name == "apos") c = '\'';
  if (c) {
    out[0] = c;
    outLen = 1;
    return true;
  }
  if (name.size() < 2 || name[0] != '#') return false;
  uint32_t cp = 0;
  bool hex = name[1] == 'x';
  size_t i = hex ? 2 : 1;
  if (i >= name.size()) return false;
  for (; i < name.size(); ++i) {
    char d = name[i];
    uint32_t v;
    if (d >= '0' && d <= '9') v = static_cast<uint32_t>(d - '0');
    else if (hex && d >= 'a' && d <= 'f') v = static_cast<uint32_t>(d - 'a' + 10);
    else if (hex && d >= 'A' && d <= 'F') v = static_cast<uint32_t>(d - 'A' + 10);
    else return false;
    cp = cp * (hex ? 16 : 10) + v;
    if (cp > 0x10FFFF) return false;
  }
  if (cp == 0 || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
  outLen = putUtf8(out, cp);
  return true;
}

// Also refuses NUL, which no XML document may contain.
bool validUtf8(const unsigned char* s, size_t n) {
  size_t i = 0;
  while (i < n) {
    // Runs of ASCII, eight bytes at a time.
    while (i + 8 <= n) {
      uint64_t w;
      std::memcpy(&w, s + i, 8);
      // Stop at any byte with the high bit set, or at a NUL.
      if ((w | ((w - 0x0101010101010101ull) & ~w)) & 0x8080808080808080ull) break;
      i += 8;
    }
    if (i >= n) break;
    unsigned char c = s[i];
    if (c < 0x80) {
      if (c == 0) return false;  // not a character XML can hold
      ++i;
      continue;
    }
    // Most of the CJK range: lead bytes E1-EC with any two continuation
    // bytes are neither overlong nor surrogates, so only their form matters.
    if (c >= 0xE1 && c <= 0xEC) {
      if (i + 3 > n || (s[i + 1] & 0xC0) != 0x80 || (s[i + 2] & 0xC0) != 0x80) return false;
      i += 3;
      continue;
    }
    size_t len;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) len = 2, cp = c & 0x1F;
    else if (c >= 0xE0 && c <= 0xEF) len = 3, cp = c & 0x0F;
    else if (c >= 0xF0 && c <= 0xF4) len = 4, cp = c & 0x07;
    else return false;
    if (i + len > n) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
      return false;
    i += len;
  }
  return true;
}

bool asciiCaseEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

}  // namespace

FastXml::FastXml(SaxHandler& handler, const std::string& part, const OoxmlLimits& limits)
    : handler_(handler), part_(part), limits_(limits) {}

bool FastXml::fill(PartSource& src, std::string& error) {
  if (eof_) return false;
  if (beg_ > 0) {
    std::memmove(buf_.data(), buf_.data() + beg_, end_ - beg_);
    end_ -= beg_;
    beg_ = 0;
  }
  const size_t chunk = std::clamp<size_t>(limits_.chunkBytes, 4096, 16u << 20);
  if (buf_.size() - end_ < chunk) {
    if (end_ > limits_.maxTokenBytes) {
      error = "文件已损坏：" + part_ + " 含有过长的 XML 标记";
      failed_ = true;
      return false;
    }
    buf_.resize(end_ + chunk + 1);  // +1: room for a terminating NUL
  }
  int64_t n = src.read(buf_.data() + end_, chunk, error);
  if (n < 0) {
    failed_ = true;
    return false;
  }
  if (n == 0) eof_ = true;
  end_ += static_cast<size_t>(n);
  return n > 0;
}

std::string FastXml::malformed() const { return "文件已损坏：" + part_ + " 不是有效的 XML"; }

bool FastXml::stopped(std::string& error) {
  if (!handler_.failed()) return false;
  error = handler_.failure();
  return true;
}

FastXml::Result FastXml::run(PartSource& src, std::string& error) {
  {
    std::unique_ptr<char[]> whole;
    size_t size = 0;
    if (end_ == 0 && src.takeWhole(whole, size)) {
      buf_.adopt(std::move(whole), size + 1, size + 1);
      end_ = size;
      eof_ = true;
    }
  }
  // The first bytes decide: UTF-16 and declared non-UTF-8 encodings go to expat.
  while (end_ - beg_ < 4 && fill(src, error)) {
  }
  if (failed_) return Result::Error;
  {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(buf_.data() + beg_);
    size_t n = end_ - beg_;
    if (n >= 2 && ((b[0] == 0xFF && b[1] == 0xFE) || (b[0] == 0xFE && b[1] == 0xFF) || b[0] == 0 || b[1] == 0))
      return Result::NeedExpat;
    if (n >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) beg_ += 3;
  }
  bool first = true;
  bool rootSeen = false;
  for (;;) {
    if (beg_ == end_) {
      if (!fill(src, error)) {
        if (failed_) return Result::Error;
        break;
      }
      continue;
    }
    char* base = buf_.data();
    if (base[beg_] != '<') {
      // Character data up to the next tag.
      char* p = base + beg_;
      char* lt = static_cast<char*>(std::memchr(p + scan_, '<', end_ - beg_ - scan_));
      if (!lt) {
        scan_ = end_ - beg_;
        if (fill(src, error)) continue;
        if (failed_) return Result::Error;
        // fill() may have moved the bytes even when nothing more came.
        base = buf_.data();
        p = base + beg_;
        // Only blanks may follow the document.
        for (char* q = p; q < base + end_; ++q)
          if (!isSpace(*q)) {
            error = malformed();
            return Result::Error;
          }
        beg_ = end_;
        scan_ = 0;
        continue;
      }
      size_t len = static_cast<size_t>(lt - p);
      scan_ = 0;
      if (stack_.empty()) {
        for (char* q = p; q < lt; ++q)
          if (!isSpace(*q)) {
            error = malformed();
            return Result::Error;
          }
      } else if (!text(p, len, error)) {
        return Result::Error;
      }
      beg_ += len;
      first = false;
      continue;
    }

    // A markup token: find where it ends, reading more as needed.
    size_t avail = end_ - beg_;
    if (avail < 9 && !eof_) {
      fill(src, error);
      if (failed_) return Result::Error;
      continue;
    }
    const char* t = base + beg_;
    enum { Tag, EndTag, Comment, Cdata, Pi, Doctype, Bad } kind;
    if (avail >= 2 && t[1] == '/') kind = EndTag;
    else if (avail >= 2 && t[1] == '?') kind = Pi;
    else if (avail >= 4 && std::memcmp(t, "<!--", 4) == 0) kind = Comment;
    else if (avail >= 9 && std::memcmp(t, "<![CDATA[", 9) == 0) kind = Cdata;
    else if (avail >= 9 && std::memcmp(t, "<!DOCTYPE", 9) == 0) kind = Doctype;
    else if (avail >= 2 && t[1] == '!') kind = Bad;
    else kind = Tag;
    if (kind == Doctype) {
      // Workbooks never carry a DTD; one can only be there to expand entities.
      error = "文件已损坏：" + part_ + " 含有不允许的 DOCTYPE 声明";
      return Result::Error;
    }
    if (kind == Bad) {
      error = malformed();
      return Result::Error;
    }
    const char* stop = nullptr;  // last byte of the token
    if (kind == Tag || kind == EndTag) {
      const char* q = t + std::max<size_t>(scan_, 1);
      const char* e = base + end_;
      char quote = quote_;
      while (q < e) {
        if (quote) {
          while (q < e && *q != quote) ++q;
          if (q == e) break;
          ++q;
          quote = 0;
          continue;
        }
        while (q < e && !kTagStop[static_cast<unsigned char>(*q)]) ++q;
        if (q == e) break;
        char c = *q;
        if (c == '>') {
          stop = q;
          break;
        }
        if (c == '<') {
          error = malformed();
          return Result::Error;
        }
        quote = c;
        ++q;
      }
      quote_ = quote;
      if (!stop) scan_ = static_cast<size_t>(q - t);
    } else {
      const char* term = kind == Comment ? "-->" : kind == Cdata ? "]]>" : "?>";
      size_t termLen = std::strlen(term);
      size_t from = std::max<size_t>(scan_, kind == Cdata ? 9 : kind == Comment ? 4 : 2);
      std::string_view hay(t, avail);
      size_t at = from <= hay.size() ? hay.find(term, from) : std::string_view::npos;
      if (at != std::string_view::npos) stop = t + at + termLen - 1;
      else scan_ = hay.size() >= termLen ? hay.size() - termLen + 1 : 0;
    }
    if (!stop) {
      if (fill(src, error)) continue;
      if (!failed_) error = malformed();  // the part ends inside a tag
      return Result::Error;
    }
    scan_ = 0;
    quote_ = 0;
    size_t tokenLen = static_cast<size_t>(stop - t) + 1;
    char* tok = base + beg_;

    switch (kind) {
      case Pi:
        if (first && tokenLen > 6 && std::memcmp(tok, "<?xml", 5) == 0 && isSpace(tok[5])) {
          std::string_view decl(tok, tokenLen);
          size_t at = decl.find("encoding");
          if (at != std::string_view::npos) {
            size_t q1 = decl.find_first_of("\"'", at);
            size_t q2 = q1 == std::string_view::npos ? q1 : decl.find(decl[q1], q1 + 1);
            if (q2 != std::string_view::npos) {
              std::string_view enc = decl.substr(q1 + 1, q2 - q1 - 1);
              if (!asciiCaseEqual(enc, "utf-8") && !asciiCaseEqual(enc, "utf8") && !asciiCaseEqual(enc, "us-ascii"))
                return Result::NeedExpat;
            }
          }
        }
        break;
      case Comment:
        break;
      case Cdata:
        if (stack_.empty()) {
          error = malformed();
          return Result::Error;
        }
        if (!validUtf8(reinterpret_cast<const unsigned char*>(tok + 9), tokenLen - 12)) {
          error = malformed();
          return Result::Error;
        }
        handler_.text(tok + 9, static_cast<int>(tokenLen - 12));
        if (stopped(error)) return Result::Error;
        break;
      case EndTag:
        if (!endTag(tok, tokenLen, error)) return Result::Error;
        break;
      case Tag:
        if (stack_.empty() && rootSeen) {
          error = malformed();  // a second root
          return Result::Error;
        }
        rootSeen = true;
        if (!startTag(tok, tokenLen, error)) return Result::Error;
        break;
      default:
        break;
    }
    first = false;
    beg_ += tokenLen;
  }
  if (!rootSeen || !stack_.empty()) {
    error = malformed();
    return Result::Error;
  }
  return Result::Ok;
}

// Character data: references decoded, line ends normalised, UTF-8 checked.
bool FastXml::text(char* p, size_t len, std::string& error) {
  const char* end = p + len;
  bool plain = true;
  for (const char* q = p; q < end; ++q)
    if (*q == '&' || *q == '\r') {
      plain = false;
      break;
    }
  const char* out = p;
  size_t outLen = len;
  if (!plain) {
    scratch_.clear();
    for (const char* q = p; q < end;) {
      if (*q == '&') {
        char u[4];
        size_t n = 0, used = 0;
        if (!decodeReference(q, end, u, n, used)) {
          error = malformed();
          return false;
        }
        scratch_.append(u, n);
        q += used;
      } else if (*q == '\r') {
        scratch_.push_back('\n');
        q += (q + 1 < end && q[1] == '\n') ? 2 : 1;
      } else {
        scratch_.push_back(*q++);
      }
    }
    out = scratch_.data();
    outLen = scratch_.size();
  }
  if (!validUtf8(reinterpret_cast<const unsigned char*>(out), outLen)) {
    error = malformed();
    return false;
  }
  handler_.text(out, static_cast<int>(outLen));
  return !stopped(error);
}

bool FastXml::endTag(char* tok, size_t len, std::string& error) {
  // "</name  >"
  size_t e = len - 1;
  while (e > 2 && isSpace(tok[e - 1])) --e;
  std::string_view name(tok + 2, e - 2);
  if (stack_.empty()) {
    error = malformed();
    return false;
  }
  uint32_t start = stack_.back();
  if (std::string_view(names_).substr(start) != name) {
    error = malformed();
    return false;
  }
  tok[e] = 0;
  handler_.end(localName(tok + 2));
  stack_.pop_back();
  names_.resize(start);
  return !stopped(error);
}

bool FastXml::startTag(char* tok, size_t len, std::string& error) {
  // tok[len - 1] == '>'; an empty element ends in "/>".
  size_t last = len - 1;
  bool empty = last >= 2 && tok[last - 1] == '/';
  size_t limit = empty ? last - 1 : last;  // attributes end before this
  size_t i = 1;
  while (i < limit && !isSpace(tok[i])) ++i;
  if (i == 1) {
    error = malformed();
    return false;
  }
  size_t nameEnd = i;
  atts_.clear();
  while (i < limit) {
    while (i < limit && isSpace(tok[i])) ++i;
    if (i >= limit) break;
    size_t an = i;
    while (i < limit && tok[i] != '=' && !isSpace(tok[i])) ++i;
    size_t anEnd = i;
    while (i < limit && isSpace(tok[i])) ++i;
    if (i >= limit || tok[i] != '=' || anEnd == an) {
      error = malformed();
      return false;
    }
    ++i;
    while (i < limit && isSpace(tok[i])) ++i;
    if (i >= limit || (tok[i] != '"' && tok[i] != '\'')) {
      error = malformed();
      return false;
    }
    char q = tok[i++];
    size_t vStart = i;
    char* close = static_cast<char*>(std::memchr(tok + i, q, limit - i));
    if (!close) {
      error = malformed();
      return false;
    }
    size_t vEnd = static_cast<size_t>(close - tok);
    // Decode in place: the decoded value is never longer than the raw one.
    size_t w = vStart;
    unsigned char seen = 0x7F;  // ANDed: bit 7 stays clear while all bytes are ASCII
    unsigned char high = 0;     // ORed
    for (size_t r = vStart; r < vEnd;) {
      char c = tok[r];
      high |= static_cast<unsigned char>(c);
      seen &= static_cast<unsigned char>(c ? 0x7F : 0);
      if (c == '&') {
        char u[4];
        size_t n = 0, used = 0;
        if (!decodeReference(tok + r, tok + vEnd, u, n, used)) {
          error = malformed();
          return false;
        }
        std::memcpy(tok + w, u, n);
        w += n;
        r += used;
      } else if (c == '<') {
        error = malformed();
        return false;
      } else if (c == '\r' || c == '\n' || c == '\t') {
        // Attribute values see line ends and tabs as blanks.
        tok[w++] = ' ';
        r += (c == '\r' && r + 1 < vEnd && tok[r + 1] == '\n') ? 2 : 1;
      } else {
        tok[w++] = c;
        ++r;
      }
    }
    // Plain ASCII without NUL (references decode to valid UTF-8) needs no check.
    const bool plainAscii = !(high & 0x80) && seen;
    if (!plainAscii && !validUtf8(reinterpret_cast<const unsigned char*>(tok + vStart), w - vStart)) {
      error = malformed();
      return false;
    }
    tok[w] = 0;
    tok[anEnd] = 0;
    atts_.push_back(tok + an);
    atts_.push_back(tok + vStart);
    i = vEnd + 1;
    if (i < limit && !isSpace(tok[i])) {
      error = malformed();  // attributes must be separated by blanks
      return false;
    }
  }
  atts_.push_back(nullptr);
  tok[nameEnd] = 0;
  if (stack_.size() >= static_cast<size_t>(limits_.maxDepth)) {
    error = "文件已损坏：" + part_ + " 的元素嵌套过深";
    return false;
  }
  const char* local = localName(tok + 1);
  if (empty) {
    handler_.start(local, atts_.data());
    if (stopped(error)) return false;
    handler_.end(local);
    return !stopped(error);
  }
  stack_.push_back(static_cast<uint32_t>(names_.size()));
  names_.append(tok + 1, nameEnd - 1);
  handler_.start(local, atts_.data());
  return !stopped(error);
}

}  // namespace xl::ooxml
