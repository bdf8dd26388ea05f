#include "storage/page_tree.h"

#include <memory>
#include <new>
#include <mutex>
#include <vector>

#include "storage/errors.h"

namespace kel {

namespace {
// Released nodes wait in a per-thread stack of their addresses. Taking one
// reads only the stack, never the node itself, which has usually left the
// processor's caches since it was released.
struct FreeNodes {
  static constexpr size_t kMax = 1 << 16;
  std::vector<void*> stack;
  ~FreeNodes() {
    for (void* p : stack) ::operator delete(p);
  }
};
thread_local FreeNodes tl_free;
}  // namespace

void* PageNode::operator new(size_t size) {
  std::vector<void*>& s = tl_free.stack;
  if (size == sizeof(PageNode) && !s.empty()) {
    void* p = s.back();
    s.pop_back();
    // The node taken next is asked for now, to be written: a new node is
    // written at once, and a released one has usually gone cold.
    if (!s.empty()) __builtin_prefetch(s.back(), 1);
    return p;
  }
  return ::operator new(size);
}

void PageNode::operator delete(void* p) noexcept {
  if (!p) return;
  std::vector<void*>& s = tl_free.stack;
  if (s.size() < s.capacity()) {
    s.push_back(p);
    return;
  }
  if (s.capacity() == 0) {
    try {
      s.reserve(FreeNodes::kMax);
      s.push_back(p);
      return;
    } catch (const std::bad_alloc&) {
    }
  }
  ::operator delete(p);
}

const RecordPtr& PageNode::Rec() {
  if (!rec && block && block->n > 0 && block->made++ > 0) block->MakeAll();
  if (!rec) {
    auto r = std::make_shared<Record>();
    r->bytes.assign(stored, stored_size);
    r->key_len = stored_key_len;
    rec = std::move(r);
  }
  return rec;
}

void PageBlock::MakeAll() {
  PageNode* all = nodes();
  uint32_t missing = 0;
  for (uint32_t i = 0; i < n; i++) {
    if (!all[i].rec && all[i].stored) missing++;
  }
  if (missing == 0) return;
  auto records = std::make_shared<std::vector<Record>>(missing);
  size_t k = 0;
  for (uint32_t i = 0; i < n; i++) {
    PageNode& node = all[i];
    if (node.rec || !node.stored) continue;
    Record& r = (*records)[k++];
    r.bytes.assign(node.stored, node.stored_size);
    r.key_len = node.stored_key_len;
    node.rec = RecordPtr(records, &r);
  }
}

PageBlock* PageBlock::Make(uint32_t n, size_t bytes) {
  void* raw = ::operator new(sizeof(PageBlock) + size_t(n) * sizeof(PageNode) + bytes);
  auto* b = ::new (raw) PageBlock;
  b->live = n;
  b->n = n;
  return b;
}

namespace page_tree {
namespace {

void Recount(PageNode* n) { n->count = 1 + CountOf(n->left) + CountOf(n->right); }

PageNode* RotateRight(PageNode* t) {
  PageNode* l = t->left;
  t->left = l->right;
  l->right = t;
  Recount(t);
  Recount(l);
  return l;
}

PageNode* RotateLeft(PageNode* t) {
  PageNode* r = t->right;
  t->right = r->left;
  r->left = t;
  Recount(t);
  Recount(r);
  return r;
}

// The step on the way back from an insertion below `t`: with left count l
// and right count r, rotate right if r < l and r <= count(left.left), left
// if r > l and count(right.right) >= l; then recount.
PageNode* Rebalance(PageNode* t) {
  uint32_t l = CountOf(t->left);
  uint32_t r = CountOf(t->right);
  if (r < l && r <= CountOf(t->left->left)) {
    t = RotateRight(t);
  } else if (r > l && CountOf(t->right->right) >= l) {
    t = RotateLeft(t);
  }
  Recount(t);
  return t;
}

PageNode* InsertAt(PageNode* t, PageNode* x) {
  if (t == nullptr) return x;
  int c = CompareKeys(x->key(), t->key());
  if (c == 0) RaiseInternal(706);
  if (c < 0) {
    t->left = InsertAt(t->left, x);
  } else {
    t->right = InsertAt(t->right, x);
  }
  return Rebalance(t);
}

// Unlinks the largest node of the subtree `t` (counts on the way fixed).
PageNode* TakeLast(PageNode*& t) {
  if (t->right == nullptr) {
    PageNode* n = t;
    t = t->left;
    return n;
  }
  PageNode* n = TakeLast(t->right);
  t->count--;
  return n;
}

PageNode* TakeFirst(PageNode*& t) {
  if (t->left == nullptr) {
    PageNode* n = t;
    t = t->right;
    return n;
  }
  PageNode* n = TakeFirst(t->left);
  t->count--;
  return n;
}

bool CheckAt(const PageNode* n, const PageNode* lo, const PageNode* hi, int depth) {
  if (n == nullptr) return true;
  if (depth > 200 || (n->rec == nullptr && n->block == nullptr)) return false;
  if (lo && CompareKeys(lo->key(), n->key()) >= 0) return false;
  if (hi && CompareKeys(n->key(), hi->key()) >= 0) return false;
  if (n->count != 1 + CountOf(n->left) + CountOf(n->right)) return false;
  return CheckAt(n->left, lo, n, depth + 1) && CheckAt(n->right, n, hi, depth + 1);
}

// The shape of a tree built by ascending insertion depends on the count
// alone: computed once per count on indices, with the insertion rules above
// (every new index goes rightmost).
struct Shape {
  std::vector<int32_t> left, right;
  std::vector<uint32_t> count;
  int32_t root = -1;
};

class ShapeBuilder {
 public:
  explicit ShapeBuilder(Shape& s) : s_(s) {}
  uint32_t Cnt(int32_t t) const { return t < 0 ? 0 : s_.count[size_t(t)]; }
  void Recount(int32_t t) { s_.count[size_t(t)] = 1 + Cnt(L(t)) + Cnt(R(t)); }
  int32_t& L(int32_t t) { return s_.left[size_t(t)]; }
  int32_t& R(int32_t t) { return s_.right[size_t(t)]; }
  int32_t L(int32_t t) const { return s_.left[size_t(t)]; }
  int32_t R(int32_t t) const { return s_.right[size_t(t)]; }
  int32_t InsertLast(int32_t t, int32_t x) {
    if (t < 0) return x;
    R(t) = InsertLast(R(t), x);
    uint32_t l = Cnt(L(t));
    uint32_t r = Cnt(R(t));
    if (r < l && L(t) >= 0 && r <= Cnt(L(L(t)))) {
      int32_t u = L(t);
      L(t) = R(u);
      R(u) = t;
      Recount(t);
      Recount(u);
      t = u;
    } else if (r > l && Cnt(R(R(t))) >= l) {
      int32_t u = R(t);
      R(t) = L(u);
      L(u) = t;
      Recount(t);
      Recount(u);
      t = u;
    }
    Recount(t);
    return t;
  }

 private:
  Shape& s_;
};

const Shape& AscendingShape(uint32_t n) {
  static std::mutex mu;
  static std::vector<std::unique_ptr<Shape>> memo;
  std::lock_guard<std::mutex> lock(mu);
  if (memo.size() <= n) memo.resize(n + 1);
  if (!memo[n]) {
    auto s = std::make_unique<Shape>();
    s->left.assign(n, -1);
    s->right.assign(n, -1);
    s->count.assign(n, 1);
    ShapeBuilder b(*s);
    for (uint32_t i = 0; i < n; i++) s->root = b.InsertLast(s->root, int32_t(i));
    memo[n] = std::move(s);
  }
  return *memo[n];
}

}  // namespace

PageNode* BuildAscending(PageNode* const* nodes, uint32_t n) {
  if (n == 0) return nullptr;
  const Shape& s = AscendingShape(n);
  for (uint32_t i = 0; i < n; i++) {
    PageNode* node = nodes[i];
    node->left = s.left[i] < 0 ? nullptr : nodes[s.left[i]];
    node->right = s.right[i] < 0 ? nullptr : nodes[s.right[i]];
    node->count = s.count[i];
  }
  return nodes[s.root];
}

void Insert(PageNode*& root, PageNode* node) {
  node->left = node->right = nullptr;
  node->count = 1;
  root = InsertAt(root, node);
}

namespace {
// InsertAt by position: x goes left of t exactly when its rank within t's
// subtree is at most t's own, which is where a comparison would send it.
PageNode* InsertAtRankAt(PageNode* t, PageNode* x, uint32_t rank) {
  if (t == nullptr) return x;
  const uint32_t l = CountOf(t->left);
  if (rank <= l) {
    t->left = InsertAtRankAt(t->left, x, rank);
  } else {
    t->right = InsertAtRankAt(t->right, x, rank - l - 1);
  }
  return Rebalance(t);
}
}  // namespace

void InsertAtRank(PageNode*& root, PageNode* node, uint32_t rank) {
  // Down by the counts to the node's place, then back up along the way
  // taken. A tree deeper than a path holds (no insertion makes one) is left
  // to the recursion instead.
  Path path;
  if (PathTo(root, rank, &path)) {
    InsertOnPath(root, path, node);
    return;
  }
  node->left = node->right = nullptr;
  node->count = 1;
  root = InsertAtRankAt(root, node, rank);
}

void InsertLast(PageNode*& root, PageNode* node) { InsertAtRank(root, node, CountOf(root)); }

bool PathTo(PageNode* root, uint32_t rank, Path* path) {
  Require(rank <= CountOf(root), 300);
  path->depth = 0;
  uint32_t r = rank;
  for (PageNode* t = root; t != nullptr;) {
    if (path->depth == Path::kMax) {
      path->depth = -1;
      return false;
    }
    const int d = path->depth++;
    path->node[d] = t;
    const uint32_t l = CountOf(t->left);
    if (r <= l) {
      path->right[d] = false;
      path->off[d] = CountOf(t->right);
      t = t->left;
    } else {
      r -= l + 1;
      path->right[d] = true;
      path->off[d] = l;
      t = t->right;
    }
  }
  return true;
}

void InsertOnPath(PageNode*& root, Path& path, PageNode* node) {
  Require(path.depth >= 0, 300);
  node->left = node->right = nullptr;
  node->count = 1;
  // The insertion's way back up: each node of the way takes the rebuilt
  // subtree below it (`sub`, whose child counts are kept at hand) as its
  // child and is rebalanced as Rebalance does; only a rotation with the
  // child off the way looks into memory for counts. The new way is
  // gathered from the bottom up, starting at the new node, whose way goes
  // on to the right: the next insertion's place.
  constexpr int kMaxNew = 2 * Path::kMax + 2;
  PageNode* way[kMaxNew];
  uint32_t off[kMaxNew];
  bool right[kMaxNew];
  int top = 0;
  auto push = [&](PageNode* n, bool r, uint32_t o) {
    way[top] = n;
    right[top] = r;
    off[top] = o;
    ++top;
  };
  push(node, true, 0);
  PageNode* sub = node;
  uint32_t sub_l = 0, sub_r = 0;
  // The rotation at t (whose way goes right or left) that lifts t's child
  // off the way: t goes down that child's side facing the way, still on the
  // way; `sub_count` nodes lie below t on the way.
  auto lift_off_way = [&](PageNode* t, bool way_right, uint32_t sub_count) {
    PageNode* PageNode::*off_side = way_right ? &PageNode::left : &PageNode::right;
    PageNode* PageNode::*way_side = way_right ? &PageNode::right : &PageNode::left;
    PageNode* up = t->*off_side;
    t->*off_side = up->*way_side;
    up->*way_side = t;
    const uint32_t t_off = CountOf(t->*off_side);
    t->count = 1 + t_off + sub_count;
    const uint32_t up_off = CountOf(up->*off_side);
    up->count = 1 + up_off + t->count;
    push(t, way_right, t_off);
    push(up, way_right, up_off);
    sub = up;
    sub_l = way_right ? up_off : t->count;
    sub_r = way_right ? t->count : up_off;
  };
  // The levels above the highest rotation keep their entries as they were.
  int kept = path.depth;
  for (int i = path.depth - 1; i >= 0; --i) {
    PageNode* t = path.node[i];
    const uint32_t o = path.off[i];
    const uint32_t sub_count = 1 + sub_l + sub_r;
    if (path.right[i]) {
      t->right = sub;
      const uint32_t l = o, r = sub_count;
      if (r < l && r <= CountOf(t->left->left)) {
        kept = i;
        lift_off_way(t, true, r);   // rotate right
      } else if (r > l && sub_r >= l) {
        kept = i;
        // Rotate left: sub comes up, t goes down its left side.
        PageNode* u = sub;
        t->right = u->left;
        u->left = t;
        t->count = 1 + l + sub_l;
        u->count = 1 + t->count + sub_r;
        if (right[top - 1]) {
          off[top - 1] = t->count;   // t leaves the way
        } else {
          // The way went down u's left side, which is now t's right.
          way[top - 1] = t, right[top - 1] = true, off[top - 1] = l;
          push(u, false, sub_r);
        }
        sub_l = t->count;
      } else {
        t->count = 1 + l + r;
        push(t, true, l);
        sub = t, sub_l = l, sub_r = r;
      }
    } else {
      t->left = sub;
      const uint32_t l = sub_count, r = o;
      if (r < l && r <= sub_l) {
        kept = i;
        // Rotate right: sub comes up, t goes down its right side.
        PageNode* up = sub;
        t->left = up->right;
        up->right = t;
        t->count = 1 + sub_r + r;
        up->count = 1 + sub_l + t->count;
        if (!right[top - 1]) {
          off[top - 1] = t->count;   // t leaves the way
        } else {
          // The way went down up's right side, which is now t's left.
          way[top - 1] = t, right[top - 1] = false, off[top - 1] = r;
          push(up, true, sub_l);
        }
        sub_r = t->count;
      } else if (r > l && CountOf(t->right->right) >= l) {
        kept = i;
        lift_off_way(t, false, l);   // rotate left
      } else {
        t->count = 1 + l + r;
        push(t, false, r);
        sub = t, sub_l = l, sub_r = r;
      }
    }
  }
  root = sub;
  if (top > Path::kMax) {
    path.depth = -1;
    return;
  }
  // Each level above `kept` pushed one entry, equal to its old one: only
  // the entries below them are new.
  path.depth = top;
  for (int k = kept; k < top; ++k) {
    path.node[k] = way[top - 1 - k];
    path.right[k] = right[top - 1 - k];
    path.off[k] = off[top - 1 - k];
  }
}

PageNode* AtRank(PageNode* root, uint32_t rank) {
  PageNode* t = root;
  while (t) {
    const uint32_t l = CountOf(t->left);
    if (rank == l) return t;
    if (rank < l) {
      t = t->left;
    } else {
      rank -= l + 1;
      t = t->right;
    }
  }
  return nullptr;
}

uint32_t RankOf(PageNode* root, std::string_view key) {
  uint32_t rank = 0;
  for (PageNode* t = root; t;) {
    if (CompareKeys(t->key(), key) < 0) {
      rank += CountOf(t->left) + 1;
      t = t->right;
    } else {
      t = t->left;
    }
  }
  return rank;
}

PageNode* Remove(PageNode*& root, std::string_view key) {
  // First confirm presence, so counts are only touched on a real removal.
  if (FindEqual(root, key) == nullptr) return nullptr;
  PageNode** link = &root;
  while (true) {
    PageNode* t = *link;
    int c = CompareKeys(key, t->key());
    if (c == 0) break;
    t->count--;
    link = c < 0 ? &t->left : &t->right;
  }
  PageNode* victim = *link;
  PageNode* repl = nullptr;
  uint32_t l = CountOf(victim->left);
  uint32_t r = CountOf(victim->right);
  if (l == 0 && r == 0) {
    repl = nullptr;
  } else if (l > r) {
    repl = TakeLast(victim->left);
  } else {
    repl = TakeFirst(victim->right);
  }
  if (repl) {
    repl->left = victim->left;
    repl->right = victim->right;
    Recount(repl);
  }
  *link = repl;
  victim->left = victim->right = nullptr;
  victim->count = 1;
  return victim;
}

PageNode* First(PageNode* n) {
  if (!n) return nullptr;
  while (n->left) n = n->left;
  return n;
}

PageNode* Last(PageNode* n) {
  if (!n) return nullptr;
  while (n->right) n = n->right;
  return n;
}

PageNode* FindEqual(PageNode* n, std::string_view key) {
  while (n) {
    int c = CompareKeys(key, n->key());
    if (c == 0) return n;
    n = c < 0 ? n->left : n->right;
  }
  return nullptr;
}

PageNode* LastNotGreater(PageNode* n, std::string_view key) {
  PageNode* best = nullptr;
  while (n) {
    int c = CompareKeys(n->key(), key);
    if (c == 0) return n;
    if (c < 0) {
      best = n;
      n = n->right;
    } else {
      n = n->left;
    }
  }
  return best;
}

PageNode* LastLess(PageNode* n, std::string_view key) {
  PageNode* best = nullptr;
  while (n) {
    if (CompareKeys(n->key(), key) < 0) {
      best = n;
      n = n->right;
    } else {
      n = n->left;
    }
  }
  return best;
}

PageNode* FirstGreater(PageNode* n, std::string_view key) {
  PageNode* best = nullptr;
  while (n) {
    if (CompareKeys(n->key(), key) > 0) {
      best = n;
      n = n->left;
    } else {
      n = n->right;
    }
  }
  return best;
}

void Destroy(PageNode* node) {
  PageBlock* b = node->block;
  if (b == nullptr) {
    delete node;
    return;
  }
  if (b->n == 0) {
    node->~PageNode();
    Unref(b);
    return;
  }
  node->rec.reset();
  node->stored = nullptr;
  node->left = node->right = nullptr;
  if (--b->live == 0) {
    PageNode* all = b->nodes();
    for (uint32_t i = 0; i < b->n; i++) all[i].~PageNode();
    b->~PageBlock();
    ::operator delete(static_cast<void*>(b));
  }
}

void FreeAll(PageNode* root) {
  // Level by level, in any order the tree allows: a node's children are
  // asked for from memory when the node is reached and released only after
  // the rest of its level, so the walk waits on no single node at a time.
  // (A page dropped from the cache has usually left the processor's caches.)
  thread_local std::vector<PageNode*> queue;
  queue.clear();
  if (root) queue.push_back(root);
  for (size_t i = 0; i < queue.size(); ++i) {
    PageNode* n = queue[i];
    for (PageNode* c : {n->left, n->right}) {
      if (c == nullptr) continue;
      __builtin_prefetch(c);
      queue.push_back(c);
    }
    Destroy(n);
  }
  if (queue.capacity() > (size_t(1) << 16)) queue = {};
}

void FreeBlock(PageBlock* b) {
  Require(b->live == b->n, 300);
  PageNode* all = b->nodes();
  for (uint32_t i = 0; i < b->n; i++) all[i].~PageNode();
  b->~PageBlock();
  ::operator delete(static_cast<void*>(b));
}

void Unref(PageBlock* b) {
  Require(b->n == 0 && b->live > 0, 300);
  if (--b->live > 0) return;
  b->~PageBlock();
  ::operator delete(static_cast<void*>(b));
}

bool Check(const PageNode* root) { return CheckAt(root, nullptr, nullptr, 0); }

}  // namespace page_tree
}  // namespace kel
