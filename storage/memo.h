// Memos and BLOBs of a record, stored as numbered chunks: key table, 0xFC,
// record number, memo number (position in the memo list), chunk number
// (0, 1, ..., big-endian u16).
//
// A MEMO's value is its declared-size text without trailing spaces; a
// BLOB's value is its bytes. The value is cut into chunks of 256 bytes (the
// last shorter); the first chunk of a BLOB carries the u32 total length
// (little-endian) in front of its bytes. An empty value has no chunks. With
// the OEM attribute, chunks of memos that are not BINARY hold OEM text.
//
// Chunk numbers never pass 65535: a BLOB longer than 65536 * 256 bytes is
// refused (27, file too large) before anything is written. What is read
// back is bounded: chunks must follow each other from 0, a MEMO never grows
// past its declared size, a BLOB's chunks must add up to exactly its stored
// length, which itself may not pass that limit; anything else is internal
// error kErrMemoChunk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "storage/store.h"
#include "storage/table_desc.h"

namespace kel {

// The memo values of one record, in memo-list order: a MEMO as its buffer
// (text padded with spaces to the declared size), a BLOB as its bytes.
using MemoValues = std::vector<std::string>;

constexpr int kFileTooLarge = 27;
constexpr uint64_t kMaxBlobLength = uint64_t(65536) * kMemoChunk;

struct MemoTable {
  Store* store = nullptr;
  uint32_t table = 0;
  const TableDesc* desc = nullptr;
  bool oem = false;
};

// 0, or 27 when a BLOB would need chunk numbers past 65535.
int CheckMemoValues(const TableDesc& desc, const MemoValues& values);

// The chunks (data bytes, as stored) of memo m's value.
std::vector<std::string> MemoChunks(const MemoTable& t, size_t m, const std::string& value);

// Writes every memo of a new record (no chunks of it exist yet), appending
// each memo's chunks in order through a cursor. 0 or 27.
int WriteMemos(const MemoTable& t, uint32_t recno, const MemoValues& values);
// Rewrites the memos of an existing record, keeping every stored chunk whose
// bytes are unchanged. 0 or 27.
int RewriteMemos(const MemoTable& t, uint32_t recno, const MemoValues& values);
// Reads the memos of a record: MEMOs padded with spaces, BLOBs sized to
// their stored length (empty without chunks).
void ReadMemos(const MemoTable& t, uint32_t recno, MemoValues* values);
// True when a stored MEMO (BLOBs are not compared) differs from `saved`.
bool MemosDiffer(const MemoTable& t, uint32_t recno, const MemoValues& saved);
// Deletes every chunk of the record. Answers the number deleted.
size_t DeleteMemos(const MemoTable& t, uint32_t recno);

}  // namespace kel
