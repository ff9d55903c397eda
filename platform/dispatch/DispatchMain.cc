#include "platform/dispatch/DispatchMain.h"

#include <cstdlib>

namespace zorva {

QueueCore& mainQueue() {
  static QueueCore* queue = new QueueCore("com.zorva.main");
  return *queue;
}

void dispatchMain() {
  mainQueue().run();  // returns only if someone stops the main queue, which nothing does
  std::exit(EXIT_SUCCESS);
}

}  // namespace zorva
