// A table handle: the open state of one table for one user (a thread's
// table), and the record operations on it.
//
// A handle owns (or borrows) the record buffer of its declaration and keeps
// beside it the saved image (the record as last read or written through this
// handle) and the memo values. It shares the file object of its file with
// every other handle of the process (table_files.h), so handles of one file
// see each other's uncommitted changes.
//
// Every operation answers a code (0 = success; errors.h). Each runs inside
// an OperationFrame: an internal error raised by the layers below abandons
// the operation, latches the handle as damaged and answers 90; a latched
// handle answers 90 to everything but Close, which then releases the file's
// locks without committing. The uncommitted changes of the file are dropped
// at once when the error is raised, so that no other handle of the file
// commits a half-done operation. After each operation the end-of-operation step
// runs (commit, end of the access, back to read state), deferred in stream
// mode while the file has fewer than 40 modified pages and fewer than 5000
// operations are deferred; its error becomes the answer of an operation
// that had none.
//
// What a failed operation leaves: an error found before any change (no
// current record, a record held elsewhere, a missing record, a duplicate
// key - key entries already changed are put back) leaves the table and the
// handle as they were; the hold byte an operation locked for itself is
// unlocked on every answer. When the commit of the end step fails, the
// file keeps its previous committed state (or, when only the copy of a
// complete log home failed, the whole new state, rolled forward at the next
// access) and the handle has no current record.
//
// Closing a handle lets go of the record it holds and of its table lock at
// once: the file object outlives the handle while other handles use it, and
// a byte it kept locked would refuse every other handle of the process.
//
// Keys are given by their position in the declaration. Record numbers
// ("pointers") are u32; 0 means none.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "storage/collation.h"
#include "storage/errors.h"
#include "storage/keys.h"
#include "storage/memo.h"
#include "storage/table_decl.h"
#include "storage/table_desc.h"
#include "storage/table_files.h"
#include "storage/table_name.h"

namespace kel {

class Table {
 public:
  // Flags word of the handle.
  enum Flag : uint32_t {
    kOpen = 0x01,
    kHoldRequested = 0x02,
    kHeld = 0x04,
    kWatchRequested = 0x08,
    kWatched = 0x10,
    kNoMemoRequested = 0x20,
    kMemosNotLoaded = 0x40,
    kFullBuild = 0x100,
  };

  static constexpr int kNoLimit = -1;               // HOLD without a time limit
  static constexpr size_t kStreamPages = 40;        // stream mode: commit at 40 modified pages
  static constexpr uint32_t kStreamOperations = 5000;  // ... or after 5000 deferred operations
  static constexpr int kHoldRetryPauseMs = 20;

  // `decl` must outlive the handle. With `buffer` null the handle owns its
  // record buffer; otherwise `buffer` (record length bytes) is used. A
  // declaration with no fields and no memos takes its description from the
  // file at open (the handle then owns a buffer of the stored length).
  explicit Table(const TableDecl& decl, uint8_t* buffer = nullptr);
  ~Table();  // closes an open table
  Table(const Table&) = delete;
  Table& operator=(const Table&) = delete;

  // ---- state ---------------------------------------------------------------
  uint8_t* record() { return buffer_; }
  uint32_t record_length() const { return desc_.record_length; }
  // Memo values of the record, in memo order (a MEMO padded to its size).
  MemoValues& memos() { return memos_; }
  const std::string& saved_image() const { return saved_; }
  const TableDesc& desc() const { return desc_; }
  uint32_t flags() const { return flags_; }
  bool is_open() const { return flags_ & kOpen; }
  bool has_current() const { return current_ != 0; }
  bool sequence_set() const { return seq_ >= 0; }
  int sequence_state() const { return seq_; }
  uint32_t table_number() const { return table_; }
  bool oem() const { return oem_; }
  const std::string& display_name() const { return name_.display.empty() ? decl_.label : name_.display; }
  const std::string& path() const { return name_.path; }
  int open_mode() const { return mode_; }
  bool write_access() const { return (mode_ & 0x03) != 0; }
  int latched() const { return latched_; }
  Store* store() { return file_ ? file_->store.get() : nullptr; }
  // Per memo: the BLOB was changed since its record was read. ADD, APPEND,
  // PUT, DELETE and every fetch clear the marks.
  std::vector<bool>& blob_changed() { return blob_changed_; }
  TableKeys* keys() { return keys_.get(); }

  // Stream mode defers the end-of-operation commit (see above).
  void SetStream(bool on);
  bool stream() const { return stream_; }
  // The dispatcher may run the end step itself; by default every operation
  // runs it.
  void SetAutoEndStep(bool on) { auto_end_ = on; }
  // While a postponed build runs the end step defers every commit.
  void SetBuildRunning(bool on) { build_running_ = on; }

  // ---- tables ------------------------------------------------------------
  // OPEN / SHARE with an open mode (lock_area.h open_mode). 0, 5 (write-only
  // access, sharing refused), 2 (no such table in the file, or no file), 36
  // (not a table file), 45 (bad name), 47 (declaration differs), 52 (already
  // open), or an I/O error code.
  int Open(std::string_view name, int mode = 0x22);
  int Share(std::string_view name, int mode = 0x42) { return Open(name, mode); }
  // Creates (or empties and renumbers) the table; the handle stays closed.
  int Create(std::string_view name);
  int Close();
  int Empty();
  // The table must not be open through this handle.
  int Remove(std::string_view name);
  int Copy(std::string_view name, std::string_view new_name);
  int Rename(std::string_view name, std::string_view new_name);

  // ---- writes ----------------------------------------------------------------
  int Add();
  int Append();
  int Put();
  int Delete();

  // ---- reads -------------------------------------------------------------------
  int GetByKey(size_t key);                 // GET (file, key)
  int GetByPointer(uint32_t pointer);       // GET (file or key, pointer)
  int RegetFile(std::string_view position);
  int RegetKey(size_t key, std::string_view position);

  // ---- sequence ----------------------------------------------------------------
  int SetFile();                                   // state 2
  int SetFilePointer(int64_t pointer);             // state 3 (<= 0: SetFile)
  int SetFileKey(size_t key);                      // state 4
  int SetKey(size_t key);                          // state 5
  int SetKeyKeyPointer(size_t key, int64_t pointer);  // state 6
  int SetKeyKey(size_t key);                       // state 7
  int SetKeyPointer(size_t key, int64_t pointer);  // state 8 (<= 0: SetKey)
  int ResetFile(std::string_view position);        // state 3
  int ResetKey(size_t key, std::string_view position);  // state 6
  int Next();
  int Previous();
  int Skip(int64_t count);
  // Yes when no record lies before / after the position. 0 or an error.
  int Bof(bool* yes);
  int Eof(bool* yes);

  // ---- positions and counts ------------------------------------------------------
  int PositionFile(std::string* out);
  int PositionKey(size_t key, std::string* out);
  uint32_t Pointer() const { return current_; }
  int Records(uint64_t* count);
  int RecordsKey(size_t key, uint64_t* count);
  int Bytes(uint64_t* size);
  // Would the record buffer duplicate a key without DUP (key < 0: any key)?
  // With `exclude_current` an entry of the current record does not count.
  int Duplicate(int key, bool exclude_current, bool* yes);

  // ---- one-shot requests, holds --------------------------------------------------
  int Hold(int seconds = kNoLimit);
  int Watch();
  int NoMemo();
  int Release();
  // Table lock: the lock byte of the table number, one attempt; 32 when
  // another holder has it. A locked table counts as in exclusive use.
  int Lock();
  int Unlock();
  bool locked() const { return locked_; }
  int Flush();
  // The end-of-operation step; 0 for a closed table.
  int EndOfOperation();
  // View notices: a table not in stream mode notes the start of a view and
  // flushes when it ends.
  int InView();
  int EndView();

 private:
  // Runs `op` as one operation (frame, latch, end step).
  int Run(bool is_close, const std::function<int()>& op);

  // Open and close without the frame.
  int OpenTable(std::string_view name, int mode, bool allow_mismatch = false);
  void CloseTable();
  int PrepareDesc();
  int CheckWrite();      // open and write access
  // Before PUT or DELETE: write access, a current record, write state.
  int EnterRecordChange();
  int CheckKey(size_t key);
  // The SET variants on a key: sequence `state` on `key`, with the key value
  // built from the record buffer when `with_value`, and `pointer`.
  int SetOnKey(int state, size_t key, bool with_value, uint32_t pointer);

  // Writes.
  int AddRecord(bool append);
  void InsertData(RecordPtr record);
  void ReleaseCurrent();
  void UnlockHoldByte(uint32_t recno);
  void ClearRequests();
  int ClearBlobMarksAfter(int rc);
  int EndStep();

  // Fetch.
  int Fetch(const RecordPtr& found);
  // Fetches what `find` answers, repeating while the record is held
  // elsewhere and the hold's time limit has not run out; `none_code` when
  // `find` answers nothing.
  int FetchWithRetry(const std::function<RecordPtr()>& find, int none_code);
  RecordPtr DataOfEntry(size_t key, const RecordPtr& entry);

  // Sequence.
  void SetSequence(int state, int key, std::string pos, uint32_t pointer);
  // Computes the next record in the direction; *data the data record,
  // *next_pos the position it leads to and *next_state the state after.
  // Null when there is none.
  RecordPtr StepCandidate(bool forward, std::string* next_pos, int* next_state);
  // BOF (backward) / EOF (forward): whether no record lies beyond the
  // position in that direction; nothing moves.
  int AtEnd(bool forward, bool* yes);
  int Step(bool forward);

  // COPY and RENAME (table_ops.cc).
  int CopyOrRename(std::string_view name, std::string_view new_name, bool rename);
  int CopyTables(std::string_view source, const TableName& target, bool rename);

  const TableDecl& decl_;
  TableDesc desc_;
  bool desc_from_file_ = false;
  std::vector<uint8_t> own_buffer_;
  uint8_t* buffer_ = nullptr;
  uint8_t* external_buffer_ = nullptr;
  std::string saved_;
  std::string work_;
  MemoValues memos_;
  MemoValues saved_memos_;
  std::vector<bool> blob_changed_;

  TableName name_;
  int mode_ = 0;
  TableFileHandle file_;
  uint32_t table_ = 0;
  Collation collation_ = Collation::Default();
  bool oem_ = false;
  std::unique_ptr<TableKeys> keys_;
  std::unique_ptr<Cursor> append_cursor_;
  uint64_t append_epoch_ = 0;

  uint32_t flags_ = 0;
  uint32_t current_ = 0;
  int seq_ = -1;          // sequence state 0..8, -1 none
  int seq_key_ = -1;
  std::string pos_;       // data key, entry key, or (state 6) entry key
  uint32_t seq_pointer_ = 0;
  int hold_limit_ = kNoLimit;

  bool stream_ = false;
  uint32_t deferred_ = 0;
  bool build_running_ = false;
  bool view_noted_ = false;
  bool auto_end_ = true;
  bool ended_ = false;    // the running operation already ran the end step
  bool locked_ = false;
  int latched_ = 0;
};

}  // namespace kel
