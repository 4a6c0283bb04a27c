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

namespace xl {

namespace {

inline char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool startsWithNoCase(std::string_view s, size_t i, std::string_view word) {
  if (s.size() - i < word.size()) return false;
  for (size_t k = 0; k < word.size(); ++k)
    if (lower(s[i + k]) != lower(word[k])) return false;
  return true;
}

NumberKind classifyBuiltin(int id) {
  if ((id >= 14 && id <= 17) || id == 22) return NumberKind::Date;
  if ((id >= 18 && id <= 21) || id == 45 || id == 47) return NumberKind::Time;
  if (id == 46) return NumberKind::Elapsed;  // [h]:mm:ss
  // East Asian built-ins as the Chinese (PRC) locale defines them: 32-35 and
  // 55-56 are times of day ("h时mm分", "上午/下午h时mm分"), the rest dates.
  if ((id >= 32 && id <= 35) || id == 55 || id == 56) return NumberKind::Time;
  if ((id >= 27 && id <= 36) || (id >= 50 && id <= 58)) return NumberKind::Date;
  return NumberKind::General;
}

// Looks at the first section of a custom code (the one for positive numbers,
// which is what a date format is used with).
NumberKind classifyCode(std::string_view code) {
  bool date = false, time = false, elapsed = false, month = false;
  bool lastWasHour = false;  // "m" right after an "h" is minutes
  for (size_t i = 0; i < code.size(); ++i) {
    char c = code[i];
    switch (c) {
      case ';':
        i = code.size();
        continue;
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
        std::string_view in = code.substr(i + 1, (end == std::string_view::npos ? code.size() : end) - i - 1);
        i = end == std::string_view::npos ? code.size() : end;
        if (!in.empty()) {
          char f = lower(in[0]);
          bool allSame = true;
          for (char k : in) allSame = allSame && lower(k) == f;
          if (allSame && (f == 'h' || f == 'm' || f == 's')) {
            elapsed = true;
            lastWasHour = f == 'h';
          } else if (in.size() >= 6 && in[0] == '$' && in[1] == '-') {
            // System long date / system time locale codes.
            std::string_view tail = in.substr(in.size() - 4);
            if (startsWithNoCase(tail, 0, "F800")) date = true;
            if (startsWithNoCase(tail, 0, "F400")) time = true;
          }
        }
        continue;
      }
      default:
        break;
    }
    if (startsWithNoCase(code, i, "general")) {
      i += 6;
      continue;
    }
    if (startsWithNoCase(code, i, "am/pm")) {
      time = true;
      i += 4;
      continue;
    }
    if (startsWithNoCase(code, i, "a/p")) {
      time = true;
      i += 2;
      continue;
    }
    if (code.compare(i, 13, "\xE4\xB8\x8A\xE5\x8D\x88/\xE4\xB8\x8B\xE5\x8D\x88") == 0) {  // 上午/下午
      time = true;
      i += 12;
      continue;
    }
    if (startsWithNoCase(code, i, "aaa")) {  // weekday name in East Asian locales ("星期一")
      date = true;
      while (i + 1 < code.size() && lower(code[i + 1]) == 'a') ++i;
      continue;
    }
    char l = lower(c);
    if ((l == 'e') && i + 1 < code.size() && (code[i + 1] == '+' || code[i + 1] == '-')) {
      ++i;  // scientific exponent, not the era year
      continue;
    }
    switch (l) {
      case 'y':
      case 'd':
      case 'e':
      case 'g':
        date = true;
        lastWasHour = false;
        break;
      case 'h':
        time = true;
        lastWasHour = true;
        break;
      case 's':
        time = true;
        lastWasHour = false;
        break;
      case 'm': {
        size_t j = i;
        while (j < code.size() && lower(code[j]) == 'm') ++j;
        // Minutes when after an hour or before seconds ("mm:ss"), else month.
        size_t k = j;
        while (k < code.size() && (code[k] == ':' || code[k] == ' ' || code[k] == '.')) ++k;
        bool beforeSeconds = k < code.size() && lower(code[k]) == 's';
        if (lastWasHour || beforeSeconds)
          time = true;
        else
          month = true;
        lastWasHour = false;
        i = j - 1;
        break;
      }
      default:
        break;
    }
  }
  if (date || month) return NumberKind::Date;
  if (elapsed) return NumberKind::Elapsed;
  if (time) return NumberKind::Time;
  return NumberKind::General;
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

NumberKind classifyNumberFormat(int numFmtId, std::string_view formatCode) {
  if (!formatCode.empty()) return classifyCode(formatCode);
  return classifyBuiltin(numFmtId);
}

std::string formatGeneral(double value) {
  if (std::isnan(value) || std::isinf(value)) return "#NUM!";
  if (value == 0) return "0";  // also -0
  char buf[48];
  // Whole numbers below 1E+15 are most cells: print them as integers.
  if (std::fabs(value) < 1e15 && value == std::trunc(value)) {
    auto res = std::to_chars(buf, buf + sizeof buf, static_cast<long long>(value));
    return std::string(buf, res.ptr);
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
        std::string out(buf, res.ptr);
        out[static_cast<size_t>(out.find('e'))] = 'E';
        return out;
      }
      std::string out;
      out.reserve(24);
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
      return out;
    }
  }
  res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 15);
  std::string out(buf, res.ptr);
  if (size_t e = out.find('e'); e != std::string::npos) out[e] = 'E';
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

std::string formatNumber(double value, NumberKind kind, bool date1904) {
  if (kind == NumberKind::General || !std::isfinite(value)) return formatGeneral(value);
  // Excel shows "#####" for dates and times it cannot represent; the number
  // itself is the most useful text to search for then.
  if (value < 0) return formatGeneral(value);
  const int64_t maxSerial = date1904 ? kMaxSerial1904 : kMaxSerial1900;
  if (value >= static_cast<double>(maxSerial + 1)) return formatGeneral(value);

  // Round to the nearest second first, so 23:59:59.6 becomes the next day.
  const int64_t totalSecs = std::llround(value * 86400.0);
  int64_t day = totalSecs / 86400;
  const int64_t secOfDay = totalSecs % 86400;
  std::string out;
  out.reserve(20);

  if (kind == NumberKind::Elapsed) {
    appendTime(out, totalSecs / 3600, totalSecs % 3600);
    return out;
  }
  if (kind == NumberKind::Time) {
    appendTime(out, secOfDay / 3600, secOfDay % 3600);
    return out;
  }
  if (day > maxSerial) return formatGeneral(value);

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
