// Fixed conversions between the two single-byte code pages the system uses:
// Windows ANSI 1251 (text in memory) and OEM 866 (text on disk).
//
// The tables are constants of this file, never the process locale, because
// record bytes and key bytes on disk depend on them: every process must
// convert the same way.
//
// Conversion is a permutation of the 256 byte values:
//   - 0x00..0x7F are the same in both code pages and map to themselves;
//   - every character that exists in both code pages (the Cyrillic alphabet,
//     Ё ё Є є Ї ї Ў ў, ° · № ¤ and the no-break space) maps to itself;
//   - the 51 characters of 1251 that have no counterpart in 866 (typographic
//     quotes and dashes, « », §, ©, the Ukrainian І і Ґ ґ, the Serbian and
//     Macedonian letters, the unassigned 0x98, ...) take, in ascending byte
//     order, the 51 positions of 866 that have no counterpart in 1251 (the
//     box-drawing characters and ∙ √ ■), in ascending byte order.
// So ANSI -> OEM -> ANSI gives back every byte unchanged, and so does
// OEM -> ANSI -> OEM: no text is ever lost, whatever it contains.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kel::platform {

uint8_t AnsiToOem(uint8_t c);
uint8_t OemToAnsi(uint8_t c);
// In-place conversion of n bytes.
void AnsiToOemBuffer(void* data, size_t n);
void OemToAnsiBuffer(void* data, size_t n);

// Upper case of a letter of the code page (the byte itself for anything
// else); Latin a-z and every Cyrillic letter that has its capital in the
// same code page.
uint8_t UpperAnsi(uint8_t c);
uint8_t UpperOem(uint8_t c);
uint8_t LowerAnsi(uint8_t c);
std::string UpperAnsi(std::string s);
std::string UpperOem(std::string s);

// Unicode code point of a byte (U+FFFD for the unassigned 1251 byte 0x98),
// and the 1251 byte of a code point (`fallback` when it has none).
char32_t AnsiToUnicode(uint8_t c);
char32_t OemToUnicode(uint8_t c);
int UnicodeToAnsi(char32_t u, int fallback = '?');

}  // namespace kel::platform
