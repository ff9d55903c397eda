#pragma once

#include "platform/dispatch/SerialQueue.h"

namespace zorva {

// The main thread's queue: work submitted here runs on the main thread once it has been handed
// over with dispatchMain().
QueueCore& mainQueue();

// Hands the calling (main) thread to the main queue for good; the process lives on its queues
// from then on.
[[noreturn]] void dispatchMain();

}  // namespace zorva
