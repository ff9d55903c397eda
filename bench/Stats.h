#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace zorva::bench {

// The sample at 0-based rank floor(fraction * n) of the sorted samples, so the figure is one that
// was actually observed; 0 when there are none.
inline double percentile(std::vector<double> samples, double fraction) {
  if (samples.empty()) return 0;
  const size_t rank = std::min(samples.size() - 1,
                               static_cast<size_t>(fraction * static_cast<double>(samples.size())));
  std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(rank),
                   samples.end());
  return samples[rank];
}

// The middle sample; the upper of the two middle ones when n is even.
inline double median(std::vector<double> samples) { return percentile(std::move(samples), 0.5); }

}  // namespace zorva::bench
