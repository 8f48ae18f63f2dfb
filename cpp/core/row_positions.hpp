// Row positions of a sample in the frame it was taken from, and reading a
// column of that frame at those positions.
#pragma once

#include <cstdint>

#include "core/group_index.hpp"

namespace korvald::core {

// out[j] = start + step * i for the j-th row i where mask[i] holds, i.e. the
// positions a RangeIndex(start, ..., step) keeps under the mask. out must
// have room for every kept row; returns their count.
int64_t kept_positions(const bool* mask, int64_t n, int64_t start, int64_t step, int32_t* out);

// Row i's value: source[at[i]] / divisor (at empty: source[i]; divisor 0:
// the value as it is), the division being the one NumPy makes.
inline double gathered(const double* source, SortOrder at, double divisor, int64_t i) {
  const double v = at.empty() ? source[i] : source[at[i]];
  return divisor != 0.0 ? v / divisor : v;
}

// out[i * out_stride] = gathered(source, at, divisor, i) for i < n: straight
// into a strided column, with no gathered copy on the way.
void gather_column(const double* source, SortOrder at, double divisor, int64_t n, double* out, int64_t out_stride);

}  // namespace korvald::core
