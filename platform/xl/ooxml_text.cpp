// Small text rules of the OOXML format: string escapes, cell references,
// ISO dates.
#include <cstdio>

#include "platform/xl/ooxml_internal.h"
#include "platform/xl/utf8.h"

namespace xl::ooxml {

namespace {

// The UTF-16 unit of an "_xHHHH_" at s[i], or -1.
int escapeAt(const std::string& s, size_t i) {
  if (i + 7 > s.size() || s[i] != '_' || s[i + 1] != 'x' || s[i + 6] != '_') return -1;
  int v = 0;
  for (size_t k = i + 2; k < i + 6; ++k) {
    int h = hexDigit(s[k]);
    if (h < 0) return -1;
    v = v * 16 + h;
  }
  return v;
}

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
}

bool digits(std::string_view s, size_t pos, size_t n, unsigned& value) {
  if (pos + n > s.size()) return false;
  value = 0;
  for (size_t i = pos; i < pos + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    value = value * 10 + static_cast<unsigned>(s[i] - '0');
  }
  return true;
}

// "hh:mm[:ss[.fff]]" at s[pos]; sets seconds of the day (with fraction).
bool parseTime(std::string_view s, size_t& pos, double& seconds) {
  unsigned h, mi, sec = 0;
  if (!digits(s, pos, 2, h) || pos + 2 >= s.size() || s[pos + 2] != ':' || !digits(s, pos + 3, 2, mi))
    return false;
  pos += 5;
  double frac = 0;
  if (pos < s.size() && s[pos] == ':') {
    if (!digits(s, pos + 1, 2, sec)) return false;
    pos += 3;
    if (pos < s.size() && (s[pos] == '.' || s[pos] == ',')) {
      double scale = 0.1;
      ++pos;
      while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
        frac += (s[pos] - '0') * scale;
        scale /= 10;
        ++pos;
      }
    }
  }
  if (h > 24 || mi > 59 || sec > 60) return false;
  seconds = h * 3600.0 + mi * 60.0 + sec + frac;
  return true;
}

}  // namespace

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void decodeEscapes(std::string& s, size_t from) {
  size_t i = s.find("_x", from);
  if (i == std::string::npos) return;
  size_t out = i;
  char utf8[4];
  while (i < s.size()) {
    int unit = s[i] == '_' ? escapeAt(s, i) : -1;
    if (unit < 0) {
      s[out++] = s[i++];
      continue;
    }
    i += 7;
    uint32_t cp = static_cast<uint32_t>(unit);
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      int low = escapeAt(s, i);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<uint32_t>(low) - 0xDC00);
        i += 7;
      } else {
        cp = 0xFFFD;
      }
    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    // _x0000_ stays a NUL: texts carry their length, and the rest of the
    // cell must still be found.
    size_t n = putUtf8(utf8, cp);
    // Every escape is 7 bytes and becomes at most 4, so writing never
    // overtakes reading.
    for (size_t k = 0; k < n; ++k) s[out++] = utf8[k];
  }
  s.resize(out);
}

bool parseCellRef(std::string_view ref, uint32_t& row, uint32_t& col) {
  const char* s = ref.data();
  const char* const end = s + ref.size();
  uint32_t c = 0;
  int letters = 0;
  for (; s < end; ++s) {
    char ch = *s;
    if (ch >= 'A' && ch <= 'Z') c = c * 26 + static_cast<uint32_t>(ch - 'A' + 1);
    else if (ch >= 'a' && ch <= 'z') c = c * 26 + static_cast<uint32_t>(ch - 'a' + 1);
    else break;
    if (++letters > 3) return false;
  }
  if (letters == 0 || c > kMaxCols) return false;
  uint32_t r = 0;
  int nd = 0;
  for (; s < end && *s >= '0' && *s <= '9'; ++s) {
    r = r * 10 + static_cast<uint32_t>(*s - '0');
    if (++nd > 7) return false;
  }
  if (nd == 0 || s != end || r == 0 || r > kMaxRows) return false;
  row = r - 1;
  col = c - 1;
  return true;
}

bool parseUint(std::string_view s, uint64_t& value) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\n' || s[b] == '\r')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\n' || s[e - 1] == '\r')) --e;
  if (b == e || e - b > 19) return false;
  uint64_t v = 0;
  for (size_t i = b; i < e; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + static_cast<uint64_t>(s[i] - '0');
  }
  value = v;
  return true;
}

bool isoDateText(std::string_view iso, NumberKind kind, std::string& out) {
  while (!iso.empty() && iso.front() == ' ') iso.remove_prefix(1);
  while (!iso.empty() && iso.back() == ' ') iso.remove_suffix(1);
  size_t pos = 0;
  bool hasDate = false;
  unsigned y = 0, m = 1, d = 1;
  double seconds = 0;
  if (iso.size() >= 10 && iso[4] == '-' && iso[7] == '-') {
    if (!digits(iso, 0, 4, y) || !digits(iso, 5, 2, m) || !digits(iso, 8, 2, d)) return false;
    if (m < 1 || m > 12 || d < 1 || d > 31) return false;
    hasDate = true;
    pos = 10;
    if (pos < iso.size() && (iso[pos] == 'T' || iso[pos] == ' ')) {
      ++pos;
      if (!parseTime(iso, pos, seconds)) return false;
    }
  } else {
    if (pos < iso.size() && iso[pos] == 'T') ++pos;
    if (!parseTime(iso, pos, seconds)) return false;
  }
  // A zone suffix says where the moment was written, not what is shown.
  if (pos < iso.size()) {
    std::string_view zone = iso.substr(pos);
    bool ok = zone == "Z" ||
              ((zone[0] == '+' || zone[0] == '-') && (zone.size() == 6 || zone.size() == 5 || zone.size() == 3));
    if (!ok) return false;
  }

  int64_t total = static_cast<int64_t>(seconds + 0.5);  // to the second, as shown
  int64_t days = hasDate ? daysFromCivil(y, m, d) : 0;
  days += total / 86400;
  total %= 86400;
  char buf[48];
  unsigned hh = static_cast<unsigned>(total / 3600), mm = static_cast<unsigned>(total / 60 % 60),
           ss = static_cast<unsigned>(total % 60);
  if (kindForValue(kind, 1) == NumberKind::Time || !hasDate) {
    std::snprintf(buf, sizeof buf, "%02u:%02u:%02u", hh, mm, ss);
  } else {
    int64_t yy;
    unsigned mo, dd;
    civilFromDays(days, yy, mo, dd);
    if (total == 0)
      std::snprintf(buf, sizeof buf, "%04lld-%02u-%02u", static_cast<long long>(yy), mo, dd);
    else
      std::snprintf(buf, sizeof buf, "%04lld-%02u-%02u %02u:%02u:%02u", static_cast<long long>(yy), mo, dd,
                    hh, mm, ss);
  }
  out = buf;
  return true;
}

}  // namespace xl::ooxml
