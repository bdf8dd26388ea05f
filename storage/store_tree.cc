// Page cache and B-tree operations of the record store (see store_impl.h for
// the invariants).
#include <algorithm>
#include <cstring>
#include <new>

#include "storage/bytes.h"
#include "storage/errors.h"
#include "storage/store_impl.h"

namespace kel {
namespace {

// Hash chains of the cache: 100, multiplied by 4 whenever the cache holds
// more than two pages per chain (a large commit keeps thousands of modified
// pages), so that a lookup stays short.
constexpr size_t kChains = 100;
constexpr uint32_t kSplitAlways = 15094;
constexpr uint32_t kSplitMany = 4096;
constexpr uint32_t kSplitManyCount = 20;
// Broken link inside the page structure or between pages.
constexpr int kBrokenLink = 300;

bool IsSentinel(const PageNode* n) { return n->key().empty(); }

uint32_t RecordCost(size_t size, uint8_t level) {
  return uint32_t(size) + (level > 0 ? 9 : 5);
}

}  // namespace

// ---- cache ---------------------------------------------------------------------

CachedPage* StoreImpl::Lookup(int32_t address) const {
  for (CachedPage* p = chains_[uint32_t(address) % chains_.size()]; p; p = p->hash_next) {
    if (p->address == address) return p;
  }
  return nullptr;
}

void StoreImpl::Hash(CachedPage* p) {
  if (chains_.empty()) chains_.assign(kChains, nullptr);
  if (cached_count() > 2 * chains_.size()) {
    std::vector<CachedPage*> old(chains_.size() * 4, nullptr);
    old.swap(chains_);
    for (CachedPage* q : old) {
      while (q) {
        CachedPage* next = q->hash_next;
        CachedPage*& head = chains_[uint32_t(q->address) % chains_.size()];
        q->hash_next = head;
        head = q;
        q = next;
      }
    }
  }
  CachedPage*& head = chains_[uint32_t(p->address) % chains_.size()];
  p->hash_next = head;
  head = p;
}

void StoreImpl::Unhash(CachedPage* p) {
  CachedPage** link = &chains_[uint32_t(p->address) % chains_.size()];
  while (*link && *link != p) link = &(*link)->hash_next;
  if (*link) *link = p->hash_next;
  p->hash_next = nullptr;
}

void StoreImpl::RingAppend(CachedPage* ring, CachedPage* p) {
  p->prev = ring->prev;
  p->next = ring;
  ring->prev->next = p;
  ring->prev = p;
}

void StoreImpl::RingRemove(CachedPage* p) {
  if (p->prev) {
    p->prev->next = p->next;
    p->next->prev = p->prev;
  }
  p->prev = p->next = nullptr;
}

void StoreImpl::Trim() {
  CachedPage* p = clean_ring_.next;
  while (clean_count_ >= 20 && p != &clean_ring_) {
    CachedPage* next = p->next;
    if (p->pins > 0) {  // in use by the running operation
      p = next;
      continue;
    }
    if (clean_count_ < 100 && (clock_ - p->fetched) < 4 * ((clock_ - p->created) / clean_count_)) break;
    DropPage(p);
    p = next;
  }
}

void StoreImpl::MarkModified(CachedPage* p) {
  p->pristine = nullptr;
  if (p->modified) return;
  RingRemove(p);
  clean_count_--;
  p->modified = true;
  RingAppend(&modified_ring_, p);
  modified_count_++;
}

void StoreImpl::MarkClean(CachedPage* p) {
  if (!p->modified) return;
  RingRemove(p);
  modified_count_--;
  p->modified = false;
  p->image_built = false;
  p->image.bytes.clear();
  p->image.bytes.shrink_to_fit();
  RingAppend(&clean_ring_, p);
  clean_count_++;
  p->fetched = clock_;
}

void StoreImpl::DetachCursors(CachedPage* p) {
  for (Cursor* c : p->cursors) {
    c->key_.assign(c->node_->key());
    c->page_ = nullptr;
    c->node_ = nullptr;
  }
  p->cursors.clear();
  Touch();
}

void StoreImpl::Attach(Cursor* c, CachedPage* p, PageNode* n, uint32_t rank, PageNode* next) {
  CursorRelease(c);
  c->page_ = p;
  c->node_ = n;
  c->rank_ = rank;
  c->next_ = next;
  p->cursors.push_back(c);
}

void StoreImpl::CursorRelease(Cursor* c) {
  if (c->page_) {
    auto& v = c->page_->cursors;
    v.erase(std::remove(v.begin(), v.end(), c), v.end());
    c->key_.assign(c->node_->key());
    c->page_ = nullptr;
    c->node_ = nullptr;
  }
}

void StoreImpl::DropPage(CachedPage* p) {
  DetachCursors(p);
  Unhash(p);
  RingRemove(p);
  if (p->modified) {
    modified_count_--;
  } else {
    clean_count_--;
  }
  if (p->pristine) {
    page_tree::FreeBlock(p->pristine);
  } else {
    page_tree::FreeAll(p->root);
  }
  if (hint_page_ == p) hint_page_ = nullptr;
  delete p;
  Touch();
}

void StoreImpl::DropCache() {
  while (clean_ring_.next != &clean_ring_) DropPage(clean_ring_.next);
  while (modified_ring_.next != &modified_ring_) DropPage(modified_ring_.next);
  kept_.clear();
}

PageRef StoreImpl::NewPage(uint8_t level) {
  auto* p = new CachedPage;
  p->address = NextTemporaryAddress();
  p->level = level;
  p->created = p->fetched = clock_;
  p->modified = true;
  Require(Lookup(p->address) == nullptr, kBrokenLink);
  Hash(p);
  RingAppend(&modified_ring_, p);
  modified_count_++;
  return PageRef(p);
}

uint64_t StoreImpl::ReadPosition(uint64_t home) const {
  if (!remap_.empty()) {
    auto it = remap_.find(home);
    if (it != remap_.end()) return it->second;
  }
  return home;
}

void StoreImpl::LoadPage(CachedPage* p, Probe* probe) {
  Regions regions(header_, *this);
  int cls = regions.ClassOf(p->address);
  Require(cls > 0, 1735);
  uint64_t home = PageOffset(p->address);
  // The image goes into a buffer kept for every load.
  std::vector<uint8_t>& bytes = load_image_;
  bytes.resize(size_t(cls) * kUnit);
  if (read_ahead_) {
    io_->ReadAhead(ReadPosition(home), bytes.data(), uint32_t(bytes.size()), kReadAhead);
  } else {
    io_->ReadExact(ReadPosition(home), bytes.data(), uint32_t(bytes.size()));
  }
  page_reads_++;
  Require(Ceil256(uint32_t(bytes[4]) | uint32_t(bytes[5]) << 8) == bytes.size(), container_error::kImageLength);
  uint32_t own = uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
  Require(own == home, kBrokenLink);
  if (probe && probe->first_only) {
    p->packed = bytes;
    probe->loaded = true;
    probe->found = ReadFirstKey(p->packed.data(), p->packed.size(), &load_unpacked_, probe->first);
    p->level = probe->found.level;
    p->estimate = probe->found.estimate;
    p->packed_count = probe->found.count;
    return;
  }
  if (probe && (bytes[12] > 0 || probe->leaves)) {
    // Most pages a search loads leave the cache before their next use:
    // search the image and parse it only if it is fetched again.
    // The page's own copy is searched: a visitor may load other pages.
    p->packed = bytes;
    probe->loaded = true;
    probe->found = SearchPageImage(p->packed.data(), p->packed.size(), probe->key,
                                   probe->unpacked ? probe->unpacked : &load_unpacked_,
                                   probe->content ? probe->content : &load_content_,
                                   probe->leaves ? &load_exact_ : nullptr, probe->first, probe->visit);
    p->level = probe->found.level;
    p->estimate = probe->found.estimate;
    p->packed_count = probe->found.count;
    return;
  }
  ParseImage(p, bytes);
}

void StoreImpl::ParseImage(CachedPage* p, const std::vector<uint8_t>& bytes) {
  uint8_t level = 0;
  uint16_t estimate = 0;
  // One block holds the page's nodes and record bytes; records are made
  // only for the nodes a search answers.
  PageBlock* block = ParsePageImageToBlock(bytes.data(), bytes.size(), &level, &estimate, &load_unpacked_);
  const uint32_t n = block ? block->n : 0;
  PageNode* nodes = n ? block->nodes() : nullptr;
  load_nodes_.resize(n);
  for (uint32_t i = 0; i < n; i++) load_nodes_[i] = nodes + i;
  p->level = level;
  p->estimate = estimate;
  // Parsed: the image (which may be the page's packed one) is no longer needed.
  p->packed = {};
  p->packed_count = 0;
  if (n == 0) return;
  // Records come in ascending order: the same tree as inserting them one by
  // one, without comparing keys again.
  p->root = page_tree::BuildAscending(load_nodes_.data(), n);
  p->pristine = block;
  for (RecordPtr& r : p->packed_answers) {
    PageNode* node = page_tree::FindEqual(p->root, r->key());
    Require(node != nullptr && node->rec == nullptr && std::string_view(node->stored, node->stored_size) == r->bytes,
            kBrokenLink);
    node->rec = std::move(r);
    block->made++;
  }
  p->packed_answers.clear();
}

PageRef StoreImpl::Fetch(int32_t address, Probe* probe) {
  Trim();
  CachedPage* p = Lookup(address);
  if (p == nullptr) {
    // Only pages with a place in the file are created by a fetch; a
    // temporary address that is not cached is a broken reference.
    Require(address >= 0, kBrokenLink);
    p = new CachedPage;
    p->address = address;
    p->created = p->fetched = clock_;
    Hash(p);
    RingAppend(&clean_ring_, p);
    clean_count_++;
    PageRef ref(p);
    try {
      LoadPage(p, probe);
    } catch (...) {
      ref.Reset();
      DropPage(p);
      throw;
    }
    return ref;
  }
  if (!p->modified) {
    RingRemove(p);
    RingAppend(&clean_ring_, p);
    p->fetched = ++clock_;
  }
  if (!p->packed.empty() && !(probe && probe->as_is)) {
    // Fetched again: from now on a page like any other. The image was
    // checked when it was searched, so this parse fails only as that did.
    ParseImage(p, p->packed);
  }
  return PageRef(p);
}

void StoreImpl::MovePage(int32_t from, int32_t to) {
  if (from == to) return;
  // A page that only moves keeps its image: it is neither parsed nor built
  // again (see CachedPage::packed).
  std::string key;
  Probe probe;
  probe.as_is = true;
  probe.first = &key;
  probe.first_only = true;
  PageRef page = Fetch(from, &probe);
  Require(Lookup(to) == nullptr, kBrokenLink);
  MarkModified(page.get());
  Unhash(page.get());
  page->address = to;
  Hash(page.get());
  Touch();
  if (header_.root == from) {
    header_.root = to;
    return;
  }
  if (page->packed.empty()) {
    PageNode* first = page_tree::First(page->root);
    Require(first != nullptr, 1891);
    key.assign(first->key());
  } else {
    Require(page->packed_count > 0, 1891);
    // Packed by an earlier search: its first key is read from the image.
    if (!probe.loaded) ReadFirstKey(page->packed.data(), page->packed.size(), &load_unpacked_, &key);
  }
  PageRef cur = FetchRoot();
  while (true) {
    Require(cur->level > 0, 1894);
    PageNode* sep = page_tree::LastNotGreater(cur->root, key);
    Require(sep != nullptr, 1894);
    if (sep->child == from) {
      sep->child = to;
      MarkModified(cur.get());
      return;
    }
    cur = FetchChild(cur.get(), sep);
  }
}

// ---- tree ----------------------------------------------------------------------

PageRef StoreImpl::FetchRoot() {
  Require(BeginAccess() == 0, 1013);
  search_budget_ = 4 * 258;
  if (header_.change_count == 0) {
    header_.change_count = 1;
    header_.root = -1;
    temp_counter_ = -1;
  }
  if (header_.root < 0) {
    CachedPage* p = Lookup(header_.root);
    if (p == nullptr) {
      // The tree was never written: an empty root leaf with the sentinel.
      if (temp_counter_ > header_.root) temp_counter_ = header_.root;
      p = new CachedPage;
      p->address = header_.root;
      p->created = p->fetched = clock_;
      p->modified = true;
      Hash(p);
      RingAppend(&modified_ring_, p);
      modified_count_++;
      auto node = new PageNode;
      node->rec = MakeRecord({}, {});
      page_tree::Insert(p->root, node);
      p->estimate = 13 + 5;
    }
    Trim();
    return PageRef(p);
  }
  return Fetch(header_.root);
}

PageRef StoreImpl::FetchChild(CachedPage* parent, int32_t child, Probe* probe) {
  // A search of a sound tree steps down at most twice per level; a damaged
  // one (child pointers shared between separators) could make it wander.
  Require(search_budget_-- > 0, kBrokenLink);
  PageRef c = Fetch(child, probe);
  // Levels fall by exactly one on every step down, so no chain of child
  // pointers can loop; only the root may be empty.
  Require(c->level + 1 == parent->level && (c->root != nullptr || c->packed_count > 0), kBrokenLink);
  return c;
}

bool StoreImpl::NeedsSplit(const CachedPage* p) {
  return p->estimate > kSplitAlways || (p->estimate > kSplitMany && CountOf(p->root) > kSplitManyCount);
}

uint32_t StoreImpl::ComputeEstimate(const CachedPage* p) {
  uint32_t e = 13;
  page_tree::ForEach(p->root, [&](PageNode* n) { e += RecordCost(n->size(), 0) + (p->level > 0 ? 4 : 0); });
  return e;
}

// Down from the root to the leaf on `key`'s path. A page the descent loads
// is searched as it is read (the probe answers its child) and stays packed.
PageRef StoreImpl::DescendTo(std::string_view key, Probe* probe) {
  PageRef p = FetchRoot();
  probe->key = key;
  while (p->level > 0) {
    int32_t child;
    if (p->packed.empty()) {
      PageNode* sep = page_tree::LastNotGreater(p->root, key);
      Require(sep != nullptr, kBrokenLink);
      child = sep->child;
    } else {
      Require(probe->found.index >= 0, kBrokenLink);
      child = probe->found.child;
    }
    p = FetchChild(p.get(), child, probe);
  }
  return p;
}

StoreImpl::Found StoreImpl::LocateExact(std::string_view key) {
  Probe probe;
  PageRef p = DescendTo(key, &probe);
  PageNode* n = page_tree::FindEqual(p->root, key);
  return Found{p.get(), n};
}

RecordPtr StoreImpl::FindExact(std::string_view key) {
  Probe probe;
  probe.leaves = true;
  PageRef p = DescendTo(key, &probe);
  if (!p->packed.empty()) {
    // A leaf loaded by this search and searched as it was read; the empty
    // key is the sentinel, never a record.
    if (!probe.found.exact || key.empty()) return nullptr;
    const std::string_view bytes(load_exact_);
    RecordPtr r = MakeRecord(bytes.substr(0, probe.found.exact_key_len), bytes.substr(probe.found.exact_key_len));
    p->packed_answers.push_back(r);
    return r;
  }
  PageNode* n = page_tree::FindEqual(p->root, key);
  if (n == nullptr || IsSentinel(n)) return nullptr;
  SetHint(p.get(), n);
  return n->Rec();
}

RecordPtr StoreImpl::NextIn(CachedPage* page, std::string_view key, int depth) {
  if (page->level == 0) {
    PageNode* n = page_tree::FirstGreater(page->root, key);
    if (n == nullptr) return nullptr;
    SetHint(page, n);
    return n->Rec();
  }
  PageNode* sep = page_tree::LastNotGreater(page->root, key);
  if (sep) {
    PageRef c = FetchChild(page, sep);
    RecordPtr r = NextIn(c.get(), key, depth + 1);
    if (r) return r;
  }
  // Normally the first greater separator's child answers at once; further
  // separators are only tried when a child turned out empty.
  for (PageNode* s = page_tree::FirstGreater(page->root, key); s;
       s = page_tree::FirstGreater(page->root, s->key())) {
    PageRef c = FetchChild(page, s);
    RecordPtr r = NextIn(c.get(), key, depth + 1);
    if (r) return r;
  }
  return nullptr;
}

// ---- ordered scan ----------------------------------------------------------------

struct StoreImpl::ScanState {
  std::string_view from;
  const Store::ScanVisitor* visit;
  bool started = false;    // a record >= from was reached: no more comparisons
  std::string last_key;    // the last key visited, for the order check between pages
  uint64_t visited = 0;
  std::vector<uint8_t> unpacked;  // scratch of the leaves walked as read
  std::string content;
};

// In-order walk of the subtree below `page`. Children wholly below `from`
// are skipped through the separators; every page is fetched (and pinned)
// once. Within a page the loaded order is already checked; between pages the
// first key of each leaf must lie above the last key visited, so a damaged
// tree ends in an internal error rather than an unordered answer. A leaf
// that is not cached is walked as it is read, without being parsed (it stays
// cached as read, CachedPage::packed). Answers false once the visitor asked
// to stop.
bool StoreImpl::ScanIn(CachedPage* page, ScanState& st) {
  // One leaf's records, in order: `key` and its record's content.
  bool go = true;
  bool any = false;
  size_t last_len = 0;
  auto visit = [&](std::string_view key, std::string_view all) -> bool {
    if (!st.started) {
      if (key.empty() || CompareKeys(key, st.from) < 0) return true;
      st.started = true;
    } else if (!any) {
      Require(CompareKeys(st.last_key, key) < 0, kBrokenLink);
    }
    any = true;
    last_len = key.size();
    st.visited++;
    if (!(*st.visit)(key, all.substr(key.size()))) go = false;
    return go;
  };
  if (page->level == 0) {
    std::string_view last;
    auto step = [&](PageNode* n) {
      if (!go) return;
      std::string_view key = n->key();
      visit(key, n->rec ? std::string_view(n->rec->bytes) : std::string_view(n->stored, n->stored_size));
      if (any) last = key;
    };
    if (page->pristine) {
      // As loaded: the block holds the nodes in key order.
      PageNode* nodes = page->pristine->nodes();
      for (uint32_t i = 0, n = page->pristine->n; i < n && go; i++) step(nodes + i);
    } else {
      page_tree::ForEach(page->root, step);
    }
    if (any) st.last_key.assign(last);
    return go;
  }
  // Separators in order; the child of the last separator not above `from`
  // is the first that can hold a record >= from.
  PageNode* start = st.started ? nullptr : page_tree::LastNotGreater(page->root, st.from);
  bool reached = st.started || start == nullptr;
  std::vector<PageNode*> seps;
  page_tree::ForEach(page->root, [&](PageNode* n) {
    if (!reached && n != start) return;
    reached = true;
    seps.push_back(n);
  });
  const PageVisitor walker = visit;
  for (PageNode* sep : seps) {
    // A scan steps down once per child and cannot wander: levels fall by one
    // per step, and a child reached twice fails the order check above.
    search_budget_ = 1;
    if (page->level == 1 && Lookup(sep->child) == nullptr) {
      Probe probe;
      probe.leaves = true;
      probe.visit = &walker;
      probe.unpacked = &st.unpacked;
      probe.content = &st.content;
      any = false;
      PageRef c = FetchChild(page, sep->child, &probe);
      Require(probe.loaded, kBrokenLink);
      // The walk ends on the last record it visited: its key leads the
      // content buffer.
      if (any) st.last_key.assign(st.content.data(), last_len);
      if (!go) break;
      continue;
    }
    PageRef c = FetchChild(page, sep);
    if (!ScanIn(c.get(), st)) {
      go = false;
      break;
    }
  }
  return go;
}

uint64_t StoreImpl::Scan(std::string_view from, const Store::ScanVisitor& visit) {
  ScanState st;
  st.from = from;
  st.visit = &visit;
  PageRef root = FetchRoot();
  // Leaves written in key order lie in file order: read them ahead.
  ReadingAhead ahead(*this);
  ScanIn(root.get(), st);
  return st.visited;
}

RecordPtr StoreImpl::FindNext(std::string_view key) {
  Require(BeginAccess() == 0, 1013);
  if (hint_page_ && hint_version_ == version_ && hint_node_->key() == key) {
    PageNode* n = page_tree::FirstGreater(hint_page_->root, key);
    if (n) {
      SetHint(hint_page_, n);
      return n->Rec();
    }
  }
  PageRef root = FetchRoot();
  return NextIn(root.get(), key, 0);
}

int StoreImpl::PrevIn(CachedPage* page, std::string_view key, PageNode** out, CachedPage** out_page) {
  if (page->level == 0) {
    PageNode* n = page_tree::LastLess(page->root, key);
    if (n == nullptr) return 0;
    if (IsSentinel(n)) return 2;
    *out = n;
    *out_page = page;
    return 1;
  }
  for (PageNode* s = page_tree::LastLess(page->root, key); s; s = page_tree::LastLess(page->root, s->key())) {
    PageRef c = FetchChild(page, s);
    int r = PrevIn(c.get(), key, out, out_page);
    if (r != 0) return r;
  }
  return 0;
}

RecordPtr StoreImpl::FindPrevious(std::string_view key) {
  PageRef root = FetchRoot();
  PageNode* n = nullptr;
  CachedPage* pg = nullptr;
  if (PrevIn(root.get(), key, &n, &pg) != 1) return nullptr;
  SetHint(pg, n);
  return n->Rec();
}

RecordPtr StoreImpl::Last() {
  PageRef p = FetchRoot();
  while (p->level > 0) {
    PageNode* sep = page_tree::Last(p->root);
    Require(sep != nullptr, kBrokenLink);
    p = FetchChild(p.get(), sep);
  }
  PageNode* n = page_tree::Last(p->root);
  if (n == nullptr) {
    // Only a damaged tree has an empty non-root leaf; fall back to a search.
    PageNode* q = nullptr;
    CachedPage* pg = nullptr;
    PageRef root = FetchRoot();
    std::string top(1, '\xff');
    top.append(64, '\xff');
    if (PrevIn(root.get(), top, &q, &pg) != 1) return nullptr;
    return q->Rec();
  }
  if (IsSentinel(n)) return nullptr;
  SetHint(p.get(), n);
  return n->Rec();
}

std::pair<CachedPage*, PageNode*> StoreImpl::InsertAtLevel(RecordPtr record, uint8_t level, int32_t child) {
  std::string_view key = record->key();
  PageRef p = FetchRoot();
  Require(p->level >= level, kBrokenLink);
  while (p->level > level) {
    PageNode* sep = page_tree::LastNotGreater(p->root, key);
    Require(sep != nullptr, kBrokenLink);
    p = FetchChild(p.get(), sep);
  }
  auto node = new PageNode;
  node->rec = std::move(record);
  node->child = child;
  try {
    page_tree::Insert(p->root, node);
  } catch (...) {
    delete node;
    throw;
  }
  MarkModified(p.get());
  p->estimate += RecordCost(node->size(), level);
  DetachCursors(p.get());
  if (NeedsSplit(p.get())) {
    Split(p.get());
    return {nullptr, nullptr};
  }
  return {p.get(), node};
}

void StoreImpl::Split(CachedPage* page) {
  PageRef p(page);
  Require(CountOf(p->root) > 1, 1364);
  DetachCursors(p.get());
  MarkModified(p.get());
  PageRef n = NewPage(p->level);
  if (p->address == header_.root) {
    // The root keeps its address: its records move to a new page one level
    // down, and the split proper happens there.
    n->root = p->root;
    n->estimate = p->estimate;
    p->root = nullptr;
    p->level++;
    auto sep = new PageNode;
    sep->rec = MakeRecord(page_tree::First(n->root)->key());
    sep->child = n->address;
    page_tree::Insert(p->root, sep);
    p->estimate = 13 + RecordCost(sep->size(), p->level);
    p = std::move(n);
    n = NewPage(p->level);
  }
  PageNode* m = p->root;
  PageNode* left = m->left;
  PageNode* right = m->right;
  p->root = left;
  n->root = right;
  m->left = m->right = nullptr;
  m->count = 1;
  if (CountOf(left) < CountOf(right)) {
    page_tree::Insert(p->root, m);
  } else {
    page_tree::Insert(n->root, m);
  }
  p->estimate = ComputeEstimate(p.get());
  n->estimate = ComputeEstimate(n.get());
  Touch();
  InsertAtLevel(MakeRecord(page_tree::First(n->root)->key()), uint8_t(n->level + 1), n->address);
  if (NeedsSplit(p.get())) Split(p.get());
  if (NeedsSplit(n.get())) Split(n.get());
}

void StoreImpl::Insert(RecordPtr record) {
  Require(record != nullptr, kBrokenLink);
  Require(BeginAccess() == 0, 1013);
  Require(!read_state_, 1194);
  uncommitted_ = true;
  InsertAtLevel(std::move(record), 0, 0);
}

void StoreImpl::RemoveNode(CachedPage* page, PageNode* n) {
  PageNode* removed = page_tree::Remove(page->root, n->key());
  Require(removed == n, 780);
  MarkModified(page);
  page->estimate -= std::min(page->estimate - 13, RecordCost(n->size(), page->level));
  DetachCursors(page);
  page_tree::Destroy(n);
}

void StoreImpl::DeleteAtLevel(const RecordPtr& r, uint8_t level) {
  std::string key(r->key());
  // Descend, keeping the path and the separator taken on each page.
  std::vector<PageRef> path;
  std::vector<PageNode*> seps;
  path.push_back(FetchRoot());
  while (path.back()->level > level) {
    PageNode* sep = page_tree::LastNotGreater(path.back()->root, key);
    Require(sep != nullptr, kBrokenLink);
    seps.push_back(sep);
    PageRef child = FetchChild(path.back().get(), sep);
    path.push_back(std::move(child));
  }
  Require(path.back()->level == level, kBrokenLink);
  PageNode* n = page_tree::FindEqual(path.back()->root, key);
  Require(n != nullptr && n->rec.get() == r.get(), 780);
  RemoveNode(path.back().get(), n);

  // Back up: an emptied child leaves the tree (its slot is freed, the
  // region's last page moving into it, and its separator goes); a child whose
  // first key grew gets a fresh separator. Splits that a longer separator
  // may call for wait until the walk is over, so the path stays valid.
  std::vector<CachedPage*> grown;
  for (size_t i = path.size() - 1; i > 0; --i) {
    CachedPage* child = path[i].get();
    CachedPage* parent = path[i - 1].get();
    PageNode* sep = seps[i - 1];
    if (child->root == nullptr) {
      int32_t address = child->address;
      path[i].Reset();
      grown.erase(std::remove(grown.begin(), grown.end(), child), grown.end());
      DropPage(child);
      if (address >= 0) {
        Regions regions(header_, *this);
        regions.Free(address);
      }
      RemoveNode(parent, sep);
      continue;
    }
    PageNode* first = page_tree::First(child->root);
    if (CompareKeys(first->key(), sep->key()) <= 0) break;
    auto fresh = new PageNode;
    fresh->rec = MakeRecord(first->key());
    fresh->child = child->address;
    RemoveNode(parent, sep);
    page_tree::Insert(parent->root, fresh);
    parent->estimate += RecordCost(fresh->size(), parent->level);
    DetachCursors(parent);
    grown.push_back(parent);
  }
  for (CachedPage* p : grown) {
    if (NeedsSplit(p)) Split(p);
  }
}

void StoreImpl::Delete(const RecordPtr& found) {
  Require(found != nullptr && found->key_len > 0, 780);
  Require(BeginAccess() == 0, 1013);
  Require(!read_state_, 1203);
  uncommitted_ = true;
  DeleteAtLevel(found, 0);
}

RecordPtr StoreImpl::ReplaceData(const RecordPtr& found, std::string_view data) {
  Require(found != nullptr && found->key_len > 0, 780);
  Require(BeginAccess() == 0, 1013);
  Require(!read_state_, 1203);
  RecordPtr fresh = MakeRecord(found->key(), data);
  Found f = LocateExact(found->key());
  Require(f.node != nullptr && f.node->rec.get() == found.get(), 780);
  uncommitted_ = true;
  if (fresh->bytes.size() == found->bytes.size()) {
    f.node->rec = fresh;
    MarkModified(f.page);
    Touch();
    return fresh;
  }
  Delete(found);
  Insert(fresh);
  return fresh;
}

void StoreImpl::SetLastNumber(uint32_t value) {
  Require(BeginAccess() == 0, 1013);
  header_.last_number = value;
  uncommitted_ = true;
}

uint32_t StoreImpl::TreeHeight() {
  if (header_.change_count == 0) return 0;
  PageRef root = FetchRoot();
  return uint32_t(root->level) + 1;
}

// ---- cursors --------------------------------------------------------------------

void StoreImpl::CursorSet(Cursor* c, RecordPtr record, bool insert) {
  CursorRelease(c);
  c->key_.assign(record->key());
  if (insert) Insert(std::move(record));
}

void StoreImpl::CursorSetKey(Cursor* c, std::string_view key) {
  CursorRelease(c);
  c->key_.assign(key);
}

RecordPtr StoreImpl::CursorCurrent(Cursor* c) {
  Require(BeginAccess() == 0, 256);
  if (c->page_ == nullptr) {
    Found f = LocateExact(c->key_);
    if (f.node == nullptr) return nullptr;
    Attach(c, f.page, f.node);
  }
  if (IsSentinel(c->node_)) return nullptr;
  return c->node_->Rec();
}

void StoreImpl::CursorDeleteCurrent(Cursor* c) {
  RecordPtr cur = CursorCurrent(c);
  if (cur == nullptr) return;
  CachedPage* page = c->page_;
  PageNode* node = c->node_;
  PageNode* pred = page_tree::LastLess(page->root, node->key());
  if (pred != nullptr) {
    Require(!read_state_, 337);
    uncommitted_ = true;
    PageRef pin(page);
    RemoveNode(page, node);   // detaches every cursor of the page
    Attach(c, page, pred);
    return;
  }
  RecordPtr before = FindPrevious(cur->key());
  CursorSetKey(c, before ? before->key() : std::string_view());
  Delete(cur);
}

bool StoreImpl::CanAppendAfter(Cursor* c, std::string_view key) {
  Require(BeginAccess() == 0, 232);
  Require(!read_state_, 231);
  uncommitted_ = true;
  if (c->page_ == nullptr) return false;
  CachedPage* page = c->page_;
  Require(CompareKeys(key, c->node_->key()) > 0, 706);
  // The record goes right after the cursor's: placed by position, so the
  // only keys compared are its two neighbours'. Appending after the page's
  // last record (a build, APPEND) has no successor to check.
  if (c->rank_ == Cursor::kNoRank) {
    c->rank_ = page_tree::RankOf(page->root, c->node_->key());
    c->next_ = page_tree::AtRank(page->root, c->rank_ + 1);
  }
  if (c->next_ != nullptr) Require(CompareKeys(key, c->next_->key()) < 0, 706);
  return true;
}

void StoreImpl::AppendAfter(Cursor* c, PageNode* node) {
  CachedPage* page = c->page_;
  const uint32_t at = c->rank_ + 1;
  PageNode* succ = c->next_;
  PageRef pin(page);
  // A run of insertions, each right after the one before, keeps the way to
  // the next one's place instead of descending the tree each time.
  if (way_.page != page || way_.after != c->node_ || way_.version != version_ || way_.path.depth < 0) {
    way_.page = page;
    page_tree::PathTo(page->root, at, &way_.path);
  }
  if (way_.path.depth >= 0) {
    page_tree::InsertOnPath(page->root, way_.path, node);
  } else {
    page_tree::InsertAtRank(page->root, node, at);
  }
  MarkModified(page);
  page->estimate += RecordCost(node->size(), 0);
  // This cursor moves on at once, so it leaves the page without taking a
  // key copy; every other cursor on the page detaches.
  auto& attached = page->cursors;
  auto self = std::find(attached.begin(), attached.end(), c);
  Require(self != attached.end(), kBrokenLink);
  attached.erase(self);
  c->page_ = nullptr;
  c->node_ = nullptr;
  DetachCursors(page);
  if (!NeedsSplit(page)) {
    Attach(c, page, node, at, succ);
    // Every change to a tree moves the version on: the way holds until the
    // next change that is not an insertion along it.
    way_.after = node;
    way_.version = version_;
    return;
  }
  way_.version = ~uint64_t{0};
  c->key_.assign(node->key());
  Split(page);
}

PageNode* StoreImpl::NewStoredNode(std::string_view key, std::string_view data) {
  const size_t size = key.size() + data.size();
  // The node, then its bytes, up to the next node's alignment.
  const size_t need = sizeof(PageNode) + (size + alignof(PageNode) - 1) / alignof(PageNode) * alignof(PageNode);
  if (fill_ == nullptr || fill_size_ - fill_used_ < need) {
    // A record never spans two blocks: a longer one gets a block of its own.
    const size_t bytes = std::max(kFillBlock, need);
    PageBlock* b = PageBlock::Make(0, bytes);
    b->live = 1;
    if (fill_) page_tree::Unref(fill_);
    fill_ = b;
    fill_used_ = 0;
    fill_size_ = bytes;
  }
  char* at = fill_->bytes(0) + fill_used_;
  fill_used_ += need;
  auto* node = ::new (at) PageNode;
  char* out = at + sizeof(PageNode);
  CopyBytes(out, key.data(), key.size());
  CopyBytes(out + key.size(), data.data(), data.size());
  node->stored = out;
  node->stored_size = uint16_t(size);
  node->stored_key_len = uint16_t(key.size());
  node->block = fill_;
  fill_->live++;
  return node;
}

void StoreImpl::CursorInsertAfter(Cursor* c, RecordPtr record) {
  Require(record != nullptr, kBrokenLink);
  if (CanAppendAfter(c, record->key())) {
    auto node = new PageNode;
    node->rec = std::move(record);
    AppendAfter(c, node);
    return;
  }
  std::string key(record->key());
  auto placed = InsertAtLevel(std::move(record), 0, 0);
  if (placed.first) {
    Attach(c, placed.first, placed.second);
  } else {
    CursorSetKey(c, key);
  }
}

void StoreImpl::CursorInsertAfter(Cursor* c, std::string_view key, std::string_view data) {
  Require(key.size() + data.size() <= 15093, 824);
  if (CanAppendAfter(c, key)) {
    AppendAfter(c, NewStoredNode(key, data));
    return;
  }
  CursorInsertAfter(c, MakeRecord(key, data));
}

// ---- checking ---------------------------------------------------------------------

uint64_t StoreImpl::CheckPage(CachedPage* p, std::string_view lo, const std::string* hi, bool leftmost,
                              std::string* prev_key, bool* seen_any) {
  Require(page_tree::Check(p->root), kBrokenLink);
  PageRef pin(p);
  PageNode* first = page_tree::First(p->root);
  if (p->address != header_.root) Require(first != nullptr, kBrokenLink);
  if (first) {
    Require(CompareKeys(lo, first->key()) <= 0, kBrokenLink);
    if (leftmost) Require(first->key().empty(), kBrokenLink);
  }
  uint64_t count = 0;
  if (p->level == 0) {
    page_tree::ForEach(p->root, [&](PageNode* n) {
      if (hi) Require(CompareKeys(n->key(), *hi) < 0, kBrokenLink);
      if (*seen_any) Require(CompareKeys(*prev_key, n->key()) < 0, kBrokenLink);
      prev_key->assign(n->key());
      *seen_any = true;
      if (!IsSentinel(n)) count++;
    });
    return count;
  }
  std::vector<std::pair<std::string, int32_t>> seps;
  page_tree::ForEach(p->root, [&](PageNode* n) { seps.emplace_back(std::string(n->key()), n->child); });
  for (size_t i = 0; i < seps.size(); i++) {
    if (hi) Require(CompareKeys(seps[i].first, *hi) < 0, kBrokenLink);
    // Every page hangs from exactly one separator.
    Require(check_visited_.insert(seps[i].second).second, kBrokenLink);
    PageRef c = Fetch(seps[i].second);
    Require(c->level + 1 == p->level, kBrokenLink);
    const std::string* next_hi = i + 1 < seps.size() ? &seps[i + 1].first : hi;
    count += CheckPage(c.get(), seps[i].first, next_hi, leftmost && i == 0, prev_key, seen_any);
  }
  return count;
}

uint64_t StoreImpl::CheckTree() {
  PageRef root = FetchRoot();
  check_visited_.clear();
  check_visited_.insert(root->address);
  std::string prev;
  bool seen = false;
  uint64_t n = CheckPage(root.get(), std::string_view(), nullptr, true, &prev, &seen);
  check_visited_.clear();
  // The first record of the whole store is the sentinel.
  PageRef p = FetchRoot();
  while (p->level > 0) {
    PageNode* first = page_tree::First(p->root);
    Require(first != nullptr, kBrokenLink);
    p = FetchChild(p.get(), first);
  }
  PageNode* first = page_tree::First(p->root);
  Require(first != nullptr && IsSentinel(first) && first->size() == 0, kBrokenLink);
  return n;
}

}  // namespace kel
