#include "app/dictionary/handles.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

#include "framework/core/error_reporter.h"

namespace kel::dict {
namespace {

namespace fs = std::filesystem;

class HandlesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kel_dict_XXXXXX";
    dir_ = mkdtemp(tmpl);
    old_ = fs::current_path();
    fs::current_path(dir_);
    ErrorReporter::Init();
  }
  void TearDown() override {
    if (Initialised()) Release();
    ErrorReporter::Release();
    fs::current_path(old_);
    fs::remove_all(dir_);
  }
  fs::path dir_, old_;
};

TEST_F(HandlesTest, InitAndReleaseFollowTheSetupOrderAndTouchNoFile) {
  std::vector<std::string> trail;
  Init(ErrorReporter::Shared(), &trail);
  const std::vector<std::string> expected_init = {
      "known GOROD", "known KLIENT", "known FIRMA", "known PEREVOZ", "known AVTO", "known KUZOV",
      "known RABOTA",
      "init KLIENT", "relate KLIENT parent GOROD",
      "init RABOTA", "init KUZOV", "init AVTO",
      "init PEREVOZ", "relate PEREVOZ parent FIRMA",
      "init FIRMA", "relate FIRMA child PEREVOZ",
      "init GOROD", "relate GOROD child KLIENT"};
  EXPECT_EQ(trail, expected_init);
  trail.clear();
  Release(&trail);
  const std::vector<std::string> expected_release = {
      "release KLIENT", "release RABOTA", "release KUZOV", "release AVTO",
      "release PEREVOZ", "release FIRMA", "release GOROD"};
  EXPECT_EQ(trail, expected_release);
  EXPECT_TRUE(fs::is_empty(dir_)) << "no table file may be created or left behind";
  for (TableId id : AllTables()) EXPECT_FALSE(File(id).initialised());
}

TEST_F(HandlesTest, HandlesCarryTheirTableSettings) {
  Init(ErrorReporter::Shared());
  for (TableId id : AllTables()) {
    const FileHandle& f = File(id);
    ASSERT_TRUE(f.initialised());
    EXPECT_EQ(f.reporter(), ErrorReporter::Shared());
    EXPECT_EQ(f.name(), Decl(id).display_name);
    EXPECT_EQ(f.record_size(), Decl(id).record_length());
    EXPECT_TRUE(f.create());
    ASSERT_EQ(f.keys().size(), Decl(id).keys.size());
    for (size_t k = 0; k < f.keys().size(); ++k) {
      EXPECT_EQ(f.keys()[k].description, Decl(id).keys[k].description);
      EXPECT_EQ(f.keys()[k].autonumber, k == 0);
    }
    EXPECT_EQ(&Relation(id).file(), &f);
    EXPECT_EQ(FindRelation(Decl(id).label), &Relation(id));
  }
  // Both sides of each relation, the rules on the parent side.
  auto& gorod = Relation(TableId::kGorod).relations();
  ASSERT_EQ(gorod.size(), 1u);
  EXPECT_TRUE(gorod[0].parent_side);
  EXPECT_EQ(gorod[0].other, &Relation(TableId::kKlient));
  auto& klient = Relation(TableId::kKlient).relations();
  ASSERT_EQ(klient.size(), 1u);
  EXPECT_FALSE(klient[0].parent_side);
  EXPECT_EQ(klient[0].other, &Relation(TableId::kGorod));
  EXPECT_EQ(Relation(TableId::kFirma).relations()[0].other, &Relation(TableId::kPerevoz));
  for (TableId id : {TableId::kRabota, TableId::kAvto, TableId::kKuzov})
    EXPECT_TRUE(Relation(id).relations().empty());
}

TEST_F(HandlesTest, RecordBuffersBelongToTheWindowContext) {
  Init(ErrorReporter::Shared());
  WindowContexts& contexts = WindowContexts::Instance();
  WindowContext* a = contexts.Start("Browsegorod", 50000);
  WindowContext* b = contexts.Start("Browsegorod", 50000);
  ASSERT_TRUE(a && b);
  FileHandle& gorod = File(TableId::kGorod);
  {
    WindowContexts::Scope scope(*a);
    ASSERT_EQ(gorod.State().record.size(), 54u);
    gorod.Buffer()[4] = 'A';
    gorod.State().open_count = 1;
  }
  {
    WindowContexts::Scope scope(*b);
    EXPECT_EQ(gorod.Buffer()[4], 0);
    EXPECT_EQ(gorod.State().open_count, 0);
  }
  {
    WindowContexts::Scope scope(*a);
    EXPECT_EQ(gorod.Buffer()[4], 'A');
  }
  contexts.End(a);
  contexts.End(b);
}

}  // namespace
}  // namespace kel::dict
