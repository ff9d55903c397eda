#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/files/ContentComparator.h"

namespace zorva {

// Compares two files block by block with read() and memcmp, after checking their sizes. Memory
// stays at two blocks whatever the files' sizes.
//
// Not thread-safe: the two blocks are allocated once and reused by every call, so an object
// belongs to one serial queue.
class FileContentComparator final : public ContentComparator {
 public:
  static constexpr size_t kDefaultBlockSize = size_t{1} << 20;

  explicit FileContentComparator(size_t blockSize = kDefaultBlockSize);

  bool contentsEqual(const ComparedFile& a, const ComparedFile& b) override;

 private:
  size_t _blockSize;
  std::unique_ptr<char[]> _buffers;  // two blocks, one per file
};

}  // namespace zorva
