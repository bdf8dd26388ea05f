// Feeds arbitrary bytes to the container's parsers. The first byte picks the
// target, the rest is its input:
//   0  file header: decode; a header that decodes has its region table
//      exercised (allocate, free, relocate, compact), which must keep it
//      well formed and below the lock area
//   1  page image: parse (padded to whole 256-byte units); a page that
//      parses is built again and must parse back to the same records
//   2  run-length stream: decompress to the length in the next two bytes
//   3  compression round trip
// Every damaged input must end in an internal error, never in a crash, an
// out-of-bounds access or an endless loop.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "storage/container.h"
#include "storage/store_impl.h"
#include "storage/errors.h"

namespace {

using namespace kel;

void Check(bool ok) {
  if (!ok) std::abort();
}

// Moves nothing; counts moves and hands out temporary addresses.
class NullMover : public PageMover {
 public:
  void MovePage(int32_t from, int32_t to) override {
    Check(from != to);
    ++moves;
  }
  int32_t NextTemporaryAddress() override { return --temp; }
  int64_t moves = 0;
  int32_t temp = 0;
};

void FuzzHeader(const uint8_t* data, size_t size) {
  if (size < kHeaderSize) return;
  Header h;
  if (!Header::Decode(data, &h)) return;
  uint8_t again[kHeaderSize];
  h.Encode(again);
  Check(std::memcmp(again + 32, data + 32, kHeaderSize - 32) == 0);
  NullMover mover;
  Regions regions(h, mover);
  const uint8_t* ops = data + kHeaderSize;
  size_t n = size - kHeaderSize;
  for (size_t i = 0; i + 1 < n && i < 64; i += 2) {
    int c = ops[i + 1] % 60;
    switch (ops[i] % 4) {
      case 0:
        if (c > 0) regions.Allocate(c);
        break;
      case 1: {
        // Free the first page of the class, when it has one.
        if (c > 0 && h.start[c] != h.end[c]) regions.Free(int32_t(h.start[c]));
        break;
      }
      case 2:
        if (c > 0 && h.start[c] != h.end[c]) regions.Relocate(int32_t(h.start[c]), (ops[i] >> 2) % 60);
        break;
      case 3:
        regions.Compact();
        break;
    }
    Check(h.RegionsWellFormed());
    Check(regions.UsedEnd() <= kLockAreaStart);
  }
}

void FuzzPage(const uint8_t* data, size_t size) {
  if (size > kMaxImage) size = kMaxImage;
  std::vector<uint8_t> image(data, data + size);
  image.resize(Ceil256(size), kFiller);
  if (image.empty()) return;
  // The first key read alone (as a page that is only moved is read) never
  // fails where the whole parse succeeds, and agrees with it.
  std::vector<uint8_t> scratch;
  std::string first;
  PageSearch head;
  bool head_read = true;
  try {
    head = ReadFirstKey(image.data(), image.size(), &scratch, &first);
  } catch (const InternalError&) {
    head_read = false;
  }
  ParsedPage page = ParsePageImage(image.data(), image.size());
  Check(head_read && head.count == page.records.size() && head.level == page.level);
  Check(page.records.empty() ? first.empty() : first == page.records[0].key());
  std::vector<const Record*> ptrs;
  for (const Record& r : page.records) ptrs.push_back(&r);
  uint32_t estimate = SizeEstimate(ptrs, page.level);
  if (estimate > 0xFFFF) return;
  PageImage built = BuildPageImage(ptrs, page.level, uint16_t(estimate));
  std::vector<int32_t> children;
  for (const Record& r : page.records) children.push_back(r.child);
  StampImage(built, 1, children);
  ParsedPage back = ParsePageImage(built.bytes.data(), built.bytes.size());
  Check(back.level == page.level && back.records.size() == page.records.size());
  for (size_t i = 0; i < page.records.size(); ++i) {
    Check(back.records[i].bytes == page.records[i].bytes);
    Check(back.records[i].key_len == page.records[i].key_len);
    Check(page.level == 0 || back.records[i].child == page.records[i].child);
  }
}

void FuzzDecompress(const uint8_t* data, size_t size) {
  if (size < 2) return;
  size_t out_len = size_t(data[0]) | (size_t(data[1]) << 8);
  std::vector<uint8_t> out(out_len);
  Decompress(data + 2, size - 2, out.data(), out.size());
  // A stream that decompresses whole gives the same first bytes when
  // stopped early.
  const size_t stop = out_len == 0 ? 0 : size_t(data[2 % size]) * out_len / 255;
  std::vector<uint8_t> part(out_len);
  Decompress(data + 2, size - 2, part.data(), part.size(), stop);
  Check(stop == 0 || std::memcmp(part.data(), out.data(), stop) == 0);
}

void FuzzCompress(const uint8_t* data, size_t size) {
  std::vector<uint8_t> packed;
  if (!Compress(data, size, &packed)) return;
  std::vector<uint8_t> back(size);
  Decompress(packed.data(), packed.size(), back.data(), back.size());
  Check(std::memcmp(back.data(), data, size) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  kel::OperationFrame frame("FUZZ");
  try {
    switch (data[0] % 4) {
      case 0: FuzzHeader(data + 1, size - 1); break;
      case 1: FuzzPage(data + 1, size - 1); break;
      case 2: FuzzDecompress(data + 1, size - 1); break;
      case 3: FuzzCompress(data + 1, size - 1); break;
    }
  } catch (const kel::InternalError&) {
    // A damaged input, reported as it should be.
  }
  return 0;
}
