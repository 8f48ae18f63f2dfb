// Meat of the cluster-robust covariance: sum over clusters g of s_g s_g'
// with the cluster score s_g = sum_{i in g} e_i x_i.
//
// Clusters are cut into fixed-size blocks whose K x K partial sums are added
// in block order, so the result is the same for any number of threads.
#pragma once

#include <cstdint>

#include "core/group_index.hpp"

namespace korvald::core {

// x_i = row i of the n x K matrix at X[i * x_row + j * x_col]; e_i = e[i * e_stride].
// Members of cluster g are order[p] for p in its range of `clusters`.
// B (K x K, element (a, b) at B[a * b_row + b * b_col]) is ADDED to.
void add_cluster_scores(const double* X, int64_t x_row, int64_t x_col, int64_t K, const double* e,
                        int64_t e_stride, const GroupRanges& clusters, double* B, int64_t b_row, int64_t b_col);

// sums[codes[i]] += values[i] for i = 0..n-1, in row order (the order in
// which numpy's bincount adds its weights), so that sums built chunk by
// chunk equal those of one pass. Codes must lie in [0, length of sums).
void add_by_code(const int32_t* codes, const double* values, int64_t n, double* sums);
void add_by_code(const int64_t* codes, const double* values, int64_t n, double* sums);

}  // namespace korvald::core
