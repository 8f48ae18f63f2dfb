// Iterative-rectifier test for Poisson separation. Observations with y = 0
// are separated when some combination of regressors and fixed effects is zero
// on every positive observation and non-negative (somewhere positive) on the
// zero observations. The test repeatedly fits u (1 on zeros at the start) by
// a weighted least-squares projection on regressors and fixed effects, with a
// large weight on the positive observations so the fit is pinned to zero
// there, and clips the fit at zero (the "rectifier"). Entries of u that stay
// above the tolerance certify separation.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "core/interrupt.hpp"
#include "core/large_pages.hpp"
#include "core/task_team.hpp"

namespace korvald::core {

// The rectifier's weights: 1 on the zero observations of y, the penalty on
// the others. Worked out from a byte per observation (y != 0) where they are
// read, they need no N-vector of doubles, and a pass reads one byte where y
// would take eight.
struct RectifierWeights {
  const uint8_t* positive = nullptr;
  double value[2] = {1.0, 1.0};  // [y == 0, y != 0]: picked by index, as zeros and non-zeros
                                  // interleave at random and a branch would mispredict
  RectifierWeights() = default;
  RectifierWeights(const uint8_t* positive_n, double penalty) : positive(positive_n), value{1.0, penalty} {}
  double operator[](int64_t i) const { return value[positive[i]]; }
};

// Weighted within-transformation over several fixed effects by alternating
// projections (Gauss-Seidel over the dimensions, v updated in place). Id is
// the type of the identifier codes (int32_t or int64_t, as they are stored).
//
// Large samples are cut into fixed blocks of observations (their number
// depends on n alone). A pass over the observations runs block by block,
// on `threads` threads; each block sums into its own window of a
// dimension's groups (the range of codes it meets) and the windows are added
// group by group in block order, so no result depends on the thread count.
// A dimension whose windows would take too much memory (a large effect in
// no particular order) is summed in observation order on one thread.
//
// A sweep's passes fuse where the order of operations allows: the pass that
// ends a sweep also starts the next one (whose sums are dropped when the
// change stops the iteration), and when the first dimension's groups are
// runs of consecutive observations (its codes ascending), the blocks start at
// its group starts and a run's rows are summed and then, from cache,
// corrected by that sum in the same pass. Three dimensions take two passes
// per sweep instead of four.
template <class Id>
class WeightedDemeaner {
 public:
  WeightedDemeaner(std::vector<const Id*> ids, std::vector<int64_t> ngroups, RectifierWeights w, int64_t n,
                   int64_t max_sweeps, double tol, Interrupt* interrupt = nullptr, int threads = 1);
  ~WeightedDemeaner();
  // v <- v minus its weighted projection on all fixed effects.
  void apply(double* v) const;
  // f(i0, i1, b) for each block b of observations [i0, i1), on the
  // demeaner's threads: for row-by-row work whose result does not depend on
  // how the rows are split.
  template <class F>
  void for_blocks(const F& f) const {
    on_team(team_.get(), block_count(), [&](int64_t b) { f(block_start_[b], block_start_[b + 1], b); });
  }
  int64_t block_count() const { return static_cast<int64_t>(block_start_.size()) - 1; }

 private:
  struct Window {
    int64_t lo = 0, len = 0;  // groups [lo, lo + len)
    int64_t at = 0;           // where the window starts in priv_
  };
  // Sums of w * v into s (zeroed) for dimension k, from the pass `body(i0,
  // i1, acc)` that adds each observation's term at acc[code].
  template <class Body>
  void sums_into(size_t k, double* s, const Body& body) const;
  // Starts a sweep (before = v, the first dimension's sums; in runs, also its
  // correction and the second dimension's sums), ending the one before first
  // when `close`. Leaves the sums it made normalised.
  template <bool Close>
  void open_pass(double* v) const;
  // Ends a sweep alone: v -= the last dimension's means, per-block change.
  void close_pass(double* v) const;
  double largest_change() const;
  void normalise(size_t k) const;

  std::vector<const Id*> ids_;
  std::vector<int64_t> ngroups_;
  RectifierWeights w_;
  int64_t n_, max_sweeps_;
  double tol_;
  Interrupt* interrupt_;
  std::vector<LargeVector<double>> inv_total_;  // 1 / max(group weight, 1e-300)
  std::vector<int64_t> block_start_;             // blocks + 1 entries
  bool runs_ = false;                            // the first dimension's groups are runs; see above
  std::vector<std::vector<Window>> windows_;     // per dimension, per block; empty: summed in order
  std::unique_ptr<TaskTeam> team_;               // null: one thread
  // Work space kept across calls: a fresh N-sized buffer per call costs more
  // in page faults than the sweep it serves.
  mutable LargeVector<double> before_, priv_, block_change_;
  mutable std::vector<LargeVector<double>> sums_;
  // The last dimension's normalised sums the closing pass subtracts, apart
  // from the ones a fused pass is making at the same time.
  mutable LargeVector<double> closing_;
};

struct RectifierOptions {
  double tol = 1e-5;
  int64_t maxiter = 100;
  double K_penalty = 1e6;
  int64_t inner_maxiter = 100;
  double inner_tol = 1e-10;
  Interrupt* interrupt = nullptr;  // polled once per sweep
  int threads = 1;                 // for the passes over the observations; no result depends on it
};

struct RectifierTrace {
  std::vector<double> max_change;    // per iteration
  std::vector<int64_t> provisional;  // entries of u above tol after each iteration
};

// Writes regressor column k (n values) into `out`: the kernel's own working
// copy, so the caller's storage is only read, and may be read through the
// sample's row positions without a copy of its own.
using RegressorFill = std::function<void(int64_t k, double* out)>;

// y: length n. K regressors, written by fill_x. ids/ngroups: identifier
// columns (32-bit codes are read as they are stored, without a 64-bit copy).
// u (length n) receives the final certificate; returns false when y has no
// zero (u is then all zero and nothing was iterated).
bool detect_separation(const double* y, int64_t n, int64_t K, const RegressorFill& fill_x,
                       const std::vector<const int64_t*>& ids, const std::vector<int64_t>& ngroups,
                       const RectifierOptions& options, double* u, RectifierTrace* trace);
bool detect_separation(const double* y, int64_t n, int64_t K, const RegressorFill& fill_x,
                       const std::vector<const int32_t*>& ids, const std::vector<int64_t>& ngroups,
                       const RectifierOptions& options, double* u, RectifierTrace* trace);

// Solve the symmetric K x K system A x = b: LU with partial pivoting; when a
// pivot is exactly zero (singular matrix), the minimum-norm least-squares
// solution from an eigen-decomposition. A is row-major and left unchanged.
std::vector<double> solve_symmetric_system(const std::vector<double>& A, const std::vector<double>& b,
                                           int64_t K);

}  // namespace korvald::core
