#pragma once

#include <string>

#include "platform/event_source/EventSource.h"

namespace zorva {

// An event source that cannot be set up, for a backend this build or machine lacks: creating a
// client fails after one error line that says why.
class UnavailableEventSource final : public EventSource {
 public:
  explicit UnavailableEventSource(std::string reason) : reason_(std::move(reason)) {}

  es_new_client_result_t newClient(es_client_t** client, es_handler_block_t handler) override;
  es_return_t subscribe(es_client_t*, const es_event_type_t*, uint32_t) override {
    return ES_RETURN_ERROR;
  }
  es_return_t deleteClient(es_client_t*) override { return ES_RETURN_ERROR; }

 private:
  std::string reason_;
};

}  // namespace zorva
