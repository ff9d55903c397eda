#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/dispatch/Clock.h"
#include "platform/event_source/EventSource.h"
#include "platform/event_source/fanotify/FanotifyApi.h"
#include "platform/event_source/fanotify/ProcessTable.h"

namespace zorva {

// The machine's file events, from two fanotify groups: one that hands over an open descriptor
// per event (opens and closes, whose path and status come from that descriptor), and one that
// reports directory handles and names (renames, deletions, creations), which cost nothing to
// the processes doing the work. Every mounted filesystem that can hold user files is marked,
// and mounts that appear later are marked as they appear.
//
// One client at a time; its messages are built and delivered on the source's own reader thread.
// Events of the service's own process are muted.
class FanotifyEventSource final : public EventSource, public FolderFilter {
 public:
  FanotifyEventSource(FanotifyApi& api, Clock& clock,
                      std::string mountInfoPath = "/proc/self/mountinfo");
  ~FanotifyEventSource() override;

  FanotifyEventSource(const FanotifyEventSource&) = delete;
  FanotifyEventSource& operator=(const FanotifyEventSource&) = delete;

  es_new_client_result_t newClient(es_client_t** client, es_handler_block_t handler) override;
  es_return_t subscribe(es_client_t* client, const es_event_type_t* events,
                        uint32_t count) override;
  es_return_t deleteClient(es_client_t* client) override;

  // The files directly in `folder` are never reported, from the next subscription on: the
  // service's own state folder, whose databases' locks any descriptor of them handed over and
  // closed again would drop.
  void muteFolder(std::string folder);

  // Folders that hold no watched file get ignore marks for their opens and unmodified closes.
  FolderFilter* folderFilter() override { return this; }
  void setWatchedFolders(WatchedFolders* folders) override;
  void rootsAdded() override;

  // What the process table knows and has lost, as of the reader's last pass; zeros before a
  // client subscribed. Callable from any thread.
  ProcessTable::Counts processCounts() const;
  EventSourceStatus status() const override;

  class Client;

 private:
  FanotifyApi& _api;
  Clock& _clock;
  const std::string _mountInfoPath;
  mutable std::mutex _mutex;
  std::unique_ptr<Client> _client;
  WatchedFolders* _folders = nullptr;
  std::vector<std::string> _muted;
};

}  // namespace zorva
