// The kinds of records that make up a table in the ordered record store, and
// the exact bytes of their keys and data.
//
// Table and record numbers are u32, stored big-endian in keys so that they
// sort numerically; integers in data bytes are little-endian unless stated.
//
//   key bytes                                   kind              data
//   table, 0xF3, recno                          data record       record image
//   table, keyno (0..239), value, [recno]       key entry         recno (no DUP)
//   table, 0xF6, index                          counter record    u32 count, u32 mark
//   table, 0xFA, block (u16 little-endian)      definition block  <= 512 bytes
//   table, 0xFB, 0x01                           collation record  OEM flag, 1152 bytes
//   table, 0xFC, recno, memo (u8), chunk (u16   memo chunk        [u32 BLOB length],
//          big-endian)                                            <= 256 bytes
//   0xFE, table name (upper case, no NUL)       table name        table number
//   0xFF                                        multi-file transaction marker
//
// Counter records: index 0xF3 counts data records (its mark is a free value
// of the table); index k counts key k's entries, its mark is the lowest
// record number from which the key is not maintained (0: complete).
//
// Data records of a table with the OEM attribute hold every STRING, CSTRING
// and PSTRING field that is not an overlay in the OEM code page: a STRING
// over its whole length, a CSTRING up to its NUL (the whole element when it
// has none), a PSTRING over the length in its first byte, never past its
// element.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "storage/table_desc.h"

namespace kel {

constexpr uint8_t kDataType = 0xF3;
constexpr uint8_t kCounterType = 0xF6;
constexpr uint8_t kDefBlockType = 0xFA;
constexpr uint8_t kCollationType = 0xFB;
constexpr uint8_t kMemoType = 0xFC;
constexpr uint8_t kNameType = 0xFE;
constexpr uint8_t kMarkerType = 0xFF;
constexpr uint8_t kDataCounterIndex = kDataType;

// Internal errors raised on records read from disk that break their layout.
constexpr int kErrCounterRecord = 3103;   // counter data not 8 bytes
constexpr int kErrDataRecord = 3104;      // data record of the wrong length
constexpr int kErrKeyEntry = 3105;        // key entry without its record number
constexpr int kErrNameRecord = 3106;      // name record data not 4 bytes
constexpr int kErrMemoChunk = 3107;       // memo chunk beyond its bounds

void PutBE32(std::string& out, uint32_t v);
uint32_t GetBE32(std::string_view bytes, size_t at);
void PutLE32(std::string& out, uint32_t v);
uint32_t GetLE32(std::string_view bytes, size_t at);

std::string TablePrefix(uint32_t table);
std::string DataKey(uint32_t table, uint32_t recno);
std::string KeyPrefix(uint32_t table, uint8_t keyno);
std::string CounterKey(uint32_t table, uint8_t index);
std::string DefBlockKey(uint32_t table, uint16_t block);
std::string CollationKey(uint32_t table);
std::string MemoRecordPrefix(uint32_t table, uint32_t recno);   // table, 0xFC, recno
std::string MemoChunkKey(uint32_t table, uint32_t recno, uint8_t memo, uint16_t chunk);
// 0xFE followed by the name upper-cased in the ANSI code page.
std::string NameKey(std::string_view table_name);
std::string MarkerKey();

struct Counter {
  uint32_t count = 0;
  uint32_t mark = 0;
};
std::string EncodeCounter(const Counter& c);
Counter DecodeCounter(std::string_view data);   // raises kErrCounterRecord

std::string EncodeNameData(uint32_t table);
uint32_t DecodeNameData(std::string_view data); // raises kErrNameRecord

// Record number of a data-record key (raises kErrDataRecord if it is not one).
uint32_t RecnoOfDataKey(std::string_view key);

// In-place code-page conversion of the string fields of a record image of
// desc.record_length bytes.
void ImageToOem(const TableDesc& desc, uint8_t* image);
void ImageFromOem(const TableDesc& desc, uint8_t* image);

// Stored data bytes of a data record from a record image, and back.
// LoadImage raises kErrDataRecord when the stored length is not the record
// length.
std::string StoreImage(const TableDesc& desc, bool oem, const uint8_t* image);
void LoadImage(const TableDesc& desc, bool oem, std::string_view data, uint8_t* image);

}  // namespace kel
