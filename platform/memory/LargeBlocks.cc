#include "platform/memory/LargeBlocks.h"

#include <malloc.h>

namespace zorva {

namespace {

// glibc's own starting value: what the allocator does before its first adjustment, kept.
constexpr int kLargeBlockBytes = 128 * 1024;

}  // namespace

bool returnLargeBlocksOnFree() {
  // Setting either threshold turns the adjustment of both off.
  return mallopt(M_MMAP_THRESHOLD, kLargeBlockBytes) == 1 &&
         mallopt(M_TRIM_THRESHOLD, kLargeBlockBytes) == 1;
}

}  // namespace zorva
