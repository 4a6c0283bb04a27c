#include "platform/xl/biff_text.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>

#include "platform/xl/utf8.h"

namespace xl::biff {

namespace {

constexpr uint32_t kReplacement = 0xFFFD;

// Writes n UTF-16 units, unitAt(i) each, as UTF-8 at d (room for 3 bytes a
// unit) and returns the end. Unpaired surrogates become U+FFFD; a NUL stays:
// texts carry their length, and the rest of the cell must still be found.
template <typename UnitAt>
char* utf16ToUtf8(char* d, size_t n, UnitAt unitAt) {
  for (size_t i = 0; i < n; ++i) {
    const uint32_t u = unitAt(i);
    if (u < 0x80) {
      *d++ = static_cast<char>(u);
    } else if (u >= 0xD800 && u <= 0xDBFF) {
      const uint32_t low = i + 1 < n ? unitAt(i + 1) : 0;
      if (low >= 0xDC00 && low <= 0xDFFF) {
        d += putUtf8(d, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
        ++i;
      } else {
        d += putUtf8(d, kReplacement);
      }
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      d += putUtf8(d, kReplacement);
    } else {
      d += putUtf8(d, u);
    }
  }
  return d;
}

// Grows `out` by at most `room` bytes that write(d) fills, keeping what it wrote.
template <typename Write>
void appendWritten(std::string& out, size_t room, Write write) {
  const size_t at = out.size();
  out.resize(at + room);
  char* end = write(out.data() + at);
  out.resize(static_cast<size_t>(end - out.data()));
}

}  // namespace

void appendUtf16(std::string& out, const uint16_t* units, size_t n) {
  appendWritten(out, 3 * n, [&](char* d) { return utf16ToUtf8(d, n, [units](size_t i) { return units[i]; }); });
}

void appendBiffText(std::string& out, const uint8_t* p, size_t nChars, bool wide) {
  if (wide) {
    appendWritten(out, 3 * nChars, [&](char* d) {
      return utf16ToUtf8(d, nChars, [p](size_t i) { return static_cast<uint32_t>(p[2 * i] | (p[2 * i + 1] << 8)); });
    });
    return;
  }
  appendWritten(out, 2 * nChars, [&](char* d) {
    for (size_t i = 0; i < nChars; ++i) d += putUtf8(d, p[i]);  // Latin-1
    return d;
  });
}

void appendBiffChars(std::vector<uint16_t>& units, const uint8_t* p, size_t nChars, bool wide) {
  size_t base = units.size();
  units.resize(base + nChars);
  uint16_t* dst = units.data() + base;
  if (wide) {
    for (size_t i = 0; i < nChars; ++i) dst[i] = static_cast<uint16_t>(p[2 * i] | (p[2 * i + 1] << 8));
  } else {
    for (size_t i = 0; i < nChars; ++i) dst[i] = p[i];
  }
}

int codepageOfCharset(int charset) {
  switch (charset) {
    case 128: return 932;
    case 129: return 949;
    case 130: return 1361;
    case 134: return 936;
    case 136: return 950;
    case 161: return 1253;
    case 162: return 1254;
    case 163: return 1258;
    case 177: return 1255;
    case 178: return 1256;
    case 186: return 1257;
    case 204: return 1251;
    case 222: return 874;
    case 238: return 1250;
    default: return 1252;
  }
}

const char* iconvNameOfCodepage(int codepage) {
  switch (codepage) {
    case 437: return "CP437";
    case 850: return "CP850";
    case 874: return "CP874";
    case 932: return "CP932";
    case 936: return "GBK";
    case 949: return "CP949";
    case 950: return "CP950";
    case 1250: return "CP1250";
    case 1251: return "CP1251";
    case 1252: return "CP1252";
    case 1253: return "CP1253";
    case 1254: return "CP1254";
    case 1255: return "CP1255";
    case 1256: return "CP1256";
    case 1257: return "CP1257";
    case 1258: return "CP1258";
    case 1361: return "JOHAB";
    case 10000: return "MACINTOSH";
    case 10007: return "MAC-CYRILLIC";
    case 10029: return "MAC-CENTRALEUROPE";
    case 32768: return "MACINTOSH";  // Apple Roman as BIFF2-4 stored it
    case 32769: return "CP1252";     // "ANSI Latin I" of BIFF2-4
    default: return nullptr;         // 367 (ASCII), 1200 (UTF-16 units), unknown
  }
}

CodepageDecoder::~CodepageDecoder() { close(); }

void CodepageDecoder::close() {
  if (cd_) iconv_close(static_cast<iconv_t>(cd_));
  cd_ = nullptr;
  openFailed_ = false;
}

void CodepageDecoder::setCodepage(int codepage) {
  if (codepage == codepage_) return;
  close();
  codepage_ = codepage;
}

void CodepageDecoder::append(std::string& out, const uint8_t* p, size_t n) {
  size_t i = 0;
  while (i < n && p[i] < 0x80) ++i;
  out.append(reinterpret_cast<const char*>(p), i);
  if (i == n) return;

  if (!cd_ && !openFailed_) {
    // An unknown code page falls back to 1252: the most common one for
    // 8-bit workbooks, and every byte still decodes to something readable.
    const char* name = iconvNameOfCodepage(codepage_);
    if (name || codepage_ != 1200) {
      iconv_t cd = iconv_open("UTF-8", name ? name : "CP1252");
      if (cd == reinterpret_cast<iconv_t>(-1)) openFailed_ = true;
      else cd_ = cd;
    } else {
      openFailed_ = true;
    }
  }
  if (!cd_) {
    // UTF-16 code page with 8-bit texts, or no converter: the bytes are the
    // low halves of the code units.
    appendBiffText(out, p + i, n - i, false);
    return;
  }

  iconv_t cd = static_cast<iconv_t>(cd_);
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char buf[1024];
  char* in = const_cast<char*>(reinterpret_cast<const char*>(p + i));
  size_t inLeft = n - i;
  while (inLeft > 0) {
    char* o = buf;
    size_t oLeft = sizeof buf;
    size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
    out.append(buf, static_cast<size_t>(o - buf));
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      // Invalid or cut-off multibyte sequence: mark it and go on.
      char mark[4];
      out.append(mark, putUtf8(mark, kReplacement));
      ++in;
      --inLeft;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  char* o = buf;
  size_t oLeft = sizeof buf;
  iconv(cd, nullptr, nullptr, &o, &oLeft);
  out.append(buf, static_cast<size_t>(o - buf));
}

}  // namespace xl::biff
