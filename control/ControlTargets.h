#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace zorva {

// What the control interface needs of the backend client: the device token. Both calls are safe
// from any thread and return at once.
class DeviceTokenHolder {
 public:
  virtual ~DeviceTokenHolder() = default;
  virtual void setDeviceToken(std::string token) = 0;
  virtual bool isReady() const = 0;
};

// What the control interface needs of the path tracker: registering a watched volume, from any
// thread, returning at once.
class VolumeRegistrar {
 public:
  virtual ~VolumeRegistrar() = default;
  virtual void addVolume(int64_t volumeId, std::string_view path, bool notifyEnabled) = 0;
};

// What the control interface needs to answer a status request: the service's figures as one JSON
// object. gather() returns at once; `done` runs once, on whichever thread completes the gathering,
// so the bus's delivery thread never waits on a subsystem.
class StatusSource {
 public:
  virtual ~StatusSource() = default;
  virtual void gather(std::function<void(std::string json)> done) = 0;
};

}  // namespace zorva
