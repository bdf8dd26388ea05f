#include "platform/file.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace kel::platform {
namespace {

class FileTest : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kel_file_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    DisarmFaults();
  }
  void TearDown() override {
    DisarmFaults();
    std::filesystem::remove_all(dir_);
  }
  std::string Path(const char* name) const { return dir_ + "/" + name; }

  std::unique_ptr<File> OpenRw(const std::string& path, bool create = true) {
    std::unique_ptr<File> f;
    File::OpenOptions o;
    o.create = create;
    EXPECT_EQ(File::Open(path, o, &f), 0);
    return f;
  }
  std::vector<uint8_t> ReadAll(const std::string& path) {
    std::unique_ptr<File> f;
    File::OpenOptions o;
    o.access = File::Access::kRead;
    EXPECT_EQ(File::Open(path, o, &f), 0);
    uint64_t size = 0;
    EXPECT_EQ(f->Size(&size), 0);
    std::vector<uint8_t> out(size);
    EXPECT_EQ(f->ReadAt(0, out.data(), out.size()), int64_t(size));
    return out;
  }

  std::string dir_;
};

TEST_F(FileTest, OpenErrorsMapToEngineCodes) {
  std::unique_ptr<File> f;
  File::OpenOptions o;
  EXPECT_EQ(File::Open(Path("missing.KST"), o, &f), 2);
  EXPECT_EQ(f, nullptr);
  // A directory cannot be a table file, whether opened for reading or writing.
  EXPECT_EQ(File::Open(dir_, o, &f), 5);
  o.access = File::Access::kRead;
  EXPECT_EQ(File::Open(dir_, o, &f), 5);
  EXPECT_EQ(MapErrno(ENOENT), 2);
  EXPECT_EQ(MapErrno(EACCES), 5);
  EXPECT_EQ(MapErrno(EPERM), 5);
  EXPECT_EQ(MapErrno(EROFS), 5);
  EXPECT_EQ(MapErrno(ENOSPC), ENOSPC);
}

TEST_F(FileTest, ReadOnlyFileRefusesWriteAccess) {
  if (geteuid() == 0) GTEST_SKIP() << "root ignores file permissions";
  std::string path = Path("ro.KST");
  OpenRw(path).reset();
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  std::unique_ptr<File> f;
  File::OpenOptions o;
  EXPECT_EQ(File::Open(path, o, &f), 5);
  o.access = File::Access::kRead;
  EXPECT_EQ(File::Open(path, o, &f), 0);
  EXPECT_FALSE(f->writable());
}

TEST_F(FileTest, PositionedIoBeyondFourGigabytes) {
  auto f = OpenRw(Path("a.KST"));
  ASSERT_NE(f, nullptr);
  const char text[] = "kElS";
  size_t written = 0;
  uint64_t far = (uint64_t{1} << 32) + 100;  // needs 64-bit offsets (sparse file)
  ASSERT_EQ(f->WriteAt(far, text, 4, &written), 0);
  EXPECT_EQ(written, 4u);
  char back[8] = {};
  EXPECT_EQ(f->ReadAt(far, back, 8), 4);  // short at end of file
  EXPECT_EQ(std::string(back, 4), "kElS");
  uint64_t size = 0;
  ASSERT_EQ(f->Size(&size), 0);
  EXPECT_EQ(size, far + 4);
  ASSERT_EQ(f->Truncate(10), 0);
  ASSERT_EQ(f->Size(&size), 0);
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(f->ReadAt(100, back, 8), 0);
  EXPECT_EQ(f->Flush(), 0);
}

TEST_F(FileTest, IdentityFollowsTheFileNotTheName) {
  std::string a = Path("a.KST"), b = Path("b.KST");
  auto f = OpenRw(a);
  ASSERT_EQ(link(a.c_str(), b.c_str()), 0);
  FileId ia, ib;
  ASSERT_EQ(IdentifyFile(a, &ia), 0);
  ASSERT_EQ(IdentifyFile(b, &ib), 0);
  EXPECT_EQ(ia, ib);
  EXPECT_EQ(f->id(), ia);
  auto g = OpenRw(Path("c.KST"));
  EXPECT_FALSE(g->id() == ia);
  EXPECT_EQ(IdentifyFile(Path("none"), &ia), 2);
}

TEST_F(FileTest, CreateTruncateAndRemove) {
  std::string path = Path("t.KST");
  {
    auto f = OpenRw(path);
    size_t w;
    ASSERT_EQ(f->WriteAt(0, "abcdef", 6, &w), 0);
  }
  {
    auto f = OpenRw(path);  // create on an existing file keeps its contents
    uint64_t size;
    ASSERT_EQ(f->Size(&size), 0);
    EXPECT_EQ(size, 6u);
  }
  {
    std::unique_ptr<File> f;
    File::OpenOptions o;
    o.truncate = true;
    ASSERT_EQ(File::Open(path, o, &f), 0);
    uint64_t size;
    ASSERT_EQ(f->Size(&size), 0);
    EXPECT_EQ(size, 0u);
  }
  EXPECT_EQ(SyncParentDirectory(path), 0);
  EXPECT_EQ(RemoveFile(path), 0);
  EXPECT_EQ(RemoveFile(path), 2);
  EXPECT_EQ(SyncParentDirectory(Path("nodir/x.KST")), 2);
}

TEST_F(FileTest, DescriptorIsCloseOnExec) {
  auto f = OpenRw(Path("c.KST"));
  int flags = fcntl(f->fd(), F_GETFD);
  EXPECT_TRUE(flags & FD_CLOEXEC);
}

// Each fault of the plan, applied to the third of four 4-byte writes
// (write #2) or to the second of two flushes.
TEST_F(FileTest, FaultPlanActsOnTheCountedOperation) {
  struct Case {
    const char* name;
    FaultPlan plan;
    std::vector<int> answers;  // WriteAt result per write
    std::vector<size_t> written;
    std::string on_disk;
    int second_flush;
    bool crashed;
  };
  auto plan = [](auto setter) {
    FaultPlan p;
    setter(p);
    return p;
  };
  std::vector<Case> cases = {
      {"none", FaultPlan{}, {0, 0, 0, 0}, {4, 4, 4, 4}, "AAAABBBBCCCCDDDD", 0, false},
      {"fail_write", plan([](FaultPlan& p) { p.fail_write = 2; p.error = 28; }),
       {0, 0, 28, 0}, {4, 4, 0, 4}, std::string("AAAABBBB\0\0\0\0DDDD", 16), 0, false},
      {"short_write", plan([](FaultPlan& p) { p.short_write = 2; }),
       {0, 0, 0, 0}, {4, 4, 2, 4}, std::string("AAAABBBBCC\0\0DDDD", 16), 0, false},
      {"torn_write", plan([](FaultPlan& p) { p.torn_write = 2; }),
       {0, 0, 0, 0}, {4, 4, 4, 4}, "AAAABBBBCC", 0, true},
      {"crash_after_write", plan([](FaultPlan& p) { p.crash_after_write = 1; }),
       {0, 0, 0, 0}, {4, 4, 4, 4}, "AAAABBBB", 0, true},
      {"fail_flush", plan([](FaultPlan& p) { p.fail_flush = 1; }),
       {0, 0, 0, 0}, {4, 4, 4, 4}, "AAAABBBBCCCCDDDD", 5, false},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir_ + "/f" + std::to_string(n++);
    auto f = OpenRw(path);
    ArmFaults(c.plan);
    const char* blocks[] = {"AAAA", "BBBB", "CCCC", "DDDD"};
    for (int i = 0; i < 4; ++i) {
      size_t w = 99;
      EXPECT_EQ(f->WriteAt(4 * i, blocks[i], 4, &w), c.answers[i]) << i;
      EXPECT_EQ(w, c.written[i]) << i;
    }
    EXPECT_EQ(f->Flush(), 0);
    EXPECT_EQ(f->Flush(), c.second_flush);
    FaultCounters counters = GetFaultCounters();
    EXPECT_EQ(counters.writes, 4);
    EXPECT_EQ(counters.flushes, 2);
    EXPECT_EQ(counters.crashed, c.crashed);
    // After a crash the truncate is dropped too.
    EXPECT_EQ(f->Truncate(0), 0);
    DisarmFaults();
    std::vector<uint8_t> disk = ReadAll(path);
    if (c.crashed) {
      EXPECT_EQ(std::string(disk.begin(), disk.end()), c.on_disk);
    } else {
      EXPECT_TRUE(disk.empty());
    }
    if (!c.crashed) {
      // Re-run the writes without truncation to see what they stored.
      ArmFaults(c.plan);
      for (int i = 0; i < 4; ++i) {
        size_t w;
        f->WriteAt(4 * i, blocks[i], 4, &w);
      }
      DisarmFaults();
      disk = ReadAll(path);
      EXPECT_EQ(std::string(disk.begin(), disk.end()), c.on_disk);
    }
  }
}

TEST_F(FileTest, CrashAfterFlushDropsLaterWritesAcrossFiles) {
  auto a = OpenRw(Path("a"));
  auto b = OpenRw(Path("b"));
  FaultPlan p;
  p.crash_after_flush = 0;
  ArmFaults(p);
  size_t w;
  ASSERT_EQ(a->WriteAt(0, "1111", 4, &w), 0);
  ASSERT_EQ(a->Flush(), 0);
  ASSERT_EQ(a->WriteAt(4, "2222", 4, &w), 0);
  EXPECT_EQ(w, 4u);
  ASSERT_EQ(b->WriteAt(0, "3333", 4, &w), 0);
  ASSERT_EQ(b->Flush(), 0);
  EXPECT_TRUE(GetFaultCounters().crashed);
  EXPECT_EQ(RemoveFile(Path("a")), 0);  // dropped as well
  DisarmFaults();
  EXPECT_EQ(ReadAll(Path("a")).size(), 4u);  // the write after the crash never landed
  EXPECT_TRUE(ReadAll(Path("b")).empty());
}

}  // namespace
}  // namespace kel::platform
