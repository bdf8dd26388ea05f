// Starting windows from the frame's menu, the "&Окно" commands and closing
// the frame with children open.
#include <gtest/gtest.h>

#include <QAction>
#include <QCloseEvent>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QPrintDialog>
#include <QPointer>
#include <QTest>
#include <QTimer>

#include "app/main/main_frame.h"
#include "framework/core/error_reporter.h"
#include "framework/core/window_context.h"
#include "framework/window_starter.h"

namespace kel {
namespace {

class RecordingPresenter : public MessagePresenter {
 public:
  Answer Present(const Message& m) override {
    ids.push_back(m.id);
    return Answer::kOk;
  }
  std::vector<MessageId> ids;
};

// A child window that may refuse to close (as a form with unsaved input would).
class TestWindow : public QWidget {
 public:
  explicit TestWindow(WindowContext& context) : context_id(context.id()) {
    setWindowTitle(QStringLiteral("Города %1").arg(context.id()));
    resize(200, 120);
  }
  void closeEvent(QCloseEvent* e) override {
    if (refuse) e->ignore();
    else e->accept();
  }
  int context_id;
  bool refuse = false;
};

class FrameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ErrorReporter::Init();
    ErrorReporter::Shared()->SetPresenter(&presenter_);
    RegisterWindowProcedure("Browsegorod", [this](WindowContext& c) {
      contexts_seen_.push_back(&WindowContexts::Instance().Current() == &c);
      return new TestWindow(c);
    });
    frame_ = std::make_unique<MainFrame>();
    frame_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(frame_.get()));
  }
  void TearDown() override {
    frame_->close();
    frame_.reset();
    UnregisterWindowProcedure("Browsegorod");
    ErrorReporter::Release();
  }
  int Started() { return WindowContexts::Instance().started(); }
  QList<QMdiSubWindow*> Children() { return frame_->area()->subWindowList(); }

  RecordingPresenter presenter_;
  std::vector<bool> contexts_seen_;
  std::unique_ptr<MainFrame> frame_;
};

TEST_F(FrameTest, ChoosingAnItemTwiceOpensTwoIndependentCopies) {
  QAction* gorod = frame_->Action(QStringLiteral("?BROWSEGOROD"));
  gorod->trigger();
  gorod->trigger();
  ASSERT_EQ(Children().size(), 2);
  EXPECT_EQ(Started(), 2);
  EXPECT_EQ(contexts_seen_, std::vector<bool>({true, true}));  // built in their own context
  WindowContext* a = ContextOfWidget(Children()[0]->widget());
  WindowContext* b = ContextOfWidget(Children()[1]->widget());
  ASSERT_TRUE(a && b);
  EXPECT_NE(a, b);
  EXPECT_EQ(a->procedure(), "Browsegorod");
  EXPECT_EQ(a->stack_size(), 50000u);
  EXPECT_EQ(ContextOfWidget(frame_.get()), nullptr);
  // Closing one ends its context only.
  Children()[0]->close();
  EXPECT_TRUE(QTest::qWaitFor([&] { return Started() == 1; }, 2000));
  EXPECT_EQ(Children().size(), 1);
}

TEST_F(FrameTest, ItemsWithoutAWindowDoNothing) {
  for (const char* use : {"?BROWSEKLIENT", "?СПРАВОЧНИКИ2", "?СПРАВОЧНИКИТРАНСПОРТ", "?РАБОТА2",
                          "?РАБОТААРХИВ"}) {
    QAction* a = frame_->Action(QString::fromUtf8(use));
    ASSERT_NE(a, nullptr) << use;
    EXPECT_TRUE(a->isVisible() && a->isEnabled()) << use;
    a->trigger();
  }
  EXPECT_TRUE(Children().isEmpty());
  EXPECT_EQ(Started(), 0);
  EXPECT_TRUE(presenter_.ids.empty());
}

TEST_F(FrameTest, The64thStartOpensNothingAndSaysSo) {
  QAction* gorod = frame_->Action(QStringLiteral("?BROWSEGOROD"));
  for (int i = 0; i < WindowContexts::kMaxStarted; ++i) gorod->trigger();
  EXPECT_EQ(Children().size(), 63);
  EXPECT_TRUE(presenter_.ids.empty());
  gorod->trigger();
  EXPECT_EQ(Children().size(), 63);
  EXPECT_EQ(Started(), 63);
  ASSERT_EQ(presenter_.ids.size(), 1u);
  EXPECT_EQ(presenter_.ids[0], MessageId::kTooManyWindows);
  EXPECT_EQ(contexts_seen_.size(), 63u);  // the window was not even built
}

TEST_F(FrameTest, ClosingTheFrameClosesEveryChildFirst) {
  QAction* gorod = frame_->Action(QStringLiteral("?BROWSEGOROD"));
  for (int i = 0; i < 3; ++i) gorod->trigger();
  std::vector<QPointer<QMdiSubWindow>> children;
  for (QMdiSubWindow* c : Children()) children.emplace_back(c);
  ASSERT_EQ(children.size(), 3u);
  frame_->Action(QStringLiteral("?EXIT"))->trigger();
  EXPECT_FALSE(frame_->isVisible());
  for (auto& c : children) EXPECT_TRUE(c.isNull());
  EXPECT_EQ(Started(), 0);
}

TEST_F(FrameTest, AChildThatRefusesKeepsTheFrameOpen) {
  QAction* gorod = frame_->Action(QStringLiteral("?BROWSEGOROD"));
  gorod->trigger();
  gorod->trigger();
  static_cast<TestWindow*>(Children()[1]->widget())->refuse = true;
  EXPECT_FALSE(frame_->close());
  EXPECT_TRUE(frame_->isVisible());
  ASSERT_EQ(Children().size(), 1);
  EXPECT_EQ(Started(), 1);
  static_cast<TestWindow*>(Children()[0]->widget())->refuse = false;
  EXPECT_TRUE(frame_->close());
  EXPECT_EQ(Started(), 0);
}

TEST_F(FrameTest, WindowMenuListsChildrenAndActivatesTheChosenOne) {
  QAction* gorod = frame_->Action(QStringLiteral("?BROWSEGOROD"));
  gorod->trigger();
  gorod->trigger();
  QMenu* menu = frame_->WindowMenu();
  emit menu->aboutToShow();
  QStringList texts;
  QList<QAction*> list;
  for (QAction* a : menu->actions())
    if (!a->isSeparator() && a->objectName().isEmpty()) {
      texts << a->text();
      list << a;
    }
  ASSERT_EQ(texts.size(), 2);
  EXPECT_TRUE(texts[0].startsWith(QStringLiteral("&1 Города")));
  EXPECT_TRUE(texts[1].startsWith(QStringLiteral("&2 Города")));
  list[0]->trigger();
  EXPECT_EQ(frame_->area()->activeSubWindow(), Children()[0]);
  // Shown again, the list is rebuilt, not appended.
  emit menu->aboutToShow();
  int count = 0;
  for (QAction* a : menu->actions()) count += !a->isSeparator() && a->objectName().isEmpty();
  EXPECT_EQ(count, 2);
}

TEST_F(FrameTest, TileCascadeAndArrange) {
  frame_->resize(900, 700);
  QAction* gorod = frame_->Action(QStringLiteral("?BROWSEGOROD"));
  for (int i = 0; i < 4; ++i) gorod->trigger();
  auto children = Children();
  frame_->Action(QStringLiteral("?TILE"))->trigger();
  // Tiled: the children do not overlap.
  for (int i = 0; i < children.size(); ++i)
    for (int j = i + 1; j < children.size(); ++j)
      EXPECT_FALSE(children[i]->geometry().intersects(children[j]->geometry()));
  frame_->Action(QStringLiteral("?CASCADE"))->trigger();
  // Cascaded: each one further right and down.
  for (int i = 1; i < children.size(); ++i) {
    EXPECT_GT(children[i]->x(), children[i - 1]->x());
    EXPECT_GT(children[i]->y(), children[i - 1]->y());
  }
  children[0]->showMinimized();
  children[2]->showMinimized();
  children[0]->move(300, 10);
  children[2]->move(10, 300);
  frame_->Action(QStringLiteral("?ARRANGE"))->trigger();
  const int bottom = frame_->area()->viewport()->height();
  EXPECT_EQ(children[0]->geometry().bottom() + 1, bottom);
  EXPECT_EQ(children[2]->geometry().bottom() + 1, bottom);
  EXPECT_EQ(children[0]->x(), 0);
  EXPECT_EQ(children[2]->x(), children[0]->width());
}

TEST_F(FrameTest, PrinterSetupOpensThePrintDialog) {
  QString seen;
  QTimer::singleShot(0, [&] {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal) return;
    seen = QString::fromLatin1(modal->metaObject()->className());
    if (auto* d = qobject_cast<QDialog*>(modal)) d->reject();
  });
  frame_->Action(QStringLiteral("?PRINTSETUP"))->trigger();
  EXPECT_TRUE(seen.contains(QStringLiteral("PrintDialog"))) << seen.toStdString();
}

}  // namespace
}  // namespace kel
