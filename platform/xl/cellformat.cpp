// Value -> shown text. Numbers follow Excel's General column: %.15g rules
// (15 significant digits; exponent form when the rounded decimal exponent is
// below -4 or at least 15, i.e. |v| < 1E-04 or |v| >= 1E+15), with Excel's
// exponent spelling "1E+20". Dates and times are written in one fixed form
// so that a search does not depend on the locale the file was made in.
#include "platform/xl/cellformat.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <system_error>

#include "platform/xl/ascii.h"

namespace xl {

namespace {

bool startsWithNoCase(std::string_view s, size_t i, std::string_view word) {
  return s.size() - i >= word.size() && equalsFoldedAscii(s.substr(i, word.size()), word);
}

// The East Asian built-ins 27-36 and 50-58 are dates or times of day by the
// locale of the Excel that wrote the file (ECMA-376 lists each locale's codes):
// the Chinese ones keep "h时mm分" and "上午/下午h时mm分" at 32-35 and 55-56,
// Traditional Chinese also at 52-53; Japanese and Korean only at 32-33, their
// 34-35 and 55-56 being dates ("yyyy年m月", "yyyy-mm-dd").
bool isEastAsianTimeId(int id, FormatLocale locale) {
  switch (locale) {
    case FormatLocale::SimplifiedChinese: return (id >= 32 && id <= 35) || id == 55 || id == 56;
    case FormatLocale::TraditionalChinese: return (id >= 32 && id <= 35) || (id >= 52 && id <= 56 && id != 54);
    case FormatLocale::Japanese:
    case FormatLocale::Korean: return id == 32 || id == 33;
  }
  return false;
}

NumberKind classifyBuiltin(int id, FormatLocale locale) {
  if ((id >= 14 && id <= 17) || id == 22) return NumberKind::Date;
  if ((id >= 18 && id <= 21) || id == 45 || id == 47) return NumberKind::Time;
  if (id == 46) return NumberKind::Elapsed;  // [h]:mm:ss
  if ((id >= 27 && id <= 36) || (id >= 50 && id <= 58))
    return isEastAsianTimeId(id, locale) ? NumberKind::Time : NumberKind::Date;
  return NumberKind::General;
}

// Packing of the two kinds a format keeps: the one for positive values in
// the low bits, the one for a zero above it.
constexpr uint8_t kindBits(NumberKind k) { return static_cast<uint8_t>(k) & 0x3; }
constexpr NumberKind packKinds(NumberKind positive, NumberKind zero) {
  return static_cast<NumberKind>(kindBits(positive) | (kindBits(zero) << 2));
}
constexpr NumberKind uniformKind(uint8_t bits) {
  return packKinds(static_cast<NumberKind>(bits), static_cast<NumberKind>(bits));
}

// A section's condition ("[<0]", "[>=100]"), which replaces the sign rule
// that otherwise picks the section.
struct Condition {
  enum class Op : uint8_t { None, Lt, Le, Gt, Ge, Eq, Ne } op = Op::None;
  double value = 0;

  bool present() const { return op != Op::None; }
  bool holds(double v) const {
    switch (op) {
      case Op::Lt: return v < value;
      case Op::Le: return v <= value;
      case Op::Gt: return v > value;
      case Op::Ge: return v >= value;
      case Op::Eq: return v == value;
      case Op::Ne: return v != value;
      case Op::None: break;
    }
    return true;
  }
};

// What the walk over one section has seen.
struct SectionScan {
  bool date = false, time = false, elapsed = false, month = false;
  bool lastWasHour = false;  // "m" right after an "h" is minutes
  Condition condition;

  NumberKind kind() const {
    if (date || month) return NumberKind::Date;
    if (elapsed) return NumberKind::Elapsed;
    if (time) return NumberKind::Time;
    return NumberKind::General;
  }
};

bool parseCondition(std::string_view in, Condition& out) {
  using Op = Condition::Op;
  size_t n = 0;
  Op op = Op::None;
  if (in.substr(0, 2) == "<=") op = Op::Le, n = 2;
  else if (in.substr(0, 2) == ">=") op = Op::Ge, n = 2;
  else if (in.substr(0, 2) == "<>") op = Op::Ne, n = 2;
  else if (!in.empty() && in[0] == '<') op = Op::Lt, n = 1;
  else if (!in.empty() && in[0] == '>') op = Op::Gt, n = 1;
  else if (!in.empty() && in[0] == '=') op = Op::Eq, n = 1;
  else return false;
  std::string_view num = in.substr(n);
  while (!num.empty() && num.front() == ' ') num.remove_prefix(1);
  double v = 0;
  auto res = std::from_chars(num.data(), num.data() + num.size(), v);
  if (res.ec != std::errc()) return false;
  out.op = op;
  out.value = v;
  return true;
}

// The text inside "[...]": elapsed units, a system date or time locale, or
// a condition. Colours and currency locales say nothing of dates.
void scanBracket(std::string_view in, SectionScan& scan) {
  if (in.empty()) return;
  if (parseCondition(in, scan.condition)) return;
  char f = foldAscii(in[0]);
  bool allSame = true;
  for (char k : in) allSame = allSame && foldAscii(k) == f;
  if (allSame && (f == 'h' || f == 'm' || f == 's')) {
    scan.elapsed = true;
    scan.lastWasHour = f == 'h';
  } else if (in.size() >= 6 && in[0] == '$' && in[1] == '-') {
    // System long date / system time locale codes.
    std::string_view tail = in.substr(in.size() - 4);
    if (startsWithNoCase(tail, 0, "F800")) scan.date = true;
    if (startsWithNoCase(tail, 0, "F400")) scan.time = true;
  }
}

// A run of "m": minutes when after an hour or before seconds ("mm:ss"),
// else the month. Returns the index of its last letter.
size_t scanMonthOrMinute(std::string_view code, size_t i, SectionScan& scan) {
  size_t j = i;
  while (j < code.size() && foldAscii(code[j]) == 'm') ++j;
  size_t k = j;
  while (k < code.size() && (code[k] == ':' || code[k] == ' ' || code[k] == '.')) ++k;
  bool beforeSeconds = k < code.size() && foldAscii(code[k]) == 's';
  if (scan.lastWasHour || beforeSeconds) scan.time = true;
  else scan.month = true;
  scan.lastWasHour = false;
  return j - 1;
}

// Words of several letters at code[i]; returns the index of their last
// letter, or npos when none starts there.
size_t scanWord(std::string_view code, size_t i, SectionScan& scan) {
  if (startsWithNoCase(code, i, "general")) return i + 6;
  if (startsWithNoCase(code, i, "am/pm")) {
    scan.time = true;
    return i + 4;
  }
  if (startsWithNoCase(code, i, "a/p")) {
    scan.time = true;
    return i + 2;
  }
  if (code.compare(i, 13, "\xE4\xB8\x8A\xE5\x8D\x88/\xE4\xB8\x8B\xE5\x8D\x88") == 0) {  // 上午/下午
    scan.time = true;
    return i + 12;
  }
  if (startsWithNoCase(code, i, "aaa")) {  // weekday name in East Asian locales ("星期一")
    scan.date = true;
    while (i + 1 < code.size() && foldAscii(code[i + 1]) == 'a') ++i;
    return i;
  }
  // A scientific exponent ("0.0E+00"), not the era year.
  if (foldAscii(code[i]) == 'e' && i + 1 < code.size() && (code[i + 1] == '+' || code[i + 1] == '-')) return i + 1;
  return std::string_view::npos;
}

// One date or time letter at code[i]; returns the index of its last letter.
size_t scanLetter(std::string_view code, size_t i, SectionScan& scan) {
  switch (foldAscii(code[i])) {
    case 'y':
    case 'd':
    case 'e':
    case 'g':
      scan.date = true;
      scan.lastWasHour = false;
      break;
    case 'h':
      scan.time = true;
      scan.lastWasHour = true;
      break;
    case 's':
      scan.time = true;
      scan.lastWasHour = false;
      break;
    case 'm':
      return scanMonthOrMinute(code, i, scan);
    default:
      break;
  }
  return i;
}

// Walks one section from `i` up to its ';' (outside quotes, brackets and
// escapes) or the end; `i` ends past the ';'. Returns whether one was met.
bool scanSection(std::string_view code, size_t& i, SectionScan& scan) {
  for (; i < code.size(); ++i) {
    switch (code[i]) {
      case ';':
        ++i;
        return true;
      case '"': {  // quoted literal
        size_t end = code.find('"', i + 1);
        i = end == std::string_view::npos ? code.size() : end;
        continue;
      }
      case '\\':
      case '_':
      case '*':  // escaped, padding and fill characters
        ++i;
        continue;
      case '[': {
        size_t end = code.find(']', i + 1);
        size_t stop = end == std::string_view::npos ? code.size() : end;
        scanBracket(code.substr(i + 1, stop - i - 1), scan);
        i = stop;
        continue;
      }
      default:
        break;
    }
    size_t last = scanWord(code, i, scan);
    i = last != std::string_view::npos ? last : scanLetter(code, i, scan);
  }
  return false;
}

// The section that shows `value` (a positive value or a zero) among `n`:
// one section shows every value; of two, the first shows all but negative
// values; of three or four, the third shows the zeros. A section's own
// condition replaces its sign rule; a value no section takes shows as a number.
NumberKind sectionKindFor(const SectionScan* sections, size_t n, double value) {
  if (n == 1) return sections[0].kind();
  const Condition& first = sections[0].condition;
  if (first.present() ? first.holds(value) : (n >= 3 ? value > 0 : value >= 0)) return sections[0].kind();
  const Condition& second = sections[1].condition;
  if (n == 2) return !second.present() || second.holds(value) ? sections[1].kind() : NumberKind::General;
  if (second.present() ? second.holds(value) : value < 0) return sections[1].kind();
  return sections[2].kind();
}

// A custom code: each of its sections walked once; the kinds for a
// positive value and for a zero are those of the sections that show them.
NumberKind classifyCode(std::string_view code) {
  SectionScan sections[4];
  size_t n = 0, i = 0;
  while (n < 4) {
    bool more = scanSection(code, i, sections[n++]);
    if (!more) break;
  }
  return packKinds(sectionKindFor(sections, n, 1), sectionKindFor(sections, n, 0));
}

// Days since 1970-01-01 -> civil date (proleptic Gregorian).
void civilFromDays(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

constexpr int64_t kDays1899_12_31 = -25568;  // days from 1970-01-01
constexpr int64_t kDays1904_01_01 = -24107;
constexpr int64_t kMaxSerial1900 = 2958465;  // 9999-12-31
constexpr int64_t kMaxSerial1904 = 2957003;

void appendPadded(std::string& out, int64_t v, int width) {
  char buf[24];
  if (v < 0) {  // never for a date or time; printf keeps the sign right
    int n = std::snprintf(buf, sizeof buf, "%0*lld", width, static_cast<long long>(v));
    out.append(buf, static_cast<size_t>(n));
    return;
  }
  // Every date cell passes here several times: digits by hand, not printf.
  char* end = buf + sizeof buf;
  char* p = end;
  do {
    *--p = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v > 0);
  if (end - p < width) out.append(static_cast<size_t>(width - (end - p)), '0');
  out.append(p, end);
}

void appendTime(std::string& out, int64_t hours, int64_t secsOfHour) {
  appendPadded(out, hours, 2);
  out.push_back(':');
  appendPadded(out, secsOfHour / 60, 2);
  out.push_back(':');
  appendPadded(out, secsOfHour % 60, 2);
}

}  // namespace

NumberKind kindForValue(NumberKind kind, double value) {
  const uint8_t bits = static_cast<uint8_t>(kind);
  return uniformKind(static_cast<uint8_t>(value == 0 ? (bits >> 2) & 0x3 : bits & 0x3));
}

bool formatLocaleOfCharset(int charset, FormatLocale& locale) {
  switch (charset) {
    case 128: locale = FormatLocale::Japanese; return true;
    case 129:
    case 130: locale = FormatLocale::Korean; return true;
    case 134: locale = FormatLocale::SimplifiedChinese; return true;
    case 136: locale = FormatLocale::TraditionalChinese; return true;
    default: return false;
  }
}

bool formatLocaleOfCountry(int country, FormatLocale& locale) {
  switch (country) {
    case 81: locale = FormatLocale::Japanese; return true;
    case 82: locale = FormatLocale::Korean; return true;
    case 86: locale = FormatLocale::SimplifiedChinese; return true;
    case 886:
    case 852:
    case 853: locale = FormatLocale::TraditionalChinese; return true;
    default: return false;
  }
}

NumberKind classifyNumberFormat(int numFmtId, std::string_view formatCode, FormatLocale locale) {
  if (!formatCode.empty()) return classifyCode(formatCode);
  return classifyBuiltin(numFmtId, locale);
}

void appendGeneral(std::string& out, double value) {
  if (std::isnan(value) || std::isinf(value)) {
    out.append("#NUM!");
    return;
  }
  if (value == 0) {  // also -0
    out.push_back('0');
    return;
  }
  char buf[48];
  // Whole numbers below 1E+15 are most cells: print them as integers.
  if (std::fabs(value) < 1e15 && value == std::trunc(value)) {
    auto res = std::to_chars(buf, buf + sizeof buf, static_cast<long long>(value));
    out.append(buf, res.ptr);
    return;
  }
  // The shortest digits that read back as the value are what 15 significant
  // digits give whenever there are no more than 15 of them (both name the
  // nearest such decimal); they are much cheaper to find than a formatting
  // with a precision. Laid out as %.15G lays them out.
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  {
    const char* p = buf;
    const bool negative = *p == '-';
    if (negative) ++p;
    char digits[24];
    int count = 0;
    for (; p < res.ptr && *p != 'e'; ++p)
      if (*p != '.' && count < 24) digits[count++] = *p;
    int exponent = 0;
    if (p < res.ptr) std::from_chars(p + (p[1] == '+' ? 2 : 1), res.ptr, exponent);
    if (count <= 15) {
      if (exponent < -4 || exponent >= 15) {
        const size_t at = out.size();
        out.append(buf, res.ptr);
        out[out.find('e', at)] = 'E';
        return;
      }
      if (negative) out.push_back('-');
      if (exponent < 0) {
        out.append("0.");
        out.append(static_cast<size_t>(-exponent - 1), '0');
        out.append(digits, static_cast<size_t>(count));
      } else {
        const int whole = exponent + 1;
        for (int i = 0; i < whole; ++i) out.push_back(i < count ? digits[i] : '0');
        if (count > whole) {
          out.push_back('.');
          out.append(digits + whole, static_cast<size_t>(count - whole));
        }
      }
      return;
    }
  }
  res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 15);
  const size_t at = out.size();
  out.append(buf, res.ptr);
  if (size_t e = out.find('e', at); e != std::string::npos) out[e] = 'E';
}

std::string formatGeneral(double value) {
  std::string out;
  appendGeneral(out, value);
  return out;
}

bool isGeneralForm(std::string_view text) {
  size_t i = 0;
  if (i < text.size() && text[i] == '-') ++i;
  const size_t intStart = i;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
  const size_t intLen = i - intStart;
  if (intLen == 0) return false;
  const bool intZero = intLen == 1 && text[intStart] == '0';
  if (intLen > 1 && text[intStart] == '0') return false;  // leading zero
  size_t digits = intZero ? 0 : intLen;
  if (i == text.size()) return !(intZero && intStart == 1) && digits <= 15;  // "-0" shows as "0"
  if (text[i] != '.') return false;
  ++i;
  const size_t fracStart = i;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
  const size_t fracLen = i - fracStart;
  if (i != text.size() || fracLen == 0 || text[i - 1] == '0') return false;  // trailing zero
  if (intZero) {
    size_t zeros = 0;
    while (zeros < fracLen && text[fracStart + zeros] == '0') ++zeros;
    if (zeros >= 4) return false;  // below 1E-04: exponent form
    digits = fracLen - zeros;
  } else {
    digits += fracLen;
  }
  return digits <= 15;
}

void appendNumber(std::string& out, double value, NumberKind format, bool date1904) {
  const NumberKind kind = kindForValue(format, value);
  if (kind == NumberKind::General || !std::isfinite(value)) return appendGeneral(out, value);
  // Excel shows "#####" for dates and times it cannot represent; the number
  // itself is the most useful text to search for then.
  if (value < 0) return appendGeneral(out, value);
  const int64_t maxSerial = date1904 ? kMaxSerial1904 : kMaxSerial1900;
  if (value >= static_cast<double>(maxSerial + 1)) return appendGeneral(out, value);

  // Round to the nearest second first, so 23:59:59.6 becomes the next day.
  const int64_t totalSecs = std::llround(value * 86400.0);
  int64_t day = totalSecs / 86400;
  const int64_t secOfDay = totalSecs % 86400;

  if (kind == NumberKind::Elapsed) {
    appendTime(out, totalSecs / 3600, totalSecs % 3600);
    return;
  }
  if (kind == NumberKind::Time) {
    appendTime(out, secOfDay / 3600, secOfDay % 3600);
    return;
  }
  if (day > maxSerial) return appendGeneral(out, value);

  int y, m, d;
  if (date1904) {
    civilFromDays(kDays1904_01_01 + day, y, m, d);
  } else if (day == 0) {
    y = 1900, m = 1, d = 0;  // Excel shows serial 0 as "1900-01-00"
  } else if (day == 60) {
    y = 1900, m = 2, d = 29;  // Excel's fictitious leap day, shown as it shows it
  } else {
    civilFromDays(kDays1899_12_31 + day - (day > 60 ? 1 : 0), y, m, d);
  }
  appendPadded(out, y, 4);
  out.push_back('-');
  appendPadded(out, m, 2);
  out.push_back('-');
  appendPadded(out, d, 2);
  if (secOfDay != 0) {
    out.push_back(' ');
    appendTime(out, secOfDay / 3600, secOfDay % 3600);
  }
}

std::string formatNumber(double value, NumberKind format, bool date1904) {
  std::string out;
  appendNumber(out, value, format, date1904);
  return out;
}

const char* booleanText(bool value) { return value ? "TRUE" : "FALSE"; }

const char* biffErrorText(int code) {
  switch (code) {
    case 0x00: return "#NULL!";
    case 0x07: return "#DIV/0!";
    case 0x0F: return "#VALUE!";
    case 0x17: return "#REF!";
    case 0x1D: return "#NAME?";
    case 0x24: return "#NUM!";
    case 0x2A: return "#N/A";
    case 0x2B: return "#GETTING_DATA";
    default: return "#N/A";
  }
}

}  // namespace xl
