// Page images: building them from a page's records and parsing them back.
//
// Layout (see container.h): a 13-byte page header, the child addresses of a
// page above level 0, the records, filler 0xB0 up to the image length. The
// page prefix (header and child addresses, P bytes) is never compressed.
//
// Records are stored in ascending order, each as
//   flag byte: bit 7 = a u16 total length T follows (else T as the previous
//              record), bit 6 = a u16 key length K follows (else as the
//              previous), bits 0-5 = s, the number of leading content bytes
//              shared with the previous record;
//   [T] [K] content bytes s .. T-1.
// The writer flags T and K exactly when they differ from the previous
// record's (the first record of a page: always) and takes s as the common
// prefix of both contents, capped at 63 (first record: 0). The encoding of a
// record never takes more than T + 5 bytes, so the page's size estimate
// (13 + sum(T + 5) + 4n above level 0) bounds the unpacked length.
//
// Parsing trusts nothing it reads: the stored length must fill the image to
// its last 256-byte unit, the prefix must fit the stored bytes, compressed
// data must stay inside the stored bytes, and every record must stay inside
// the unpacked length with K <= T and s no longer than either record; the
// records must end exactly at the unpacked length.
#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "storage/bytes.h"
#include "storage/container.h"
#include "storage/errors.h"
#include "storage/store_impl.h"

namespace kel {
namespace {

constexpr uint32_t kPageHeaderSize = 13;
constexpr size_t kMaxShared = 63;

uint32_t PrefixSize(uint8_t level, size_t n) {
  return kPageHeaderSize + (level > 0 ? 4 * uint32_t(n) : 0);
}

size_t SharedPrefix(std::string_view a, std::string_view b) {
  const size_t limit = std::min({a.size(), b.size(), kMaxShared});
  size_t s = 0;
  // A word at a time: the first differing byte is the lowest (in memory
  // order) byte of the words' difference.
  while (s + 8 <= limit) {
    uint64_t x, y;
    std::memcpy(&x, a.data() + s, 8);
    std::memcpy(&y, b.data() + s, 8);
    if (x != y) {
      const uint64_t d = x ^ y;
      if constexpr (std::endian::native == std::endian::little) return s + size_t(__builtin_ctzll(d) / 8);
      return s + size_t(__builtin_clzll(d) / 8);
    }
    s += 8;
  }
  while (s < limit && a[s] == b[s]) ++s;
  return s;
}

}  // namespace

uint32_t SizeEstimate(const std::vector<const Record*>& records, uint8_t level) {
  uint32_t size = kPageHeaderSize;
  for (const Record* r : records) size += uint32_t(r->bytes.size()) + 5 + (level > 0 ? 4 : 0);
  return size;
}

PageImage BuildPageImage(const RecordView* records, size_t n, uint8_t level, uint16_t estimate) {
  using namespace container_error;
  Require(n <= 0xFFFF, kImageTooLarge);
  const uint32_t prefix = PrefixSize(level, n);
  Require(prefix <= estimate, kImageTooLarge);

  // Unpacked image: prefix, then the encoded records. Every record is checked
  // against the estimate before its bytes go in. The buffers are kept per
  // thread from image to image; the prefix is cleared (own position and
  // child addresses are stamped later), the records overwrite the rest.
  thread_local std::vector<uint8_t> raw;
  thread_local std::vector<uint8_t> packed;
  if (raw.size() < estimate) raw.resize(estimate);
  std::memset(raw.data(), 0, prefix);
  PutLe16(raw.data() + 8, estimate);
  PutLe16(raw.data() + 10, uint16_t(n));
  raw[12] = level;
  size_t u = prefix;
  std::string_view prev;
  size_t prev_key = 0;
  bool first = true;
  for (const RecordView* r = records; r != records + n; ++r) {
    const std::string_view b = r->bytes;
    Require(b.size() <= 0xFFFF && r->key_len <= b.size(), kImageTooLarge);
    size_t s = first ? 0 : SharedPrefix(prev, b);
    bool put_total = first || b.size() != prev.size();
    bool put_key = first || r->key_len != prev_key;
    size_t need = 1 + (put_total ? 2 : 0) + (put_key ? 2 : 0) + (b.size() - s);
    Require(u + need <= estimate, kImageTooLarge);
    uint8_t* p = raw.data() + u;
    *p++ = uint8_t((put_total ? 0x80 : 0) | (put_key ? 0x40 : 0) | s);
    if (put_total) {
      PutLe16(p, uint16_t(b.size()));
      p += 2;
    }
    if (put_key) {
      PutLe16(p, r->key_len);
      p += 2;
    }
    std::memcpy(p, b.data() + s, b.size() - s);
    u += need;
    prev = b;
    prev_key = r->key_len;
    first = false;
  }
  PutLe16(raw.data() + 6, uint16_t(u));

  size_t stored = u;
  bool compressed = Compress(raw.data() + prefix, u - prefix, &packed) &&
                    Ceil256(prefix + packed.size()) < Ceil256(u);
  if (compressed) stored = prefix + packed.size();
  uint64_t length = Ceil256(stored);
  Require(length <= kMaxImage, kImageOverLimit);

  PageImage image;
  image.bytes.resize(length);
  uint8_t* out = image.bytes.data();
  std::memcpy(out, raw.data(), prefix);
  if (compressed) {
    std::memcpy(out + prefix, packed.data(), packed.size());
  } else {
    std::memcpy(out + prefix, raw.data() + prefix, u - prefix);
  }
  PutLe16(out + 4, uint16_t(stored));
  std::memset(out + stored, kFiller, length - stored);
  return image;
}

PageImage BuildPageImage(const std::vector<const Record*>& records, uint8_t level, uint16_t estimate) {
  std::vector<RecordView> views;
  views.reserve(records.size());
  for (const Record* r : records) views.push_back({r->bytes, r->key_len});
  return BuildPageImage(views.data(), views.size(), level, estimate);
}

void StampImage(PageImage& image, int32_t address, const std::vector<int32_t>& children) {
  using namespace container_error;
  Require(address >= 0 && image.bytes.size() >= kUnit &&
              PageOffset(address) + image.bytes.size() <= kLockAreaStart,
          kAddressInNoRegion);
  uint8_t* p = image.bytes.data();
  PutLe32(p, uint32_t(PageOffset(address)));
  if (p[12] > 0) {
    size_t n = GetLe16(p + 10);
    Require(children.size() == n, kImageTooLarge);
    for (size_t i = 0; i < n; ++i) PutLe32(p + kPageHeaderSize + 4 * i, uint32_t(children[i]));
  }
}

namespace {

// The record stream of a page image, its header checked and its body
// unpacked (into `scratch` when compressed).
struct RecordStream {
  uint8_t level = 0;
  uint16_t estimate = 0;
  size_t n = 0;
  const uint8_t* body = nullptr;
  size_t body_len = 0;
};

// With `want`, a compressed body is unpacked only that far (the rest of
// `body` is then not valid).
RecordStream OpenRecordStream(const uint8_t* image, size_t length, std::vector<uint8_t>* scratch,
                              size_t want = SIZE_MAX) {
  using namespace container_error;
  Require(length >= kUnit && length <= kMaxImage && length % kUnit == 0, kImageLength);
  RecordStream rs;
  const size_t stored = GetLe16(image + 4);
  const size_t unpacked = GetLe16(image + 6);
  rs.n = GetLe16(image + 10);
  rs.estimate = GetLe16(image + 8);
  rs.level = image[12];
  Require(Ceil256(stored) == length, kImageLength);
  const size_t prefix = PrefixSize(rs.level, rs.n);
  Require(prefix <= stored, kImageLength);
  Require(prefix <= unpacked, kRecordStream);
  if (stored < unpacked) {
    scratch->resize(unpacked - prefix);
    Decompress(image + prefix, stored - prefix, scratch->data(), scratch->size(), want);
    rs.body = scratch->data();
  } else {
    rs.body = image + prefix;
  }
  rs.body_len = unpacked - prefix;
  // Every record takes at least its flag byte.
  Require(rs.n <= rs.body_len, kRecordStream);
  return rs;
}

// One record's head: total length T, key length K and the count s of
// content bytes shared with the previous record (`prev`, zeros before the
// first). Reads the flag and the lengths at *pos and checks that the record
// stays inside the body; *pos is left at the record's own content bytes.
struct RecordHead {
  size_t total = 0, key = 0, shared = 0;
};

inline RecordHead ReadRecordHead(const RecordStream& rs, size_t* pos, const RecordHead& prev) {
  using namespace container_error;
  const uint8_t* body = rs.body;
  const size_t len = rs.body_len;
  Require(*pos < len, kRecordStream);
  const uint8_t flag = body[(*pos)++];
  RecordHead h{prev.total, prev.key, size_t(flag & 0x3F)};
  if (flag & 0x80) {
    Require(len - *pos >= 2, kRecordStream);
    h.total = GetLe16(body + *pos);
    *pos += 2;
  }
  if (flag & 0x40) {
    Require(len - *pos >= 2, kRecordStream);
    h.key = GetLe16(body + *pos);
    *pos += 2;
  }
  Require(h.key <= h.total && h.shared <= h.total && h.shared <= prev.total, kRecordStream);
  Require(len - *pos >= h.total - h.shared, kRecordStream);
  return h;
}

// Whether the key of record `h` sorts strictly above the key of the
// previous record (unsigned bytes, a prefix first), given the previous
// record's content at `before` and the new record's own bytes (those past
// its h.shared shared ones) at `own`. The shared bytes are equal by
// definition, so only the keys' bytes past them are compared.
inline bool KeyAscends(const char* before, const char* own, const RecordHead& prev, const RecordHead& h) {
  const size_t both = std::min(prev.key, h.key);
  if (h.shared < both) {
    const int c = CompareBytes(before + h.shared, own, both - h.shared);
    if (c != 0) return c < 0;
  }
  return prev.key < h.key;
}

}  // namespace

void ParsePageImageFlat(const uint8_t* image, size_t length, FlatPage* page) {
  using namespace container_error;
  page->records.clear();
  page->bytes.clear();
  const RecordStream rs = OpenRecordStream(image, length, &page->unpacked);
  page->estimate = rs.estimate;
  page->level = rs.level;
  page->records.resize(rs.n);
  size_t pos = 0;
  size_t prev_offset = 0;
  RecordHead prev;
  for (size_t i = 0; i < rs.n; ++i) {
    const RecordHead h = ReadRecordHead(rs, &pos, prev);
    const size_t offset = page->bytes.size();
    page->bytes.resize(offset + h.total);
    char* out = page->bytes.data() + offset;
    if (h.shared > 0) std::memcpy(out, page->bytes.data() + prev_offset, h.shared);
    std::memcpy(out + h.shared, rs.body + pos, h.total - h.shared);
    pos += h.total - h.shared;
    FlatRecord& r = page->records[i];
    r.offset = uint32_t(offset);
    r.size = uint16_t(h.total);
    r.key_len = uint16_t(h.key);
    r.child = 0;
    prev_offset = offset;
    prev = h;
  }
  Require(pos == rs.body_len, kRecordStream);

  if (page->level > 0) {
    for (size_t i = 0; i < rs.n; ++i) {
      page->records[i].child = int32_t(GetLe32(image + kPageHeaderSize + 4 * i));
    }
  }
}

PageBlock* ParsePageImageToBlock(const uint8_t* image, size_t length, uint8_t* level_out, uint16_t* estimate_out,
                                 std::vector<uint8_t>* unpacked_scratch) {
  using namespace container_error;
  const RecordStream rs = OpenRecordStream(image, length, unpacked_scratch);
  *estimate_out = rs.estimate;
  *level_out = rs.level;

  // First pass: check the record stream and size the expanded records.
  size_t pos = 0, expanded = 0;
  RecordHead prev;
  for (size_t i = 0; i < rs.n; ++i) {
    prev = ReadRecordHead(rs, &pos, prev);
    pos += prev.total - prev.shared;
    expanded += prev.total;
  }
  Require(pos == rs.body_len, kRecordStream);
  if (rs.n == 0) return nullptr;

  // Second pass: expand into the block, constructing each node.
  const uint32_t n = uint32_t(rs.n);
  PageBlock* block = PageBlock::Make(n, expanded);
  PageNode* nodes = block->nodes();
  bool ordered = true;
  char* out = block->bytes(n);
  const char* before = out;
  pos = 0;
  prev = RecordHead{};
  for (uint32_t i = 0; i < n; ++i) {
    const RecordHead h = ReadRecordHead(rs, &pos, prev);
    if (h.shared > 0) std::memcpy(out, before, h.shared);
    std::memcpy(out + h.shared, rs.body + pos, h.total - h.shared);
    pos += h.total - h.shared;
    if (i > 0) {
      // Keys must ascend strictly (unsigned bytes, a prefix first). The
      // first s content bytes are the previous record's: only the rest of
      // the keys can differ.
      ordered &= KeyAscends(before, out + h.shared, prev, h);
    }
    PageNode& node = *::new (static_cast<void*>(nodes + i)) PageNode;
    node.block = block;
    node.stored = out;
    node.stored_size = uint16_t(h.total);
    node.stored_key_len = uint16_t(h.key);
    if (rs.level > 0) {
      node.child = int32_t(GetLe32(image + kPageHeaderSize + 4 * i));
      if (node.child < 0) ordered = false;
    }
    before = out;
    out += h.total;
    prev = h;
  }
  if (!ordered) {
    page_tree::FreeBlock(block);
    RaiseInternal(kPageOutOfOrder);
  }
  return block;
}

PageSearch SearchPageImage(const uint8_t* image, size_t length, std::string_view key,
                           std::vector<uint8_t>* unpacked_scratch, std::string* content, std::string* exact,
                           std::string* first, const PageVisitor* visit) {
  using namespace container_error;
  const RecordStream rs = OpenRecordStream(image, length, unpacked_scratch);
  PageSearch out;
  out.level = rs.level;
  out.estimate = rs.estimate;
  out.count = uint32_t(rs.n);
  const uint8_t* children = image + kPageHeaderSize;
  // No child address is negative: no high byte has its top bit set.
  uint8_t high = 0;
  if (rs.level > 0) {
    for (uint32_t i = 0; i < out.count; ++i) high |= children[4 * i + 3];
  }
  bool ordered = (high & 0x80) == 0;
  // `content` holds the current record's content bytes: a record's shared
  // bytes are the previous record's, so only its own bytes are copied in.
  // Short spans are copied as 16 bytes at once, so the buffer keeps 16
  // bytes of slack past any record.
  constexpr size_t kSpan = 16;
  if (content->size() < 256) content->resize(256);
  bool below = true;   // every key so far is not greater than `key`
  size_t m = 0;        // bytes the current key has in common with `key`
  size_t pos = 0;
  RecordHead prev;
  for (uint32_t i = 0; i < out.count; ++i) {
    const RecordHead h = ReadRecordHead(rs, &pos, prev);
    if (content->size() < h.total + kSpan) content->resize(h.total + kSpan);
    char* c = content->data();
    const char* own = reinterpret_cast<const char*>(rs.body + pos);
    const size_t own_len = h.total - h.shared;
    if (i > 0) {
      // The same order check as a load: the previous key is still in the
      // buffer, the new key's bytes past the shared ones are its own.
      ordered &= KeyAscends(c, own, prev, h);
    }
    if (own_len <= kSpan && rs.body_len - pos >= kSpan) {
      std::memcpy(c + h.shared, own, kSpan);
    } else {
      std::memcpy(c + h.shared, own, own_len);
    }
    pos += own_len;
    if (first && i == 0) first->assign(c, h.key);
    if (visit && !(*visit)(std::string_view(c, h.key), std::string_view(c, h.total))) return out;
    if (below) {
      // The first min(s, m) bytes are the previous key's, which agreed with
      // `key` that far.
      size_t j = std::min({h.shared, m, h.key});
      const size_t limit = std::min(h.key, key.size());
      while (j < limit && c[j] == key[j]) ++j;
      m = j;
      if (j == h.key || (j < key.size() && uint8_t(c[j]) < uint8_t(key[j]))) {
        out.index = int32_t(i);
        if (exact && j == key.size() && j == h.key) {
          // The key itself: its record leaves the buffer before the end.
          out.exact = true;
          out.exact_key_len = uint16_t(h.key);
          exact->assign(c, h.total);
        }
      } else {
        below = false;
      }
    }
    prev = h;
  }
  Require(pos == rs.body_len, kRecordStream);
  if (!ordered) RaiseInternal(kPageOutOfOrder);
  if (out.index >= 0 && rs.level > 0) out.child = int32_t(GetLe32(children + 4 * size_t(out.index)));
  return out;
}

PageSearch ReadFirstKey(const uint8_t* image, size_t length, std::vector<uint8_t>* scratch, std::string* first) {
  // The first record's head takes at most 5 bytes, and it shares nothing.
  constexpr size_t kHead = 5;
  RecordStream rs = OpenRecordStream(image, length, scratch, kHead);
  PageSearch out;
  out.level = rs.level;
  out.estimate = rs.estimate;
  out.count = uint32_t(rs.n);
  first->clear();
  if (rs.n == 0) return out;
  size_t pos = 0;
  const RecordHead h = ReadRecordHead(rs, &pos, RecordHead{});
  if (pos + h.key > kHead) rs = OpenRecordStream(image, length, scratch, pos + h.key);
  first->assign(reinterpret_cast<const char*>(rs.body + pos), h.key);
  return out;
}

ParsedPage ParsePageImage(const uint8_t* image, size_t length) {
  FlatPage flat;
  ParsePageImageFlat(image, length, &flat);
  ParsedPage page;
  page.level = flat.level;
  page.estimate = flat.estimate;
  page.records.resize(flat.records.size());
  for (size_t i = 0; i < flat.records.size(); ++i) {
    const FlatRecord& f = flat.records[i];
    Record& r = page.records[i];
    r.bytes.assign(flat.bytes.data() + f.offset, f.size);
    r.key_len = f.key_len;
    r.child = f.child;
  }
  return page;
}

}  // namespace kel
