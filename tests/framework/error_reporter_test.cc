#include "framework/core/error_reporter.h"

#include <gtest/gtest.h>

#include <QMessageBox>
#include <QPushButton>
#include <memory>

#include "framework/core/window_context.h"
#include "framework/message_box_presenter.h"

namespace kel {
namespace {

// Records what would be shown and answers as told.
class RecordingPresenter : public MessagePresenter {
 public:
  Answer Present(const Message& m) override {
    shown.push_back(m);
    return answer;
  }
  std::vector<Message> shown;
  Answer answer = Answer::kOk;
};

class ErrorReporterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ErrorReporter::Init();
    ErrorReporter::Shared()->SetPresenter(&presenter_);
  }
  void TearDown() override { ErrorReporter::Release(); }
  RecordingPresenter presenter_;
};

TEST_F(ErrorReporterTest, PlaceholdersAndLineBreaks) {
  MessageArgs args{"gorod", "PER:sost", "'a','b'", "File Not Found"};
  EXPECT_EQ(ErrorReporter::Format("%File|%Field|%Message|%ErrorText", args),
            "gorod\nPER:sost\n'a','b'\nFile Not Found");
  // Replacements are not scanned again; unknown placeholders stay as they are.
  MessageArgs tricky{"%Field", "F", "", ""};
  EXPECT_EQ(ErrorReporter::Format("%File %Other 100%", tricky), "%Field %Other 100%");
}

TEST_F(ErrorReporterTest, MessageTableIsCompleteAndInOrder) {
  const auto& table = MessageTable();
  for (size_t i = 0; i < table.size(); ++i) EXPECT_EQ(size_t(table[i].id), i);
  EXPECT_EQ(table.size(), size_t(MessageId::kTooManyWindows) + 1);
}

TEST_F(ErrorReporterTest, KindsAndDefaults) {
  struct Case {
    MessageId id;
    MessageArgs args;
    MessageKind kind;
    Answer def;
    const char* title;
    const char* text;
  } cases[] = {
      {MessageId::kValueError, {"", "PER:sost", "'Ждет'", ""}, MessageKind::kNotice, Answer::kOk,
       "Value Error", "The value of PER:sost must be in the list : 'Ждет'."},
      {MessageId::kAutoIncrementError, {"rabota", "", "", "Access Denied"}, MessageKind::kYesNo,
       Answer::kYes, "Auto Increment Error",
       "Attempts to automatically number this record have failed.\nFile: rabota\nError: Access "
       "Denied.\nTry Again?"},
      {MessageId::kRecordUpdateError, {}, MessageKind::kYesNoCancel, Answer::kCancel,
       "Record Update Error",
       "An error was experienced changing this record. Do you want to try to save again?"},
      {MessageId::kDuplicateKeyError, {"", "", "GOR:nom_key", ""}, MessageKind::kNotice, Answer::kOk,
       "Duplicate Key Error", "Adding this record creates a duplicate entry for the key: GOR:nom_key"},
      {MessageId::kFileAccessError, {"klient", "", "", "Access Denied"}, MessageKind::kFatal,
       Answer::kOk, "File Access Error",
       "File klient could not be opened.  Error: Access Denied.  Press OK to end this application"},
  };
  for (const Case& c : cases) {
    Message m = ErrorReporter::Build(c.id, c.args);
    EXPECT_EQ(m.kind, c.kind) << c.title;
    EXPECT_EQ(m.default_answer, c.def) << c.title;
    EXPECT_EQ(m.title, c.title);
    EXPECT_EQ(m.text, c.text);
  }
}

TEST_F(ErrorReporterTest, ShowAnswersThePresentersChoiceAndFatalEnds) {
  presenter_.answer = Answer::kNo;
  EXPECT_EQ(ErrorReporter::Shared()->Show(MessageId::kRecordDeleteError), Answer::kNo);
  int ended = 0;
  ErrorReporter::Shared()->SetFatalExit([&] { ++ended; });
  presenter_.answer = Answer::kOk;
  ErrorReporter::Shared()->Show(MessageId::kKeyNotBuilt, {"avto", "", "", "x"});
  EXPECT_EQ(ended, 1);
  ASSERT_EQ(presenter_.shown.size(), 2u);
  EXPECT_EQ(presenter_.shown[1].text,
            "Error: (x) repairing key for avto.  Press OK to end this application");
  // A notice does not end anything.
  ErrorReporter::Shared()->Show(MessageId::kInvalidKey, {"avto", "", "", ""});
  EXPECT_EQ(ended, 1);
}

TEST_F(ErrorReporterTest, FatalMessageEndsTheProcess) {
  EXPECT_EXIT(
      {
        ErrorReporter::Shared()->SetPresenter(nullptr);
        ErrorReporter::Shared()->Show(MessageId::kFileCreationError, {"gorod", "", "", "e"});
        std::exit(0);  // not reached
      },
      ::testing::ExitedWithCode(1), "Press OK to end this application");
}

TEST_F(ErrorReporterTest, NameStackIsPerWindowContext) {
  ErrorReporter& r = *ErrorReporter::Shared();
  WindowContexts& all = WindowContexts::Instance();
  ProcedureName main_name("Main");
  WindowContext* child = all.Start("Browsegorod", 50000);
  ASSERT_NE(child, nullptr);
  {
    WindowContexts::Scope scope(*child);
    EXPECT_EQ(r.TopName(), "");
    ProcedureName name("Browsegorod");
    {
      ProcedureName form("UpdateGorod");
      EXPECT_EQ(r.TopName(), "UpdateGorod");
    }
    EXPECT_EQ(r.TopName(), "Browsegorod");
  }
  EXPECT_EQ(r.TopName(), "Main");
  EXPECT_TRUE(child->names().empty());
  all.End(child);
}

TEST_F(ErrorReporterTest, MessageBoxesHaveTheKindsButtons) {
  struct Case {
    MessageId id;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton def;
  } cases[] = {
      {MessageId::kInvalidKey, QMessageBox::Ok, QMessageBox::Ok},
      {MessageId::kConfirmDelete, QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes},
      {MessageId::kRecordUpdateError, QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel,
       QMessageBox::Cancel},
      {MessageId::kFileAccessError, QMessageBox::Ok, QMessageBox::Ok},
  };
  for (const Case& c : cases) {
    Message m = ErrorReporter::Build(c.id, {"gorod", "", "", "e"});
    std::unique_ptr<QMessageBox> box(BuildMessageBox(m));
    EXPECT_EQ(box->standardButtons(), c.buttons);
    EXPECT_EQ(box->defaultButton(), box->button(c.def));
    EXPECT_EQ(box->windowTitle().toStdString(), m.title);
    EXPECT_EQ(box->text().toStdString(), m.text);
  }
}

}  // namespace
}  // namespace kel
