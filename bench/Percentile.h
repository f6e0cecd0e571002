// The percentiles the benchmarks report.
//
// Header-only.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

// The value below which `fraction` of `values` lie, interpolated between neighbours.
inline double percentile(std::vector<double> values, double fraction) {
  std::sort(values.begin(), values.end());
  const double rank = fraction * static_cast<double>(values.size() - 1);
  const auto low = static_cast<std::size_t>(rank);
  const std::size_t high = std::min(low + 1, values.size() - 1);
  return values[low] + (values[high] - values[low]) * (rank - static_cast<double>(low));
}
