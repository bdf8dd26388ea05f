// The in-memory record structure of one page: a binary search tree in which
// every node stores the number of records in its subtree.
//
// Shape rules (they decide which record a page split takes, so they fix the
// page layout on disk):
// - Insertion descends by comparison and adds the record as a leaf; on the
//   way back, at each node with left count l and right count r: if r < l and
//   r <= count(left.left), rotate right; else if r > l and
//   count(right.right) >= l, rotate left; then recount.
// - Removal replaces the node by its in-order neighbour from the larger
//   subtree (the predecessor when the left subtree is strictly larger,
//   otherwise the successor), without rotations.
// - A page loaded from disk is built by inserting its records in ascending
//   order.
//
// Nodes are never copied: removing or rotating relinks nodes, so a PageNode*
// stays valid until that very node is removed. Nodes made one by one (by an
// insertion) own their record. The nodes of a page loaded from disk live
// together in one PageBlock with the page's decoded record bytes; such a node
// makes its Record only when the record is asked for (most loaded records are
// only compared), and the block is freed with the last of its nodes, wherever
// splits have moved them. Nodes are released through page_tree::Destroy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "storage/store.h"

namespace kel {

struct PageBlock;

struct PageNode {
  // The record; for a node of a loaded page null until Rec() makes it.
  RecordPtr rec;
  int32_t child = 0;       // pages above level 0: the child page address
  PageNode* left = nullptr;
  PageNode* right = nullptr;
  uint32_t count = 1;
  // Nodes of a block (loaded or filled): the record bytes in the block.
  uint16_t stored_key_len = 0;
  uint16_t stored_size = 0;
  const char* stored = nullptr;
  PageBlock* block = nullptr;

  std::string_view key() const { return rec ? rec->key() : std::string_view(stored, stored_key_len); }
  // Record length in bytes (key and data).
  size_t size() const { return rec ? rec->bytes.size() : stored_size; }
  // The record, made from the stored bytes at the first call; the same
  // RecordPtr is answered as long as the node lives.
  const RecordPtr& Rec();

  // Nodes come and go with every insertion: recycled through a small
  // per-thread free list instead of the general allocator.
  static void* operator new(size_t size);
  static void operator delete(void* p) noexcept;
};

// The nodes (constructed in place) and the decoded record bytes of one
// loaded page, in a single allocation.
//
// The first record asked for in a block is made on its own (a search answers
// one record of the page); from the second on, the block makes the records of
// all its remaining nodes at once into one shared vector (an ordered walk
// answers them all), so a walk pays one allocation per record.
//
// A block with n == 0 is filled instead, node after node, each node followed
// by its record bytes: a run of insertions after a cursor (a key build) then
// makes neither a Record nor an allocation per record, and the nodes of a
// page lie in memory in key order. Such nodes are released one by one; the
// block's `live` counts them, plus one while the store still fills it
// (page_tree::Unref).
struct PageBlock {
  size_t live = 0;   // nodes of the block not yet released (see above)
  uint32_t n = 0;    // nodes in the block
  uint32_t made = 0; // records made so far
  // Makes the records of every live node that has none, sharing one vector.
  void MakeAll();
  // A block for `n` nodes and `bytes` bytes of records, its nodes not yet
  // constructed: the caller constructs every one of them (with `block` set)
  // before anything else uses or releases the block.
  static PageBlock* Make(uint32_t n, size_t bytes);
  PageNode* nodes() { return reinterpret_cast<PageNode*>(this + 1); }
  char* bytes(uint32_t n) { return reinterpret_cast<char*>(nodes() + n); }
};
static_assert(sizeof(PageBlock) % alignof(PageNode) == 0);

inline uint32_t CountOf(const PageNode* n) { return n ? n->count : 0; }

namespace page_tree {

// Adds `node` (count set to 1, no children); internal error 706 when a
// record with an equal key is present.
void Insert(PageNode*& root, PageNode* node);
// Insert for a node whose key the caller knows to be greater than every key
// of the tree: the same tree, without key comparisons.
void InsertLast(PageNode*& root, PageNode* node);
// Insert for a node whose position the caller knows: `rank` nodes of the
// tree sort before it. The same tree as the compared insertion, descending
// by the counts instead of comparing keys.
void InsertAtRank(PageNode*& root, PageNode* node, uint32_t rank);
// The way from the root down to the empty place where a node of a given
// rank would go, with each node's direction and the count of its child on
// the other side: all that the insertion reads on its way back up, so a run
// of insertions, each right after the one before (a key build appending
// before the records that follow its key), goes down no tree. It stays true
// as long as the tree changes only through InsertOnPath with it.
struct Path {
  static constexpr int kMax = 96;
  int depth = -1;          // nodes on the way; -1 = not known
  PageNode* node[kMax];
  uint32_t off[kMax];      // count of the child the way does not take
  bool right[kMax];        // the way goes on to the right child
};
// Takes the way to the place of rank `rank` (0 .. node count); false (depth
// -1) when it is longer than Path::kMax (no insertion makes such a tree).
bool PathTo(PageNode* root, uint32_t rank, Path* path);
// InsertAtRank at the path's place: the same tree. The path then leads to
// the place right after the new node (depth -1 when it grew too long).
void InsertOnPath(PageNode*& root, Path& path, PageNode* node);
// The node with `rank` nodes before it (null past the end), and the number
// of nodes whose keys are less than `key`.
PageNode* AtRank(PageNode* root, uint32_t rank);
uint32_t RankOf(PageNode* root, std::string_view key);
// Unlinks the node whose key equals `key` and answers it (null when none).
PageNode* Remove(PageNode*& root, std::string_view key);

PageNode* First(PageNode* root);
PageNode* Last(PageNode* root);
PageNode* FindEqual(PageNode* root, std::string_view key);
PageNode* LastNotGreater(PageNode* root, std::string_view key);
PageNode* LastLess(PageNode* root, std::string_view key);
PageNode* FirstGreater(PageNode* root, std::string_view key);

// Links `n` nodes given in ascending order into the tree that inserting them
// one by one in that order would give (same shape, no key comparisons).
PageNode* BuildAscending(PageNode* const* nodes, uint32_t n);

// Releases one node: deletes a node made on its own; a node of a filled block
// is destroyed in place; a node of a loaded block drops its record and is
// marked released (stored = null). A block goes with its last node.
void Destroy(PageNode* node);
// Releases every node of the subtree.
void FreeAll(PageNode* root);
// Releases a block none of whose nodes was released on its own, with every
// node at once.
void FreeBlock(PageBlock* block);
// Drops one reference to a filled block; the last one frees it.
void Unref(PageBlock* block);

// Visits the nodes in ascending order.
template <typename F>
void ForEach(PageNode* root, F&& f) {
  // Iterative in-order walk; the tree depth is small but pages can hold
  // thousands of tiny records.
  PageNode* stack[128];
  int sp = 0;
  PageNode* n = root;
  while (n || sp > 0) {
    while (n) {
      if (sp == 128) {  // unbalanced beyond any reachable shape
        ForEach(n, f);
        n = nullptr;
        break;
      }
      stack[sp++] = n;
      // Its right subtree comes next after the left one: ask for it now.
      if (n->right) __builtin_prefetch(n->right);
      n = n->left;
    }
    if (sp == 0) break;
    n = stack[--sp];
    f(n);
    n = n->right;
  }
}

// Checks counts and order of the subtree; answers false when broken.
bool Check(const PageNode* root);

}  // namespace page_tree
}  // namespace kel
