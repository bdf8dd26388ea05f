// Lock area, access locks and share modes, checked across real processes
// (fork) and across separate opens within one process.
#include "storage/lock_area.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/file.h"
#include "platform/ofd_lock.h"
#include "storage/support/process.h"

namespace kel {
namespace {

using platform::LockType;
using test::ChildProcess;
using test::Pipe;
namespace om = open_mode;
namespace ll = lock_layout;

constexpr int kViolation = platform::kLockViolation;

class LockAreaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.File("T.KST");
    std::unique_ptr<platform::File> f;
    ASSERT_EQ(OpenTableFile(path_, om::kReadWrite | om::kDenyNone | om::kCreate, &f), 0);
  }

  std::unique_ptr<platform::File> Open(int mode) {
    std::unique_ptr<platform::File> f;
    EXPECT_EQ(OpenTableFile(path_, mode, &f), 0) << "mode " << std::hex << mode;
    return f;
  }

  // A descriptor of its own that takes no part in the share protocol, used
  // to look at the locks from outside.
  std::unique_ptr<platform::File> Probe() {
    std::unique_ptr<platform::File> f;
    platform::File::OpenOptions o;
    EXPECT_EQ(platform::File::Open(path_, o, &f), 0);
    return f;
  }

  // True when some other description holds a lock on [offset, offset+len)
  // that an exclusive lock would conflict with.
  static bool LockedElsewhere(const platform::File& probe, uint64_t offset, uint64_t len = 1) {
    bool conflict = false;
    EXPECT_EQ(platform::TestLockRange(probe.fd(), offset, len, LockType::kExclusive, &conflict), 0);
    return conflict;
  }
  // True when some other description holds an exclusive lock there.
  static bool ExclusiveElsewhere(const platform::File& probe, uint64_t offset, uint64_t len = 1) {
    bool conflict = false;
    EXPECT_EQ(platform::TestLockRange(probe.fd(), offset, len, LockType::kShared, &conflict), 0);
    return conflict;
  }

  test::TempDir dir_;
  std::string path_;
};

// ---- the raw primitive -------------------------------------------------------

TEST_F(LockAreaTest, OfdLocksSeparateDescriptionsAndReachBeyond4G) {
  auto a = Probe();
  auto b = Probe();
  const uint64_t far = ll::HoldOffset(0xFFFFFFF0u);  // above 2^32
  ASSERT_GT(far, uint64_t(1) << 32);
  EXPECT_EQ(platform::TryLockRange(a->fd(), far, 1, LockType::kExclusive), 0);
  EXPECT_EQ(platform::TryLockRange(b->fd(), far, 1, LockType::kShared), kViolation);
  // The same offset modulo 2^32 is a different byte.
  EXPECT_EQ(platform::TryLockRange(b->fd(), far & 0xFFFFFFFFu, 1, LockType::kExclusive), 0);
  EXPECT_TRUE(LockedElsewhere(*b, far));
  platform::UnlockRange(a->fd(), far, 1);
  EXPECT_FALSE(LockedElsewhere(*b, far));

  // Shared locks coexist; an exclusive one through a read-only descriptor
  // is refused by the system, not reported as a conflict.
  EXPECT_EQ(platform::TryLockRange(a->fd(), 100, 1, LockType::kShared), 0);
  EXPECT_EQ(platform::TryLockRange(b->fd(), 100, 1, LockType::kShared), 0);
  std::unique_ptr<platform::File> ro;
  platform::File::OpenOptions o;
  o.access = platform::File::Access::kRead;
  ASSERT_EQ(platform::File::Open(path_, o, &ro), 0);
  int rc = platform::TryLockRange(ro->fd(), 200, 1, LockType::kExclusive);
  EXPECT_NE(rc, 0);
  EXPECT_NE(rc, kViolation);
}

// ---- open modes and share emulation -----------------------------------------

TEST(SharingClassTest, FromShareBits) {
  struct Case {
    int mode;
    SharingClass expected;
  } cases[] = {
      {om::kCompat, SharingClass::kShared},        {om::kDenyNone, SharingClass::kShared},
      {om::kDenyWrite, SharingClass::kDenyWrite},  {om::kDenyAll, SharingClass::kExclusive},
      {om::kDenyRead, SharingClass::kExclusive},   {0x50, SharingClass::kExclusive},
      {0x60, SharingClass::kDenyWrite},            {om::kReadWrite | om::kDenyNone | om::kCreate, SharingClass::kShared},
  };
  for (const Case& c : cases) EXPECT_EQ(SharingClassOf(c.mode), c.expected) << std::hex << c.mode;
}

struct ShareCase {
  const char* name;
  int first;
  int second;
  int expected;
};

void PrintTo(const ShareCase& c, std::ostream* os) { *os << c.name; }

constexpr int RO = om::kReadOnly;
constexpr int RW = om::kReadWrite;

const ShareCase kShareCases[] = {
    {"deny-write lets others read", RW | om::kDenyWrite, RO | om::kDenyNone, 0},
    {"deny-write refuses a writer", RW | om::kDenyWrite, RW | om::kDenyNone, 5},
    {"read-only deny-write refuses a writer", RO | om::kDenyWrite, RW | om::kCompat, 5},
    {"two deny-write readers", RO | om::kDenyWrite, RO | om::kDenyWrite, 0},
    {"deny-write refused while another writes", RW | om::kDenyNone, RO | om::kDenyWrite, 5},
    {"deny-all refuses a reader", RW | om::kDenyAll, RO | om::kDenyNone, 5},
    {"deny-all refuses a writer", RO | om::kDenyAll, RW | om::kDenyNone, 5},
    {"deny-read refuses a reader", RO | om::kDenyRead, RO | om::kDenyNone, 5},
    {"deny-all refused while another reads", RO | om::kDenyNone, RW | om::kDenyAll, 5},
    {"deny-read refused while another reads", RO | om::kCompat, RO | om::kDenyRead, 5},
    {"share bits 0x50 deny everything", RW | 0x50, RO | om::kDenyNone, 5},
    {"share bits 0x60 deny writing", RO | 0x60, RW | om::kDenyNone, 5},
    {"shared writers", RW | om::kDenyNone, RW | om::kCompat, 0},
    {"access bits 3 mean read and write", 3 | om::kDenyNone, RO | om::kDenyWrite, 5},
    {"write-only refused whatever the others do", RO | om::kDenyNone, om::kWriteOnly | om::kDenyNone, 5},
    {"truncation refused by a deny-write holder", RO | om::kDenyWrite, RW | om::kTruncate, 5},
    {"truncation needs write access", RO | om::kDenyNone, RO | om::kTruncate, 5},
};

class ShareModeTest : public LockAreaTest, public ::testing::WithParamInterface<ShareCase> {};

TEST_P(ShareModeTest, SecondOpenInSameProcess) {
  const ShareCase& c = GetParam();
  {
    auto f = Open(RW | om::kDenyNone);
    size_t written = 0;
    ASSERT_EQ(f->WriteAt(0, "data", 4, &written), 0);
  }

  auto first = Open(c.first);
  ASSERT_TRUE(first);
  std::unique_ptr<platform::File> second;
  EXPECT_EQ(OpenTableFile(path_, c.second, &second), c.expected) << c.name;
  EXPECT_EQ(second != nullptr, c.expected == 0);
  // A refused open changes nothing: no truncation, no leftover announcement.
  uint64_t size = 0;
  ASSERT_EQ(first->Size(&size), 0);
  EXPECT_EQ(size, 4u);
  second.reset();
  first.reset();
  // Once the first is closed its denials are gone (write-only stays refused).
  const bool never = (c.second & om::kAccessMask) == om::kWriteOnly ||
                     (c.second & (om::kTruncate | om::kAccessMask)) == om::kTruncate;
  EXPECT_EQ(OpenTableFile(path_, c.second, &second), never ? 5 : 0) << c.name;
}

TEST_P(ShareModeTest, SecondOpenInAnotherProcess) {
  const ShareCase& c = GetParam();
  auto first = Open(c.first);
  ASSERT_TRUE(first);
  Pipe result;
  auto child = ChildProcess::Start([&] {
    std::unique_ptr<platform::File> second;
    result.SendInt(OpenTableFile(path_, c.second, &second));
    return 0;
  });
  int32_t rc = -1;
  ASSERT_TRUE(result.ReceiveInt(&rc));
  EXPECT_EQ(rc, c.expected) << c.name;
  EXPECT_EQ(child.Wait(), 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, ShareModeTest, ::testing::ValuesIn(kShareCases),
                         [](const ::testing::TestParamInfo<ShareCase>& info) { return std::to_string(info.index); });

TEST_F(LockAreaTest, WriteOnlyOpenCreatesNothing) {
  std::unique_ptr<platform::File> f;
  const std::string other = dir_.File("NEW.KST");
  EXPECT_EQ(OpenTableFile(other, om::kWriteOnly | om::kCreate, &f), 5);
  platform::FileId id;
  EXPECT_EQ(platform::IdentifyFile(other, &id), 2);
  EXPECT_EQ(OpenTableFile(dir_.File("MISSING.KST"), RO, &f), 2);
}

TEST_F(LockAreaTest, TruncateAfterShareCheck) {
  {
    auto f = Open(RW | om::kDenyNone);
    size_t written = 0;
    ASSERT_EQ(f->WriteAt(0, "abcdef", 6, &written), 0);
  }
  auto f = Open(RW | om::kDenyNone | om::kTruncate);
  uint64_t size = 1;
  ASSERT_EQ(f->Size(&size), 0);
  EXPECT_EQ(size, 0u);
}

TEST_F(LockAreaTest, DeniesVanishWhenTheHolderDies) {
  Pipe ready;
  auto child = ChildProcess::Start([&] {
    std::unique_ptr<platform::File> f;
    if (OpenTableFile(path_, RW | om::kDenyAll, &f) != 0) return 1;
    ready.Send('O');
    for (;;) pause();
  });
  ASSERT_EQ(ready.Receive(), 'O');
  std::unique_ptr<platform::File> f;
  EXPECT_EQ(OpenTableFile(path_, RO | om::kDenyNone, &f), 5);
  child.Kill();
  EXPECT_EQ(OpenTableFile(path_, RW | om::kDenyAll, &f), 0);
}

// Many processes open at once with modes that exclude each other pairwise
// (deny-all) through read-only and writable descriptors: never two of them
// hold the file at the same moment.
TEST_F(LockAreaTest, SimultaneousExclusiveOpensNeverOverlap) {
  constexpr int kChildren = 4;
  constexpr int kRounds = 400;
  struct Shared {
    std::atomic<int> inside;
    std::atomic<int> overlaps;
    std::atomic<int> wins;
  };
  void* mem = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mem, MAP_FAILED);
  Shared* shared = new (mem) Shared{};
  Pipe go;
  std::vector<ChildProcess> children;
  for (int i = 0; i < kChildren; ++i) {
    children.push_back(ChildProcess::Start([&, i] {
      if (go.Receive() != 'G') return 3;
      for (int r = 0; r < kRounds; ++r) {
        std::unique_ptr<platform::File> f;
        int rc = OpenTableFile(path_, (i % 2 == 0 ? RO : RW) | om::kDenyAll, &f);
        if (rc == 5) continue;
        if (rc != 0) return 4;
        if (shared->inside.fetch_add(1) != 0) shared->overlaps.fetch_add(1);
        shared->wins.fetch_add(1);
        sched_yield();
        shared->inside.fetch_sub(1);
      }
      return 0;
    }));
  }
  for (int i = 0; i < kChildren; ++i) go.Send('G');
  for (auto& c : children) EXPECT_EQ(c.Wait(20000), 0);
  EXPECT_EQ(shared->overlaps.load(), 0);
  EXPECT_GT(shared->wins.load(), 0);
  munmap(mem, sizeof(Shared));
}

// ---- access locks ------------------------------------------------------------

TEST_F(LockAreaTest, ReadersOfTwoProcessesProceedSideBySide) {
  auto f = Open(RW | om::kDenyNone);
  LockArea area(f.get(), SharingClass::kShared);
  ASSERT_EQ(area.LockAccess(true), 0);
  const int my_slot = area.reader_slot();

  Pipe to_parent, to_child;
  auto child = ChildProcess::Start([&] {
    std::unique_ptr<platform::File> g;
    if (OpenTableFile(path_, RO | om::kDenyNone, &g) != 0) return 1;
    LockArea other(g.get(), SharingClass::kShared);
    if (other.LockAccess(true) != 0) return 2;  // would wait forever if readers blocked each other
    to_parent.SendInt(other.reader_slot());
    if (to_child.Receive() != 'E') return 3;
    other.UnlockAccess();
    return 0;
  });
  int32_t child_slot = -1;
  ASSERT_TRUE(to_parent.ReceiveInt(&child_slot));
  auto probe = Probe();
  EXPECT_TRUE(LockedElsewhere(*probe, ll::SlotOffset(my_slot)));
  EXPECT_TRUE(LockedElsewhere(*probe, ll::SlotOffset(child_slot)));
  // Readers hold their slots shared: they exclude only a commit.
  EXPECT_FALSE(ExclusiveElsewhere(*probe, ll::kAreaStart, ll::kReaderSlots));
  EXPECT_TRUE(LockedElsewhere(*probe, ll::kAreaStart, ll::kReaderSlots));
  to_child.Send('E');
  EXPECT_EQ(child.Wait(), 0);
  area.UnlockAccess();
  EXPECT_FALSE(LockedElsewhere(*probe, ll::kAreaStart, ll::kReaderSlots));
}

TEST_F(LockAreaTest, ReaderMovesOnFromSlotsLockedByAnotherProcess) {
  auto f = Open(RO | om::kDenyNone);
  LockArea area(f.get(), SharingClass::kShared);
  const int start = area.reader_slot();
  ASSERT_GE(start, 0);
  ASSERT_LT(start, 1023);
  const int next = (start + 1) % 1023;
  const int after = (start + 2) % 1023;

  Pipe ready, done;
  auto child = ChildProcess::Start([&] {
    std::unique_ptr<platform::File> g;
    if (OpenTableFile(path_, RW | om::kDenyNone, &g) != 0) return 1;
    if (platform::TryLockRange(g->fd(), ll::SlotOffset(start), 1, LockType::kExclusive) != 0) return 2;
    if (platform::TryLockRange(g->fd(), ll::SlotOffset(next), 1, LockType::kExclusive) != 0) return 3;
    ready.Send('L');
    return done.Receive() == 'D' ? 0 : 4;
  });
  ASSERT_EQ(ready.Receive(), 'L');
  ASSERT_EQ(area.LockAccess(true), 0);
  EXPECT_EQ(area.reader_slot(), after);
  auto probe = Probe();
  EXPECT_TRUE(LockedElsewhere(*probe, ll::SlotOffset(after)));
  area.UnlockAccess();
  EXPECT_FALSE(LockedElsewhere(*probe, ll::SlotOffset(after)));
  // The slot number stays where it moved to.
  ASSERT_EQ(area.LockAccess(true), 0);
  EXPECT_EQ(area.reader_slot(), after);
  area.UnlockAccess();
  done.Send('D');
  EXPECT_EQ(child.Wait(), 0);
}

TEST_F(LockAreaTest, CommitWaitsForReaderAndReaderWaitsForCommit) {
  Pipe reader_in, reader_go, committer_in, committer_go, reader2_in;
  // Reader: inside an access until told to leave.
  auto reader = ChildProcess::Start([&] {
    std::unique_ptr<platform::File> g;
    if (OpenTableFile(path_, RO | om::kDenyNone, &g) != 0) return 1;
    LockArea a(g.get(), SharingClass::kShared);
    if (a.LockAccess(true) != 0) return 2;
    reader_in.Send('R');
    if (reader_go.Receive() != 'L') return 3;
    a.UnlockAccess();
    return 0;
  });
  ASSERT_EQ(reader_in.Receive(), 'R');

  // Committer: a writer that commits; it must wait for the reader.
  auto committer = ChildProcess::Start([&] {
    std::unique_ptr<platform::File> g;
    if (OpenTableFile(path_, RW | om::kDenyNone, &g) != 0) return 1;
    LockArea a(g.get(), SharingClass::kShared);
    if (a.LockAccess(false) != 0) return 2;
    committer_in.Send('W');
    if (a.LockCommit() != 0) return 3;
    committer_in.Send('C');
    if (committer_go.Receive() != 'U') return 4;
    a.UnlockCommit();
    a.UnlockAccess();
    return 0;
  });
  ASSERT_EQ(committer_in.Receive(), 'W');
  EXPECT_EQ(committer_in.Receive(150), -1) << "commit lock granted while a reader was inside";
  reader_go.Send('L');
  EXPECT_EQ(reader.Wait(), 0);
  ASSERT_EQ(committer_in.Receive(), 'C');

  // While the commit runs, a new reader waits.
  auto reader2 = ChildProcess::Start([&] {
    std::unique_ptr<platform::File> g;
    if (OpenTableFile(path_, RO | om::kDenyNone, &g) != 0) return 1;
    LockArea a(g.get(), SharingClass::kShared);
    reader2_in.Send('S');
    if (a.LockAccess(true) != 0) return 2;
    reader2_in.Send('R');
    a.UnlockAccess();
    return 0;
  });
  ASSERT_EQ(reader2_in.Receive(), 'S');
  EXPECT_EQ(reader2_in.Receive(150), -1) << "reader got in during a commit";
  auto probe = Probe();
  EXPECT_TRUE(ExclusiveElsewhere(*probe, ll::kAreaStart, ll::kReaderSlots));
  committer_go.Send('U');
  EXPECT_EQ(reader2_in.Receive(), 'R');
  EXPECT_EQ(committer.Wait(), 0);
  EXPECT_EQ(reader2.Wait(), 0);
}

TEST_F(LockAreaTest, OneWriterAtATime) {
  Pipe in, go;
  auto child = ChildProcess::Start([&] {
    std::unique_ptr<platform::File> g;
    if (OpenTableFile(path_, RW | om::kDenyNone, &g) != 0) return 1;
    LockArea a(g.get(), SharingClass::kShared);
    if (a.LockAccess(false) != 0) return 2;
    in.Send('W');
    if (go.Receive() != 'G') return 3;
    a.UnlockAccess();
    return 0;
  });
  ASSERT_EQ(in.Receive(), 'W');
  auto f = Open(RW | om::kDenyNone);
  LockArea area(f.get(), SharingClass::kShared);
  // Writers do not block readers ...
  ASSERT_EQ(area.LockAccess(true), 0);
  area.UnlockAccess();
  // ... but do block each other.
  std::atomic<bool> got{false};
  std::thread writer([&] {
    area.LockAccess(false);
    got = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(got.load());
  go.Send('G');
  writer.join();
  EXPECT_TRUE(got.load());
  EXPECT_EQ(child.Wait(), 0);
  area.UnlockAccess();
}

// A waiting process must yield the processor, not spin on it.
TEST_F(LockAreaTest, WaitingDoesNotBurnTheProcessor) {
  auto f = Open(RW | om::kDenyNone);
  LockArea area(f.get(), SharingClass::kShared);
  ASSERT_EQ(area.LockCommit(), 0);
  Pipe in, report;
  auto child = ChildProcess::Start([&] {
    std::unique_ptr<platform::File> g;
    if (OpenTableFile(path_, RO | om::kDenyNone, &g) != 0) return 1;
    LockArea a(g.get(), SharingClass::kShared);
    timespec c0{}, c1{}, w0{}, w1{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &c0);
    clock_gettime(CLOCK_MONOTONIC, &w0);
    in.Send('S');
    if (a.LockAccess(true) != 0) return 2;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &c1);
    clock_gettime(CLOCK_MONOTONIC, &w1);
    auto ms = [](const timespec& a, const timespec& b) {
      return int32_t((b.tv_sec - a.tv_sec) * 1000 + (b.tv_nsec - a.tv_nsec) / 1000000);
    };
    report.SendInt(ms(c0, c1));
    report.SendInt(ms(w0, w1));
    return 0;
  });
  ASSERT_EQ(in.Receive(), 'S');
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  area.UnlockCommit();
  int32_t cpu_ms = -1, wall_ms = -1;
  ASSERT_TRUE(report.ReceiveInt(&cpu_ms));
  ASSERT_TRUE(report.ReceiveInt(&wall_ms));
  EXPECT_GE(wall_ms, 200);
  EXPECT_LT(cpu_ms, wall_ms / 4) << "cpu " << cpu_ms << " ms over " << wall_ms << " ms of waiting";
  EXPECT_EQ(child.Wait(), 0);
}

// ---- sharing classes ---------------------------------------------------------

TEST_F(LockAreaTest, DenyWriteTakesCommitLockButNoAccessLocks) {
  auto f = Open(RW | om::kDenyWrite);
  LockArea area(f.get(), SharingClass::kDenyWrite);
  auto probe = Probe();
  ASSERT_EQ(area.LockAccess(true), 0);
  EXPECT_FALSE(area.access_locked());
  ASSERT_EQ(area.LockAccess(false), 0);
  EXPECT_FALSE(LockedElsewhere(*probe, ll::kAreaStart, ll::kReaderSlots + 1));
  ASSERT_EQ(area.LockCommit(), 0);
  EXPECT_TRUE(area.commit_locked());
  EXPECT_TRUE(ExclusiveElsewhere(*probe, ll::kAreaStart, ll::kReaderSlots));
  // A reader of another process (read-only, allowed by deny-write) waits
  // for the commit like any reader.
  Pipe in;
  auto child = ChildProcess::Start([&] {
    std::unique_ptr<platform::File> g;
    if (OpenTableFile(path_, RO | om::kDenyNone, &g) != 0) return 1;
    LockArea a(g.get(), SharingClass::kShared);
    if (a.LockAccess(true) != 0) return 2;
    in.Send('R');
    return 0;
  });
  EXPECT_EQ(in.Receive(100), -1);
  area.UnlockCommit();
  EXPECT_EQ(in.Receive(), 'R');
  EXPECT_EQ(child.Wait(), 0);
  // Recovery of a deny-write file holds the writer byte.
  ASSERT_EQ(area.LockWriterByte(), 0);
  EXPECT_TRUE(ExclusiveElsewhere(*probe, ll::kWriterByte));
  area.UnlockWriterByte();
  EXPECT_FALSE(LockedElsewhere(*probe, ll::kWriterByte));
}

TEST_F(LockAreaTest, ExclusiveTakesNeitherAccessLocksNorCommitLock) {
  auto f = Open(RW | om::kDenyAll);
  LockArea area(f.get(), SharingClass::kExclusive);
  auto probe = Probe();
  ASSERT_EQ(area.LockAccess(true), 0);
  ASSERT_EQ(area.LockAccess(false), 0);
  ASSERT_EQ(area.LockCommit(), 0);
  EXPECT_FALSE(area.commit_locked());
  EXPECT_FALSE(area.access_locked());
  EXPECT_FALSE(LockedElsewhere(*probe, ll::kAreaStart, 1025));
  // Hold bytes still work.
  ASSERT_EQ(area.LockHold(7, false), 0);
  EXPECT_TRUE(ExclusiveElsewhere(*probe, ll::HoldOffset(7)));
}

// ---- hold bytes --------------------------------------------------------------

TEST_F(LockAreaTest, HoldBytes) {
  Pipe in, go;
  auto child = ChildProcess::Start([&] {
    std::unique_ptr<platform::File> g;
    if (OpenTableFile(path_, RW | om::kDenyNone, &g) != 0) return 1;
    LockArea a(g.get(), SharingClass::kShared);
    if (a.LockHold(42, false) != 0) return 2;
    if (a.LockHold(0xFFFFFFF0u, false) != 0) return 3;
    in.Send('H');
    if (go.Receive() != 'R') return 4;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    a.UnlockHold(42);
    return go.Receive() == 'E' ? 0 : 5;
  });
  ASSERT_EQ(in.Receive(), 'H');
  auto f = Open(RW | om::kDenyNone);
  LockArea area(f.get(), SharingClass::kShared);
  EXPECT_EQ(area.LockHold(42, false), kViolation);
  EXPECT_EQ(area.LockHold(0xFFFFFFF0u, false), kViolation);
  EXPECT_FALSE(area.holds(42));
  // Neighbours are separate bytes.
  EXPECT_EQ(area.LockHold(41, false), 0);
  EXPECT_EQ(area.LockHold(43, false), 0);
  // A second hold of a byte this file object holds is refused, as through
  // one handle; after unlocking it can be held again.
  EXPECT_EQ(area.LockHold(41, false), kViolation);
  EXPECT_EQ(area.LockHold(41, true), kViolation);  // never waits for itself
  area.UnlockHold(41);
  EXPECT_EQ(area.LockHold(41, false), 0);
  // Waiting gets the byte once the other process lets it go.
  go.Send('R');
  EXPECT_EQ(area.LockHold(42, true), 0);
  EXPECT_TRUE(area.holds(42));
  go.Send('E');
  EXPECT_EQ(child.Wait(), 0);
  // The child's locks went with it.
  EXPECT_EQ(area.LockHold(0xFFFFFFF0u, false), 0);
}

TEST_F(LockAreaTest, HoldThroughReadOnlyDescriptorsIsExclusiveToo) {
  auto f = Open(RO | om::kDenyNone);
  LockArea area(f.get(), SharingClass::kShared);
  ASSERT_EQ(area.LockHold(9, false), 0);
  Pipe report;
  auto child = ChildProcess::Start([&] {
    std::unique_ptr<platform::File> g, h;
    if (OpenTableFile(path_, RO | om::kDenyNone, &g) != 0) return 1;
    if (OpenTableFile(path_, RW | om::kDenyNone, &h) != 0) return 1;
    LockArea ro(g.get(), SharingClass::kShared);
    LockArea rw(h.get(), SharingClass::kShared);
    report.SendInt(ro.LockHold(9, false));
    report.SendInt(rw.LockHold(9, false));
    // The failed attempt left nothing behind.
    report.SendInt(ro.LockHold(10, false));
    report.SendInt(rw.LockHold(10, false));
    return 0;
  });
  int32_t a = -1, b = -1, c = -1, d = -1;
  ASSERT_TRUE(report.ReceiveInt(&a));
  ASSERT_TRUE(report.ReceiveInt(&b));
  ASSERT_TRUE(report.ReceiveInt(&c));
  ASSERT_TRUE(report.ReceiveInt(&d));
  EXPECT_EQ(a, kViolation);
  EXPECT_EQ(b, kViolation);
  EXPECT_EQ(c, 0);
  EXPECT_EQ(d, kViolation);
  EXPECT_EQ(child.Wait(), 0);
  auto probe = Probe();
  EXPECT_TRUE(LockedElsewhere(*probe, ll::HoldOffset(9)));
  area.UnlockHold(9);
  EXPECT_FALSE(LockedElsewhere(*probe, ll::HoldOffset(9)));
}

// Two opens of one file in one process are separate handles: their locks
// exclude each other just as between processes.
TEST_F(LockAreaTest, TwoOpensInOneProcessAreSeparateHandles) {
  auto f1 = Open(RW | om::kDenyNone);
  auto f2 = Open(RW | om::kDenyNone);
  LockArea a1(f1.get(), SharingClass::kShared);
  LockArea a2(f2.get(), SharingClass::kShared);
  ASSERT_EQ(a1.LockHold(5, false), 0);
  EXPECT_EQ(a2.LockHold(5, false), kViolation);

  ASSERT_EQ(a1.LockAccess(true), 0);
  std::atomic<bool> committed{false};
  std::thread t([&] {
    a2.LockCommit();
    committed = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(committed.load());
  a1.UnlockAccess();
  t.join();
  EXPECT_TRUE(a2.commit_locked());
  a2.UnlockCommit();
}

// ---- the own locks of one object ---------------------------------------------

TEST_F(LockAreaTest, CommitUnlockKeepsOwnReaderSlot) {
  auto f = Open(RW | om::kDenyNone);
  auto probe = Probe();
  for (bool slot_first : {true, false}) {
    SCOPED_TRACE(slot_first ? "slot, then commit" : "commit, then slot");
    LockArea area(f.get(), SharingClass::kShared);
    if (slot_first) {
      ASSERT_EQ(area.LockAccess(true), 0);
      ASSERT_EQ(area.LockCommit(), 0);
    } else {
      ASSERT_EQ(area.LockCommit(), 0);
      ASSERT_EQ(area.LockAccess(true), 0);
    }
    const uint64_t slot = ll::SlotOffset(area.reader_slot());
    EXPECT_TRUE(ExclusiveElsewhere(*probe, slot));
    area.UnlockCommit();
    // Still a reader: a commit elsewhere is kept out, other readers are not.
    EXPECT_TRUE(LockedElsewhere(*probe, slot));
    EXPECT_FALSE(ExclusiveElsewhere(*probe, slot));
    if (slot > ll::kAreaStart) {
      EXPECT_FALSE(LockedElsewhere(*probe, ll::kAreaStart, slot - ll::kAreaStart));
    }
    if (slot + 1 < ll::kAreaStart + ll::kReaderSlots) {
      EXPECT_FALSE(LockedElsewhere(*probe, slot + 1, ll::kAreaStart + ll::kReaderSlots - slot - 1));
    }
    area.UnlockAccess();
    EXPECT_FALSE(LockedElsewhere(*probe, ll::kAreaStart, ll::kReaderSlots));
  }
}

TEST_F(LockAreaTest, WriterByteSharedByAccessAndRecovery) {
  auto f = Open(RW | om::kDenyNone);
  auto probe = Probe();
  LockArea area(f.get(), SharingClass::kShared);
  ASSERT_EQ(area.LockAccess(false), 0);
  ASSERT_EQ(area.LockWriterByte(), 0);
  area.UnlockWriterByte();
  EXPECT_TRUE(ExclusiveElsewhere(*probe, ll::kWriterByte));
  area.UnlockAccess();
  EXPECT_FALSE(LockedElsewhere(*probe, ll::kWriterByte));
}

TEST_F(LockAreaTest, UnlockAfterDamageFreesAccessAndCommitButKeepsHolds) {
  auto f = Open(RW | om::kDenyNone);
  auto probe = Probe();
  LockArea area(f.get(), SharingClass::kShared);
  ASSERT_EQ(area.LockAccess(false), 0);
  ASSERT_EQ(area.LockCommit(), 0);
  ASSERT_EQ(area.LockHold(3, false), 0);
  area.UnlockAfterDamage();
  EXPECT_FALSE(area.access_locked());
  EXPECT_FALSE(area.commit_locked());
  EXPECT_FALSE(LockedElsewhere(*probe, ll::kAreaStart, 1024));
  EXPECT_TRUE(LockedElsewhere(*probe, ll::HoldOffset(3)));
  // Reader access through a read-only descriptor: slot freed as well.
  auto r = Open(RO | om::kDenyNone);
  LockArea reader(r.get(), SharingClass::kShared);
  ASSERT_EQ(reader.LockAccess(true), 0);
  reader.UnlockAfterDamage();
  EXPECT_FALSE(LockedElsewhere(*probe, ll::kAreaStart, 1024));
}

TEST_F(LockAreaTest, ReadOnlyDescriptorTakesWriterByteAndCommitExclusively) {
  auto f = Open(RO | om::kDenyNone);
  auto g = Open(RO | om::kDenyNone);
  LockArea a(f.get(), SharingClass::kShared);
  LockArea b(g.get(), SharingClass::kShared);
  ASSERT_EQ(a.LockAccess(false), 0);
  std::atomic<bool> got{false};
  std::thread t([&] {
    b.LockAccess(false);
    got = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(80));
  EXPECT_FALSE(got.load());
  a.UnlockAccess();
  t.join();
  b.UnlockAccess();

  // A commit through a read-only descriptor still waits for readers.
  ASSERT_EQ(a.LockAccess(true), 0);
  got = false;
  std::thread c([&] {
    b.LockCommit();
    got = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(80));
  EXPECT_FALSE(got.load());
  a.UnlockAccess();
  c.join();
  EXPECT_TRUE(b.commit_locked());
  b.UnlockCommit();
}

TEST(LockAreaInMemoryTest, EveryLockSucceedsWithoutAFile) {
  for (SharingClass s : {SharingClass::kShared, SharingClass::kDenyWrite, SharingClass::kExclusive}) {
    LockArea area(nullptr, s);
    EXPECT_EQ(area.LockAccess(true), 0);
    EXPECT_EQ(area.LockCommit(), 0);
    EXPECT_EQ(area.LockWriterByte(), 0);
    EXPECT_EQ(area.LockHold(1, false), 0);
    EXPECT_EQ(area.LockHold(1, true), 0);
    area.UnlockHold(1);
    area.UnlockWriterByte();
    area.UnlockCommit();
    area.UnlockAccess();
  }
}

TEST(LockAreaSlotTest, FirstSlotIsInRange) {
  LockArea area(nullptr, SharingClass::kShared);
  EXPECT_GE(area.reader_slot(), 0);
  EXPECT_LT(area.reader_slot(), 1023);
}

}  // namespace
}  // namespace kel
