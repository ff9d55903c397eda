#pragma once

namespace zorva {

// Makes the C library's allocator give every block of 128 KiB or more back to the system as soon
// as it is freed, in every thread, for the rest of the process. Meant to be called once, first
// thing in main(). Returns false if the allocator refused.
//
// Left to itself, glibc raises the size from which it maps blocks on their own to that of each
// mapped block freed, up to 32 MiB, and the size from which it trims a heap to twice that. After
// one large reply body is freed, later buffers of up to 32 MiB are then carved from the thread's
// heap, and what they touched stays resident after they are freed.
bool returnLargeBlocksOnFree();

}  // namespace zorva
