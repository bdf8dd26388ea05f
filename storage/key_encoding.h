// Key values: the bytes of a key entry that follow the table number and key
// number, built from a record image so that plain unsigned byte comparison
// gives the declared order.
//
// A value is one segment per component, each exactly as long as the
// component field. A segment, for field bytes src of length n and direction
// d (0 ascending, 1 descending):
//   SHORT, LONG               bytes reversed (big-endian), first byte ^ 0x80
//   USHORT, ULONG, DATE, TIME bytes reversed
//   SREAL, REAL               bytes reversed; negative (bit 7 of the first
//                             byte set): d = 1 - d, else set that bit
//   DECIMAL                   bytes as stored; a non-zero sign half-byte is
//                             cleared and d = 1 - d; then first byte ^ 0x80
//   STRING, GROUP             the n bytes, then the string treatment
//   CSTRING                   text up to its NUL, zero-filled to n, treated
//   PSTRING                   text of the length in the first byte (at most
//                             n - 1), zero-filled to n, treated
//   anything else             bytes as stored
// and with d = 1 every byte of the segment is complemented.
//
// String treatment with the table's collation tables:
//   1. NOCASE keys fold every upper-case letter to its case partner;
//   2. with a non-empty expansion list, each listed byte becomes its two
//      replacements, the result cut at n bytes;
//   3. without OEM every byte is mapped through the ANSI sort weights; with
//      OEM the segment is converted to the OEM code page and mapped through
//      the OEM sort weights.
//
// Entry records: key bytes = table (4, big-endian), key number (1), value,
// and for a DUP key the record number (4, big-endian); data bytes = the
// record number for a key without DUP, nothing for a DUP key.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "storage/collation.h"
#include "storage/table_desc.h"

namespace kel {

// How the strings of one table are keyed.
struct KeyStrings {
  KeyStrings() = default;
  KeyStrings(const Collation* c, bool o) : collation(c), oem(o) {}
  const Collation* collation = &Collation::Default();
  bool oem = false;
  // Optional: the weight of every byte after the treatment, as
  // ComposeWeights makes it for this collation and code page (bytes 0-255
  // with case kept, 256-511 folded). Without it each byte is looked up step
  // by step; the answers are the same.
  std::shared_ptr<const std::array<uint8_t, 512>> weights;
};

// The composed weights of a collation without expansions (null for one with
// expansions, where a byte may become two).
std::shared_ptr<const std::array<uint8_t, 512>> ComposeWeights(const Collation& collation, bool oem);

// Encodes one segment of field `f` from `src` (f.size bytes) into `out`
// (f.size bytes).
void EncodeSegment(const FieldDesc& f, const uint8_t* src, bool descending, bool nocase, const KeyStrings& strings,
                   uint8_t* out);

// The value of a key with these components for a record image; the second
// form writes it to `out` (desc.ValueLength(components) bytes).
void EncodeKeyValue(const TableDesc& desc, const std::vector<KeyComponent>& components, bool nocase,
                    const KeyStrings& strings, const uint8_t* image, uint8_t* out);
std::string EncodeKeyValue(const TableDesc& desc, const std::vector<KeyComponent>& components, bool nocase,
                           const KeyStrings& strings, const uint8_t* image);

// True when the key is OPT and every component field is blank in `image`:
// STRING and GROUP all spaces, CSTRING and PSTRING empty, anything else all
// zero bytes.
bool KeyIsBlank(const TableDesc& desc, const std::vector<KeyComponent>& components, uint8_t flags,
                const uint8_t* image);

// The key bytes of an entry: prefix, value, and for DUP the record number.
std::string EntryKey(uint32_t table, uint8_t keyno, bool dup, std::string_view value, uint32_t recno);
// The data bytes of an entry.
std::string EntryData(bool dup, uint32_t recno);
// The same bytes written into `buf`, for code that makes entries in bulk.
std::string_view EntryData(bool dup, uint32_t recno, char (&buf)[4]);
// Record number of an entry record (the last 4 key bytes for DUP, the data
// otherwise); raises kErrKeyEntry when the entry is too short.
uint32_t EntryRecno(bool dup, std::string_view key, std::string_view data);

}  // namespace kel
