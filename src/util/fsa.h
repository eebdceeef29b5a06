// A pool of fixed-size items. Memory comes from the heap in blocks of a fixed
// number of items, threaded into a free list; items are then taken and given
// back in constant time, with no per-item header. Blocks are released only
// all together, by fsa_exit.
#pragma once

#include <cstddef>
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

// Why fsa_init returned null.
enum class FsaFault {
  None,          // it did not fail
  ControlBlock,  // no memory for the pool's record
  Geometry,      // no items per block, or a block of 4 GiB or more
  FirstBlock,    // no memory for the first block
};

struct FsaFailure {
  FsaFault fault;
  std::uint32_t item_size;        // as requested
  std::uint32_t items_per_block;  // as requested
  std::uint32_t block_size;       // FirstBlock: the bytes asked for
};

// A new pool already holding its first block. Null when memory is short or
// the geometry is unusable; then *failure (when given) says which. The pool
// writes nothing: its caller says fsa_failure_text where it chooses.
FsaPool* fsa_init(std::uint32_t item_size, std::uint32_t items_per_block,
                  FsaFailure* failure = nullptr);

// The pool's own line for a failure (no program prefix, no newline), e.g.
// "fsa_init: unable to allocate 65536 bytes", in `buf`; returns buf.
const char* fsa_failure_text(const FsaFailure& failure, char* buf, std::size_t cap);

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
