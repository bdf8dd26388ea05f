#include "storage/page_tree.h"

#include "storage/errors.h"

namespace kel {
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

PageNode* InsertAt(PageNode* t, PageNode* x) {
  if (t == nullptr) return x;
  int c = CompareKeys(x->key(), t->key());
  if (c == 0) RaiseInternal(706);
  if (c < 0) {
    t->left = InsertAt(t->left, x);
  } else {
    t->right = InsertAt(t->right, x);
  }
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
  if (depth > 200 || n->rec == nullptr) return false;
  if (lo && CompareKeys(lo->key(), n->key()) >= 0) return false;
  if (hi && CompareKeys(n->key(), hi->key()) >= 0) return false;
  if (n->count != 1 + CountOf(n->left) + CountOf(n->right)) return false;
  return CheckAt(n->left, lo, n, depth + 1) && CheckAt(n->right, n, hi, depth + 1);
}

}  // namespace

void Insert(PageNode*& root, PageNode* node) {
  node->left = node->right = nullptr;
  node->count = 1;
  root = InsertAt(root, node);
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

void FreeAll(PageNode* root) {
  // Iterative: flatten by rotating left children up.
  while (root) {
    if (root->left) {
      PageNode* l = root->left;
      root->left = l->right;
      l->right = root;
      root = l;
    } else {
      PageNode* next = root->right;
      delete root;
      root = next;
    }
  }
}

bool Check(const PageNode* root) { return CheckAt(root, nullptr, nullptr, 0); }

}  // namespace page_tree
}  // namespace kel
