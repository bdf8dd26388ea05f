// The 512-byte file header (layout in container.h).
//
// A header loaded from disk is trusted only when its region table is well
// formed: region 0 empty, every region's size a whole number of its pages,
// regions in ascending order without overlap, and nothing at or beyond the
// lock area. The region algorithms rely on exactly these properties; a
// header without them is not a table file (36), never a source of wild
// page moves.
#include <cstring>

#include "storage/bytes.h"
#include "storage/container.h"

namespace kel {
namespace {
constexpr uint8_t kSignature[4] = {'k', 'E', 'l', 'S'};
}

bool Header::SignatureValid() const { return std::memcmp(signature.data(), kSignature, 4) == 0; }
void Header::SetSignature() { std::memcpy(signature.data(), kSignature, 4); }
void Header::ClearSignature() { signature.fill(0); }

Header Header::Empty() {
  Header h;
  h.header_length = kHeaderSize;
  h.SetSignature();
  return h;
}

void Header::Encode(uint8_t out[kHeaderSize]) const {
  std::memset(out, 0, kHeaderSize);
  PutLe32(out + 0, own_position);
  PutLe16(out + 4, header_length);
  PutLe32(out + 6, log_start);
  PutLe32(out + 10, log_end);
  std::memcpy(out + 14, signature.data(), 4);
  PutBe32(out + 20, last_number);
  PutLe32(out + 24, change_count);
  PutLe32(out + 28, uint32_t(root));
  for (int i = 0; i < kRegionCount; ++i) {
    PutLe32(out + 32 + 4 * i, start[i]);
    PutLe32(out + 272 + 4 * i, end[i]);
  }
}

bool Header::Decode(const uint8_t in[kHeaderSize], Header* out) {
  Header& h = *out;
  h.own_position = GetLe32(in + 0);
  h.header_length = GetLe16(in + 4);
  h.log_start = GetLe32(in + 6);
  h.log_end = GetLe32(in + 10);
  std::memcpy(h.signature.data(), in + 14, 4);
  h.last_number = GetBe32(in + 20);
  h.change_count = GetLe32(in + 24);
  h.root = int32_t(GetLe32(in + 28));
  for (int i = 0; i < kRegionCount; ++i) {
    h.start[i] = GetLe32(in + 32 + 4 * i);
    h.end[i] = GetLe32(in + 272 + 4 * i);
  }
  return h.SignatureValid() && h.RegionsWellFormed();
}

bool Header::RegionsWellFormed() const {
  if (start[0] != 0 || end[0] != 0) return false;
  for (int i = 1; i <= kMaxClass; ++i) {
    if (start[i] > end[i]) return false;
    if ((end[i] - start[i]) % uint32_t(i) != 0) return false;
    if (end[i - 1] > start[i]) return false;
  }
  return end[kMaxClass] <= kMaxUnits;
}

uint64_t Header::UsedEnd() const {
  for (int k = kMaxClass; k >= 1; --k) {
    if (start[k] != end[k]) return kHeaderSize + uint64_t{kUnit} * end[k];
  }
  return kHeaderSize;
}

}  // namespace kel
