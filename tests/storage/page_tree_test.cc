// The counted in-page search tree: its shape decides the split record, so the
// shape rules are checked exactly, and its order against a model.
#include "storage/page_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "storage/errors.h"

namespace kel {
namespace {

PageNode* NodeOf(const std::string& key) {
  auto n = new PageNode;
  n->rec = MakeRecord(key);
  return n;
}

std::string Shape(const PageNode* n) {
  if (!n) return ".";
  if (!n->left && !n->right) return std::string(n->key());
  return "(" + Shape(n->left) + " " + std::string(n->key()) + " " + Shape(n->right) + ")";
}

struct Tree {
  PageNode* root = nullptr;
  ~Tree() { page_tree::FreeAll(root); }
  void Add(const std::string& k) { page_tree::Insert(root, NodeOf(k)); }
  void Del(const std::string& k) { delete page_tree::Remove(root, k); }
};

TEST(PageTreeTest, AscendingInsertionsRotateAsTheCountsDemand) {
  // Worked by hand from the rules: a rotation happens at a node where the
  // smaller side is no larger than the outer grandchild subtree.
  struct Case {
    std::string keys;
    std::string shape;
  };
  const Case cases[] = {
      {"a", "a"},
      {"ab", "(a b .)"},
      {"abc", "(a b c)"},
      {"abcd", "(a b (c d .))"},
      {"abcde", "((a b c) d e)"},
      {"abcdefg", "((a b c) d (e f g))"},
      {"gfedcba", "((a b c) d (e f g))"},
      {"dbfaceg", "(((a b .) c d) e (f g .))"},
  };
  for (const auto& c : cases) {
    Tree t;
    for (char k : c.keys) t.Add(std::string(1, k));
    EXPECT_EQ(Shape(t.root), c.shape) << c.keys;
    EXPECT_TRUE(page_tree::Check(t.root));
    EXPECT_EQ(CountOf(t.root), c.keys.size());
  }
}

TEST(PageTreeTest, RemovalTakesTheNeighbourFromTheLargerSide) {
  struct Case {
    std::string keys, remove, shape;
  };
  const Case cases[] = {
      // Equal sides: the successor replaces the node.
      {"abcdefg", "d", "((a b c) e (. f g))"},
      {"abcdefg", "b", "((a c .) d (e f g))"},
      // Left strictly larger: the predecessor.
      {"abcde", "d", "((a b .) c e)"},
      // A leaf goes without replacement.
      {"abc", "c", "(a b .)"},
      {"a", "a", "."},
  };
  for (const auto& c : cases) {
    Tree t;
    for (char k : c.keys) t.Add(std::string(1, k));
    t.Del(c.remove);
    EXPECT_EQ(Shape(t.root), c.shape) << c.keys << " - " << c.remove;
    EXPECT_TRUE(page_tree::Check(t.root));
  }
}

TEST(PageTreeTest, DuplicateKeyIsInternalError706) {
  OperationFrame frame("T");
  Tree t;
  t.Add("x");
  auto n = NodeOf("x");
  try {
    page_tree::Insert(t.root, n);
    FAIL() << "duplicate accepted";
  } catch (const InternalError& e) {
    EXPECT_EQ(e.code(), 706);
  }
  delete n;
  EXPECT_EQ(CountOf(t.root), 1u);
}

TEST(PageTreeTest, SearchesAndOrderMatchAModelUnderRandomChanges) {
  std::mt19937 rng(7);
  Tree t;
  std::set<std::string> model;
  for (int step = 0; step < 4000; step++) {
    std::string k(1 + rng() % 3, 'a');
    for (auto& ch : k) ch = char('a' + rng() % 6);
    if (rng() % 3 == 0) {
      t.Del(k);
      model.erase(k);
    } else if (!model.count(k)) {
      t.Add(k);
      model.insert(k);
    }
    ASSERT_EQ(CountOf(t.root), model.size());
    std::string probe(1 + rng() % 3, 'a');
    for (auto& ch : probe) ch = char('a' + rng() % 6);
    auto ub = model.upper_bound(probe);
    PageNode* g = page_tree::FirstGreater(t.root, probe);
    ASSERT_EQ(g ? std::string(g->key()) : "<none>", ub == model.end() ? "<none>" : *ub);
    auto lb = model.lower_bound(probe);
    PageNode* l = page_tree::LastLess(t.root, probe);
    ASSERT_EQ(l ? std::string(l->key()) : "<none>", lb == model.begin() ? "<none>" : *std::prev(lb));
    PageNode* ng = page_tree::LastNotGreater(t.root, probe);
    auto le = model.upper_bound(probe);
    ASSERT_EQ(ng ? std::string(ng->key()) : "<none>", le == model.begin() ? "<none>" : *std::prev(le));
  }
  ASSERT_TRUE(page_tree::Check(t.root));
  std::vector<std::string> walked;
  page_tree::ForEach(t.root, [&](PageNode* n) { walked.emplace_back(n->key()); });
  EXPECT_EQ(walked, std::vector<std::string>(model.begin(), model.end()));
}

TEST(PageTreeTest, PagesLoadedInOrderHaveTheShapeOfAscendingInsertion) {
  for (uint32_t n = 0; n < 400; n++) {
    Tree inserted;
    std::vector<PageNode*> nodes;
    for (uint32_t i = 0; i < n; i++) {
      char k[16];
      std::snprintf(k, sizeof k, "%05u", i);
      inserted.Add(k);
      nodes.push_back(NodeOf(k));
    }
    Tree built;
    built.root = page_tree::BuildAscending(nodes.data(), n);
    ASSERT_EQ(Shape(built.root), Shape(inserted.root)) << n;
    ASSERT_TRUE(page_tree::Check(built.root));
  }
}

TEST(PageTreeTest, KeysCompareAsUnsignedBytesShorterFirst) {
  EXPECT_LT(CompareKeys("", "a"), 0);
  EXPECT_LT(CompareKeys("ab", "abc"), 0);
  EXPECT_GT(CompareKeys("\x80", "\x7f"), 0);
  EXPECT_LT(CompareKeys("a\xff", "b"), 0);
  EXPECT_EQ(CompareKeys("abc", "abc"), 0);
  // Against memcmp's order, with the first difference at every position of
  // keys up to 40 bytes (whole words, half words and single bytes), high
  // bytes included, and keys that begin one another.
  std::mt19937 rng(3);
  for (int iter = 0; iter < 20000; ++iter) {
    std::string a(rng() % 41, '\0');
    for (char& c : a) c = char(rng() % 4 == 0 ? 0x80 + rng() % 128 : rng() % 3);
    std::string b = a.substr(0, rng() % (a.size() + 1));
    if (rng() % 3 && !b.empty()) b[rng() % b.size()] = char(rng() % 256);
    if (rng() % 2) b.append(rng() % 5, char(rng() % 256));
    const int expect = a.compare(b);
    const int got = CompareKeys(a, b);
    ASSERT_EQ(got < 0, expect < 0) << iter;
    ASSERT_EQ(got > 0, expect > 0) << iter;
  }
}

// Copies of every length around the word steps, at every offset inside a
// buffer: exactly the span's bytes, nothing before or after it.
TEST(PageTreeTest, CopyBytesCopiesExactlyTheSpan) {
  std::string src(100, '\0');
  for (size_t i = 0; i < src.size(); ++i) src[i] = char(i * 7 + 1);
  for (size_t n = 0; n <= 80; ++n) {
    for (size_t at : {0, 1, 3, 7}) {
      std::string dst(100, '\xEE'), want = dst;
      CopyBytes(&dst[at], src.data() + 5, n);
      std::memcpy(&want[at], src.data() + 5, n);
      ASSERT_EQ(dst, want) << n << " at " << at;
    }
  }
}

// Two trees grown alike: one takes every later insertion by comparison, the
// other the way under test.
struct Twins {
  Tree compared, other;
  std::set<std::string> keys;
  void Add(const std::string& k) {
    compared.Add(k);
    other.Add(k);
    keys.insert(k);
  }
  void Del(std::string k) {  // a copy: `k` may be one of `keys`
    compared.Del(k);
    other.Del(k);
    keys.erase(k);
  }
  // `start` random keys, inserted in ascending or shuffled order, then a
  // quarter of them removed at random: trees of many shapes, not only the
  // ascending one.
  void Grow(int start, bool shuffled, std::mt19937& rng) {
    std::set<std::string> pick;
    while (int(pick.size()) < start) pick.insert(std::to_string(100000 + rng() % 800000));
    std::vector<std::string> order(pick.begin(), pick.end());
    if (shuffled) std::shuffle(order.begin(), order.end(), rng);
    for (const auto& k : order) Add(k);
    for (int i = 0; i < start / 4; ++i) Del(*std::next(keys.begin(), long(rng() % keys.size())));
  }
};

// Appending after the greatest key without comparisons must give the very
// tree a compared insertion gives (split records depend on it), whether the
// tree grew by appends alone or was shaped by random insertions and
// removals first.
TEST(PageTreeTest, InsertLastGivesTheTreeOfAComparedInsertion) {
  std::mt19937 rng(3);
  for (int start : {0, 1, 2, 7, 40, 200}) {
    Twins t;
    t.Grow(start, false, rng);
    for (int i = 0; i < 150; ++i) {
      std::string k = "9" + std::to_string(1000 + i);  // above every earlier key
      t.compared.Add(k);
      page_tree::InsertLast(t.other.root, NodeOf(k));
      ASSERT_EQ(Shape(t.other.root), Shape(t.compared.root)) << "start " << start << ", append " << i;
    }
    EXPECT_TRUE(page_tree::Check(t.other.root));
  }
}

// A run of insertions along a kept path, each right after the one before,
// anywhere in trees built in any order (then thinned by removals): every
// step gives the tree a compared insertion gives, and the path kept is the
// one a fresh descent to the next place takes.
TEST(PageTreeTest, InsertionsAlongAPathGiveTheTreeOfComparedInsertions) {
  std::mt19937 rng(5);
  for (bool shuffled : {false, true}) {
    for (int start : {0, 1, 2, 7, 40, 200}) {
      for (int gap_pick = 0; gap_pick < 3; ++gap_pick) {
        Twins t;
        t.Grow(start, shuffled, rng);
        const std::set<std::string>& keys = t.keys;
        // The gap after the first key, after a random one, or at the end.
        uint32_t rank = keys.empty() ? 0 : (gap_pick == 0 ? 1 : gap_pick == 1 ? 1 + rng() % keys.size() : keys.size());
        const std::string below = rank == 0 ? "0" : *std::next(keys.begin(), long(rank - 1));
        if (gap_pick == 1) {
          // The keys right after the gap go: the nodes above it are left
          // with light right sides, which the insertions then rotate.
          while (keys.size() > rank + start / 8 && keys.upper_bound(below) != keys.end())
            t.Del(*keys.upper_bound(below));
        }
        page_tree::Path path;
        ASSERT_TRUE(page_tree::PathTo(t.other.root, rank, &path));
        for (int i = 0; i < 150; ++i, ++rank) {
          const std::string k = below + "/" + std::to_string(100 + i);  // after `below`, before its successor
          t.compared.Add(k);
          page_tree::InsertOnPath(t.other.root, path, NodeOf(k));
          const std::string where = std::string(shuffled ? "shuffled" : "ascending") + " start " +
                                    std::to_string(start) + " rank " + std::to_string(rank);
          ASSERT_EQ(Shape(t.other.root), Shape(t.compared.root)) << where;
          ASSERT_TRUE(page_tree::Check(t.other.root)) << where;
          page_tree::Path fresh;
          ASSERT_TRUE(page_tree::PathTo(t.other.root, rank + 1, &fresh));
          ASSERT_EQ(path.depth, fresh.depth) << where;
          for (int d = 0; d < fresh.depth; ++d) {
            ASSERT_EQ(path.node[d], fresh.node[d]) << where << " depth " << d;
            ASSERT_EQ(path.right[d], fresh.right[d]) << where << " depth " << d;
            ASSERT_EQ(path.off[d], fresh.off[d]) << where << " depth " << d;
          }
        }
      }
    }
  }
}

// Placing a node by its position gives the very tree a compared insertion
// gives, anywhere in the page and on trees of every shape; positions and
// ranks answer the model's.
TEST(PageTreeTest, InsertAtRankGivesTheTreeOfAComparedInsertion) {
  std::mt19937 rng(8);
  Tree compared, placed;
  std::set<std::string> keys;
  for (int i = 0; i < 600; ++i) {
    std::string k = std::to_string(100000 + rng() % 800000);
    if (keys.count(k)) {
      if (rng() % 3 == 0) {
        compared.Del(k);
        placed.Del(k);
        keys.erase(k);
      }
      continue;
    }
    const uint32_t rank = uint32_t(std::distance(keys.begin(), keys.lower_bound(k)));
    ASSERT_EQ(page_tree::RankOf(placed.root, k), rank);
    compared.Add(k);
    page_tree::InsertAtRank(placed.root, NodeOf(k), rank);
    keys.insert(k);
    ASSERT_EQ(Shape(placed.root), Shape(compared.root)) << i;
  }
  EXPECT_TRUE(page_tree::Check(placed.root));
  uint32_t r = 0;
  for (const std::string& k : keys) {
    PageNode* n = page_tree::AtRank(placed.root, r);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->key(), k);
    EXPECT_EQ(page_tree::RankOf(placed.root, k), r);
    ++r;
  }
  EXPECT_EQ(page_tree::AtRank(placed.root, r), nullptr);
}

}  // namespace
}  // namespace kel
