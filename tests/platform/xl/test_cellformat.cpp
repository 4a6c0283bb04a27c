// Shown texts of numbers, dates, times, booleans and error codes.
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>

#include "platform/xl/cellformat.h"

using xl::classifyNumberFormat;
using xl::formatGeneral;
using xl::formatNumber;
using xl::NumberKind;

TEST(CellFormat, GeneralNumbers) {
  EXPECT_EQ(formatGeneral(12345), "12345");
  EXPECT_EQ(formatGeneral(0.1 + 0.2), "0.3");
  EXPECT_EQ(formatGeneral(-0.0), "0");
  EXPECT_EQ(formatGeneral(0), "0");
  EXPECT_EQ(formatGeneral(-12.5), "-12.5");
  EXPECT_EQ(formatGeneral(1.0 / 3.0), "0.333333333333333");
  EXPECT_EQ(formatGeneral(2.0 / 3.0), "0.666666666666667");
  EXPECT_EQ(formatGeneral(123456789.123456789), "123456789.123457");
  EXPECT_EQ(formatGeneral(1e20), "1E+20");
  EXPECT_EQ(formatGeneral(-1.5e-7), "-1.5E-07");
  EXPECT_EQ(formatGeneral(1.23456789e100), "1.23456789E+100");
  EXPECT_EQ(formatGeneral(4.5e-300), "4.5E-300");
}

TEST(CellFormat, GeneralExponentThresholds) {
  // Fixed form up to 15 integer digits, exponent from 1E+15 on.
  EXPECT_EQ(formatGeneral(999999999999999.0), "999999999999999");
  EXPECT_EQ(formatGeneral(-999999999999999.0), "-999999999999999");
  EXPECT_EQ(formatGeneral(1e15), "1E+15");
  EXPECT_EQ(formatGeneral(1234567890123456.0), "1.23456789012346E+15");
  EXPECT_EQ(formatGeneral(999999999999999.9), "1E+15");  // rounds up into exponent form
  // Fixed form down to 1E-04, exponent below it.
  EXPECT_EQ(formatGeneral(0.0001), "0.0001");
  EXPECT_EQ(formatGeneral(0.00012345), "0.00012345");
  EXPECT_EQ(formatGeneral(0.00001), "1E-05");
  EXPECT_EQ(formatGeneral(0.000099999999999999999), "0.0001");
}

TEST(CellFormat, NotANumberIsShownAsAnError) {
  EXPECT_EQ(formatGeneral(std::numeric_limits<double>::quiet_NaN()), "#NUM!");
  EXPECT_EQ(formatGeneral(std::numeric_limits<double>::infinity()), "#NUM!");
  EXPECT_EQ(formatNumber(std::numeric_limits<double>::infinity(), NumberKind::Date, false), "#NUM!");
}

TEST(CellFormat, Dates1900) {
  EXPECT_EQ(formatNumber(1, NumberKind::Date, false), "1900-01-01");
  EXPECT_EQ(formatNumber(59, NumberKind::Date, false), "1900-02-28");
  EXPECT_EQ(formatNumber(60, NumberKind::Date, false), "1900-02-29");  // as Excel shows it
  EXPECT_EQ(formatNumber(61, NumberKind::Date, false), "1900-03-01");
  EXPECT_EQ(formatNumber(0, NumberKind::Date, false), "1900-01-00");
  EXPECT_EQ(formatNumber(36526, NumberKind::Date, false), "2000-01-01");
  EXPECT_EQ(formatNumber(45292, NumberKind::Date, false), "2024-01-01");
  EXPECT_EQ(formatNumber(45351, NumberKind::Date, false), "2024-02-29");
  EXPECT_EQ(formatNumber(2958465, NumberKind::Date, false), "9999-12-31");
  // Outside Excel's date range: the number itself.
  EXPECT_EQ(formatNumber(2958466, NumberKind::Date, false), "2958466");
  EXPECT_EQ(formatNumber(-1, NumberKind::Date, false), "-1");
}

TEST(CellFormat, Dates1904) {
  EXPECT_EQ(formatNumber(0, NumberKind::Date, true), "1904-01-01");
  EXPECT_EQ(formatNumber(1, NumberKind::Date, true), "1904-01-02");
  EXPECT_EQ(formatNumber(34064, NumberKind::Date, true), "1997-04-06");  // same day as 35526 in 1900
  EXPECT_EQ(formatNumber(35526, NumberKind::Date, false), "1997-04-06");
  EXPECT_EQ(formatNumber(2957003, NumberKind::Date, true), "9999-12-31");
  EXPECT_EQ(formatNumber(2957004, NumberKind::Date, true), "2957004");
}

TEST(CellFormat, TimesRoundToTheSecond) {
  EXPECT_EQ(formatNumber(45292.5, NumberKind::Date, false), "2024-01-01 12:00:00");
  EXPECT_EQ(formatNumber(45292.0 + 1.0 / 86400, NumberKind::Date, false), "2024-01-01 00:00:01");
  // 23:59:59.6 rounds into the next day, and the date moves with it.
  EXPECT_EQ(formatNumber(45292.0 + 86399.6 / 86400, NumberKind::Date, false), "2024-01-02");
  EXPECT_EQ(formatNumber(45291.0 + 86399.6 / 86400, NumberKind::Time, false), "00:00:00");
  EXPECT_EQ(formatNumber(45292.0 + 86399.4 / 86400, NumberKind::Date, false), "2024-01-01 23:59:59");
  EXPECT_EQ(formatNumber(0.75, NumberKind::Time, false), "18:00:00");
  EXPECT_EQ(formatNumber(45292.25, NumberKind::Time, true), "06:00:00");
  EXPECT_EQ(formatNumber(1.5, NumberKind::Elapsed, false), "36:00:00");
  EXPECT_EQ(formatNumber(0.0625, NumberKind::Elapsed, false), "01:30:00");
  // 1900-02-28 23:59:59.9 lands on the fictitious leap day.
  EXPECT_EQ(formatNumber(59.99999999, NumberKind::Date, false), "1900-02-29");
}

TEST(CellFormat, BuiltinFormatIds) {
  for (int id : {14, 15, 16, 17, 22, 27, 28, 29, 30, 31, 36, 50, 51, 52, 53, 54, 57, 58})
    EXPECT_EQ(classifyNumberFormat(id, ""), NumberKind::Date) << id;
  for (int id : {18, 19, 20, 21, 45, 47, 32, 33, 34, 35, 55, 56})
    EXPECT_EQ(classifyNumberFormat(id, ""), NumberKind::Time) << id;
  EXPECT_EQ(classifyNumberFormat(46, ""), NumberKind::Elapsed);
  for (int id : {0, 1, 2, 3, 4, 9, 10, 11, 12, 13, 37, 40, 48, 49, 59, 164})
    EXPECT_EQ(classifyNumberFormat(id, ""), NumberKind::General) << id;
}

TEST(CellFormat, CustomFormatCodes) {
  struct Case { const char* code; NumberKind kind; };
  const Case cases[] = {
      {"yyyy-mm-dd", NumberKind::Date},
      {"YYYY/MM/DD", NumberKind::Date},
      {"yyyy\"年\"m\"月\"d\"日\"", NumberKind::Date},
      {"[$-409]d-mmm-yy;@", NumberKind::Date},
      {"[$-F800]dddd, mmmm dd, yyyy", NumberKind::Date},
      {"[$-F400]h:mm:ss AM/PM", NumberKind::Time},
      {"mmm", NumberKind::Date},
      {"[$-804]aaaa", NumberKind::Date},
      {"yyyy-mm-dd hh:mm:ss", NumberKind::Date},
      {"m/d/yy h:mm", NumberKind::Date},
      {"h:mm", NumberKind::Time},
      {"hh:mm:ss", NumberKind::Time},
      {"mm:ss", NumberKind::Time},
      {"h:mm AM/PM", NumberKind::Time},
      {"上午/下午h\"时\"mm\"分\"", NumberKind::Time},
      {"[h]:mm:ss", NumberKind::Elapsed},
      {"[mm]:ss", NumberKind::Elapsed},
      {"[ss]", NumberKind::Elapsed},
      {"[Red]yyyy-mm-dd", NumberKind::Date},
      {"General", NumberKind::General},
      {"0.00", NumberKind::General},
      {"#,##0.00_);[Red](#,##0.00)", NumberKind::General},
      {"0.00E+00", NumberKind::General},
      {"##0.0e-0", NumberKind::General},
      {"@", NumberKind::General},
      {"\"day\" 0", NumberKind::General},       // letters inside quotes
      {"0\\d", NumberKind::General},            // escaped letter
      {"0_m", NumberKind::General},             // padding character
      {"[Red]0.00", NumberKind::General},
      {"[$\xE2\x82\xAC-2] #,##0.00", NumberKind::General},
      {"0.00;yyyy", NumberKind::General},       // negative values always show as numbers
      {"\"unterminated", NumberKind::General},
      {"[h", NumberKind::Elapsed},              // unterminated bracket: no crash
  };
  for (const Case& c : cases) EXPECT_EQ(classifyNumberFormat(164, c.code), c.kind) << c.code;
  // A custom code given for a built-in id decides over the id.
  EXPECT_EQ(classifyNumberFormat(14, "0.00"), NumberKind::General);
}

TEST(CellFormat, EastAsianBuiltinsFollowTheFilesLocale) {
  using L = xl::FormatLocale;
  // Simplified Chinese, also when nothing names a locale: 32-35, 55-56 are times.
  for (int id : {32, 33, 34, 35, 55, 56}) {
    EXPECT_EQ(classifyNumberFormat(id, ""), NumberKind::Time) << id;
    EXPECT_EQ(classifyNumberFormat(id, "", L::SimplifiedChinese), NumberKind::Time) << id;
  }
  for (int id : {27, 31, 36, 50, 52, 53, 54, 57, 58})
    EXPECT_EQ(classifyNumberFormat(id, "", L::SimplifiedChinese), NumberKind::Date) << id;
  // Traditional Chinese: 52-53 are "上午/下午hh時mm分" too.
  for (int id : {32, 33, 34, 35, 52, 53, 55, 56})
    EXPECT_EQ(classifyNumberFormat(id, "", L::TraditionalChinese), NumberKind::Time) << id;
  for (int id : {27, 28, 30, 36, 50, 51, 54, 57, 58})
    EXPECT_EQ(classifyNumberFormat(id, "", L::TraditionalChinese), NumberKind::Date) << id;
  // Japanese and Korean: only 32-33 are times; 34-35 and 55-56 are dates.
  for (L locale : {L::Japanese, L::Korean}) {
    for (int id : {32, 33}) EXPECT_EQ(classifyNumberFormat(id, "", locale), NumberKind::Time) << id;
    for (int id : {27, 28, 29, 30, 31, 34, 35, 36, 50, 51, 52, 53, 54, 55, 56, 57, 58})
      EXPECT_EQ(classifyNumberFormat(id, "", locale), NumberKind::Date) << id;
  }
  // Ids every locale reads alike do not move, and a stored code still decides.
  EXPECT_EQ(classifyNumberFormat(14, "", L::Japanese), NumberKind::Date);
  EXPECT_EQ(classifyNumberFormat(20, "", L::Korean), NumberKind::Time);
  EXPECT_EQ(classifyNumberFormat(34, "0.00", L::Japanese), NumberKind::General);

  L locale = L::SimplifiedChinese;
  EXPECT_TRUE(xl::formatLocaleOfCharset(128, locale));
  EXPECT_EQ(locale, L::Japanese);
  EXPECT_TRUE(xl::formatLocaleOfCharset(136, locale));
  EXPECT_EQ(locale, L::TraditionalChinese);
  EXPECT_TRUE(xl::formatLocaleOfCharset(129, locale));
  EXPECT_EQ(locale, L::Korean);
  EXPECT_TRUE(xl::formatLocaleOfCharset(134, locale));
  EXPECT_EQ(locale, L::SimplifiedChinese);
  EXPECT_FALSE(xl::formatLocaleOfCharset(0, locale));
  EXPECT_FALSE(xl::formatLocaleOfCharset(204, locale));
  EXPECT_TRUE(xl::formatLocaleOfCountry(886, locale));
  EXPECT_EQ(locale, L::TraditionalChinese);
  EXPECT_TRUE(xl::formatLocaleOfCountry(81, locale));
  EXPECT_EQ(locale, L::Japanese);
  EXPECT_FALSE(xl::formatLocaleOfCountry(1, locale));
}

TEST(CellFormat, TheSectionThatShowsTheValueDecides) {
  auto shown = [](const char* code, double v) {
    return formatNumber(v, classifyNumberFormat(164, code), false);
  };
  // Three sections: a zero takes the third; without a date code there it is a number.
  EXPECT_EQ(shown("yyyy-mm-dd;;0", 0), "0");
  EXPECT_EQ(shown("yyyy-mm-dd;;0", 45000), "2023-03-15");
  EXPECT_EQ(shown("yyyy-mm-dd;-0;;@", 0), "0");  // an empty zero section
  EXPECT_EQ(shown("[h]:mm;;\"-\"", 0), "0");
  EXPECT_EQ(shown("[h]:mm;;\"-\"", 1.5), "36:00:00");
  EXPECT_EQ(shown("0;-0;yyyy-mm-dd", 0), "1900-01-00");  // a date section only for zeros
  EXPECT_EQ(shown("0;-0;yyyy-mm-dd", 5), "5");
  // One or two sections: the first also shows the zeros, as Excel does.
  EXPECT_EQ(shown("yyyy-mm-dd", 0), "1900-01-00");
  EXPECT_EQ(shown("yyyy/m/d;@", 0), "1900-01-00");
  EXPECT_EQ(shown("yyyy/m/d;0", -3), "-3");
  // A ';' inside quotes, brackets or after an escape does not end a section.
  EXPECT_EQ(shown("\"a;b\"yyyy;;0", 0), "0");
  EXPECT_EQ(shown("\\;yyyy;;0", 45000), "2023-03-15");
  EXPECT_EQ(shown("\\;yyyy;;0", 0), "0");
  // Conditions replace the sign rule.
  EXPECT_EQ(shown("[<1]h:mm;yyyy-mm-dd", 0), "00:00:00");
  EXPECT_EQ(shown("[<1]h:mm;yyyy-mm-dd", 45000.5), "2023-03-15 12:00:00");
  EXPECT_EQ(shown("[=0]0;yyyy-mm-dd", 0), "0");
  EXPECT_EQ(shown("[=0]0;yyyy-mm-dd", 45000), "2023-03-15");
  EXPECT_EQ(shown("[>5]yyyy;[<0]0", 1), "1");  // no section takes it: a number
  EXPECT_EQ(shown("[Red][<=9999999]###-####;(###) ###-####", 5551234), "5551234");
  // The kinds of a mixed format, one per value.
  NumberKind mixed = classifyNumberFormat(164, "yyyy-mm-dd;;0");
  EXPECT_EQ(xl::kindForValue(mixed, 2), NumberKind::Date);
  EXPECT_EQ(xl::kindForValue(mixed, 0), NumberKind::General);
  EXPECT_EQ(xl::kindForValue(NumberKind::Time, 0), NumberKind::Time);
  EXPECT_NE(mixed, NumberKind::General);
  EXPECT_NE(mixed, NumberKind::Date);
}

TEST(CellFormat, BooleansAndErrorCodes) {
  EXPECT_STREQ(xl::booleanText(true), "TRUE");
  EXPECT_STREQ(xl::booleanText(false), "FALSE");
  EXPECT_STREQ(xl::biffErrorText(0x00), "#NULL!");
  EXPECT_STREQ(xl::biffErrorText(0x07), "#DIV/0!");
  EXPECT_STREQ(xl::biffErrorText(0x0F), "#VALUE!");
  EXPECT_STREQ(xl::biffErrorText(0x17), "#REF!");
  EXPECT_STREQ(xl::biffErrorText(0x1D), "#NAME?");
  EXPECT_STREQ(xl::biffErrorText(0x24), "#NUM!");
  EXPECT_STREQ(xl::biffErrorText(0x2A), "#N/A");
  EXPECT_STREQ(xl::biffErrorText(0x2B), "#GETTING_DATA");
}

TEST(CellFormat, GeneralAgreesWithPrintfAcrossMagnitudes) {
  // printf's %.15g is the reference; only the exponent's spelling differs.
  std::mt19937_64 rng(11);
  auto reference = [](double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.15g", v);
    std::string s = buf;
    if (size_t e = s.find('e'); e != std::string::npos) s[e] = 'E';
    return s == "-0" ? std::string("0") : s;
  };
  for (int i = 0; i < 300000; ++i) {
    double v;
    switch (i % 5) {
      case 0: v = std::ldexp(static_cast<double>(rng() >> 11), static_cast<int>(rng() % 200) - 100); break;
      case 1: v = static_cast<double>(static_cast<int64_t>(rng() % 2000000) - 1000000) / 100.0; break;
      case 2: v = static_cast<double>(rng() % 10000000000000000ull); break;  // around 1E+15
      case 3: v = std::bit_cast<double>(rng()); break;                       // any bit pattern
      default: v = std::pow(10.0, static_cast<int>(rng() % 40) - 20) * (1.0 - 1e-16 * (rng() % 5)); break;
    }
    if (!std::isfinite(v)) continue;
    if (rng() & 1) v = -v;
    ASSERT_EQ(formatGeneral(v), reference(v)) << std::hexfloat << v;
  }
}

TEST(CellFormat, GeneralOfShortDecimalsAtEveryMagnitude) {
  // Few significant digits take the shortest-digits route; the layout
  // (fixed or exponent, leading and trailing zeros) must still be printf's.
  std::mt19937_64 rng(5);
  for (int i = 0; i < 200000; ++i) {
    const double mantissa = static_cast<double>(rng() % 1000000 + 1);
    const double v = (rng() & 1 ? -1 : 1) * mantissa * std::pow(10.0, static_cast<int>(rng() % 50) - 30);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.15G", v);
    ASSERT_EQ(formatGeneral(v), buf) << std::hexfloat << v;
  }
}

TEST(CellFormat, GeneralFormTextsAreExactlyWhatGeneralShows) {
  // The shortcut may only claim a text when converting it would give it back.
  std::mt19937_64 rng(9);
  const char alphabet[] = "0123456789-.0000000099";
  auto agrees = [](const std::string& t) {
    double d = 0;
    auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), d);
    if (ec != std::errc() || end != t.data() + t.size()) return false;
    return formatGeneral(d) == t;
  };
  int claimed = 0;
  for (int i = 0; i < 400000; ++i) {
    std::string t;
    const int len = 1 + static_cast<int>(rng() % 19);
    for (int k = 0; k < len; ++k) t.push_back(alphabet[rng() % (sizeof alphabet - 1)]);
    if (xl::isGeneralForm(t)) {
      ++claimed;
      ASSERT_TRUE(agrees(t)) << t;
    }
  }
  EXPECT_GT(claimed, 1000);
  for (const char* t : {"0", "7", "-12", "12.5", "0.0001", "-0.25", "123456789012345", "0.000123456789012345"})
    EXPECT_TRUE(xl::isGeneralForm(t)) << t;
  for (const char* t : {"-0", "00", "01", "1.", ".5", "1.50", "0.00001", "1234567890123456", "1e5", "+1", "1,5", ""})
    EXPECT_FALSE(xl::isGeneralForm(t)) << t;
}
