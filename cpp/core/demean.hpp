// Partialling fixed effects out of data columns: each column z becomes its
// residual from the (weighted) least-squares projection on all fixed-effect
// dummies jointly, r = z - D x with D'W(z - D x) = 0.
//
// Both solvers work on the group coefficients x (one per group, a few
// hundred thousand numbers that stay in cache) instead of on N-length
// residual vectors: one pass over the observations then does one projection,
// and the iterative part of the conjugate-gradient solver never reads the
// data column at all, only the group codes (and weights).
//
//  * alternating projections: block Gauss-Seidel on D'WD x = D'Wz. Updating
//    block k sets x_k to the group means of z minus the other fixed effects,
//    which is exactly subtracting from the current residual its group means
//    in fixed effect k (the classic sweep of projections, one pass each).
//  * conjugate gradient: the same system solved by CG preconditioned with the
//    symmetric block Gauss-Seidel sweep (forward then backward over the fixed
//    effects). Its preconditioned residual M^-1 g is exactly the coefficient
//    change one symmetric sweep of projections would make from the current
//    solution, so CG accelerates the symmetric sweep; on weakly connected
//    designs (worker-firm) it needs a small fraction of the passes.
//    With two or more fixed effects the finest one (the pivot) is eliminated
//    exactly and CG runs on the Schur complement of the others,
//    preconditioned by its diagonal (see PivotSchur), stopping by the
//    symmetric sweep's criterion all the same. With two fixed effects its
//    operator needs one gather-scatter sweep over the cross-tabulation of
//    the two (built once per call), which is at most as long as the data;
//    with more, two passes over the observations. The sweep-preconditioned
//    CG over all fixed effects remains for columns the reduced system below
//    gives up on.
//
// Stopping rule (both): let s = ||z - zbar||_w, the w-norm of the column's
// variation around its weighted mean (||z||_w if that is 0). Iteration stops
// once
//   alternating: sum_k ||D_k dx_k||_w over the corrections of the last sweep
//                <= tol * s. It bounds the change that sweep made, and a
//                sweep never changes the residual more than the one before;
//   CG:          sqrt(g' M^-1 g) <= tol * s, g the residual of the normal
//                equations. It bounds the change a further symmetric sweep
//                would make (M^-1 A has eigenvalues in (0, 1]).
// In both cases the change a further sweep would make to the returned
// residual is at most tol * s. Stopping needs at least min_iter iterations;
// max_iter caps them (iterations are sweeps, resp. CG steps).
//
// Reduced system (reduced_system.hpp): when the caller hands the Projector
// the reduced system of the pivot and a factorisation of it, CG runs on that
// system instead, preconditioned by the factor, with the same stopping rule:
// the normal-equation residual is (0, r) once the pivot is back-substituted,
// and g' M^-1 g for the symmetric sweep with the pivot first is ||v||^2_W,
// v = W^-1 (g - L v) one forward sweep over the other fixed effects.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "core/group_index.hpp"
#include "core/interrupt.hpp"
#include "core/large_pages.hpp"
#include "core/obs_blocks.hpp"
#include "core/reduced_system.hpp"
#include "core/schur_aggregates.hpp"
#include "core/task_team.hpp"

namespace korvald::core {

class TaskTeam;

// A solver's work vectors, reused by one thread from column to column.
using Scratch = LargeVector<double>;

enum class DemeanMethod { alternating, conjugate_gradient };

struct DemeanOptions {
  DemeanMethod method = DemeanMethod::conjugate_gradient;
  double tol = 1e-8;
  int64_t min_iter = 0;
  int64_t max_iter = 1000;
  // Polled once per iteration; a stop makes the solver throw Interrupted.
  Interrupt* interrupt = nullptr;
};

struct ColumnReport {
  int64_t iterations = 0;  // sweeps (alternating) or CG steps
  int64_t passes = 0;      // passes over the observations (or their cross-tabulation), all included
  double criterion = 0.0;  // last value of the stopping quantity
  double threshold = 0.0;  // tol * s
  bool converged = false;
};

// Two fixed effects: the cross-tabulation of the pivot (the finer one) with
// the other fixed effect, row by row: for every pivot group the distinct
// other-effect groups its observations fall into, with their total weight.
// This is the off-diagonal block of D'WD. On panel data (a worker stays with
// one firm for many periods) it is several times smaller than the data, and
// the CG iterations only ever touch it.
struct PivotLayout {
  int pivot = -1, other = -1;
  LargeVector<int64_t> row;       // pivot groups + 1 starts into the entries
  LargeVector<uint32_t> column;   // local group of the other fixed effect
  LargeVector<double> weight;     // total weight (count) of that cell
  bool unit_cells = false;        // every cell weight is exactly 1
  // 1 / S_aa for the other fixed effect's groups, S the Schur complement:
  // CG on S is preconditioned by its diagonal (see PivotSchur).
  LargeVector<double> inv_schur_diag;
  // Pivot groups split into blocks of about equal cells for threads, block b
  // = groups [group_start[b], group_start[b + 1]); one block when small.
  // Sums into the other fixed effect are made per block and added in block
  // order, as for the observation blocks (obs_blocks.hpp).
  std::vector<int64_t> group_start;
};

// Three or more fixed effects whose reduced system is not factorised (it is
// dense on well-connected panels): the fixed effect with the most groups is
// still eliminated exactly, and CG runs on the Schur complement S of the
// others through passes over the observations, preconditioned by S's
// diagonal. On weighted designs (Poisson IRLS) the weights leave some groups
// nearly isolated once the pivot is eliminated; the group weights, which the
// symmetric sweep divides by, overstate their diagonal by orders of
// magnitude, and the sweeps' iteration count grows with the sample. The
// weights also tie other groups into clusters, which the preconditioner
// solves as blocks (schur_aggregates.hpp).
struct PivotSchur {
  int pivot = -1;                // -1: not used
  // The pivot's groups are runs of consecutive observations (the sample is
  // sorted by it), and the observation blocks start at its group starts:
  // S v then takes one pass over the observations instead of two.
  bool pivot_runs = false;
  LargeVector<double> inv_diag;  // 1 / S_aa for the others' groups, in global order less the pivot's
  // The stopping rule's forward sweep needs, for each later other fixed
  // effect k, the weight shared with each earlier one l (firm x year). When
  // G_l x G_k is small, that cross-tabulation is kept as a dense table
  // (row b of l, column a of k) and the sweep reads it instead of passing
  // over the observations once per CG step. cross[k] lists (l, table).
  std::vector<std::vector<std::pair<int, LargeVector<double>>>> cross;
  bool tabulated = false;  // every pair the sweep needs has its table
  // Weighted, with the pivot in runs: clusters of strongly coupled groups
  // solved as blocks in the preconditioner (schur_aggregates.hpp).
  SchurAggregates aggregates;
};

// Largest dense cross-tabulation PivotSchur keeps (cells, default 2^21);
// the setter returns the previous value (tests use 0 to take the passes).
int64_t set_max_cross_table(int64_t cells);
int64_t max_cross_table();

// Per-group weight totals of one GroupIndex under one weight vector (or
// counts). Shared read-only by all columns.
class Projector {
 public:
  // weights: length n, contiguous, non-negative; nullptr = unweighted.
  // ranges: the sort orders and group ranges `index` was built from.
  // method: what the per-call layout is prepared for.
  // reduced / factor (both or neither, outliving the Projector): CG on the
  // reduced system, preconditioned by the factor; method must be conjugate_gradient.
  // threads (0: all available) share the set-up's passes over the
  // observations; the result does not depend on their number.
  Projector(const GroupIndex& index, const std::vector<GroupRanges>& ranges, const double* weights,
            DemeanMethod method, const ReducedSystem* reduced = nullptr, const ReducedFactor* factor = nullptr,
            int threads = 1);

  // z[i * z_stride] -> out[i * out_stride]. `scratch` is reused across calls by one thread.
  // A `team` shares the column's passes over the observations; the result is the
  // same with or without one, whatever its size (see obs_blocks.hpp).
  ColumnReport demean_column(const double* z, int64_t z_stride, double* out, int64_t out_stride,
                             const DemeanOptions& options, Scratch& scratch,
                             TaskTeam* team = nullptr) const;

  // Whether demean_columns_together takes columns under these options (CG
  // on the Schur complement of a pivot whose groups are runs).
  bool takes_columns_together(const DemeanOptions& options) const;
  // demean_column for the m columns of Z (element (i, j) at Z[i * s0 + j *
  // s1]) into the row-major n x m `out`, their CG steps sharing each pass
  // over the observations. Every column's result and report are the ones
  // demean_column gives it. Only where takes_columns_together.
  void demean_columns_together(const double* Z, int64_t s0, int64_t s1, double* out, int64_t m,
                               const DemeanOptions& options, Scratch& scratch, TaskTeam* team,
                               ColumnReport* reports) const;

  const GroupIndex& index() const { return index_; }
  const ObsBlocks& blocks() const { return blocks_; }

 private:
  void build_cross_tab(const std::vector<GroupRanges>& ranges);
  void build_pivot_schur(TaskTeam* team);
  template <bool Weighted>
  ColumnReport alternating(const double* z, int64_t z_stride, double* out, int64_t out_stride,
                           const DemeanOptions& options, Scratch& scratch, TaskTeam* team) const;
  template <class Solver>
  ColumnReport reduced_or_sweeps(const Solver& solver, const double* z, int64_t z_stride, double* out,
                                 int64_t out_stride, const DemeanOptions& options,
                                 Scratch& scratch) const;
  template <bool Weighted>
  void columns_together(const double* Z, int64_t s0, int64_t s1, double* out, int64_t m,
                        const DemeanOptions& options, Scratch& scratch, TaskTeam* team,
                        ColumnReport* reports) const;
  template <bool Weighted>
  ColumnReport conjugate_gradient(const double* z, int64_t z_stride, double* out, int64_t out_stride,
                                  const DemeanOptions& options, Scratch& scratch, TaskTeam* team) const;

  const GroupIndex& index_;
  const double* weights_;
  const ReducedSystem* reduced_ = nullptr;
  const ReducedFactor* factor_ = nullptr;
  ObsBlocks blocks_;   // fixed split of the observations for in-column threads
  PivotLayout pivot_;  // filled for two fixed effects only
  PivotSchur schur_;   // filled for three or more without the reduced system
  LargeVector<double> weight_g_;      // sum of weights (or count) per global group
  LargeVector<double> inv_weight_g_;  // its inverse, 0 for groups without weight
};

// All m columns of the n x m matrix Z (element (i, j) at Z[i * s0 + j * s1])
// into the row-major n x m `out` on `threads` threads (0 = all available):
// columns side by side when there are enough of them to keep the threads
// busy, otherwise one after the other with the threads sharing each
// column's passes. Columns that Projector::takes_columns_together go
// together instead, the threads sharing each pass. Either way the result does
// not depend on the thread count. Throws Interrupted (after every thread has
// stopped) when options.interrupt requests a stop.
std::vector<ColumnReport> demean_columns(const Projector& projector, const double* Z, int64_t n, int64_t m,
                                         int64_t s0, int64_t s1, double* out, const DemeanOptions& options,
                                         int threads);

}  // namespace korvald::core
