#include "storage/file_registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "platform/file.h"
#include "storage/errors.h"
#include "storage/support/process.h"

namespace kel {
namespace {

// Stands in for the record store's file object: an open file and a count
// of how many objects exist.
struct FakeFileObject {
  static int alive;
  explicit FakeFileObject(std::unique_ptr<platform::File> f) : file(std::move(f)) { ++alive; }
  ~FakeFileObject() { --alive; }
  std::unique_ptr<platform::File> file;
  int closes = 0;
};
int FakeFileObject::alive = 0;

using Registry = FileRegistry<FakeFileObject>;

class FileRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { FakeFileObject::alive = 0; }

  // A MakeForPath that opens (creating when asked) and counts its calls.
  Registry::MakeForPath Opener(bool create = false) {
    return [this, create](std::unique_ptr<FakeFileObject>* obj, platform::FileId* id) {
      ++opens_;
      std::unique_ptr<platform::File> f;
      platform::File::OpenOptions o;
      o.create = create;
      int rc = platform::File::Open(current_path_, o, &f);
      if (rc != 0) return rc;
      *id = f->id();
      obj->reset(new FakeFileObject(std::move(f)));
      return 0;
    };
  }

  int Acquire(Registry& reg, const std::string& path, Registry::Handle* out, bool create = false) {
    current_path_ = path;
    return reg.AcquirePath(path, Opener(create), out);
  }

  void Touch(const std::string& path) {
    std::unique_ptr<platform::File> f;
    platform::File::OpenOptions o;
    o.create = true;
    ASSERT_EQ(platform::File::Open(path, o, &f), 0);
  }

  test::TempDir dir_;
  std::string current_path_;
  int opens_ = 0;
};

TEST_F(FileRegistryTest, OneObjectPerPhysicalFileWhateverItsName) {
  const std::string a = dir_.File("A.KST");
  const std::string b = dir_.File("B.KST");
  Touch(a);
  Touch(b);
  ASSERT_EQ(link(a.c_str(), dir_.File("HARD.KST").c_str()), 0);
  ASSERT_EQ(symlink(a.c_str(), dir_.File("SOFT.KST").c_str()), 0);
  ASSERT_EQ(mkdir(dir_.File("sub").c_str(), 0700), 0);

  Registry reg;
  Registry::Handle first, hard, soft, dotted, other;
  ASSERT_EQ(Acquire(reg, a, &first), 0);
  ASSERT_EQ(Acquire(reg, dir_.File("HARD.KST"), &hard), 0);
  ASSERT_EQ(Acquire(reg, dir_.File("SOFT.KST"), &soft), 0);
  ASSERT_EQ(Acquire(reg, dir_.File("sub/../A.KST"), &dotted), 0);
  ASSERT_EQ(Acquire(reg, b, &other), 0);
  EXPECT_EQ(first.get(), hard.get());
  EXPECT_EQ(first.get(), soft.get());
  EXPECT_EQ(first.get(), dotted.get());
  EXPECT_NE(first.get(), other.get());
  EXPECT_EQ(opens_, 2);
  EXPECT_EQ(reg.size(), 2u);
  EXPECT_EQ(FakeFileObject::alive, 2);
  EXPECT_EQ(reg.Find(first->file->id()).get(), first.get());
}

TEST_F(FileRegistryTest, LastReleaseClosesAndRemovesTheEntry) {
  const std::string a = dir_.File("A.KST");
  Touch(a);
  Registry reg;
  Registry::Handle h1, h2;
  ASSERT_EQ(Acquire(reg, a, &h1), 0);
  ASSERT_EQ(Acquire(reg, a, &h2), 0);
  const platform::FileId id = h1->file->id();
  int last_calls = 0;
  auto last = [&](FakeFileObject& obj) {
    ++last_calls;
    // The object stays registered while its closing step runs.
    EXPECT_EQ(reg.Find(id).use_count(), 2);
    return 37;
  };
  EXPECT_EQ(reg.Release(&h1, last), 0);
  EXPECT_FALSE(h1);
  EXPECT_EQ(last_calls, 0);
  EXPECT_EQ(reg.size(), 1u);
  EXPECT_EQ(reg.Release(&h2, last), 37);  // the closing step's answer
  EXPECT_EQ(last_calls, 1);
  EXPECT_EQ(reg.size(), 0u);
  EXPECT_EQ(FakeFileObject::alive, 0);
  EXPECT_EQ(reg.Find(id), nullptr);
  // A later open makes a fresh object.
  ASSERT_EQ(Acquire(reg, a, &h1), 0);
  EXPECT_EQ(opens_, 2);
  // Dropping a handle without Release also removes the entry.
  h1.reset();
  EXPECT_EQ(reg.size(), 0u);
  EXPECT_EQ(reg.Release(&h1, last), 0);  // releasing nothing is harmless
}

TEST_F(FileRegistryTest, ClosingStepThatRaisesKeepsTheHandle) {
  const std::string a = dir_.File("A.KST");
  Touch(a);
  Registry reg;
  Registry::Handle h;
  ASSERT_EQ(Acquire(reg, a, &h), 0);
  EXPECT_THROW(reg.Release(&h, [](FakeFileObject&) -> int { throw InternalError(1013); }), InternalError);
  ASSERT_TRUE(h);
  EXPECT_EQ(reg.size(), 1u);
  // The registry is still usable (its lock was given back).
  EXPECT_EQ(reg.Release(&h, [](FakeFileObject&) { return 0; }), 0);
  EXPECT_EQ(reg.size(), 0u);
}

TEST_F(FileRegistryTest, FailedOpenRegistersNothing) {
  Registry reg;
  Registry::Handle h;
  EXPECT_EQ(Acquire(reg, dir_.File("MISSING.KST"), &h), 2);
  EXPECT_FALSE(h);
  EXPECT_EQ(reg.size(), 0u);
  // Acquire by identity passes the maker's error on as well.
  EXPECT_EQ(reg.Acquire(platform::FileId{1, 2}, [](std::unique_ptr<FakeFileObject>*) { return 5; }, &h), 5);
  EXPECT_EQ(reg.size(), 0u);
  // A file created by the open is registered under what was created.
  ASSERT_EQ(Acquire(reg, dir_.File("NEW.KST"), &h, /*create=*/true), 0);
  Registry::Handle again;
  ASSERT_EQ(Acquire(reg, dir_.File("NEW.KST"), &again), 0);
  EXPECT_EQ(h.get(), again.get());
}

TEST_F(FileRegistryTest, FileReplacedUnderTheSameNameIsAnotherFile) {
  const std::string a = dir_.File("A.KST");
  Touch(a);
  Registry reg;
  Registry::Handle old_one, new_one;
  ASSERT_EQ(Acquire(reg, a, &old_one), 0);
  ASSERT_EQ(unlink(a.c_str()), 0);
  Touch(a);
  ASSERT_EQ(Acquire(reg, a, &new_one), 0);
  EXPECT_NE(old_one.get(), new_one.get());
  EXPECT_EQ(reg.size(), 2u);
}

TEST_F(FileRegistryTest, AcquireByIdentityMakesOnce) {
  Registry reg;
  int made = 0;
  auto make = [&](std::unique_ptr<FakeFileObject>* obj) {
    ++made;
    obj->reset(new FakeFileObject(nullptr));
    return 0;
  };
  Registry::Handle a, b, c;
  ASSERT_EQ(reg.Acquire(platform::FileId{3, 4}, make, &a), 0);
  ASSERT_EQ(reg.Acquire(platform::FileId{3, 4}, make, &b), 0);
  ASSERT_EQ(reg.Acquire(platform::FileId{3, 5}, make, &c), 0);
  EXPECT_EQ(made, 2);
  EXPECT_EQ(a.get(), b.get());
  EXPECT_NE(a.get(), c.get());
}

TEST_F(FileRegistryTest, HandlesMayOutliveTheRegistry) {
  Registry::Handle h;
  {
    Registry reg;
    ASSERT_EQ(reg.Acquire(platform::FileId{1, 1}, [](std::unique_ptr<FakeFileObject>* obj) {
      obj->reset(new FakeFileObject(nullptr));
      return 0;
    }, &h), 0);
  }
  EXPECT_EQ(FakeFileObject::alive, 1);
  h.reset();
  EXPECT_EQ(FakeFileObject::alive, 0);
}

}  // namespace
}  // namespace kel
