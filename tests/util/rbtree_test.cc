#include "util/rbtree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <vector>

#include "support/files.h"

namespace zorv {
namespace {

std::int32_t int_compare(const void* key, const void* stored) {
  int a = *static_cast<const int*>(key);
  int b = *static_cast<const int*>(stored);
  return (a > b) - (a < b);
}

// Only the sign counts: "less" is the most negative int.
std::int32_t extreme_compare(const void* key, const void* stored) {
  int a = *static_cast<const int*>(key);
  int b = *static_cast<const int*>(stored);
  return a < b ? INT32_MIN : a > b ? INT32_MAX : 0;
}

// Keys of a keyed tree: the ints are never negative here.
std::uint32_t int_key(const void* item) {
  return static_cast<std::uint32_t>(*static_cast<const int*>(item));
}

RbTree* make_tree(bool keyed) {
  return keyed ? rbtree_alloc_keyed(int_key) : rbtree_alloc(int_compare);
}

// Checks every invariant below `node`; returns its black height.
int check_subtree(const RbNode* node, const int* low, const int* high, int* nodes, bool keyed) {
  if (node == nullptr) return 1;
  ++*nodes;
  int value = *static_cast<const int*>(node->item);
  if (low != nullptr) {
    EXPECT_LT(*low, value);
  }
  if (high != nullptr) {
    EXPECT_LT(value, *high);
  }
  EXPECT_TRUE(node->colour == RB_RED || node->colour == RB_BLACK);
  if (keyed) {
    EXPECT_EQ(node->key, static_cast<std::uint32_t>(value)) << "a keyed tree keeps the item's key";
  }
  if (node->colour == RB_RED) {
    EXPECT_FALSE(node->left != nullptr && node->left->colour == RB_RED) << "red-red at " << value;
    EXPECT_FALSE(node->right != nullptr && node->right->colour == RB_RED) << "red-red at " << value;
  }
  int lh = check_subtree(node->left, low, static_cast<const int*>(node->item), nodes, keyed);
  int rh = check_subtree(node->right, static_cast<const int*>(node->item), high, nodes, keyed);
  EXPECT_EQ(lh, rh) << "black heights differ below " << value;
  return lh + (node->colour == RB_BLACK ? 1 : 0);
}

void check_tree(const RbTree* tree) {
  if (tree->root != nullptr) {
    EXPECT_EQ(tree->root->colour, RB_BLACK);
  }
  int nodes = 0;
  check_subtree(tree->root, nullptr, nullptr, &nodes, tree->key != nullptr);
  EXPECT_EQ(tree->count, nodes);
}

void collect_int(void* item, void* ctx) {
  static_cast<std::vector<int>*>(ctx)->push_back(*static_cast<int*>(item));
}

std::vector<int> walk_order(const RbTree* tree) {
  std::vector<int> order;
  rbtree_walk(tree, collect_int, &order);
  return order;
}

// Values 0..N kept at stable addresses for the tests that insert them.
class RbTreeTest : public testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 64; ++i)
      values_[i] = i;
    tree_ = rbtree_alloc(int_compare);
    ASSERT_NE(tree_, nullptr);
  }
  void TearDown() override { rbtree_free(tree_); }
  void insert_all(std::initializer_list<int> keys) {
    for (int k : keys)
      EXPECT_EQ(rbtree_insert(tree_, &values_[k]), nullptr);
    check_tree(tree_);
  }
  int values_[64];
  RbTree* tree_ = nullptr;
};

TEST_F(RbTreeTest, FirstInsertMakesBlackRoot) {
  EXPECT_EQ(rbtree_insert(tree_, &values_[7]), nullptr);
  EXPECT_EQ(tree_->count, 1);
  ASSERT_NE(tree_->root, nullptr);
  EXPECT_EQ(tree_->root->colour, RB_BLACK);
}

TEST_F(RbTreeTest, ThreeItemsInAnyOrderGiveTheSameShape) {
  int orders[6][3] = {{1, 2, 3}, {1, 3, 2}, {2, 1, 3}, {2, 3, 1}, {3, 1, 2}, {3, 2, 1}};
  for (auto& order : orders) {
    RbTree* tree = rbtree_alloc(int_compare);
    for (int k : order)
      rbtree_insert(tree, &values_[k]);
    EXPECT_EQ(walk_order(tree), (std::vector<int>{2, 1, 3}));
    EXPECT_EQ(tree->root->colour, RB_BLACK);
    EXPECT_EQ(tree->root->left->colour, RB_RED);
    EXPECT_EQ(tree->root->right->colour, RB_RED);
    rbtree_free(tree);
  }
}

TEST_F(RbTreeTest, InsertionShapes) {
  insert_all({1, 2, 3, 4, 5});
  EXPECT_EQ(walk_order(tree_), (std::vector<int>{2, 1, 4, 3, 5}));

  RbTree* down = rbtree_alloc(int_compare);
  for (int k : {5, 4, 3, 2, 1})
    rbtree_insert(down, &values_[k]);
  EXPECT_EQ(walk_order(down), (std::vector<int>{4, 2, 1, 3, 5}));
  rbtree_free(down);

  RbTree* ten = rbtree_alloc(int_compare);
  for (int k = 1; k <= 10; ++k)
    rbtree_insert(ten, &values_[k]);
  check_tree(ten);
  EXPECT_EQ(walk_order(ten), (std::vector<int>{4, 2, 1, 3, 6, 5, 8, 7, 9, 10}));
  rbtree_free(ten);
}

TEST_F(RbTreeTest, InsertingAnEqualItemReturnsTheStoredOneAndChangesNothing) {
  insert_all({2, 1, 4, 3, 5});
  int twin = 4;
  EXPECT_EQ(rbtree_insert(tree_, &twin), &values_[4]);
  EXPECT_EQ(tree_->count, 5);
  EXPECT_EQ(walk_order(tree_), (std::vector<int>{2, 1, 4, 3, 5}));
  check_tree(tree_);
}

TEST_F(RbTreeTest, DeleteWithDoubleRotation) {
  insert_all({2, 1, 4, 3, 5});
  int key = 1;
  EXPECT_EQ(rbtree_delete(tree_, &key), &values_[1]);
  check_tree(tree_);
  EXPECT_EQ(walk_order(tree_), (std::vector<int>{3, 2, 4, 5}));
}

TEST_F(RbTreeTest, DeleteminSameAsDeletingTheFirst) {
  insert_all({2, 1, 4, 3, 5});
  EXPECT_EQ(rbtree_deletemin(tree_), &values_[1]);
  check_tree(tree_);
  EXPECT_EQ(walk_order(tree_), (std::vector<int>{3, 2, 4, 5}));
}

TEST_F(RbTreeTest, DeleteWithSingleRotation) {
  insert_all({4, 5, 2, 1, 3});
  int key = 5;
  EXPECT_EQ(rbtree_delete(tree_, &key), &values_[5]);
  check_tree(tree_);
  EXPECT_EQ(walk_order(tree_), (std::vector<int>{2, 1, 4, 3}));
}

TEST_F(RbTreeTest, DeleteNodeWithTwoChildrenPromotesSuccessor) {
  insert_all({2, 1, 4, 3, 5});
  int key = 2;
  EXPECT_EQ(rbtree_delete(tree_, &key), &values_[2]);
  check_tree(tree_);
  EXPECT_EQ(walk_order(tree_), (std::vector<int>{3, 1, 4, 5}));
  EXPECT_EQ(tree_->root->colour, RB_BLACK);
}

TEST_F(RbTreeTest, EmptyTreeOperationsReturnNull) {
  int key = 3;
  EXPECT_EQ(rbtree_find(tree_, &key), nullptr);
  EXPECT_EQ(rbtree_first(tree_), nullptr);
  EXPECT_EQ(rbtree_delete(tree_, &key), nullptr);
  EXPECT_EQ(rbtree_deletemin(tree_), nullptr);
  EXPECT_TRUE(walk_order(tree_).empty());
  insert_all({1, 2});
  EXPECT_EQ(rbtree_delete(tree_, &key), nullptr);
  EXPECT_EQ(tree_->count, 2);
}

TEST_F(RbTreeTest, MostNegativeComparisonCountsAsNegative) {
  RbTree* tree = rbtree_alloc(extreme_compare);
  std::vector<int> keys(60);
  for (int i = 0; i < 60; ++i)
    keys[i] = (i * 37) % 60;
  for (int& k : keys)
    EXPECT_EQ(rbtree_insert(tree, &values_[k]), nullptr);
  check_tree(tree);
  EXPECT_EQ(*static_cast<int*>(rbtree_first(tree)), 0);
  for (int k = 0; k < 60; ++k)
    EXPECT_EQ(rbtree_find(tree, &values_[k]), &values_[k]);
  for (int k = 0; k < 60; k += 2)
    EXPECT_EQ(rbtree_delete(tree, &values_[k]), &values_[k]);
  check_tree(tree);
  rbtree_free(tree);
}

// Items released before the tree: freeing it must touch only its own nodes
// (the sanitizer build and valgrind catch any read of a released item).
TEST(RbTreeFree, ItemsReleasedBeforeTheTree) {
  RbTree* tree = rbtree_alloc(int_compare);
  std::vector<int*> items;
  for (int i = 0; i < 500; ++i) {
    items.push_back(new int((i * 7919) % 1000));
    rbtree_insert(tree, items.back());
  }
  rbtree_walk(tree, [](void* item, void*) { delete static_cast<int*>(item); }, nullptr);
  rbtree_free(tree);
}

// Random operations against a std::set model; every invariant is checked
// after every step.
class RbTreeProperty : public testing::TestWithParam<bool> {};

TEST_P(RbTreeProperty, RandomOperationsMatchModel) {
  std::mt19937 rng(20261207);
  constexpr int kSequences = 150;
  constexpr int kSteps = 800;
  long operations = 0;
  for (int seq = 0; seq < kSequences; ++seq) {
    int range = 8 << (seq % 8);  // small ranges force repeats and deletes of present keys
    std::vector<std::unique_ptr<int>> owned;
    std::set<int> model;
    std::map<int, int*> stored;
    RbTree* tree = make_tree(GetParam());
    for (int step = 0; step < kSteps; ++step, ++operations) {
      int key = static_cast<int>(rng() % static_cast<unsigned>(range));
      int op = static_cast<int>(rng() % 10);
      if (op < 5) {
        owned.push_back(std::make_unique<int>(key));
        void* found = rbtree_insert(tree, owned.back().get());
        if (model.count(key) != 0) {
          ASSERT_EQ(found, stored[key]) << "insert-or-find must return the stored item";
        } else {
          ASSERT_EQ(found, nullptr);
          model.insert(key);
          stored[key] = owned.back().get();
        }
      } else if (op < 7) {
        void* removed = rbtree_delete(tree, &key);
        if (model.erase(key) != 0) {
          ASSERT_EQ(removed, stored[key]);
          stored.erase(key);
        } else {
          ASSERT_EQ(removed, nullptr);
        }
      } else if (op == 7) {
        void* removed = rbtree_deletemin(tree);
        if (model.empty()) {
          ASSERT_EQ(removed, nullptr);
        } else {
          ASSERT_EQ(removed, stored[*model.begin()]);
          stored.erase(*model.begin());
          model.erase(model.begin());
        }
      } else if (op == 8) {
        void* found = rbtree_find(tree, &key);
        ASSERT_EQ(found, model.count(key) != 0 ? stored[key] : nullptr);
      } else {
        void* first = rbtree_first(tree);
        ASSERT_EQ(first, model.empty() ? nullptr : stored[*model.begin()]);
      }
      ASSERT_EQ(tree->count, static_cast<std::int32_t>(model.size()));
      check_tree(tree);
      if (HasFailure()) FAIL() << "sequence " << seq << " step " << step;
    }
    std::vector<int> walked = walk_order(tree);
    std::sort(walked.begin(), walked.end());
    EXPECT_TRUE(std::equal(walked.begin(), walked.end(), model.begin(), model.end()));
    // Ascending: the model's order itself, unsorted.
    std::vector<int> ascending;
    rbtree_walk_ascending(tree, collect_int, &ascending);
    EXPECT_TRUE(std::equal(ascending.begin(), ascending.end(), model.begin(), model.end()));
    rbtree_free(tree);
  }
  EXPECT_GE(operations, 100000);
}

INSTANTIATE_TEST_SUITE_P(CompareAndKeyed, RbTreeProperty, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "Keyed" : "Compared";
                         });

// Report order is a tree's pre-order: a keyed tree must build exactly the
// shapes and colours of a tree compared the same way, step by step.
TEST(RbTreeKeyed, SameShapesAsComparedTree) {
  std::mt19937 rng(99);
  std::vector<std::unique_ptr<int>> owned;
  RbTree* keyed = make_tree(true);
  RbTree* compared = make_tree(false);
  auto shape = [](const RbTree* tree) {
    std::vector<std::pair<int, int>> nodes;  // (value, colour) in pre-order
    for (int value : walk_order(tree))
      nodes.emplace_back(value, 0);
    // Colours in the same pre-order, from the nodes themselves.
    std::vector<const RbNode*> stack;
    if (tree->root != nullptr) stack.push_back(tree->root);
    std::size_t i = 0;
    while (!stack.empty()) {
      const RbNode* n = stack.back();
      stack.pop_back();
      nodes[i++].second = n->colour;
      if (n->right != nullptr) stack.push_back(n->right);
      if (n->left != nullptr) stack.push_back(n->left);
    }
    return nodes;
  };
  for (int step = 0; step < 20000; ++step) {
    int value = static_cast<int>(rng() % 3000);
    if (rng() % 3 != 0) {
      owned.push_back(std::make_unique<int>(value));
      rbtree_insert(keyed, owned.back().get());
      rbtree_insert(compared, owned.back().get());
    } else if (rng() % 2 == 0) {
      rbtree_delete(keyed, &value);
      rbtree_delete(compared, &value);
    } else {
      rbtree_deletemin(keyed);
      rbtree_deletemin(compared);
    }
    if (step % 97 == 0) {
      ASSERT_EQ(shape(keyed), shape(compared)) << "step " << step;
    }
  }
  check_tree(keyed);
  EXPECT_EQ(shape(keyed), shape(compared));
  EXPECT_EQ(keyed->count, compared->count);
  rbtree_free(keyed);
  rbtree_free(compared);
}

// Warming search paths changes nothing and gives the stored item of each key.
TEST(RbTreeKeyed, PrefetchFindsStoredItemsAndChangesNothing) {
  std::mt19937 rng(5);
  std::vector<int> values(4000);
  RbTree* tree = make_tree(true);
  for (int i = 0; i < 4000; ++i) {
    values[i] = i * 3;
    rbtree_insert(tree, &values[i]);
  }
  std::vector<int> before = walk_order(tree);
  std::vector<std::uint32_t> keys(1000);
  for (auto& k : keys)
    k = rng() % 13000;
  void* found[1000];
  rbtree_prefetch(tree, keys.data(), keys.size(), found);
  rbtree_prefetch(tree, keys.data(), 0, nullptr);
  for (std::size_t i = 0; i < keys.size(); ++i) {
    void* want = keys[i] % 3 == 0 && keys[i] < 12000 ? &values[keys[i] / 3] : nullptr;
    EXPECT_EQ(found[i], want) << keys[i];
  }
  EXPECT_EQ(before, walk_order(tree));
  check_tree(tree);
  rbtree_free(tree);
}

// Its answers are taken as stored items: on a tree without keys they would
// be wrong, so it refuses to run at all.
TEST(RbTreeDeath, PrefetchOnATreeWithoutKeysAborts) {
  RbTree* tree = make_tree(false);
  static int value = 7;
  rbtree_insert(tree, &value);
  std::uint32_t key = 0;
  void* found = nullptr;
  EXPECT_DEATH(rbtree_prefetch(tree, &key, 1, &found), "^rbtree_prefetch: the tree is not keyed\n");
  rbtree_free(tree);
}

// No node: the insert fails as a value and leaves the tree as it was.
TEST(RbTreeDeath, NodeAllocationFailureLeavesTreeUnchanged) {
  if (test::kSanitized) GTEST_SKIP() << "memory limits do not work under sanitizers";
  EXPECT_EXIT(
      {
        RbTree* tree = rbtree_alloc(int_compare);
        // Nodes come from a pool: use up its first block, then the heap.
        static int keys[1025];
        for (int i = 0; i < 1024; ++i) {
          keys[i] = i;
          rbtree_insert(tree, &keys[i]);
        }
        test::limit_memory(1 << 20);
        test::exhaust_heap(8);
        keys[1024] = 1024;
        bool no_memory = false;
        void* found = rbtree_insert(tree, &keys[1024], &no_memory);
        bool unchanged = tree->count == 1024 && rbtree_find(tree, &keys[1024]) == nullptr &&
                         rbtree_find(tree, &keys[1023]) == &keys[1023];
        std::exit(found == nullptr && no_memory && unchanged ? 3 : 0);
      },
      testing::ExitedWithCode(3), "^$");
}

}  // namespace
}  // namespace zorv
