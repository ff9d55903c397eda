#include "tracking/CasedPath.h"

#include <climits>

namespace zorva {
namespace {

// The tag byte that opens the data: a bit mask follows, or the whole path.
constexpr char kMask = 'm';
constexpr char kWhole = 'w';
constexpr size_t kTagSize = 1;

// Where in the data the bit of the path's byte `i` lies: one bit per byte, after the tag.
size_t maskByte(size_t i) { return kTagSize + i / CHAR_BIT; }
int maskBit(size_t i) { return 1 << (i % CHAR_BIT); }

bool isCapitalOf(char upper, char lower) {
  return upper >= 'A' && upper <= 'Z' && lower == upper - 'A' + 'a';
}

}  // namespace

CasedPath::CasedPath(std::string_view path, std::string_view lower) {
  if (path == lower) return;
  if (path.size() == lower.size()) {
    std::string mask(maskByte(path.size() + CHAR_BIT - 1), '\0');
    mask[0] = kMask;
    bool onlyCapitals = true;
    for (size_t i = 0; i < path.size() && onlyCapitals; ++i) {
      if (path[i] == lower[i]) continue;
      onlyCapitals = isCapitalOf(path[i], lower[i]);
      mask[maskByte(i)] = static_cast<char>(mask[maskByte(i)] | maskBit(i));
    }
    if (onlyCapitals) {
      _data = std::move(mask);
      return;
    }
  }
  _data.reserve(kTagSize + path.size());
  _data.push_back(kWhole);
  _data.append(path);
}

std::string CasedPath::restore(std::string_view lower) const {
  if (_data.empty()) return std::string(lower);
  if (_data[0] == kWhole) return _data.substr(kTagSize);
  std::string path(lower);
  for (size_t i = 0; i < path.size(); ++i) {
    if (_data[maskByte(i)] & maskBit(i)) path[i] = static_cast<char>(path[i] - 'a' + 'A');
  }
  return path;
}

}  // namespace zorva
