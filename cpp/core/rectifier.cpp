#include "core/rectifier.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/group_index.hpp"
#include "core/group_order.hpp"

namespace korvald::core {

namespace {

// Blocks of at least this many observations, at most kMaxBlocks of them.
constexpr int64_t kBlockRows = int64_t{1} << 16;
constexpr int64_t kMaxBlocks = 16;
// Largest total of one dimension's windows (doubles).
constexpr int64_t kMaxWindowTotal = int64_t{1} << 22;

}  // namespace

template <class Id>
WeightedDemeaner<Id>::WeightedDemeaner(std::vector<const Id*> ids, std::vector<int64_t> ngroups, RectifierWeights w,
                                       int64_t n, int64_t max_sweeps, double tol, Interrupt* interrupt, int threads)
    : ids_(std::move(ids)),
      ngroups_(std::move(ngroups)),
      w_(w),
      n_(n),
      max_sweeps_(max_sweeps),
      tol_(tol),
      interrupt_(interrupt) {
  const int64_t blocks = std::max<int64_t>(1, std::min(kMaxBlocks, n_ / kBlockRows));
  if (threads > 1 && blocks > 1) team_ = std::make_unique<TaskTeam>(threads);
  // Group weight totals never change: one pass per dimension up front, the
  // dimensions side by side (each group sums in observation order all the same).
  inv_total_.resize(ids_.size());
  on_team(team_.get(), static_cast<int64_t>(ids_.size()), [&](int64_t k) {
    LargeVector<double> total(static_cast<size_t>(ngroups_[k]), 0.0);
    for (int64_t i = 0; i < n_; ++i) total[ids_[k][i]] += w_[i];
    for (double& t : total) t = 1.0 / std::max(t, 1e-300);
    inv_total_[k] = std::move(total);
  });

  runs_ = ids_.size() >= 2 && codes_ascending(ids_[0], n_);
  block_start_.resize(static_cast<size_t>(blocks + 1));
  for (int64_t b = 0; b <= blocks; ++b) {
    int64_t at = b * n_ / blocks;
    if (runs_ && b > 0) {
      // Moved to the next group start, so that no run spans two blocks.
      at = std::max(at, block_start_[b - 1]);
      while (at < n_ && at > 0 && ids_[0][at] == ids_[0][at - 1]) ++at;
    }
    block_start_[b] = at;
  }
  windows_.resize(ids_.size());
  if (blocks < 2) return;
  int64_t largest = 0;
  for (size_t k = 0; k < ids_.size(); ++k) {
    std::vector<Window> win(static_cast<size_t>(blocks));
    on_team(team_.get(), blocks, [&](int64_t b) {
      Id lo = 0, hi = -1;
      if (block_start_[b] < block_start_[b + 1]) {
        lo = hi = ids_[k][block_start_[b]];
        for (int64_t i = block_start_[b]; i < block_start_[b + 1]; ++i) {
          lo = std::min(lo, ids_[k][i]);
          hi = std::max(hi, ids_[k][i]);
        }
      }
      win[b].lo = lo;
      win[b].len = static_cast<int64_t>(hi) - lo + 1;
    });
    int64_t total = 0;
    for (int64_t b = 0; b < blocks; ++b) {
      win[b].at = total;
      total += win[b].len;
    }
    if (total > kMaxWindowTotal) continue;
    largest = std::max(largest, total);
    windows_[k] = std::move(win);
  }
  if (largest > 0) priv_.resize(static_cast<size_t>(largest));
}

template <class Id>
WeightedDemeaner<Id>::~WeightedDemeaner() = default;

template <class Id>
template <class Body>
void WeightedDemeaner<Id>::sums_into(size_t k, double* s, const Body& body) const {
  const int64_t blocks = static_cast<int64_t>(block_start_.size()) - 1;
  std::fill(s, s + ngroups_[k], 0.0);
  const std::vector<Window>& win = windows_[k];
  if (win.empty()) {
    // In observation order: the blocks one after the other into s itself.
    for (int64_t b = 0; b < blocks; ++b) body(b, s);
    return;
  }
  double* priv = priv_.data();
  auto run_block = [&](int64_t b) {
    double* acc = priv + win[b].at;
    std::fill(acc, acc + win[b].len, 0.0);
    body(b, acc - win[b].lo);
  };
  on_team(team_.get(), blocks, run_block);
  // Windows added in block order, in chunks of groups that threads share.
  const int64_t G = ngroups_[k], chunk = 8192, nchunks = (G + chunk - 1) / chunk;
  auto add_chunk = [&](int64_t c) {
    const int64_t g0 = c * chunk, g1 = std::min(G, g0 + chunk);
    for (int64_t b = 0; b < blocks; ++b) {
      const int64_t lo = std::max(g0, win[b].lo), hi = std::min(g1, win[b].lo + win[b].len);
      const double* acc = priv + win[b].at - win[b].lo;
      for (int64_t g = lo; g < hi; ++g) s[g] += acc[g];
    }
  };
  on_team(team_.get(), nchunks, add_chunk);
}

template <class Id>
void WeightedDemeaner<Id>::normalise(size_t k) const {
  double* s = sums_[k].data();
  const double* inv = inv_total_[k].data();
  for (int64_t g = 0; g < ngroups_[k]; ++g) s[g] *= inv[g];
}

template <class Id>
double WeightedDemeaner<Id>::largest_change() const {
  double change = 0.0;
  for (double c : block_change_) change = std::max(change, c);
  return change;
}

template <class Id>
template <bool Close>
void WeightedDemeaner<Id>::open_pass(double* v) const {
  const size_t D = ids_.size();
  double* before = before_.data();
  const RectifierWeights w = w_;
  const int64_t* start = block_start_.data();
  const Id* id0 = ids_[0];
  const Id* id_close = ids_[D - 1];
  const double* s_close = closing_.data();
  // Ends the sweep before at observation i: returns |change|.
  auto close_at = [&](int64_t i) {
    v[i] -= s_close[id_close[i]];
    return std::fabs(v[i] - before[i]);
  };
  if (!runs_) {
    sums_into(0, sums_[0].data(), [&](int64_t b, double* acc) {
      double change = 0.0;
      for (int64_t i = start[b]; i < start[b + 1]; ++i) {
        if constexpr (Close) change = std::max(change, close_at(i));
        before[i] = v[i];
        acc[id0[i]] += w[i] * v[i];
      }
      block_change_[b] = change;
    });
    normalise(0);
    return;
  }
  // Each run of the first dimension is summed, then its rows take off its
  // mean and go into the second dimension's sums: the operations of the two
  // passes, in their order, for every observation.
  const Id* id1 = ids_[1];
  const double* inv0 = inv_total_[0].data();
  sums_into(1, sums_[1].data(), [&](int64_t b, double* acc) {
    double change = 0.0;
    for (int64_t a = start[b], end = start[b + 1]; a < end;) {
      const Id g = id0[a];
      int64_t z = a + 1;
      while (z < end && id0[z] == g) ++z;
      double sum = 0.0;
      for (int64_t i = a; i < z; ++i) {
        if constexpr (Close) change = std::max(change, close_at(i));
        before[i] = v[i];
        sum += w[i] * v[i];
      }
      const double mean = sum * inv0[g];
      for (int64_t i = a; i < z; ++i) {
        v[i] -= mean;
        acc[id1[i]] += w[i] * v[i];
      }
      a = z;
    }
    block_change_[b] = change;
  });
  normalise(1);
}

template <class Id>
void WeightedDemeaner<Id>::close_pass(double* v) const {
  const Id* id = ids_.back();
  const double* s = closing_.data();
  const double* before = before_.data();
  const int64_t* start = block_start_.data();
  auto last_pass = [&](int64_t b) {
    double change = 0.0;
    for (int64_t i = start[b]; i < start[b + 1]; ++i) {
      v[i] -= s[id[i]];
      change = std::max(change, std::fabs(v[i] - before[i]));
    }
    block_change_[b] = change;
  };
  const int64_t blocks = static_cast<int64_t>(block_start_.size()) - 1;
  on_team(team_.get(), blocks, last_pass);
}

template <class Id>
void WeightedDemeaner<Id>::apply(double* v) const {
  // Every observation sees the operations of the plain sweep in its order:
  // before = v and the first dimension's sums; then per dimension k, v -= its
  // means and the next dimension's sums; the last subtraction ends the sweep
  // with the change test. The passes only group these differently.
  const size_t D = ids_.size();
  if (D == 0 || max_sweeps_ <= 0) return;
  const int64_t blocks = static_cast<int64_t>(block_start_.size()) - 1;
  before_.resize(static_cast<size_t>(n_));
  block_change_.resize(static_cast<size_t>(blocks));
  sums_.resize(D);
  for (size_t k = 0; k < D; ++k) sums_[k].resize(static_cast<size_t>(ngroups_[k]));
  closing_.resize(static_cast<size_t>(ngroups_[D - 1]));
  const RectifierWeights w = w_;
  const int64_t* start = block_start_.data();
  const size_t first_step = runs_ ? 1 : 0;  // the dimensions corrected in passes of their own start here

  interrupt_poll(interrupt_);
  open_pass<false>(v);
  for (int64_t sweep = 0; sweep < max_sweeps_; ++sweep) {
    for (size_t k = first_step; k + 1 < D; ++k) {
      const double* s = sums_[k].data();
      const Id* id = ids_[k];
      const Id* id_next = ids_[k + 1];
      sums_into(k + 1, sums_[k + 1].data(), [&](int64_t b, double* acc) {
        for (int64_t i = start[b]; i < start[b + 1]; ++i) {
          v[i] -= s[id[i]];
          acc[id_next[i]] += w[i] * v[i];
        }
      });
      normalise(k + 1);
    }
    sums_[D - 1].swap(closing_);
    if (sweep + 1 == max_sweeps_) {
      close_pass(v);
      break;
    }
    interrupt_poll(interrupt_);
    open_pass<true>(v);
    if (largest_change() < tol_) {
      // The next sweep had started: with runs it has corrected v already,
      // and before holds v as this sweep ended it.
      if (runs_) {
        auto restore = [&](int64_t b) { std::copy(before_.data() + start[b], before_.data() + start[b + 1], v + start[b]); };
        on_team(team_.get(), blocks, restore);
      }
      break;
    }
  }
}

namespace {

// Jacobi eigen-decomposition of a symmetric matrix (K is small).
void jacobi_eigen(std::vector<double> a, int64_t K, std::vector<double>& eval, std::vector<double>& evec) {
  evec.assign(static_cast<size_t>(K * K), 0.0);
  for (int64_t i = 0; i < K; ++i) evec[i * K + i] = 1.0;
  for (int sweep = 0; sweep < 100; ++sweep) {
    double off = 0.0;
    for (int64_t p = 0; p < K; ++p)
      for (int64_t q = p + 1; q < K; ++q) off += a[p * K + q] * a[p * K + q];
    if (off == 0.0) break;
    for (int64_t p = 0; p < K; ++p) {
      for (int64_t q = p + 1; q < K; ++q) {
        const double apq = a[p * K + q];
        if (apq == 0.0) continue;
        const double theta = (a[q * K + q] - a[p * K + p]) / (2.0 * apq);
        const double t = (theta >= 0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
        const double c = 1.0 / std::sqrt(t * t + 1.0), s = t * c;
        for (int64_t r = 0; r < K; ++r) {  // columns p, q
          const double arp = a[r * K + p], arq = a[r * K + q];
          a[r * K + p] = c * arp - s * arq;
          a[r * K + q] = s * arp + c * arq;
        }
        for (int64_t r = 0; r < K; ++r) {  // rows p, q
          const double apr = a[p * K + r], aqr = a[q * K + r];
          a[p * K + r] = c * apr - s * aqr;
          a[q * K + r] = s * apr + c * aqr;
        }
        for (int64_t r = 0; r < K; ++r) {
          const double vrp = evec[r * K + p], vrq = evec[r * K + q];
          evec[r * K + p] = c * vrp - s * vrq;
          evec[r * K + q] = s * vrp + c * vrq;
        }
      }
    }
  }
  eval.resize(static_cast<size_t>(K));
  for (int64_t i = 0; i < K; ++i) eval[i] = a[i * K + i];
}

}  // namespace

std::vector<double> solve_symmetric_system(const std::vector<double>& A, const std::vector<double>& b,
                                           int64_t K) {
  std::vector<double> lu(A), x(b);
  std::vector<int64_t> perm(static_cast<size_t>(K));
  bool singular = false;
  for (int64_t i = 0; i < K; ++i) perm[i] = i;
  for (int64_t c = 0; c < K && !singular; ++c) {
    int64_t piv = c;
    for (int64_t r = c + 1; r < K; ++r)
      if (std::fabs(lu[r * K + c]) > std::fabs(lu[piv * K + c])) piv = r;
    if (lu[piv * K + c] == 0.0) {
      singular = true;
      break;
    }
    if (piv != c) {
      for (int64_t j = 0; j < K; ++j) std::swap(lu[c * K + j], lu[piv * K + j]);
      std::swap(x[c], x[piv]);
    }
    for (int64_t r = c + 1; r < K; ++r) {
      const double f = lu[r * K + c] / lu[c * K + c];
      lu[r * K + c] = f;
      for (int64_t j = c + 1; j < K; ++j) lu[r * K + j] -= f * lu[c * K + j];
      x[r] -= f * x[c];
    }
  }
  if (!singular) {
    for (int64_t r = K - 1; r >= 0; --r) {
      double s = x[r];
      for (int64_t j = r + 1; j < K; ++j) s -= lu[r * K + j] * x[j];
      x[r] = s / lu[r * K + r];
    }
    return x;
  }
  // Minimum-norm solution: pseudo-inverse through the eigen-decomposition,
  // ignoring eigenvalues below the usual machine-precision cut-off.
  std::vector<double> eval, evec;
  jacobi_eigen(A, K, eval, evec);
  double largest = 0.0;
  for (double v : eval) largest = std::max(largest, std::fabs(v));
  const double cutoff = std::numeric_limits<double>::epsilon() * static_cast<double>(K) * largest;
  std::vector<double> out(static_cast<size_t>(K), 0.0);
  for (int64_t j = 0; j < K; ++j) {
    if (std::fabs(eval[j]) <= cutoff) continue;
    double proj = 0.0;
    for (int64_t r = 0; r < K; ++r) proj += evec[r * K + j] * b[r];
    proj /= eval[j];
    for (int64_t r = 0; r < K; ++r) out[r] += evec[r * K + j] * proj;
  }
  return out;
}

template class WeightedDemeaner<int32_t>;
template class WeightedDemeaner<int64_t>;

template <class Id>
static bool detect_separation_impl(const double* y, int64_t n, int64_t K, const RegressorFill& fill_x,
                                   const std::vector<const Id*>& ids, const std::vector<int64_t>& ngroups,
                                   const RectifierOptions& options, double* u, RectifierTrace* trace) {
  const bool any_zero = std::find(y, y + n, 0.0) != y + n;
  if (!any_zero) {
    std::fill(u, u + n, 0.0);
    return false;
  }

  // Large weight on the positive observations pins the fit to zero there.
  std::vector<uint8_t> positive(static_cast<size_t>(n));
  for (int64_t i = 0; i < n; ++i) positive[i] = y[i] != 0.0;
  const RectifierWeights w{positive.data(), options.K_penalty};
  WeightedDemeaner<Id> demean(ids, ngroups, w, n, options.inner_maxiter, options.inner_tol, options.interrupt,
                              options.threads);

  // Demeaned regressors (column-major, one column at a time) and X~' W X~,
  // fixed for all iterations.
  // Work columns are written in full before they are read.
  using Column = std::vector<double, UninitAllocator<double>>;
  Column Xt(static_cast<size_t>(n * K));
  for (int64_t k = 0; k < K; ++k) {
    double* col = Xt.data() + k * n;
    fill_x(k, col);
    demean.apply(col);
  }
  std::vector<double> XtWX(static_cast<size_t>(K * K), 0.0);
  for (int64_t a = 0; a < K; ++a)
    for (int64_t c = a; c < K; ++c) {
      const double* xa = Xt.data() + a * n;
      const double* xc = Xt.data() + c * n;
      double s = 0.0;
      for (int64_t i = 0; i < n; ++i) s += xa[i] * w[i] * xc[i];
      XtWX[a * K + c] = XtWX[c * K + a] = s;
    }

  // The row-by-row steps run on the demeaner's blocks; the sums over rows
  // (X~'W X~ above, X~'W ut below) stay in row order.
  demean.for_blocks([&](int64_t i0, int64_t i1, int64_t) {
    for (int64_t i = i0; i < i1; ++i) u[i] = y[i] == 0.0 ? 1.0 : 0.0;
  });
  // ut (demeaned u) is spent once X~'W ut is formed, so its buffer then
  // holds the demeaned residual u - Xb; the residual itself is recomputed,
  // and so is Xb (the same sum in the same order each time), which needs no
  // vector of its own.
  Column ut(static_cast<size_t>(n));
  std::vector<double> XtWu(static_cast<size_t>(K));
  // Per block: the largest change (NaN once any change is NaN) and the
  // entries above tol, whose totals do not depend on the blocks.
  struct BlockChange {
    double largest = 0.0;
    int64_t provisional = 0;
  };
  std::vector<BlockChange> changes(static_cast<size_t>(demean.block_count()));
  std::vector<double> beta(static_cast<size_t>(K), 0.0);
  const auto fitted_regressors = [&](int64_t i) {
    double s = 0.0;
    for (int64_t k = 0; k < K; ++k) s += Xt[static_cast<size_t>(k * n + i)] * beta[k];
    return s;
  };
  for (int64_t it = 0; it < options.maxiter; ++it) {
    interrupt_poll(options.interrupt);
    demean.for_blocks([&](int64_t i0, int64_t i1, int64_t) { std::copy(u + i0, u + i1, ut.begin() + i0); });
    demean.apply(ut.data());
    if (K > 0) {
      for (int64_t k = 0; k < K; ++k) {
        const double* xk = Xt.data() + k * n;
        double s = 0.0;
        for (int64_t i = 0; i < n; ++i) s += xk[i] * (w[i] * ut[i]);
        XtWu[k] = s;
      }
      beta = solve_symmetric_system(XtWX, XtWu, K);
    }
    double* rt = ut.data();
    demean.for_blocks([&](int64_t i0, int64_t i1, int64_t) {
      for (int64_t i = i0; i < i1; ++i) rt[i] = u[i] - fitted_regressors(i);
    });
    demean.apply(rt);
    demean.for_blocks([&](int64_t i0, int64_t i1, int64_t b) {
      BlockChange ch;
      for (int64_t i = i0; i < i1; ++i) {
        // fitted u = regressor part + fixed-effect part of the residual, clipped at 0
        const double xb = fitted_regressors(i);
        const double fitted = xb + ((u[i] - xb) - rt[i]);
        const double next = y[i] == 0.0 ? std::max(fitted, 0.0) : 0.0;
        const double d = std::fabs(next - u[i]);
        if (std::isnan(d))
          ch.largest = d;  // stays NaN, so the stop test fails as it would in NumPy
        else if (d > ch.largest)
          ch.largest = d;
        u[i] = next;
        if (next > options.tol) ++ch.provisional;
      }
      changes[b] = ch;
    });
    double max_change = 0.0;
    int64_t provisional = 0;
    for (const BlockChange& ch : changes) {
      if (std::isnan(ch.largest) || std::isnan(max_change))
        max_change = std::numeric_limits<double>::quiet_NaN();
      else
        max_change = std::max(max_change, ch.largest);
      provisional += ch.provisional;
    }
    if (trace) {
      trace->max_change.push_back(max_change);
      trace->provisional.push_back(provisional);
    }
    if (max_change < options.tol) break;
  }
  return true;
}

bool detect_separation(const double* y, int64_t n, int64_t K, const RegressorFill& fill_x,
                       const std::vector<const int64_t*>& ids, const std::vector<int64_t>& ngroups,
                       const RectifierOptions& options, double* u, RectifierTrace* trace) {
  return detect_separation_impl(y, n, K, fill_x, ids, ngroups, options, u, trace);
}

bool detect_separation(const double* y, int64_t n, int64_t K, const RegressorFill& fill_x,
                       const std::vector<const int32_t*>& ids, const std::vector<int64_t>& ngroups,
                       const RectifierOptions& options, double* u, RectifierTrace* trace) {
  return detect_separation_impl(y, n, K, fill_x, ids, ngroups, options, u, trace);
}

}  // namespace korvald::core
