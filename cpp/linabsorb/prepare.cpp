// Input preparation: argument checks, the estimation sample, invalid rows,
// fixed-effect identifiers, the sort by the largest identifier and the
// removal of observations alone in a fixed-effect group.
#include <nanobind/stl/string.h>

#include "common/estimation_sample.hpp"
#include "common/state_steps.hpp"
#include "common/weights.hpp"
#include "linabsorb/steps.hpp"
#include "pyutil/pyutil.hpp"

namespace korvald::linabsorb {

using namespace nb::literals;

static void check_numeric_controls(const Arguments& args) {
  common::check_tolerance(args.eps_MAP, "Invalid value for eps_MAP; must be in (0, inf)");
  common::require_number(args.verb, "verb");
  common::check_iteration_types({args.minsubiter, args.maxsubiter});
  if (py::less_or_equal(args.maxsubiter, nb::int_(0))) py::raise_value_error("Need at least one iteration");
  if (py::greater(args.minsubiter, args.maxsubiter))
    py::raise_value_error("Minimum number of iterations cannot exceed maximum number of iterations");
}

// Rows with a missing value anywhere, or a non-finite dependent variable or
// regressor, leave the sample. One mask, one copy (none when all rows pass).
static void drop_invalid_rows(Prepared& prep) {
  nb::object np = py::numpy();
  nb::object sample = prep.sample;
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
  sample = nb::none();
  if (n_valid != n_all) common::keep_rows(prep.sample, valid);

  if (n_valid == 0) {
    if (n_all == 0) py::raise_value_error("No observations left: the data has no rows");
    py::raise_value_error(
        "No observations left: every row has a missing or non-finite value in the model's variables");
  }
  if (n_valid != n_all) {
    const std::string note =
        std::to_string(n_all - n_valid) + " observation(s) have been excluded due to non-valid values";
    prep.log(note);
    if (prep.verbose) py::print(note);
  }
  prep.N = n_valid;
}

// Weights: negative or (for "fweight") non-integer values are errors; rows
// of weight 0 carry nothing and leave the sample.
static void drop_zero_weight_rows(Prepared& prep) {
  nb::object keep;
  const int64_t zeros = common::check_weight_values(prep.sample, prep.wspec, &keep);
  if (zeros == 0) return;
  if (zeros == prep.N) py::raise_value_error("No observations left: every row has weight 0");
  common::keep_rows(prep.sample, keep);
  prep.N -= zeros;
  const std::string note = std::to_string(zeros) + " observation(s) have been excluded due to zero weight";
  prep.log(note);
  if (prep.verbose) py::print(note);
}

// Observations alone in a group of some fixed effect carry no within-group
// variation; the backend marks them (and anything that becomes a singleton
// after their removal).
static void drop_singleton_rows(Prepared& prep) {
  nb::object np = py::numpy();
  const int64_t n_before = prep.N;
  // drop_singletons reads y into its own buffer, so a view of the column will do.
  nb::object y_values = prep.sample[prep.ycol()].attr("to_numpy")("dtype"_a = np.attr("float64"));
  nb::object mask = np.attr("ones")(n_before, "dtype"_a = np.attr("int64"));
  // A row standing for several observations (frequency weight) is no singleton.
  nb::object counts = prep.wspec.frequency()
                          ? prep.sample[prep.wspec.name].attr("to_numpy")("dtype"_a = np.attr("float64"))
                          : nb::object(nb::none());
  nb::object marks = prep.module.attr("drop_singletons")(y_values, prep.panelmat, mask, counts, "nt"_a = prep.threads);
  nb::object keep = np.attr("asarray")(marks).attr("astype")("bool");
  if (nb::len(keep) != static_cast<size_t>(n_before))
    py::raise_runtime_error("drop_singletons returned " + std::to_string(nb::len(keep)) + " marks for " +
                            std::to_string(n_before) + " observations");
  const int64_t n_keep = nb::cast<int64_t>(np.attr("count_nonzero")(keep));
  if (n_keep == 0) py::raise_exception("All observations can be explained by the fixed effects");
  // Nothing removed: the identifiers are still contiguous and panelmat current.
  if (n_keep == n_before) return;

  y_values = counts = nb::none();
  common::keep_rows(prep.sample, keep);
  prep.N = n_keep;
  const std::string note = std::to_string(n_before - n_keep) +
                           " observation(s) have been excluded due to missing within group variation";
  prep.log(note);
  if (prep.verbose) py::print(note);

  // Codes must stay contiguous 0..G-1 after groups lost observations.
  prep.regroup();
}

Prepared prepare(const Arguments& args) {
  Prepared prep;
  prep.module = nb::module_::import_("korvald.linabsorb._linabsorb");
  prep.result = prep.module.attr("SimpleNamespace")();
  prep.msg = nb::list();
  prep.accelfunc = prep.module.attr(py::truthy(args.accel) ? "MAP_NH_CG_accel" : "MAP_NH_noaccel");

  if (args.data.is_none()) py::raise_runtime_error("data must not be empty");
  check_numeric_controls(args);
  prep.setype = common::normalize_setype(args.setype, true);
  prep.wspec = common::parse_weights(args.weights, args.weight_type, prep.setype);
  prep.verbose = py::greater(args.verb, nb::int_(0));
  prep.threads = common::one_off_threads(args.nt);
  prep.clustvars = args.clustvars;

  common::ModelNames names = common::read_model_names(prep, args.data, args.y, args.x, args.fixedeffects);
  nb::list keepvars =
      common::check_model_columns(args.data, prep.y, names.x, names.fixedeffects, prep.setype, prep.clustvars);
  common::require_weight_column(args.data, prep.wspec);
  if (prep.weighted()) keepvars.append(prep.wspec.name);
  common::check_sample_columns(prep, args.data, names.fixedeffects, keepvars);
  common::require_numeric(args.data, prep.y, "Dependent variable(s)");
  common::require_numeric(args.data, names.x, "Independent variable(s)");
  prep.x_all = names.x;
  prep.sample = common::build_sample(args.data, keepvars, common::float_columns(prep, prep.x_all), prep.msg);
  prep.source_index = args.data.attr("index");
  common::cluster_notes(prep.setype, prep.clustvars, prep.msg);
  drop_invalid_rows(prep);
  drop_zero_weight_rows(prep);

  common::add_identifiers(prep, names.fixedeffects);
  {
    nb::list keep;
    for (nb::handle c : prep.y) keep.append(c);
    for (nb::handle c : prep.x_all) keep.append(c);
    if (prep.setype == "cluster")
      for (nb::handle c : prep.clustvars) keep.append(c);
    if (prep.weighted()) keep.append(prep.wspec.name);
    common::drop_absorbed_components(prep.sample, prep.fixedeffects, keep);
  }
  prep.order_key = common::order_key(prep.sample, prep.fenames);
  prep.panelmat = common::group_pointers(prep.sample, prep.fenames, prep.threads);
  drop_singleton_rows(prep);
  prep.weights = common::sample_weights(prep.sample, prep.wspec);
  return prep;
}

}  // namespace korvald::linabsorb
