// Observation-wise passes of the linear fit: finiteness check of the
// partialled-out block, its cross-product, residuals, the raw remainder
// y - X*beta and the sums of squares of the closing statistics.
// All arrays are plain row-major buffers; nothing here touches Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvald::core {

// Every pass here runs over fixed chunks of rows; a sum is the chunks' sums
// added in chunk order. `threads` (0: all available) share the chunks of
// large inputs, and no result depends on them.

// True when no entry is NaN or +-inf.
bool all_finite(const double* values, size_t count, int threads = 1);

// out (m x m, row-major) = Z'Z for the n x m row-major block Z. Rows are
// summed in fixed-size chunks first so the rounding does not grow with n.
void cross_product(const double* z_nm, int64_t n, int64_t m, double* out_mm, int threads = 1);

// out (q x q, row-major, q = m - first) = sum_i w_i z_i z_i' over the columns
// first..m-1 of the n x m row-major block Z, each term (z_ia w_i) z_ib and
// summed in chunks as cross_product (which it is with w_n null and first 0):
// a weighted cross-product without an n-row copy of the weighted columns.
void weighted_cross_product(const double* z_nm, int64_t n, int64_t m, int64_t first, const double* w_n,
                            double* out_qq, int threads = 1);

// resid_n = Z[:, 0] - Z[:, 1:m] * beta (beta has m - 1 entries).
void partialled_residuals(const double* z_nm, int64_t n, int64_t m, const double* beta, double* resid_n,
                          int threads = 1);

// out_n = y_n - sum_k beta[k] * x[k]_n, with x[k] the raw regressor columns.
void remainder_after_regressors(const double* y_n, const std::vector<const double*>& x, const double* beta,
                                int64_t n, double* out_n);

// Sum of a[i * stride]^2 over i < n.
double sum_of_squares(const double* a, int64_t n, int64_t stride = 1, int threads = 1);

// Sum of (a_i - mean(a))^2.
double centered_sum_of_squares(const double* a_n, int64_t n, int threads = 1);

// Sum of a_n, added in fixed-size chunks (rounding does not grow with n).
double sum(const double* a_n, int64_t n, int threads = 1);
double mean(const double* a_n, int64_t n, int threads = 1);

}  // namespace korvald::core
