#include "core/cluster_scores.hpp"

#include <algorithm>
#include <vector>

#ifdef _OPENMP
#include <omp.h>
#endif

namespace korvald::core {

namespace {
constexpr int64_t kClustersPerBlock = 1024;
}

void add_cluster_scores(const double* X, int64_t x_row, int64_t x_col, int64_t K, const double* e,
                        int64_t e_stride, const GroupRanges& clusters, double* B, int64_t b_row, int64_t b_col) {
  if (K <= 0) return;
  const int64_t G = clusters.ngroups;
  const int64_t blocks = (G + kClustersPerBlock - 1) / kClustersPerBlock;
  // Upper triangle of each block's partial sum.
  std::vector<double> partial(static_cast<size_t>(blocks * K * K), 0.0);

#ifdef _OPENMP
#pragma omp parallel if (blocks > 1)
#endif
  {
    std::vector<double> score(static_cast<size_t>(K));
#ifdef _OPENMP
#pragma omp for schedule(dynamic, 1)
#endif
    for (int64_t b = 0; b < blocks; ++b) {
      double* S = partial.data() + b * K * K;
      const int64_t g_end = std::min(G, (b + 1) * kClustersPerBlock);
      for (int64_t g = b * kClustersPerBlock; g < g_end; ++g) {
        std::fill(score.begin(), score.end(), 0.0);
        for (int64_t p = clusters.panel[2 * g]; p <= clusters.panel[2 * g + 1]; ++p) {
          const int64_t i = clusters.order[p];
          const double ei = e[i * e_stride];
          const double* xi = X + i * x_row;
          for (int64_t a = 0; a < K; ++a) score[a] += ei * xi[a * x_col];
        }
        for (int64_t a = 0; a < K; ++a)
          for (int64_t c = a; c < K; ++c) S[a * K + c] += score[a] * score[c];
      }
    }
  }

  for (int64_t a = 0; a < K; ++a)
    for (int64_t c = a; c < K; ++c) {
      double total = 0.0;
      for (int64_t b = 0; b < blocks; ++b) total += partial[b * K * K + a * K + c];
      B[a * b_row + c * b_col] += total;
      if (c != a) B[c * b_row + a * b_col] += total;
    }
}

template <class Code>
static void add_by_code_impl(const Code* codes, const double* values, int64_t n, double* sums) {
  for (int64_t i = 0; i < n; ++i) sums[codes[i]] += values[i];
}

void add_by_code(const int32_t* codes, const double* values, int64_t n, double* sums) {
  add_by_code_impl(codes, values, n, sums);
}

void add_by_code(const int64_t* codes, const double* values, int64_t n, double* sums) {
  add_by_code_impl(codes, values, n, sums);
}

}  // namespace korvald::core
