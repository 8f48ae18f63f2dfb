// Entry checks and the clean estimation sample: tolerances and iteration
// bounds, the inner-tolerance schedule, the standard-error type, the columns
// the model needs, float conversion, standardisation of the regressors, and
// the removal of missing or invalid rows.
#include <nanobind/stl/string.h>

#include <algorithm>
#include <cmath>

#include "common/estimation_sample.hpp"
#include "common/state_steps.hpp"
#include "poisabsorb/internal.hpp"
#include "pyutil/pyutil.hpp"

namespace korvald::poisabsorb {

using namespace nb::literals;

// A name argument that must hold exactly one column (offset, starting values):
// a second name would be read as part of the same column.
static nb::list one_name(nb::handle value, const std::string& what, const std::string& noun) {
  nb::list names = common::name_list(value, what);
  if (nb::len(names) != 1)
    py::raise_value_error(what + " must name exactly one " + noun + ", got " + std::to_string(nb::len(names)) +
                          ": " + py::repr(names));
  return names;
}

// Names of `names` that are also regressors. The regressors are divided by
// their standard deviation inside the sample, which would silently rescale
// a shared column.
static void reject_regressor_overlap(nb::handle names, nb::handle x, const std::string& prefix) {
  nb::list shared;
  for (nb::handle name : names)
    for (nb::handle v : x)
      if (py::equals(name, v)) {
        shared.append(name);
        break;
      }
  if (nb::len(shared) > 0) py::raise_value_error(prefix + py::repr(shared));
}

// The sample (owned by this call) keeps the rows where `mask` holds; no copy when all do.
// `scratch`, the standard deviations' work column, is let go before a filter
// copies the sample, so the copy does not come on top of it.
static void keep_valid_rows(nb::object& sample, nb::handle mask, nb::object& scratch) {
  if (py::truthy(mask.attr("all")())) return;
  scratch = nb::none();
  common::keep_rows(sample, mask);
}

void prepare_input(Call& c) {
  nb::handle m = c.module;
  nb::object np = py::numpy();
  c.result = m.attr("SimpleNamespace")();
  c.msg = m.attr("deque")();
  c.accel_name = py::truthy(c.accel) ? "MAP_NH_CG_accel" : "MAP_NH_noaccel";
  c.accelfunc = m.attr(c.accel_name.c_str());

  if (c.data.is_none()) py::raise_runtime_error("data must not be empty");

  common::check_tolerance(c.eps_MAP_arg, "Invalid value for eps_MAP; must be in (0, inf)");
  common::check_tolerance(c.eps_beta_arg, "Invalid value for eps_beta; must be in (0, inf)");
  common::check_tolerance(c.start_inner_tol_arg, "Invalid value for start_inner_tol; must be in (0, inf)");

  common::check_iteration_types({c.miniter_arg, c.maxiter_arg, c.minsubiter, c.maxsubiter});
  nb::int_ zero(0);
  if (py::less_or_equal(c.maxiter_arg, zero)) py::raise_value_error("Need at least one iteration");
  if (py::less_or_equal(c.maxsubiter, zero)) py::raise_value_error("Need at least one iteration");
  if (py::greater(c.miniter_arg, c.maxiter_arg))
    py::raise_value_error("Minimum number of iterations cannot exceed maximum number of iterations");
  if (py::greater(c.minsubiter, c.maxsubiter))
    py::raise_value_error("Minimum number of iterations cannot exceed maximum number of iterations");
  c.miniter = clamp_int64(c.miniter_arg);
  c.maxiter = clamp_int64(c.maxiter_arg);

  common::require_number(c.verb, "verb");
  c.verbose = py::greater(c.verb, zero);
  c.verb2 = py::greater(c.verb, nb::int_(1));
  c.print_summary = py::truthy(c.print_stata_style_summary);

  // Loose partialling-out while beta moves a lot, never looser than needed
  // for the outer tolerance at the end.
  c.eps_MAP = as_double(c.eps_MAP_arg);
  c.eps_beta = as_double(c.eps_beta_arg);
  c.start_inner_tol = as_double(c.start_inner_tol_arg);
  c.effective_inner_tol = std::max(std::min(c.eps_MAP, 0.1 * c.eps_beta), 1e-12);
  if (c.start_inner_tol < c.effective_inner_tol) c.start_inner_tol = c.effective_inner_tol;
  if (c.verbose)
    py::print("Inner tolerance schedule: start=" + py::format(c.start_inner_tol, ".1e") +
              " -> effective_final=" + py::format(c.effective_inner_tol, ".1e") +
              " (outer eps_beta=" + py::format(c.eps_beta, ".1e") + ")");

  c.setype = common::normalize_setype(c.setype_arg, false);
  c.wspec = common::parse_weights(c.weights_arg, c.weight_type_arg, c.setype);

  common::ModelNames names = common::read_model_names(c, c.data, c.y_arg, c.x_arg, c.fixedeffects_arg);
  c.x_arg = names.x;
  c.fixedeffects_arg = names.fixedeffects;
  if (!c.eta_0.is_none()) c.eta_0 = one_name(c.eta_0, "eta_0", "column of starting values");
  if (!c.off.is_none()) c.off = one_name(c.off, "off", "offset column");

  nb::list keepvars = common::check_model_columns(c.data, c.y, c.x_arg, c.fixedeffects_arg, c.setype, c.clustvars);
  if (!c.eta_0.is_none()) {
    common::require_columns(c.data, c.eta_0, "Starting values not in data: ");
    nb::object values = c.data.attr("__getitem__")(nb::list(c.eta_0))
                            .attr("to_numpy")("dtype"_a = "float64", "na_value"_a = np.attr("nan"));
    if (!py::truthy(np.attr("isfinite")(values).attr("all")()))
      py::raise_value_error("Starting values contain missing/infinite values");
    for (nb::handle v : c.eta_0) keepvars.append(v);
  }
  if (!c.off.is_none()) {
    common::require_columns(c.data, c.off, "Offset variable(s) not in data: ");
    for (nb::handle v : c.off) keepvars.append(v);
  }
  common::require_weight_column(c.data, c.wspec);
  if (c.weighted()) keepvars.append(c.wspec.name);
  common::check_sample_columns(c, c.data, c.fixedeffects_arg, keepvars);
  reject_regressor_overlap(c.y, c.x_arg, "Dependent variable(s) also listed as regressor(s): ");
  if (!c.off.is_none()) reject_regressor_overlap(c.off, c.x_arg, "Offset variable(s) also listed as regressor(s): ");
  if (!c.eta_0.is_none())
    reject_regressor_overlap(c.eta_0, c.x_arg, "Starting values also listed as regressor(s): ");
  if (c.weighted()) {
    nb::list wname;
    wname.append(c.wspec.name);
    reject_regressor_overlap(wname, c.x_arg, "Weight variable(s) also listed as regressor(s): ");
  }
  common::require_numeric(c.data, c.y, "Dependent variable(s)");
  common::require_numeric(c.data, c.x_arg, "Independent variable(s)");

  // Fixed-effect, cluster, offset and eta_0 columns keep their own dtype, so
  // large integer identifiers are never merged by a cast to a common type.
  c.sample = common::build_sample(c.data, keepvars, common::float_columns(c, c.x_arg), c.msg);
  c.source_index = c.data.attr("index");

  for (nb::handle v : c.x_arg) {
    c.x.append(v);
    c.x_all.append(v);
  }
  c.K = static_cast<int64_t>(nb::len(c.x));

  c.x_scale = nb::none();
  nb::object scratch = nb::none();  // one column-sized work array for the spreads below
  if (py::truthy(c.standardize_data) && c.K > 0) {
    nb::object scale = empty1(c.K);
    double* s = f64(scale);
    // Rows with infinite regressors are only removed later, so their standard
    // deviation is NaN (its divisor becomes 1.0); keep numpy quiet about it.
    {
      py::QuietInvalid quiet;
      for (int64_t k = 0; k < c.K; ++k) {
        double sd = sample_std(c.sample.attr("__getitem__")(c.x[k]), scratch);
        s[k] = (!std::isfinite(sd) || sd < 1e-15) ? 1.0 : sd;
      }
    }
    int64_t scaled = 0;
    nb::set divided;  // a regressor listed twice is one column of the sample: divide it once
    for (int64_t k = 0; k < c.K; ++k) {
      if (s[k] == 1.0) continue;
      ++scaled;
      if (divided.contains(c.x[k])) continue;
      divided.add(c.x[k]);
      nb::object col = c.sample.attr("__getitem__")(c.x[k]);
      c.sample.attr("__setitem__")(c.x[k], col.attr("__truediv__")(s[k]));
      c.x_divisor[c.x[k]] = nb::float_(s[k]);
    }
    c.x_scale = scale;
    if (c.verbose)
      py::print("Standardized " + std::to_string(scaled) + " of " + std::to_string(c.K) +
                " regressor(s) by their std. dev.");
  }

  common::cluster_notes(c.setype, c.clustvars, c.msg);

  if (py::truthy(c.keepsingletons)) {
    const std::string note = "warning: keeping singleton groups will keep fixed effects that cause separation";
    c.log(note);
    if (c.loud()) py::print(note);
  }

  c.N_full_initial = static_cast<int64_t>(nb::len(c.sample));
  nb::object ycol = c.ycol();
  // Missing values anywhere, negative or non-finite y, non-finite regressors:
  // one combined mask, so the sample is copied once.
  nb::object keep = np.attr("ones")(nb::len(c.sample), "dtype"_a = "bool");
  for (nb::handle col : c.sample.attr("columns"))
    np.attr("logical_and")(keep, common::usable_values(c.sample.attr("__getitem__")(col)), "out"_a = keep);
  nb::object yser = c.sample.attr("__getitem__")(ycol);
  keep = np.attr("logical_and")(keep, yser.attr("ge")(0).attr("to_numpy")("dtype"_a = "bool"));
  keep = np.attr("logical_and")(keep, np.attr("isfinite")(yser.attr("to_numpy")("dtype"_a = "float64")));
  for (nb::handle v : c.x)
    keep = np.attr("logical_and")(
        keep, np.attr("isfinite")(c.sample.attr("__getitem__")(v).attr("to_numpy")("dtype"_a = "float64")));
  if (c.weighted())
    keep = np.attr("logical_and")(
        keep, np.attr("isfinite")(c.sample.attr("__getitem__")(c.wspec.name).attr("to_numpy")("dtype"_a = "float64")));
  yser = nb::none();
  keep_valid_rows(c.sample, keep, scratch);
  const int64_t remaining = static_cast<int64_t>(nb::len(c.sample));
  c.N_dropped_invalid = c.N_full_initial - remaining;
  if (c.N_dropped_invalid > 0) {
    const std::string note =
        std::to_string(c.N_dropped_invalid) + " observation(s) dropped due to missing or invalid values";
    c.log(note);
    if (c.loud()) py::print("note: " + note);
  }
  // Nothing downstream is defined on an empty sample; say why it is empty.
  if (c.N_full_initial == 0) py::raise_value_error("No observations left: the data has no rows");
  if (remaining == 0) py::raise_value_error("No observations left after dropping missing or invalid values");

  // Weights: negative or non-integer frequency weights are errors; rows of
  // weight 0 leave the sample, so every later step (separation included)
  // works on the weights' support.
  nb::object positive;
  c.N_dropped_zero_weight = common::check_weight_values(c.sample, c.wspec, &positive);
  if (c.N_dropped_zero_weight > 0) {
    if (c.N_dropped_zero_weight == remaining) py::raise_value_error("No observations left: every row has weight 0");
    keep_valid_rows(c.sample, positive, scratch);
    const std::string note = std::to_string(c.N_dropped_zero_weight) + " observation(s) dropped due to zero weight";
    c.log(note);
    if (c.loud()) py::print("note: " + note);
  }

  // Warn when y is so small relative to its spread that exp() of the fit
  // underflows long before the fit is good.
  nb::object y_vals = c.sample.attr("__getitem__")(ycol).attr("to_numpy")("dtype"_a = "float64").attr("ravel")();
  const OutcomeSpread spread = outcome_spread(y_vals, scratch);
  scratch = nb::none();
  if (spread.any_positive) {
    double y_std = spread.std;
    if (y_std > 0) {
      double min_scaled = spread.min_positive / y_std;
      if (min_scaled < 1e-10) {
        const std::string note = "warning: dependent variable takes very low values after standardizing (" +
                                 py::format(min_scaled, ".4e") + ")";
        c.log(note);
        if (c.loud()) py::print(note);
      }
    }
  }

  c.N = remaining - c.N_dropped_zero_weight;
  c.K = static_cast<int64_t>(nb::len(c.x));
  // From here on the regressors are read where they are stored (the
  // caller's frame), so later row filters do not copy them.
  set_regressors_aside(c);
}

}  // namespace korvald::poisabsorb
