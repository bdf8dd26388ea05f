// Error texts and the internal-error frame.
//
// An OperationFrame lives on the stack of the dispatcher for the length of
// one engine operation. Frames nest (an operation may run another, e.g. a
// close inside an open); the innermost frame of the calling thread is the one
// an internal error returns to. The table name noted by the frame decides the
// report text. With no frame on the calling thread there is nothing to return
// to, so the error is reported and the program ends.
#include "storage/errors.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace kel {
namespace {

thread_local OperationFrame* tl_frame = nullptr;
thread_local std::string tl_table_name;
std::atomic<bool> g_any_started{false};
FileError g_file_error;

void DefaultFatalReporter(const std::string& message) {
  std::fputs(message.c_str(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

std::atomic<FatalReporter> g_fatal_reporter{&DefaultFatalReporter};

}  // namespace

const char* ErrorText(int code) {
  switch (code) {
    case kFileNotFound: return "File Not Found";
    case kAccessDenied: return "Access Denied";
    case kInsufficientMemory: return "Insufficient Memory";
    case kFileAlreadyLocked: return "File Is Already Locked";
    case kRecordNotAvailable: return "Record Not Available";
    case kRecordNotFound: return "Record Not Found";
    case kInvalidDataFile: return "Invalid Data File";
    case kFileNotOpen: return "File Not Open";
    case kInvalidKeyFile: return "Invalid Key File";
    case kDuplicateKey: return "Creates Duplicate Key";
    case kRecordAlreadyHeld: return "Record Is Already Held";
    case kInvalidFilename: return "Invalid Filename";
    case kKeyFileMustBeRebuilt: return "Key File Must Be Rebuilt";
    case kInvalidRecordDeclaration: return "Invalid Record Declaration";
    case kFileAlreadyOpen: return "File Already Open";
    case kNoCreateAttribute: return "No Create Attribute";
    case kLogoutAlreadyActive: return "LOGOUT Already Active";
    case kExclusiveAccessRequired: return "Exclusive Access Required";
    case kInvalidFieldTypeDescriptor: return "Invalid Field Type Descriptor";
    case kInvalidIndexString: return "Invalid Index String";
    case kInvalidNumberOfParameters: return "Invalid Number Of Parameters ";
    case kUnsupportedDataType: return "Unsupported Data Type In File";
    case kUnsupportedDriverFunction: return "Unsupported File Driver Function";
    case kRecordChangedByAnotherStation: return "Record Changed By Another Station";
    case kFileSystemError: return "File System Error";
    case kBuildInProgress: return "BUILD In Progress";
    case kBuildCancelled: return "BUILD Cancelled";
    default: return "";
  }
}

std::string InternalErrorReport(int code) {
  std::string message = tl_table_name.empty() ? std::string() : std::string(kDataCorruptionText);
  message += " (";
  message += std::to_string(code);
  message += ")";
  return message;
}

void SetFatalReporter(FatalReporter reporter) {
  g_fatal_reporter.store(reporter != nullptr ? reporter : &DefaultFatalReporter);
}

void RaiseInternal(int code) {
  if (tl_frame != nullptr) {
    SetLastFileError(code, tl_table_name.empty() ? std::string(kDriverErrorText)
                                                 : std::string(kDataCorruptionText));
    throw InternalError(code);
  }
  g_fatal_reporter.load()(InternalErrorReport(code));
  std::_Exit(kInternalErrorExitStatus);
}

OperationFrame::OperationFrame(std::string table_name)
    : outer_(tl_frame), previous_name_(std::exchange(tl_table_name, std::move(table_name))) {
  tl_frame = this;
  g_any_started.store(true, std::memory_order_relaxed);
}

OperationFrame::~OperationFrame() {
  tl_frame = outer_;
  tl_table_name = std::move(previous_name_);
}

bool OperationFrame::Active() { return tl_frame != nullptr; }

bool OperationFrame::AnyOperationStarted() { return g_any_started.load(std::memory_order_relaxed); }

const std::string& OperationFrame::TableName() { return tl_table_name; }

const FileError& LastFileError() { return g_file_error; }

void SetLastFileError(int code, std::string text) {
  g_file_error.code = code;
  g_file_error.text = std::move(text);
}

}  // namespace kel
