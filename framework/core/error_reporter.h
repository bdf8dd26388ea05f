// The error reporter: the one shared object through which table handles and
// windows show their messages.
//
// Every message comes from the message table by its id: a title, a text and a
// kind. In the text, %File, %Field, %Message and %ErrorText are replaced by
// the arguments of the call (the replacements themselves are not scanned
// again), and "|" starts a new line. A fatal message is shown with
// "  Press OK to end this application" after its text; once it is closed the
// process ends at once, without the orderly shutdown.
//
// Showing is left to a presenter (message boxes in the application, a
// recorder in tests); without one the message goes to stderr and the default
// answer is taken. All texts are UTF-8.
//
// The reporter also keeps, per window context, the stack of the names of the
// procedures running in it (see window_context.h).
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kel {

enum class MessageKind { kNotice, kYesNo, kYesNoCancel, kFatal };
enum class Answer { kOk, kYes, kNo, kCancel };

enum class MessageId {
  kFileCreationError,
  kInvalidKey,
  kKeyNotBuilt,
  kAccessDenied,
  kFileAccessError,
  kAutoIncrementError,
  kDuplicateKeyError,
  kRecordInsertError,
  kValueError,
  kRecordChangedNotice,      // "Record Was Not Updated", short text
  kRecordChangedRedisplay,   // "Record Was Not Updated", with the redisplay note
  kRecordNotUpdated,         // "Record was not updated"
  kTransactionCancelled,
  kRecordNotDeleted,
  kRecordDeleteError,
  kRecordUpdateError,
  kConfirmDelete,
  kTooManyWindows,
};

struct MessageDef {
  MessageId id;
  const char* title;
  const char* text;
  MessageKind kind;
  Answer default_answer;
};

// The message table, one entry per MessageId in enum order.
const std::vector<MessageDef>& MessageTable();

struct MessageArgs {
  std::string file;        // %File: the table's name for messages
  std::string field;       // %Field
  std::string message;     // %Message: detail text
  std::string error_text;  // %ErrorText: the engine's error text
};

// A message ready to show.
struct Message {
  MessageId id;
  MessageKind kind;
  std::string title;
  std::string text;  // placeholders filled, lines split at "\n"
  Answer default_answer;
};

class MessagePresenter {
 public:
  virtual ~MessagePresenter() = default;
  // Shows the message and answers the button chosen (kOk for a notice or a
  // fatal message).
  virtual Answer Present(const Message& message) = 0;
};

class ErrorReporter {
 public:
  static constexpr const char* kFatalSuffix = "  Press OK to end this application";

  // The shared reporter: Init creates it, Release destroys it; Shared() is
  // null outside that span.
  static void Init();
  static void Release();
  static ErrorReporter* Shared();

  // Fills in a text: placeholders and "|" line breaks.
  static std::string Format(std::string_view text, const MessageArgs& args);
  // The message as it would be shown.
  static Message Build(MessageId id, const MessageArgs& args);

  // Shows a message and answers the button chosen. A fatal message ends the
  // process after it is closed (through the fatal-exit hook).
  Answer Show(MessageId id, const MessageArgs& args = {});

  // Not owned; null restores the stderr fallback.
  void SetPresenter(MessagePresenter* presenter) { presenter_ = presenter; }
  MessagePresenter* presenter() const { return presenter_; }
  // What ends the process after a fatal message (std::_Exit(1) by default).
  void SetFatalExit(std::function<void()> fatal_exit) { fatal_exit_ = std::move(fatal_exit); }

  // Name stack of the current window context.
  void PushName(std::string_view name);
  void PopName();
  std::string TopName() const;  // "" when empty

 private:
  MessagePresenter* presenter_ = nullptr;
  std::function<void()> fatal_exit_;
};

// Pushes a procedure name for the life of the scope.
class ProcedureName {
 public:
  explicit ProcedureName(std::string_view name);
  ~ProcedureName();
  ProcedureName(const ProcedureName&) = delete;
  ProcedureName& operator=(const ProcedureName&) = delete;
};

}  // namespace kel
