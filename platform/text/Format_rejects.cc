// Each CASE is a format that must not compile; CASE 0 must, so that a broken harness cannot pass
// for a working check. Built by the tests with -fsyntax-only.
#include <cstdint>
#include <string>

#include "platform/text/Format.h"

void formats() {
#if CASE == 0
  zorva::formatMessage("%@ %d %ld %s %%", std::string("a"), 1, int64_t{2}, "c");
#elif CASE == 1
  zorva::formatMessage("%d");  // a placeholder without its argument
#elif CASE == 2
  zorva::formatMessage("none", 1);  // an argument without its placeholder
#elif CASE == 3
  zorva::formatMessage("%d", int64_t{1});  // 64 bits need %ld
#elif CASE == 4
  zorva::formatMessage("%s", 3);  // %s takes a string
#elif CASE == 5
  zorva::formatMessage("%x", 3);  // a placeholder the service does not use
#elif CASE == 6
  zorva::formatMessage("50%");  // a lone % at the end
#elif CASE == 7
  struct Opaque {};
  zorva::formatMessage("%@", Opaque{});  // no text for this type
#endif
}
