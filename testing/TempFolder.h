#pragma once

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace zorva {

// A folder under `parent` (the system's temporary folder unless a benchmark picks a filesystem),
// removed with everything in it. Throws when the folder cannot be made, so no test runs against a
// path it does not own.
class TempFolder {
 public:
  explicit TempFolder(const std::string& prefix = "zorva-test",
                      const std::string& parent = std::filesystem::temp_directory_path())
      : _path(parent + "/" + prefix + ".XXXXXX") {
    if (!::mkdtemp(_path.data())) throw std::runtime_error(_path + ": " + std::strerror(errno));
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(_path, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& path() const { return _path; }
  std::string operator/(const std::string& name) const { return _path + "/" + name; }

 private:
  std::string _path;
};

}  // namespace zorva
