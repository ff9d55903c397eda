#include "tracking/CasedPath.h"

namespace zorva {
namespace {

constexpr char kMask = 'm';
constexpr char kWhole = 'w';

bool isCapitalOf(char upper, char lower) {
  return upper >= 'A' && upper <= 'Z' && lower == upper - 'A' + 'a';
}

}  // namespace

CasedPath::CasedPath(std::string_view path, std::string_view lower) {
  if (path == lower) return;
  if (path.size() == lower.size()) {
    std::string mask(1 + (path.size() + 7) / 8, '\0');
    mask[0] = kMask;
    bool onlyCapitals = true;
    for (size_t i = 0; i < path.size() && onlyCapitals; ++i) {
      if (path[i] == lower[i]) continue;
      onlyCapitals = isCapitalOf(path[i], lower[i]);
      mask[1 + i / 8] = static_cast<char>(mask[1 + i / 8] | (1 << (i % 8)));
    }
    if (onlyCapitals) {
      data_ = std::move(mask);
      return;
    }
  }
  data_.reserve(1 + path.size());
  data_.push_back(kWhole);
  data_.append(path);
}

std::string CasedPath::restore(std::string_view lower) const {
  if (data_.empty()) return std::string(lower);
  if (data_[0] == kWhole) return data_.substr(1);
  std::string path(lower);
  for (size_t i = 0; i < path.size(); ++i) {
    if (data_[1 + i / 8] & (1 << (i % 8))) path[i] = static_cast<char>(path[i] - 'a' + 'A');
  }
  return path;
}

}  // namespace zorva
