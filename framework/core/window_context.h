// Window contexts: the per-"thread" state of the windows started from the
// main menu.
//
// Every window started from the frame's menu runs in a context of its own;
// the windows it calls (forms, pickers) run in its context and wait for their
// answer. A context holds what would be thread-local: the record buffer and
// open count of each table, the request word and the response word, and the
// error reporter's stack of procedure names. The frame itself runs in the
// main context, which exists for the whole run and is not counted.
//
// All windows run on the GUI thread one at a time; the context that is
// current is the one whose window code is running (ContextScope sets it).
// At most kMaxStarted contexts are started at once: a start beyond that
// opens nothing and tells the user so.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "storage/table_decl.h"

namespace kel {

// Request word values (set by a caller just before it calls a window).
enum Request : uint8_t {
  kRequestNone = 0,
  kRequestInsert = 1,
  kRequestChange = 2,
  kRequestDelete = 3,
  kRequestSelect = 4,
  kRequestView = 6,
};
// Response word values (the result of the window called last).
enum Response : uint8_t {
  kResponseNone = 0,
  kResponseCompleted = 1,
  kResponseCancelled = 2,
};

// Per table and context.
struct TableState {
  std::vector<uint8_t> record;  // the record buffer, record-length bytes
  int open_count = 0;           // 0 = closed
};

class WindowContext {
 public:
  WindowContext(int id, std::string procedure, uint32_t stack_size);
  WindowContext(const WindowContext&) = delete;
  WindowContext& operator=(const WindowContext&) = delete;

  int id() const { return id_; }  // 0 for the main context
  const std::string& procedure() const { return procedure_; }
  // The stack size the window asked for; kept for information only.
  uint32_t stack_size() const { return stack_size_; }

  uint8_t request() const { return request_; }
  void set_request(uint8_t r) { request_ = r; }
  uint8_t response() const { return response_; }
  void set_response(uint8_t r) { response_ = r; }

  // The table's state in this context; the record buffer is created zeroed
  // with the table's record length on first use.
  TableState& Table(const TableDecl& decl);
  // Tables this context has touched.
  size_t table_count() const { return tables_.size(); }

  std::vector<std::string>& names() { return names_; }
  const std::vector<std::string>& names() const { return names_; }

 private:
  int id_;
  std::string procedure_;
  uint32_t stack_size_;
  uint8_t request_ = kRequestNone;
  uint8_t response_ = kResponseNone;
  std::map<const TableDecl*, TableState> tables_;
  std::vector<std::string> names_;
};

class WindowContexts {
 public:
  static constexpr int kMaxStarted = 63;

  static WindowContexts& Instance();

  WindowContext& Main() { return *main_; }
  WindowContext& Current() { return *current_; }

  // Starts a context for a window running `procedure`. Answers null when
  // kMaxStarted contexts are already started; the user is then told with a
  // notice and nothing is opened.
  WindowContext* Start(std::string_view procedure, uint32_t stack_size);
  // Ends a started context (its window has closed). Ending the current one
  // makes the main context current.
  void End(WindowContext* context);
  int started() const { return int(started_.size()); }
  const std::vector<std::unique_ptr<WindowContext>>& started_contexts() const { return started_; }

  // Makes `context` current until the scope ends, then restores the previous.
  class Scope {
   public:
    explicit Scope(WindowContext& context);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    WindowContext* previous_;
  };

 private:
  WindowContexts();
  std::unique_ptr<WindowContext> main_;
  WindowContext* current_;
  std::vector<std::unique_ptr<WindowContext>> started_;
  int next_id_ = 1;
};

}  // namespace kel
