// Collation tables: the 1152 bytes that decide how string key segments sort.
//
// Layout (stored verbatim after the OEM flag byte in a table's collation
// record, key table + 0xFB 0x01):
//   0     256  sort weight of each byte of the ANSI code page (1251)
//   256   256  sort weight of each byte of the OEM code page (866)
//   512   256  case partner of each ANSI letter (the byte itself otherwise)
//   768   256  character class of each ANSI byte: bit 0 upper-case letter,
//              bit 1 lower-case letter, bit 2 digit
//   1024  64   expansions: up to 16 entries (character, first replacement,
//              second replacement, unused byte); a zero character ends them
//   1088  64   further locale data, kept and stored unchanged
//
// The engine's own tables (Default()) are fixed constants, so that every
// process builds the keys of a table alike. Their order: control bytes,
// space, no-break space, punctuation and symbols (by byte value), digits,
// Latin letters, Cyrillic letters. Letters sort alphabetically with each
// capital directly before its small letter (A a B b ...; А а Б б ... Е е Ё ё
// ... Я я); the Ukrainian, Belarusian, Serbian and Macedonian letters sit
// after their nearest Russian letter. Both weight tables are permutations
// of 0..255 and give a character the same weight in either code page, so
// distinct strings never collide and OEM tables sort like ANSI ones.
// The default list of expansions is empty.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace kel {

constexpr size_t kCollationSize = 1152;
constexpr size_t kCollationRecordSize = 1 + kCollationSize;

// Internal error: a collation record that is not 1153 bytes long.
constexpr int kErrCollationRecord = 3101;

class Collation {
 public:
  enum Class : uint8_t { kUpper = 1, kLower = 2, kDigit = 4 };

  Collation() = default;
  explicit Collation(const uint8_t (&bytes)[kCollationSize]);
  // The engine's fixed tables; also the platform's current settings.
  static const Collation& Default();

  uint8_t AnsiWeight(uint8_t c) const { return b_[c]; }
  uint8_t OemWeight(uint8_t c) const { return b_[256 + c]; }
  uint8_t CasePartner(uint8_t c) const { return b_[512 + c]; }
  uint8_t ClassOf(uint8_t c) const { return b_[768 + c]; }
  // Folds an upper-case letter to its partner; other bytes unchanged.
  uint8_t Fold(uint8_t c) const { return (ClassOf(c) & kUpper) ? CasePartner(c) : c; }
  bool HasExpansions() const { return b_[1024] != 0; }
  // The two replacement bytes of c, or false when c does not expand.
  bool Expansion(uint8_t c, uint8_t out[2]) const;

  const std::array<uint8_t, kCollationSize>& bytes() const { return b_; }
  std::array<uint8_t, kCollationSize>& mutable_bytes() { return b_; }
  bool operator==(const Collation&) const = default;

 private:
  std::array<uint8_t, kCollationSize> b_{};
};

// Data bytes of a collation record: OEM flag, then the 1152 bytes.
std::string EncodeCollationData(const Collation& collation, bool oem);
// Decodes them; raises kErrCollationRecord when the length is wrong.
void DecodeCollationData(std::string_view data, Collation* collation, bool* oem);

}  // namespace kel
