#include "core/linear_fit.hpp"

#include <algorithm>
#include <cmath>

#include "core/task_team.hpp"

namespace korvald::core {

namespace {
// Rows per partial sum: small enough that each partial sum stays accurate,
// large enough that the bookkeeping is negligible.
constexpr int64_t kChunk = 4096;
// Chunks per task when threads share them, and the fewest rows worth a team.
constexpr int64_t kTaskChunks = 16;
constexpr int64_t kParallelRows = int64_t{1} << 17;

int64_t chunk_count(int64_t n) { return n > 0 ? (n + kChunk - 1) / kChunk : 0; }

// f(lo, hi, c) for the chunks c in [c0, c1) of the n rows, in tasks of
// kTaskChunks chunks (for_row_chunks) shared by up to `threads` threads
// (0: all available) when there are enough rows.
template <class F>
void for_chunks(int64_t n, int64_t c0, int64_t c1, int threads, const F& f) {
  const int64_t first = c0 * kChunk, rows = std::min(n, c1 * kChunk) - first;
  const int size = rows < kParallelRows ? 1 : team_size(threads);
  for_row_chunks(rows, kTaskChunks * kChunk, size, [&](int64_t lo, int64_t hi, int64_t) {
    for (int64_t i = first + lo; i < first + hi; i += kChunk) f(i, std::min(first + hi, i + kChunk), i / kChunk);
  });
}

// The chunk sums part(lo, hi) added in chunk order.
template <class Part>
double chunked_sum(int64_t n, int threads, const Part& part) {
  std::vector<double> parts(static_cast<size_t>(chunk_count(n)));
  for_chunks(n, 0, chunk_count(n), threads, [&](int64_t lo, int64_t hi, int64_t c) { parts[c] = part(lo, hi); });
  double total = 0.0;
  for (double p : parts) total += p;
  return total;
}
}  // namespace

bool all_finite(const double* values, size_t count, int threads) {
  // Accumulating v - v is NaN for NaN and +-inf alike, and lets the compiler
  // vectorize the pass instead of branching per entry: a chunk is finite
  // when its probe stays 0.
  const int64_t n = static_cast<int64_t>(count);
  std::vector<uint8_t> finite(static_cast<size_t>(chunk_count(n)));
  for_chunks(n, 0, chunk_count(n), threads, [&](int64_t lo, int64_t hi, int64_t c) {
    double probe = 0.0;
    for (int64_t i = lo; i < hi; ++i) probe += values[i] - values[i];
    finite[c] = probe == 0.0;
  });
  return std::all_of(finite.begin(), finite.end(), [](uint8_t f) { return f != 0; });
}

void weighted_cross_product(const double* z_nm, int64_t n, int64_t m, int64_t first, const double* w_n,
                            double* out_qq, int threads) {
  const int64_t q = m - first;
  const size_t qq = static_cast<size_t>(q) * static_cast<size_t>(q);
  std::fill(out_qq, out_qq + qq, 0.0);
  // The chunks' sums go in waves, a wave's chunks side by side, and are then
  // added in chunk order; a wave's buffers stay within a few MB (one chunk
  // at a time for a very wide Z).
  const int64_t chunks = chunk_count(n);
  const int64_t per_chunk = std::max<int64_t>(q * q, 1);
  const int64_t wave =
      per_chunk > (int64_t{1} << 16) ? 1 : std::max<int64_t>(kTaskChunks, std::min<int64_t>(512, (int64_t{1} << 19) / per_chunk));
  std::vector<double> parts(static_cast<size_t>(std::min(wave, std::max<int64_t>(chunks, 1))) * qq);
  for (int64_t c0 = 0; c0 < chunks; c0 += wave) {
    const int64_t c1 = std::min(chunks, c0 + wave);
    for_chunks(n, c0, c1, threads, [&](int64_t lo, int64_t hi, int64_t c) {
      double* part = parts.data() + static_cast<size_t>(c - c0) * qq;
      std::fill(part, part + qq, 0.0);
      for (int64_t i = lo; i < hi; ++i) {
        const double* row = z_nm + i * m + first;
        for (int64_t a = 0; a < q; ++a) {
          const double ra = w_n ? row[a] * w_n[i] : row[a];
          double* dst = part + a * q;
          for (int64_t b = a; b < q; ++b) dst[b] += ra * row[b];
        }
      }
    });
    for (int64_t c = c0; c < c1; ++c) {
      const double* part = parts.data() + static_cast<size_t>(c - c0) * qq;
      for (int64_t a = 0; a < q; ++a)
        for (int64_t b = a; b < q; ++b) out_qq[a * q + b] += part[a * q + b];
    }
  }
  for (int64_t a = 0; a < q; ++a)
    for (int64_t b = 0; b < a; ++b) out_qq[a * q + b] = out_qq[b * q + a];
}

void cross_product(const double* z_nm, int64_t n, int64_t m, double* out_mm, int threads) {
  weighted_cross_product(z_nm, n, m, 0, nullptr, out_mm, threads);
}

void partialled_residuals(const double* z_nm, int64_t n, int64_t m, const double* beta, double* resid_n,
                          int threads) {
  for_chunks(n, 0, chunk_count(n), threads, [&](int64_t lo, int64_t hi, int64_t) {
    for (int64_t i = lo; i < hi; ++i) {
      const double* row = z_nm + i * m;
      double fit = 0.0;
      for (int64_t k = 1; k < m; ++k) fit += row[k] * beta[k - 1];
      resid_n[i] = row[0] - fit;
    }
  });
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

double sum_of_squares(const double* a, int64_t n, int64_t stride, int threads) {
  return chunked_sum(n, threads, [&](int64_t lo, int64_t hi) {
    double part = 0.0;
    for (int64_t i = lo; i < hi; ++i) part += a[i * stride] * a[i * stride];
    return part;
  });
}

double sum(const double* a_n, int64_t n, int threads) {
  return chunked_sum(n, threads, [&](int64_t lo, int64_t hi) {
    double part = 0.0;
    for (int64_t i = lo; i < hi; ++i) part += a_n[i];
    return part;
  });
}

double mean(const double* a_n, int64_t n, int threads) { return sum(a_n, n, threads) / static_cast<double>(n); }

double centered_sum_of_squares(const double* a_n, int64_t n, int threads) {
  const double mu = mean(a_n, n, threads);
  return chunked_sum(n, threads, [&](int64_t lo, int64_t hi) {
    double part = 0.0;
    for (int64_t i = lo; i < hi; ++i) {
      const double d = a_n[i] - mu;
      part += d * d;
    }
    return part;
  });
}

}  // namespace korvald::core
