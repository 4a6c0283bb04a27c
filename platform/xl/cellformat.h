// How a stored value becomes the text a spreadsheet application shows:
// numbers in general form, dates and times by their number format, booleans
// and error codes. Shared by every reader.
#pragma once

#include <string>
#include <string_view>

namespace xl {

// Elapsed: [h]/[mm]/[ss] formats, whose hours run past 24 ("36:00:00").
enum class NumberKind { General, Date, Time, Elapsed };

// Classifies a number format: built-in ids (14-22, 45-47 and the CJK date ids)
// and custom format codes (y/m/d/h/s outside quotes, brackets and escapes).
NumberKind classifyNumberFormat(int numFmtId, std::string_view formatCode);

// General form: up to 15 significant digits, no trailing zeros, exponent as
// in "1E+20" and "-1.5E-07". 0.1+0.2 gives "0.3", 12345 gives "12345".
std::string formatGeneral(double value);

// Whether a number written in decimal as `text` is shown in general form as
// exactly that text: at most 15 significant digits, no exponent, no leading
// or trailing zeros that the general form would drop, not below 1E-04 and
// not a negative zero. Readers then keep the text and skip the conversion.
bool isGeneralForm(std::string_view text);

// "yyyy-mm-dd", with " hh:mm:ss" when the value has a time part; Time kind
// gives "hh:mm:ss". date1904 selects the 1904 date system.
std::string formatNumber(double value, NumberKind kind, bool date1904);

// "TRUE" / "FALSE".
const char* booleanText(bool value);

// Error code as stored in BIFF (0x00 #NULL!, 0x07 #DIV/0!, 0x0F #VALUE!,
// 0x17 #REF!, 0x1D #NAME?, 0x24 #NUM!, 0x2A #N/A, 0x2B #GETTING_DATA).
const char* biffErrorText(int code);

}  // namespace xl
