// Module korvald.backend.demeankit: the numerical kernels both estimators
// call -- partialling fixed effects out of data columns, group ranges,
// cluster score sums and the removal of perfectly explained observations.
//
// Group ranges follow one convention everywhere: panel[g, 0] is the first and
// panel[g, 1] the last position (inclusive) of group g within the sort order;
// an empty group is (p, p - 1), p the position where it would start.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "backend/demeankit_args.hpp"
#include "backend/demeankit_index_cache.hpp"
#include "backend/demeankit_reduced.hpp"
#include "core/cluster_scores.hpp"
#include "core/demean.hpp"
#include "core/group_index.hpp"
#include "core/large_pages.hpp"
#include "core/obs_blocks.hpp"
#include "core/singletons.hpp"
#include "pyutil/convergence.hpp"
#include "pyutil/pyutil.hpp"
#include "pyutil/signals.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace korvald::backend {
namespace {

nb::object new_float64(int64_t rows, int64_t cols, bool two_d) {
  nb::object np = py::numpy();
  nb::object shape = two_d ? nb::object(nb::make_tuple(rows, cols)) : nb::object(nb::make_tuple(rows));
  return np.attr("empty")(shape, "dtype"_a = np.attr("float64"));
}

template <typename T>
T* data_of(nb::handle array) {
  return nb::cast<nb::ndarray<T, nb::c_contig, nb::device::cpu>>(array).data();
}

struct DemeanCall {
  nb::object result;
  std::vector<core::ColumnReport> reports;
  bool reduced = false;  // solved through the reduced system
};

// Z may be overwritten by its result only when it is a writable C-contiguous
// float64 array that the weights do not overlap: the kernels then read each
// value before writing the residual to the same place.
void require_overwritable(nb::handle Z, nb::handle w) {
  nb::object np = py::numpy();
  const bool usable = nb::isinstance(Z, np.attr("ndarray")) && py::equals(Z.attr("dtype"), np.attr("float64")) &&
                      py::truthy(Z.attr("flags").attr("c_contiguous")) && py::truthy(Z.attr("flags").attr("writeable"));
  if (!usable) py::raise_value_error("overwrite=True needs Z to be a writable C-contiguous float64 numpy array");
  if (!w.is_none() && py::truthy(np.attr("may_share_memory")(Z, w)))
    py::raise_value_error("overwrite=True needs w to be stored apart from Z");
}

DemeanCall run_demean(core::DemeanMethod method, nb::handle Z, nb::handle w, nb::handle panelmat, nb::handle tol,
                      nb::handle minsubiter, nb::handle maxsubiter, nb::handle nt,
                      ReducedMode reduced_mode = ReducedMode::automatic, bool overwrite = false) {
  if (overwrite) require_overwritable(Z, w);
  const DoubleView z = float64_matrix(Z, "Z");
  const int64_t n = z.rows, m = z.cols;
  DoubleView wv;
  nb::object w_contig;
  const double* weights = nullptr;
  if (!w.is_none()) {
    wv = float64_vector(w, "w", n);
    if (wv.row_stride != 1 && n > 1) {
      w_contig = py::numpy().attr("ascontiguousarray")(w).attr("reshape")(-1);
      weights = data_of<const double>(w_contig);
    } else {
      weights = wv.data;
    }
  }
  const std::vector<GroupArgs> groups = panelmat_args(panelmat, n);

  core::DemeanOptions options;
  options.method = method;
  options.tol = real_arg(tol, "tol");
  if (!(options.tol > 0) || !std::isfinite(options.tol)) py::raise_value_error("tol must be positive and finite");
  options.min_iter = integer_arg(minsubiter, "minsubiter");
  options.max_iter = integer_arg(maxsubiter, "maxsubiter");
  if (options.max_iter < 1) py::raise_value_error("maxsubiter must be at least 1");
  if (options.min_iter > options.max_iter) py::raise_value_error("minsubiter must not exceed maxsubiter");
  const int64_t threads = integer_arg(nt, "nt");
  if (threads < 0) py::raise_value_error("nt must be non-negative");

  DemeanCall call;
  call.result = overwrite ? nb::borrow(Z) : new_float64(n, m, z.ndim == 2);
  double* out = overwrite ? const_cast<double*>(z.data) : data_of<double>(call.result);

  std::string failure;
  const std::unique_ptr<core::Interrupt> interrupt = py::signal_interrupt();
  options.interrupt = interrupt.get();
  const int nthreads = static_cast<int>(std::min<int64_t>(threads, 1 << 16));
  const std::shared_ptr<const core::GroupIndex> shared_index =
      shared_group_index(panelmat, groups, n, failure, nthreads);
  {
    nb::gil_scoped_release release;
    if (failure.empty() && weights) {
      for (int64_t i = 0; i < n; ++i)
        if (!(weights[i] >= 0) || !std::isfinite(weights[i])) {
          failure = "w must be finite and non-negative";
          break;
        }
    }
  }
  if (!failure.empty()) py::raise_value_error(failure);
  std::vector<core::GroupRanges> ranges;
  for (const auto& g : groups) ranges.push_back(g.ranges());
  const core::GroupIndex& index = *shared_index;
  ReducedSolver reduced;
  try {
    // Weakly connected panels: CG on the reduced system with its factor (see demeankit_reduced.hpp).
    if (method == core::DemeanMethod::conjugate_gradient && m > 0)
      call.reduced = prepare_reduced(shared_index, ranges, weights, nthreads, interrupt.get(), reduced_mode, reduced);
    nb::gil_scoped_release release;
    const core::Projector projector(index, ranges, weights, method, call.reduced ? &reduced.system : nullptr,
                                    call.reduced ? &reduced.factor : nullptr, nthreads);
    call.reports = core::demean_columns(projector, z.data, n, m, z.row_stride, z.col_stride, out, options, nthreads);
  } catch (const core::Interrupted&) {
  }
  py::raise_if_interrupted(*interrupt);
  return call;
}

void report_columns(const char* name, const std::vector<core::ColumnReport>& reports, int64_t max_iter) {
  const size_t m = reports.size();
  for (size_t j = 0; j < m; ++j) {
    const core::ColumnReport& r = reports[j];
    std::string line = std::string(name) + ": column " + std::to_string(j + 1) + " of " + std::to_string(m) + ": " +
                       std::to_string(r.iterations) + " iterations, " + std::to_string(r.passes) +
                       " passes, criterion " + py::format(r.criterion, ".3e") + " (target " +
                       py::format(r.threshold, ".3e") + "), ";
    if (r.converged)
      line += "converged";
    else if (!std::isfinite(r.criterion) || !std::isfinite(r.threshold))
      line += "NOT converged: non-finite values";
    else if (r.iterations >= max_iter)
      line += "NOT converged: maxsubiter (" + std::to_string(max_iter) + ") reached";
    else
      line += "NOT converged: no further progress in floating point";
    py::print(line);
  }
}

nb::object map_function(const char* name, core::DemeanMethod method, nb::handle Z, nb::handle w,
                        nb::handle panelmat, nb::handle tol, nb::handle minsubiter, nb::handle maxsubiter,
                        nb::handle verb, nb::handle nt, nb::handle report, nb::handle overwrite) {
  // Only verb > 0 matters, so any number will do.
  const int talk = PyObject_RichCompareBool(verb.ptr(), nb::int_(0).ptr(), Py_GT);
  if (talk < 0) {
    PyErr_Clear();
    py::raise_type_error("verb must be a number");
  }
  if (!report.is_none() && !nb::isinstance<nb::list>(report))
    py::raise_type_error("report must be None or a list");
  DemeanCall call = run_demean(method, Z, w, panelmat, tol, minsubiter, maxsubiter, nt, ReducedMode::automatic,
                               py::truthy(overwrite));
  const int64_t max_iter = integer_arg(maxsubiter, "maxsubiter");
  if (talk) report_columns(name, call.reports, max_iter);
  if (report.is_none()) {
    // Nobody else will say it: a column that stopped short is worth a warning.
    const std::string failure = py::demean_failure(name, call.reports, max_iter);
    if (!failure.empty()) py::warn_convergence(failure, 1);
  } else {
    nb::list out = nb::borrow<nb::list>(report);
    for (const auto& r : call.reports) out.append(py::report_tuple(r));
  }
  return call.result;
}

nb::object demean_stats(nb::handle Z, nb::handle w, nb::handle panelmat, nb::handle tol, nb::handle minsubiter,
                        nb::handle maxsubiter, nb::handle accel, nb::handle nt, nb::handle solver) {
  const auto method = py::truthy(accel) ? core::DemeanMethod::conjugate_gradient : core::DemeanMethod::alternating;
  ReducedMode mode = ReducedMode::automatic;
  const std::string choice = nb::isinstance<nb::str>(solver) ? nb::cast<std::string>(solver) : "";
  if (choice == "sweep")
    mode = ReducedMode::never;
  else if (choice == "reduced")
    mode = ReducedMode::always;
  else if (choice != "auto")
    py::raise_value_error("solver must be 'auto', 'sweep' or 'reduced'");
  DemeanCall call = run_demean(method, Z, w, panelmat, tol, minsubiter, maxsubiter, nt, mode);
  nb::list iterations, passes, converged;
  for (const auto& r : call.reports) {
    iterations.append(r.iterations);
    passes.append(r.passes);
    converged.append(nb::bool_(r.converged));
  }
  return nb::make_tuple(call.result, iterations, passes, converged, call.reduced ? "reduced" : "sweep");
}

nb::object panelsetup(nb::handle panel, nb::handle column, nb::handle N, nb::handle G) {
  MutableMatrix<int64_t> pm = writable_int64_matrix(panel, "panel");
  const int64_t n = integer_arg(N, "N");
  const int64_t ngroups = integer_arg(G, "G");
  if (n < 0) py::raise_value_error("N must be non-negative");
  if (pm.rows != ngroups || pm.cols != 2)
    py::raise_value_error("panel must have shape (G, 2) = (" + std::to_string(ngroups) + ", 2)");
  const IndexView codes = integer_vector(column, "column", n);
  core::FillCheck check;
  {
    nb::gil_scoped_release release;
    check = core::fill_group_ranges(codes.data, 1, n, ngroups, pm.data, pm.row_stride, pm.col_stride);
  }
  if (check == core::FillCheck::code_out_of_range)
    py::raise_value_error("column has group codes outside [0, G) = [0, " + std::to_string(ngroups) + ")");
  if (check == core::FillCheck::not_ascending)
    py::raise_value_error("column must list the group codes in ascending order");
  return nb::none();
}

nb::object calc_B(nb::handle B, nb::handle Z, nb::handle e, nb::handle order, nb::handle panel, nb::handle G,
                  nb::handle K) {
  MutableMatrix<double> bm = writable_float64_matrix(B, "B");
  const DoubleView z = float64_matrix(Z, "Z");
  const int64_t ngroups = integer_arg(G, "G");
  const int64_t k = integer_arg(K, "K");
  if (k < 0) py::raise_value_error("K must be non-negative");
  if (bm.rows != k || bm.cols != k) py::raise_value_error("B must have shape (K, K) = (" + std::to_string(k) + ", " + std::to_string(k) + ")");
  if (z.ndim != 2 || z.cols != k + 1)
    py::raise_value_error("Z must have 1 + K = " + std::to_string(k + 1) + " columns");
  const int64_t n = z.rows;
  const DoubleView ev = float64_vector(e, "e", n);
  GroupArgs clusters = group_args(order, panel, n, "order", "panel");
  if (clusters.ngroups != ngroups)
    py::raise_value_error("panel must have shape (G, 2) = (" + std::to_string(ngroups) + ", 2)");
  std::string failure;
  {
    nb::gil_scoped_release release;
    failure = check_structure({clusters}, n);
    if (failure.empty())
      core::add_cluster_scores(z.data + z.col_stride, z.row_stride, z.col_stride, k, ev.data, ev.row_stride,
                               clusters.ranges(), bm.data, bm.row_stride, bm.col_stride);
  }
  if (!failure.empty()) py::raise_value_error(failure);
  return nb::none();
}

nb::object drop_observations(core::DropRule rule, nb::handle y, nb::handle panelmat, nb::handle mask,
                             nb::handle counts, nb::handle nt) {
  const DoubleView yv = float64_vector(y, "y", -1);
  const int64_t n = yv.rows;
  const std::vector<GroupArgs> groups = panelmat_args(panelmat, n);
  const IndexView mv = integer_vector(mask, "mask", n, true);
  DoubleView cv;
  if (!counts.is_none()) cv = float64_vector(counts, "counts", n);
  nb::object np = py::numpy();
  nb::object result = np.attr("empty")(nb::make_tuple(n), "dtype"_a = np.attr("int64"));
  int64_t* keep_out = data_of<int64_t>(result);
  const int64_t threads = integer_arg(nt, "nt");
  if (threads < 0) py::raise_value_error("nt must be non-negative");
  std::string failure;
  // The threads only share the building of the group index.
  const std::shared_ptr<const core::GroupIndex> shared_index =
      shared_group_index(panelmat, groups, n, failure, static_cast<int>(std::min<int64_t>(threads, 1 << 16)));
  {
    nb::gil_scoped_release release;
    std::vector<double> cc;
    if (failure.empty() && cv.data) {
      cc.resize(static_cast<size_t>(n));
      for (int64_t i = 0; i < n; ++i) {
        const double v = cv.data[i * cv.row_stride];
        if (!(v >= 1) || !std::isfinite(v) || v != std::floor(v)) {
          failure = "counts must hold whole numbers of at least 1";
          break;
        }
        cc[i] = v;
      }
    }
    if (failure.empty()) {
      std::vector<core::GroupRanges> ranges;
      for (const auto& g : groups) ranges.push_back(g.ranges());
      // Only the zero-group rule reads y; a strided y is gathered for it.
      core::LargeVector<double> yc;
      const double* y_n = yv.data;
      if (rule == core::DropRule::singletons) {
        y_n = nullptr;
      } else if (yv.row_stride != 1) {
        yc.resize(static_cast<size_t>(n));
        for (int64_t i = 0; i < n; ++i) yc[i] = yv.data[i * yv.row_stride];
        y_n = yc.data();
      }
      core::LargeVector<uint8_t> keep(static_cast<size_t>(n));
      for (int64_t i = 0; i < n; ++i) keep[i] = mv.data[i] != 0;
      core::drop_uninformative(*shared_index, ranges, y_n, rule, keep.data(), cc.empty() ? nullptr : cc.data());
      for (int64_t i = 0; i < n; ++i) keep_out[i] = keep[i];
    }
  }
  if (!failure.empty()) py::raise_value_error(failure);
  return result;
}

constexpr const char* kTolDoc =
    "tol bounds the result's distance from a fixed point of the iteration: with s the w-norm of the "
    "column's variation around its weighted mean (||z - zbar||_w, or ||z||_w when that is 0), iteration "
    "stops once the w-norm of the change a further sweep would make to the returned residual is known "
    "to be at most tol * s. ";

const std::string kNoaccelDoc = std::string(
    "MAP_NH_noaccel(Z, w, panelmat, tol, minsubiter=0, maxsubiter=1000, verb=0, nt=0, *, report=None, "
    "overwrite=False)\n\n"
    "Partial the fixed effects of panelmat out of every column of Z by alternating projections: "
    "Gauss-Seidel sweeps over the fixed effects, each subtracting the (w-weighted) group means of the "
    "current residual.\n\n"
    "Z: float64 N x m (or length N, returned in the same shape); w: None or float64 non-negative weights "
    "of length N; panelmat: (2, k) object array from grpkit.make_pointer. Returns a new float64 array: "
    "each column minus its weighted least-squares projection on all fixed effects jointly; Z is not "
    "modified.\n\n") + kTolDoc +
    "Here that change is measured by the last sweep: sum over fixed effects of the w-norms of their "
    "corrections, an upper bound of the sweep's change (and of the next sweep's). "
    "An iteration is one sweep; stopping needs at least minsubiter sweeps, and maxsubiter caps them "
    "without an error (callers test the result for finiteness; verb > 0 reports every column). A column "
    "that stops without meeting its criterion raises korvald.ConvergenceWarning naming the routine, the "
    "number of such columns and the worst criterion against its threshold -- unless report (keyword only) "
    "is a list: then one tuple (iterations, passes, criterion, threshold, converged) per column is "
    "appended to it and warning is left to the caller. A column "
    "without variation is returned as zeros. nt threads (0 = all cores) take columns side by side when "
    "there are at least two columns per thread, and otherwise share each column's passes over the "
    "observations (large data only); the result does not depend on nt. overwrite (keyword only): when true, "
    "Z itself (a writable C-contiguous float64 array) receives the result and is returned, which saves an "
    "array of Z's size; the values are the same.";

const std::string kAccelDoc = std::string(
    "MAP_NH_CG_accel(Z, w, panelmat, tol, minsubiter=0, maxsubiter=1000, verb=0, nt=0, *, report=None, "
    "overwrite=False)\n\n"
    "Same contract as MAP_NH_noaccel, solved by conjugate gradient on the fixed-effect coefficients; "
    "it needs far fewer passes over the data on weakly connected designs. With two or more fixed effects "
    "the finest one is eliminated exactly and CG runs on the system left over the groups of the others, "
    "preconditioned by its diagonal, or, when the panel is so weakly connected that this system is "
    "sparse with a small factor, by its sparse factorisation (chosen automatically). Either way it stops "
    "by the criterion of the symmetric sweep of projections (forward then backward over the fixed "
    "effects, the finest first).\n\n") + kTolDoc +
    "Here the criterion is sqrt(g' M^-1 g) for the current normal-equation residual g and the symmetric "
    "sweep M, an upper bound of the w-norm of the change one more symmetric sweep would make. An "
    "iteration is one CG step; minsubiter, maxsubiter, verb, nt, report and overwrite as in MAP_NH_noaccel.";

// The two routines share their signature and differ only in the solver.
void def_map(nb::module_& m, const char* name, core::DemeanMethod method, const std::string& doc) {
  m.def(
      name,
      [name, method](nb::handle Z, nb::handle w, nb::handle panelmat, nb::handle tol, nb::handle minsubiter,
                     nb::handle maxsubiter, nb::handle verb, nb::handle nt, nb::handle report, nb::handle overwrite) {
        return map_function(name, method, Z, w, panelmat, tol, minsubiter, maxsubiter, verb, nt, report, overwrite);
      },
      "Z"_a, "w"_a.none(), "panelmat"_a, "tol"_a, "minsubiter"_a = 0, "maxsubiter"_a = 1000, "verb"_a = 0,
      "nt"_a = 0, nb::kw_only(), "report"_a.none() = nb::none(), "overwrite"_a = false, doc.c_str());
}

}  // namespace
}  // namespace korvald::backend

NB_MODULE(demeankit, m) {
  using namespace korvald::backend;
  namespace core = korvald::core;
  m.doc() = "Partialling-out kernels: alternating projections (plain and CG-accelerated), group ranges, "
            "cluster score sums and removal of singleton / all-zero fixed-effect groups.";

  def_map(m, "MAP_NH_noaccel", core::DemeanMethod::alternating, kNoaccelDoc);
  def_map(m, "MAP_NH_CG_accel", core::DemeanMethod::conjugate_gradient, kAccelDoc);

  m.def("_demean_stats", &demean_stats, "Z"_a, "w"_a.none(), "panelmat"_a, "tol"_a, "minsubiter"_a,
        "maxsubiter"_a, "accel"_a, "nt"_a = 0, "solver"_a = "auto",
        "Diagnostic run of the partialling-out (accel true: CG, false: alternating projections). Returns "
        "(result, iterations per column, passes over the observations per column, converged flags, solver "
        "used). solver (CG only): 'auto' as MAP_NH_CG_accel chooses, 'sweep' never the reduced system's "
        "factor, 'reduced' the reduced system whenever it can be factorised.");

  m.def(
      "_set_min_block_rows",
      [](int64_t rows) {
        if (rows < 1) korvald::py::raise_value_error("rows must be at least 1");
        return korvald::core::set_min_block_rows(rows);
      },
      "rows"_a,
      "Smallest block of observations that one column's passes are split into for threads (default 65536); "
      "returns the previous value. Small blocks let small data run the blocked code (tests).");

  m.def(
      "_set_max_cross_table",
      [](int64_t cells) {
        if (cells < 0) korvald::py::raise_value_error("cells must be non-negative");
        return korvald::core::set_max_cross_table(cells);
      },
      "cells"_a,
      "Largest dense cross-tabulation between the fixed effects other than the finest that the CG's stopping "
      "rule keeps (default 2097152 cells); returns the previous value. 0 makes it pass over the observations "
      "instead (tests).");

  m.def(
      "_set_schur_aggregates", [](bool on) { return korvald::core::set_schur_aggregates(on); }, "on"_a,
      "Whether CG on the Schur complement of the finest fixed effect solves clusters of strongly coupled "
      "groups as blocks in its preconditioner (default True) or keeps the diagonal alone; returns the "
      "previous value (tests).");

  m.def("panelsetup", &panelsetup, "panel"_a, "column"_a, "N"_a, "G"_a,
        "panelsetup(panel, column, N, G)\n\nFill the int64 (G, 2) array panel in place with the range of every "
        "group within column (the N group codes 0..G-1 in ascending order): panel[g, 0] the first, "
        "panel[g, 1] the last position (inclusive); an empty group gets (p, p - 1), p where it would "
        "start. Returns None.");

  m.def("calc_B", &calc_B, "B"_a, "Z"_a, "e"_a, "order"_a, "panel"_a, "G"_a, "K"_a,
        "calc_B(B, Z, e, order, panel, G, K)\n\nAdd into the float64 (K, K) array B (not reset) the sum over "
        "the G clusters of s_g s_g', s_g = sum over cluster g of e_i * Z[i, 1:K+1]. order is the argsort "
        "of the cluster codes and panel their panelsetup ranges. Returns None.");

  m.def(
      "drop_singletons",
      [](nb::handle y, nb::handle panelmat, nb::handle mask, nb::handle counts, nb::handle nt) {
        return drop_observations(core::DropRule::singletons, y, panelmat, mask, counts, nt);
      },
      "y"_a, "panelmat"_a, "mask"_a, "counts"_a.none() = nb::none(), "nt"_a = 1,
      "drop_singletons(y, panelmat, mask, counts=None, nt=1)\n\nNew int64 vector, non-zero = keep: starting from the "
      "observations with non-zero mask, repeatedly drop every observation alone in its group of some fixed "
      "effect until none is left. mask is not modified. counts: None, or float64 whole numbers >= 1, the "
      "number of observations each row stands for (frequency weights); a group is alone when its counts "
      "add up to 1. nt: threads for building the group index (0 = all cores); the result does not depend on "
      "it.");

  m.def(
      "sep",
      [](nb::handle y, nb::handle panelmat, nb::handle mask, nb::handle counts, nb::handle nt) {
        return drop_observations(core::DropRule::singletons_and_zero_groups, y, panelmat, mask, counts, nt);
      },
      "y"_a, "panelmat"_a, "mask"_a, "counts"_a.none() = nb::none(), "nt"_a = 1,
      "sep(y, panelmat, mask, counts=None, nt=1)\n\nAs drop_singletons, but also drops the fixed-effect groups whose y "
      "is exactly zero for every kept observation; repeats until no singleton and no all-zero group is left.");
}
