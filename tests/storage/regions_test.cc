#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "storage/container.h"
#include "storage/errors.h"

namespace kel {
namespace {

// Stands in for the record store: knows which page sits at which address,
// checks that every move takes an existing page to a free address, and
// records the moves.
class FakeStore : public PageMover {
 public:
  void MovePage(int32_t from, int32_t to) override {
    ASSERT_NE(from, to);
    ASSERT_TRUE(pages_.count(from)) << "no page at " << from;
    ASSERT_FALSE(pages_.count(to)) << "address " << to << " taken";
    pages_[to] = pages_[from];
    pages_.erase(from);
    moves_.push_back({from, to});
  }
  int32_t NextTemporaryAddress() override { return --temp_; }

  void Put(int32_t address, int page_class) { pages_[address] = {next_id_++, page_class}; }
  void Drop(int32_t address) { pages_.erase(address); }

  struct Page {
    int id;
    int page_class;
  };
  std::map<int32_t, Page> pages_;
  std::vector<std::pair<int32_t, int32_t>> moves_;
  int32_t temp_ = 0;
  int next_id_ = 1;
};

using Moves = std::vector<std::pair<int32_t, int32_t>>;

// Region table from a list of (class, start, page count); the classes not
// listed are empty and sit right after the region below them.
Header Layout(std::initializer_list<std::tuple<int, uint32_t, uint32_t>> regions) {
  Header h = Header::Empty();
  uint32_t last_end = 0;
  auto it = regions.begin();
  for (int i = 1; i <= kMaxClass; ++i) {
    if (it != regions.end() && std::get<0>(*it) == i) {
      h.start[i] = std::get<1>(*it);
      h.end[i] = h.start[i] + uint32_t(i) * std::get<2>(*it);
      ++it;
    } else {
      h.start[i] = h.end[i] = last_end;
    }
    last_end = h.end[i];
  }
  EXPECT_TRUE(h.RegionsWellFormed());
  return h;
}

void Populate(const Header& h, FakeStore& store) {
  for (int i = 1; i <= kMaxClass; ++i) {
    for (uint32_t a = h.start[i]; a < h.end[i]; a += uint32_t(i)) store.Put(int32_t(a), i);
  }
}

// The pages with real addresses are exactly the slots of the region table,
// each in the region of its own class.
void ExpectConsistent(const Header& h, const FakeStore& store) {
  ASSERT_TRUE(h.RegionsWellFormed());
  std::map<int32_t, int> slots;
  for (int i = 1; i <= kMaxClass; ++i) {
    for (uint32_t a = h.start[i]; a < h.end[i]; a += uint32_t(i)) slots[int32_t(a)] = i;
  }
  std::map<int32_t, int> real;
  for (const auto& [a, p] : store.pages_) {
    if (a >= 0) real[a] = p.page_class;
  }
  ASSERT_EQ(real, slots);
}

TEST(RegionsTest, AllocationTakesAGapBelowWithoutMoving) {
  Header h = Layout({{1, 0, 1}, {2, 5, 1}});
  FakeStore store;
  Populate(h, store);
  Regions regions(h, store);
  int32_t a = regions.Allocate(2);
  EXPECT_EQ(a, 3);
  EXPECT_TRUE(store.moves_.empty());
  store.Put(a, 2);
  ExpectConsistent(h, store);
}

TEST(RegionsTest, SlideDownCarriesLowerRegionsDown) {
  Header h = Layout({{1, 0, 1}, {2, 5, 1}, {3, 7, 1}});
  FakeStore store;
  Populate(h, store);
  Regions regions(h, store);
  EXPECT_EQ(regions.Allocate(3), 4);
  EXPECT_EQ(store.moves_, (Moves{{5, 3}, {3, 1}}));
  store.Put(4, 3);
  ExpectConsistent(h, store);
}

TEST(RegionsTest, AppendCarriesHigherRegionsUp) {
  Header h = Layout({{1, 0, 1}, {2, 1, 2}, {3, 5, 2}});
  FakeStore store;
  Populate(h, store);
  Regions regions(h, store);
  EXPECT_EQ(regions.Allocate(1), 1);
  // Region 3 carries its first page to its end, then region 2 does.
  EXPECT_EQ(store.moves_, (Moves{{5, 11}, {1, 5}}));
  store.Put(1, 1);
  ExpectConsistent(h, store);
  EXPECT_EQ(regions.UsedEnd(), 512u + 256u * 14);
}

TEST(RegionsTest, AppendMovesASinglePageOnlyAsFarAsNeeded) {
  // Region 4 holds one page right above region 1: growing region 1 by one
  // unit moves that page up by one unit.
  Header h = Layout({{1, 0, 2}, {4, 2, 1}});
  FakeStore store;
  Populate(h, store);
  Regions regions(h, store);
  EXPECT_EQ(regions.Allocate(1), 2);
  EXPECT_EQ(store.moves_, (Moves{{2, 3}}));
  store.Put(2, 1);
  ExpectConsistent(h, store);
}

TEST(RegionsTest, FreeingTheLastPageMovesNothingOthersMoveOne) {
  Header h = Layout({{2, 0, 3}});
  FakeStore store;
  Populate(h, store);
  Regions regions(h, store);
  store.Drop(4);
  regions.Free(4);
  EXPECT_TRUE(store.moves_.empty());
  ExpectConsistent(h, store);
  store.Drop(0);
  regions.Free(0);
  EXPECT_EQ(store.moves_, (Moves{{2, 0}}));
  ExpectConsistent(h, store);
  regions.Free(-3);  // a temporary address has no slot
  EXPECT_EQ(store.moves_.size(), 1u);
}

TEST(RegionsTest, ClassOfAddresses) {
  Header h = Layout({{1, 0, 2}, {3, 5, 2}});
  FakeStore store;
  Regions regions(h, store);
  EXPECT_EQ(regions.ClassOf(-1), 0);
  EXPECT_EQ(regions.ClassOf(1), 1);
  EXPECT_EQ(regions.ClassOf(5), 3);
  EXPECT_EQ(regions.ClassOf(10), 3);
  OperationFrame frame("T");
  for (int32_t outside : {2, 4, 11, 1000}) {
    try {
      regions.ClassOf(outside);
      ADD_FAILURE() << outside;
    } catch (const InternalError& e) {
      EXPECT_EQ(e.code(), 1735);
    }
  }
  EXPECT_THROW(regions.Allocate(0), InternalError);
  EXPECT_THROW(regions.Allocate(60), InternalError);
}

TEST(RegionsTest, RelocateGoesThroughATemporaryAddress) {
  Header h = Layout({{1, 0, 1}, {2, 1, 2}});
  FakeStore store;
  Populate(h, store);
  Regions regions(h, store);
  // The page at 1 (class 2) grows to class 3.
  int32_t a = regions.Relocate(1, 3);
  // Out to a temporary address, the last page of region 2 into its slot,
  // then appended to (empty) region 3.
  EXPECT_EQ(store.moves_, (Moves{{1, -1}, {3, 1}, {-1, 5}}));
  EXPECT_EQ(a, 5);
  EXPECT_EQ(store.pages_.at(5).page_class, 2);  // the store rebuilt it as class 3
  store.pages_.at(5).page_class = 3;
  ExpectConsistent(h, store);
  // Same class: nothing happens.
  EXPECT_EQ(regions.Relocate(5, 3), 5);
  EXPECT_EQ(store.moves_.size(), 3u);
  // Class 0: the page leaves the page space.
  EXPECT_EQ(regions.Relocate(5, 0), -2);
  store.Drop(-2);
  ExpectConsistent(h, store);
}

TEST(RegionsTest, CompactionLeavesNoFullPageGap) {
  Header h = Layout({{1, 0, 1}, {2, 4, 3}, {3, 13, 1}, {5, 30, 2}, {7, 50, 1}});
  FakeStore store;
  Populate(h, store);
  Regions regions(h, store);
  uint64_t before = regions.UsedEnd();
  regions.Compact();
  ExpectConsistent(h, store);
  for (int i = 2; i <= kMaxClass; ++i) {
    uint32_t size = h.end[i] - h.start[i];
    EXPECT_LT(h.start[i] - h.end[i - 1], uint32_t(i)) << i;
    if (size <= uint32_t(i)) {
      EXPECT_EQ(h.start[i], h.end[i - 1]) << i;
    }
  }
  EXPECT_EQ(h.start[1], 0u);
  EXPECT_LT(regions.UsedEnd(), before);
  // Region 2 keeps a 1-unit gap below, region 5 a 4-unit gap.
  EXPECT_EQ(h.start[2], 2u);
  EXPECT_EQ(h.start[5], 15u);
  EXPECT_EQ(regions.UsedEnd(), 512u + 256u * 32);
}

// Random allocations, frees, relocations and compactions keep the store's
// pages and the region table in step, and every move legal.
TEST(RegionsTest, RandomOperationsKeepPagesAndTableInStep) {
  std::mt19937 rng(2024);
  for (int round = 0; round < 20; ++round) {
    Header h = Header::Empty();
    FakeStore store;
    Regions regions(h, store);
    for (int step = 0; step < 400; ++step) {
      std::vector<int32_t> real;
      for (const auto& [a, p] : store.pages_) {
        if (a >= 0) real.push_back(a);
      }
      int op = int(rng() % 10);
      if (op < 4 || real.empty()) {
        int limit = rng() % 2 ? 6 : 59;
        int c = 1 + int(rng() % limit);
        int32_t a = regions.Allocate(c);
        ASSERT_GE(a, 0);
        store.Put(a, c);
      } else if (op < 6) {
        int32_t a = real[rng() % real.size()];
        store.Drop(a);
        regions.Free(a);
      } else if (op < 9) {
        int32_t a = real[rng() % real.size()];
        int c = int(rng() % 12);
        int32_t now = regions.Relocate(a, c);
        ASSERT_TRUE(c == 0 ? now < 0 : now >= 0) << now;
        store.pages_.at(now).page_class = c;
        if (now < 0) store.Drop(now);
      } else {
        regions.Compact();
      }
      ExpectConsistent(h, store);
      if (HasFatalFailure()) return;
    }
  }
}

// Growth that would reach the lock area is refused before anything moves.
TEST(RegionsTest, GrowthIntoTheLockAreaIsRefusedUnchanged) {
  // The page space is full up to the lock area: region 1 up to one class-59
  // page, which ends exactly where the lock area begins.
  Header h = Layout({{1, 0, kMaxUnits - 59}, {59, kMaxUnits - 59, 1}});
  EXPECT_EQ(h.UsedEnd(), kLockAreaStart);
  FakeStore store;  // no page may move, so none needs to exist
  Regions regions(h, store);
  Header before = h;
  EXPECT_EQ(regions.Allocate(59), -1);
  EXPECT_EQ(regions.Allocate(1), -1);
  EXPECT_EQ(regions.Allocate(30), -1);
  EXPECT_EQ(regions.Relocate(5, 59), -1);  // freeing one unit is not enough
  EXPECT_EQ(regions.Relocate(5, 2), -1);
  EXPECT_TRUE(store.moves_.empty());
  EXPECT_EQ(h.start, before.start);
  EXPECT_EQ(h.end, before.end);

  // With a page's worth of gap below region 59, the same allocations fit
  // without reaching the lock area.
  h = Layout({{1, 0, kMaxUnits - 118}, {59, kMaxUnits - 59, 1}});
  EXPECT_EQ(regions.Allocate(59), int32_t(kMaxUnits - 118));  // slides into the gap
  EXPECT_TRUE(store.moves_.empty());
  EXPECT_EQ(h.UsedEnd(), kLockAreaStart);
  EXPECT_EQ(regions.Allocate(1), -1);
  h = Layout({{1, 0, kMaxUnits - 118}, {59, kMaxUnits - 59, 1}});
  EXPECT_EQ(regions.Allocate(1), int32_t(kMaxUnits - 118));  // pushes empty regions up
  EXPECT_EQ(regions.Allocate(59), -1);  // 58 units of gap are one short
  EXPECT_TRUE(store.moves_.empty());
}

}  // namespace
}  // namespace kel
