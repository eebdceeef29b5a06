#include "util/rbtree.h"

#include <cstdio>
#include <cstdlib>

namespace zorv {

namespace {

// Big trees miss the cache at every level: start loading both children
// while the comparison waits for this node's item.
inline void prefetch_children(const RbNode* node) {
  __builtin_prefetch(node->left);
  __builtin_prefetch(node->right);
}

// node->left when `left`, else node->right, chosen by masking rather than
// by a branch: in a search for random keys the way down is a coin toss at
// every level, which a branch predictor loses half the time.
inline RbNode* child_toward(const RbNode* node, bool left) {
  auto l = reinterpret_cast<std::uintptr_t>(node->left);
  auto r = reinterpret_cast<std::uintptr_t>(node->right);
  std::uintptr_t mask = -static_cast<std::uintptr_t>(left);
  return reinterpret_cast<RbNode*>((l & mask) | (r & ~mask));
}

// The key of `item` in a keyed tree; unused (0) in a compared one.
inline std::uint32_t key_of(const RbTree* tree, const void* item) {
  return tree->key != nullptr ? tree->key(item) : 0;
}

// Where `item` (with key `k`) orders against `node`: only the sign counts.
inline std::int32_t order(const RbTree* tree, std::uint32_t k, const void* item,
                          const RbNode* node) {
  if (tree->key != nullptr) return (k > node->key) - (k < node->key);
  return tree->compare(item, node->item);
}

bool is_red(const RbNode* node) {
  return node != nullptr && node->colour == RB_RED;
}

RbNode* sibling_of(const RbNode* parent, const RbNode* child) {
  return parent->left == child ? parent->right : parent->left;
}

// The way down of one operation: stack[i] is the node at depth i.
using Path = RbNode* [RB_PATH_MAX];

// Puts `top` where `old` was: as the root when `old` sits at depth 0, else
// in the child field of its parent (path entry depth - 1) that held `old`.
void replace_child(RbTree* tree, RbNode** stack, int depth, const RbNode* old, RbNode* top) {
  if (depth == 0) {
    tree->root = top;
    return;
  }
  RbNode* parent = stack[depth - 1];
  if (parent->left == old) {
    parent->left = top;
  } else {
    parent->right = top;
  }
}

// p is a child of g (at path depth k), x a child of p. The one of the three
// that orders between the other two becomes the top of the subtree, in g's
// place. Colours are the caller's business.
RbNode* rbtree_rotate(RbTree* tree, RbNode** stack, int k, RbNode* g, RbNode* p, RbNode* x) {
  RbNode* top;
  if (p == g->left) {
    if (x == p->left) {
      g->left = p->right;
      p->right = g;
      top = p;
    } else {
      p->right = x->left;
      g->left = x->right;
      x->left = p;
      x->right = g;
      top = x;
    }
  } else if (x == p->left) {
    g->right = x->left;
    p->left = x->right;
    x->left = g;
    x->right = p;
    top = x;
  } else {
    g->right = p->left;
    p->left = g;
    top = p;
  }
  replace_child(tree, stack, k, g, top);
  return top;
}

// A red child of `node` to restructure around, the left one first whichever
// side `node` is on; null when both are black or missing.
RbNode* red_child(const RbNode* node) {
  if (is_red(node->left)) return node->left;
  if (is_red(node->right)) return node->right;
  return nullptr;
}

// Restores the invariants after a new red node at path depth `depth`.
void insert_fixup(RbTree* tree, RbNode** stack, int depth) {
  for (;;) {
    RbNode* x = stack[depth];
    RbNode* p = stack[depth - 1];
    if (p->colour == RB_BLACK) return;  // also ends at the root, always black
    RbNode* g = stack[depth - 2];
    RbNode* u = sibling_of(g, p);
    if (!is_red(u)) {
      RbNode* top = rbtree_rotate(tree, stack, depth - 2, g, p, x);
      top->colour = RB_BLACK;
      top->left->colour = RB_RED;
      top->right->colour = RB_RED;
      return;
    }
    p->colour = RB_BLACK;
    u->colour = RB_BLACK;
    if (depth - 2 == 0) return;  // g is the root and stays black
    g->colour = RB_RED;
    depth -= 2;
  }
}

// After a black node was unlinked: x (possibly null) took its place under p
// (at path depth pd; null p when the root went), w is x's sibling.
void delete_fixup(RbTree* tree, RbNode** stack, RbNode* x, RbNode* p, RbNode* w, int pd) {
  if (is_red(x)) {
    x->colour = RB_BLACK;
    return;
  }
  if (p == nullptr) return;
  while (!is_red(w)) {
    RbNode* pivot = red_child(w);
    if (pivot != nullptr) {
      std::int32_t colour = p->colour;
      RbNode* top = rbtree_rotate(tree, stack, pd, p, w, pivot);
      top->colour = colour;
      top->left->colour = RB_BLACK;
      top->right->colour = RB_BLACK;
      return;
    }
    w->colour = RB_RED;
    if (p->colour == RB_RED) {
      p->colour = RB_BLACK;
      return;
    }
    if (pd == 0) return;
    x = p;
    p = stack[--pd];
    w = sibling_of(p, x);
  }
  // w is red: turn it into p's parent, leaving x a black sibling s.
  bool x_on_left = (w == p->right);
  RbNode* s = x_on_left ? w->left : w->right;
  rbtree_rotate(tree, stack, pd, p, w, x_on_left ? w->right : w->left);
  w->colour = RB_BLACK;
  p->colour = RB_RED;
  stack[pd] = w;
  stack[++pd] = p;
  RbNode* pivot = red_child(s);
  if (pivot != nullptr) {
    RbNode* top = rbtree_rotate(tree, stack, pd, p, s, pivot);
    top->colour = RB_RED;
    top->left->colour = RB_BLACK;
    top->right->colour = RB_BLACK;
  } else {
    s->colour = RB_RED;
    p->colour = RB_BLACK;
  }
}

// Unlinks and releases the node at path depth zd (its ancestors are on the
// path) and returns its item.
void* remove_at(RbTree* tree, RbNode** stack, int zd) {
  RbNode* z = stack[zd];
  RbNode* x;
  RbNode* p;
  RbNode* w;
  int pd;
  std::int32_t removed;
  if (z->left == nullptr || z->right == nullptr) {
    x = z->left != nullptr ? z->left : z->right;
    replace_child(tree, stack, zd, z, x);
    removed = z->colour;
    pd = zd - 1;
    p = zd > 0 ? stack[pd] : nullptr;
    w = p != nullptr ? sibling_of(p, x) : nullptr;
  } else {
    // Both children: the in-order successor y takes z's place and colour.
    int yd = zd + 1;
    RbNode* y = z->right;
    stack[yd] = y;
    while (y->left != nullptr) {
      y = y->left;
      stack[++yd] = y;
    }
    x = y->right;
    if (yd == zd + 1) {
      p = y;
      pd = zd;
      w = z->left;
    } else {
      pd = yd - 1;
      p = stack[pd];
      p->left = x;
      w = p->right;
      y->right = z->right;
    }
    y->left = z->left;
    replace_child(tree, stack, zd, z, y);
    stack[zd] = y;
    removed = y->colour;
    y->colour = z->colour;
  }
  void* item = z->item;
  fsa_free(tree->nodes, z);
  --tree->count;
  if (removed == RB_BLACK) delete_fixup(tree, stack, x, p, w, pd);
  return item;
}

}  // namespace

namespace {

RbTree* alloc_tree(RbCompare compare, RbKey key, FsaFailure* failure) {
  if (failure != nullptr) failure->fault = FsaFault::None;
  auto* tree = static_cast<RbTree*>(std::malloc(sizeof(RbTree)));
  if (tree == nullptr) return nullptr;
  tree->root = nullptr;
  tree->compare = compare;
  tree->key = key;
  tree->nodes = fsa_init(sizeof(RbNode), 1024, failure);
  if (tree->nodes == nullptr) {
    std::free(tree);
    return nullptr;
  }
  tree->count = 0;
  return tree;
}

}  // namespace

RbTree* rbtree_alloc(RbCompare compare, FsaFailure* failure) {
  return alloc_tree(compare, nullptr, failure);
}

RbTree* rbtree_alloc_keyed(RbKey key, FsaFailure* failure) {
  return alloc_tree(nullptr, key, failure);
}

void* rbtree_insert(RbTree* tree, void* item, bool* no_memory) {
  Path stack;
  int depth = 0;
  std::int32_t side = 0;
  std::uint32_t k = key_of(tree, item);
  if (tree->key != nullptr) {
    // Keyed: which way to go is a coin toss the branch predictor loses half
    // the time, so the descent selects the child without branching on it.
    for (RbNode* node = tree->root; node != nullptr;) {
      stack[depth++] = node;
      if (k == node->key) return node->item;
      bool left = k < node->key;
      side = left ? -1 : 1;
      node = child_toward(node, left);
    }
  } else {
    for (RbNode* node = tree->root; node != nullptr; node = side < 0 ? node->left : node->right) {
      stack[depth++] = node;
      prefetch_children(node);
      side = order(tree, k, item, node);
      if (side == 0) return node->item;
    }
  }
  auto* node = static_cast<RbNode*>(fsa_alloc(tree->nodes));
  if (node == nullptr) {
    // A caller that cannot take the failure has broken the contract.
    if (no_memory == nullptr) std::abort();
    *no_memory = true;
    return nullptr;
  }
  node->item = item;
  node->key = k;
  node->left = nullptr;
  node->right = nullptr;
  ++tree->count;
  if (depth == 0) {
    node->colour = RB_BLACK;
    tree->root = node;
    return nullptr;
  }
  node->colour = RB_RED;
  RbNode* parent = stack[depth - 1];
  if (side < 0) {
    parent->left = node;
  } else {
    parent->right = node;
  }
  stack[depth] = node;
  insert_fixup(tree, stack, depth);
  return nullptr;
}

void* rbtree_find(const RbTree* tree, const void* key) {
  const RbNode* node = tree->root;
  std::uint32_t k = key_of(tree, key);
  while (node != nullptr) {
    std::int32_t side = order(tree, k, key, node);
    if (side == 0) return node->item;
    node = side < 0 ? node->left : node->right;
  }
  return nullptr;
}

void rbtree_prefetch(const RbTree* tree, const std::uint32_t* keys, std::size_t n, void** found) {
  // What it finds is trusted as the stored item: in a compared tree every
  // node's key is 0, and the answers would be wrong.
  if (tree->key == nullptr) {
    std::fputs("rbtree_prefetch: the tree is not keyed\n", stderr);
    std::abort();
  }
  constexpr std::size_t LANES = 16;  // searches in flight at once
  for (std::size_t base = 0; base < n; base += LANES) {
    std::size_t lanes = n - base < LANES ? n - base : LANES;
    const RbNode* at[LANES];
    for (std::size_t i = 0; i < lanes; ++i) {
      at[i] = tree->root;
      if (found != nullptr) found[base + i] = nullptr;
    }
    for (bool moving = true; moving;) {
      moving = false;
      for (std::size_t i = 0; i < lanes; ++i) {
        const RbNode* node = at[i];
        if (node == nullptr) continue;
        std::uint32_t k = keys[base + i];
        if (k == node->key) {
          if (found != nullptr) found[base + i] = node->item;
          at[i] = nullptr;
          continue;
        }
        const RbNode* next = child_toward(node, k < node->key);
        __builtin_prefetch(next);
        at[i] = next;
        moving = moving || next != nullptr;
      }
    }
  }
}

void* rbtree_first(const RbTree* tree) {
  const RbNode* node = tree->root;
  if (node == nullptr) return nullptr;
  while (node->left != nullptr)
    node = node->left;
  return node->item;
}

void* rbtree_delete(RbTree* tree, const void* key) {
  Path stack;
  int depth = 0;
  std::uint32_t k = key_of(tree, key);
  for (RbNode* node = tree->root; node != nullptr; ++depth) {
    stack[depth] = node;
    std::int32_t side = order(tree, k, key, node);
    if (side == 0) return remove_at(tree, stack, depth);
    node = side < 0 ? node->left : node->right;
  }
  return nullptr;
}

void* rbtree_deletemin(RbTree* tree) {
  RbNode* node = tree->root;
  if (node == nullptr) return nullptr;
  Path stack;
  int depth = 0;
  stack[0] = node;
  while (node->left != nullptr) {
    node = node->left;
    stack[++depth] = node;
  }
  return remove_at(tree, stack, depth);
}

namespace {

void walk_from(const RbNode* node, RbVisit visit, void* ctx) {
  if (node == nullptr) return;
  prefetch_children(node);
  visit(node->item, ctx);
  walk_from(node->left, visit, ctx);
  walk_from(node->right, visit, ctx);
}

}  // namespace

void rbtree_walk(const RbTree* tree, RbVisit visit, void* ctx) {
  walk_from(tree->root, visit, ctx);
}

void rbtree_walk_ascending(const RbTree* tree, RbVisit visit, void* ctx) {
  // The left spine down from each node lies on a stack no deeper than the
  // tree is high.
  const RbNode* stack[RB_PATH_MAX];
  int depth = 0;
  for (const RbNode* node = tree->root; node != nullptr || depth > 0;) {
    while (node != nullptr) {
      stack[depth++] = node;
      node = node->left;
    }
    node = stack[--depth];
    const RbNode* right = node->right;  // read first: visit may release the item, not the node
    visit(node->item, ctx);
    node = right;
  }
}

void rbtree_free(RbTree* tree) {
  fsa_exit(tree->nodes);
  std::free(tree);
}

}  // namespace zorv
