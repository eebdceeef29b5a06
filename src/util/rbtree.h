// An ordered container of opaque item pointers: a red-black tree whose nodes
// carry no parent pointer. An operation that changes the tree records the way
// down on a path array of its own stack frame, and rebalancing climbs back up
// it; the tree itself holds no scratch, so operations on different trees never
// share state.
//
// The tree stores the pointers it is given and never copies, inspects or
// releases items. The comparison and visit functions must not change the tree
// they are called from.
#pragma once

#include <cstddef>
#include <cstdint>

#include "util/fsa.h"

namespace zorv {

// Receives the key (or the item being inserted) first and a stored item
// second; only the sign of the result counts (negative: key orders first).
// Must be antisymmetric and transitive over all items that meet in a tree.
using RbCompare = std::int32_t (*)(const void* key, const void* stored);
// Receives each item and the context the walk's caller passed.
using RbVisit = void (*)(void* item, void* ctx);

// For trees ordered by an unsigned 32-bit number of the item (a CRC-32):
// the number is kept in each node, so a search compares without reading
// the items at all. Must return the same number for equal items.
using RbKey = std::uint32_t (*)(const void* item);

// Deep enough for any tree that fits in the address space: a red-black tree
// of n nodes is at most 2*log2(n+1) high, and n < 2^(pointer bits).
constexpr int RB_PATH_MAX = 2 * 8 * static_cast<int>(sizeof(void*));

struct RbNode {
  void* item;
  RbNode* left;         // items ordering before `item`
  RbNode* right;        // items ordering after `item`
  std::int32_t colour;  // RB_RED or RB_BLACK
  std::uint32_t key;    // keyed trees: the item's key (fills what would be padding)
};

constexpr std::int32_t RB_RED = 0;
constexpr std::int32_t RB_BLACK = 1;

struct RbTree {
  RbNode* root;  // null when empty; start rbtree_walk here
  std::int32_t count;
  RbCompare compare;    // null in a keyed tree
  RbKey key;            // null in a tree ordered by `compare`
  FsaPool* nodes;       // every node comes from here: no per-node heap overhead
};

// A new empty tree, or null when memory is short; then *failure (when
// given) says why its node pool could not be made (FsaFault::None: the
// tree's own record). Nothing is written.
RbTree* rbtree_alloc(RbCompare compare, FsaFailure* failure = nullptr);

// A new empty tree ordered by ascending unsigned key(item): the same shapes
// and colours as a tree whose comparison orders items that way, built faster.
RbTree* rbtree_alloc_keyed(RbKey key, FsaFailure* failure = nullptr);

// The line a caller says when rbtree_insert found no memory for a node (no
// program prefix, no newline).
constexpr const char* RB_NO_MEMORY_TEXT = "rbtree_insert: no memory for node";

// Insert-or-find: null when `item` was added; otherwise the stored item that
// compares equal, and the tree is unchanged. When no node can be allocated
// the tree is unchanged too, the result is null and *no_memory is set
// (left alone otherwise); nothing is written. Only a caller that cannot run
// out of memory (a test) passes no `no_memory`: it then aborts.
void* rbtree_insert(RbTree* tree, void* item, bool* no_memory = nullptr);

// The stored item equal to `key`, or null.
void* rbtree_find(const RbTree* tree, const void* key);

// The stored item that orders first, or null when the tree is empty.
void* rbtree_first(const RbTree* tree);

// Keyed trees only (any other aborts): brings into cache, for each of the n keys, the nodes a
// search for it visits. Many searches go down side by side, one level per round, so their cache
// misses overlap instead of following one another; inserts and finds of the same keys then run from
// cache. Changes nothing. When `found` is not null, found[i] is the stored item with key keys[i],
// or null.
void rbtree_prefetch(const RbTree* tree, const std::uint32_t* keys, std::size_t n, void** found);

// Removes the item equal to `key` and returns the stored item (not the key);
// null when there is none.
void* rbtree_delete(RbTree* tree, const void* key);

// Removes and returns the item that orders first; null when empty.
void* rbtree_deletemin(RbTree* tree);

// Pre-order from the root: visits a node's item, then its left subtree, then
// its right. This is not ascending order. `visit` gets `ctx` with every item
// and may release the item it is given.
void rbtree_walk(const RbTree* tree, RbVisit visit, void* ctx);

// In ascending order of the items. `visit` gets `ctx` with every item and
// may release the item it is given.
void rbtree_walk_ascending(const RbTree* tree, RbVisit visit, void* ctx);

// Releases every node (all at once, with the node pool) and the tree; items
// are not touched, so they may have been released already.
void rbtree_free(RbTree* tree);

}  // namespace zorv
