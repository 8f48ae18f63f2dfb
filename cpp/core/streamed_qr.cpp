#include "core/streamed_qr.hpp"

#include "core/task_team.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace korvald::core {

namespace {

// Rotates `row` (p entries, consumed) into the upper-triangular R, zeroing
// the row column by column.
inline void rotate_into(double* R, double* row, int64_t p) {
  for (int64_t j = 0; j < p; ++j) {
    const double v = row[j];
    if (v == 0.0) continue;
    double* rj = R + j * p;
    const double d = rj[j];
    // sqrt(d^2 + v^2) directly when neither square over- nor underflows
    // (hypot's care costs more than the rest of the rotation).
    double r = std::sqrt(d * d + v * v);
    if (!(r > 1e-150 && r < 1e150)) r = std::hypot(d, v);
    // One division instead of two: the divider is what every row waits on.
    const double inv = 1.0 / r;
    const double c = d * inv, sn = v * inv;
    rj[j] = r;
    for (int64_t k = j + 1; k < p; ++k) {
      const double a = rj[k], b = row[k];
      rj[k] = c * a + sn * b;
      row[k] = c * b - sn * a;
    }
  }
}

// Independent factors built side by side: each rotation waits on the square
// root and division of the one before it in the same factor, so a single
// factor leaves the processor idle most of the time. The rows fall into
// kParts contiguous parts (run on the caller's threads) and, within a part,
// row i goes to lane i % kLanes; all the factors are merged in part and lane
// order at the end, so the result depends only on the rows, never on the
// thread count.
constexpr int64_t kLanes = 8;
constexpr int64_t kParts = 2;

// Rotates rows [lo, hi) of zX, row i scaled by scale(i), into the kLanes
// factors at `lanes` (kLanes p x p blocks, zero to begin with).
template <typename Scale>
void rotate_part(const double* zX, int64_t lo, int64_t hi, int64_t K, double* lanes, const Scale& scale) {
  const int64_t p = K + 1;
  std::vector<double> rows(static_cast<size_t>(kLanes * p));
  for (int64_t i0 = lo; i0 < hi; i0 += kLanes) {
    const int64_t m = std::min(kLanes, hi - i0);
    for (int64_t l = 0; l < m; ++l) {
      const int64_t i = i0 + l;
      const double s = scale(i);
      const double* in = zX + i * p;
      double* row = rows.data() + l * p;
      for (int64_t k = 0; k < K; ++k) row[k] = in[k + 1] * s;
      row[K] = in[0] * s;
    }
    for (int64_t l = 0; l < m; ++l) rotate_into(lanes + l * p * p, rows.data() + l * p, p);
  }
}

// Rotates the n rows of zX, row i scaled by scale(i), into R.
template <typename Scale>
void rotate_rows_into(const double* zX, int64_t n, int64_t K, double* R, int threads, Scale scale) {
  const int64_t p = K + 1;
  const int64_t factors = kParts * kLanes;
  std::vector<double> lanes(static_cast<size_t>(factors * p * p), 0.0);
  run_on_threads(kParts, threads, [&](int64_t part) {
    rotate_part(zX, n * part / kParts, n * (part + 1) / kParts, K, lanes.data() + part * kLanes * p * p, scale);
  });
  std::copy(lanes.begin(), lanes.begin() + p * p, R);
  std::vector<double> row(static_cast<size_t>(p));
  for (int64_t l = 1; l < factors; ++l)
    for (int64_t j = 0; j < p; ++j) {
      const double* src = lanes.data() + l * p * p + j * p;
      std::copy(src, src + p, row.begin());
      rotate_into(R, row.data(), p);
    }
}

}  // namespace

void weighted_r_factor(const double* zX, const double* mu, const double* w, int64_t n, int64_t K, double* R,
                       int threads) {
  rotate_rows_into(zX, n, K, R, threads, [&](int64_t i) { return std::sqrt(w ? w[i] * mu[i] : mu[i]); });
}

void r_factor(const double* zX, int64_t n, int64_t K, double* R, int threads) {
  rotate_rows_into(zX, n, K, R, threads, [](int64_t) { return 1.0; });
}

}  // namespace korvald::core
