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
// Nodes are individually allocated and never copied: removing or rotating
// relinks nodes, so a PageNode* stays valid until that very node is removed.
#pragma once

#include <cstdint>
#include <string_view>

#include "storage/store.h"

namespace kel {

struct PageNode {
  RecordPtr rec;
  int32_t child = 0;       // pages above level 0: the child page address
  PageNode* left = nullptr;
  PageNode* right = nullptr;
  uint32_t count = 1;

  std::string_view key() const { return rec->key(); }

  // Nodes come and go with every page load: recycled through a small
  // per-thread free list instead of the general allocator.
  static void* operator new(size_t size);
  static void operator delete(void* p) noexcept;
};

inline uint32_t CountOf(const PageNode* n) { return n ? n->count : 0; }

namespace page_tree {

// Adds `node` (count set to 1, no children); internal error 706 when a
// record with an equal key is present.
void Insert(PageNode*& root, PageNode* node);
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

// Deletes every node of the subtree.
void FreeAll(PageNode* root);

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
