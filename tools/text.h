// Text between the outside world (UTF-8) and the tables (Windows code page
// 1251 in memory; the engine converts to the OEM code page on disk).
//
// UTF-8 is decoded strictly: overlong forms, surrogates, code points above
// U+10FFFF and truncated sequences are invalid. A character that code page
// 1251 cannot hold is refused, never replaced, so an import can never store
// something other than what the input says.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kel::tool {

// Length of the valid UTF-8 prefix of `s` (s.size() when all of it is valid).
size_t ValidUtf8Prefix(std::string_view s);
bool IsValidUtf8(std::string_view s);

// Appends the UTF-8 form of code point u.
void AppendUtf8(std::string& out, char32_t u);

// Code page 1251 bytes to UTF-8. The unassigned byte 0x98 becomes U+FFFD.
std::string AnsiToUtf8(std::string_view ansi);

// UTF-8 to code page 1251. Answers true and sets *out; false with *error
// naming the offending character ("U+263A '☺' has no code page 1251 form")
// or the invalid byte sequence.
bool Utf8ToAnsi(std::string_view utf8, std::string* out, std::string* error);

// Number of characters (code points) in valid UTF-8.
size_t Utf8Length(std::string_view utf8);

}  // namespace kel::tool
