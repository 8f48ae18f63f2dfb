// Input preparation: argument checks, the estimation sample, invalid rows,
// fixed-effect identifiers, the sort by the largest identifier and the
// removal of observations alone in a fixed-effect group.
#include <nanobind/stl/string.h>

#include "common/estimation_sample.hpp"
#include "common/weights.hpp"
#include "linabsorb/steps.hpp"
#include "pyutil/pyutil.hpp"

namespace korvald::linabsorb {

using namespace nb::literals;

static bool compare(nb::handle a, nb::handle b, int op) {
  int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
  if (r < 0) throw nb::python_error();
  return r == 1;
}

static void check_numeric_controls(const Arguments& args) {
  common::check_tolerance(args.eps_MAP, "Invalid value for eps_MAP; must be in (0, inf)");
  common::require_number(args.verb, "verb");
  common::check_iteration_types({args.minsubiter, args.maxsubiter});
  if (compare(args.maxsubiter, nb::int_(0), Py_LE)) py::raise_value_error("Need at least one iteration");
  if (compare(args.minsubiter, args.maxsubiter, Py_GT))
    py::raise_value_error("Minimum number of iterations cannot exceed maximum number of iterations");
}

// Rows with a missing value anywhere, or a non-finite dependent variable or
// regressor, leave the sample. One mask, one copy (none when all rows pass).
static void drop_invalid_rows(Prepared& prep) {
  nb::object np = py::numpy();
  nb::object sample = prep.data;
  const int64_t n_all = static_cast<int64_t>(nb::len(sample));

  nb::object yx = nb::set();
  for (nb::handle c : prep.y) yx.attr("add")(c);
  for (nb::handle c : prep.x_all) yx.attr("add")(c);
  if (prep.weighted()) yx.attr("add")(prep.wspec.name);

  nb::object valid = np.attr("ones")(n_all, "dtype"_a = "bool");
  for (nb::handle col : sample.attr("columns")) {
    nb::object column = sample[col];
    // y and x are float64 by now: isfinite also catches NaN.
    nb::object ok = py::truthy(yx.attr("__contains__")(col)) ? np.attr("isfinite")(column.attr("to_numpy")())
                                                             : common::usable_values(column);
    np.attr("logical_and")(valid, ok, "out"_a = valid);
  }
  const int64_t n_valid = nb::cast<int64_t>(np.attr("count_nonzero")(valid));
  if (n_valid != n_all) prep.data = sample[valid];

  if (n_valid == 0) {
    if (n_all == 0) py::raise_value_error("No observations left: the data has no rows");
    py::raise_value_error(
        "No observations left: every row has a missing or non-finite value in the model's variables");
  }
  if (n_valid != n_all) {
    const std::string note =
        std::to_string(n_all - n_valid) + " observation(s) have been excluded due to non-valid values";
    prep.msg.append(note);
    if (prep.verbose) py::print(note);
  }
  prep.N = n_valid;
}

// Weights: negative or (for "fweight") non-integer values are errors; rows
// of weight 0 carry nothing and leave the sample.
static void drop_zero_weight_rows(Prepared& prep) {
  nb::object keep;
  const int64_t zeros = common::check_weight_values(prep.data, prep.wspec, &keep);
  if (zeros == 0) return;
  if (zeros == prep.N) py::raise_value_error("No observations left: every row has weight 0");
  prep.data = prep.data[keep];
  prep.N -= zeros;
  const std::string note = std::to_string(zeros) + " observation(s) have been excluded due to zero weight";
  prep.msg.append(note);
  if (prep.verbose) py::print(note);
}

// Observations alone in a group of some fixed effect carry no within-group
// variation; the backend marks them (and anything that becomes a singleton
// after their removal).
static void drop_singleton_rows(Prepared& prep) {
  nb::object np = py::numpy();
  const int64_t n_before = prep.N;
  // drop_singletons reads y into its own buffer, so a view of the column will do.
  nb::object y_values = prep.data[prep.y[0]].attr("to_numpy")("dtype"_a = np.attr("float64"));
  nb::object mask = np.attr("ones")(n_before, "dtype"_a = np.attr("int64"));
  // A row standing for several observations (frequency weight) is no singleton.
  nb::object counts = prep.wspec.frequency()
                          ? prep.data[prep.wspec.name].attr("to_numpy")("dtype"_a = np.attr("float64"))
                          : nb::object(nb::none());
  nb::object marks = counts.is_none() ? prep.module.attr("drop_singletons")(y_values, prep.panelmat, mask)
                                      : prep.module.attr("drop_singletons")(y_values, prep.panelmat, mask, counts);
  nb::object keep = np.attr("asarray")(marks).attr("astype")("bool");
  if (nb::len(keep) != static_cast<size_t>(n_before))
    py::raise_runtime_error("drop_singletons returned " + std::to_string(nb::len(keep)) + " marks for " +
                            std::to_string(n_before) + " observations");
  const int64_t n_keep = nb::cast<int64_t>(np.attr("count_nonzero")(keep));
  if (n_keep == 0) py::raise_exception("All observations can be explained by the fixed effects");
  // Nothing removed: the identifiers are still contiguous and panelmat current.
  if (n_keep == n_before) return;

  prep.data = prep.data[keep];
  prep.N = n_keep;
  const std::string note = std::to_string(n_before - n_keep) +
                           " observation(s) have been excluded due to missing within group variation";
  prep.msg.append(note);
  if (prep.verbose) py::print(note);

  // Codes must stay contiguous 0..G-1 after groups lost observations.
  prep.N_FE = nb::len(prep.fixedeffects) > 0 ? common::recode_identifiers(prep.data, prep.fenames) : 1;
  prep.panelmat = common::group_pointers(prep.data, prep.fenames);
}

Prepared prepare(const Arguments& args) {
  Prepared prep;
  prep.module = nb::module_::import_("korvald.linabsorb._linabsorb");
  prep.result = prep.module.attr("SimpleNamespace")();
  prep.accelfunc = prep.module.attr(py::truthy(args.accel) ? "MAP_NH_CG_accel" : "MAP_NH_noaccel");

  if (args.data.is_none()) py::raise_runtime_error("data must not be empty");
  check_numeric_controls(args);
  prep.setype = common::normalize_setype(args.setype, true);
  prep.wspec = common::parse_weights(args.weights, args.weight_type, prep.setype);
  prep.verbose = compare(args.verb, nb::int_(0), Py_GT);
  prep.clustvars = args.clustvars;

  // The name arguments are read once into lists: a string would otherwise be
  // taken character by character and an iterator would be used up by the
  // first step that reads it.
  common::require_dataframe(args.data);
  nb::list y = common::name_list(args.y, "y");
  nb::list x = common::name_list(args.x, "x");
  nb::object fixedeffects = args.fixedeffects;
  if (!fixedeffects.is_none()) {
    nb::list specs = common::name_list(fixedeffects, "fixedeffects");
    for (nb::handle spec : specs)
      if (!PyUnicode_Check(spec.ptr()))
        py::raise_type_error("fixedeffects must hold strings (a column name or names joined by \"#\")");
    fixedeffects = specs;
  }
  if (prep.setype == "cluster" && !args.clustvars.is_none()) {
    nb::list names = common::name_list(args.clustvars, "clustvars");
    // The result keeps the caller's own list (or tuple); other iterables are
    // replaced by the names read from them.
    if (!PyList_Check(args.clustvars.ptr()) && !PyTuple_Check(args.clustvars.ptr())) prep.clustvars = names;
  }
  nb::object clustvars = prep.clustvars;

  nb::list keepvars = common::check_model_columns(args.data, y, x, fixedeffects, prep.setype, clustvars);
  common::require_weight_column(args.data, prep.wspec);
  if (prep.weighted()) keepvars.append(prep.wspec.name);
  // One dependent variable: the partialled-out block, the residuals and every
  // per-observation output are built around a single column 0.
  if (nb::len(y) != 1)
    py::raise_value_error("y must name exactly one dependent variable, got " + std::to_string(nb::len(y)) + ": " +
                          py::repr(y));
  if (prep.setype == "cluster") {
    // An empty list names no dimension to cluster on, just like None.
    if (nb::len(clustvars) == 0) py::raise_value_error("No cluster defined");
    common::require_distinct(clustvars, "clustvars");
  }
  common::require_unique_columns(args.data, keepvars);
  // Identifier columns fe_A, fe_B, ... and initial_index are added to the
  // sample; a model column of the same name would be overwritten.
  const size_t n_specs = fixedeffects.is_none() ? 0 : nb::len(common::sorted_unique(fixedeffects));
  nb::list reserved = common::make_fenames(n_specs);
  reserved.append("initial_index");
  common::require_unreserved(keepvars, reserved);
  common::require_numeric(args.data, y, "Dependent variable(s)");
  common::require_numeric(args.data, x, "Independent variable(s)");
  prep.y = y;
  prep.x_all = x;
  nb::list yx;
  for (nb::handle c : prep.y) yx.append(c);
  for (nb::handle c : prep.x_all) yx.append(c);
  if (prep.weighted()) yx.append(prep.wspec.name);
  prep.data = common::build_sample(args.data, keepvars, yx, prep.msg);
  common::cluster_notes(prep.setype, clustvars, prep.msg);
  drop_invalid_rows(prep);
  drop_zero_weight_rows(prep);

  prep.fixedeffects = common::dedupe_fixedeffects(fixedeffects);
  prep.fenames = common::make_fenames(nb::len(prep.fixedeffects));
  prep.N_FE = common::add_identifier_columns(prep.data, prep.fixedeffects, prep.fenames, prep.verbose ? 1 : 0);
  {
    nb::list keep;
    for (nb::handle c : prep.y) keep.append(c);
    for (nb::handle c : prep.x_all) keep.append(c);
    if (prep.setype == "cluster")
      for (nb::handle c : clustvars) keep.append(c);
    if (prep.weighted()) keep.append(prep.wspec.name);
    common::drop_absorbed_components(prep.data, prep.fixedeffects, keep);
  }
  prep.order_key = common::order_key(prep.data, prep.fenames);
  prep.panelmat = common::group_pointers(prep.data, prep.fenames);
  drop_singleton_rows(prep);
  prep.weights = common::sample_weights(prep.data, prep.wspec);
  return prep;
}

nb::object initial_index(const Prepared& prep) {
  return common::output_index(prep.data, prep.order);
}

nb::object float_column(const Prepared& prep, nb::handle name) {
  nb::object np = py::numpy();
  return np.attr("ascontiguousarray")(prep.data[name].attr("to_numpy")("dtype"_a = np.attr("float64")));
}

nb::object int_column(const Prepared& prep, nb::handle name) {
  nb::object np = py::numpy();
  return np.attr("ascontiguousarray")(prep.data[name].attr("to_numpy")("dtype"_a = np.attr("int64")));
}

}  // namespace korvald::linabsorb
