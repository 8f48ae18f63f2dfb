// The `separation` option and the rectifier pass: regressor-based separation
// found by _detect_separation_ir is removed, then the fe-style removal runs
// again because dropping rows can leave new singletons or all-zero groups.
#include <nanobind/stl/string.h>

#include "common/estimation_sample.hpp"
#include "poisabsorb/internal.hpp"
#include "pyutil/pyutil.hpp"

namespace korvald::poisabsorb {

using namespace nb::literals;

static nb::list parse_methods(nb::handle separation) {
  nb::object np = py::numpy();
  nb::object builtins = py::builtins();
  nb::list methods;
  nb::tuple collections = nb::make_tuple(builtins.attr("list"), builtins.attr("tuple"), builtins.attr("set"),
                                         builtins.attr("frozenset"), np.attr("ndarray"));
  if (nb::isinstance<nb::str>(separation) == false &&
      py::truthy(builtins.attr("isinstance")(separation, collections))) {
    for (nb::handle e : separation) methods.append(nb::str(e).attr("lower")());
  } else if (nb::isinstance<nb::str>(separation)) {
    std::string s = nb::cast<std::string>(nb::str(separation).attr("lower")());
    if (s.empty() || s == "none" || s == "off" || s == "no") {
    } else if (s == "default" || s == "auto" || s == "on") {
      methods.append("ir");
    } else {
      methods.append(nb::str(s.c_str(), s.size()));
    }
  } else {
    // Set membership, as Python would test it: 0 counts as False, 1 as True.
    // An unhashable value (a dict, say) is no alias either.
    if (PyObject_Hash(separation.ptr()) == -1) {
      PyErr_Clear();
      py::raise_value_error("Invalid value for separation: " + py::repr(separation));
    }
    nb::set off_aliases, default_aliases;
    for (nb::handle v : {nb::handle(Py_None), nb::handle(Py_False)}) off_aliases.add(v);
    for (const char* s : {"", "none", "off", "no"}) off_aliases.add(nb::str(s));
    default_aliases.add(nb::handle(Py_True));
    for (const char* s : {"default", "auto", "on"}) default_aliases.add(nb::str(s));
    if (off_aliases.contains(separation)) {
    } else if (default_aliases.contains(separation)) {
      methods.append("ir");
    } else {
      py::raise_value_error("Invalid value for separation: " + py::repr(separation));
    }
  }
  nb::list unknown;
  for (nb::handle mth : methods) {
    std::string s = nb::cast<std::string>(mth);
    if (s != "fe" && s != "ir" && s != "relu") unknown.append(mth);
  }
  if (nb::len(unknown) > 0)
    py::raise_value_error("Unknown separation method(s): " + py::repr(unknown) +
                          ". Valid: ['fe', 'ir', 'relu'], or 'none'/'default'.");
  return methods;
}

void separation_pass(Call& c) {
  nb::object np = py::numpy();
  nb::list methods = parse_methods(c.separation);
  bool run_ir = false;
  for (nb::handle mth : methods) {
    std::string s = nb::cast<std::string>(mth);
    run_ir = run_ir || s == "ir" || s == "relu";
  }

  int64_t num_separated = 0;
  if (run_ir) {
    // The certificate starts at 1 on every zero observation: without an
    // iteration, with no weight pinning the positive observations, or with a
    // threshold at or below 0, every zero observation would count as separated.
    common::check_tolerance(c.sep_tol, "Invalid value for sep_tol; must be in (0, inf)");
    common::check_tolerance(c.sep_K_penalty, "Invalid value for sep_K_penalty; must be in (0, inf)");
    if (py::is_int(c.sep_maxiter) && !py::greater(c.sep_maxiter, nb::int_(0)))
      py::raise_value_error("Need at least one iteration");
    if (c.loud()) py::print("note: running iterative rectifier (IR) separation check...");
    // The rectifier works on the identifier columns: the group pointers (and
    // the kernels' index kept for them) give way to its working arrays and
    // are rebuilt after it.
    c.panelmat = nb::none();
    // The regressors go straight from where they are stored into the
    // rectifier's working columns.
    const RegressorColumns xs = regressor_columns(c);
    auto regressors = [&](int64_t n, int64_t* K) -> core::RegressorFill {
      *K = c.K;
      return [&xs, n](int64_t k, double* out) { xs.write(k, n, out); };
    };
    nb::object found = run_rectifier(c.sample, c.ycol(), regressors, c.fenames, c.sep_tol, c.sep_maxiter,
                                     c.sep_K_penalty, nb::int_(100), nb::float_(1e-10), c.verb, c.nt);
    nb::object mask = found[0];
    num_separated = nb::cast<int64_t>(py::builtins().attr("int")(mask.attr("sum")()));
    if (num_separated > 0) {
      found = nb::none();
      common::keep_rows(c.sample, np.attr("logical_not")(mask));
      mask = nb::none();
      nb::object mp;
      c.sample = fe_style_removal(c, std::move(c.sample), &mp);
      c.N = static_cast<int64_t>(nb::len(c.sample));
      // Checked before the identifiers are rebuilt: group pointers of an
      // empty sample are undefined.
      if (c.N == 0) py::raise_exception("All observations removed by separation check");
      c.regroup();
      const std::string note = std::to_string(num_separated) +
                               " observation(s) dropped due to regressor-based separation (method: ir)";
      c.log(note);
      if (c.loud()) py::print("note: " + note);
    } else {
      c.panelmat = common::group_pointers(c.sample, c.fenames, c.threads);
      if (c.loud()) py::print("note: no additional separation detected by IR");
    }
  }
  c.N_dropped_ir_sep = num_separated;
  if (c.panelmat.is_none()) c.panelmat = common::group_pointers(c.sample, c.fenames, c.threads);

  nb::handle r = c.result;
  nb::setattr(r, "num_separated", nb::int_(num_separated));
  nb::setattr(r, "separation_methods", methods);
  nb::setattr(r, "keepsingletons", c.keepsingletons);
  nb::setattr(r, "N_full_initial", nb::int_(c.N_full_initial));
  nb::setattr(r, "N_dropped_invalid", nb::int_(c.N_dropped_invalid));
  nb::setattr(r, "N_dropped_fe_sep", nb::int_(c.N_dropped_fe_sep));
  nb::setattr(r, "N_dropped_ir_sep", nb::int_(num_separated));
  if (c.weighted()) nb::setattr(r, "N_dropped_zero_weight", nb::int_(c.N_dropped_zero_weight));
}

}  // namespace korvald::poisabsorb
