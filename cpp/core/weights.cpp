#include "core/weights.hpp"

#include <algorithm>
#include <cmath>

#include "core/linear_fit.hpp"
#include "core/weighted_groups.hpp"

namespace korvald::core {

namespace {
// Partial sums over fixed chunks keep the rounding from growing with n.
constexpr int64_t kChunk = 4096;
}  // namespace

WeightScan scan_weights(const double* w_n, int64_t n) {
  WeightScan out;
  for (int64_t start = 0; start < n; start += kChunk) {
    const int64_t stop = std::min(n, start + kChunk);
    double part = 0.0;
    for (int64_t i = start; i < stop; ++i) {
      const double v = w_n[i];
      if (v < 0) {
        ++out.negative;
        continue;
      }
      if (v == 0) ++out.zero;
      if (v != std::floor(v)) ++out.non_integer;
      part += v;
    }
    out.sum += part;
  }
  return out;
}

void rescale_weights(const double* w_n, int64_t n, double target, double* out_n) {
  const double factor = target / sum(w_n, n);
  for (int64_t i = 0; i < n; ++i) out_n[i] = w_n[i] * factor;
}

void scale_rows_by_sqrt(double* z_nm, int64_t n, int64_t m, const double* w_n) {
  for (int64_t i = 0; i < n; ++i) {
    const double s = std::sqrt(w_n[i]);
    double* row = z_nm + i * m;
    for (int64_t j = 0; j < m; ++j) row[j] *= s;
  }
}

void unscale_by_sqrt(const double* a_n, const double* w_n, int64_t n, double* out_n) {
  for (int64_t i = 0; i < n; ++i) out_n[i] = a_n[i] / std::sqrt(w_n[i]);
}

double weighted_centered_sum_of_squares(const double* a_n, const double* w_n, int64_t n) {
  const double mu = weighted_mean(a_n, w_n, n);
  double total = 0.0;
  for (int64_t start = 0; start < n; start += kChunk) {
    const int64_t stop = std::min(n, start + kChunk);
    double part = 0.0;
    for (int64_t i = start; i < stop; ++i) {
      const double d = a_n[i] - mu;
      part += w_n[i] * d * d;
    }
    total += part;
  }
  return total;
}

}  // namespace korvald::core
