// Allocation, release, relocation and compaction of page slots.
//
// Region i (1..59) holds pages of exactly i units, packed without holes from
// start[i] to end[i]; regions ascend; free space exists only between
// regions. Every algorithm below keeps that true, moving whole pages through
// the caller's PageMover (which renames the in-memory page and rewrites the
// one reference to it) and never shifting bytes:
//
// - Allocate c slides region c down into the gap below it when that gap can
//   be made by sliding lower regions down (make-gap-after), each region
//   carrying its last page to its front; otherwise it appends at end[c],
//   first pushing higher regions up (make-room-after), each carrying its
//   first page to its end or moving its single page.
// - Free moves the region's last page into the freed slot.
// - Compact closes every gap of at least one page below regions 2..59.
//
// Growth is checked before anything moves: the algorithms are deterministic
// in the region table alone, so Allocate first runs them on a copy of the
// table without moving pages and refuses (-1, nothing changed) when the
// used end would pass the lock area.
#include "storage/container.h"
#include "storage/errors.h"

namespace kel {
namespace {

using Bounds = std::array<uint32_t, kRegionCount>;

// The region algorithms over a start/end table; `mover` null = dry run.
class RegionWalk {
 public:
  RegionWalk(Bounds& start, Bounds& end, PageMover* mover) : start_(start), end_(end), mover_(mover) {}

  bool MakeGapAfter(int r, uint32_t need) {
    if (r == 0) return false;
    uint32_t gap = start_[r + 1] - end_[r];
    if (gap >= need) return true;
    uint32_t ur = uint32_t(r);
    if (!MakeGapAfter(r - 1, ur * ((need - gap + ur - 1) / ur))) return false;
    while (start_[r + 1] - end_[r] < need) {
      Move(end_[r] - ur, start_[r] - ur);
      start_[r] -= ur;
      end_[r] -= ur;
    }
    return true;
  }

  void MakeRoomAfter(int d, uint32_t need) {
    Require(need <= uint32_t(d), container_error::kRoomNeed);
    if (d >= kMaxClass) return;
    uint32_t gap = start_[d + 1] - end_[d];
    if (gap >= need) return;
    int e = d + 1;
    uint32_t ue = uint32_t(e);
    uint32_t size = end_[e] - start_[e];
    uint32_t shift;
    if (size > ue) {
      MakeRoomAfter(e, ue);
      Move(start_[e], end_[e]);
      shift = ue;
    } else {
      shift = need - gap;
      MakeRoomAfter(e, shift);
      if (size != 0) Move(start_[e], start_[e] + shift);
    }
    start_[e] += shift;
    end_[e] += shift;
  }

  int32_t Allocate(int c) {
    uint32_t uc = uint32_t(c);
    if (MakeGapAfter(c - 1, uc)) {
      start_[c] -= uc;
      return int32_t(start_[c]);
    }
    MakeRoomAfter(c, uc);
    uint32_t address = end_[c];
    end_[c] += uc;
    return int32_t(address);
  }

 private:
  void Move(uint32_t from, uint32_t to) {
    if (mover_ != nullptr && from != to) mover_->MovePage(int32_t(from), int32_t(to));
  }

  Bounds& start_;
  Bounds& end_;
  PageMover* mover_;
};

uint64_t UsedEndOf(const Bounds& start, const Bounds& end) {
  for (int k = kMaxClass; k >= 1; --k) {
    if (start[k] != end[k]) return kHeaderSize + uint64_t{kUnit} * end[k];
  }
  return kHeaderSize;
}

// Would allocating class c (after freeing a page of class `freed`, 0 for
// none) keep the page space below the lock area?
bool GrowthFits(const Header& h, int freed, int c) {
  Bounds start = h.start;
  Bounds end = h.end;
  if (freed != 0) end[freed] -= uint32_t(freed);
  RegionWalk(start, end, nullptr).Allocate(c);
  return UsedEndOf(start, end) <= kLockAreaStart;
}

}  // namespace

int Regions::ClassOf(int32_t address) const {
  if (address < 0) return 0;
  uint32_t a = uint32_t(address);
  for (int i = 1; i <= kMaxClass; ++i) {
    if (h_.start[i] <= a && a < h_.end[i]) return i;
  }
  RaiseInternal(container_error::kAddressInNoRegion);
}

int32_t Regions::Allocate(int page_class) {
  Require(page_class >= 1 && page_class <= kMaxClass, container_error::kRoomNeed);
  if (!GrowthFits(h_, 0, page_class)) return -1;
  return RegionWalk(h_.start, h_.end, &mover_).Allocate(page_class);
}

void Regions::Free(int32_t address) {
  int c = ClassOf(address);
  if (c == 0) return;
  uint32_t last = h_.end[c] - uint32_t(c);
  if (last != uint32_t(address)) mover_.MovePage(int32_t(last), address);
  h_.end[c] = last;
}

int32_t Regions::Relocate(int32_t address, int page_class) {
  Require(page_class >= 0 && page_class <= kMaxClass, container_error::kRoomNeed);
  int b = ClassOf(address);
  if (b == page_class) return address;
  if (page_class != 0 && !GrowthFits(h_, b, page_class)) return -1;
  if (b != 0) {
    int32_t temp = mover_.NextTemporaryAddress();
    mover_.MovePage(address, temp);
    Free(address);
    address = temp;
  }
  if (page_class != 0) {
    int32_t slot = RegionWalk(h_.start, h_.end, &mover_).Allocate(page_class);
    mover_.MovePage(address, slot);
    address = slot;
  }
  return address;
}

void Regions::Compact() {
  for (int i = 2; i <= kMaxClass; ++i) {
    uint32_t ui = uint32_t(i);
    uint32_t size = h_.end[i] - h_.start[i];
    if (size > ui) {
      while (h_.start[i] - h_.end[i - 1] >= ui) {
        mover_.MovePage(int32_t(h_.end[i] - ui), int32_t(h_.start[i] - ui));
        h_.start[i] -= ui;
        h_.end[i] -= ui;
      }
    } else {
      if (size != 0 && h_.start[i] != h_.end[i - 1]) {
        mover_.MovePage(int32_t(h_.start[i]), int32_t(h_.end[i - 1]));
      }
      h_.start[i] = h_.end[i - 1];
      h_.end[i] = h_.start[i] + size;
    }
  }
}

}  // namespace kel
