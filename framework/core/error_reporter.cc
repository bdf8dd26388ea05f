#include "framework/core/error_reporter.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "framework/core/window_context.h"

namespace kel {
namespace {

std::unique_ptr<ErrorReporter> g_shared;

}  // namespace

const std::vector<MessageDef>& MessageTable() {
  using K = MessageKind;
  using A = Answer;
  static const std::vector<MessageDef> table = {
      {MessageId::kFileCreationError, "File Creation Error", "Error: (%ErrorText) creating %File.",
       K::kFatal, A::kOk},
      {MessageId::kInvalidKey, "Invalid Key", "%File key file is invalid. Key must be rebuilt.",
       K::kNotice, A::kOk},
      {MessageId::kKeyNotBuilt, "Key was not built", "Error: (%ErrorText) repairing key for %File.",
       K::kFatal, A::kOk},
      {MessageId::kAccessDenied, "Access Denied",
       "Could not get write access to %File so trying read-only.", K::kNotice, A::kOk},
      {MessageId::kFileAccessError, "File Access Error",
       "File %File could not be opened.  Error: %ErrorText.", K::kFatal, A::kOk},
      {MessageId::kAutoIncrementError, "Auto Increment Error",
       "Attempts to automatically number this record have failed.|File: %File|Error: "
       "%ErrorText.|Try Again?",
       K::kYesNo, A::kYes},
      {MessageId::kDuplicateKeyError, "Duplicate Key Error",
       "Adding this record creates a duplicate entry for the key: %Message", K::kNotice, A::kOk},
      {MessageId::kRecordInsertError, "Record Insert Error",
       "An error was experienced during the creation of a record.|File: %File|Error: %ErrorText.",
       K::kNotice, A::kOk},
      {MessageId::kValueError, "Value Error", "The value of %Field must be in the list : %Message.",
       K::kNotice, A::kOk},
      {MessageId::kRecordChangedNotice, "Record Was Not Updated",
       "This record was changed by another station.", K::kNotice, A::kOk},
      {MessageId::kRecordChangedRedisplay, "Record Was Not Updated",
       "This record was changed by another station. Those changes will now be displayed. Use the "
       "Ditto Button or Ctrl+' to recall your changes.",
       K::kNotice, A::kOk},
      {MessageId::kRecordNotUpdated, "Record was not updated",
       "An error (%ErrorText) was experienced when making changes to the %File file.", K::kNotice,
       A::kOk},
      {MessageId::kTransactionCancelled, "Transaction cancelled",
       "Error: (%ErrorText) attempting to frame the transaction on %File.", K::kNotice, A::kOk},
      {MessageId::kRecordNotDeleted, "Record was not deleted",
       "An error (%ErrorText) was experienced when deleting a record from the %File file.",
       K::kNotice, A::kOk},
      {MessageId::kRecordDeleteError, "Record Delete Error",
       "An error was experienced deleting this record. Do you want to try to delete it again?",
       K::kYesNo, A::kYes},
      {MessageId::kRecordUpdateError, "Record Update Error",
       "An error was experienced changing this record. Do you want to try to save again?",
       K::kYesNoCancel, A::kCancel},
      {MessageId::kConfirmDelete, "Удаление записи", "Вы уверены, что хотите удалить эту запись?",
       K::kYesNo, A::kYes},
      {MessageId::kTooManyWindows, "Слишком много окон",
       "Одновременно может быть открыто не более 63 окон.|Закройте одно из окон и повторите.",
       K::kNotice, A::kOk},
  };
  return table;
}

void ErrorReporter::Init() { g_shared = std::make_unique<ErrorReporter>(); }
void ErrorReporter::Release() { g_shared.reset(); }
ErrorReporter* ErrorReporter::Shared() { return g_shared.get(); }

std::string ErrorReporter::Format(std::string_view text, const MessageArgs& args) {
  struct Placeholder {
    std::string_view name;
    const std::string* value;
  } placeholders[] = {{"%File", &args.file},
                      {"%Field", &args.field},
                      {"%Message", &args.message},
                      {"%ErrorText", &args.error_text}};
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '|') {
      out += '\n';
      ++i;
      continue;
    }
    bool replaced = false;
    if (text[i] == '%') {
      for (const Placeholder& p : placeholders) {
        if (text.substr(i, p.name.size()) == p.name) {
          out += *p.value;
          i += p.name.size();
          replaced = true;
          break;
        }
      }
    }
    if (!replaced) out += text[i++];
  }
  return out;
}

Message ErrorReporter::Build(MessageId id, const MessageArgs& args) {
  const MessageDef& def = MessageTable().at(size_t(id));
  Message m{id, def.kind, def.title, Format(def.text, args), def.default_answer};
  if (def.kind == MessageKind::kFatal) m.text += kFatalSuffix;
  return m;
}

Answer ErrorReporter::Show(MessageId id, const MessageArgs& args) {
  Message m = Build(id, args);
  Answer answer = m.default_answer;
  if (presenter_) {
    answer = presenter_->Present(m);
  } else {
    std::fprintf(stderr, "%s: %s\n", m.title.c_str(), m.text.c_str());
  }
  if (m.kind == MessageKind::kFatal) {
    if (fatal_exit_) {
      fatal_exit_();
    } else {
      std::fflush(nullptr);
      std::_Exit(1);
    }
  }
  return answer;
}

void ErrorReporter::PushName(std::string_view name) {
  WindowContexts::Instance().Current().names().emplace_back(name);
}

void ErrorReporter::PopName() {
  auto& names = WindowContexts::Instance().Current().names();
  if (!names.empty()) names.pop_back();
}

std::string ErrorReporter::TopName() const {
  const auto& names = WindowContexts::Instance().Current().names();
  return names.empty() ? std::string() : names.back();
}

ProcedureName::ProcedureName(std::string_view name) {
  if (ErrorReporter* r = ErrorReporter::Shared()) r->PushName(name);
}

ProcedureName::~ProcedureName() {
  if (ErrorReporter* r = ErrorReporter::Shared()) r->PopName();
}

}  // namespace kel
