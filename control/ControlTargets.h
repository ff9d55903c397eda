#pragma once

#include <cstdint>
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

}  // namespace zorva
