#include "core/streamed_qr.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace korvald::core {

namespace {

// Rotates the n rows of zX, row i scaled by scale(i), into R one at a time.
template <typename Scale>
void rotate_rows_into(const double* zX, int64_t n, int64_t K, double* R, Scale scale) {
  const int64_t p = K + 1;
  std::fill(R, R + p * p, 0.0);
  std::vector<double> row(static_cast<size_t>(p));
  for (int64_t i = 0; i < n; ++i) {
    const double s = scale(i);
    const double* in = zX + i * p;
    for (int64_t k = 0; k < K; ++k) row[k] = in[k + 1] * s;
    row[K] = in[0] * s;
    // Rotate the row into R, zeroing it column by column.
    for (int64_t j = 0; j < p; ++j) {
      const double v = row[j];
      if (v == 0.0) continue;
      double* rj = R + j * p;
      const double d = rj[j];
      // sqrt(d^2 + v^2) directly when neither square over- nor underflows
      // (hypot's care costs more than the rest of the rotation).
      double r = std::sqrt(d * d + v * v);
      if (!(r > 1e-150 && r < 1e150)) r = std::hypot(d, v);
      const double c = d / r, sn = v / r;
      rj[j] = r;
      for (int64_t k = j + 1; k < p; ++k) {
        const double a = rj[k], b = row[k];
        rj[k] = c * a + sn * b;
        row[k] = c * b - sn * a;
      }
    }
  }
}

}  // namespace

void weighted_r_factor(const double* zX, const double* mu, const double* w, int64_t n, int64_t K, double* R) {
  rotate_rows_into(zX, n, K, R, [&](int64_t i) { return std::sqrt(w ? w[i] * mu[i] : mu[i]); });
}

void r_factor(const double* zX, int64_t n, int64_t K, double* R) {
  rotate_rows_into(zX, n, K, R, [](int64_t) { return 1.0; });
}

}  // namespace korvald::core
