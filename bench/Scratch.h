#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace zorva::bench {

// A temporary folder for a benchmark's files, removed with everything in it when the run ends.
class Scratch {
 public:
  Scratch(const std::string& parent, const std::string& prefix) {
    std::string name = parent + "/" + prefix + "-XXXXXX";
    if (!mkdtemp(name.data())) throw std::runtime_error("cannot create a folder in " + parent);
    _path = name;
  }
  ~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(_path, ignored);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  const std::string& path() const { return _path; }

 private:
  std::string _path;
};

}  // namespace zorva::bench
