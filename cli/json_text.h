// Texts as the command line writes them into JSON.
#pragma once

#include <string>
#include <string_view>

// `s` as a JSON string, quotes included. A byte that is not part of UTF-8
// becomes U+FFFD: the output is always valid UTF-8 and valid JSON, with no
// lone surrogate escapes that strict readers reject.
void appendJsonString(std::string& out, std::string_view s);

// `bytes` in standard base64 with padding, as ripgrep's JSON gives the exact
// bytes of a name that is not UTF-8.
void appendBase64(std::string& out, std::string_view bytes);
