#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "storage/container.h"
#include "storage/errors.h"

namespace kel {
namespace {

int CodeOf(const std::function<void()>& f) {
  OperationFrame frame("T");
  try {
    f();
  } catch (const InternalError& e) {
    return e.code();
  }
  return 0;
}

class BlockFileTest : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kel_block_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/B.KST";
    platform::DisarmFaults();
  }
  void TearDown() override {
    platform::DisarmFaults();
    std::filesystem::remove_all(dir_);
  }
  std::unique_ptr<BlockFile> Open() {
    std::unique_ptr<platform::File> f;
    platform::File::OpenOptions o;
    o.create = true;
    EXPECT_EQ(platform::File::Open(path_, o, &f), 0);
    return std::make_unique<BlockFile>(std::move(f));
  }
  uint64_t FileSize() { return std::filesystem::file_size(path_); }

  std::string dir_, path_;
};

TEST_F(BlockFileTest, LengthsMustBeWholeBlocks) {
  auto bf = Open();
  uint8_t buf[128] = {};
  EXPECT_EQ(CodeOf([&] { bf->ReadBlocks(0, buf, 100); }), 2272);
  EXPECT_EQ(CodeOf([&] { bf->WriteBlocks(0, buf, 100); }), 2286);
  EXPECT_EQ(CodeOf([&] { bf->ReadBlocks(uint64_t{1} << 63, buf, 64); }), 2341);
}

TEST_F(BlockFileTest, ShortReadsCountAndExactReadsRaise) {
  auto bf = Open();
  std::vector<uint8_t> data(192, 0x5A);
  bf->WriteBlocks(0, data.data(), 192);
  uint8_t buf[256];
  EXPECT_EQ(bf->ReadBlocks(0, buf, 256), 192u);
  EXPECT_EQ(bf->ReadBlocks(1024, buf, 64), 0u);
  EXPECT_EQ(CodeOf([&] { bf->ReadExact(128, buf, 128); }), 2172);
  EXPECT_EQ(CodeOf([&] { bf->ReadExact(128, buf, 64); }), 0);
}

TEST_F(BlockFileTest, WithoutAFileReadsAreEmptyAndWritesVanish) {
  BlockFile bf(nullptr);
  uint8_t buf[64] = {1};
  EXPECT_FALSE(bf.has_file());
  EXPECT_EQ(bf.ReadBlocks(0, buf, 64), 0u);
  bf.WriteBlocks(0, buf, 64);
  EXPECT_EQ(bf.latched_error(), 0);
  EXPECT_EQ(bf.Flush(), 0);
  EXPECT_EQ(bf.Truncate(0), 0);
  EXPECT_EQ(CodeOf([&] { bf.ReadPageImageAt(512, 1); }), 2172);
}

// The first failed write of a commit is latched; later writes are skipped
// until the latch is cleared.
TEST_F(BlockFileTest, WriteErrorsLatch) {
  struct Case {
    const char* name;
    platform::FaultPlan plan;
    int latched;
  };
  platform::FaultPlan fail;
  fail.fail_write = 1;
  fail.error = 28;
  platform::FaultPlan shrt;
  shrt.short_write = 1;
  for (const Case& c : {Case{"failed write", fail, 28}, Case{"short write", shrt, 5}}) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(path_);
    auto bf = Open();
    std::vector<uint8_t> block(256, 0x11);
    platform::ArmFaults(c.plan);
    bf->WriteBlocks(0, block.data(), 256);
    bf->WriteBlocks(256, block.data(), 256);
    EXPECT_EQ(bf->latched_error(), c.latched);
    bf->WriteBlocks(512, block.data(), 256);  // skipped: never reaches the file
    EXPECT_EQ(platform::GetFaultCounters().writes, 2);
    platform::DisarmFaults();
    EXPECT_LT(FileSize(), 512u);
    bf->ClearLatchedError();
    bf->WriteBlocks(512, block.data(), 256);
    EXPECT_EQ(bf->latched_error(), 0);
    EXPECT_EQ(FileSize(), 768u);
  }
}

TEST_F(BlockFileTest, WritesNeverReachTheLockArea) {
  auto bf = Open();
  std::vector<uint8_t> block(256, 0x22);
  bf->WriteBlocks(kLockAreaStart - 128, block.data(), 256);
  EXPECT_EQ(bf->latched_error(), kErrFileTooLarge);
  EXPECT_EQ(FileSize(), 0u);
  bf->ClearLatchedError();
  bf->WriteBlocks(kLockAreaStart, block.data(), 64);
  EXPECT_EQ(bf->latched_error(), kErrFileTooLarge);
  bf->ClearLatchedError();
  bf->WriteBlocks(uint64_t{1} << 40, block.data(), 64);
  EXPECT_EQ(bf->latched_error(), kErrFileTooLarge);
  EXPECT_EQ(FileSize(), 0u);
}

// Gathered writes: a write that continues the pending run joins it; any
// other write, a read, a flush or a truncate writes the run out first, so
// the file always holds what was written before them. With the cipher on
// the file holds the same bytes as after plain writes. A dropped run never
// reaches the file, and an error of the run is latched when it is written.
TEST_F(BlockFileTest, GatheredWritesLandAsPlainWritesWould) {
  std::vector<uint8_t> a(256, 0xA1), b(512, 0xB2), c(256, 0xC3);
  auto file_bytes = [&] {
    std::vector<uint8_t> out(FileSize());
    FILE* f = fopen(path_.c_str(), "rb");
    EXPECT_EQ(fread(out.data(), 1, out.size(), f), out.size());
    fclose(f);
    return out;
  };
  for (const char* password : {"", "owner"}) {
    SCOPED_TRACE(password);
    std::filesystem::remove(path_);
    std::vector<uint8_t> plain;
    {
      auto bf = Open();
      bf->SetPassword(password);
      bf->WriteBlocks(0, a.data(), 256);
      bf->WriteBlocks(256, b.data(), 512);
      bf->WriteBlocks(1024, c.data(), 256);
      plain = file_bytes();
    }
    std::filesystem::remove(path_);
    auto bf = Open();
    bf->SetPassword(password);
    const platform::IoCounts before = platform::GetIoCounts();
    bf->WriteGathered(0, a.data(), 256);
    bf->WriteGathered(256, b.data(), 512);
    EXPECT_EQ(FileSize(), 0u);                          // still pending
    bf->WriteGathered(1024, c.data(), 256);             // not contiguous: the run goes out
    EXPECT_EQ(FileSize(), 768u);
    uint8_t back[256];
    EXPECT_EQ(bf->ReadBlocks(1024, back, 256), 256u);   // a read sees the pending write
    EXPECT_EQ(std::memcmp(back, c.data(), 256), 0);
    EXPECT_EQ(platform::GetIoCounts().writes - before.writes, 2u);
    EXPECT_EQ(file_bytes(), plain);
    EXPECT_EQ(a[0], 0xA1);                              // the caller's bytes stay plain
  }
  // Flush and truncate write the run out; a dropped run is gone.
  std::filesystem::remove(path_);
  auto bf = Open();
  bf->WriteGathered(0, a.data(), 256);
  EXPECT_EQ(bf->Flush(), 0);
  EXPECT_EQ(FileSize(), 256u);
  bf->WriteGathered(256, a.data(), 256);
  EXPECT_EQ(bf->Truncate(512), 0);
  EXPECT_EQ(file_bytes(), std::vector<uint8_t>(512, 0xA1));
  bf->WriteGathered(512, c.data(), 256);
  bf->DropPending();
  EXPECT_EQ(bf->Flush(), 0);
  EXPECT_EQ(FileSize(), 512u);
  // The run's error is latched when it is written; the lock area stays
  // out of reach.
  platform::FaultPlan fail;
  fail.fail_write = 0;
  fail.error = 28;
  platform::ArmFaults(fail);
  bf->WriteGathered(512, c.data(), 256);
  bf->WriteGathered(768, c.data(), 256);
  EXPECT_EQ(bf->latched_error(), 0);
  bf->WritePending();
  EXPECT_EQ(bf->latched_error(), 28);
  platform::DisarmFaults();
  EXPECT_EQ(FileSize(), 512u);
  bf->ClearLatchedError();
  bf->WriteGathered(kLockAreaStart - 256, c.data(), 256);
  bf->WriteGathered(kLockAreaStart, c.data(), 256);
  bf->WritePending();
  EXPECT_EQ(bf->latched_error(), kErrFileTooLarge);
  EXPECT_EQ(FileSize(), 512u);
}

// Reads through the read-ahead window answer what plain reads answer: from
// the window while they lie inside it, with one read for the window, and
// from the file again after any write, so a write is never hidden. The
// window stops at the end of the file; a read past it is a short read.
TEST_F(BlockFileTest, ReadAheadAnswersWhatThePlainReadAnswers) {
  for (const char* password : {"", "owner"}) {
    SCOPED_TRACE(password);
    std::filesystem::remove(path_);
    auto bf = Open();
    bf->SetPassword(password);
    std::vector<uint8_t> data(4096);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7 + i / 256);
    bf->WriteBlocks(0, data.data(), 4096);
    uint8_t buf[512];
    // 0 is read on its own (nothing came before it); 512 follows it and
    // fills the window up to 3584, so 1024 and 2048 come from it; 3584
    // lies beyond it and does not follow 2048: read on its own again.
    for (uint64_t pos : {0u, 512u, 1024u, 2048u, 3584u}) {
      const platform::IoCounts before = platform::GetIoCounts();
      bf->ReadAhead(pos, buf, 512, 2048 + 1024);
      EXPECT_EQ(std::memcmp(buf, data.data() + pos, 512), 0) << pos;
      EXPECT_EQ(platform::GetIoCounts().reads == before.reads, pos == 1024 || pos == 2048) << pos;
    }
    std::vector<uint8_t> changed(512, 0xEE);
    bf->WriteBlocks(3584, changed.data(), 512);
    bf->ReadAhead(3584, buf, 512, 4096);
    EXPECT_EQ(std::memcmp(buf, changed.data(), 512), 0);
    bf->WriteGathered(3584, data.data() + 3584, 512);
    bf->ReadAhead(3072, buf, 512, 4096);
    bf->ReadAhead(3584, buf, 512, 4096);   // follows: the window, after the write
    EXPECT_EQ(std::memcmp(buf, data.data() + 3584, 512), 0);
    EXPECT_EQ(CodeOf([&] { bf->ReadAhead(3840, buf, 512, 4096); }), 2172);
    bf->ReadAhead(2560, buf, 512, 4096);
    std::vector<uint8_t> big(1536);
    EXPECT_EQ(CodeOf([&] { bf->ReadAhead(3072, big.data(), 1536, 4096); }), 2172);  // follows, but the file ends
  }
}

TEST_F(BlockFileTest, PageImageLengthMustMatchItsClass) {
  auto bf = Open();
  std::vector<Record> recs(1);
  std::vector<const Record*> ptrs = {&recs[0]};
  PageImage img = BuildPageImage(ptrs, 0, uint16_t(SizeEstimate(ptrs, 0)));
  StampImage(img, 0, {});
  bf->WriteBlocks(512, img.bytes.data(), 256);
  std::vector<uint8_t> two(512, 0xB0);
  std::memcpy(two.data(), img.bytes.data(), 13);
  bf->WriteBlocks(768, two.data(), 512);
  EXPECT_EQ(CodeOf([&] { EXPECT_EQ(bf->ReadPageImageAt(512, 1), img.bytes); }), 0);
  EXPECT_EQ(CodeOf([&] { bf->ReadPageImageAt(768, 2); }), 1477);  // stored length says class 1
  EXPECT_EQ(CodeOf([&] { bf->ReadPageImageAt(512, 2); }), 1477);
  EXPECT_EQ(CodeOf([&] { bf->ReadPageImageAt(1024, 2); }), 2172);  // past the end of file
  EXPECT_EQ(CodeOf([&] { bf->ReadPageImageAt(512, 0); }), 1477);
}

}  // namespace
}  // namespace kel
