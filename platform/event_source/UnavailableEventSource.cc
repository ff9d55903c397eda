#include "platform/event_source/UnavailableEventSource.h"

#include "service/Log.h"

namespace zorva {

es_new_client_result_t UnavailableEventSource::newClient(es_client_t** client, es_handler_block_t) {
  *client = nullptr;
  ZorvaError("%@", reason_);
  return ES_NEW_CLIENT_RESULT_ERR_NOT_PERMITTED;
}

}  // namespace zorva
