#include "core/linear_fit.hpp"

#include <algorithm>
#include <cmath>

namespace korvald::core {

namespace {
// Rows per partial sum: small enough that each partial sum stays accurate,
// large enough that the bookkeeping is negligible.
constexpr int64_t kChunk = 4096;
}  // namespace

bool all_finite(const double* values, size_t count) {
  // Accumulating v - v is NaN for NaN and +-inf alike, and lets the compiler
  // vectorize the pass instead of branching per entry.
  double probe = 0.0;
  for (size_t i = 0; i < count; ++i) probe += values[i] - values[i];
  return probe == 0.0;
}

void weighted_cross_product(const double* z_nm, int64_t n, int64_t m, int64_t first, const double* w_n,
                            double* out_qq) {
  const int64_t q = m - first;
  const size_t qq = static_cast<size_t>(q) * static_cast<size_t>(q);
  std::fill(out_qq, out_qq + qq, 0.0);
  std::vector<double> part(qq);
  for (int64_t start = 0; start < n; start += kChunk) {
    const int64_t stop = std::min(n, start + kChunk);
    std::fill(part.begin(), part.end(), 0.0);
    for (int64_t i = start; i < stop; ++i) {
      const double* row = z_nm + i * m + first;
      for (int64_t a = 0; a < q; ++a) {
        const double ra = w_n ? row[a] * w_n[i] : row[a];
        double* dst = part.data() + a * q;
        for (int64_t b = a; b < q; ++b) dst[b] += ra * row[b];
      }
    }
    for (int64_t a = 0; a < q; ++a)
      for (int64_t b = a; b < q; ++b) out_qq[a * q + b] += part[a * q + b];
  }
  for (int64_t a = 0; a < q; ++a)
    for (int64_t b = 0; b < a; ++b) out_qq[a * q + b] = out_qq[b * q + a];
}

void cross_product(const double* z_nm, int64_t n, int64_t m, double* out_mm) {
  weighted_cross_product(z_nm, n, m, 0, nullptr, out_mm);
}

void partialled_residuals(const double* z_nm, int64_t n, int64_t m, const double* beta, double* resid_n) {
  for (int64_t i = 0; i < n; ++i) {
    const double* row = z_nm + i * m;
    double fit = 0.0;
    for (int64_t k = 1; k < m; ++k) fit += row[k] * beta[k - 1];
    resid_n[i] = row[0] - fit;
  }
}

void remainder_after_regressors(const double* y_n, const std::vector<const double*>& x, const double* beta,
                                int64_t n, double* out_n) {
  std::copy(y_n, y_n + n, out_n);
  for (size_t k = 0; k < x.size(); ++k) {
    const double* xk = x[k];
    const double bk = beta[k];
    for (int64_t i = 0; i < n; ++i) out_n[i] -= xk[i] * bk;
  }
}

double sum_of_squares(const double* a, int64_t n, int64_t stride) {
  double total = 0.0;
  for (int64_t start = 0; start < n; start += kChunk) {
    const int64_t stop = std::min(n, start + kChunk);
    double part = 0.0;
    for (int64_t i = start; i < stop; ++i) part += a[i * stride] * a[i * stride];
    total += part;
  }
  return total;
}

double sum(const double* a_n, int64_t n) {
  double total = 0.0;
  for (int64_t start = 0; start < n; start += kChunk) {
    const int64_t stop = std::min(n, start + kChunk);
    double part = 0.0;
    for (int64_t i = start; i < stop; ++i) part += a_n[i];
    total += part;
  }
  return total;
}

double mean(const double* a_n, int64_t n) { return sum(a_n, n) / static_cast<double>(n); }

double centered_sum_of_squares(const double* a_n, int64_t n) {
  const double mu = mean(a_n, n);
  double total = 0.0;
  for (int64_t start = 0; start < n; start += kChunk) {
    const int64_t stop = std::min(n, start + kChunk);
    double part = 0.0;
    for (int64_t i = start; i < stop; ++i) {
      const double d = a_n[i] - mu;
      part += d * d;
    }
    total += part;
  }
  return total;
}

}  // namespace korvald::core
