// Insert-or-find into the red-black tree, the operation zorv runs once per
// central-directory entry (CRC32_Tree) and once per group member (DupeTree).
//
// Items are pointers into a pre-built array of 32-bit keys, compared the way
// zorv compares CRC-32s. One benchmark iteration fills a fresh tree with all
// the keys; only the inserts are timed (manual time), not building or
// releasing the tree. Reports items/s and the mean
// time of one insert (ns_per_insert).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <random>
#include <vector>

#include "util/rbtree.h"

namespace {

constexpr std::size_t KEY_COUNT = 1'000'000;

std::int32_t compare_key(const void* key, const void* stored) {
  std::uint32_t a = *static_cast<const std::uint32_t*>(key);
  std::uint32_t b = *static_cast<const std::uint32_t*>(stored);
  return (a > b) - (a < b);
}

// The keyed form zorv's CRC-32 indexes use: the key lives in the node.
std::uint32_t key_of(const void* item) {
  return *static_cast<const std::uint32_t*>(item);
}

// A bijection on 32-bit values that scatters consecutive inputs: distinct
// counters give distinct, random-looking keys, so the number of distinct
// keys is known exactly.
std::uint32_t scatter(std::uint32_t x) {
  x ^= x >> 16;
  x *= 0x7feb352du;
  x ^= x >> 15;
  x *= 0x846ca68bu;
  x ^= x >> 16;
  return x;
}

// All keys distinct, in random order.
std::vector<std::uint32_t> distinct_keys(std::size_t n) {
  std::vector<std::uint32_t> keys(n);
  for (std::size_t i = 0; i < n; ++i)
    keys[i] = scatter(static_cast<std::uint32_t>(i) + 0x9e3779b9u);
  return keys;
}

// Half the keys (chosen at random, never the first) repeat a key that
// appears earlier in the array; the other half are distinct from all others.
std::vector<std::uint32_t> half_repeated_keys(std::size_t n) {
  std::mt19937_64 rng(20240611);
  std::vector<bool> repeat(n, false);
  std::fill(repeat.begin() + 1, repeat.begin() + 1 + n / 2, true);
  std::shuffle(repeat.begin() + 1, repeat.end(), rng);
  std::vector<std::uint32_t> keys(n);
  std::uint32_t fresh = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (repeat[i]) {
      keys[i] = keys[std::uniform_int_distribution<std::size_t>(0, i - 1)(rng)];
    } else {
      keys[i] = scatter(fresh++ + 0x9e3779b9u);
    }
  }
  return keys;
}

void run_inserts(benchmark::State& state, std::vector<std::uint32_t>& keys, std::int32_t distinct,
                 bool keyed) {
  double insert_seconds = 0;
  for (auto _ : state) {
    zorv::RbTree* tree = keyed ? zorv::rbtree_alloc_keyed(key_of) : zorv::rbtree_alloc(compare_key);
    if (tree == nullptr) {
      state.SkipWithError("rbtree_alloc failed");
      break;
    }
    std::size_t found = 0;
    auto start = std::chrono::steady_clock::now();
    for (std::uint32_t& key : keys) {
      if (zorv::rbtree_insert(tree, &key) != nullptr) ++found;
    }
    benchmark::DoNotOptimize(found);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    state.SetIterationTime(took.count());
    insert_seconds += took.count();
    bool right =
        tree->count == distinct && found == keys.size() - static_cast<std::size_t>(distinct);
    zorv::rbtree_free(tree);
    if (!right) {
      state.SkipWithError("tree count or found count is not the expected one");
      break;
    }
  }
  auto inserts = static_cast<double>(state.iterations()) * static_cast<double>(keys.size());
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(keys.size()));
  state.counters["ns_per_insert"] = inserts > 0 ? insert_seconds * 1e9 / inserts : 0;
}

// state.range(0): 0 for a tree ordered by a comparison function, 1 for a
// keyed tree.
void BM_InsertDistinct(benchmark::State& state) {
  static std::vector<std::uint32_t> keys = distinct_keys(KEY_COUNT);
  run_inserts(state, keys, static_cast<std::int32_t>(KEY_COUNT), state.range(0) != 0);
}

void BM_InsertHalfRepeated(benchmark::State& state) {
  static std::vector<std::uint32_t> keys = half_repeated_keys(KEY_COUNT);
  run_inserts(state, keys, static_cast<std::int32_t>(KEY_COUNT - KEY_COUNT / 2),
              state.range(0) != 0);
}

}  // namespace

BENCHMARK(BM_InsertDistinct)
    ->Name("rbtree_insert/1M_distinct")
    ->ArgName("keyed")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->MinTime(3.0)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InsertHalfRepeated)
    ->Name("rbtree_insert/1M_half_repeated")
    ->ArgName("keyed")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->MinTime(3.0)
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
