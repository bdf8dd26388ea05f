#include "storage/store.h"

#include "storage/errors.h"
#include "storage/store_impl.h"

namespace kel {

Store::Store(std::unique_ptr<platform::File> file, SharingClass sharing)
    : impl_(std::make_unique<StoreImpl>(std::move(file), sharing, false)) {}

Store::Store() : impl_(std::make_unique<StoreImpl>(nullptr, SharingClass::kExclusive, true)) {}

Store::~Store() = default;

bool Store::in_memory() const { return impl_->in_memory_; }
BlockFile& Store::io() { return *impl_->io_; }
LockArea& Store::lock_area() { return *impl_->locks_; }
SharingClass Store::sharing() const { return impl_->sharing_; }

int Store::BeginAccess() { return impl_->BeginAccess(); }
void Store::EndAccess() { impl_->EndAccess(); }
bool Store::access_open() const { return impl_->access_open_; }
bool Store::read_state() const { return impl_->read_state_; }
int Store::EnterWriteState() { return impl_->EnterWriteState(); }
int Store::EndOperation() { return impl_->EndOperation(); }

const Header& Store::header() const { return impl_->header_; }
uint32_t Store::last_number() const { return impl_->header_.last_number; }
void Store::SetLastNumber(uint32_t value) { impl_->SetLastNumber(value); }

RecordPtr Store::FindExact(std::string_view key) { return impl_->FindExact(key); }
RecordPtr Store::FindNext(std::string_view key) { return impl_->FindNext(key); }
RecordPtr Store::FindPrevious(std::string_view key) { return impl_->FindPrevious(key); }
uint64_t Store::Scan(std::string_view from, const ScanVisitor& visit) { return impl_->Scan(from, visit); }
RecordPtr Store::First() { return impl_->FindNext(std::string_view()); }
RecordPtr Store::Last() { return impl_->Last(); }
void Store::Insert(RecordPtr record) { impl_->Insert(std::move(record)); }
void Store::Delete(const RecordPtr& found) { impl_->Delete(found); }
RecordPtr Store::ReplaceData(const RecordPtr& found, std::string_view data) {
  return impl_->ReplaceData(found, data);
}

int Store::Commit() { return impl_->Commit(); }
int Store::CommitPhase0() { return impl_->CommitPhase0(); }
int Store::CommitPhase1() { return impl_->CommitPhase1(); }
int Store::AbandonLog() { return impl_->AbandonLog(); }
void Store::Discard() { impl_->Discard(); }
int Store::Truncate() { return impl_->Truncate(); }
int Store::Close() { return impl_->Close(); }

bool Store::has_uncommitted_changes() const { return impl_->uncommitted_; }
size_t Store::modified_page_count() const { return impl_->modified_count_; }
bool Store::enlisted() const { return impl_->enlisted_; }
void Store::set_enlisted(bool enlisted) { impl_->enlisted_ = enlisted; }
void Store::SetRecoveryCheck(std::function<bool(const Record& marker)> check) {
  impl_->recovery_check_ = std::move(check);
}

Store::Stats Store::stats() const {
  Stats s;
  s.cached_pages = impl_->cached_count();
  s.clean_pages = impl_->clean_count_;
  s.modified_pages = impl_->modified_count_;
  s.page_reads = impl_->page_reads_;
  return s;
}

uint64_t Store::CheckTree() { return impl_->CheckTree(); }

Cursor::Cursor(Store& store) : store_(store.impl_.get()) {}
Cursor::~Cursor() {
  if (page_) store_->CursorRelease(this);
}
void Cursor::Set(RecordPtr record, bool insert) { store_->CursorSet(this, std::move(record), insert); }
void Cursor::SetKey(std::string_view key) { store_->CursorSetKey(this, key); }
RecordPtr Cursor::Current() { return store_->CursorCurrent(this); }
void Cursor::DeleteCurrent() { store_->CursorDeleteCurrent(this); }
void Cursor::InsertAfter(RecordPtr record) { store_->CursorInsertAfter(this, std::move(record)); }
void Cursor::InsertAfter(std::string_view key, std::string_view data) { store_->CursorInsertAfter(this, key, data); }

}  // namespace kel
