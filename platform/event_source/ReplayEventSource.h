#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/dispatch/Counter.h"
#include "platform/event_source/EventSource.h"

namespace zorva {

// Delivers a recorded trace (the line format is in ReplayParser.h) as if the kernel sent it, for
// tests, benchmarks and trying the service without privileges.
//
// One client at a time, since a trace read by two would be split between them. newClient opens
// the input; subscribe starts the client's own thread, which reads the input and calls the
// handler for each line's message in file order. Lines that do not parse are logged with their
// number and skipped. Messages of a known type that is not subscribed are dropped; those of a type
// the dispatcher does not know always go through. Input that ends leaves the client as it is.
//
// The source owns its client: deleteClient stops and frees it, and so does the destructor if the
// caller never did. Neither may be called from the handler or the end-of-input callback, as they
// wait for that very thread.
class ReplayEventSource final : public EventSource {
 public:
  // Called on the client's thread after the last message, with the number of lines read (blank
  // and bad ones too), so that callers can wait for a trace to finish without polling.
  using EndOfInput = std::function<void(uint64_t lines)>;

  // Replays the file at `path`, or standard input for "-"; each client reads it from the start
  // (standard input from where it is).
  explicit ReplayEventSource(std::string path, EndOfInput onEndOfInput = {});
  // Replays an open descriptor, which the source takes over and which only one client can read;
  // `name` stands for it in log lines.
  ReplayEventSource(int fd, std::string name, EndOfInput onEndOfInput = {});
  ~ReplayEventSource() override;

  ReplayEventSource(const ReplayEventSource&) = delete;
  ReplayEventSource& operator=(const ReplayEventSource&) = delete;

  es_new_client_result_t newClient(es_client_t** client, es_handler_block_t handler) override;
  es_return_t subscribe(es_client_t* client, const es_event_type_t* events,
                        uint32_t count) override;
  es_return_t deleteClient(es_client_t* client) override;
  // The events handed to the handler; nothing else is counted here.
  EventSourceStatus status() const override {
    EventSourceStatus status;
    status.eventsRead = _eventsRead.get();
    return status;
  }

 private:
  class Client;

  int openInput();

  const std::string _path;
  const std::string _name;
  const EndOfInput _onEndOfInput;
  std::mutex _mutex;
  int _adoptedFd = -1;  // guarded by _mutex, as is _client
  bool _adopted = false;
  SingleWriterCounter _eventsRead;  // by one client's thread at a time
  std::unique_ptr<Client> _client;
};

}  // namespace zorva
