#include "platform/dispatch/SerialQueue.h"

#include <gtest/gtest.h>

#include "platform/dispatch/ManualClock.h"

namespace zorva {
namespace {
TEST(SerialQueue, Placeholder) {
  ManualClock clock;
  SerialQueue queue("q", clock);
  int n = 0;
  queue.sync([&] { n = 1; });
  EXPECT_EQ(n, 1);
}
}  // namespace
}  // namespace zorva
