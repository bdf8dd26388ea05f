// The definition stream: a table description serialised into the file, in
// definition block records (key table + 0xFA + u16 block number,
// little-endian) of 512 bytes each, the last holding the remaining 1..512.
//
// Stream layout (numbers u16 little-endian unless stated; a string is its
// characters and a NUL, an empty string 00 00, an absent one 00 01):
//   version (1, or 2 when a memo is a BLOB)
//   record length, field count, memo count, key count
//   per field: type (u8), offset, stored name, element count, size,
//              overlay flag, ordinal; then for DECIMAL/PDECIMAL places (u8)
//              and bytes per element (u8), for STRING/CSTRING/PSTRING bytes
//              per element and picture
//   per memo:  external name, label, declared size, flags
//   per key:   external name, label, flags (u8), component count, then per
//              component field ordinal and direction (1 descending)
//
// A reader fetches block 0, 1, ... one at a time and treats a missing block
// as 512 zero bytes. A stream read back is bounded everywhere: a block
// longer than 512 bytes, a string longer than kMaxDefString, a block number
// past 65535 or a description that fails ValidateTableDesc answers 47.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "storage/table_desc.h"

namespace kel {

constexpr size_t kDefBlockSize = 512;
constexpr size_t kMaxDefString = 4096;

std::string SerializeDefinition(const TableDesc& desc);
// The stream cut into blocks (block n = bytes [512n, 512n+512)).
std::vector<std::string> SplitDefinitionBlocks(const std::string& stream);

// Fetches definition block n into *out; false when there is no such block.
using DefBlockFetcher = std::function<bool(uint16_t block, std::string* out)>;

// Read mode: rebuilds a description from the stored blocks. 0, 47 or 8.
int ReadDefinition(const DefBlockFetcher& fetch, TableDesc* out);

enum class DefCompare { kEqual, kNamesDiffer, kStructureDiffers };
// Compare mode: the stored definition against the declared description.
// Numbers decide the structure (a difference in key flag 0x10 alone and the
// declared size of a BLOB are ignored, memo flags are not compared); names,
// labels and pictures only make the answer kNamesDiffer. A stored stream
// that cannot be read counts as a structural difference.
DefCompare CompareDefinition(const DefBlockFetcher& fetch, const TableDesc& declared);

}  // namespace kel
