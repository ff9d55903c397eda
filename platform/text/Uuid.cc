#include "platform/text/Uuid.h"

#include <uuid/uuid.h>

namespace zorva {

std::string randomUuid() {
  uuid_t uuid;
  uuid_generate_random(uuid);
  char text[37];
  uuid_unparse_upper(uuid, text);
  return text;
}

}  // namespace zorva
