#include "storage/memo.h"

#include <gtest/gtest.h>

#include "platform/codepage.h"
#include "support/table_fixture.h"

namespace kel {
namespace {

using test::TableFixture;

enum : size_t { kText = 0, kBlob = 1, kBinary = 2 };

TableDecl Decl() {
  TableDecl d;
  d.label = "MEMOS";
  FieldDecl rec, num;
  rec.type = FieldType::kGroup, rec.element_size = 4, rec.member_count = 1, rec.label = "M:REC";
  num.type = FieldType::kLong, num.element_size = 4, num.label = "M:NUM";
  d.fields = {rec, num};
  d.memos = {{"M:TEXT", "", 1000, 0}, {"M:BLOB", "", 0, kMemoBlob}, {"M:RAW", "", 300, kMemoBinary}};
  return d;
}

class MemoTest : public ::testing::TestWithParam<bool> {
 protected:
  OperationFrame frame_{"MEMOS"};
  test::TempDir dir_;
  TableFixture t_{dir_.File("M.KST"), Decl(), GetParam()};

  MemoValues Values(const std::string& text, const std::string& blob, const std::string& raw = "") {
    MemoValues v = {text, blob, raw};
    v[0].resize(1000, ' ');
    v[2].resize(300, ' ');
    return v;
  }
  // Data sizes of the stored chunks of memo m of record r.
  std::vector<size_t> Chunks(uint32_t r, size_t m) {
    std::vector<size_t> sizes;
    for (uint16_t i = 0;; ++i) {
      RecordPtr c = t_.store().FindExact(MemoChunkKey(t_.table(), r, uint8_t(m), i));
      if (!c) return sizes;
      sizes.push_back(c->data().size());
    }
  }
  uint32_t AddWith(const MemoValues& v) {
    uint32_t r = 0;
    EXPECT_EQ(t_.Add(std::string(4, '\0'), &r, false, &v), 0);
    return r;
  }
  MemoValues Read(uint32_t r) {
    MemoValues v;
    ReadMemos(t_.memo_table(), r, &v);
    return v;
  }
};

TEST_P(MemoTest, ChunkSizes) {
  struct Case {
    size_t text, blob;
    std::vector<size_t> text_chunks, blob_chunks;
  } cases[] = {
      {0, 0, {}, {}},
      {300, 256, {256, 44}, {260}},
      {256, 257, {256}, {260, 1}},
      {1000, 512, {256, 256, 256, 232}, {260, 256}},
      {1, 1, {1}, {5}},
  };
  for (const Case& c : cases) {
    MemoValues v = Values(std::string(c.text, 'x'), std::string(c.blob, '\x01'));
    uint32_t r = AddWith(v);
    EXPECT_EQ(Chunks(r, kText), c.text_chunks) << c.text;
    EXPECT_EQ(Chunks(r, kBlob), c.blob_chunks) << c.blob;
    EXPECT_EQ(Read(r), v) << c.text << "/" << c.blob;
  }
  // Only spaces: no chunks, reads back as spaces.
  uint32_t r = AddWith(Values(std::string(1000, ' '), ""));
  EXPECT_TRUE(Chunks(r, kText).empty());
  EXPECT_EQ(Read(r)[kText], std::string(1000, ' '));
  // The BLOB's first chunk starts with its u32 length.
  r = AddWith(Values("", std::string(70000, 'b')));
  RecordPtr first = t_.store().FindExact(MemoChunkKey(t_.table(), r, kBlob, 0));
  EXPECT_EQ(GetLE32(first->data(), 0), 70000u);
  EXPECT_EQ(Chunks(r, kBlob).size(), 274u);
}

TEST_P(MemoTest, CodePageOfStoredText) {
  std::string russian = "\xc5\xeb\xea\xe0 \xab\xd0\xee\xec\xe0\xf8\xea\xe0\xbb";  // Елка «Ромашка»
  uint32_t r = AddWith(Values(russian, russian, russian));
  std::string stored_text(t_.store().FindExact(MemoChunkKey(t_.table(), r, kText, 0))->data());
  std::string stored_blob(t_.store().FindExact(MemoChunkKey(t_.table(), r, kBlob, 0))->data().substr(4));
  std::string stored_raw(t_.store().FindExact(MemoChunkKey(t_.table(), r, kBinary, 0))->data());
  std::string oem = russian;
  platform::AnsiToOemBuffer(oem.data(), oem.size());
  EXPECT_EQ(stored_text, GetParam() ? oem : russian);
  EXPECT_EQ(stored_blob, GetParam() ? oem : russian);
  EXPECT_EQ(stored_raw, russian);  // BINARY: never converted
  EXPECT_EQ(Read(r), Values(russian, russian, russian));
}

TEST_P(MemoTest, RewriteKeepsUnchangedChunks) {
  std::string text(700, 'a');
  uint32_t r = AddWith(Values(text, std::string(600, 'b')));
  ASSERT_EQ(t_.store().Commit(), 0);
  RecordPtr c0 = t_.store().FindExact(MemoChunkKey(t_.table(), r, kText, 0));
  RecordPtr c2 = t_.store().FindExact(MemoChunkKey(t_.table(), r, kText, 2));
  // Change only the second chunk of the text and shorten the BLOB to one chunk.
  text[300] = 'Z';
  MemoValues v = Values(text, std::string(100, 'b'));
  ASSERT_EQ(RewriteMemos(t_.memo_table(), r, v), 0);
  EXPECT_EQ(t_.store().FindExact(MemoChunkKey(t_.table(), r, kText, 0)), c0);
  EXPECT_EQ(t_.store().FindExact(MemoChunkKey(t_.table(), r, kText, 2)), c2);
  EXPECT_EQ(Chunks(r, kBlob), std::vector<size_t>{104});
  EXPECT_EQ(Read(r), v);
  // Unchanged values change nothing at all.
  ASSERT_EQ(t_.store().Commit(), 0);
  ASSERT_EQ(RewriteMemos(t_.memo_table(), r, v), 0);
  EXPECT_FALSE(t_.store().has_uncommitted_changes());
  // Emptied values lose their chunks; the record's other data stays.
  ASSERT_EQ(RewriteMemos(t_.memo_table(), r, Values("", "")), 0);
  EXPECT_TRUE(Chunks(r, kText).empty());
  EXPECT_TRUE(Chunks(r, kBlob).empty());
  EXPECT_EQ(Read(r), Values("", ""));
  EXPECT_NE(ExactData(t_.store(), t_.table(), r), nullptr);
}

TEST_P(MemoTest, CompareAndDelete) {
  MemoValues v = Values("hello", "blob", "raw");
  uint32_t r = AddWith(v);
  uint32_t other = AddWith(Values("next record", "x"));
  EXPECT_FALSE(MemosDiffer(t_.memo_table(), r, v));
  MemoValues trimmed = v;
  trimmed[kText] = "hello";  // trailing spaces do not count
  EXPECT_FALSE(MemosDiffer(t_.memo_table(), r, trimmed));
  MemoValues blob_changed = Values("hello", "another", "raw");
  EXPECT_FALSE(MemosDiffer(t_.memo_table(), r, blob_changed));  // BLOBs are not compared
  EXPECT_TRUE(MemosDiffer(t_.memo_table(), r, Values("hellO", "blob", "raw")));
  EXPECT_TRUE(MemosDiffer(t_.memo_table(), r, Values("hello", "blob", "")));
  EXPECT_EQ(DeleteMemos(t_.memo_table(), r), 3u);
  EXPECT_EQ(Read(r), Values("", ""));
  EXPECT_EQ(Read(other), Values("next record", "x"));
}

TEST_P(MemoTest, DamagedChunksAreInternalErrors) {
  uint32_t r = AddWith(Values(std::string(600, 'a'), std::string(600, 'b')));
  auto code = [&] {
    try {
      Read(r);
    } catch (const InternalError& e) {
      return e.code();
    }
    return 0;
  };
  auto replace = [&](size_t m, uint16_t chunk, std::string data) {
    RecordPtr c = t_.store().FindExact(MemoChunkKey(t_.table(), r, uint8_t(m), chunk));
    std::string old(c->data());
    t_.store().ReplaceData(c, data);
    return old;
  };
  auto restore = [&](size_t m, uint16_t chunk, const std::string& old) { replace(m, chunk, old); };
  ASSERT_EQ(code(), 0);
  // A chunk longer than 256 bytes.
  std::string old = replace(kText, 1, std::string(300, 'a'));
  EXPECT_EQ(code(), kErrMemoChunk);
  restore(kText, 1, old);
  // A MEMO growing past its declared size.
  t_.store().Insert(MakeRecord(MemoChunkKey(t_.table(), r, kText, 3), std::string(256, 'a')));
  EXPECT_EQ(code(), 0);  // 856 of 1000
  t_.store().Insert(MakeRecord(MemoChunkKey(t_.table(), r, kText, 4), std::string(200, 'a')));
  EXPECT_EQ(code(), kErrMemoChunk);  // 1056 > 1000
  t_.store().Delete(t_.store().FindExact(MemoChunkKey(t_.table(), r, kText, 4)));
  t_.store().Delete(t_.store().FindExact(MemoChunkKey(t_.table(), r, kText, 3)));
  // A gap in the chunk numbers.
  old = replace(kText, 1, "a");
  t_.store().Delete(t_.store().FindExact(MemoChunkKey(t_.table(), r, kText, 1)));
  EXPECT_EQ(code(), kErrMemoChunk);
  t_.store().Insert(MakeRecord(MemoChunkKey(t_.table(), r, kText, 1), old));
  ASSERT_EQ(code(), 0);
  // BLOB lengths: bytes beyond the stored length, fewer bytes, a length
  // beyond the largest BLOB, a first chunk too short for its length.
  for (uint32_t length : {500u, 700u, uint32_t(kMaxBlobLength + 1)}) {
    std::string first = replace(kBlob, 0, "");
    std::string patched = first;
    patched[0] = char(length), patched[1] = char(length >> 8), patched[2] = char(length >> 16), patched[3] = char(length >> 24);
    replace(kBlob, 0, patched);
    EXPECT_EQ(code(), kErrMemoChunk) << length;
    restore(kBlob, 0, first);
  }
  old = replace(kBlob, 0, "ab");
  EXPECT_EQ(code(), kErrMemoChunk);
  restore(kBlob, 0, old);
  // A chunk of a memo the table does not have.
  t_.store().Insert(MakeRecord(MemoChunkKey(t_.table(), r, 3, 0), "?"));
  EXPECT_EQ(code(), kErrMemoChunk);
}

TEST_P(MemoTest, BlobChunkNumbersNeverWrap) {
  MemoValues v = Values("", "");
  v[kBlob].assign(kMaxBlobLength + 1, 'x');
  uint32_t r = 0;
  EXPECT_EQ(CheckMemoValues(t_.desc(), v), kFileTooLarge);
  ASSERT_EQ(t_.Add(std::string(4, '\0'), &r), 0);
  EXPECT_EQ(WriteMemos(t_.memo_table(), r, v), kFileTooLarge);
  EXPECT_EQ(RewriteMemos(t_.memo_table(), r, v), kFileTooLarge);
  EXPECT_TRUE(Chunks(r, kBlob).empty());
  v[kBlob].resize(kMaxBlobLength);  // exactly chunks 0..65535
  EXPECT_EQ(CheckMemoValues(t_.desc(), v), 0);
}

INSTANTIATE_TEST_SUITE_P(AnsiAndOem, MemoTest, ::testing::Bool());

}  // namespace
}  // namespace kel
