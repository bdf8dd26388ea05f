#include "storage/table.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/clock.h"
#include "storage/errors.h"
#include "storage/lock_area.h"
#include "storage/record_kinds.h"
#include "storage/table_records.h"

namespace kel {
namespace {

bool StartsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

std::string Be32(uint32_t v) {
  std::string s;
  PutBE32(s, v);
  return s;
}

}  // namespace

Table::Table(const TableDecl& decl, uint8_t* buffer) : decl_(decl), external_buffer_(buffer) {
  uint32_t len = decl.record_length();
  if (external_buffer_) {
    buffer_ = external_buffer_;
  } else {
    own_buffer_.assign(std::max<uint32_t>(len, 1), 0);
    buffer_ = own_buffer_.data();
  }
  memos_.resize(decl.memos.size());
  for (size_t m = 0; m < decl.memos.size(); ++m)
    if (!(decl.memos[m].flags & kMemoBlob)) memos_[m].assign(decl.memos[m].size, ' ');
}

Table::~Table() {
  if (is_open()) Close();
}

void Table::SetStream(bool on) {
  stream_ = on;
  if (on) view_noted_ = false;
}

// ---- frame ------------------------------------------------------------------

int Table::Run(bool is_close, const std::function<int()>& op) {
  OperationFrame frame(display_name());
  if (latched_ != 0 && !is_close) {
    SetLastFileError(latched_, kDataCorruptionText);
    return kFileSystemError;
  }
  ended_ = false;
  int rc = 0;
  try {
    rc = op();
    if (auto_end_ && !ended_) {
      int end = EndStep();
      if (rc == 0) rc = end;
    }
  } catch (const InternalError& e) {
    latched_ = e.code();
    // Half an operation must never be committed, not even by another
    // handle of the file that commits next.
    if (file_ && store()->has_uncommitted_changes()) store()->Discard();
    return kFileSystemError;
  }
  return rc;
}

int Table::EndOfOperation() {
  return Run(false, [&] { return EndStep(); });
}

int Table::EndStep() {
  ended_ = true;
  if (!is_open()) return 0;
  Store& s = *store();
  if (build_running_) return 0;
  if (stream_ && s.modified_page_count() < kStreamPages && deferred_ < kStreamOperations) {
    ++deferred_;
    return 0;
  }
  deferred_ = 0;
  bool changed = s.has_uncommitted_changes();
  int rc = s.EndOperation();
  // The file keeps its previous committed state: a record made current by
  // the lost changes is not there.
  if (rc != 0 && changed) ReleaseCurrent();
  return rc;
}

int Table::CheckWrite() {
  if (!is_open()) return kFileNotOpen;
  if (!write_access()) return kAccessDenied;
  return 0;
}

int Table::CheckKey(size_t key) {
  if (!is_open()) return kFileNotOpen;
  if (key >= desc_.keys.size()) return kInvalidKeyFile;
  if (keys_->StoreOf(key) == nullptr) return kKeyFileMustBeRebuilt;
  return 0;
}

// ---- open and close -------------------------------------------------------------

int Table::PrepareDesc() {
  if (decl_.record_length() == 0 && decl_.memos.empty()) {
    desc_from_file_ = true;
    return 0;
  }
  desc_from_file_ = false;
  TableDesc desc;
  int rc = BuildTableDesc(decl_, &desc);
  if (rc != 0) return rc;
  desc.oem = decl_.oem;
  desc_ = std::move(desc);
  return 0;
}

int Table::Open(std::string_view name, int mode) {
  if (!is_open()) latched_ = 0;  // a closed handle starts afresh
  return Run(false, [&] {
    if (is_open()) return int(kFileAlreadyOpen);
    try {
      return OpenTable(name, mode);
    } catch (const InternalError&) {
      if (is_open()) {
        latched_ = 1;
        CloseTable();
      }
      throw;
    }
  });
}

int Table::OpenTable(std::string_view name, int mode, bool allow_mismatch) {
  if ((mode & open_mode::kAccessMask) == open_mode::kWriteOnly) return kAccessDenied;
  TableName tn;
  int rc = SplitTableName(name, &tn);
  if (rc != 0) return rc;
  rc = PrepareDesc();
  if (rc != 0) return rc;
  TableFileHandle file;
  rc = AcquireTableFile(tn.path, mode, decl_.owner, &file);
  if (rc != 0) return rc;
  name_ = tn;
  file_ = std::move(file);
  mode_ = mode;
  flags_ = kOpen;
  Store& s = *store();
  rc = s.BeginAccess();
  if (rc == 1) rc = kInvalidDataFile;
  if (rc == 0 && !FindTableByName(s, name_.table, &table_)) rc = kFileNotFound;
  if (rc == 0) {
    if (desc_from_file_) {
      TableDesc stored;
      rc = ReadStoredDefinition(s, table_, &stored);
      if (rc == 0) {
        stored.oem = decl_.oem;
        desc_ = std::move(stored);
        own_buffer_.assign(std::max<uint32_t>(desc_.record_length, 1), 0);
        buffer_ = own_buffer_.data();
        memos_.assign(desc_.memos.size(), std::string());
        for (size_t m = 0; m < desc_.memos.size(); ++m)
          if (!desc_.memos[m].blob()) memos_[m].assign(desc_.memos[m].size, ' ');
      }
    } else if (!allow_mismatch && CompareStoredDefinition(s, table_, desc_) == DefCompare::kStructureDiffers) {
      rc = kInvalidRecordDeclaration;
    }
  }
  if (rc != 0) {
    CloseTable();
    return rc;
  }
  oem_ = desc_.oem;
  collation_ = Collation::Default();
  bool stored_oem = false;
  if (LoadCollation(s, table_, &collation_, &stored_oem)) oem_ = stored_oem;
  keys_ = std::make_unique<TableKeys>(s, table_, desc_, KeyStrings{&collation_, oem_});
  append_cursor_ = std::make_unique<Cursor>(s);
  append_epoch_ = ~uint64_t{0};
  saved_.assign(desc_.record_length, '\0');
  work_.assign(desc_.record_length, '\0');
  saved_memos_.clear();
  blob_changed_.assign(desc_.memos.size(), false);
  current_ = 0;
  seq_ = -1;
  deferred_ = 0;
  stream_ = false;
  view_noted_ = false;
  return 0;
}

void Table::CloseTable() {
  if (!file_) {
    flags_ = 0;
    return;
  }
  Store& s = *store();
  // A hold of this handle would otherwise stay locked as long as the file
  // object lives, and refuse every other handle of the process.
  if ((flags_ & kHeld) && current_ != 0) s.lock_area().UnlockHold(current_);
  if (locked_) s.lock_area().UnlockHold(table_);
  locked_ = false;
  keys_.reset();
  append_cursor_.reset();
  if (latched_ != 0) {
    s.Discard();
    s.lock_area().UnlockAfterDamage();
    s.EndAccess();
  }
  flags_ = 0;
  current_ = 0;
  seq_ = -1;
  stream_ = false;
  deferred_ = 0;
  view_noted_ = false;
  table_ = 0;
  try {
    ReleaseTableFile(&file_);
  } catch (const InternalError&) {
    file_.reset();
    throw;
  }
  file_.reset();
}

int Table::Close() {
  if (!is_open()) return kFileNotOpen;
  int rc = Run(true, [&] {
    int rc = 0;
    if (latched_ == 0) {
      Store& s = *store();
      deferred_ = 0;
      rc = s.EndOperation();
      int t = s.Truncate();
      s.EndAccess();
      if (rc == 0) rc = t;
    }
    CloseTable();
    return rc;
  });
  if (file_ == nullptr) latched_ = 0;
  return rc;
}

int Table::Create(std::string_view name) {
  if (is_open()) return kFileAlreadyOpen;
  latched_ = 0;
  return Run(false, [&]() -> int {
    TableName tn;
    int rc = SplitTableName(name, &tn);
    if (rc != 0) return rc;
    rc = PrepareDesc();
    if (rc != 0) return rc;
    if (desc_from_file_) return kInvalidRecordDeclaration;
    TableFileHandle file;
    rc = AcquireTableFile(tn.path, open_mode::kReadWrite | open_mode::kDenyNone | open_mode::kCreate, decl_.owner,
                          &file);
    if (rc != 0) return rc;
    Store& s = *file->store;
    try {
      rc = s.EnterWriteState();
      if (rc == 0) rc = s.BeginAccess() == 1 ? kInvalidDataFile : 0;
      if (rc == 0) {
        uint32_t old = 0;
        if (FindTableByName(s, tn.table, &old)) {
          RemoveTableRecords(s, old);
          DeleteTableName(s, tn.table);
        }
        uint32_t table = NextNumber(s);
        InsertTableName(s, tn.table, table);
        WriteDefinition(s, table, desc_);
        WriteZeroCounters(s, table, desc_.keys.size());
        StoreCollation(s, table, Collation::Default(), desc_.oem);
        ++file->insert_epoch;
      }
      int end = s.EndOperation();
      if (rc == 0) rc = end;
    } catch (const InternalError&) {
      s.Discard();
      s.EndAccess();
      ReleaseTableFile(&file);
      throw;
    }
    int rel = ReleaseTableFile(&file);
    return rc != 0 ? rc : rel;
  });
}

int Table::Empty() {
  return Run(false, [&]() -> int {
    int rc = CheckWrite();
    if (rc != 0) return rc;
    if (SharingClassOf(mode_) == SharingClass::kShared && !locked_) return kExclusiveAccessRequired;
    Store& s = *store();
    rc = s.EnterWriteState();
    if (rc != 0) return rc;
    ReleaseCurrent();
    RemoveTableRecords(s, table_);
    keys_->DropDynamicIndexes();
    WriteDefinition(s, table_, desc_);
    WriteZeroCounters(s, table_, desc_.keys.size());
    // The collation went with the table's records; put back the one in use
    // so that strings already keyed and the code page of the table stay
    // those of the reopened table.
    StoreCollation(s, table_, collation_, oem_);
    ++file_->insert_epoch;
    seq_ = -1;
    return 0;
  });
}

int Table::Lock() {
  return Run(false, [&]() -> int {
    if (!is_open()) return kFileNotOpen;
    if (locked_) return 0;
    if (store()->lock_area().LockHold(table_, false) != 0) return kFileAlreadyLocked;
    locked_ = true;
    return 0;
  });
}

int Table::Unlock() {
  return Run(false, [&]() -> int {
    if (!is_open()) return kFileNotOpen;
    if (locked_) store()->lock_area().UnlockHold(table_);
    locked_ = false;
    return 0;
  });
}

// ---- writes ----------------------------------------------------------------------

int Table::Add() {
  return Run(false, [&] { return ClearBlobMarksAfter(AddRecord(false)); });
}

int Table::Append() {
  return Run(false, [&] { return ClearBlobMarksAfter(AddRecord(true)); });
}

int Table::ClearBlobMarksAfter(int rc) {
  std::fill(blob_changed_.begin(), blob_changed_.end(), false);
  return rc;
}

int Table::AddRecord(bool append) {
  int rc = CheckWrite();
  if (rc != 0) return rc;
  Store& s = *store();
  rc = s.EnterWriteState();
  if (rc != 0) return rc;
  // Everything that can refuse the record is checked before anything is
  // written.
  if (!s.FindExact(CounterKey(table_, kDataCounterIndex))) return kAccessDenied;
  rc = CheckMemoValues(desc_, memos_);
  if (rc != 0) return rc;
  uint32_t r = NextNumber(s);
  rc = keys_->Maintain(buffer_, nullptr, r, append);
  if (rc != 0) return rc;  // r stays used
  ReleaseCurrent();
  saved_.assign(reinterpret_cast<const char*>(buffer_), desc_.record_length);
  InsertData(MakeRecord(DataKey(table_, r), StoreImage(desc_, oem_, buffer_)));
  current_ = r;
  Counter c = ReadCounter(s, table_, kDataCounterIndex);
  ++c.count;
  WriteCounter(s, table_, kDataCounterIndex, c);
  return WriteMemos(MemoTable{&s, table_, &desc_, oem_}, r, memos_);
}

void Table::InsertData(RecordPtr record) {
  TableFile& tf = *file_;
  // The cursor stands on this handle's last data record only while nobody
  // inserted a data record since; otherwise let the insert descend.
  if (append_epoch_ != tf.insert_epoch || !append_cursor_->attached()) append_cursor_->SetKey(record->key());
  append_cursor_->InsertAfter(std::move(record));
  append_epoch_ = ++tf.insert_epoch;
}

void Table::UnlockHoldByte(uint32_t recno) {
  if (recno != 0 && file_ && store()->lock_area().holds(recno)) store()->lock_area().UnlockHold(recno);
}

void Table::ReleaseCurrent() {
  if (flags_ & kHeld) UnlockHoldByte(current_);
  flags_ &= ~(kHeld | kWatched | kMemosNotLoaded);
  current_ = 0;
}

int Table::EnterRecordChange() {
  int rc = CheckWrite();
  if (rc != 0) return rc;
  if (current_ == 0) return kRecordNotAvailable;
  return store()->EnterWriteState();
}

void Table::ClearRequests() { flags_ &= ~(kHoldRequested | kWatchRequested | kNoMemoRequested); }

int Table::Put() {
  return ClearBlobMarksAfter(Run(false, [&]() -> int {
    int rc = EnterRecordChange();
    if (rc != 0) return rc;
    Store& s = *store();
    bool memos_loaded = !(flags_ & kMemosNotLoaded);
    if (memos_loaded) {
      rc = CheckMemoValues(desc_, memos_);
      if (rc != 0) return rc;
    }
    const uint32_t r = current_;
    bool locked_here = false;
    if (!(flags_ & kHeld)) {
      if (s.lock_area().LockHold(r, false) != 0) {
        flags_ &= ~kWatched;
        return kAccessDenied;
      }
      locked_here = true;
    }
    auto refuse = [&](int code) {
      if (locked_here) UnlockHoldByte(r);
      return code;
    };
    RecordPtr stored = ExactData(s, table_, r);
    if (!stored) return refuse(kRecordNotAvailable);
    LoadImage(desc_, oem_, stored->data(), reinterpret_cast<uint8_t*>(work_.data()));
    MemoTable mt{&s, table_, &desc_, oem_};
    if (flags_ & kWatched) {
      if (work_ != saved_ || (!desc_.memos.empty() && MemosDiffer(mt, r, saved_memos_)))
        return refuse(kRecordChangedByAnotherStation);
    }
    if (std::memcmp(buffer_, work_.data(), desc_.record_length) != 0) {
      rc = keys_->Maintain(buffer_, reinterpret_cast<const uint8_t*>(work_.data()), r, false);
      if (rc != 0) return refuse(rc);
      s.ReplaceData(stored, StoreImage(desc_, oem_, buffer_));
    }
    saved_.assign(reinterpret_cast<const char*>(buffer_), desc_.record_length);
    if (memos_loaded && !desc_.memos.empty()) RewriteMemos(mt, r, memos_);
    // Commit before the record's byte goes, so that nobody changes it in
    // between.
    int end = EndStep();
    UnlockHoldByte(r);
    flags_ &= ~(kHeld | kWatched);
    return end;
  }));
}

int Table::Delete() {
  return ClearBlobMarksAfter(Run(false, [&]() -> int {
    int rc = EnterRecordChange();
    if (rc != 0) return rc;
    Store& s = *store();
    const uint32_t r = current_;
    bool locked_here = false;
    if (!(flags_ & kHeld)) {
      if (s.lock_area().LockHold(r, false) != 0) return kRecordNotAvailable;
      locked_here = true;
    }
    RecordPtr stored = ExactData(s, table_, r);
    if (!stored) {
      if (locked_here) UnlockHoldByte(r);
      return kRecordNotAvailable;
    }
    // The keys are built from the ANSI image, as every other write builds
    // them.
    LoadImage(desc_, oem_, stored->data(), reinterpret_cast<uint8_t*>(saved_.data()));
    s.Delete(stored);
    keys_->Maintain(nullptr, reinterpret_cast<const uint8_t*>(saved_.data()), r, false);
    Counter c = ReadCounter(s, table_, kDataCounterIndex);
    if (c.count > 0) --c.count;
    WriteCounter(s, table_, kDataCounterIndex, c);
    DeleteMemos(MemoTable{&s, table_, &desc_, oem_}, r);
    int end = EndStep();
    UnlockHoldByte(r);
    flags_ &= ~(kHeld | kWatched | kMemosNotLoaded);
    current_ = 0;
    return end;
  }));
}

// ---- fetch ------------------------------------------------------------------------

int Table::Fetch(const RecordPtr& found) {
  ReleaseCurrent();
  if (!found) return kRecordNotFound;
  Store& s = *store();
  uint32_t r = RecnoOfDataKey(found->key());
  if (flags_ & kHoldRequested) {
    if (s.lock_area().LockHold(r, false) != 0) {
      // Let the holder commit meanwhile: a reader that kept its access
      // would block the holder's commit.
      if (!s.has_uncommitted_changes()) {
        s.EndOperation();
      } else {
        bool ended = ended_;
        EndStep();
        ended_ = ended;
      }
      return kRecordAlreadyHeld;
    }
    flags_ |= kHeld;
  }
  LoadImage(desc_, oem_, found->data(), buffer_);
  saved_.assign(reinterpret_cast<const char*>(buffer_), desc_.record_length);
  current_ = r;
  MemoTable mt{&s, table_, &desc_, oem_};
  if (flags_ & kWatchRequested) {
    flags_ |= kWatched;
    saved_memos_.clear();
    if (!desc_.memos.empty()) ReadMemos(mt, r, &saved_memos_);
  }
  if (flags_ & kNoMemoRequested) {
    flags_ |= kMemosNotLoaded;
  } else if (!desc_.memos.empty()) {
    ReadMemos(mt, r, &memos_);
  }
  ClearRequests();
  return 0;
}

int Table::FetchWithRetry(const std::function<RecordPtr()>& find, int none_code) {
  ClearBlobMarksAfter(0);
  uint64_t start = platform::TickCountMs();
  while (true) {
    RecordPtr found = find();
    if (!found) {
      ReleaseCurrent();
      ClearRequests();
      return none_code;
    }
    int rc = Fetch(found);
    if (rc != kRecordAlreadyHeld) {
      ClearRequests();
      return rc;
    }
    if (hold_limit_ >= 0 && platform::TickCountMs() - start > uint64_t(hold_limit_) * 1000) {
      ClearRequests();
      return rc;
    }
    ::usleep(kHoldRetryPauseMs * 1000);
  }
}

RecordPtr Table::DataOfEntry(size_t key, const RecordPtr& entry) {
  if (!entry) return nullptr;
  return ExactData(*store(), table_, keys_->RecnoOf(key, *entry));
}

int Table::GetByKey(size_t key) {
  return Run(false, [&]() -> int {
    int rc = CheckKey(key);
    if (rc != 0) return rc;
    const KeyDesc& kd = desc_.keys[key];
    std::string value = keys_->Value(key, buffer_);
    std::string exact = EntryKey(table_, uint8_t(key), kd.dup(), value, 0);
    std::string prefix = KeyPrefix(table_, uint8_t(key)) + value;
    return FetchWithRetry(
        [&]() -> RecordPtr {
          RecordPtr e;
          if (kd.dup()) {
            e = keys_->EntryAfter(key, prefix);
            if (e && !StartsWith(e->key(), prefix)) e = nullptr;
          } else {
            e = keys_->ExactEntry(key, exact);
          }
          return DataOfEntry(key, e);
        },
        kRecordNotFound);
  });
}

int Table::GetByPointer(uint32_t pointer) {
  return Run(false, [&]() -> int {
    if (!is_open()) return kFileNotOpen;
    return FetchWithRetry([&] { return pointer ? ExactData(*store(), table_, pointer) : nullptr; }, kRecordNotFound);
  });
}

int Table::RegetFile(std::string_view position) {
  return Run(false, [&]() -> int {
    if (!is_open()) return kFileNotOpen;
    if (position.size() < 4) return kRecordNotFound;
    uint32_t r = GetBE32(position, 0);
    return FetchWithRetry([&] { return r ? ExactData(*store(), table_, r) : nullptr; }, kRecordNotFound);
  });
}

namespace {
// The key value carried by a position string, cut or padded to the key's
// value length.
std::string PositionValue(std::string_view position, size_t length) {
  std::string v(position.size() > 4 ? position.substr(4) : std::string_view());
  v.resize(length, '\0');
  return v;
}
}  // namespace

int Table::RegetKey(size_t key, std::string_view position) {
  return Run(false, [&]() -> int {
    int rc = CheckKey(key);
    if (rc != 0) return rc;
    if (position.size() < 4) return kRecordNotFound;
    uint32_t r = GetBE32(position, 0);
    const KeyDesc& kd = desc_.keys[key];
    std::string value = PositionValue(position, desc_.ValueLength(keys_->components(key)));
    std::string ek = EntryKey(table_, uint8_t(key), kd.dup(), value, r);
    return FetchWithRetry(
        [&]() -> RecordPtr {
          RecordPtr e = keys_->ExactEntry(key, ek);
          if (!e || keys_->RecnoOf(key, *e) != r) return nullptr;
          return DataOfEntry(key, e);
        },
        kRecordNotFound);
  });
}

// ---- sequence -------------------------------------------------------------------

void Table::SetSequence(int state, int key, std::string pos, uint32_t pointer) {
  seq_ = state;
  seq_key_ = key;
  pos_ = std::move(pos);
  seq_pointer_ = pointer;
}

int Table::SetFile() {
  return Run(false, [&]() -> int {
    if (!is_open()) return kFileNotOpen;
    SetSequence(2, -1, "", 0);
    return 0;
  });
}

int Table::SetFilePointer(int64_t pointer) {
  if (pointer <= 0) return SetFile();
  return Run(false, [&]() -> int {
    if (!is_open()) return kFileNotOpen;
    SetSequence(3, -1, "", uint32_t(std::min<int64_t>(pointer, 0xFFFFFFFF)));
    return 0;
  });
}

int Table::SetFileKey(size_t key) { return SetOnKey(4, key, true, 0); }

int Table::SetKey(size_t key) { return SetOnKey(5, key, false, 0); }

int Table::SetKeyKeyPointer(size_t key, int64_t pointer) {
  return SetOnKey(6, key, true, uint32_t(std::clamp<int64_t>(pointer, 0, 0xFFFFFFFF)));
}

int Table::SetKeyKey(size_t key) { return SetOnKey(7, key, true, 0); }

int Table::SetKeyPointer(size_t key, int64_t pointer) {
  if (pointer <= 0) return SetKey(key);
  return SetOnKey(8, key, false, uint32_t(std::min<int64_t>(pointer, 0xFFFFFFFF)));
}

int Table::SetOnKey(int state, size_t key, bool with_value, uint32_t pointer) {
  return Run(false, [&]() -> int {
    int rc = CheckKey(key);
    if (rc != 0) return rc;
    SetSequence(state, int(key), with_value ? keys_->Value(key, buffer_) : std::string(), pointer);
    return 0;
  });
}

int Table::ResetFile(std::string_view position) {
  return Run(false, [&]() -> int {
    if (!is_open()) return kFileNotOpen;
    if (position.size() < 4) return kRecordNotFound;
    SetSequence(3, -1, "", GetBE32(position, 0));
    return 0;
  });
}

int Table::ResetKey(size_t key, std::string_view position) {
  return Run(false, [&]() -> int {
    int rc = CheckKey(key);
    if (rc != 0) return rc;
    if (position.size() < 4) return kRecordNotFound;
    SetSequence(6, int(key), PositionValue(position, desc_.ValueLength(keys_->components(key))),
                GetBE32(position, 0));
    return 0;
  });
}

RecordPtr Table::StepCandidate(bool forward, std::string* next_pos, int* next_state) {
  Store& s = *store();
  const uint32_t t = table_;
  auto by_data = [&](RecordPtr d) {
    if (d) {
      next_pos->assign(d->key());
      *next_state = 0;
    }
    return d;
  };
  if (seq_ == 0 || seq_ == 2 || seq_ == 3) {
    if (seq_ == 0) {
      uint32_t r = RecnoOfDataKey(pos_);
      return by_data(forward ? DataAfter(s, t, r) : DataBefore(s, t, r));
    }
    if (seq_ == 2) return by_data(forward ? FirstData(s, t) : LastData(s, t));
    RecordPtr d = ExactData(s, t, seq_pointer_);
    if (!d) d = forward ? DataAfter(s, t, seq_pointer_) : DataBefore(s, t, seq_pointer_);
    if (!d) d = LastData(s, t);
    return by_data(d);
  }
  // Key order (and state 4, which finds its first record by key).
  size_t k = size_t(seq_key_);
  if (k >= desc_.keys.size() || keys_->StoreOf(k) == nullptr) return nullptr;
  const KeyDesc& kd = desc_.keys[k];
  RecordPtr e;
  switch (seq_) {
    case 1:
      e = forward ? keys_->EntryAfter(k, pos_) : keys_->EntryBefore(k, pos_);
      break;
    case 5:
      e = forward ? keys_->FirstEntry(k) : keys_->LastEntry(k);
      break;
    case 6: {
      std::string ek = EntryKey(t, uint8_t(k), kd.dup(), pos_, seq_pointer_);
      e = keys_->ExactEntry(k, ek);
      if (!e) e = forward ? keys_->EntryAfter(k, ek) : keys_->EntryBefore(k, ek);
      break;
    }
    case 4:
    case 7: {
      std::string ek = EntryKey(t, uint8_t(k), kd.dup(), pos_, forward ? 0 : 0xFFFFFFFFu);
      if (!kd.dup()) e = keys_->ExactEntry(k, ek);
      if (!e) e = forward ? keys_->EntryAfter(k, ek) : keys_->EntryBefore(k, ek);
      break;
    }
    case 8: {
      RecordPtr d = ExactData(s, t, seq_pointer_);
      if (d) {
        std::string image(desc_.record_length, '\0');
        LoadImage(desc_, oem_, d->data(), reinterpret_cast<uint8_t*>(image.data()));
        *next_pos = keys_->EntryKeyOf(k, reinterpret_cast<const uint8_t*>(image.data()), seq_pointer_);
        *next_state = 1;
        return d;
      }
      e = keys_->LastEntry(k);
      break;
    }
    default:
      return nullptr;
  }
  // An entry whose data record is missing is stepped over.
  RecordPtr d;
  while (e && !(d = DataOfEntry(k, e))) {
    std::string at(e->key());
    e = forward ? keys_->EntryAfter(k, at) : keys_->EntryBefore(k, at);
  }
  if (!d) return nullptr;
  if (seq_ == 4) {
    next_pos->assign(d->key());
    *next_state = 0;
  } else {
    next_pos->assign(e->key());
    *next_state = 1;
  }
  return d;
}

int Table::Step(bool forward) {
  if (!is_open()) return kFileNotOpen;
  if (seq_ < 0) {
    ReleaseCurrent();
    ClearRequests();
    return kRecordNotAvailable;
  }
  std::string next_pos;
  int next_state = seq_;
  int rc = FetchWithRetry([&] { return StepCandidate(forward, &next_pos, &next_state); }, kRecordNotAvailable);
  if (rc == 0) {
    pos_ = std::move(next_pos);
    seq_ = next_state;
  } else if (rc == kRecordNotAvailable) {
    seq_ = -1;
  }
  return rc;
}

int Table::Next() {
  return Run(false, [&] { return Step(true); });
}

int Table::Previous() {
  return Run(false, [&] { return Step(false); });
}

int Table::Skip(int64_t count) {
  return Run(false, [&]() -> int {
    if (!is_open()) return kFileNotOpen;
    if (seq_ < 0) return kRecordNotAvailable;
    bool forward = count > 0;
    for (int64_t i = 0; i < (count < 0 ? -count : count); ++i) {
      std::string next_pos;
      int next_state = seq_;
      if (!StepCandidate(forward, &next_pos, &next_state)) break;
      pos_ = std::move(next_pos);
      seq_ = next_state;
    }
    return 0;
  });
}

int Table::Bof(bool* yes) { return AtEnd(false, yes); }

int Table::Eof(bool* yes) { return AtEnd(true, yes); }

int Table::AtEnd(bool forward, bool* yes) {
  *yes = true;
  return Run(false, [&]() -> int {
    if (!is_open()) return kFileNotOpen;
    if (seq_ < 0) return kRecordNotAvailable;
    std::string p;
    int st = seq_;
    *yes = StepCandidate(forward, &p, &st) == nullptr;
    return 0;
  });
}

// ---- positions and counts ---------------------------------------------------

int Table::PositionFile(std::string* out) {
  out->clear();
  return Run(false, [&]() -> int {
    if (!is_open()) return kFileNotOpen;
    if (current_ == 0) return kRecordNotAvailable;
    *out = Be32(current_);
    return 0;
  });
}

int Table::PositionKey(size_t key, std::string* out) {
  out->clear();
  return Run(false, [&]() -> int {
    int rc = CheckKey(key);
    if (rc != 0) return rc;
    if (current_ == 0) return kRecordNotAvailable;
    *out = Be32(current_) + keys_->Value(key, reinterpret_cast<const uint8_t*>(saved_.data()));
    return 0;
  });
}

int Table::Records(uint64_t* count) {
  *count = 0;
  return Run(false, [&]() -> int {
    if (!is_open()) return kFileNotOpen;
    *count = ReadCounter(*store(), table_, kDataCounterIndex).count;
    return 0;
  });
}

int Table::RecordsKey(size_t key, uint64_t* count) {
  *count = 0;
  return Run(false, [&]() -> int {
    int rc = CheckKey(key);
    if (rc != 0) return rc;
    *count = keys_->GetCounter(key).count;
    return 0;
  });
}

int Table::Bytes(uint64_t* size) {
  *size = 0;
  return Run(false, [&]() -> int {
    if (!file_ || !store()->io().has_file()) return kFileNotOpen;
    return store()->io().file()->Size(size);
  });
}

int Table::Duplicate(int key, bool exclude_current, bool* yes) {
  *yes = false;
  return Run(false, [&]() -> int {
    if (!is_open()) return kFileNotOpen;
    if (key >= 0) {
      int rc = CheckKey(size_t(key));
      if (rc != 0) return rc;
    }
    std::optional<uint32_t> own;
    if (exclude_current && current_ != 0) own = current_;
    *yes = keys_->WouldDuplicate(key, buffer_, own);
    return 0;
  });
}

// ---- requests -------------------------------------------------------------------

int Table::Hold(int seconds) {
  return Run(false, [&]() -> int {
    if (!is_open()) return kFileNotOpen;
    flags_ |= kHoldRequested;
    hold_limit_ = seconds < 0 ? kNoLimit : seconds;
    return 0;
  });
}

int Table::Watch() {
  return Run(false, [&]() -> int {
    if (!is_open()) return kFileNotOpen;
    flags_ |= kWatchRequested;
    return 0;
  });
}

int Table::NoMemo() {
  return Run(false, [&]() -> int {
    if (!is_open()) return kFileNotOpen;
    flags_ |= kNoMemoRequested;
    return 0;
  });
}

int Table::Release() {
  return Run(false, [&]() -> int {
    if (!is_open()) return kFileNotOpen;
    if (flags_ & kHeld) UnlockHoldByte(current_);
    flags_ &= ~kHeld;
    return 0;
  });
}

int Table::Flush() {
  return Run(false, [&]() -> int {
    if (!is_open()) return kFileNotOpen;
    stream_ = false;
    deferred_ = 0;
    ended_ = true;
    return store()->EndOperation();
  });
}

int Table::InView() {
  return Run(false, [&]() -> int {
    if (is_open() && !stream_) view_noted_ = true;
    return 0;
  });
}

int Table::EndView() {
  if (!view_noted_) return 0;
  view_noted_ = false;
  return Flush();
}

}  // namespace kel
