#pragma once

#include <gmock/gmock.h>

#include "tracking/PathTrackerInterface.h"

namespace zorva {

class MockPathTracker : public PathTrackerInterface {
 public:
  MOCK_METHOD(void, open,
              (std::string_view path, const struct stat& status, const Lineage& actor,
               OptionalString exec, uint32_t flags, const EventFile* opened),
              (override));
  MOCK_METHOD(void, close,
              (std::string_view path, const struct stat& status, const Lineage& actor,
               OptionalString exec, bool isModified, const EventFile* opened),
              (override));
  MOCK_METHOD(void, source,
              (std::string_view source, OptionalString dest, bool eitherDirection,
               bool bothModified, OptionalString exec, std::string_view type, const Lineage& actor),
              (override));
  MOCK_METHOD(void, modify, (OptionalString path, OptionalString exec, std::string_view type),
              (override));
};

}  // namespace zorva
