#include "storage/memo.h"

#include <algorithm>

#include "platform/codepage.h"
#include "storage/errors.h"
#include "storage/record_kinds.h"

namespace kel {
namespace {

bool Converted(const MemoTable& t, size_t m) { return t.oem && !t.desc->memos[m].binary(); }

// The value of memo m as it is chunked: MEMO text without trailing spaces
// (never past the declared size), BLOB bytes.
std::string_view ValueOf(const MemoDesc& md, const std::string& value) {
  std::string_view v(value);
  if (md.blob()) return v;
  v = v.substr(0, md.size);
  while (!v.empty() && v.back() == ' ') v.remove_suffix(1);
  return v;
}

// A memo chunk key (12 bytes) that begins with `prefix` (the record's or
// one memo's).
bool IsChunkOf(std::string_view key, std::string_view prefix) {
  return key.size() == 12 && key.substr(0, prefix.size()) == prefix;
}

}  // namespace

int CheckMemoValues(const TableDesc& desc, const MemoValues& values) {
  for (size_t m = 0; m < desc.memos.size() && m < values.size(); ++m)
    if (desc.memos[m].blob() && values[m].size() > kMaxBlobLength) return kFileTooLarge;
  return 0;
}

std::vector<std::string> MemoChunks(const MemoTable& t, size_t m, const std::string& value) {
  const MemoDesc& md = t.desc->memos[m];
  std::string_view v = ValueOf(md, value);
  std::vector<std::string> chunks;
  for (size_t at = 0; at < v.size(); at += kMemoChunk) {
    std::string chunk;
    if (md.blob() && at == 0) PutLE32(chunk, uint32_t(v.size()));
    size_t head = chunk.size();
    chunk.append(v.substr(at, kMemoChunk));
    if (Converted(t, m)) platform::AnsiToOemBuffer(chunk.data() + head, chunk.size() - head);
    chunks.push_back(std::move(chunk));
  }
  return chunks;
}

int WriteMemos(const MemoTable& t, uint32_t recno, const MemoValues& values) {
  int rc = CheckMemoValues(*t.desc, values);
  if (rc != 0) return rc;
  for (size_t m = 0; m < t.desc->memos.size() && m < values.size(); ++m) {
    std::vector<std::string> chunks = MemoChunks(t, m, values[m]);
    Cursor cursor(*t.store);
    for (size_t i = 0; i < chunks.size(); ++i) {
      RecordPtr r = MakeRecord(MemoChunkKey(t.table, recno, uint8_t(m), uint16_t(i)), chunks[i]);
      if (i == 0)
        cursor.Set(r, true);
      else
        cursor.InsertAfter(r);
    }
  }
  return 0;
}

int RewriteMemos(const MemoTable& t, uint32_t recno, const MemoValues& values) {
  int rc = CheckMemoValues(*t.desc, values);
  if (rc != 0) return rc;
  Store& s = *t.store;
  for (size_t m = 0; m < t.desc->memos.size(); ++m) {
    std::vector<std::string> chunks;
    if (m < values.size()) chunks = MemoChunks(t, m, values[m]);
    for (size_t i = 0; i < chunks.size(); ++i) {
      std::string key = MemoChunkKey(t.table, recno, uint8_t(m), uint16_t(i));
      RecordPtr stored = s.FindExact(key);
      if (stored && stored->data() == chunks[i]) continue;
      if (stored)
        s.ReplaceData(stored, chunks[i]);
      else
        s.Insert(MakeRecord(key, chunks[i]));
    }
    // Stored chunks past the new value's last go.
    std::string prefix = MemoRecordPrefix(t.table, recno);
    prefix.push_back(char(m));
    std::string from = chunks.empty() ? prefix : MemoChunkKey(t.table, recno, uint8_t(m), uint16_t(chunks.size() - 1));
    for (RecordPtr r = s.FindNext(from); r && IsChunkOf(r->key(), prefix); r = s.FindNext(from)) s.Delete(r);
  }
  return 0;
}

void ReadMemos(const MemoTable& t, uint32_t recno, MemoValues* values) {
  const auto& memos = t.desc->memos;
  values->assign(memos.size(), std::string());
  std::vector<uint32_t> next_chunk(memos.size(), 0);
  std::vector<uint64_t> blob_length(memos.size(), 0);
  std::string prefix = MemoRecordPrefix(t.table, recno);
  std::string key = prefix;
  for (RecordPtr r = t.store->FindNext(key); r && IsChunkOf(r->key(), prefix); r = t.store->FindNext(key)) {
    key.assign(r->key());
    size_t m = uint8_t(key[9]);
    uint32_t chunk = uint32_t(uint8_t(key[10])) << 8 | uint8_t(key[11]);
    Require(m < memos.size() && chunk == next_chunk[m], kErrMemoChunk);
    ++next_chunk[m];
    const MemoDesc& md = memos[m];
    std::string_view data = r->data();
    std::string& out = (*values)[m];
    if (md.blob() && chunk == 0) {
      Require(data.size() >= 4, kErrMemoChunk);
      blob_length[m] = GetLE32(data, 0);
      Require(blob_length[m] <= kMaxBlobLength, kErrMemoChunk);
      out.reserve(size_t(blob_length[m]));
      data.remove_prefix(4);
    }
    uint64_t limit = md.blob() ? blob_length[m] : md.size;
    Require(!data.empty() && data.size() <= kMemoChunk && out.size() + data.size() <= limit, kErrMemoChunk);
    size_t at = out.size();
    out.append(data);
    if (Converted(t, m)) platform::OemToAnsiBuffer(out.data() + at, data.size());
  }
  for (size_t m = 0; m < memos.size(); ++m) {
    std::string& out = (*values)[m];
    if (memos[m].blob())
      Require(out.size() == blob_length[m], kErrMemoChunk);
    else
      out.resize(memos[m].size, ' ');
  }
}

bool MemosDiffer(const MemoTable& t, uint32_t recno, const MemoValues& saved) {
  MemoValues stored;
  ReadMemos(t, recno, &stored);
  for (size_t m = 0; m < stored.size(); ++m) {
    if (t.desc->memos[m].blob()) continue;
    std::string copy = m < saved.size() ? saved[m] : std::string();
    copy.resize(t.desc->memos[m].size, ' ');
    if (copy != stored[m]) return true;
  }
  return false;
}

size_t DeleteMemos(const MemoTable& t, uint32_t recno) {
  std::string prefix = MemoRecordPrefix(t.table, recno);
  size_t n = 0;
  for (RecordPtr r = t.store->FindNext(prefix); r && IsChunkOf(r->key(), prefix); r = t.store->FindNext(prefix)) {
    t.store->Delete(r);
    ++n;
  }
  return n;
}

}  // namespace kel
