#include "framework/core/window_context.h"

#include <gtest/gtest.h>

#include "framework/core/error_reporter.h"

namespace kel {
namespace {

class CountingPresenter : public MessagePresenter {
 public:
  Answer Present(const Message& m) override {
    ids.push_back(m.id);
    return Answer::kOk;
  }
  std::vector<MessageId> ids;
};

class WindowContextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ErrorReporter::Init();
    ErrorReporter::Shared()->SetPresenter(&presenter_);
  }
  void TearDown() override {
    auto& all = WindowContexts::Instance();
    while (!all.started_contexts().empty()) all.End(all.started_contexts().back().get());
    ErrorReporter::Release();
  }
  CountingPresenter presenter_;
};

TEST_F(WindowContextTest, AtMost63AndTheUserIsToldWhenRefused) {
  auto& all = WindowContexts::Instance();
  std::vector<WindowContext*> started;
  for (int i = 0; i < WindowContexts::kMaxStarted; ++i) {
    WindowContext* c = all.Start("Zayavka", 25000);
    ASSERT_NE(c, nullptr) << i;
    started.push_back(c);
  }
  EXPECT_TRUE(presenter_.ids.empty());
  EXPECT_EQ(all.Start("Zayavka", 25000), nullptr);
  EXPECT_EQ(all.started(), 63);
  ASSERT_EQ(presenter_.ids.size(), 1u);
  EXPECT_EQ(presenter_.ids[0], MessageId::kTooManyWindows);
  // Once one ends, a start succeeds again.
  all.End(started[10]);
  EXPECT_NE(all.Start("Zayavka", 25000), nullptr);
  EXPECT_EQ(presenter_.ids.size(), 1u);
}

TEST_F(WindowContextTest, ContextsKeepTheirOwnWordsAndBuffers) {
  auto& all = WindowContexts::Instance();
  TableDecl decl;
  decl.fields.resize(1);
  decl.fields[0].type = FieldType::kGroup;
  decl.fields[0].element_size = 10;
  WindowContext* a = all.Start("Browsegorod", 50000);
  WindowContext* b = all.Start("Browsegorod", 50000);
  a->set_request(kRequestInsert);
  a->Table(decl).record[3] = 7;
  a->Table(decl).open_count = 2;
  EXPECT_EQ(b->request(), kRequestNone);
  EXPECT_EQ(b->Table(decl).record, std::vector<uint8_t>(10, 0));
  EXPECT_EQ(b->Table(decl).open_count, 0);
  EXPECT_EQ(a->Table(decl).record[3], 7);
  EXPECT_NE(a->id(), b->id());
  EXPECT_EQ(a->stack_size(), 50000u);
}

TEST_F(WindowContextTest, ScopesNestAndSurviveTheEndOfTheOuterContext) {
  auto& all = WindowContexts::Instance();
  WindowContext* a = all.Start("A", 1);
  WindowContext* b = all.Start("B", 1);
  EXPECT_EQ(&all.Current(), &all.Main());
  {
    WindowContexts::Scope sa(*a);
    EXPECT_EQ(&all.Current(), a);
    {
      WindowContexts::Scope sb(*b);
      EXPECT_EQ(&all.Current(), b);
      all.End(a);  // a's window closes while b's code runs
    }
    EXPECT_EQ(&all.Current(), &all.Main());
  }
  EXPECT_EQ(&all.Current(), &all.Main());
}

}  // namespace
}  // namespace kel
