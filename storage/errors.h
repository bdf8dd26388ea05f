// Error codes of the engine and the internal-error mechanism.
//
// Every engine operation answers a numeric code, 0 for success. A broken
// invariant (a damaged file, an impossible state) is an *internal error*: it
// abandons the current operation at once, latches the table as damaged and
// the operation answers 90 "File System Error". Internal errors are the only
// way an operation leaves early; they are C++ exceptions of type
// InternalError, raised by RaiseInternal() and caught by the OperationFrame
// that the dispatcher puts around every operation.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace kel {

// Answers of the engine (texts by ErrorText()).
enum Code : int {
  kOk = 0,
  kFileNotFound = 2,
  kAccessDenied = 5,
  kInsufficientMemory = 8,
  kFileAlreadyLocked = 32,
  kRecordNotAvailable = 33,
  kRecordNotFound = 35,
  kInvalidDataFile = 36,
  kFileNotOpen = 37,
  kInvalidKeyFile = 38,
  kDuplicateKey = 40,
  kRecordAlreadyHeld = 43,
  kInvalidFilename = 45,
  kKeyFileMustBeRebuilt = 46,
  kInvalidRecordDeclaration = 47,
  kFileAlreadyOpen = 52,
  kNoCreateAttribute = 54,
  kLogoutAlreadyActive = 56,
  kExclusiveAccessRequired = 63,
  kInvalidFieldTypeDescriptor = 75,
  kInvalidIndexString = 76,
  kInvalidNumberOfParameters = 78,
  kUnsupportedDataType = 79,
  kUnsupportedDriverFunction = 80,
  kRecordChangedByAnotherStation = 89,
  kFileSystemError = 90,
  kBuildInProgress = 92,
  kBuildCancelled = 93,
};

// The fixed text of an error code; "" for a code without a text of its own
// (operating-system codes passed on with their own numbers).
const char* ErrorText(int code);

// Thrown by RaiseInternal; carries the internal error number.
class InternalError : public std::exception {
 public:
  explicit InternalError(int code) : code_(code) {}
  int code() const noexcept { return code_; }
  const char* what() const noexcept override { return "KelStore internal error"; }

 private:
  int code_;
};

// Reports a broken invariant. Inside an operation (an OperationFrame is
// active on this thread) it sets the file error (text "Possible data
// corruption in file", or "KelStore File Driver Error" when no table is being
// worked on; code = the internal code) and throws InternalError(code) to that
// frame. With no frame to return to (before the first operation of the
// process, or between operations) it reports the message followed by
// " (" code ")" through the fatal reporter and ends the program with exit
// status kInternalErrorExitStatus: there is no operation left to abandon.
[[noreturn]] void RaiseInternal(int code);

constexpr int kInternalErrorExitStatus = 3;
// Message of an internal error with no frame (the text is empty when no table
// is being worked on): message + " (" + code + ")".
std::string InternalErrorReport(int code);
// Shows the report of an internal error that ends the program. The default
// writes it to stderr; the application may install a message box. The
// program ends after the reporter returns.
using FatalReporter = void (*)(const std::string& message);
void SetFatalReporter(FatalReporter reporter);

// The report text of an internal error while `table_name` is worked on:
// "Possible data corruption in file", or "" when no table is named.
constexpr const char* kDataCorruptionText = "Possible data corruption in file";
constexpr const char* kDriverErrorText = "KelStore File Driver Error";

// Checks an invariant; raises internal error `code` when it does not hold.
inline void Require(bool condition, int code) {
  if (!condition) RaiseInternal(code);
}

// Process-wide state of the error frame: set while an operation runs.
class OperationFrame {
 public:
  // Marks "inside an operation" and notes the display name of the table
  // being worked on (used for the report text).
  explicit OperationFrame(std::string table_name);
  ~OperationFrame();
  OperationFrame(const OperationFrame&) = delete;
  OperationFrame& operator=(const OperationFrame&) = delete;

  // True while a frame is active on the calling thread.
  static bool Active();
  // True once any frame has been entered in this process.
  static bool AnyOperationStarted();
  // Display name of the table being worked on ("" when none).
  static const std::string& TableName();

 private:
  OperationFrame* outer_;
  std::string previous_name_;
};

// The file-error text and code of the last internal error (or latch answer),
// as the dispatcher reports them with 90.
struct FileError {
  int code = 0;
  std::string text;
};
const FileError& LastFileError();
void SetLastFileError(int code, std::string text);

}  // namespace kel
