// Partialling-out of the dependent variable and all regressors in one
// backend call, the collinearity screen on the K x K cross-product, the
// least-squares solve and the residuals.
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "common/collinearity.hpp"
#include "common/estimation_sample.hpp"
#include "core/linear_fit.hpp"
#include "core/streamed_qr.hpp"
#include "core/weights.hpp"
#include "linabsorb/steps.hpp"
#include "pyutil/convergence.hpp"
#include "pyutil/pyutil.hpp"
#include "pyutil/signals.hpp"
#include "reporting/inference.hpp"

namespace korvald::linabsorb {

using namespace nb::literals;
using ConstMatrix = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using Matrix = nb::ndarray<double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using ConstVector = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

static nb::object contiguous_float64(nb::handle array) {
  nb::object np = py::numpy();
  return np.attr("ascontiguousarray")(array, "dtype"_a = np.attr("float64"));
}

static std::string routine_name(const Prepared& prep) { return py::str(prep.accelfunc.attr("__name__")); }

// The collinearity screen on X'X of the partialled-out regressors (rows and
// columns 1.. of the cross-product of the partialled-out block).
static std::vector<bool> screen_collinearity(const Prepared& prep, const std::vector<double>& zz, int64_t m) {
  nb::object np = py::numpy();
  const int64_t k_all = m - 1;
  nb::object XX = np.attr("empty")(nb::make_tuple(k_all, k_all), "dtype"_a = np.attr("float64"));
  Matrix xx_view = nb::cast<Matrix>(XX);
  for (int64_t a = 0; a < k_all; ++a)
    for (int64_t b = 0; b < k_all; ++b) xx_view.data()[a * k_all + b] = zz[(a + 1) * m + (b + 1)];
  return common::collinearity_screen(prep.module.attr("_remove_redundancy"), XX);
}

Fit fit(const Arguments& args, Prepared& prep) {
  nb::object np = py::numpy();
  Fit out;

  nb::list yx;
  for (nb::handle c : prep.y) yx.append(c);
  for (nb::handle c : prep.x_all) yx.append(c);
  nb::object Z = common::float_matrix(prep.sample, yx);
  nb::list report;
  // The package's own routine writes the result over Z (an array of this
  // call's own), so the block is never held twice; a routine put in its
  // place gets the plain positional arguments and a Z it may keep.
  nb::object demeaned =
      py::takes_report(prep.accelfunc)
          ? prep.accelfunc(Z, prep.weights.w, prep.panelmat, args.eps_MAP, args.minsubiter, args.maxsubiter,
                           args.verb, args.nt, "report"_a = report, "overwrite"_a = true)
          : prep.accelfunc(Z, prep.weights.w, prep.panelmat, args.eps_MAP, args.minsubiter, args.maxsubiter,
                           args.verb, args.nt);
  Z = nb::none();
  // The partialling-out is done: of the group pointers only the sort orders
  // a cluster dimension can reuse are kept, and the rest (with the kernels'
  // index kept for them) goes before the least squares needs its memory.
  prep.panelmat = reporting::pointers_for_clusters(prep.panelmat, prep.fixedeffects, prep.setype, prep.clustvars);
  out.yXtilde = contiguous_float64(demeaned);
  demeaned = nb::none();
  ConstMatrix block = nb::cast<ConstMatrix>(out.yXtilde);
  const int64_t n = static_cast<int64_t>(block.shape(0));
  const int64_t m = static_cast<int64_t>(block.shape(1));
  if (n != prep.N || m != static_cast<int64_t>(nb::len(yx)))
    py::raise_runtime_error(routine_name(prep) + " returned an array of shape (" + std::to_string(n) + ", " +
                            std::to_string(m) + "), expected (" + std::to_string(prep.N) + ", " +
                            std::to_string(nb::len(yx)) + ")");

  const double* w = prep.weighted() ? nb::cast<ConstVector>(prep.weights.w).data() : nullptr;
  bool finite;
  std::vector<double> zz(static_cast<size_t>(m * m));
  {
    double* rows = w ? nb::cast<Matrix>(out.yXtilde).data() : nullptr;
    nb::gil_scoped_release release;
    // Weighted least squares as plain least squares on rows times sqrt(w).
    if (w) core::scale_rows_by_sqrt(rows, n, m, w);
    finite = core::all_finite(block.data(), static_cast<size_t>(n * m), prep.threads);
    if (finite && m > 1) core::cross_product(block.data(), n, m, zz.data(), prep.threads);
  }
  if (!finite) py::raise_exception(routine_name(prep) + "(y,X) diverged");
  // Diverged is said above; a finite result that stopped short is worth a warning.
  const std::string failure = py::demean_failure(routine_name(prep), report, args.maxsubiter);
  if (!failure.empty()) {
    const std::string warning =
        "the partialling-out stopped short of eps_MAP, estimates are less accurate than requested: " + failure;
    prep.log("warning: " + warning);
    py::warn_convergence(warning, 1);
  }

  const int64_t k_all = m - 1;
  std::vector<bool> var_ok(static_cast<size_t>(k_all), false);
  if (k_all > 0) var_ok = screen_collinearity(prep, zz, m);

  std::vector<std::string> omitted;
  nb::list keep_cols;
  keep_cols.append(0);
  for (int64_t j = 0; j < k_all; ++j) {
    if (var_ok[j]) {
      out.x.append(prep.x_all[j]);
      keep_cols.append(j + 1);
    } else {
      omitted.push_back(py::str(prep.x_all[j]));
    }
  }
  if (!omitted.empty()) {
    out.yXtilde = np.attr("ascontiguousarray")(
        out.yXtilde[nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), keep_cols)]);
    const std::string note = "The variables " + py::join(omitted, ", ") + " are omitted due to colliearity";
    prep.log(note);
    if (prep.verbose) py::print(note);
  }
  out.K = static_cast<int64_t>(nb::len(out.x));

  // lstsq gets the (K+1)^2 R factor of the partialled-out block instead of its
  // N rows: the same solution and singular values without an N-row copy. Its
  // default cut-off on the N-row system, eps * max(N, K), is passed on so the
  // rank decision stays the one of that system.
  const int64_t K = out.K;
  nb::object R = np.attr("empty")(nb::make_tuple(K + 1, K + 1), "dtype"_a = np.attr("float64"));
  {
    const double* rows = nb::cast<ConstMatrix>(out.yXtilde).data();
    double* R_data = nb::cast<Matrix>(R).data();
    nb::gil_scoped_release release;
    core::r_factor(rows, prep.N, K, R_data, prep.threads);
  }
  nb::object slice = py::builtins().attr("slice");
  nb::object upper = slice(0, K);
  nb::object A = np.attr("ascontiguousarray")(R[nb::make_tuple(upper, upper)]);
  nb::object b = np.attr("ascontiguousarray")(R[nb::make_tuple(upper, slice(K, K + 1))]);
  const double rcond = std::numeric_limits<double>::epsilon() * static_cast<double>(std::max<int64_t>(prep.N, K));
  nb::tuple solution = nb::borrow<nb::tuple>(np.attr("linalg").attr("lstsq")(A, b, "rcond"_a = rcond));
  out.beta = contiguous_float64(solution[0]);
  const int64_t rank = nb::cast<int64_t>(solution[2]);
  if (rank < out.K) {
    const std::string warning =
        "Least squares problem does not have full rank; parameter estimates may be misleading";
    prep.log(warning);
    py::print(warning);
  }
  ConstMatrix beta = nb::cast<ConstMatrix>(out.beta);
  if (beta.shape(0) != static_cast<size_t>(out.K) || beta.shape(1) != 1)
    py::raise_runtime_error("least-squares solution has an unexpected shape");
  if (!core::all_finite(beta.data(), static_cast<size_t>(out.K)))
    py::raise_exception(routine_name(prep) + "(z,X) diverged");

  out.resid = np.attr("empty")(nb::make_tuple(prep.N, 1), "dtype"_a = np.attr("float64"));
  Matrix resid = nb::cast<Matrix>(out.resid);
  ConstMatrix kept_block = nb::cast<ConstMatrix>(out.yXtilde);
  {
    nb::gil_scoped_release release;
    core::partialled_residuals(kept_block.data(), prep.N, out.K + 1, beta.data(), resid.data(), prep.threads);
  }
  out.wresid = out.resid;
  if (w) {
    out.resid = np.attr("empty")(nb::make_tuple(prep.N, 1), "dtype"_a = np.attr("float64"));
    double* plain = nb::cast<Matrix>(out.resid).data();
    nb::gil_scoped_release release;
    core::unscale_by_sqrt(resid.data(), w, prep.N, plain);
  }
  return out;
}

}  // namespace korvald::linabsorb
