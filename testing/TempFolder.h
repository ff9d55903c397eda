#pragma once

#include <string>

namespace zorva {

// A folder under the system's temporary folder, removed with everything in it. Throws when the
// folder cannot be made, so no test runs against a path it does not own.
class TempFolder {
 public:
  explicit TempFolder(const std::string& prefix = "zorva-test");
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& path() const { return _path; }
  std::string operator/(const std::string& name) const { return _path + "/" + name; }

 private:
  std::string _path;
};

}  // namespace zorva
