#include "core/demean.hpp"

#include "core/obs_blocks.hpp"
#include "core/task_team.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <type_traits>
#include <atomic>
#include <chrono>
#include <thread>
#include <cmath>
#include <limits>
#include <memory>
#include <new>

#ifdef _OPENMP
#include <omp.h>
#endif

namespace korvald::core {

namespace {

// A hint that the cache line at p is read soon (no effect where the
// compiler offers none).
inline void prefetch(const void* p) {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(p, 0, 3);
#else
  (void)p;
#endif
}

// The pass kernels are compiled for two and three fixed effects (the common
// cases, fully unrolled) and for any count (FC = 0, count known at run time).
// Each runs over the observations [i0, i1) of one block; a sum for fixed
// effect l goes to acc[l][t - shift[l]], t the global group (see obs_blocks.hpp).
template <int FC, bool Weighted>
struct Passes {
  int64_t n;
  int nfe_rt;
  const uint32_t* codes;  // n x nfe
  const double* w;        // n, only read when Weighted

  int nfe() const { return FC ? FC : nfe_rt; }
  double weight(int64_t i) const { return Weighted ? w[i] : 1.0; }

  // acc[block k] = D_k' W (z - sum_{l != k} D_l x_l), z contiguous.
  void gauss_seidel_sums(int k, const double* z, const double* x, int64_t i0, int64_t i1, double* acc,
                         int64_t shift) const {
    const int F = nfe();
    for (int64_t i = i0; i < i1; ++i) {
      const uint32_t* c = codes + i * F;
      double s = z[i];
      for (int l = 0; l < F; ++l)
        if (l != k) s -= x[c[l]];
      acc[c[k] - shift] += Weighted ? w[i] * s : s;
    }
  }

  // q = D'W D p over all blocks.
  void cross_product(const double* p, int64_t i0, int64_t i1, double* const* acc, const int64_t* shift) const {
    const int F = nfe();
    for (int64_t i = i0; i < i1; ++i) {
      const uint32_t* c = codes + i * F;
      double s = 0.0;
      for (int l = 0; l < F; ++l) s += p[c[l]];
      if (Weighted) s *= w[i];
      for (int l = 0; l < F; ++l) acc[l][c[l] - shift[l]] += s;
    }
  }

  // acc[block k] = D_k' W sum_{l in [lo, hi)} D_l u_l.
  void partial_cross(int k, int lo, int hi, const double* u, int64_t i0, int64_t i1, double* acc,
                     int64_t shift) const {
    const int F = nfe();
    for (int64_t i = i0; i < i1; ++i) {
      const uint32_t* c = codes + i * F;
      double s = 0.0;
      for (int l = lo; l < hi; ++l) s += u[c[l]];
      acc[c[k] - shift] += Weighted ? w[i] * s : s;
    }
  }

  // body(g, a, b) for each run [a, b) of pivot group g in [i0, i1), which
  // must hold whole groups of pv, each a run of observations.
  static constexpr int64_t kRowsAhead = 24;
  template <class Body>
  void for_pivot_runs(int pv, int64_t i0, int64_t i1, const Body& body) const {
    const int F = nfe();
    for (int64_t a = i0; a < i1;) {
      const uint32_t g = codes[a * F + pv];
      int64_t b = a + 1;
      while (b < i1 && codes[b * F + pv] == g) ++b;
      // The body waits on scattered group entries; asking now for the codes
      // (and weights) of the runs a little ahead keeps their loads off its
      // path (about 5% on a pass over 10M observations).
      if (b + kRowsAhead < n) {
        prefetch(codes + (b + kRowsAhead) * F);
        prefetch(codes + (b + kRowsAhead) * F + 16);
        if (Weighted) prefetch(w + b + kRowsAhead);
      }
      body(g, a, b);
      a = b;
    }
  }

  // (D_pv'W D v) over the rows [a, b), v's entries for the pivot pv taken as
  // 0 (v does not hold them): the additions partial_cross makes into the pivot.
  double pivot_run_sum(int pv, const double* v, int64_t a, int64_t b) const {
    const int F = nfe();
    double sum = 0.0;
    for (int64_t i = a; i < b; ++i) {
      const uint32_t* c = codes + i * F;
      double s = 0.0;
      for (int l = 0; l < F; ++l) s += l == pv ? 0.0 : v[c[l]];
      sum += Weighted ? w[i] * s : s;
    }
    return sum;
  }

  // acc[l] += D_l'W D v for every l != pv, where v's entries for the pivot pv
  // are -(D_pv'W D v)_g / W_g, the group's weighted mean of D v taken with
  // them at 0 (made here). Each run of a pivot group is read from memory
  // once, for its sum, and again from cache to scatter: the same additions in
  // the same order as partial_cross into the pivot, then cross_product,
  // would make.
  void pivot_schur_product(int pv, const double* v, const double* inv_w, int64_t i0, int64_t i1,
                           double* const* acc, const int64_t* shift) const {
    const int F = nfe();
    for_pivot_runs(pv, i0, i1, [&](uint32_t g, int64_t a, int64_t b) {
      const double vp = -pivot_run_sum(pv, v, a, b) * inv_w[g];
      for (int64_t i = a; i < b; ++i) {
        const uint32_t* c = codes + i * F;
        double s = 0.0;
        for (int l = 0; l < F; ++l) s += l == pv ? vp : v[c[l]];
        if (Weighted) s *= w[i];
        for (int l = 0; l < F; ++l)
          if (l != pv) acc[l][c[l] - shift[l]] += s;
      }
    });
  }

  // The kernels for columns together (pivot_schur_product_columns and the
  // two below it: pivot_schur_product, the right side and pivot_residual for
  // m <= kMaxTogether columns at once). Slot (t - shift[l]) * m + j of V holds column j's entry of v for group t of
  // fixed effect l != pv, and the same slot of acc its sum. A row's scattered
  // entries for all columns then share their cache lines (at 10M rows the
  // misses on the firm entries took about half of a one-column pass), and
  // the data is streamed once for all of them; each column sees the same
  // additions in the same order as alone.
  static constexpr int64_t kMaxTogether = 4;
  // s[j] = column j's D v on the row with codes c, from the slots V, the
  // pivot's entry taken as pivot_entry[j].
  // Slots lie `stride` doubles apart (M: side by side).
  template <int M>
  void slot_row_values(int pv, const uint32_t* c, const double* V, const int64_t* shift, const double* pivot_entry,
                       double* s, int64_t stride = M) const {
    for (int j = 0; j < M; ++j) s[j] = 0.0;
    for (int l = 0; l < nfe(); ++l) {
      if (l == pv) {
        for (int j = 0; j < M; ++j) s[j] += pivot_entry[j];
        continue;
      }
      const double* vl = V + (c[l] - shift[l]) * stride;
      for (int j = 0; j < M; ++j) s[j] += vl[j];
    }
  }
  // sum[j] = (D_pv'W D v)_g for column j over the run [a, b) of pivot group
  // g, v's pivot entries taken as 0: pivot_run_sum for each column.
  template <int M>
  void slot_run_sums(int pv, const double* V, const int64_t* shift, int64_t a, int64_t b, double* sum,
                     int64_t stride = M) const {
    const double zeros[M] = {};
    double s[M];
    for (int j = 0; j < M; ++j) sum[j] = 0.0;
    for (int64_t i = a; i < b; ++i) {
      slot_row_values<M>(pv, codes + i * nfe(), V, shift, zeros, s, stride);
      for (int j = 0; j < M; ++j) sum[j] += Weighted ? w[i] * s[j] : s[j];
    }
  }
  // cp[j] = (D_pv'W z_j)_g over the run [a, b), in the order scatter sums it.
  template <int M>
  void run_weighted_sums(const double* const* z, int64_t z_stride, int64_t a, int64_t b, double* cp) const {
    for (int j = 0; j < M; ++j) {
      cp[j] = 0.0;
      for (int64_t i = a; i < b; ++i) cp[j] += weight(i) * z[j][i * z_stride];
    }
  }

  // V's and acc's slots lie `stride` doubles apart (M: side by side; 2M:
  // each of V's slots followed by its sum, see schur_products).
  template <int M>
  void pivot_schur_product_columns(int pv, const double* V, const double* inv_w, int64_t i0, int64_t i1,
                                   double* acc, const int64_t* shift, int64_t stride = M) const {
    const int F = nfe();
    for_pivot_runs(pv, i0, i1, [&](uint32_t g, int64_t a, int64_t b) {
      double vp[M], s[M];
      slot_run_sums<M>(pv, V, shift, a, b, vp, stride);
      for (int j = 0; j < M; ++j) vp[j] = -vp[j] * inv_w[g];
      for (int64_t i = a; i < b; ++i) {
        const uint32_t* c = codes + i * F;
        slot_row_values<M>(pv, c, V, shift, vp, s, stride);
        if (Weighted)
          for (int j = 0; j < M; ++j) s[j] *= w[i];
        for (int l = 0; l < F; ++l) {
          if (l == pv) continue;
          double* al = acc + (c[l] - shift[l]) * stride;
          for (int j = 0; j < M; ++j) al[j] += s[j];
        }
      }
    });
  }
  // For M columns z[j] (row stride z_stride): the two sums of the Schur
  // right side, C = D_R'W z and S = D_R'W D_p v_p with v_p = -(D_p'W z) / W_p,
  // in local slots side by side as in pivot_schur_product_columns. The
  // pivot's sums are made per run: scatter makes them in place in the same
  // order, and cross_product over v (zero but for v_p) the same rows' terms.
  template <int M>
  void pivot_right_sides(int pv, const double* const* z, int64_t z_stride, const double* inv_w, int64_t i0,
                         int64_t i1, double* C, double* S, const int64_t* shift, int64_t stride = M) const {
    const int F = nfe();
    for_pivot_runs(pv, i0, i1, [&](uint32_t g, int64_t a, int64_t b) {
      double vp[M];
      run_weighted_sums<M>(z, z_stride, a, b, vp);
      for (int j = 0; j < M; ++j) vp[j] = -vp[j] * inv_w[g];
      for (int64_t i = a; i < b; ++i) {
        const uint32_t* c = codes + i * F;
        for (int j = 0; j < M; ++j) {
          const double zi = weight(i) * z[j][i * z_stride];
          double s = 0.0;
          for (int l = 0; l < F; ++l) s += l == pv ? vp[j] : 0.0;
          if (Weighted) s *= w[i];
          for (int l = 0; l < F; ++l) {
            if (l == pv) continue;
            const int64_t at = (c[l] - shift[l]) * stride + j;
            C[at] += zi;
            S[at] += s;
          }
        }
      }
    });
  }

  // pivot_residual for M columns: V holds their solutions for the other
  // fixed effects (local slots side by side), and the pivot's D_p'W z is
  // summed per run as scatter sums it.
  template <int M>
  void pivot_residuals(int pv, const double* V, const double* inv_w, const double* const* z, int64_t z_stride,
                       double* const* out, int64_t out_stride, int64_t i0, int64_t i1, const int64_t* shift) const {
    for_pivot_runs(pv, i0, i1, [&](uint32_t g, int64_t a, int64_t b) {
      double cp[M], xp[M], fitted[M];
      run_weighted_sums<M>(z, z_stride, a, b, cp);
      slot_run_sums<M>(pv, V, shift, a, b, xp);
      for (int j = 0; j < M; ++j) xp[j] = (cp[j] - xp[j]) * inv_w[g];
      for (int64_t i = a; i < b; ++i) {
        slot_row_values<M>(pv, codes + i * nfe(), V, shift, xp, fitted);
        for (int j = 0; j < M; ++j) out[j][i * out_stride] = z[j][i * z_stride] - fitted[j];
      }
    });
  }

  // out = z - D x, where x is v but for the pivot's entries: x_g =
  // (c_g - (D_pv'W D v)_g) / W_g, v's pivot entries taken as 0. The same
  // operations in the same order as partial_cross into the pivot, then
  // residual, would make.
  void pivot_residual(int pv, const double* v, const double* c_sums, const double* inv_w, const double* z,
                      int64_t z_stride, double* out, int64_t out_stride, int64_t i0, int64_t i1) const {
    const int F = nfe();
    for_pivot_runs(pv, i0, i1, [&](uint32_t g, int64_t a, int64_t b) {
      const double xp = (c_sums[g] - pivot_run_sum(pv, v, a, b)) * inv_w[g];
      for (int64_t i = a; i < b; ++i) {
        const uint32_t* c = codes + i * F;
        double fitted = 0.0;
        for (int l = 0; l < F; ++l) fitted += l == pv ? xp : v[c[l]];
        out[i * out_stride] = z[i * z_stride] - fitted;
      }
    });
  }

  // acc += D'W z.
  void scatter(const double* z, int64_t z_stride, int64_t i0, int64_t i1, double* const* acc,
               const int64_t* shift) const {
    const int F = nfe();
    for (int64_t i = i0; i < i1; ++i) {
      const uint32_t* c = codes + i * F;
      const double v = weight(i) * z[i * z_stride];
      for (int l = 0; l < F; ++l) acc[l][c[l] - shift[l]] += v;
    }
  }

  // out = z - D x.
  void residual(const double* z, int64_t z_stride, const double* x, double* out, int64_t out_stride, int64_t i0,
                int64_t i1) const {
    const int F = nfe();
    for (int64_t i = i0; i < i1; ++i) {
      const uint32_t* c = codes + i * F;
      double fitted = 0.0;
      for (int l = 0; l < F; ++l) fitted += x[c[l]];
      out[i * out_stride] = z[i * z_stride] - fitted;
    }
  }
};

// What the solvers need to know about the column before iterating.
struct ColumnScale {
  bool varies = false;  // some entry differs from the first
  double scale = 0.0;   // ||z - zbar||_w, or ||z||_w when that is 0
};

// Block by block, the block totals added in block order. The m columns z[j]
// (row stride z_stride) go through the same two passes, each with its own
// totals, one after the other within a block: a row-major matrix's block
// then comes from memory for the first column and from cache for the
// others. Every column's scale is the one it gets alone.
template <bool Weighted>
void column_scales(const double* const* z, int64_t z_stride, int64_t m, const double* w, const ObsBlocks& ob,
                   TaskTeam* team, ColumnScale* out) {
  struct Part {
    bool varies = false, finite = true;
    double sum_w = 0.0, sum_wz = 0.0, zmax = 0.0, ss_dev = 0.0, ss_raw = 0.0;
  };
  const int64_t B = ob.count();
  std::vector<Part> parts(static_cast<size_t>(B * m));  // block b, column j at b * m + j
  on_team(team, B, [&](int64_t b) {
    for (int64_t j = 0; j < m; ++j) {
      const double* zj = z[j];
      const double z0 = zj[0];
      bool varies = false, finite = true;
      double sum_w = 0.0, sum_wz = 0.0, zmax = 0.0;
      for (int64_t i = ob.start[b]; i < ob.start[b + 1]; ++i) {
        const double zi = zj[i * z_stride];
        const double wi = Weighted ? w[i] : 1.0;
        varies |= (zi != z0);  // NaN compares unequal, so it counts as variation
        finite &= std::isfinite(zi);
        sum_w += wi;
        sum_wz += wi * zi;
        zmax = std::max(zmax, std::fabs(zi));
      }
      Part& pt = parts[b * m + j];
      pt.varies = varies;
      pt.finite = finite;
      pt.sum_w = sum_w;
      pt.sum_wz = sum_wz;
      pt.zmax = zmax;
    }
  });
  // Per column: the first pass's totals, and what its second pass needs.
  std::vector<double> mean(static_cast<size_t>(m)), inv(static_cast<size_t>(m));
  std::vector<char> second(static_cast<size_t>(m), 0);
  for (int64_t j = 0; j < m; ++j) {
    ColumnScale& cs = out[j];
    cs = ColumnScale();
    bool finite = true;
    double sum_w = 0.0, sum_wz = 0.0, zmax = 0.0;
    for (int64_t b = 0; b < B; ++b) {
      const Part& pt = parts[b * m + j];
      cs.varies |= pt.varies;
      finite &= pt.finite;
      sum_w += pt.sum_w;
      sum_wz += pt.sum_wz;
      zmax = std::max(zmax, pt.zmax);
    }
    if (!cs.varies) continue;
    if (!finite) {
      cs.scale = std::numeric_limits<double>::quiet_NaN();
      continue;
    }
    // Second pass around the mean, scaled by max|z| so the squares cannot overflow.
    mean[j] = sum_w > 0 ? sum_wz / sum_w : 0.0;
    inv[j] = 1.0 / zmax;  // zmax > 0: the column varies
    cs.scale = zmax;      // times the root below
    second[j] = 1;
  }
  if (std::find(second.begin(), second.end(), 1) == second.end()) return;
  on_team(team, B, [&](int64_t b) {
    for (int64_t j = 0; j < m; ++j) {
      if (!second[j]) continue;
      const double* zj = z[j];
      double ss_dev = 0.0, ss_raw = 0.0;
      for (int64_t i = ob.start[b]; i < ob.start[b + 1]; ++i) {
        const double zi = zj[i * z_stride] * inv[j];
        const double d = zi - mean[j] * inv[j];
        const double wi = Weighted ? w[i] : 1.0;
        ss_dev += wi * d * d;
        ss_raw += wi * zi * zi;
      }
      parts[b * m + j].ss_dev = ss_dev;
      parts[b * m + j].ss_raw = ss_raw;
    }
  });
  for (int64_t j = 0; j < m; ++j) {
    if (!second[j]) continue;
    double ss_dev = 0.0, ss_raw = 0.0;
    for (int64_t b = 0; b < B; ++b) {
      ss_dev += parts[b * m + j].ss_dev;
      ss_raw += parts[b * m + j].ss_raw;
    }
    out[j].scale = out[j].scale * std::sqrt(ss_dev > 0 ? ss_dev : ss_raw);
  }
}

template <bool Weighted>
ColumnScale column_scale(const double* z, int64_t z_stride, const double* w, const ObsBlocks& ob, TaskTeam* team) {
  ColumnScale cs;
  column_scales<Weighted>(&z, z_stride, 1, w, ob, team, &cs);
  return cs;
}

double dot(const double* a, const double* b, int64_t len) {
  double s = 0.0;
  for (int64_t t = 0; t < len; ++t) s += a[t] * b[t];
  return s;
}

// Loops over coefficient vectors (a million workers' worth on big panels),
// shared by the team in fixed chunks when the data is blocked: sums are
// chunk totals added in chunk order, so they too are the same for every
// thread count. Unblocked data keeps plain loops.
struct VecOps {
  static constexpr int64_t kChunk = int64_t{1} << 15;
  bool chunked = false;
  TaskTeam* team = nullptr;

  // f(lo, hi) over [begin, end).
  template <class F>
  void each(int64_t begin, int64_t end, const F& f) const {
    const int64_t len = end - begin;
    if (!chunked || !team || len <= kChunk) {
      f(begin, end);
      return;
    }
    const int64_t nchunks = (len + kChunk - 1) / kChunk;
    team->run(nchunks, [&](int64_t c) { f(begin + c * kChunk, std::min(end, begin + (c + 1) * kChunk)); });
  }

  double dot(const double* a, const double* b, int64_t len) const {
    if (!chunked || len <= kChunk) return core::dot(a, b, len);
    const int64_t nchunks = (len + kChunk - 1) / kChunk;
    double part_inline[64];
    std::vector<double> part_heap;
    double* part = part_inline;
    if (nchunks > 64) {
      part_heap.resize(static_cast<size_t>(nchunks));
      part = part_heap.data();
    }
    on_team(team, nchunks, [&](int64_t c) {
      const int64_t lo = c * kChunk, hi = std::min(len, lo + kChunk);
      part[c] = core::dot(a + lo, b + lo, hi - lo);
    });
    double s = 0.0;
    for (int64_t c = 0; c < nchunks; ++c) s += part[c];
    return s;
  }
};

// sqrt(g' M^-1 g) from rho = g' M^-1 g; a NaN stays NaN.
double cg_criterion(double rho) { return std::isnan(rho) ? rho : std::sqrt(std::max(rho, 0.0)); }

// Preconditioned CG from x = 0 on a positive semi-definite system A x = b of
// length len; g holds b (the residual at x = 0) on entry. apply(p, q) sets
// q = A p in one pass; precondition(g, u) sets u = M^-1 g and returns the
// passes it took. scale is the column's (a non-finite one stops at once);
// report.threshold must be set, the rest of report is updated here.
//
// measure(g, rho) returns the stopping quantity for the residual g, rho =
// g' M^-1 g: by default sqrt(rho), the criterion of the symmetric sweep when M
// is that sweep. A solver preconditioned otherwise measures its residual by
// the sweep's norm all the same, so every solver stops at the same accuracy.
template <class Precondition, class Measure>
class CgRun {
 public:
  CgRun(int64_t len, double* x, double* g, double* u, double* p, double* q, const Precondition& precondition,
        const Measure& measure, double scale, const DemeanOptions& options, ColumnReport& report,
        const VecOps& vec)
      : len_(len), x_(x), g_(g), u_(u), p_(p), q_(q), precondition_(precondition), measure_(measure),
        scale_(scale), options_(options), report_(report), vec_(vec) {
    report_.passes += precondition_(g_, u_);
    rho_ = vec_.dot(g_, u_, len_);
    std::copy(u_, u_ + len_, p_);
    report_.criterion = measure_(g_, rho_);
  }

  // Whether the run wants another product q = A p (false once it stopped).
  bool wants_step() {
    if (!std::isfinite(report_.criterion) || !std::isfinite(scale_)) return false;
    if (it_ >= options_.min_iter && report_.criterion <= report_.threshold) {
      report_.converged = true;
      return false;
    }
    // Exactly solved (for instance a column orthogonal to every dummy).
    if (rho_ <= 0.0) {
      report_.converged = report_.criterion <= report_.threshold;
      return false;
    }
    if (it_ >= options_.max_iter) return false;
    interrupt_poll(options_.interrupt);
    return true;
  }

  // One step from q = A p; false on a breakdown (rounding on a converged
  // system, or NaN), which stops the run.
  bool step() {
    report_.passes += 1;
    const double pq = vec_.dot(p_, q_, len_);
    if (!(pq > 0.0)) return false;
    const double alpha = rho_ / pq;
    vec_.each(0, len_, [&](int64_t lo, int64_t hi) {
      for (int64_t t = lo; t < hi; ++t) {
        x_[t] += alpha * p_[t];
        g_[t] -= alpha * q_[t];
      }
    });
    report_.passes += precondition_(g_, u_);
    const double rho_next = vec_.dot(g_, u_, len_);
    const double beta = rho_next / rho_;
    rho_ = rho_next;
    vec_.each(0, len_, [&](int64_t lo, int64_t hi) {
      for (int64_t t = lo; t < hi; ++t) p_[t] = u_[t] + beta * p_[t];
    });
    ++it_;
    report_.iterations = it_;
    report_.criterion = measure_(g_, rho_);
    return true;
  }

  const double* direction() const { return p_; }
  double* product() const { return q_; }

 private:
  int64_t len_;
  double *x_, *g_, *u_, *p_, *q_;
  const Precondition& precondition_;
  const Measure& measure_;
  double scale_;
  const DemeanOptions& options_;
  ColumnReport& report_;
  const VecOps& vec_;
  double rho_ = 0.0;
  int64_t it_ = 0;
};

// Preconditioned CG from x = 0 on a positive semi-definite system A x = b of
// length len; g holds b (the residual at x = 0) on entry. apply(p, q) sets
// q = A p in one pass; precondition(g, u) sets u = M^-1 g and returns the
// passes it took. scale is the column's (a non-finite one stops at once);
// report.threshold must be set, the rest of report is updated here.
//
// measure(g, rho) returns the stopping quantity for the residual g, rho =
// g' M^-1 g: by default sqrt(rho), the criterion of the symmetric sweep when M
// is that sweep. A solver preconditioned otherwise measures its residual by
// the sweep's norm all the same, so every solver stops at the same accuracy.
// (CgRun is the same iteration taken one step at a time.)
template <class Apply, class Precondition, class Measure>
void preconditioned_cg(int64_t len, double* x, double* g, double* u, double* p, double* q, const Apply& apply,
                       const Precondition& precondition, const Measure& measure, double scale,
                       const DemeanOptions& options, ColumnReport& report, const VecOps& vec) {
  CgRun<Precondition, Measure> run(len, x, g, u, p, q, precondition, measure, scale, options, report, vec);
  while (run.wants_step()) {
    apply(p, q);
    if (!run.step()) break;
  }
}

template <class Apply, class Precondition>
void preconditioned_cg(int64_t len, double* x, double* g, double* u, double* p, double* q, const Apply& apply,
                       const Precondition& precondition, double scale, const DemeanOptions& options,
                       ColumnReport& report, const VecOps& vec = VecOps()) {
  preconditioned_cg(len, x, g, u, p, q, apply, precondition,
                    [](const double*, double rho) { return cg_criterion(rho); }, scale, options, report, vec);
}

template <int FC, bool Weighted>
class ColumnSolver {
 public:
  ColumnSolver(const GroupIndex& index, const ObsBlocks& blocks, TaskTeam* team, const double* w,
               const double* weight_g, const double* inv_weight_g, const PivotLayout* pivot = nullptr,
               const PivotSchur* schur = nullptr)
      : pass_{index.n, index.nfe, index.codes_nk.data(), w},
        blocks_(blocks),
        team_(blocks.single() || !team || team->size() < 2 ? nullptr : team),
        pivot_(pivot),
        schur_(schur),
        offset_(index.offset.data()),
        total_(index.total_groups()),
        weight_g_(weight_g),
        inv_weight_g_(inv_weight_g) {}

  ColumnReport alternating(const double* z_in, int64_t z_stride, double* out, int64_t out_stride,
                           const DemeanOptions& options, Scratch& scratch) const {
    const int64_t n = pass_.n;
    const int F = pass_.nfe();
    ColumnReport report;
    ColumnScale cs;
    if (!begin_column(z_in, z_stride, out, out_stride, options, report, cs)) return report;

    double* z = allocate(scratch, n + 2 * total_);
    double* x = z + n;
    double* acc = x + total_;
    // The sweeps read the column many times: give them a contiguous copy.
    on_team(team_, blocks_.count(), [&](int64_t b) {
      for (int64_t i = blocks_.start[b]; i < blocks_.start[b + 1]; ++i) z[i] = z_in[i * z_stride];
    });
    std::fill(x, x + total_, 0.0);

    for (int64_t it = 1; it <= options.max_iter; ++it) {
      interrupt_poll(options.interrupt);
      double change = 0.0;
      for (int k = 0; k < F; ++k) {
        const int64_t lo = offset_[k], hi = offset_[k + 1];
        std::fill(acc + lo, acc + hi, 0.0);
        gauss_seidel_sums(k, z, x, acc);
        double norm2 = 0.0;
        for (int64_t g = lo; g < hi; ++g) {
          const double updated = acc[g] * inv_weight_g_[g];
          const double d = updated - x[g];
          norm2 += weight_g_[g] * d * d;
          x[g] = updated;
        }
        change += std::sqrt(norm2);
      }
      report.passes += F;
      report.iterations = it;
      report.criterion = change;
      if (!std::isfinite(change) || !std::isfinite(cs.scale)) break;
      if (F == 1) {
        // One projection is exact: a further sweep changes nothing.
        report.criterion = 0.0;
        report.converged = true;
        break;
      }
      if (it >= options.min_iter && change <= report.threshold) {
        report.converged = true;
        break;
      }
    }
    residual(z, 1, x, out, out_stride);
    report.passes += 1;
    return report;
  }

  ColumnReport conjugate_gradient(const double* z, int64_t z_stride, double* out, int64_t out_stride,
                                  const DemeanOptions& options, Scratch& scratch) const {
    const int64_t n = pass_.n;
    const int F = pass_.nfe();
    ColumnReport report;
    ColumnScale cs;
    if (!begin_column(z, z_stride, out, out_stride, options, report, cs)) return report;

    const int64_t T = total_;
    double* x = allocate(scratch, 6 * T);
    double* g = x + T;
    double* u = g + T;
    double* p = u + T;
    double* q = p + T;
    double* acc = q + T;

    // g = D'W z: the residual of the normal equations at x = 0.
    scatter(z, z_stride, g);
    report.passes += 1;

    if (F == 1) {
      // The preconditioner is the exact inverse: one step solves the system.
      for (int64_t t = 0; t < T; ++t) x[t] = g[t] * inv_weight_g_[t];
      report.iterations = 1;
      report.converged = std::isfinite(cs.scale);
      report.criterion = report.converged ? 0.0 : cs.scale;
      residual(z, z_stride, x, out, out_stride);
      report.passes += 1;
      return report;
    }

    const VecOps vec = vec_ops();
    auto apply = [&](const double* v, double* Av) {
      vec.each(0, T, [&](int64_t lo, int64_t hi) { std::fill(Av + lo, Av + hi, 0.0); });
      cross_product(v, Av);
    };
    auto sweep = [&](const double* res, double* Mres) { return precondition(res, Mres, acc); };
    preconditioned_cg(T, x, g, u, p, q, apply, sweep, cs.scale, options, report, vec);
    residual(z, z_stride, x, out, out_stride);
    report.passes += 1;
    return report;
  }

  // Two fixed effects: CG on the Schur complement of the other fixed effect
  // after exact elimination of the pivot, S y = b with
  //   S = W_o - A_op W_p^-1 A_po,  b = c_o - A_op W_p^-1 c_p,
  // preconditioned by S's diagonal. At x_p = W_p^-1 (c_p - A_po y) the full
  // residual is (0, r), so sqrt(r' W_o^-1 r) is the criterion sqrt(g' M^-1 g)
  // of the symmetric sweep (pivot first), by which it stops.
  template <bool UnitCells>
  ColumnReport schur_cg(const double* z, int64_t z_stride, double* out, int64_t out_stride,
                        const DemeanOptions& options, Scratch& scratch) const {
    const int64_t n = pass_.n;
    ColumnReport report;
    ColumnScale cs;
    if (!begin_column(z, z_stride, out, out_stride, options, report, cs)) return report;

    const PivotLayout& L = *pivot_;
    const int64_t T = total_;
    const int64_t op = offset_[L.pivot], oo = offset_[L.other];
    const int64_t Gp = offset_[L.pivot + 1] - op, Go = offset_[L.other + 1] - oo;
    const std::vector<int64_t>& gs = L.group_start;
    const int64_t GB = static_cast<int64_t>(gs.size()) - 1;
    const bool blocked = GB > 1;
    const int64_t own = 2 * T + 4 * Go + (blocked ? (team_ ? GB : 1) * Go : 0);
    double* c = allocate(scratch, own);  // D'Wz, global numbering
    double* x = c + T;           // coefficients, global numbering
    double* r = x + T;
    double* u = r + Go;
    double* p = u + Go;
    double* q = p + Go;
    const double* cp = c + op;
    const double* co = c + oo;
    double* xp = x + op;
    double* y = x + oo;
    const double* Wo = weight_g_ + oo;
    const double* inv_Wp = inv_weight_g_ + op;
    const double* inv_Wo = inv_weight_g_ + oo;
    const int64_t* row = L.row.data();
    const uint32_t* col = L.column.data();
    const double* cell = L.weight.data();
    // Unweighted designs without repeated cells skip reading the cell weights.
    auto cw = [cell](int64_t e) { return UnitCells ? 1.0 : cell[e]; };

    double* own_priv = q + Go;
    // dst -= the sums body(g, acc) subtracts into acc, over every pivot group:
    // in place for one block, else per block of pivot groups, added in block order.
    auto pivot_sums = [&](double* dst, const auto& body) {
      if (!blocked) {
        for (int64_t g = 0; g < Gp; ++g) body(g, dst);
        return;
      }
      auto run = [&](int64_t b, double* acc) {
        std::fill(acc, acc + Go, 0.0);
        for (int64_t g = gs[b]; g < gs[b + 1]; ++g) body(g, acc);
      };
      if (!team_) {
        for (int64_t b = 0; b < GB; ++b) {
          run(b, own_priv);
          for (int64_t t = 0; t < Go; ++t) dst[t] += own_priv[t];
        }
        return;
      }
      team_->run(GB, [&](int64_t b) { run(b, own_priv + b * Go); });
      const int64_t chunk = 4096, nchunks = (Go + chunk - 1) / chunk;
      team_->run(nchunks, [&](int64_t ch) {
        const int64_t lo = ch * chunk, hi = std::min(Go, lo + chunk);
        for (int64_t b = 0; b < GB; ++b) {
          const double* acc = own_priv + b * Go;
          for (int64_t t = lo; t < hi; ++t) dst[t] += acc[t];
        }
      });
    };

    scatter(z, z_stride, c);
    // r = b - S*0 = c_o - A_op W_p^-1 c_p
    std::copy(co, co + Go, r);
    pivot_sums(r, [&](int64_t g, double* acc) {
      const double t = cp[g] * inv_Wp[g];
      for (int64_t e = row[g]; e < row[g + 1]; ++e) acc[col[e]] -= cw(e) * t;
    });
    report.passes += 2;

    // S v: per pivot group, gather its cells, then scatter back.
    auto apply = [&](const double* v, double* Sv) {
      for (int64_t t = 0; t < Go; ++t) Sv[t] = Wo[t] * v[t];
      pivot_sums(Sv, [&](int64_t g, double* acc) {
        const int64_t lo = row[g], hi = row[g + 1];
        double s = 0.0;
        for (int64_t e = lo; e < hi; ++e) s += cw(e) * v[col[e]];
        const double t = s * inv_Wp[g];
        for (int64_t e = lo; e < hi; ++e) acc[col[e]] -= cw(e) * t;
      });
    };
    const double* inv_diag = L.inv_schur_diag.data();
    auto scale_by_diagonal = [&](const double* res, double* Mres) {
      for (int64_t t = 0; t < Go; ++t) Mres[t] = res[t] * inv_diag[t];
      return int64_t{0};
    };
    auto measure = [&](const double* res, double) {
      double sum = 0.0;
      for (int64_t t = 0; t < Go; ++t) sum += res[t] * res[t] * inv_Wo[t];
      return std::isnan(sum) ? sum : std::sqrt(sum);
    };
    preconditioned_cg(Go, y, r, u, p, q, apply, scale_by_diagonal, measure, cs.scale, options, report, VecOps());
    // Back-substitute the pivot: x_p = W_p^-1 (c_p - A_po y).
    on_team(team_, GB, [&](int64_t b) {
      for (int64_t g = gs[b]; g < gs[b + 1]; ++g) {
        double s = 0.0;
        for (int64_t e = row[g]; e < row[g + 1]; ++e) s += cw(e) * y[col[e]];
        xp[g] = (cp[g] - s) * inv_Wp[g];
      }
    });
    residual(z, z_stride, x, out, out_stride);
    report.passes += 2;
    return report;
  }

  // The pivot_schur_cg family's pieces. Global vectors of the passes: v
  // (the vector multiplied) and sums (what a pass adds up).
  struct SchurWork {
    double* v;
    double* sums;
  };
  int64_t others() const {
    const int pv = schur_->pivot;
    return total_ - (offset_[pv + 1] - offset_[pv]);
  }
  // Global group t of another fixed effect is local t - shift(t).
  int64_t local_of(int64_t t) const {
    const int pv = schur_->pivot;
    return t < offset_[pv] ? t : t - (offset_[pv + 1] - offset_[pv]);
  }
  void zero(double* a, int64_t lo, int64_t hi) const {
    vec_ops().each(lo, hi, [&](int64_t l, int64_t h) { std::fill(a + l, a + h, 0.0); });
  }
  void to_global(const double* loc, double* glob) const {
    const int pv = schur_->pivot;
    const VecOps vec = vec_ops();
    vec.each(0, offset_[pv], [&](int64_t l, int64_t h) { std::copy(loc + l, loc + h, glob + l); });
    vec.each(offset_[pv + 1], total_,
             [&](int64_t l, int64_t h) { std::copy(loc + local_of(l), loc + local_of(h - 1) + 1, glob + l); });
  }
  void to_local(const double* glob, double* loc) const {
    const int pv = schur_->pivot;
    const VecOps vec = vec_ops();
    vec.each(0, offset_[pv], [&](int64_t l, int64_t h) { std::copy(glob + l, glob + h, loc + l); });
    vec.each(offset_[pv + 1], total_,
             [&](int64_t l, int64_t h) { std::copy(glob + l, glob + h, loc + local_of(l)); });
  }

  // c = D'Wz (c zero on entry) and the right side g = c_R - B' W_p^-1 c_p,
  // the pivot's share of D'Wz pushed to the others (local).
  void schur_right_side(const double* z, int64_t z_stride, double* c, const SchurWork& work, double* g,
                        ColumnReport& report) const {
    const int pv = schur_->pivot;
    const int64_t T = total_, p0 = offset_[pv], p1 = offset_[pv + 1];
    const double* iw = inv_weight_g_;
    const VecOps vec = vec_ops();
    double* v = work.v;
    double* sums = work.sums;
    scatter(z, z_stride, c);
    zero(v, 0, T);
    vec.each(p0, p1, [&](int64_t lo, int64_t hi) {
      for (int64_t t = lo; t < hi; ++t) v[t] = -c[t] * iw[t];
    });
    zero(sums, 0, T);
    cross_product(v, sums);
    vec.each(0, T, [&](int64_t lo, int64_t hi) {
      for (int64_t t = lo; t < hi; ++t) sums[t] += c[t];
    });
    to_local(sums, g);
    report.passes += 2;
  }

  // Sp = S p (local): the pivot's weighted means of D_R p first, then D'W of
  // D_R p less those means.
  void schur_product(const double* pin, double* Sp, const SchurWork& work, ColumnReport& report) const {
    const int pv = schur_->pivot;
    const int64_t T = total_, p0 = offset_[pv], p1 = offset_[pv + 1];
    const double* iw = inv_weight_g_;
    double* v = work.v;
    double* sums = work.sums;
    to_global(pin, v);
    if (schur_->pivot_runs) {
      zero(sums, 0, p0);
      zero(sums, p1, T);
      pivot_schur_product(pv, v, sums);
      to_local(sums, Sp);
      return;  // the one pass the CG step counts
    }
    zero(v, p0, p1);
    zero(sums, p0, p1);
    partial_cross(pv, 0, pass_.nfe(), v, sums);
    vec_ops().each(p0, p1, [&](int64_t lo, int64_t hi) {
      for (int64_t t = lo; t < hi; ++t) v[t] = -sums[t] * iw[t];
    });
    zero(sums, 0, T);
    cross_product(v, sums);
    to_local(sums, Sp);
    report.passes += 1;  // with the one the CG step counts
  }

  auto schur_precondition() const {
    return [this](const double* res, double* Mres) {
      const double* inv_diag = schur_->inv_diag.data();
      vec_ops().each(0, others(), [&](int64_t lo, int64_t hi) {
        for (int64_t a = lo; a < hi; ++a) Mres[a] = res[a] * inv_diag[a];
      });
      schur_->aggregates.solve(res, Mres);
      return int64_t{0};
    };
  }

  // sqrt(g' M^-1 g) for g = (0, r), M the symmetric sweep with the pivot
  // first: h = (B + L)^-1 g by one forward sweep over the others, then ||h||_B.
  double schur_measure(const double* res, const SchurWork& work, ColumnReport& report) const {
    const int pv = schur_->pivot;
    const int F = pass_.nfe();
    const double* iw = inv_weight_g_;
    double* v = work.v;
    double* sums = work.sums;
    zero(v, 0, total_);
    double sum = 0.0;
    bool first = true;
    for (int k = 0; k < F; ++k) {
      if (k == pv) continue;
      const int64_t lo = offset_[k], hi = offset_[k + 1];
      const double* r = res + local_of(lo);
      if (first) {
        for (int64_t t = lo; t < hi; ++t) v[t] = r[t - lo] * iw[t];
        first = false;
      } else if (schur_->tabulated) {
        std::fill(sums + lo, sums + hi, 0.0);
        const int64_t Gk = hi - lo;
        for (const auto& [l, table] : schur_->cross[k]) {
          const int64_t l0 = offset_[l], Gl = offset_[l + 1] - l0;
          for (int64_t b = 0; b < Gl; ++b) {
            const double vb = v[l0 + b];
            if (vb == 0.0) continue;
            const double* row = table.data() + b * Gk;
            for (int64_t a = 0; a < Gk; ++a) sums[lo + a] += row[a] * vb;
          }
        }
        for (int64_t t = lo; t < hi; ++t) v[t] = (r[t - lo] - sums[t]) * iw[t];
      } else {
        zero(sums, lo, hi);
        partial_cross(k, 0, k, v, sums);
        report.passes += 1;
        vec_ops().each(lo, hi, [&](int64_t l, int64_t h) {
          for (int64_t t = l; t < h; ++t) v[t] = (r[t - lo] - sums[t]) * iw[t];
        });
      }
      for (int64_t t = lo; t < hi; ++t) sum += weight_g_[t] * v[t] * v[t];
    }
    return std::isnan(sum) ? sum : std::sqrt(std::max(sum, 0.0));
  }

  // Back-substitutes the pivot, x_p = W_p^-1 (c_p - B y), and writes
  // out = z - D x.
  void schur_back_substitute(const double* y, const double* c, const double* z, int64_t z_stride, double* out,
                             int64_t out_stride, const SchurWork& work, ColumnReport& report) const {
    const int pv = schur_->pivot;
    const int64_t p0 = offset_[pv], p1 = offset_[pv + 1];
    const double* iw = inv_weight_g_;
    double* v = work.v;
    double* sums = work.sums;
    to_global(y, v);
    if (schur_->pivot_runs) {
      on_team(team_, blocks_.count(), [&](int64_t b) {
        pass_.pivot_residual(pv, v, c, iw, z, z_stride, out, out_stride, blocks_.start[b], blocks_.start[b + 1]);
      });
      report.passes += 1;
      return;
    }
    zero(v, p0, p1);
    zero(sums, p0, p1);
    partial_cross(pv, 0, pass_.nfe(), v, sums);
    vec_ops().each(p0, p1, [&](int64_t lo, int64_t hi) {
      for (int64_t t = lo; t < hi; ++t) v[t] = (c[t] - sums[t]) * iw[t];
    });
    residual(z, z_stride, v, out, out_stride);
    report.passes += 2;
  }

  // Three or more fixed effects: CG on the Schur complement of the others
  // after exact elimination of the pivot (see PivotSchur), without forming
  // it: S v = D_R'W (D_R v - D_p W_p^-1 D_p'W D_R v) costs two passes over the
  // observations. Preconditioned by S's diagonal, which follows the groups
  // that sweeps leave nearly isolated (a firm whose weight sits on a few
  // workers' rows: its row of S is tiny next to its group weight); measured
  // by the symmetric sweep with the pivot first, like the reduced system.
  // The passes use vectors in global numbering with the pivot's entries held
  // at 0, CG local ones (the others' groups in fixed-effect order, a few
  // percent of the length on worker-firm panels).
  ColumnReport pivot_schur_cg(const double* z, int64_t z_stride, double* out, int64_t out_stride,
                              const DemeanOptions& options, Scratch& scratch) const {
    ColumnReport report;
    ColumnScale cs;
    if (!begin_column(z, z_stride, out, out_stride, options, report, cs)) return report;

    const int64_t T = total_, R = others();
    double* c = allocate(scratch, 3 * T + 5 * R);  // D'Wz
    SchurWork work{c + T, c + 2 * T};
    double* y = c + 3 * T;
    double* g = y + R;
    double* u = g + R;
    double* p = u + R;
    double* q = p + R;
    const VecOps vec = vec_ops();
    schur_right_side(z, z_stride, c, work, g, report);

    // Sp = S p: the pivot's weighted means of D_R p first, then D'W of D_R p
    // less those means.
    auto apply = [&](const double* pin, double* Sp) { schur_product(pin, Sp, work, report); };
    auto measure = [&](const double* res, double) { return schur_measure(res, work, report); };
    std::fill(y, y + R, 0.0);
    preconditioned_cg(R, y, g, u, p, q, apply, schur_precondition(), measure, cs.scale, options, report, vec);
    schur_back_substitute(y, c, z, z_stride, out, out_stride, work, report);
    return report;
  }

  // pivot_schur_cg for the m columns z[j] (stride z_stride) into out[j]
  // (stride out_stride), their CG runs in step: each step's products S p
  // for every column still running come from one pass over the observations
  // (pivot_schur_product_columns), and so do the columns' scales, right
  // sides and back-substitutions. Each column's result and report are
  // exactly what pivot_schur_cg gives it alone. Only for a pivot whose groups
  // are runs of observations.
  void pivot_schur_cg_together(const double* const* z, int64_t z_stride, double* const* out, int64_t out_stride,
                               int64_t m, const DemeanOptions& options, Scratch& scratch,
                               ColumnReport* reports) const {
    const int64_t T = total_, R = others();
    const int64_t M = std::min<int64_t>(m, Passes<FC, Weighted>::kMaxTogether);
    // The criterion's pass vectors, one column after the other; each
    // column's CG vectors; R x M slots for the passes that serve all columns
    // (V and Q: the steps' products, the right sides' two sums, the
    // solutions); the block sums of those passes.
    double* pass_vectors = allocate(scratch, 2 * T + 7 * R * M + 2 * R * M * together_buffers());
    SchurWork work{pass_vectors, pass_vectors + T};
    double* cg_vectors = pass_vectors + 2 * T;
    double* V = cg_vectors + 5 * R * M;
    double* Q = V + R * M;
    double* block_sums = Q + R * M;
    const VecOps vec = vec_ops();
    auto precondition = schur_precondition();
    ColumnReport* current = nullptr;  // the column measure is called for
    auto measure = [&](const double* res, double) { return schur_measure(res, work, *current); };
    using Run = CgRun<decltype(precondition), decltype(measure)>;
    // Slots side by side <-> one column's local vector.
    auto put = [&](const double* from, int64_t k, int64_t ms, double* slots) {
      vec.each(0, R, [&](int64_t lo, int64_t hi) {
        for (int64_t r = lo; r < hi; ++r) slots[r * ms + k] = from[r];
      });
    };
    auto take = [&](const double* slots, int64_t k, int64_t ms, double* to) {
      vec.each(0, R, [&](int64_t lo, int64_t hi) {
        for (int64_t r = lo; r < hi; ++r) to[r] = slots[r * ms + k];
      });
    };

    for (int64_t j0 = 0; j0 < m; j0 += M) {
      const int64_t mc = std::min(M, m - j0);
      std::vector<std::optional<Run>> runs(static_cast<size_t>(mc));
      std::vector<ColumnScale> scales(static_cast<size_t>(mc));
      std::vector<int64_t> started;  // columns with variation
      column_scales<Weighted>(z + j0, z_stride, mc, pass_.w, blocks_, team_, scales.data());
      for (int64_t j = 0; j < mc; ++j) {
        reports[j0 + j] = ColumnReport();
        if (begin_scaled_column(out[j0 + j], out_stride, options, reports[j0 + j], scales[j])) started.push_back(j);
      }
      const int64_t ns = static_cast<int64_t>(started.size());
      if (ns == 0) continue;
      std::vector<const double*> zs(static_cast<size_t>(ns));
      std::vector<double*> outs(static_cast<size_t>(ns));
      for (int64_t k = 0; k < ns; ++k) {
        zs[k] = z[j0 + started[k]];
        outs[k] = out[j0 + started[k]];
      }

      // Right sides g = S + C (V and Q hold C and S here).
      right_sides(zs.data(), z_stride, ns, V, Q, block_sums);
      std::vector<bool> running(static_cast<size_t>(mc), false);
      for (int64_t k = 0; k < ns; ++k) {
        const int64_t j = started[k];
        double* y = cg_vectors + 5 * R * j;
        double* g = y + R;
        vec.each(0, R, [&](int64_t lo, int64_t hi) {
          for (int64_t r = lo; r < hi; ++r) g[r] = Q[r * ns + k] + V[r * ns + k];
        });
        reports[j0 + j].passes += 2;
        std::fill(y, y + R, 0.0);
        current = &reports[j0 + j];
        runs[j].emplace(R, y, g, g + R, g + 2 * R, g + 3 * R, precondition, measure, scales[j].scale, options,
                        reports[j0 + j], vec);
        running[j] = true;
      }

      std::vector<int64_t> stepping;
      while (true) {
        stepping.clear();
        for (int64_t j = 0; j < mc; ++j) {
          if (!running[j]) continue;
          current = &reports[j0 + j];
          running[j] = runs[j]->wants_step();
          if (running[j]) stepping.push_back(j);
        }
        if (stepping.empty()) break;
        const int64_t ms = static_cast<int64_t>(stepping.size());
        for (int64_t k = 0; k < ms; ++k) put(runs[stepping[k]]->direction(), k, ms, V);
        schur_products(V, ms, Q, block_sums);
        for (int64_t k = 0; k < ms; ++k) {
          take(Q, k, ms, runs[stepping[k]]->product());
          current = &reports[j0 + stepping[k]];
          if (!runs[stepping[k]]->step()) running[stepping[k]] = false;
        }
      }

      // Back-substitution of the pivot, all columns in one pass.
      for (int64_t k = 0; k < ns; ++k) {
        put(cg_vectors + 5 * R * started[k], k, ns, V);
        reports[j0 + started[k]].passes += 1;
      }
      residuals(V, ns, zs.data(), z_stride, outs.data(), out_stride);
    }
  }

  // CG on the reduced system S y = b of reduced_system.hpp, preconditioned
  // by the factor of S + shift. The criterion is the symmetric sweep's (see
  // demean.hpp); it is checked on the recomputed residual b - S y before
  // stopping, and a breakdown (rounding once the system is solved) restarts
  // from that residual, so a stop never rests on the recursion alone.
  // diverged: the criterion grew far beyond its best value or stalled (S
  // computed from weights spanning many orders of magnitude can lose its
  // definiteness to rounding); the caller then solves the column by the
  // sweeps instead.
  ColumnReport reduced_cg(const double* z, int64_t z_stride, double* out, int64_t out_stride,
                          const DemeanOptions& options, Scratch& scratch, const ReducedSystem& rs,
                          const ReducedFactor& factor, bool& diverged) const {
    diverged = false;
    const int64_t n = pass_.n;
    ColumnReport report;
    ColumnScale cs;
    if (!begin_column(z, z_stride, out, out_stride, options, report, cs)) return report;

    const ReducedLayout& rl = *rs.layout;
    const int64_t T = total_, R = rl.nr;
    const int nb = static_cast<int>(rl.others.size());
    const int64_t op = offset_[rl.pivot];
    const int64_t Gp = static_cast<int64_t>(rs.w_pivot.size());
    double* c = allocate(scratch, 2 * T + 9 * R);  // D'Wz, global numbering
    double* x = c + T;           // coefficients, global numbering
    double* b = x + T;
    double* y = b + R;
    double* r = y + R;
    double* u = r + R;
    double* p = u + R;
    double* q = p + R;
    double* v = q + R;
    double* work = v + R;  // 2 R
    const double* cp = c + op;

    scatter(z, z_stride, c);
    for (int k = 0; k < nb; ++k) {
      const int64_t o = offset_[rl.others[k]];
      for (int64_t a = rl.block[k]; a < rl.block[k + 1]; ++a) b[a] = c[o + a - rl.block[k]];
    }
    for (int64_t g = 0; g < Gp; ++g) {
      const double t = cp[g] * rs.inv_w_pivot[g];
      for (int64_t e = rs.b_row[g]; e < rs.b_row[g + 1]; ++e) b[rs.b_col[e]] -= rs.b_val[e] * t;
    }
    report.passes += 2;

    // sqrt(g' M^-1 g) for g = (0, r), M the symmetric sweep with the pivot first.
    auto criterion = [&](const double* res) {
      double sum = 0.0;
      for (int k = 0; k < nb; ++k) {
        const int64_t lo = rl.block[k], hi = rl.block[k + 1];
        for (int64_t a = lo; a < hi; ++a) {
          double s = res[a];
          for (int64_t e = rs.c_row[a]; e < rs.c_row[a + 1]; ++e)
            if (rs.c_col[e] < lo) s -= rs.c_val[e] * v[rs.c_col[e]];
          v[a] = s * rs.inv_w_r[a];
          sum += rs.w_r[a] * v[a] * v[a];
        }
      }
      return std::isnan(sum) ? sum : std::sqrt(sum);
    };
    auto true_residual = [&]() {
      reduced_multiply(rs, y, q);
      for (int64_t a = 0; a < R; ++a) r[a] = b[a] - q[a];
      report.passes += 1;
    };

    std::copy(b, b + R, r);
    int64_t it = 0;
    bool fresh = true;  // r was just recomputed from y, not by the recursion
    double rho = 0.0;
    auto restart = [&]() {
      factor.solve(r, u, work);
      report.passes += 1;
      rho = dot(r, u, R);
      std::copy(u, u + R, p);
    };
    restart();
    report.criterion = criterion(r);
    double best = report.criterion;
    int64_t best_at = 0;
    while (true) {
      if (!std::isfinite(report.criterion) || !std::isfinite(cs.scale)) {
        diverged = std::isfinite(cs.scale);
        break;
      }
      if (report.criterion < best) {
        best = report.criterion;
        best_at = it;
      }
      // A near-exact preconditioner gains orders of magnitude per step: growth,
      // or no new best for many steps, means it has stopped helping.
      if (report.criterion > report.threshold && (report.criterion > 1e3 * best || it - best_at > 50)) {
        diverged = true;
        break;
      }
      if (it >= options.min_iter && report.criterion <= report.threshold) {
        if (fresh) {
          report.converged = true;
          break;
        }
        true_residual();
        fresh = true;
        restart();
        report.criterion = criterion(r);
        continue;
      }
      if (it >= options.max_iter) break;
      if (!(rho > 0.0)) {
        // Nothing left that CG can reduce.
        report.converged = report.criterion <= report.threshold;
        break;
      }
      interrupt_poll(options.interrupt);

      reduced_multiply(rs, p, q);
      report.passes += 1;
      const double pq = dot(p, q, R);
      if (!(pq > 0.0)) {
        if (fresh) break;  // no progress possible from an exact residual
        true_residual();
        fresh = true;
        restart();
        report.criterion = criterion(r);
        continue;
      }
      const double alpha = rho / pq;
      for (int64_t a = 0; a < R; ++a) {
        y[a] += alpha * p[a];
        r[a] -= alpha * q[a];
      }
      factor.solve(r, u, work);
      report.passes += 1;
      const double rho_next = dot(r, u, R);
      const double beta = rho_next / rho;
      rho = rho_next;
      for (int64_t a = 0; a < R; ++a) p[a] = u[a] + beta * p[a];
      ++it;
      fresh = false;
      report.iterations = it;
      report.criterion = criterion(r);
    }

    // A diverged solve with iterations left is started over by the caller
    // from z: out may be z itself, so it stays unwritten.
    if (diverged && report.iterations < options.max_iter) return report;

    // Back-substitute the pivot: x_p = W_p^-1 (c_p - B y).
    for (int k = 0; k < nb; ++k) {
      const int64_t o = offset_[rl.others[k]];
      for (int64_t a = rl.block[k]; a < rl.block[k + 1]; ++a) x[o + a - rl.block[k]] = y[a];
    }
    for (int64_t g = 0; g < Gp; ++g) {
      double s = 0.0;
      for (int64_t e = rs.b_row[g]; e < rs.b_row[g + 1]; ++e) s += rs.b_val[e] * y[rs.b_col[e]];
      x[op + g] = (cp[g] - s) * rs.inv_w_pivot[g];
    }
    residual(z, z_stride, x, out, out_stride);
    report.passes += 2;
    return report;
  }

 private:
  // u = M^-1 g for the symmetric block Gauss-Seidel splitting
  // M = (B + L) B^-1 (B + U) of A = D'WD (B its block diagonal = group
  // weights). Forward sweep over the fixed effects, then backward. Returns
  // the number of passes over the observations.
  int64_t precondition(const double* g, double* u, double* acc) const {
    const int F = pass_.nfe();
    const VecOps vec = vec_ops();
    const double* iw = inv_weight_g_;
    vec.each(offset_[0], offset_[1], [&](int64_t lo, int64_t hi) {
      for (int64_t t = lo; t < hi; ++t) u[t] = g[t] * iw[t];
    });
    for (int k = 1; k < F; ++k) {
      vec.each(offset_[k], offset_[k + 1], [&](int64_t lo, int64_t hi) { std::fill(acc + lo, acc + hi, 0.0); });
      partial_cross(k, 0, k, u, acc);
      vec.each(offset_[k], offset_[k + 1], [&](int64_t lo, int64_t hi) {
        for (int64_t t = lo; t < hi; ++t) u[t] = (g[t] - acc[t]) * iw[t];
      });
    }
    for (int k = F - 2; k >= 0; --k) {
      vec.each(offset_[k], offset_[k + 1], [&](int64_t lo, int64_t hi) { std::fill(acc + lo, acc + hi, 0.0); });
      partial_cross(k, k + 1, F, u, acc);
      vec.each(offset_[k], offset_[k + 1], [&](int64_t lo, int64_t hi) {
        for (int64_t t = lo; t < hi; ++t) u[t] -= acc[t] * iw[t];
      });
    }
    return 2 * (F - 1);
  }

  // A column without variation is its own mean: its residual is exactly 0.
  // The column's scale sets the stopping threshold. A column without
  // variation is answered at once (residual 0, report filled): false then.
  bool begin_column(const double* z, int64_t z_stride, double* out, int64_t out_stride,
                    const DemeanOptions& options, ColumnReport& report, ColumnScale& cs) const {
    cs = scale_of(z, z_stride);
    return begin_scaled_column(out, out_stride, options, report, cs);
  }
  // begin_column for a column whose scale is known.
  bool begin_scaled_column(double* out, int64_t out_stride, const DemeanOptions& options, ColumnReport& report,
                           const ColumnScale& cs) const {
    report.passes = 2;
    if (!cs.varies) {
      report = constant_column(out, out_stride, report);
      return false;
    }
    report.threshold = options.tol * cs.scale;
    return true;
  }

  ColumnReport constant_column(double* out, int64_t out_stride, ColumnReport report) const {
    for (int64_t i = 0; i < pass_.n; ++i) out[i * out_stride] = 0.0;
    report.passes = 1;
    report.converged = true;
    return report;
  }

  // Private block accumulators: one for a single thread (each block is
  // added in as soon as it is done), one per block otherwise.
  size_t private_len() const {
    if (blocks_.single()) return 0;
    return static_cast<size_t>((team_ ? blocks_.count() : 1) * blocks_.private_len);
  }
  // scratch = `len` doubles of the solver's own, then the private accumulators.
  double* allocate(Scratch& scratch, int64_t len) const {
    scratch.assign(static_cast<size_t>(len) + private_len(), 0.0);
    priv_ = scratch.data() + len;
    return scratch.data();
  }

  // acc[t] += the sums `kernel(i0, i1, targets, shifts)` makes for the groups
  // t of fixed effects [k_lo, k_hi), block by block; see obs_blocks.hpp.
  template <class Kernel>
  void blocked_sums(int k_lo, int k_hi, double* acc, const Kernel& kernel) const {
    const ObsBlocks& ob = blocks_;
    const int F = pass_.nfe();
    if (ob.single()) {
      double* targets[kInlineFe];
      int64_t shifts[kInlineFe] = {};
      if (F <= kInlineFe) {
        for (int l = 0; l < F; ++l) targets[l] = acc;
        kernel(int64_t{0}, pass_.n, targets, shifts);
        return;
      }
    }
    const int64_t B = ob.count();
    const bool one_buffer = !team_ || ob.single();
    std::vector<double*> targets(static_cast<size_t>(B * F));
    std::vector<int64_t> shifts(static_cast<size_t>(F), 0);
    for (int l = 0; l < F; ++l) shifts[l] = ob.in_place(l) ? 0 : ob.shift[l];
    for (int64_t b = 0; b < B; ++b)
      for (int l = 0; l < F; ++l)
        targets[b * F + l] = ob.in_place(l) ? acc : priv_ + (one_buffer ? 0 : b * ob.private_len);
    auto run = [&](int64_t b) {
      for (int l = k_lo; l < k_hi; ++l)
        if (!ob.in_place(l)) {
          double* p = targets[b * F + l] - shifts[l];
          std::fill(p + offset_[l], p + offset_[l + 1], 0.0);
        }
      kernel(ob.start[b], ob.start[b + 1], targets.data() + b * F, shifts.data());
    };
    if (one_buffer) {
      for (int64_t b = 0; b < B; ++b) {
        run(b);
        if (ob.single()) continue;
        for (int l = k_lo; l < k_hi; ++l) {
          if (ob.in_place(l)) continue;
          const double* p = priv_ - shifts[l];
          for (int64_t t = offset_[l]; t < offset_[l + 1]; ++t) acc[t] += p[t];
        }
      }
      return;
    }
    on_team(team_, B, run);
    // Block sums in block order, for every group: the same additions, in the
    // same order, as the single-thread loop above.
    for (int l = k_lo; l < k_hi; ++l) {
      if (ob.in_place(l)) continue;
      const int64_t t0 = offset_[l], t1 = offset_[l + 1];
      const int64_t chunk = 4096, nchunks = (t1 - t0 + chunk - 1) / chunk;
      const double* base = priv_ - shifts[l];
      on_team(team_, nchunks, [&](int64_t c) {
        const int64_t lo = t0 + c * chunk, hi = std::min(t1, lo + chunk);
        for (int64_t b = 0; b < B; ++b) {
          const double* p = base + b * ob.private_len;
          for (int64_t t = lo; t < hi; ++t) acc[t] += p[t];
        }
      });
    }
  }

  VecOps vec_ops() const {
    VecOps vec;
    vec.chunked = !blocks_.single();
    vec.team = team_;
    return vec;
  }

  ColumnScale scale_of(const double* z, int64_t z_stride) const {
    return column_scale<Weighted>(z, z_stride, pass_.w, blocks_, team_);
  }
  // acc += D'W z.
  void scatter(const double* z, int64_t z_stride, double* acc) const {
    blocked_sums(0, pass_.nfe(), acc, [&](int64_t i0, int64_t i1, double* const* t, const int64_t* sh) {
      pass_.scatter(z, z_stride, i0, i1, t, sh);
    });
  }
  // q += D'W D p.
  void cross_product(const double* p, double* q) const {
    blocked_sums(0, pass_.nfe(), q, [&](int64_t i0, int64_t i1, double* const* t, const int64_t* sh) {
      pass_.cross_product(p, i0, i1, t, sh);
    });
  }
  void pivot_schur_product(int pv, const double* v, double* sums) const {
    blocked_sums(0, pass_.nfe(), sums, [&](int64_t i0, int64_t i1, double* const* t, const int64_t* sh) {
      pass_.pivot_schur_product(pv, v, inv_weight_g_, i0, i1, t, sh);
    });
  }
  // Block sums the columns-together passes keep at a time: one per thread.
  int64_t together_buffers() const { return team_ ? team_->size() : 1; }
  // Local slot of group t of fixed effect l != pivot: t - shift[l].
  std::vector<int64_t> local_shifts() const {
    const int pv = schur_->pivot;
    std::vector<int64_t> shift(static_cast<size_t>(pass_.nfe()), 0);
    for (int l = pv + 1; l < pass_.nfe(); ++l) shift[l] = offset_[pv + 1] - offset_[pv];
    return shift;
  }
  // f(std::integral_constant<int, m>) for m = 1 .. kMaxTogether.
  template <class F>
  static void with_columns(int64_t m, const F& f) {
    switch (m) {
      case 1: return f(std::integral_constant<int, 1>());
      case 2: return f(std::integral_constant<int, 2>());
      case 3: return f(std::integral_constant<int, 3>());
      default: return f(std::integral_constant<int, 4>());
    }
  }
  // outs[k] (len each, zeroed here) = the sums kernel(i0, i1, acc) adds into
  // its `parts` accumulators acc[k], as blocked_sums makes them for a fixed
  // effect summed privately: each block from zero, then added in block
  // order. The blocks go in waves of one per thread, each wave's sums added
  // as it ends, so only together_buffers() blocks' sums (parts x len each)
  // exist at a time, in `block_sums`. The pivot's own sums are the kernel's
  // affair (it is summed in place, run by run).
  //
  // With slot > 0 (len a multiple of it), a block's parts are interleaved
  // slot by slot instead: slot r of part p at (r * parts + p) * slot, so that
  // the kernel, given a stride of parts * slot, updates all parts of a group
  // in the same cache lines. Each sum's additions and their order are the
  // same either way.
  template <class Kernel>
  void sums_together(int64_t len, int parts, double* const* outs, double* block_sums, const Kernel& kernel,
                     int64_t slot = 0) const {
    const ObsBlocks& ob = blocks_;
    for (int k = 0; k < parts; ++k) zero(outs[k], 0, len);
    if (ob.single()) {
      kernel(int64_t{0}, pass_.n, outs);
      return;
    }
    const int64_t B = ob.count(), wave = together_buffers();
    // Where part p of block k's sums starts.
    auto base = [&](int64_t k, int p) { return slot > 0 ? k * parts * len + p * slot : (k * parts + p) * len; };
    for (int64_t b0 = 0; b0 < B; b0 += wave) {
      const int64_t nb = std::min(wave, B - b0);
      on_team(team_, nb, [&](int64_t k) {
        double* acc[2];
        std::fill(block_sums + k * parts * len, block_sums + (k + 1) * parts * len, 0.0);
        for (int p = 0; p < parts; ++p) acc[p] = block_sums + base(k, p);
        kernel(ob.start[b0 + k], ob.start[b0 + k + 1], acc);
      });
      // Chunks of whole slots (a slot of 1 when not interleaved).
      const int64_t width = slot > 0 ? slot : 1, step = slot > 0 ? parts * slot : 1;
      const int64_t slots = len / width, chunk = 4096, nchunks = (slots + chunk - 1) / chunk;
      on_team(team_, nchunks, [&](int64_t c) {
        const int64_t lo = c * chunk, hi = std::min(slots, lo + chunk);
        for (int p = 0; p < parts; ++p)
          for (int64_t k = 0; k < nb; ++k) {
            const double* acc = block_sums + base(k, p);
            for (int64_t r = lo; r < hi; ++r)
              for (int64_t j = 0; j < width; ++j) outs[p][r * width + j] += acc[r * step + j];
          }
      });
    }
  }
  // Q = the products S p of the m columns of V (R x m, local slots side by
  // side, see pivot_schur_product_columns).
  //
  // In blocks, each block's buffer holds every slot of V followed by the
  // slot of its sum: a row's scattered read of V and update of the sum then
  // share their cache lines (at 10M rows the slots no longer fit in a core's
  // cache, and the pass waits on them). Each sum gets the same additions in
  // the same order, and the blocks' sums are added in block order, as
  // sums_together adds them.
  void schur_products(const double* V, int64_t m, double* Q, double* block_sums) const {
    const std::vector<int64_t> shift = local_shifts();
    const int64_t R = others(), len = R * m;
    const ObsBlocks& ob = blocks_;
    auto product = [&](const double* v, double* acc, int64_t stride, int64_t i0, int64_t i1) {
      with_columns(m, [&](auto M) {
        pass_.template pivot_schur_product_columns<decltype(M)::value>(schur_->pivot, v, inv_weight_g_, i0, i1, acc,
                                                                        shift.data(), stride);
      });
    };
    zero(Q, 0, len);
    if (ob.single()) {
      product(V, Q, m, 0, pass_.n);
      return;
    }
    const int64_t B = ob.count(), wave = together_buffers(), stride = 2 * m;
    for (int64_t b0 = 0; b0 < B; b0 += wave) {
      const int64_t nb = std::min(wave, B - b0);
      on_team(team_, nb, [&](int64_t k) {
        double* buf = block_sums + k * 2 * len;
        for (int64_t r = 0; r < R; ++r)
          for (int64_t j = 0; j < m; ++j) {
            buf[r * stride + j] = V[r * m + j];
            buf[r * stride + m + j] = 0.0;
          }
        product(buf, buf + m, stride, ob.start[b0 + k], ob.start[b0 + k + 1]);
      });
      const int64_t chunk = 4096, nchunks = (R + chunk - 1) / chunk;
      on_team(team_, nchunks, [&](int64_t c) {
        const int64_t lo = c * chunk, hi = std::min(R, lo + chunk);
        for (int64_t k = 0; k < nb; ++k) {
          const double* sums = block_sums + k * 2 * len + m;
          for (int64_t r = lo; r < hi; ++r)
            for (int64_t j = 0; j < m; ++j) Q[r * m + j] += sums[r * stride + j];
        }
      });
    }
  }
  // C = D_R'W z and S = D_R'W D_p v_p for the m columns z (see
  // pivot_right_sides): the right side is S + C.
  void right_sides(const double* const* z, int64_t z_stride, int64_t m, double* C, double* S,
                   double* block_sums) const {
    const std::vector<int64_t> shift = local_shifts();
    double* outs[2] = {C, S};
    // In blocks, each group's slots of C and S sit side by side (see sums_together).
    const int64_t stride = blocks_.single() ? m : 2 * m;
    sums_together(
        others() * m, 2, outs, block_sums,
        [&](int64_t i0, int64_t i1, double* const* acc) {
          with_columns(m, [&](auto M) {
            pass_.template pivot_right_sides<decltype(M)::value>(schur_->pivot, z, z_stride, inv_weight_g_, i0, i1,
                                                                  acc[0], acc[1], shift.data(), stride);
          });
        },
        m);
  }
  // out = z - D x for the m columns z, from their solutions V for the other
  // fixed effects (see pivot_residuals).
  void residuals(const double* V, int64_t m, const double* const* z, int64_t z_stride, double* const* out,
                 int64_t out_stride) const {
    const std::vector<int64_t> shift = local_shifts();
    on_team(team_, blocks_.count(), [&](int64_t b) {
      with_columns(m, [&](auto M) {
        pass_.template pivot_residuals<decltype(M)::value>(schur_->pivot, V, inv_weight_g_, z, z_stride, out,
                                                            out_stride, blocks_.start[b], blocks_.start[b + 1],
                                                            shift.data());
      });
    });
  }
  void partial_cross(int k, int lo, int hi, const double* u, double* acc) const {
    blocked_sums(k, k + 1, acc, [&](int64_t i0, int64_t i1, double* const* t, const int64_t* sh) {
      pass_.partial_cross(k, lo, hi, u, i0, i1, t[k], sh[k]);
    });
  }
  void gauss_seidel_sums(int k, const double* z, const double* x, double* acc) const {
    blocked_sums(k, k + 1, acc, [&](int64_t i0, int64_t i1, double* const* t, const int64_t* sh) {
      pass_.gauss_seidel_sums(k, z, x, i0, i1, t[k], sh[k]);
    });
  }
  void residual(const double* z, int64_t z_stride, const double* x, double* out, int64_t out_stride) const {
    on_team(team_, blocks_.count(), [&](int64_t b) {
      pass_.residual(z, z_stride, x, out, out_stride, blocks_.start[b], blocks_.start[b + 1]);
    });
  }

  static constexpr int kInlineFe = 8;
  Passes<FC, Weighted> pass_;
  const ObsBlocks& blocks_;
  TaskTeam* team_;  // null: one thread
  mutable double* priv_ = nullptr;
  const PivotLayout* pivot_;
  const PivotSchur* schur_;
  const int64_t* offset_;
  int64_t total_;
  const double* weight_g_;
  const double* inv_weight_g_;
};

}  // namespace

namespace {
std::atomic<int64_t> g_max_cross_table{int64_t{1} << 21};

// Where an observation's updates land in a run's buffer of build_pivot_schur:
// diagonal entry diag_base[j] + c[others[j]] * diag_stride[j] gets the share,
// table cell cell_base[e] + c[row_fe[e]] * row_len[e] + c[col_fe[e]] the weight.
struct PivotShares {
  int pivot = 0;
  std::vector<int> others, row_fe, col_fe;
  std::vector<int64_t> diag_base, diag_stride, cell_base, row_len;
};

// The shares of the observations [i0, i1) added into acc, observation by
// observation. NO and NC fix the counts of others and of cells at compile
// time (-1: as counted at run time): with them fixed, the few offsets live
// in registers and the loop waits on its scattered updates alone (on
// worker-firm panels about twice as fast as over the run-time counts). The
// additions are the same, in the same order, either way.
template <int NO, int NC>
void add_pivot_shares(const PivotShares& ps, const uint32_t* codes, int F, const double* w, const double* inv_weight_g,
                      int64_t i0, int64_t i1, double* acc) {
  const int pivot = ps.pivot;
  if constexpr (NO < 0 || NC < 0) {
    for (int64_t i = i0; i < i1; ++i) {
      const uint32_t* c = codes + i * F;
      const double wi = w ? w[i] : 1.0;
      const double share = wi * wi * inv_weight_g[c[pivot]];
      for (size_t j = 0; j < ps.others.size(); ++j) acc[ps.diag_base[j] + c[ps.others[j]] * ps.diag_stride[j]] += share;
      for (size_t e = 0; e < ps.cell_base.size(); ++e) acc[ps.cell_base[e] + c[ps.row_fe[e]] * ps.row_len[e] + c[ps.col_fe[e]]] += wi;
    }
  } else {
    std::array<int, NO> other;
    std::array<int64_t, NO> diag_base, diag_stride;
    std::array<int, NC> row_fe, col_fe;
    std::array<int64_t, NC> cell_base, row_len;
    for (int j = 0; j < NO; ++j) other[j] = ps.others[j], diag_base[j] = ps.diag_base[j], diag_stride[j] = ps.diag_stride[j];
    for (int e = 0; e < NC; ++e)
      row_fe[e] = ps.row_fe[e], col_fe[e] = ps.col_fe[e], cell_base[e] = ps.cell_base[e], row_len[e] = ps.row_len[e];
    for (int64_t i = i0; i < i1; ++i) {
      const uint32_t* c = codes + i * F;
      const double wi = w ? w[i] : 1.0;
      const double share = wi * wi * inv_weight_g[c[pivot]];
      for (int j = 0; j < NO; ++j) acc[diag_base[j] + c[other[j]] * diag_stride[j]] += share;
      for (int e = 0; e < NC; ++e) acc[cell_base[e] + c[row_fe[e]] * row_len[e] + c[col_fe[e]]] += wi;
    }
  }
}
}  // namespace

int64_t set_max_cross_table(int64_t cells) { return g_max_cross_table.exchange(std::max<int64_t>(cells, 0)); }
int64_t max_cross_table() { return g_max_cross_table.load(); }

Projector::Projector(const GroupIndex& index, const std::vector<GroupRanges>& ranges, const double* weights,
                     DemeanMethod method, const ReducedSystem* reduced, const ReducedFactor* factor, int threads)
    : index_(index), weights_(weights), blocks_(plan_obs_blocks(index)) {
  const bool use_reduced = reduced && factor && method == DemeanMethod::conjugate_gradient;
  if (use_reduced) {
    reduced_ = reduced;
    factor_ = factor;
  }
  const int64_t T = index.total_groups();
  weight_g_.assign(static_cast<size_t>(T), 0.0);
  const int F = index.nfe;
  const uint32_t* codes = index.codes_nk.data();
  // Helpers for the set-up passes over large data, started by the first pass that uses them.
  std::unique_ptr<TaskTeam> team;
  const int size = team_size(threads);
  const bool threaded = size > 1 && !blocks_.single();
  auto helpers = [&]() -> TaskTeam* {
    if (threaded && !team) team = std::make_unique<TaskTeam>(size);
    return team.get();
  };
  // With the reduced system the group weights only serve the sweeps a diverging column falls back to.
  if (F == 2 && method == DemeanMethod::conjugate_gradient && !use_reduced) {
    // Group weights are summed while the cross-tabulation is built.
    build_cross_tab(ranges);
  } else if (use_reduced && static_cast<int>(reduced->layout->others.size()) + 1 == F &&
             static_cast<int64_t>(reduced->w_pivot.size()) == index.groups(reduced->layout->pivot) &&
             static_cast<int64_t>(reduced->w_r.size()) == T - index.groups(reduced->layout->pivot)) {
    // The reduced system summed the group weights already.
    const ReducedLayout& rl = *reduced->layout;
    const int64_t op = index.offset[rl.pivot];
    std::copy(reduced->w_pivot.begin(), reduced->w_pivot.end(), weight_g_.begin() + op);
    for (size_t k = 0; k < rl.others.size(); ++k) {
      const int64_t o = index.offset[rl.others[k]];
      for (int64_t a = rl.block[k]; a < rl.block[k + 1]; ++a) weight_g_[o + a - rl.block[k]] = reduced->w_r[a];
    }
  } else if (!weights && static_cast<int>(ranges.size()) == F) {
    // Unweighted, a group's weight is its size.
    group_sizes_from_ranges(index, ranges, weight_g_.data());
  } else if (threaded) {
    // One fixed effect per task: its groups are disjoint from the others',
    // so each group still sums its weights in observation order.
    double* weight_g = weight_g_.data();
    helpers()->run(F, [&](int64_t l) {
      for (int64_t i = 0; i < index.n; ++i) weight_g[codes[i * F + l]] += weights ? weights[i] : 1.0;
    });
  } else {
    for (int64_t i = 0; i < index.n; ++i) {
      const double wi = weights ? weights[i] : 1.0;
      for (int l = 0; l < F; ++l) weight_g_[codes[i * F + l]] += wi;
    }
  }
  inv_weight_g_.resize(static_cast<size_t>(T));
  // A group without weight carries no information: its coefficient stays 0.
  for (int64_t t = 0; t < T; ++t) inv_weight_g_[t] = weight_g_[t] > 0 ? 1.0 / weight_g_[t] : 0.0;
  if (F >= 3 && method == DemeanMethod::conjugate_gradient && !use_reduced) build_pivot_schur(helpers());
}

void Projector::build_pivot_schur(TaskTeam* team) {
  const GroupIndex& index = index_;
  const int F = index.nfe;
  int pivot = 0;
  for (int k = 1; k < F; ++k)
    if (index.groups(k) > index.groups(pivot)) pivot = k;
  std::vector<int> others;
  for (int k = 0; k < F; ++k)
    if (k != pivot) others.push_back(k);

  // Dense cross-tabulations between the other fixed effects, when all are small.
  const int64_t kMaxTable = max_cross_table();
  bool small = true;
  for (size_t j = 1; j < others.size(); ++j)
    for (size_t i = 0; i < j; ++i)
      small = small && index.groups(others[i]) * index.groups(others[j]) <= kMaxTable;
  schur_.cross.assign(static_cast<size_t>(F), {});
  if (small)
    for (size_t j = 1; j < others.size(); ++j)
      for (size_t i = 0; i < j; ++i)
        schur_.cross[others[j]].emplace_back(
            others[i],
            LargeVector<double>(static_cast<size_t>(index.groups(others[i]) * index.groups(others[j])), 0.0));
  schur_.tabulated = small;

  // S_aa = W_a - sum over pivot groups g of B_ga^2 / W_g. Each observation is
  // counted as a cell of its own here, which is exact when no pivot group
  // has two observations in one group a (each worker-year in another firm)
  // and otherwise gives a larger value: still a positive diagonal, so still
  // a valid preconditioner; the stopping rule does not depend on it. The
  // tables are summed in the same pass.
  //
  // The observations go in a few runs of consecutive blocks (obs_blocks.hpp;
  // few, since every run's buffer spans all the others' groups and table
  // cells): each run sums its part of the diagonals' subtractions and of the
  // cells from zero, in observation order, into a buffer of its own, and the
  // runs' sums then go in run after run. The runs depend on the data alone,
  // so the sums are the same for every thread count; runs go side by side in
  // waves of the team's size.
  LargeVector<double> diag(weight_g_);
  const uint32_t* codes = index.codes_nk.data();
  const double* w = weights_;
  // A run's buffer: the others' groups (local numbering, fixed-effect
  // order), then every table's cells. A single table (three fixed effects:
  // firm x year) sits inside its row effect's groups instead, each group's
  // diagonal entry followed by its row of cells: an observation's two
  // scattered updates (diagonal and cell) then share their cache lines (on
  // large panels the buffer no longer fits in a core's cache). Each entry
  // gets the same additions in the same order either way.
  std::vector<int64_t> diag_at(static_cast<size_t>(F), 0), diag_stride(static_cast<size_t>(F), 1);
  std::vector<std::vector<int64_t>> table_at(static_cast<size_t>(F));
  int table_count = 0, table_row = -1, table_col = -1;
  for (int k : others)
    for (auto& entry : schur_.cross[k]) {
      ++table_count;
      table_row = entry.first;
      table_col = k;
    }
  const bool inline_table = table_count == 1;
  int64_t len = 0, inline_cells = 0;  // where the single table's first cell sits
  for (int k : others) {
    const int64_t stride = inline_table && k == table_row ? 1 + index.groups(table_col) : 1;
    if (inline_table && k == table_row) inline_cells = len + 1;
    diag_stride[k] = stride;
    diag_at[k] = len - index.offset[k] * stride;
    len += index.groups(k) * stride;
  }
  for (int k : others)
    for (size_t j = 0; j < schur_.cross[k].size(); ++j) {
      if (inline_table) {
        table_at[k].push_back(inline_cells);
      } else {
        table_at[k].push_back(len);
        len += static_cast<int64_t>(schur_.cross[k][j].second.size());
      }
    }
  // At most four runs, and no more than the blocks' accumulators may take.
  const int64_t blocks = blocks_.count();
  const int64_t runs = std::max<int64_t>(
      1, std::min({blocks, int64_t{4}, kMaxPrivateBytes / (std::max<int64_t>(len, 1) * int64_t{sizeof(double)})}));
  auto run_start = [&](int64_t r) { return blocks_.start[r * blocks / runs]; };
  const int64_t wave = std::min<int64_t>(team ? team->size() : 1, runs);
  LargeVector<double> part(static_cast<size_t>(wave * len));
  PivotShares ps;
  ps.pivot = pivot;
  ps.others = others;
  for (int k : others) {
    ps.diag_base.push_back(diag_at[k]);
    ps.diag_stride.push_back(diag_stride[k]);
    const int64_t Gk = index.groups(k);
    for (size_t j = 0; j < schur_.cross[k].size(); ++j) {
      const int l = schur_.cross[k][j].first;
      const int64_t row_len = inline_table ? diag_stride[l] : Gk;
      ps.cell_base.push_back(table_at[k][j] - index.offset[l] * row_len - index.offset[k]);
      ps.row_len.push_back(row_len);
      ps.row_fe.push_back(l);
      ps.col_fe.push_back(k);
    }
  }
  const size_t nothers = ps.others.size(), ncells = ps.cell_base.size();
  // Three fixed effects (two others, their table or none) and four (three
  // others, their three tables or none) take the loop with fixed counts.
  auto add_shares = nothers == 2 && ncells == 1   ? &add_pivot_shares<2, 1>
                    : nothers == 2 && ncells == 0 ? &add_pivot_shares<2, 0>
                    : nothers == 3 && ncells == 3 ? &add_pivot_shares<3, 3>
                    : nothers == 3 && ncells == 0 ? &add_pivot_shares<3, 0>
                                                   : &add_pivot_shares<-1, -1>;
  auto sum_run = [&](int64_t r, double* acc) {
    std::fill(acc, acc + len, 0.0);
    add_shares(ps, codes, F, w, inv_weight_g_.data(), run_start(r), run_start(r + 1), acc);
  };
  for (int64_t r0 = 0; r0 < runs; r0 += wave) {
    const int64_t nr = std::min(wave, runs - r0);
    on_team(nr > 1 ? team : nullptr, nr, [&](int64_t j) { sum_run(r0 + j, part.data() + j * len); });
    for (int64_t j = 0; j < nr; ++j) {
      const double* acc = part.data() + j * len;
      for (int k : others) {
        const int64_t stride = diag_stride[k];
        for (int64_t t = index.offset[k]; t < index.offset[k + 1]; ++t) diag[t] -= acc[diag_at[k] + t * stride];
        auto& cross = schur_.cross[k];
        for (size_t e = 0; e < cross.size(); ++e) {
          LargeVector<double>& table = cross[e].second;
          const double* cells = acc + table_at[k][e];
          // Rows of G_k cells, row r at r * (its stride) in the buffer.
          const int64_t Gk = index.groups(k), at_row = inline_table ? diag_stride[cross[e].first] : Gk;
          const int64_t rows = static_cast<int64_t>(table.size()) / std::max<int64_t>(Gk, 1);
          for (int64_t r = 0; r < rows; ++r)
            for (int64_t q = 0; q < Gk; ++q) table[r * Gk + q] += cells[r * at_row + q];
        }
      }
    }
  }
  schur_.inv_diag.clear();
  for (int k : others)
    for (int64_t t = index.offset[k]; t < index.offset[k + 1]; ++t) {
      // A diagonal lost to rounding (a group the pivot determines): its group weight instead.
      const double d = diag[t] > 1e-10 * weight_g_[t] ? diag[t] : weight_g_[t];
      schur_.inv_diag.push_back(d > 0 ? 1.0 / d : 0.0);
    }
  schur_.pivot = pivot;
  // In blocks, the pivot's groups must also never straddle two of them.
  schur_.pivot_runs = blocks_.single() ? index.is_ascending(pivot) : blocks_.direct == pivot;
  if (w && schur_.pivot_runs && schur_aggregates_on()) {
    SchurRows rows;
    rows.codes = codes;
    rows.F = F;
    rows.pivot = pivot;
    rows.w = w;
    rows.inv_weight_g = inv_weight_g_.data();
    rows.offset = index.offset.data();
    rows.inv_diag = schur_.inv_diag.data();
    schur_.aggregates = build_schur_aggregates(rows, blocks_.start, team);
  }
}

void Projector::build_cross_tab(const std::vector<GroupRanges>& ranges) {
  const GroupIndex& index = index_;
  const uint32_t* codes = index.codes_nk.data();
  const int pivot = index.groups(1) > index.groups(0) ? 1 : 0;
  const int other = 1 - pivot;
  pivot_.pivot = pivot;
  pivot_.other = other;
  const GroupRanges& pr = ranges[pivot];
  const int64_t n = index.n;
  const int64_t G_other = index.groups(other);
  double* W_pivot = weight_g_.data() + index.offset[pivot];
  double* W_other = weight_g_.data() + index.offset[other];
  const uint32_t base = static_cast<uint32_t>(index.offset[other]);
  // Cells are merged within a pivot group through a per-other-group marker.
  std::vector<int64_t> marker(static_cast<size_t>(G_other), -1);
  std::vector<int64_t> slot(static_cast<size_t>(G_other), 0);
  pivot_.row.resize(static_cast<size_t>(pr.ngroups + 1));
  pivot_.column.resize(static_cast<size_t>(n));
  pivot_.weight.resize(static_cast<size_t>(n));
  uint32_t* column = pivot_.column.data();
  double* cell = pivot_.weight.data();
  int64_t cells = 0;
  for (int64_t g = 0; g < pr.ngroups; ++g) {
    pivot_.row[g] = cells;
    for (int64_t p = pr.panel[2 * g]; p <= pr.panel[2 * g + 1]; ++p) {
      const int64_t i = pr.order[p];
      const uint32_t o = codes[i * 2 + other] - base;
      const double wi = weights_ ? weights_[i] : 1.0;
      W_pivot[g] += wi;
      W_other[o] += wi;
      if (marker[o] != g) {
        marker[o] = g;
        slot[o] = cells;
        column[cells] = o;
        cell[cells] = wi;
        ++cells;
      } else {
        cell[slot[o]] += wi;
      }
    }
  }
  pivot_.row[pr.ngroups] = cells;
  pivot_.column.resize(static_cast<size_t>(cells));
  pivot_.weight.resize(static_cast<size_t>(cells));
  pivot_.unit_cells = std::all_of(cell, cell + cells, [](double v) { return v == 1.0; });
  LargeVector<double> diag(W_other, W_other + G_other);
  for (int64_t g = 0; g < pr.ngroups; ++g) {
    const double inv = W_pivot[g] > 0 ? 1.0 / W_pivot[g] : 0.0;
    for (int64_t e = pivot_.row[g]; e < pivot_.row[g + 1]; ++e) diag[column[e]] -= cell[e] * cell[e] * inv;
  }
  pivot_.inv_schur_diag.resize(static_cast<size_t>(G_other));
  for (int64_t a = 0; a < G_other; ++a) {
    // A diagonal lost to rounding (a group the pivot determines): its group weight instead.
    const double d = diag[a] > 1e-10 * W_other[a] ? diag[a] : W_other[a];
    pivot_.inv_schur_diag[a] = d > 0 ? 1.0 / d : 0.0;
  }

  int64_t nblocks = std::min<int64_t>(kMaxBlocks, cells / min_block_rows());
  nblocks = std::min(nblocks, cells / std::max<int64_t>(4 * G_other, 1));
  nblocks = std::min<int64_t>(nblocks, kMaxPrivateBytes / (std::max<int64_t>(G_other, 1) * 8));
  pivot_.group_start.assign(1, 0);
  if (nblocks >= 2) {
    for (int64_t g = 0, b = 1; g < pr.ngroups && b < nblocks; ++g)
      if (pivot_.row[g + 1] >= b * cells / nblocks) {
        pivot_.group_start.push_back(g + 1);
        ++b;
      }
  }
  pivot_.group_start.push_back(pr.ngroups);
}

template <bool Weighted>
ColumnReport Projector::alternating(const double* z, int64_t z_stride, double* out, int64_t out_stride,
                                    const DemeanOptions& options, Scratch& scratch, TaskTeam* team) const {
  const double* w = weights_;
  switch (index_.nfe) {
    case 2:
      return ColumnSolver<2, Weighted>(index_, blocks_, team, w, weight_g_.data(), inv_weight_g_.data())
          .alternating(z, z_stride, out, out_stride, options, scratch);
    case 3:
      return ColumnSolver<3, Weighted>(index_, blocks_, team, w, weight_g_.data(), inv_weight_g_.data())
          .alternating(z, z_stride, out, out_stride, options, scratch);
    default:
      return ColumnSolver<0, Weighted>(index_, blocks_, team, w, weight_g_.data(), inv_weight_g_.data())
          .alternating(z, z_stride, out, out_stride, options, scratch);
  }
}

template <bool Weighted>
ColumnReport Projector::conjugate_gradient(const double* z, int64_t z_stride, double* out, int64_t out_stride,
                                           const DemeanOptions& options, Scratch& scratch,
                                           TaskTeam* team) const {
  const double* w = weights_;
  if (reduced_) {
    switch (index_.nfe) {
      case 2:
        return reduced_or_sweeps(
            ColumnSolver<2, Weighted>(index_, blocks_, team, w, weight_g_.data(), inv_weight_g_.data()), z, z_stride,
            out, out_stride, options, scratch);
      case 3:
        return reduced_or_sweeps(
            ColumnSolver<3, Weighted>(index_, blocks_, team, w, weight_g_.data(), inv_weight_g_.data()), z, z_stride,
            out, out_stride, options, scratch);
      default:
        return reduced_or_sweeps(
            ColumnSolver<0, Weighted>(index_, blocks_, team, w, weight_g_.data(), inv_weight_g_.data()), z, z_stride,
            out, out_stride, options, scratch);
    }
  }
  switch (index_.nfe) {
    case 2:
    {
      const ColumnSolver<2, Weighted> solver(index_, blocks_, team, w, weight_g_.data(), inv_weight_g_.data(), &pivot_);
      return pivot_.unit_cells ? solver.template schur_cg<true>(z, z_stride, out, out_stride, options, scratch)
                               : solver.template schur_cg<false>(z, z_stride, out, out_stride, options, scratch);
    }
    case 3:
    {
      const ColumnSolver<3, Weighted> solver(index_, blocks_, team, w, weight_g_.data(), inv_weight_g_.data(),
                                             nullptr, &schur_);
      return schur_.pivot >= 0 ? solver.pivot_schur_cg(z, z_stride, out, out_stride, options, scratch)
                               : solver.conjugate_gradient(z, z_stride, out, out_stride, options, scratch);
    }
    default:
    {
      const ColumnSolver<0, Weighted> solver(index_, blocks_, team, w, weight_g_.data(), inv_weight_g_.data(),
                                             nullptr, &schur_);
      return schur_.pivot >= 0 ? solver.pivot_schur_cg(z, z_stride, out, out_stride, options, scratch)
                               : solver.conjugate_gradient(z, z_stride, out, out_stride, options, scratch);
    }
  }
}

template <class Solver>
ColumnReport Projector::reduced_or_sweeps(const Solver& solver, const double* z, int64_t z_stride, double* out,
                                          int64_t out_stride, const DemeanOptions& options,
                                          Scratch& scratch) const {
  bool diverged = false;
  const ColumnReport first =
      solver.reduced_cg(z, z_stride, out, out_stride, options, scratch, *reduced_, *factor_, diverged);
  if (!diverged || first.iterations >= options.max_iter) return first;
  // Start over with the sweep-preconditioned CG on what is left of the iteration budget.
  DemeanOptions rest = options;
  rest.max_iter = options.max_iter - first.iterations;
  rest.min_iter = std::max<int64_t>(0, options.min_iter - first.iterations);
  ColumnReport report = solver.conjugate_gradient(z, z_stride, out, out_stride, rest, scratch);
  report.iterations += first.iterations;
  report.passes += first.passes;
  return report;
}

ColumnReport Projector::demean_column(const double* z, int64_t z_stride, double* out, int64_t out_stride,
                                      const DemeanOptions& options, Scratch& scratch,
                                      TaskTeam* team) const {
  if (index_.n == 0) return ColumnReport{0, 0, 0.0, 0.0, true};
  const bool cg = options.method == DemeanMethod::conjugate_gradient;
  if (weights_)
    return cg ? conjugate_gradient<true>(z, z_stride, out, out_stride, options, scratch, team)
              : alternating<true>(z, z_stride, out, out_stride, options, scratch, team);
  return cg ? conjugate_gradient<false>(z, z_stride, out, out_stride, options, scratch, team)
            : alternating<false>(z, z_stride, out, out_stride, options, scratch, team);
}

bool Projector::takes_columns_together(const DemeanOptions& options) const {
  return options.method == DemeanMethod::conjugate_gradient && !reduced_ && index_.n > 0 && index_.nfe >= 3 &&
         schur_.pivot >= 0 && schur_.pivot_runs;
}

template <bool Weighted>
void Projector::columns_together(const double* Z, int64_t s0, int64_t s1, double* out, int64_t m,
                                 const DemeanOptions& options, Scratch& scratch, TaskTeam* team,
                                 ColumnReport* reports) const {
  std::vector<const double*> z(static_cast<size_t>(m));
  std::vector<double*> o(static_cast<size_t>(m));
  for (int64_t j = 0; j < m; ++j) {
    z[j] = Z + j * s1;
    o[j] = out + j;
  }
  if (index_.nfe == 3)
    ColumnSolver<3, Weighted>(index_, blocks_, team, weights_, weight_g_.data(), inv_weight_g_.data(), nullptr,
                              &schur_)
        .pivot_schur_cg_together(z.data(), s0, o.data(), m, m, options, scratch, reports);
  else
    ColumnSolver<0, Weighted>(index_, blocks_, team, weights_, weight_g_.data(), inv_weight_g_.data(), nullptr,
                              &schur_)
        .pivot_schur_cg_together(z.data(), s0, o.data(), m, m, options, scratch, reports);
}

void Projector::demean_columns_together(const double* Z, int64_t s0, int64_t s1, double* out, int64_t m,
                                        const DemeanOptions& options, Scratch& scratch, TaskTeam* team,
                                        ColumnReport* reports) const {
  if (weights_)
    columns_together<true>(Z, s0, s1, out, m, options, scratch, team, reports);
  else
    columns_together<false>(Z, s0, s1, out, m, options, scratch, team, reports);
}

std::vector<ColumnReport> demean_columns(const Projector& projector, const double* Z, int64_t n, int64_t m,
                                         int64_t s0, int64_t s1, double* out, const DemeanOptions& options,
                                         int threads) {
  std::vector<ColumnReport> reports(static_cast<size_t>(m));
  if (m == 0) return reports;
#ifdef _OPENMP
  int team = team_size(threads);
  // Columns whose CG steps can share their passes go together, the threads
  // sharing each pass.
  if (m > 1 && projector.takes_columns_together(options)) {
    Scratch scratch;
    if (team > 1 && !projector.blocks().single()) {
      TaskTeam helpers(team);
      projector.demean_columns_together(Z, s0, s1, out, m, options, scratch, &helpers, reports.data());
    } else {
      projector.demean_columns_together(Z, s0, s1, out, m, options, scratch, nullptr, reports.data());
    }
    return reports;
  }
  // Fewer than two columns per thread leaves threads idle at the end (three
  // columns on two threads: the last one alone): then the threads share
  // every column instead, one column after the other, never both at once.
  if (team > 1 && m < 2 * team && !projector.blocks().single()) {
    TaskTeam helpers(team);
    Scratch scratch;
    for (int64_t j = 0; j < m; ++j)
      reports[j] = projector.demean_column(Z + j * s1, s0, out + j, m, options, scratch, &helpers);
    return reports;
  }
  team = static_cast<int>(std::min<int64_t>(team, m));
  bool out_of_memory = false;
  std::atomic<bool> interrupted{false};
  std::atomic<int64_t> finished{0};
  Interrupt* interrupt = options.interrupt;
#pragma omp parallel num_threads(team)
  {
    Scratch scratch;
#pragma omp for schedule(dynamic, 1) nowait
    for (int64_t j = 0; j < m; ++j) {
      // Exceptions must not leave an OpenMP region: record and rethrow after it.
      try {
        if (!interrupted) reports[j] = projector.demean_column(Z + j * s1, s0, out + j, m, options, scratch);
      } catch (const std::bad_alloc&) {
#pragma omp atomic write
        out_of_memory = true;
      } catch (const Interrupted&) {
        interrupted = true;
      }
      finished.fetch_add(1);
    }
    // The caller's thread is the only one that may look for signals: once out
    // of columns it keeps watching until the other threads are done.
    if (interrupt && interrupt->on_owner_thread()) {
      while (finished.load() < m) {
        interrupt->watch();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    }
  }
  if (out_of_memory) throw std::bad_alloc();
  if (interrupted) throw Interrupted();
#else
  (void)threads;
  Scratch scratch;
  if (m > 1 && projector.takes_columns_together(options)) {
    projector.demean_columns_together(Z, s0, s1, out, m, options, scratch, nullptr, reports.data());
    return reports;
  }
  for (int64_t j = 0; j < m; ++j) reports[j] = projector.demean_column(Z + j * s1, s0, out + j, m, options, scratch);
#endif
  (void)n;
  return reports;
}

}  // namespace korvald::core
