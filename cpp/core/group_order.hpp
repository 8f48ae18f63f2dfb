// Stable ordering of observations by a group code 0..G-1 (counting sort):
// O(N + G) instead of a comparison sort, and the same permutation a stable
// argsort would give.
#pragma once

#include <cstdint>

namespace korvald::core {

// order_n receives the row positions sorted by codes_n, ties in row order.
// Returns false (order_n untouched) when a code lies outside 0..n_groups-1.
bool stable_order_by_code(const int64_t* codes_n, int64_t n, int64_t n_groups, int64_t* order_n);

}  // namespace korvald::core
