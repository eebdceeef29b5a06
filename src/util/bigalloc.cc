#include "util/bigalloc.h"

#include <sys/mman.h>

#include <cstdlib>

namespace zorv {

void* big_alloc(std::size_t size) {
  if (size < BIG_PAGE / 2) return std::malloc(size);
  std::size_t rounded = (size + BIG_PAGE - 1) / BIG_PAGE * BIG_PAGE;
  void* memory = nullptr;
  if (posix_memalign(&memory, BIG_PAGE, rounded) != 0) return nullptr;
  // Only advice: where huge pages are unavailable this changes nothing.
  madvise(memory, rounded, MADV_HUGEPAGE);
  return memory;
}

}  // namespace zorv
