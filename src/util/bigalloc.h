// Large buffers backed by transparent huge pages where the system offers
// them (Linux, "madvise" mode or better). Touching memory for the first time
// costs a page fault per 4 KiB page; a 2 MiB page costs one fault and far
// fewer TLB misses when a big index is searched at random.
#pragma once

#include <cstddef>

namespace zorv {

constexpr std::size_t BIG_PAGE = std::size_t{2} << 20;

// `size` bytes, uninitialised, or null. Sizes of at least half a huge page
// are aligned to BIG_PAGE and advised to use huge pages; smaller ones are
// plain malloc. Release with std::free.
void* big_alloc(std::size_t size);

}  // namespace zorv
