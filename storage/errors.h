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
// active) it throws InternalError(code) to that frame. Before the first
// operation of the process it prints the message followed by " (" code ")"
// and ends the program.
[[noreturn]] void RaiseInternal(int code);

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

  static bool Active();
  // True once any frame has been entered in this process.
  static bool AnyOperationStarted();

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
