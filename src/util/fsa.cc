#include "util/fsa.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/bigalloc.h"

namespace zorv {

namespace {

// Links live in the items' first word; memcpy keeps this free of alignment
// and aliasing assumptions about what the caller stored there.
void* link_of(const void* item) {
  void* next;
  std::memcpy(&next, item, sizeof next);
  return next;
}

void set_link(void* item, void* next) {
  std::memcpy(item, &next, sizeof next);
}

}  // namespace

FsaPool* fsa_init(std::uint32_t item_size, std::uint32_t items_per_block, FsaFailure* failure) {
  FsaFailure why{FsaFault::None, item_size, items_per_block, 0};
  auto fail = [&](FsaFault fault) -> FsaPool* {
    why.fault = fault;
    if (failure != nullptr) *failure = why;
    return nullptr;
  };
  constexpr std::uint64_t align = alignof(void*);
  std::uint64_t size = item_size < FSA_MIN_ITEM ? FSA_MIN_ITEM : item_size;
  size = (size + align - 1) / align * align;
  std::uint64_t block = size * items_per_block;
  auto* pool = static_cast<FsaPool*>(std::malloc(sizeof(FsaPool)));
  if (pool == nullptr) return fail(FsaFault::ControlBlock);
  if (items_per_block == 0 || block > UINT32_MAX) {
    std::free(pool);
    return fail(FsaFault::Geometry);
  }
  pool->item_size = static_cast<std::uint32_t>(size);
  pool->blocks = nullptr;
  pool->free_list = nullptr;
  pool->bytes = 0;
  pool->block_size = static_cast<std::uint32_t>(block);
  pool->items_per_block = items_per_block;
  if (fsa_grow(pool, pool->block_size) != 0) {
    why.block_size = pool->block_size;
    std::free(pool);
    return fail(FsaFault::FirstBlock);
  }
  if (failure != nullptr) *failure = why;
  return pool;
}

const char* fsa_failure_text(const FsaFailure& f, char* buf, std::size_t cap) {
  switch (f.fault) {
    case FsaFault::ControlBlock:
      std::snprintf(buf, cap, "fsa_init: unable to allocate fsa control block");
      break;
    case FsaFault::Geometry:
      std::snprintf(buf, cap, "fsa_init: unusable pool of %u items of %u bytes", f.items_per_block,
                    f.item_size);
      break;
    case FsaFault::FirstBlock:
      std::snprintf(buf, cap, "fsa_init: unable to allocate %u bytes", f.block_size);
      break;
    case FsaFault::None:
      std::snprintf(buf, cap, "fsa_init: no failure");
      break;
  }
  return buf;
}

int fsa_grow(FsaPool* pool, std::uint32_t size) {
  auto* memory = static_cast<unsigned char*>(big_alloc(size));
  auto* block = static_cast<FsaBlock*>(std::malloc(sizeof(FsaBlock)));
  if (memory == nullptr || block == nullptr) {
    std::free(memory);
    std::free(block);
    return 1;
  }
  block->memory = memory;
  block->next_block = pool->blocks;
  pool->blocks = block;
  pool->bytes += size;

  // Fresh items go out in ascending address order.
  unsigned char* item = memory;
  unsigned char* end = memory + size;
  while (end - item >= 2 * static_cast<std::ptrdiff_t>(pool->item_size)) {
    set_link(item, item + pool->item_size);
    item += pool->item_size;
  }
  set_link(item, nullptr);
  pool->free_list = memory;
  return 0;
}

void* fsa_alloc(FsaPool* pool) {
  if (pool->free_list == nullptr) {
    std::uint32_t size = pool->block_size;
    if (pool->bytes >= FSA_BIG_POOL && size < FSA_BIG_BLOCK) {
      size = FSA_BIG_BLOCK / pool->item_size * pool->item_size;
    }
    if (fsa_grow(pool, size) != 0) return nullptr;
  }
  void* item = pool->free_list;
  pool->free_list = link_of(item);
  return item;
}

void fsa_free(FsaPool* pool, void* item) {
  set_link(item, pool->free_list);
  pool->free_list = item;
}

void fsa_exit(FsaPool* pool) {
  if (pool == nullptr) return;
  FsaBlock* block = pool->blocks;
  while (block != nullptr) {
    FsaBlock* older = block->next_block;
    std::free(block->memory);
    std::free(block);
    block = older;
  }
  std::free(pool);
}

}  // namespace zorv
