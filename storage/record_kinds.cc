#include "storage/record_kinds.h"

#include <algorithm>
#include <cstring>

#include "platform/codepage.h"
#include "storage/errors.h"

namespace kel {

void PutBE32(std::string& out, uint32_t v) {
  out.push_back(char(v >> 24));
  out.push_back(char(v >> 16));
  out.push_back(char(v >> 8));
  out.push_back(char(v));
}

uint32_t GetBE32(std::string_view b, size_t at) {
  return uint32_t(uint8_t(b[at])) << 24 | uint32_t(uint8_t(b[at + 1])) << 16 | uint32_t(uint8_t(b[at + 2])) << 8 |
         uint32_t(uint8_t(b[at + 3]));
}

void PutLE32(std::string& out, uint32_t v) {
  out.push_back(char(v));
  out.push_back(char(v >> 8));
  out.push_back(char(v >> 16));
  out.push_back(char(v >> 24));
}

uint32_t GetLE32(std::string_view b, size_t at) {
  return uint32_t(uint8_t(b[at])) | uint32_t(uint8_t(b[at + 1])) << 8 | uint32_t(uint8_t(b[at + 2])) << 16 |
         uint32_t(uint8_t(b[at + 3])) << 24;
}

std::string TablePrefix(uint32_t table) {
  std::string k;
  PutBE32(k, table);
  return k;
}

std::string DataKey(uint32_t table, uint32_t recno) {
  std::string k = TablePrefix(table);
  k.push_back(char(kDataType));
  PutBE32(k, recno);
  return k;
}

std::string KeyPrefix(uint32_t table, uint8_t keyno) {
  std::string k = TablePrefix(table);
  k.push_back(char(keyno));
  return k;
}

std::string CounterKey(uint32_t table, uint8_t index) {
  std::string k = TablePrefix(table);
  k.push_back(char(kCounterType));
  k.push_back(char(index));
  return k;
}

std::string DefBlockKey(uint32_t table, uint16_t block) {
  std::string k = TablePrefix(table);
  k.push_back(char(kDefBlockType));
  k.push_back(char(block & 0xFF));
  k.push_back(char(block >> 8));
  return k;
}

std::string CollationKey(uint32_t table) {
  std::string k = TablePrefix(table);
  k.push_back(char(kCollationType));
  k.push_back(1);
  return k;
}

std::string MemoRecordPrefix(uint32_t table, uint32_t recno) {
  std::string k = TablePrefix(table);
  k.push_back(char(kMemoType));
  PutBE32(k, recno);
  return k;
}

std::string MemoChunkKey(uint32_t table, uint32_t recno, uint8_t memo, uint16_t chunk) {
  std::string k = MemoRecordPrefix(table, recno);
  k.push_back(char(memo));
  k.push_back(char(chunk >> 8));
  k.push_back(char(chunk & 0xFF));
  return k;
}

std::string NameKey(std::string_view table_name) {
  std::string k(1, char(kNameType));
  k += platform::UpperAnsi(std::string(table_name));
  return k;
}

std::string MarkerKey() { return std::string(1, char(kMarkerType)); }

std::string EncodeCounter(const Counter& c) {
  std::string d;
  PutLE32(d, c.count);
  PutLE32(d, c.mark);
  return d;
}

Counter DecodeCounter(std::string_view data) {
  Require(data.size() == 8, kErrCounterRecord);
  return Counter{GetLE32(data, 0), GetLE32(data, 4)};
}

std::string EncodeNameData(uint32_t table) {
  std::string d;
  PutBE32(d, table);
  return d;
}

uint32_t DecodeNameData(std::string_view data) {
  Require(data.size() == 4, kErrNameRecord);
  return GetBE32(data, 0);
}

uint32_t RecnoOfDataKey(std::string_view key) {
  Require(key.size() == 9 && uint8_t(key[4]) == kDataType, kErrDataRecord);
  return GetBE32(key, 5);
}

namespace {

using Convert = void (*)(void*, size_t);

void ConvertStrings(const TableDesc& desc, uint8_t* image, Convert convert) {
  for (const FieldDesc& f : desc.fields) {
    if (f.overlay || !f.IsString() || f.element_size == 0) continue;
    for (uint32_t e = 0; e < f.element_count; ++e) {
      uint8_t* p = image + f.offset + size_t(e) * f.element_size;
      if (f.type == uint8_t(FieldType::kString)) {
        convert(p, f.element_size);
      } else if (f.type == uint8_t(FieldType::kCString)) {
        const void* nul = std::memchr(p, 0, f.element_size);
        convert(p, nul ? size_t(static_cast<const uint8_t*>(nul) - p) : f.element_size);
      } else {
        size_t len = std::min<size_t>(p[0], f.element_size - 1);
        convert(p + 1, len);
      }
    }
  }
}

}  // namespace

void ImageToOem(const TableDesc& desc, uint8_t* image) { ConvertStrings(desc, image, platform::AnsiToOemBuffer); }
void ImageFromOem(const TableDesc& desc, uint8_t* image) { ConvertStrings(desc, image, platform::OemToAnsiBuffer); }

std::string StoreImage(const TableDesc& desc, bool oem, const uint8_t* image) {
  std::string data(reinterpret_cast<const char*>(image), desc.record_length);
  if (oem) ImageToOem(desc, reinterpret_cast<uint8_t*>(data.data()));
  return data;
}

void LoadImage(const TableDesc& desc, bool oem, std::string_view data, uint8_t* image) {
  Require(data.size() == desc.record_length, kErrDataRecord);
  std::memcpy(image, data.data(), data.size());
  if (oem) ImageFromOem(desc, image);
}

}  // namespace kel
