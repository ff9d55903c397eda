#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace zorva {

// A map keyed by path strings that is looked up with views, so a look-up per event copies no
// path.
struct PathHash {
  using is_transparent = void;
  size_t operator()(std::string_view path) const { return std::hash<std::string_view>{}(path); }
};

template <class Value>
using PathMap = std::unordered_map<std::string, Value, PathHash, std::equal_to<>>;

}  // namespace zorva
