// The ordered record store of one table file: a B-tree of pages over the
// container (storage/container.h), a page cache, cursors, and the crash-safe
// two-phase commit with its write-ahead log and recovery.
//
// Record model. A record is a byte string whose first key_len bytes are its
// key (kel::Record). Records are ordered by key bytes only, compared as
// unsigned bytes; with an equal common part the shorter key sorts first. Keys
// are unique within a store. Every store holds one sentinel record (empty key,
// no data) that sorts before every other record and is never deleted or
// reported by a search.
//
// Record lifetimes. Searches answer RecordPtr, a shared reference to an
// immutable record. A RecordPtr stays valid as long as the caller keeps it,
// whatever happens to the page it came from (trimming, commit, reload): it is
// a snapshot of the record as it was found. To delete or replace a record,
// pass the RecordPtr that a search answered; a stale one (its record is no
// longer in the store) is internal error 780. Insert takes ownership: the
// store never copies the record, and the caller must not change it.
//
// Cursors may be attached to a page (standing on a record) or detached
// (holding a key copy); any change to a page's records, and any drop of the
// page from the cache, detaches them, and they find their record again by
// exact search the next time they are read. A Cursor must not outlive its
// Store.
//
// Access and states. Every operation that needs the tree first begins an
// access: it takes the access lock of the lock area (reader slot in read
// state, writer byte in write state), reads the file header and reloads when
// another process committed, recovering a pending commit log. The access is
// ended by EndAccess() / EndOperation(). A store without a file (in-memory
// store) needs no locks, is always in write state and never writes.
//
// Errors. Operations answer codes (0 = success). A broken invariant (a damaged
// file, an impossible call) raises an internal error (storage/errors.h),
// which the caller's OperationFrame catches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file.h"
#include "storage/bytes.h"
#include "storage/container.h"
#include "storage/lock_area.h"

namespace kel {

using RecordPtr = std::shared_ptr<const Record>;

// Builds a record from its key and data bytes; key plus data over 15093
// bytes is internal error 824.
RecordPtr MakeRecord(std::string_view key, std::string_view data = {});

// Makes records like MakeRecord, a batch of them sharing one allocation:
// for code that makes many records in a row (a key build), which then leave
// memory together with the pages that hold them.
class RecordBatch {
 public:
  explicit RecordBatch(size_t per_batch = 256) : per_batch_(per_batch) {}
  RecordPtr Make(std::string_view key, std::string_view data);

 private:
  const size_t per_batch_;
  std::shared_ptr<std::vector<Record>> batch_;
  size_t used_ = 0;
};

// Order of keys: < 0, 0, > 0 (unsigned bytes, a key before every longer
// key it begins). Inline: searches compare keys at every step.
inline int CompareKeys(std::string_view a, std::string_view b) {
  const int c = CompareBytes(a.data(), b.data(), a.size() < b.size() ? a.size() : b.size());
  if (c != 0) return c;
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

class Cursor;
class StoreImpl;
struct CachedPage;
struct PageNode;

class Store {
 public:
  // A store over a table file, opened by OpenTableFile with `sharing` as its
  // sharing class. The file object starts in read state.
  Store(std::unique_ptr<platform::File> file, SharingClass sharing);
  // An in-memory store: no file, no locks, never written.
  Store();
  // Releases the file handle and every lock without committing; call Close()
  // first to keep uncommitted changes.
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  bool in_memory() const;
  BlockFile& io();          // block I/O; SetPassword() before the first access
  LockArea& lock_area();    // hold bytes for holds and table locks
  SharingClass sharing() const;

  // ---- access and states ------------------------------------------------
  // 0; 1 when the file is not a table file; or an I/O error code of a
  // recovery that could not be written (the next access tries again).
  int BeginAccess();
  void EndAccess();
  bool access_open() const;

  bool read_state() const;
  // Leaves read state: ends an open access (committing first) and clears the
  // read-state flag. Answers the commit's code.
  int EnterWriteState();
  // End of an operation: commit, end the access, back to read state. Answers
  // the commit's code. Skipped (0) while enlisted in a transaction.
  int EndOperation();

  // ---- header -------------------------------------------------------------
  // The in-memory header (valid after BeginAccess).
  const Header& header() const;
  // Last issued number (table and record numbers). Setting it marks the
  // file changed; it is written by the next commit.
  uint32_t last_number() const;
  void SetLastNumber(uint32_t value);

  // ---- records -----------------------------------------------------------
  // Each answers null for "no record"; the sentinel is never answered.
  RecordPtr FindExact(std::string_view key);
  RecordPtr FindNext(std::string_view key);       // first key strictly greater
  RecordPtr FindPrevious(std::string_view key);   // last key strictly less
  RecordPtr First();                              // = FindNext("")
  RecordPtr Last();

  // Visits the records with keys not less than `from` in ascending order,
  // each page read once and no record made, until `visit` answers false.
  // The views stay valid only during the call that gets them, and `visit`
  // must not change the store. Answers the number of records visited.
  using ScanVisitor = std::function<bool(std::string_view key, std::string_view data)>;
  uint64_t Scan(std::string_view from, const ScanVisitor& visit);

  // Internal error 706 on an equal key, 1194 in read state.
  void Insert(RecordPtr record);
  // `found` must be the record a search answered: 780 otherwise, 1203 in
  // read state.
  void Delete(const RecordPtr& found);
  // Replaces the data bytes of a found record, keeping its key; answers the
  // new record.
  RecordPtr ReplaceData(const RecordPtr& found, std::string_view data);

  // ---- commit --------------------------------------------------------------
  // Phase 0 and, if that answered 0, phase 1. 0 or an I/O error; on an error
  // the uncommitted changes are discarded and the file holds the state of the
  // previous commit (or, when only phase 1 failed, the new state once the log
  // is rolled forward at the next access). Skipped (0) while enlisted.
  int Commit();
  // The two phases on their own, for multi-file transactions.
  int CommitPhase0();
  int CommitPhase1();
  // After a phase 0 whose transaction failed elsewhere: rewrites the header
  // so that the pending log is abandoned (the file keeps its previous state);
  // the caller then discards.
  int AbandonLog();
  // Drops every uncommitted change and cached page; the header is reloaded at
  // the next access. Releases the commit lock.
  void Discard();
  // Cuts the file at its used end (unless enlisted, or a pending log lies
  // behind it). 0 or an I/O error.
  int Truncate();
  // Commit, end the access, drop the cache, close the handle. Answers the
  // commit's code. The store is unusable afterwards.
  int Close();

  bool has_uncommitted_changes() const;
  size_t modified_page_count() const;
  bool enlisted() const;
  void set_enlisted(bool enlisted);

  // Called by recovery when a complete pending log is found and the logged
  // state holds a transaction marker record (key 0xFF); answers true to roll
  // the log back, false to roll it forward. Without a check: roll forward.
  void SetRecoveryCheck(std::function<bool(const Record& marker)> check);

  // ---- diagnostics (tests, tools) -------------------------------------------
  struct Stats {
    size_t cached_pages = 0;
    size_t clean_pages = 0;
    size_t modified_pages = 0;
    uint64_t page_reads = 0;
    uint32_t tree_height = 0;   // levels of the root + 1, 0 before first use
  };
  Stats stats() const;
  // Walks the whole tree and checks its invariants (order, separators,
  // levels, estimates, regions); raises an internal error when broken.
  // Answers the number of records (sentinel excluded).
  uint64_t CheckTree();

  StoreImpl* impl() { return impl_.get(); }

 private:
  friend class Cursor;
  std::unique_ptr<StoreImpl> impl_;
};

// A position in a store.
class Cursor {
 public:
  explicit Cursor(Store& store);
  ~Cursor();
  Cursor(const Cursor&) = delete;
  Cursor& operator=(const Cursor&) = delete;

  // Detaches and takes a key copy of `record`, first inserting it when
  // `insert` is set.
  void Set(RecordPtr record, bool insert);
  // Detached at `key` (the record need not exist).
  void SetKey(std::string_view key);
  // The record under the cursor; null when it no longer exists or is the
  // sentinel (internal error 256 if the access cannot begin).
  RecordPtr Current();
  // Removes the current record; the cursor then stands on the record before
  // it (internal error 337 / 1203 in read state).
  void DeleteCurrent();
  // Inserts a record that sorts directly after the cursor's record and
  // before every record that follows it, and moves the cursor onto it,
  // without a descent when the cursor's page has room (internal error 231
  // in read state, 232 if the access cannot begin).
  void InsertAfter(RecordPtr record);
  // InsertAfter(MakeRecord(key, data)), the record's bytes kept together
  // with those of the records inserted before it: a long run of insertions
  // (a key build) makes no allocation of its own per record. A search that
  // answers such a record answers a copy of it.
  void InsertAfter(std::string_view key, std::string_view data);

  bool attached() const { return page_ != nullptr; }

 private:
  friend class StoreImpl;
  StoreImpl* store_;
  CachedPage* page_ = nullptr;    // while attached
  PageNode* node_ = nullptr;      // the record stood on, while attached
  // The node's position in its page while attached, or kNoRank when not yet
  // known. Every change to a page's records detaches its cursors, so the
  // position holds as long as the cursor stays attached.
  static constexpr uint32_t kNoRank = 0xFFFFFFFFu;
  uint32_t rank_ = kNoRank;
  // With a known rank: the node after node_ in its page (null when node_ is
  // the page's last), so that a run of insertions after the cursor checks
  // its upper neighbour without searching for it.
  PageNode* next_ = nullptr;
  std::string key_;               // key copy while detached
};

}  // namespace kel
