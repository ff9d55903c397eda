// Trace lines come from files anyone may hand the service: no byte sequence may crash the parser,
// and a line it accepts must describe a message whose strings are the lengths they claim.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/event_source/ReplayParser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  std::string error;
  auto message = zorva::parseReplayLine(line, &error);
  if (message == nullptr) {
    if (error.empty()) std::abort();  // every rejection says why
    return 0;
  }
  const zorva::es_message_t& m = message->message();
  if (m.process == nullptr || m.process->executable == nullptr) std::abort();
  // Reading every byte the executable claims lets the sanitizer catch a length that lies.
  const zorva::es_string_token_t& exec = m.process->executable->path;
  volatile char sink = 0;
  for (size_t i = 0; i < exec.length; ++i) sink = static_cast<char>(sink ^ exec.data[i]);
  (void)sink;
  return 0;
}
