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

// out[i * out_stride] = source[at[i]] / divisor for i < n (at empty: row i;
// divisor 0: the value as it is), the division being the one NumPy makes.
// Writes straight into a strided column, with no gathered copy on the way.
void gather_column(const double* source, SortOrder at, double divisor, int64_t n, double* out, int64_t out_stride);

}  // namespace korvald::core
