// _detect_separation_ir: converts the sample's columns for the rectifier
// kernel, runs it without the GIL and prints its per-iteration trace.
#include <nanobind/stl/string.h>

#include "common/estimation_sample.hpp"
#include "core/poisson_irls.hpp"
#include "core/rectifier.hpp"

#include <algorithm>
#include <limits>
#include "poisabsorb/internal.hpp"
#include "pyutil/pyutil.hpp"
#include "pyutil/signals.hpp"

namespace korvald::poisabsorb {

using namespace nb::literals;

nb::object run_rectifier(nb::handle data, nb::handle y, const RectifierRegressors& regressors, nb::handle fenames,
                         nb::handle tol, nb::handle maxiter, nb::handle K_penalty, nb::handle inner_maxiter,
                         nb::handle inner_tol, nb::handle verb, nb::handle nt) {
  nb::object np = py::numpy();
  core::RectifierOptions options;
  options.threads = common::one_off_threads(nt);
  options.tol = as_double(tol);
  options.maxiter = as_index(maxiter);
  options.K_penalty = as_double(K_penalty);
  options.inner_maxiter = as_index(inner_maxiter);
  options.inner_tol = as_double(inner_tol);
  const bool verb2 = py::greater(verb, nb::int_(1));

  nb::object Y = np.attr("ascontiguousarray")(
      data.attr("__getitem__")(y).attr("to_numpy")("dtype"_a = "float64").attr("ravel")());
  const int64_t n = static_cast<int64_t>(nb::len(Y));
  // The kernel walks y and the identifier columns together.
  if (n != static_cast<int64_t>(nb::len(data))) py::raise_value_error("y must name exactly one column");
  nb::object u = np.attr("zeros")(n, "dtype"_a = np.attr("float64"));
  if (!py::truthy(np.attr("equal")(Y, 0.0).attr("any")()))
    return nb::make_tuple(np.attr("zeros")(n, "dtype"_a = np.attr("bool_")), u);
  int64_t K = 0;
  const core::RegressorFill fill_x = regressors(n, &K);

  // Identifier columns stored in 32 bits are read as they are; otherwise
  // every column goes to the kernel as int64.
  bool narrow = true;
  for (nb::handle name : fenames)
    narrow = narrow && py::str(data.attr("__getitem__")(name).attr("dtype").attr("name")) == "int32";
  std::vector<nb::object> keep_alive;
  std::vector<const int64_t*> ids;
  std::vector<const int32_t*> ids32;
  std::vector<int64_t> ngroups;
  for (nb::handle name : fenames) {
    nb::object col = np.attr("ascontiguousarray")(data.attr("__getitem__")(name).attr("to_numpy")(
        "dtype"_a = narrow ? np.attr("int32") : np.attr("int64")));
    // The kernel indexes group tables by these codes.
    if (nb::cast<int64_t>(py::builtins().attr("int")(col.attr("min")())) < 0)
      py::raise_value_error("Fixed-effect identifier columns must hold codes 0..G-1");
    ngroups.push_back(nb::cast<int64_t>(py::builtins().attr("int")(col.attr("max")())) + 1);
    if (narrow)
      ids32.push_back(nb::cast<nb::ndarray<const int32_t, nb::c_contig, nb::device::cpu>>(col).data());
    else
      ids.push_back(i64(col));
    keep_alive.push_back(col);
  }

  const double* yp = cf64(Y);
  double* up = f64(u);
  core::RectifierTrace trace;
  py::run_interruptible([&](core::Interrupt* interrupt) {
    options.interrupt = interrupt;
    if (narrow)
      core::detect_separation(yp, n, K, fill_x, ids32, ngroups, options, up, &trace);
    else
      core::detect_separation(yp, n, K, fill_x, ids, ngroups, options, up, &trace);
  });
  if (verb2) {
    for (size_t it = 0; it < trace.max_change.size(); ++it)
      py::print("  IR iter " + std::to_string(it + 1) + ": max change=" + py::format(trace.max_change[it], ".2e") +
                ", provisional sep = " + std::to_string(trace.provisional[it]));
  }
  return nb::make_tuple(np.attr("greater")(u, options.tol), u);
}

nb::object detect_separation_ir(nb::handle data, nb::handle y, nb::handle x, nb::handle fenames, nb::handle tol,
                                nb::handle maxiter, nb::handle K_penalty, nb::handle inner_maxiter,
                                nb::handle inner_tol, nb::handle verb, nb::handle nt) {
  nb::object np = py::numpy();
  // The regressor columns as they are stored (float64 and contiguous in the
  // estimators' samples; converted otherwise), checked once y has passed its
  // checks: the kernel copies each into its own working column.
  std::vector<nb::object> x_columns;
  std::vector<const double*> X;
  auto regressors = [&](int64_t n, int64_t* K) -> core::RegressorFill {
    for (nb::handle name : x) {
      x_columns.push_back(np.attr("ascontiguousarray")(
          data.attr("__getitem__")(name).attr("to_numpy")("dtype"_a = "float64")));
      if (nb::cast<int64_t>(x_columns.back().attr("ndim")) != 1 || static_cast<int64_t>(nb::len(x_columns.back())) != n)
        py::raise_value_error("x must name single columns of data, got " + py::repr(name));
      X.push_back(cf64(x_columns.back()));
    }
    *K = static_cast<int64_t>(X.size());
    return [&X, n](int64_t k, double* out) { std::copy(X[k], X[k] + n, out); };
  };
  return run_rectifier(data, y, regressors, fenames, tol, maxiter, K_penalty, inner_maxiter, inner_tol, verb, nt);
}

double poisson_deviance_py(nb::handle y, nb::handle mu) {
  nb::object np = py::numpy();
  nb::object m = np.attr("ascontiguousarray")(np.attr("asarray")(mu, "dtype"_a = "float64").attr("ravel")());
  const double* mp = cf64(m);
  const int64_t nm = static_cast<int64_t>(nb::len(m));
  if (!core::all_finite(mp, nm)) return std::numeric_limits<double>::infinity();
  nb::object yy = np.attr("ascontiguousarray")(np.attr("asarray")(y, "dtype"_a = "float64").attr("ravel")());
  const int64_t ny = static_cast<int64_t>(nb::len(yy));
  if (ny != nm) py::raise_value_error("y and mu must have the same number of elements");
  const double* yp = cf64(yy);
  nb::gil_scoped_release release;
  return core::poisson_deviance(yp, mp, nm, false);
}

}  // namespace korvald::poisabsorb
