#include "framework/core/window_context.h"

#include <algorithm>

#include "framework/core/error_reporter.h"

namespace kel {

WindowContext::WindowContext(int id, std::string procedure, uint32_t stack_size)
    : id_(id), procedure_(std::move(procedure)), stack_size_(stack_size) {}

TableState& WindowContext::Table(const TableDecl& decl) {
  auto [it, inserted] = tables_.try_emplace(&decl);
  if (inserted) it->second.record.assign(decl.record_length(), 0);
  return it->second;
}

WindowContexts& WindowContexts::Instance() {
  static WindowContexts instance;
  return instance;
}

WindowContexts::WindowContexts()
    : main_(std::make_unique<WindowContext>(0, "Main", 0)), current_(main_.get()) {}

WindowContext* WindowContexts::Start(std::string_view procedure, uint32_t stack_size) {
  if (started() >= kMaxStarted) {
    if (ErrorReporter* r = ErrorReporter::Shared()) r->Show(MessageId::kTooManyWindows);
    return nullptr;
  }
  started_.push_back(std::make_unique<WindowContext>(next_id_++, std::string(procedure), stack_size));
  return started_.back().get();
}

void WindowContexts::End(WindowContext* context) {
  auto it = std::find_if(started_.begin(), started_.end(),
                         [&](const auto& p) { return p.get() == context; });
  if (it == started_.end()) return;
  if (current_ == context) current_ = main_.get();
  started_.erase(it);
}

WindowContexts::Scope::Scope(WindowContext& context) {
  WindowContexts& all = Instance();
  previous_ = all.current_;
  all.current_ = &context;
}

WindowContexts::Scope::~Scope() {
  // The previous context may have ended meanwhile; fall back to the main one.
  WindowContexts& all = Instance();
  bool alive = previous_ == all.main_.get() ||
               std::any_of(all.started_.begin(), all.started_.end(),
                           [&](const auto& p) { return p.get() == previous_; });
  all.current_ = alive ? previous_ : all.main_.get();
}

}  // namespace kel
