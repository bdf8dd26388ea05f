#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "storage/bytes.h"
#include "storage/container.h"
#include "storage/errors.h"
#include "storage/store_impl.h"

namespace kel {
namespace {

Record Rec(std::string bytes, uint16_t key_len, int32_t child = 0) {
  Record r;
  r.bytes = std::move(bytes);
  r.key_len = key_len;
  r.child = child;
  return r;
}

std::vector<const Record*> Ptrs(const std::vector<Record>& v) {
  std::vector<const Record*> out;
  for (const Record& r : v) out.push_back(&r);
  return out;
}

uint16_t U16(const PageImage& img, size_t off) { return uint16_t(img.bytes[off] | (img.bytes[off + 1] << 8)); }

int CodeOf(const std::function<void()>& f) {
  OperationFrame frame("T");
  try {
    f();
  } catch (const InternalError& e) {
    return e.code();
  }
  return 0;
}

PageImage Build(const std::vector<Record>& recs, uint8_t level) {
  auto ptrs = Ptrs(recs);
  return BuildPageImage(ptrs, level, uint16_t(SizeEstimate(ptrs, level)));
}

void ExpectSameRecords(const ParsedPage& page, const std::vector<Record>& recs, bool children) {
  ASSERT_EQ(page.records.size(), recs.size());
  for (size_t i = 0; i < recs.size(); ++i) {
    EXPECT_EQ(page.records[i].bytes, recs[i].bytes) << i;
    EXPECT_EQ(page.records[i].key_len, recs[i].key_len) << i;
    if (children) {
      EXPECT_EQ(page.records[i].child, recs[i].child) << i;
    }
  }
}

TEST(PageImageTest, SmallLeafByteForByte) {
  std::vector<Record> recs = {Rec("", 0), Rec("abc", 2), Rec("abd", 2), Rec("abde", 2)};
  PageImage img = Build(recs, 0);
  ASSERT_EQ(img.bytes.size(), 256u);
  EXPECT_EQ(img.page_class(), 1);
  uint8_t expect_records[] = {
      0xC0, 0, 0, 0, 0,                    // sentinel: T and K flagged, s = 0
      0xC0, 3, 0, 2, 0, 'a', 'b', 'c',     // T 3, K 2 differ; s capped by T 0
      0x02, 'd',                           // same T and K, shares "ab"
      0x83, 4, 0, 'e',                     // T differs; shares "abd"
  };
  size_t u = 13 + sizeof(expect_records);
  EXPECT_EQ(U16(img, 4), u);  // stored = unpacked
  EXPECT_EQ(U16(img, 6), u);
  EXPECT_EQ(U16(img, 8), 13 + (0 + 5) + (3 + 5) * 2 + (4 + 5));
  EXPECT_EQ(U16(img, 10), 4);
  EXPECT_EQ(img.bytes[12], 0);
  EXPECT_EQ(0, std::memcmp(img.bytes.data() + 13, expect_records, sizeof(expect_records)));
  for (size_t i = u; i < 256; ++i) ASSERT_EQ(img.bytes[i], 0xB0) << i;

  StampImage(img, 3, {});
  EXPECT_EQ(img.bytes[0] | (img.bytes[1] << 8), 512 + 3 * 256);
  ParsedPage page = ParsePageImage(img.bytes.data(), img.bytes.size());
  EXPECT_EQ(page.level, 0);
  EXPECT_EQ(page.estimate, U16(img, 8));
  ExpectSameRecords(page, recs, false);
}

TEST(PageImageTest, SharedPrefixIsCappedAt63) {
  std::string a(80, 'k');
  std::string b = a;
  b[75] = 'x';  // equal in the first 75 content bytes
  std::vector<Record> recs = {Rec(a, 80), Rec(b, 80)};
  PageImage img = Build(recs, 0);
  size_t second = 13 + 5 + 80;
  EXPECT_EQ(img.bytes[second], 63);  // flag: no lengths, s = 63
  EXPECT_EQ(U16(img, 6), second + 1 + (80 - 63));
  ExpectSameRecords(ParsePageImage(img.bytes.data(), img.bytes.size()), recs, false);
}

TEST(PageImageTest, InnerPageTakesChildrenAtStampTime) {
  std::vector<Record> recs = {Rec("", 0, 7), Rec("m", 1, 9), Rec("t", 1, 12)};
  PageImage img = Build(recs, 2);
  EXPECT_EQ(U16(img, 8), 13 + 3 * 4 + 5 + 6 + 6);
  EXPECT_EQ(img.bytes[12], 2);
  // Children moved after the image was built: the stamp writes the new ones.
  StampImage(img, 0, {70, 90, 120});
  recs[0].child = 70;
  recs[1].child = 90;
  recs[2].child = 120;
  ParsedPage page = ParsePageImage(img.bytes.data(), img.bytes.size());
  EXPECT_EQ(page.level, 2);
  ExpectSameRecords(page, recs, true);
  EXPECT_EQ(CodeOf([&] { StampImage(img, 0, {1, 2}); }), 1659);
  EXPECT_EQ(CodeOf([&] { StampImage(img, -4, {1, 2, 3}); }), 1735);
}

// A page of repetitive records compresses when that saves a 256-byte unit.
TEST(PageImageTest, CompressedOnlyWhenAUnitIsSaved) {
  std::vector<Record> big = {Rec("", 0), Rec("K" + std::string(2000, ' '), 1)};
  PageImage img = Build(big, 0);
  EXPECT_LT(U16(img, 4), U16(img, 6));
  EXPECT_EQ(img.bytes.size(), 256u);
  ExpectSameRecords(ParsePageImage(img.bytes.data(), img.bytes.size()), big, false);

  // The same run, but the unpacked page ends just inside its first unit: the
  // compressed form needs a unit too, so the page is stored plain.
  std::vector<Record> small = {Rec("", 0), Rec("K" + std::string(200, ' '), 1)};
  img = Build(small, 0);
  EXPECT_EQ(U16(img, 4), U16(img, 6));
  EXPECT_EQ(img.bytes.size(), 256u);

  // Crossing into a second unit by a few bytes: compression pays again.
  std::vector<Record> edge = {Rec("", 0), Rec("K" + std::string(240, ' '), 1)};
  img = Build(edge, 0);
  EXPECT_LT(U16(img, 4), U16(img, 6));
  EXPECT_EQ(img.bytes.size(), 256u);
  ExpectSameRecords(ParsePageImage(img.bytes.data(), img.bytes.size()), edge, false);
}

TEST(PageImageTest, IncompressiblePageIsStoredPlain) {
  std::string data;
  for (int i = 0; i < 3000; ++i) data.push_back(char('a' + (i * 7) % 26));
  std::vector<Record> recs = {Rec("", 0), Rec(data, 4)};
  PageImage img = Build(recs, 0);
  EXPECT_EQ(U16(img, 4), U16(img, 6));
  EXPECT_EQ(img.bytes.size(), Ceil256(U16(img, 6)));
  ExpectSameRecords(ParsePageImage(img.bytes.data(), img.bytes.size()), recs, false);
}

TEST(PageImageTest, BuildChecksEstimateAndImageLimit) {
  std::vector<Record> recs = {Rec("", 0), Rec("hello", 5)};
  auto ptrs = Ptrs(recs);
  uint16_t est = uint16_t(SizeEstimate(ptrs, 0));
  // The estimate bounds the unpacked length; an estimate too small is 1659.
  EXPECT_EQ(CodeOf([&] { BuildPageImage(ptrs, 0, uint16_t(13 + 5 + 3)); }), 1659);
  EXPECT_EQ(CodeOf([&] { BuildPageImage(ptrs, 0, est); }), 0);
  Record bad = Rec("ab", 3);  // key longer than the record
  EXPECT_EQ(CodeOf([&] { BuildPageImage({&bad}, 0, 100); }), 1659);

  // Incompressible records above 15104 bytes: 1678.
  std::string noise;
  std::mt19937 rng(1);
  for (int i = 0; i < 15200; ++i) noise.push_back(char(rng()));
  std::vector<Record> huge = {Rec(noise, 10)};
  auto hp = Ptrs(huge);
  EXPECT_EQ(CodeOf([&] { BuildPageImage(hp, 0, uint16_t(SizeEstimate(hp, 0))); }), 1678);
  // The same size made of runs compresses below the limit and is fine.
  std::vector<Record> runs = {Rec(std::string(15200, 'r'), 10)};
  auto rp = Ptrs(runs);
  PageImage img = BuildPageImage(rp, 0, uint16_t(SizeEstimate(rp, 0)));
  EXPECT_EQ(img.bytes.size(), 256u);
  ExpectSameRecords(ParsePageImage(img.bytes.data(), img.bytes.size()), runs, false);
}

TEST(PageImageTest, RandomPagesRoundTrip) {
  std::mt19937 rng(7);
  for (int iter = 0; iter < 200; ++iter) {
    std::vector<std::string> keys;
    int n = 1 + int(rng() % 60);
    for (int i = 0; i < n; ++i) {
      std::string k(rng() % 12, 'a');
      for (char& c : k) c = char('a' + rng() % 3);
      keys.push_back(k);
    }
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    uint8_t level = uint8_t(rng() % 3);
    std::vector<Record> recs;
    for (const std::string& k : keys) {
      std::string data = level > 0 ? "" : std::string(rng() % 40, char(rng() % 2 ? ' ' : 'd'));
      recs.push_back(Rec(k + data, uint16_t(k.size()), int32_t(rng() % 1000)));
    }
    PageImage img = Build(recs, level);
    std::vector<int32_t> children;
    for (const Record& r : recs) children.push_back(r.child);
    StampImage(img, int32_t(rng() % 100), children);
    ExpectSameRecords(ParsePageImage(img.bytes.data(), img.bytes.size()), recs, level > 0);
  }
}

// ---- damaged images -------------------------------------------------------

std::vector<uint8_t> RawImage(uint16_t stored, uint16_t unpacked, uint16_t n, uint8_t level,
                              std::vector<uint8_t> body, size_t length = 256) {
  std::vector<uint8_t> img(length, 0xB0);
  img[4] = uint8_t(stored);
  img[5] = uint8_t(stored >> 8);
  img[6] = uint8_t(unpacked);
  img[7] = uint8_t(unpacked >> 8);
  img[8] = 0;
  img[9] = 1;
  img[10] = uint8_t(n);
  img[11] = uint8_t(n >> 8);
  img[12] = level;
  size_t p = 13 + (level > 0 ? 4 * size_t(n) : 0);
  for (size_t i = 0; i < body.size() && p + i < length; ++i) img[p + i] = body[i];
  return img;
}

TEST(PageImageTest, DamagedImagesGiveTheirInternalErrors) {
  struct Case {
    const char* name;
    std::vector<uint8_t> image;
    int code;
  };
  std::vector<Case> cases = {
      {"good", RawImage(13 + 8, 13 + 8, 1, 0, {0xC0, 3, 0, 1, 0, 'a', 'b', 'c'}), 0},
      {"stored length of another class", RawImage(300, 300, 0, 0, {}), 1477},
      {"stored length too small for the class", RawImage(200, 200, 0, 0, {}, 512), 1477},
      {"zero stored length", RawImage(0, 0, 0, 0, {}), 1477},
      {"image not a page size", RawImage(13, 13, 0, 0, {}, 100), 1477},
      {"child pointers beyond the stored bytes", RawImage(100, 100, 30, 1, {}), 1477},
      {"unpacked below the prefix", RawImage(40, 20, 5, 1, {}), 1602},
      {"count above the record bytes", RawImage(20, 20, 40, 0, {0xC0, 0, 0, 0, 0}), 1602},
      {"records end early", RawImage(13 + 9, 13 + 9, 1, 0, {0xC0, 3, 0, 1, 0, 'a', 'b', 'c'}), 1602},
      {"records run past the unpacked length", RawImage(13 + 7, 13 + 7, 1, 0, {0xC0, 3, 0, 1, 0, 'a', 'b', 'c'}), 1602},
      {"length field cut off", RawImage(13 + 2, 13 + 2, 1, 0, {0xC0, 3}), 1602},
      {"key longer than record", RawImage(13 + 6, 13 + 6, 1, 0, {0xC0, 1, 0, 2, 0, 'a'}), 1602},
      {"shared prefix on the first record", RawImage(13 + 6, 13 + 6, 1, 0, {0xC1, 1, 0, 1, 0, 'a'}), 1602},
      {"shared prefix longer than the previous record",
       RawImage(13 + 8, 13 + 8, 2, 0, {0xC0, 1, 0, 1, 0, 'a', 0x82, 3, 0}), 1602},
      {"shared prefix longer than the record",
       RawImage(13 + 10, 13 + 10, 2, 0, {0xC0, 3, 0, 1, 0, 'a', 'b', 'c', 0x84, 2, 0}), 1602},
      {"compressed literals overrun the stored bytes", RawImage(13 + 3, 13 + 40, 1, 0, {30, 0xC0, 0}), 522},
      {"compressed literal count above the unpacked length", RawImage(13 + 3, 13 + 4, 1, 0, {9, 0xC0, 0}), 522},
      {"compressed run above the unpacked length", RawImage(13 + 4, 13 + 8, 1, 0, {1, 0xC0, 50, 0}), 530},
      {"compressed stream ends before the run", RawImage(13 + 2, 13 + 8, 1, 0, {1, 0xC0}), 530},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CodeOf([&] { ParsePageImage(c.image.data(), c.image.size()); }), c.code);
  }
}

}  // namespace
}  // namespace kel

namespace kel {
namespace {

// The fuzz seeds' page images are written by an encoder of their own
// (fuzz/make_container_seeds.py); the builder here must produce the very
// same bytes from the parsed records.
TEST(PageImageTest, BuilderMatchesAnIndependentEncoder) {
  std::filesystem::path dir =
      std::filesystem::path(__FILE__).parent_path() / "../../fuzz/corpus/container_fuzz";
  for (const char* name : {"page_leaf", "page_compressed", "page_shared_prefix", "page_inner"}) {
    SCOPED_TRACE(name);
    std::ifstream in(dir / name, std::ios::binary);
    ASSERT_TRUE(in) << (dir / name);
    std::vector<uint8_t> seed((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(seed.size(), 1u);
    std::vector<uint8_t> image(seed.begin() + 1, seed.end());
    OperationFrame frame("T");
    ParsedPage page = ParsePageImage(image.data(), image.size());
    std::vector<const Record*> ptrs;
    std::vector<int32_t> children;
    for (const Record& r : page.records) {
      ptrs.push_back(&r);
      children.push_back(r.child);
    }
    PageImage built = BuildPageImage(ptrs, page.level, page.estimate);
    uint32_t own = image[0] | (image[1] << 8) | (image[2] << 16) | (uint32_t(image[3]) << 24);
    StampImage(built, int32_t((own - 512) / 256), children);
    EXPECT_EQ(built.bytes, image);
  }
}

// A page parsed for the cache answers its records in their nodes, and
// refuses keys that do not strictly ascend: the check looks only past the
// bytes a record shares with its neighbour, so the cases put the first
// difference before, inside and after the shared prefix, in words of 8
// bytes and in the tail, with bytes above 0x7F, and a key that is a prefix
// of its neighbour.
TEST(PageImageTest, LoadingChecksTheKeyOrderPastTheSharedBytes) {
  const std::string p20(20, 'k');
  struct Case {
    const char* what;
    std::string first, second;  // keys; data "d" follows each
    bool ascending;
  } cases[] = {
      {"differ in the first byte", "a", "b", true},
      {"differ in the first byte, high", "\x7F", "\x80", true},
      {"high before low", "\x80", "\x7F", false},
      {"equal", p20, p20, false},
      {"prefix first", p20, p20 + "x", true},
      {"prefix second", p20 + "x", p20, false},
      {"differ at byte 21 after 20 shared", p20 + "a", p20 + "b", true},
      {"descending at byte 21", p20 + "b", p20 + "a", false},
      {"differ inside a word", "abcdefgh" "ijkA" "zz", "abcdefgh" "ijkB", true},
      {"descending inside a word", "abcdefgh" "ijkB", "abcdefgh" "ijkA" "zz", false},
      {"differ in byte 8 of a word, high", "0123456\x01", "0123456\xF0", true},
      {"a word's first byte outweighs the rest", "\x01" + std::string(8, '\xFF'), "\x02" + std::string(8, '\0'), true},
      {"a word's first byte outweighs the rest, descending", "\x02" + std::string(8, '\0'),
       "\x01" + std::string(8, '\xFF'), false},
  };
  for (const Case& c : cases) {
    std::vector<Record> recs = {Rec(c.first + "d", uint16_t(c.first.size())),
                                Rec(c.second + "d", uint16_t(c.second.size()))};
    PageImage img = Build(recs, 0);
    std::vector<uint8_t> scratch;
    uint8_t level = 9;
    uint16_t estimate = 0;
    PageBlock* block = nullptr;
    int code = CodeOf([&] { block = ParsePageImageToBlock(img.bytes.data(), img.bytes.size(), &level, &estimate, &scratch); });
    if (!c.ascending) {
      EXPECT_EQ(code, kPageOutOfOrder) << c.what;
      continue;
    }
    ASSERT_EQ(code, 0) << c.what;
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(level, 0);
    ASSERT_EQ(block->n, 2u);
    for (uint32_t i = 0; i < 2; ++i) {
      EXPECT_EQ(block->nodes()[i].key(), i == 0 ? c.first : c.second) << c.what;
      EXPECT_EQ(std::string(block->nodes()[i].stored, block->nodes()[i].stored_size), recs[i].bytes) << c.what;
    }
    page_tree::FreeBlock(block);
  }
}

}  // namespace
}  // namespace kel

namespace kel {
namespace {

// Inner pages of random keys (long shared runs past the 63-byte cap, bytes
// above 0x7F, keys that are prefixes of others), some with data behind the
// keys, stamped with random children.
struct InnerPage {
  std::vector<std::string> keys;
  std::vector<int32_t> children;
  PageImage image;
};

InnerPage RandomInnerPage(std::mt19937& rng) {
  InnerPage p;
  const std::string stems[] = {"", std::string(70, 'q'), "\xC0\xC1", "ab"};
  int n = 1 + int(rng() % 120);
  for (int i = 0; i < n; ++i) {
    std::string k = stems[rng() % 4];
    size_t len = rng() % (rng() % 4 == 0 ? 30 : 6);
    for (size_t j = 0; j < len; ++j) k.push_back(char("ab\x7F\x80\xFF"[rng() % 5]));
    p.keys.push_back(k);
  }
  std::sort(p.keys.begin(), p.keys.end(), [](const std::string& a, const std::string& b) { return CompareKeys(a, b) < 0; });
  p.keys.erase(std::unique(p.keys.begin(), p.keys.end()), p.keys.end());
  const bool data = rng() % 4 == 0;
  std::vector<Record> recs;
  for (const std::string& k : p.keys) {
    recs.push_back(Rec(k + (data ? std::string(rng() % 20, 'd') : ""), uint16_t(k.size())));
    p.children.push_back(int32_t(rng() % 100000));
  }
  p.image = Build(recs, uint8_t(1 + rng() % 3));
  StampImage(p.image, int32_t(rng() % 100), p.children);
  return p;
}

TEST(PageImageTest, SearchingAnInnerImageAnswersTheLastSeparatorNotAboveTheKey) {
  std::mt19937 rng(11);
  std::vector<uint8_t> unpacked;
  std::string content;
  for (int iter = 0; iter < 300; ++iter) {
    InnerPage p = RandomInnerPage(rng);
    std::vector<std::string> probes = {"", std::string(200, '\xFF')};
    for (const std::string& k : p.keys) {
      probes.push_back(k);
      probes.push_back(k + '\0');
      probes.push_back(k + "\x80");
      if (!k.empty()) {
        probes.push_back(k.substr(0, k.size() - 1));
        std::string below = k;
        below.back() = char(uint8_t(below.back()) - 1);
        probes.push_back(below);
      }
    }
    for (const std::string& probe : probes) {
      // Reference: the last key not greater than the probe.
      auto it = std::upper_bound(p.keys.begin(), p.keys.end(), probe,
                                 [](const std::string& a, const std::string& b) { return CompareKeys(a, b) < 0; });
      int32_t expect = int32_t(it - p.keys.begin()) - 1;
      PageSearch s;
      ASSERT_EQ(CodeOf([&] { s = SearchPageImage(p.image.bytes.data(), p.image.bytes.size(), probe, &unpacked, &content); }), 0);
      ASSERT_EQ(s.index, expect) << "page " << iter << ", probe of " << probe.size() << " bytes";
      EXPECT_EQ(s.count, p.keys.size());
      EXPECT_EQ(s.level, p.image.bytes[12]);
      if (expect >= 0) {
        EXPECT_EQ(s.child, p.children[size_t(expect)]);
      }
    }
  }
}

// A search of an image fails exactly where a load of it fails: the same
// internal error for the same damage, the key order and negative children
// included. Sound pages, pages with one byte changed anywhere, and pages
// whose keys are out of order.
TEST(PageImageTest, SearchingAnInnerImageFailsWhereLoadingFails) {
  std::mt19937 rng(5);
  std::vector<uint8_t> unpacked;
  std::string content;
  int failures = 0;
  auto compare = [&](const std::vector<uint8_t>& img, const std::string& probe) {
    if (img[12] == 0) return;  // only pages above level 0 are searched
    int load = CodeOf([&] {
      uint8_t level = 0;
      uint16_t estimate = 0;
      PageBlock* b = ParsePageImageToBlock(img.data(), img.size(), &level, &estimate, &unpacked);
      if (b) page_tree::FreeBlock(b);
    });
    int search = CodeOf([&] { SearchPageImage(img.data(), img.size(), probe, &unpacked, &content); });
    EXPECT_EQ(search, load);
    failures += load != 0;
  };
  for (int iter = 0; iter < 400; ++iter) {
    InnerPage p = RandomInnerPage(rng);
    std::vector<uint8_t> img = p.image.bytes;
    const std::string probe = p.keys[rng() % p.keys.size()];
    compare(img, probe);
    img[4 + rng() % (img.size() - 4)] ^= uint8_t(1 + rng() % 255);
    compare(img, probe);
  }
  // Out of order, and a negative child.
  std::vector<Record> recs = {Rec("b", 1), Rec("a", 1)};
  PageImage desc = Build(recs, 1);
  StampImage(desc, 3, {1, 2});
  compare(desc.bytes, "a");
  PageImage negative = Build({Rec("a", 1), Rec("b", 1)}, 1);
  StampImage(negative, 3, {1, -2});
  compare(negative.bytes, "a");
  EXPECT_EQ(CodeOf([&] { SearchPageImage(desc.bytes.data(), desc.bytes.size(), "a", &unpacked, &content); }),
            kPageOutOfOrder);
  EXPECT_GT(failures, 100);
}

// The first key read alone is the first key a full search reads, with the
// same level, estimate and count, on plain and compressed pages; damage to
// the header fails as a load fails, damage behind the first record is left
// to whatever reads the page whole.
TEST(PageImageTest, ReadingOnlyTheFirstKeyAgreesWithTheFullSearch) {
  std::mt19937 rng(17);
  std::vector<uint8_t> unpacked;
  std::string content, first, full_first;
  int compressed = 0;
  for (int iter = 0; iter < 300; ++iter) {
    InnerPage p = RandomInnerPage(rng);
    const std::vector<uint8_t>& img = p.image.bytes;
    compressed += GetLe16(img.data() + 4) < GetLe16(img.data() + 6);
    PageSearch full = SearchPageImage(img.data(), img.size(), {}, &unpacked, &content, nullptr, &full_first);
    PageSearch head = ReadFirstKey(img.data(), img.size(), &unpacked, &first);
    ASSERT_EQ(first, full_first) << iter;
    EXPECT_EQ(head.level, full.level);
    EXPECT_EQ(head.estimate, full.estimate);
    EXPECT_EQ(head.count, full.count);
  }
  EXPECT_GT(compressed, 20);

  PageImage page = Build({Rec(std::string(40, 'k'), 40), Rec(std::string(40, 'k') + "z", 41)}, 0);
  StampImage(page, 0, {});
  std::vector<uint8_t> img = page.bytes;
  img[4] = 0xFF, img[5] = 0x7F;  // stored length beyond the image
  EXPECT_EQ(CodeOf([&] { ReadFirstKey(img.data(), img.size(), &unpacked, &first); }), container_error::kImageLength);
  img = page.bytes;
  img[13] = 0x80 | 0x40, img[14] = 0xFF, img[15] = 0xFF;  // first record longer than the page
  EXPECT_EQ(CodeOf([&] { ReadFirstKey(img.data(), img.size(), &unpacked, &first); }), container_error::kRecordStream);
  img = page.bytes;
  img[6] = 0, img[7] = 0;  // unpacked length below the prefix
  EXPECT_NE(CodeOf([&] { ReadFirstKey(img.data(), img.size(), &unpacked, &first); }), 0);
  PageImage empty = Build({}, 0);
  StampImage(empty, 0, {});
  EXPECT_EQ(ReadFirstKey(empty.bytes.data(), empty.bytes.size(), &unpacked, &first).count, 0u);
  EXPECT_TRUE(first.empty());
}

}  // namespace
}  // namespace kel
