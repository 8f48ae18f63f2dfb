// Per-observation outputs (fitted values, residuals) written straight into
// the caller's row order, in one pass and one fresh array each.
#pragma once

#include <cstdint>

namespace korvald::core {

enum class RowCombine { first, difference, ratio };

// out[j] = a[r], a[r] - b[r] or a[r] / b[r] with r = order ? order[j] : j
// (order: a permutation of 0..n-1, checked by whoever made it). Each value
// is one operation on two doubles, so it is the same for every thread
// count; the threads share the pass and the first touch of out's pages.
void combine_rows(const double* a, const double* b, RowCombine op, const int64_t* order, int64_t n, double* out,
                  int threads);

}  // namespace korvald::core
