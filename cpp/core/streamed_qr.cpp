#include "core/streamed_qr.hpp"

#include "core/task_team.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

#if defined(__SSE2__)
// Two factors side by side in SSE2 registers: entry (j, k) of both at
// R[2 (j p + k)], and the two rows' entries likewise. Every lane takes the
// operations of rotate_into in its order (IEEE square root and division are
// exact in either form); where a lane's entry is zero it keeps its values,
// as rotate_into's skip would, and a lane whose square root leaves the safe
// range takes hypot as there. The processor's square root and divider then
// serve two factors per instruction.
inline void rotate_pair_into(double* R, double* row, int64_t p) {
  const __m128d zero = _mm_setzero_pd();
  const __m128d one = _mm_set1_pd(1.0);
  const __m128d tiny = _mm_set1_pd(1e-150), huge = _mm_set1_pd(1e150);
  for (int64_t j = 0; j < p; ++j) {
    const __m128d v = _mm_loadu_pd(row + 2 * j);
    const __m128d keep = _mm_cmpeq_pd(v, zero);  // lanes that skip this column
    if (_mm_movemask_pd(keep) == 3) continue;
    double* rj = R + 2 * j * p;
    const __m128d d = _mm_loadu_pd(rj + 2 * j);
    __m128d r = _mm_sqrt_pd(_mm_add_pd(_mm_mul_pd(d, d), _mm_mul_pd(v, v)));
    const __m128d safe = _mm_and_pd(_mm_cmpgt_pd(r, tiny), _mm_cmplt_pd(r, huge));
    if (_mm_movemask_pd(safe) != 3) {
      alignas(16) double rr[2], dd[2], vv[2];
      _mm_store_pd(rr, r);
      _mm_store_pd(dd, d);
      _mm_store_pd(vv, v);
      for (int l = 0; l < 2; ++l)
        if (!(rr[l] > 1e-150 && rr[l] < 1e150)) rr[l] = std::hypot(dd[l], vv[l]);
      r = _mm_load_pd(rr);
    }
    const __m128d inv = _mm_div_pd(one, r);
    const __m128d c = _mm_mul_pd(d, inv), sn = _mm_mul_pd(v, inv);
    auto pick = [&](__m128d old_value, __m128d new_value) {
      return _mm_or_pd(_mm_and_pd(keep, old_value), _mm_andnot_pd(keep, new_value));
    };
    _mm_storeu_pd(rj + 2 * j, pick(d, r));
    for (int64_t k = j + 1; k < p; ++k) {
      const __m128d a = _mm_loadu_pd(rj + 2 * k), b = _mm_loadu_pd(row + 2 * k);
      const __m128d na = _mm_add_pd(_mm_mul_pd(c, a), _mm_mul_pd(sn, b));
      const __m128d nb = _mm_sub_pd(_mm_mul_pd(c, b), _mm_mul_pd(sn, a));
      _mm_storeu_pd(rj + 2 * k, pick(a, na));
      _mm_storeu_pd(row + 2 * k, pick(b, nb));
    }
  }
}

// Rotates rows [lo, hi) of zX, row i scaled by scale(i), into the kLanes
// factors at `lanes` (kLanes p x p blocks, zero to begin with), lanes 2q and
// 2q + 1 worked as a pair (rotate_pair_into) and written back at the end.
template <typename Scale>
void rotate_part(const double* zX, int64_t lo, int64_t hi, int64_t K, double* lanes, const Scale& scale) {
  static_assert(kLanes % 2 == 0, "lanes go in pairs");
  const int64_t p = K + 1, pp = p * p;
  std::vector<double> pairs(static_cast<size_t>(kLanes * pp), 0.0);  // kLanes / 2 pair blocks of 2 pp
  std::vector<double> rows(static_cast<size_t>(kLanes * p));           // likewise, 2 p per pair
  for (int64_t i0 = lo; i0 < hi; i0 += kLanes) {
    const int64_t m = std::min(kLanes, hi - i0);
    // A lane without a row this round gets zeros: every column skips, as
    // when it is not rotated at all.
    if (m < kLanes) std::fill(rows.begin(), rows.end(), 0.0);
    for (int64_t l = 0; l < m; ++l) {
      const int64_t i = i0 + l;
      const double s = scale(i);
      const double* in = zX + i * p;
      double* row = rows.data() + (l / 2) * 2 * p + (l % 2);
      for (int64_t k = 0; k < K; ++k) row[2 * k] = in[k + 1] * s;
      row[2 * K] = in[0] * s;
    }
    for (int64_t q = 0; 2 * q < m; ++q) rotate_pair_into(pairs.data() + q * 2 * pp, rows.data() + q * 2 * p, p);
  }
  for (int64_t l = 0; l < kLanes; ++l) {
    const double* src = pairs.data() + (l / 2) * 2 * pp + (l % 2);
    for (int64_t e = 0; e < pp; ++e) lanes[l * pp + e] = src[2 * e];
  }
}
#else
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
#endif

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
