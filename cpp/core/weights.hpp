// Observation weights: the checks on a weight column, the normalisation of
// analytic and probability weights, and the weighted passes of the linear
// fit. Weighted least squares runs on the partialled-out block with every
// row multiplied by sqrt(w): the plain cross-product, solve and residuals of
// that block are then exactly the weighted ones, so the unweighted kernels
// serve both cases without a second copy of the data.
#pragma once

#include <cstdint>

namespace korvald::core {

struct WeightScan {
  int64_t negative = 0;     // entries < 0
  int64_t zero = 0;         // entries == 0
  int64_t non_integer = 0;  // entries with a fractional part
  double sum = 0.0;         // sum of the non-negative entries
};

// One pass over finite weights.
WeightScan scan_weights(const double* w_n, int64_t n);

// out_n = w_n * (target / sum(w_n)); out may be w itself.
void rescale_weights(const double* w_n, int64_t n, double target, double* out_n);

// Row i of the n x m row-major block times sqrt(w_i), in place.
void scale_rows_by_sqrt(double* z_nm, int64_t n, int64_t m, const double* w_n);

// out_n = a_n / sqrt(w_n) (the inverse of the row scaling for one column).
void unscale_by_sqrt(const double* a_n, const double* w_n, int64_t n, double* out_n);

// sum w_i (a_i - weighted mean)^2 (weighted_mean: core/weighted_groups.hpp)
double weighted_centered_sum_of_squares(const double* a_n, const double* w_n, int64_t n);

}  // namespace korvald::core
