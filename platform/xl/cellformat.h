// How a stored value becomes the text a spreadsheet application shows:
// numbers in general form, dates and times by their number format, booleans
// and error codes. Shared by every reader.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace xl {

// How a number format shows a value. Elapsed: [h]/[mm]/[ss] formats, whose
// hours run past 24 ("36:00:00"). A format of several sections may show a
// positive value and a zero differently ("yyyy-mm-dd;;0" shows a zero as a
// number): the kind keeps one of the four for each, in two bits apiece, so a
// reader's table of styles stays a byte per style. The named values are the
// formats that show both alike; negative values are always shown as numbers.
enum class NumberKind : uint8_t { General = 0x0, Date = 0x5, Time = 0xA, Elapsed = 0xF };

// The kind that shows `value` under a format of kind `kind`: General, Date,
// Time or Elapsed.
NumberKind kindForValue(NumberKind kind, double value);

// The East Asian locale whose Excel wrote a file, which gives the built-in
// formats 27-36 and 50-58 their meaning. Decided from the fonts' character
// sets or the country a file names; Simplified Chinese when nothing says.
enum class FormatLocale : uint8_t { SimplifiedChinese, TraditionalChinese, Japanese, Korean };

// The locale of a Windows font character set (128 Shift-JIS, 129 Hangul,
// 130 Johab, 134 GB2312, 136 Big5); false for any other character set.
bool formatLocaleOfCharset(int charset, FormatLocale& locale);
// The locale of a country code as BIFF's COUNTRY record stores it (81, 82,
// 86, 886, 852, 853); false for any other country.
bool formatLocaleOfCountry(int country, FormatLocale& locale);

// Classifies a number format: built-in ids (14-22, 45-47 and the East Asian
// date ids as `locale` reads them) and custom format codes (y/m/d/h/s outside
// quotes, brackets and escapes, per section).
NumberKind classifyNumberFormat(int numFmtId, std::string_view formatCode,
                                FormatLocale locale = FormatLocale::SimplifiedChinese);

// General form: up to 15 significant digits, no trailing zeros, exponent as
// in "1E+20" and "-1.5E-07". 0.1+0.2 gives "0.3", 12345 gives "12345".
std::string formatGeneral(double value);
// The same, appended to `out`: a reader that keeps one buffer for every cell
// makes no string per cell.
void appendGeneral(std::string& out, double value);

// Whether a number written in decimal as `text` is shown in general form as
// exactly that text: at most 15 significant digits, no exponent, no leading
// or trailing zeros that the general form would drop, not below 1E-04 and
// not a negative zero. Readers then keep the text and skip the conversion.
bool isGeneralForm(std::string_view text);

// "yyyy-mm-dd", with " hh:mm:ss" when the value has a time part; Time kind
// gives "hh:mm:ss". date1904 selects the 1904 date system. The kind that
// applies is the one for the value's sign (kindForValue).
std::string formatNumber(double value, NumberKind kind, bool date1904);
void appendNumber(std::string& out, double value, NumberKind kind, bool date1904);

// "TRUE" / "FALSE".
const char* booleanText(bool value);

// Error code as stored in BIFF (0x00 #NULL!, 0x07 #DIV/0!, 0x0F #VALUE!,
// 0x17 #REF!, 0x1D #NAME?, 0x24 #NUM!, 0x2A #N/A, 0x2B #GETTING_DATA).
const char* biffErrorText(int code);

}  // namespace xl
