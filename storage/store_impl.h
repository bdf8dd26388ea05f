// Internals of the record store (storage/store.h): cached pages, the page
// cache, the tree operations, commit and recovery.
//
// Invariants kept here:
// - Tree: the root page's address is header.root. A page of level k > 0
//   holds separators (key-only records) whose child pages have level k - 1;
//   a separator never exceeds the first key of its child and every record of
//   a child sorts below the next separator of its parent. The leftmost page
//   of every level starts with the empty key; the leftmost leaf holds the
//   sentinel. Only the root may be empty.
// - Cache: every cached page is in exactly one hash chain (address taken as
//   unsigned, modulo 100) and in exactly one ring: the clean ring (least
//   recently fetched first) or the modified ring (in the order the pages were
//   first modified). Modified pages leave memory only through commit or
//   discard. Pages pinned by a running operation are never dropped by
//   trimming; pages dropped for any reason first detach their cursors.
// - Headers: `header_` is the working header (regions, root, numbers change
//   here between commits); `disk_header_` is the header as last read from or
//   written to offset 0 by this process. The commit takes the backup header
//   and the old used end from `disk_header_`, never from `header_`, because
//   between commits `header_` already reflects pages freed and moved by
//   deletes while the file still holds the previous tree.
//
// Commit log (behind the used end of the file, at least at the old used end):
// a sequence of blocks, each a page image (own position = its home offset) or,
// last, the 512-byte header whose own position is 0. The header at offset 0
// points at the log (log start != log end) only once the whole log is
// flushed; the log is then complete and is replayed (rolled forward) by the
// next access, unless a multi-file transaction check asks to roll it back.
// A log that fails the walk (short block, length 0 or over 15104, a block
// whose own position lies at or beyond log start, no header block, or blocks
// that do not end exactly at log end) is broken and rolled back.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <memory>
#include <string>
#include <vector>

#include "storage/container.h"
#include "storage/lock_area.h"
#include "storage/page_tree.h"
#include "storage/store.h"

namespace kel {

// A page image parsed for loading: the record bytes decoded one after the
// other into `bytes`. Same checks and internal errors as ParsePageImage,
// which is built on it.
struct FlatRecord {
  uint32_t offset = 0;   // in FlatPage::bytes
  uint16_t size = 0;
  uint16_t key_len = 0;
  int32_t child = 0;     // above level 0
};
struct FlatPage {
  uint8_t level = 0;
  uint16_t estimate = 0;
  std::vector<FlatRecord> records;
  std::string bytes;
  std::vector<uint8_t> unpacked;   // scratch for a compressed page
};
// `page` may be reused; its vectors keep their capacity.
void ParsePageImageFlat(const uint8_t* image, size_t length, FlatPage* page);

// Parses a page image straight into a new PageBlock (null for a page without
// records): the nodes in ascending order, each with its record bytes expanded
// into the block and, above level 0, its child address. Same checks and
// internal errors as ParsePageImageFlat, and moreover keys that do not
// ascend strictly or a negative child address are kPageOutOfOrder (a broken
// page structure); nothing stays allocated when a check fails. `unpacked` is
// scratch for a compressed page.
constexpr int kPageOutOfOrder = 300;
PageBlock* ParsePageImageToBlock(const uint8_t* image, size_t length, uint8_t* level, uint16_t* estimate,
                                 std::vector<uint8_t>* unpacked);

// A page image searched where it lies, without a block or nodes: the last
// record whose key is not greater than `key` (index -1 when every key is
// greater) and, above level 0, its child. With `exact`, a record whose key
// is `key` itself is copied there (content bytes, key first); with `first`,
// the first record's key. The image is
// checked exactly as ParsePageImageToBlock checks it, the key order
// included, so a page searched this way fails where a load would fail.
// `unpacked` and `content` are scratch.
struct PageSearch {
  uint8_t level = 0;
  uint16_t estimate = 0;
  uint32_t count = 0;
  int32_t index = -1;
  int32_t child = 0;
  bool exact = false;
  uint16_t exact_key_len = 0;
};
// With `visit`, every record is also handed to it in order (its key, and
// its content: key and data) as soon as it is read; the search stops when
// it answers false, the rest of the image unchecked.
using PageVisitor = std::function<bool(std::string_view key, std::string_view content)>;
PageSearch SearchPageImage(const uint8_t* image, size_t length, std::string_view key, std::vector<uint8_t>* unpacked,
                           std::string* content, std::string* exact = nullptr, std::string* first = nullptr,
                           const PageVisitor* visit = nullptr);
// Only the first key of a page image (empty when the page holds no
// record), with the level, estimate and count: the header is checked as a
// load checks it, and the first record must lie inside the record stream;
// the records after it are not read. For a page that is only moved: its
// image is written back as it was read, and whatever later searches or
// parses it checks it whole.
PageSearch ReadFirstKey(const uint8_t* image, size_t length, std::vector<uint8_t>* unpacked, std::string* first);

struct CachedPage {
  int32_t address = 0;
  uint8_t level = 0;
  PageNode* root = nullptr;
  // As loaded and never modified since: the tree is exactly the nodes of
  // this one block, so dropping the page frees the block whole.
  PageBlock* pristine = nullptr;
  // Loaded by a search or a move and not parsed yet: the image as read,
  // with neither nodes nor block (root is null). The next fetch parses it; a
  // page that leaves the cache before that is never parsed at all, and a
  // page that is only moved is written from this image. Records answered
  // from the image are kept to become their nodes' records at the parse, so
  // a record found stays the record of its node.
  std::vector<uint8_t> packed;
  uint32_t packed_count = 0;
  std::vector<RecordPtr> packed_answers;
  uint32_t estimate = 13;
  bool modified = false;
  int pins = 0;
  uint64_t created = 0;   // use clock when created in memory
  uint64_t fetched = 0;   // use clock at the last fetch
  CachedPage* hash_next = nullptr;
  CachedPage* prev = nullptr;   // ring links
  CachedPage* next = nullptr;
  std::vector<Cursor*> cursors;
  bool image_built = false;
  PageImage image;              // during a commit
};

// Keeps a page from being dropped by trimming while an operation uses it.
class PageRef {
 public:
  PageRef() = default;
  explicit PageRef(CachedPage* p) : p_(p) { if (p_) p_->pins++; }
  PageRef(PageRef&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  PageRef& operator=(PageRef&& o) noexcept {
    if (this != &o) {
      Reset();
      p_ = o.p_;
      o.p_ = nullptr;
    }
    return *this;
  }
  PageRef(const PageRef&) = delete;
  PageRef& operator=(const PageRef&) = delete;
  ~PageRef() { Reset(); }
  void Reset() {
    if (p_) p_->pins--;
    p_ = nullptr;
  }
  CachedPage* get() const { return p_; }
  CachedPage* operator->() const { return p_; }

 private:
  CachedPage* p_ = nullptr;
};

class StoreImpl : public PageMover {
 public:
  StoreImpl(std::unique_ptr<platform::File> file, SharingClass sharing, bool in_memory);
  ~StoreImpl() override;

  // ---- access, states --------------------------------------------------------
  int BeginAccess();
  void EndAccess();
  int EnterWriteState();
  int EndOperation();

  // ---- tree ------------------------------------------------------------------
  RecordPtr FindExact(std::string_view key);
  RecordPtr FindNext(std::string_view key);
  uint64_t Scan(std::string_view from, const Store::ScanVisitor& visit);
  RecordPtr FindPrevious(std::string_view key);
  RecordPtr Last();
  void Insert(RecordPtr record);
  void Delete(const RecordPtr& found);
  RecordPtr ReplaceData(const RecordPtr& found, std::string_view data);
  void SetLastNumber(uint32_t value);
  uint64_t CheckTree();
  uint32_t TreeHeight();

  // ---- cursors ---------------------------------------------------------------
  void CursorSet(Cursor* c, RecordPtr record, bool insert);
  void CursorSetKey(Cursor* c, std::string_view key);
  RecordPtr CursorCurrent(Cursor* c);
  void CursorDeleteCurrent(Cursor* c);
  void CursorInsertAfter(Cursor* c, RecordPtr record);
  void CursorInsertAfter(Cursor* c, std::string_view key, std::string_view data);
  void CursorRelease(Cursor* c);

  // ---- commit ------------------------------------------------------------------
  int Commit();
  int CommitPhase0();
  int CommitPhase1();
  int AbandonLog();
  void Discard();
  int Truncate();
  int Close();

  // ---- PageMover ------------------------------------------------------------------
  void MovePage(int32_t from, int32_t to) override;
  int32_t NextTemporaryAddress() override { return --temp_counter_; }

  // State shared with the facade.
  bool in_memory_;
  bool closed_ = false;
  SharingClass sharing_;
  std::unique_ptr<BlockFile> io_;
  std::unique_ptr<LockArea> locks_;
  Header header_;
  Header disk_header_;
  // The last header bytes read from disk that decoded soundly, and their
  // decoding: a pure memo of Header::Decode.
  uint8_t header_memo_raw_[kHeaderSize] = {};
  Header header_memo_;
  bool header_memo_valid_ = false;
  bool disk_header_known_ = false;
  bool uncommitted_ = false;
  bool access_open_ = false;
  bool enlisted_ = false;
  bool read_state_ = true;
  std::function<bool(const Record&)> recovery_check_;
  uint64_t page_reads_ = 0;

  size_t cached_count() const { return clean_count_ + modified_count_; }
  size_t clean_count_ = 0;
  size_t modified_count_ = 0;

 private:
  friend class Store;
  bool shared() const { return sharing_ == SharingClass::kShared; }
  bool takes_commit_lock() const { return !in_memory_ && sharing_ != SharingClass::kExclusive; }
  void LockCommit();
  void UnlockCommit();

  // Cache.
  CachedPage* Lookup(int32_t address) const;
  void Hash(CachedPage* p);
  void Unhash(CachedPage* p);
  void RingAppend(CachedPage* ring, CachedPage* p);
  void RingRemove(CachedPage* p);
  void Trim();
  // A descent by one key: a page above level 0 that it has to load is
  // searched where it lies (CachedPage::packed) and `found` answers for it.
  struct Probe {
    std::string_view key;
    bool leaves = false;     // search leaves too, answering the exact record
    bool as_is = false;      // leave a cached packed page packed (a move)
    std::string* first = nullptr;   // the first key of a page loaded packed
    bool first_only = false;        // ...and nothing else is read (a move)
    bool loaded = false;            // a page was loaded packed
    // A scan: the records of a page loaded packed are handed to `visit`,
    // decoded in the caller's scratch.
    const PageVisitor* visit = nullptr;
    std::vector<uint8_t>* unpacked = nullptr;
    std::string* content = nullptr;
    PageSearch found;
  };
  // With a probe, a page loaded above level 0 (any level with `leaves`)
  // stays packed; a cached packed page is parsed by any fetch but one
  // `as_is`.
  PageRef Fetch(int32_t address, Probe* probe = nullptr);
  PageRef NewPage(uint8_t level);
  void LoadPage(CachedPage* p, Probe* probe);
  void ParseImage(CachedPage* p, const std::vector<uint8_t>& image);
  void MarkModified(CachedPage* p);
  void MarkClean(CachedPage* p);
  void DropPage(CachedPage* p);
  void DropCache();
  void DetachCursors(CachedPage* p);
  void Attach(Cursor* c, CachedPage* p, PageNode* n, uint32_t rank = Cursor::kNoRank, PageNode* next = nullptr);
  void Touch() { ++version_; }

  // Tree.
  PageRef FetchRoot();
  PageRef FetchChild(CachedPage* parent, PageNode* sep) { return FetchChild(parent, sep->child, nullptr); }
  PageRef FetchChild(CachedPage* parent, int32_t child, Probe* probe);
  static bool NeedsSplit(const CachedPage* p);
  static uint32_t ComputeEstimate(const CachedPage* p);
  // Inserts at `level`; answers the leaf page and node when the record is
  // still in the page it went into (no split there), else {null, null}.
  std::pair<CachedPage*, PageNode*> InsertAtLevel(RecordPtr record, uint8_t level, int32_t child);
  void Split(CachedPage* p);
  // Insertion after an attached cursor: checks the key against its two
  // neighbours and answers false when the cursor is detached (the caller
  // then inserts by descent); AppendAfter then links the node made for it.
  bool CanAppendAfter(Cursor* c, std::string_view key);
  void AppendAfter(Cursor* c, PageNode* node);
  // A node for the record made of `key` and `data`, placed with its bytes
  // in the block being filled (a PageBlock with n == 0).
  PageNode* NewStoredNode(std::string_view key, std::string_view data);
  void DeleteAtLevel(const RecordPtr& r, uint8_t level);
  void RemoveNode(CachedPage* page, PageNode* n);
  struct Found {
    CachedPage* page = nullptr;
    PageNode* node = nullptr;
  };
  PageRef DescendTo(std::string_view key, Probe* probe);
  Found LocateExact(std::string_view key);
  RecordPtr NextIn(CachedPage* p, std::string_view key, int depth);
  struct ScanState;
  bool ScanIn(CachedPage* page, ScanState& st);
  // 0 nothing found here, 1 found (*out), 2 definitively none
  int PrevIn(CachedPage* p, std::string_view key, PageNode** out, CachedPage** out_page);
  uint64_t CheckPage(CachedPage* p, std::string_view lo, const std::string* hi, bool leftmost,
                     std::string* prev_key, bool* seen_any);
  void SetHint(CachedPage* p, PageNode* n) {
    hint_page_ = p;
    hint_node_ = n;
    hint_version_ = version_;
  }

  // Commit and recovery.
  void BuildImage(CachedPage* p);
  void StampImage(CachedPage* p);
  int Recover();
  int FinalHeaderRewrite();
  int ReadDiskHeader(Header* out);   // 0 ok, 1 not a table file
  void WriteHeaderAt(uint64_t pos, const Header& h);
  uint64_t ReadPosition(uint64_t home) const;
  void FailPhase1();

  std::vector<CachedPage*> chains_ = std::vector<CachedPage*>(100, nullptr);
  CachedPage clean_ring_;
  CachedPage modified_ring_;
  uint64_t clock_ = 0;
  int32_t temp_counter_ = 0;
  std::map<uint64_t, uint64_t> remap_;   // home offset -> log offset
  bool commit_locked_ = false;
  int search_budget_ = 0;       // child steps left for the running search
  std::set<int32_t> check_visited_;
  uint64_t version_ = 0;        // raised by every change of the tree or cache
  CachedPage* hint_page_ = nullptr;
  PageNode* hint_node_ = nullptr;
  uint64_t hint_version_ = ~uint64_t{0};
  // Commit in progress.
  uint64_t e0_ = 0;
  Header h0_;
  std::vector<CachedPage*> kept_;   // pages whose images went to the log
  std::vector<uint8_t> load_unpacked_;  // reused by every page load
  std::vector<uint8_t> load_image_;
  // Set while pages are read in file order (a scan, a commit's moves):
  // loads then read through the file's read-ahead window.
  bool read_ahead_ = false;
  static constexpr uint32_t kReadAhead = 64 * 1024;
  // Loads read ahead while one of these lives.
  struct ReadingAhead {
    explicit ReadingAhead(StoreImpl& s) : store(s) { store.read_ahead_ = true; }
    ~ReadingAhead() { store.read_ahead_ = false; }
    ReadingAhead(const ReadingAhead&) = delete;
    ReadingAhead& operator=(const ReadingAhead&) = delete;
    StoreImpl& store;
  };
  std::string load_content_;             // scratch of a packed search
  std::string load_exact_;
  std::vector<PageNode*> load_nodes_;
  std::vector<RecordView> image_records_;   // reused by every image built
  // The way to the place right after the node last inserted after a
  // cursor, good while nothing else changed any tree (version_ unchanged
  // since): the next insertion right after that node goes down no tree.
  struct InsertionWay {
    const CachedPage* page = nullptr;
    const PageNode* after = nullptr;
    uint64_t version = ~uint64_t{0};
    page_tree::Path path;
  };
  InsertionWay way_;
  // The block that NewStoredNode fills, held (one reference) until full.
  PageBlock* fill_ = nullptr;
  size_t fill_used_ = 0;
  size_t fill_size_ = 0;
  static constexpr size_t kFillBlock = 16384;
};

}  // namespace kel
