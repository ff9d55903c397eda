#pragma once

#include <atomic>
#include <cstddef>

#include "platform/event_source/EventFile.h"

namespace zorva {

// The open files the tracker keeps, counted against one cap: each holds a descriptor, and a
// descriptor held on a drive keeps the drive from being unmounted. Past the cap the tracker
// compares by path, as it does where the event source has no open file to give. Callable from any
// thread; must outlive every file it handed out.
class HeldFiles {
 public:
  explicit HeldFiles(size_t cap) : _cap(cap) {}

  // Keeps the event's file open, or gives null when there is none or the cap is reached.
  SharedOpenFile take(const EventFile* file) {
    if (!file) return nullptr;
    if (_count.fetch_add(1, std::memory_order_relaxed) >= _cap) {
      _count.fetch_sub(1, std::memory_order_relaxed);
      return nullptr;
    }
    SharedOpenFile kept = file->retain();
    if (!kept) {
      _count.fetch_sub(1, std::memory_order_relaxed);
      return nullptr;
    }
    // The count goes down when the last holder of this share lets go.
    return {kept.get(), [this, kept](const OpenFile*) mutable {
              kept.reset();
              _count.fetch_sub(1, std::memory_order_relaxed);
            }};
  }

  size_t count() const { return _count.load(std::memory_order_relaxed); }

 private:
  const size_t _cap;
  std::atomic<size_t> _count{0};
};

}  // namespace zorva
