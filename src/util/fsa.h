// A pool of fixed-size items. Memory comes from the heap in blocks of a fixed
// number of items, threaded into a free list; items are then taken and given
// back in constant time, with no per-item header. Blocks are released only
// all together, by fsa_exit.
#pragma once

#include <cstdint>

namespace zorv {

struct FsaBlock {
  FsaBlock* next_block;  // the block added before this one
  void* memory;          // block_size bytes
};

struct FsaPool {
  std::uint32_t item_size;        // distance between neighbouring items
  std::uint32_t block_size;       // item_size * items_per_block
  std::uint32_t items_per_block;  // as requested
  void* free_list;                // first free item; each holds the next one's address
  FsaBlock* blocks;               // newest block first
  std::uint64_t bytes;            // in all blocks together
};

// A free item holds a pointer, so no item is smaller than one; sizes are
// rounded up to a pointer's alignment so that every link is aligned.
constexpr std::uint32_t FSA_MIN_ITEM = sizeof(void*);

// A pool that has grown to this many bytes in blocks of block_size is big:
// it grows on in blocks of about FSA_BIG_BLOCK bytes (huge pages where the
// system offers them), so millions of records cost few faults and blocks.
constexpr std::uint64_t FSA_BIG_POOL = std::uint64_t{256} << 10;
constexpr std::uint32_t FSA_BIG_BLOCK = std::uint32_t{2} << 20;

// A new pool already holding its first block. Null after a message on
// standard error (no program prefix) when memory is short, or when the
// geometry is unusable (no items per block, or a block of 4 GiB or more).
FsaPool* fsa_init(std::uint32_t item_size, std::uint32_t items_per_block);

// One item of item_size bytes, contents unspecified; null (no message) when
// the free list is empty and no block can be added. The pool stays usable.
// A new block holds items_per_block items until the pool is big (above).
void* fsa_alloc(FsaPool* pool);

// Gives an item of this pool back; it is the next one fsa_alloc returns.
void fsa_free(FsaPool* pool, void* item);

// Releases every block and the pool; every item becomes invalid. Null: no-op.
void fsa_exit(FsaPool* pool);

// Adds a block of `size` bytes and makes it the free list (only called when
// the free list is empty). 0 on success, 1 when memory is short (unchanged).
int fsa_grow(FsaPool* pool, std::uint32_t size);

}  // namespace zorv
