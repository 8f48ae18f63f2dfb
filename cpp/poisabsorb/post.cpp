// After convergence: diagnostics, covariance and inference (shared
// reporting), Poisson fit statistics, the weighted recovery of the fixed
// effects, result assembly and the summary table.
#include <nanobind/stl/string.h>

#include <cmath>

#include "common/estimation_sample.hpp"
#include "core/fe_recovery.hpp"
#include "core/poisson_irls.hpp"
#include "core/weighted_groups.hpp"
#include "poisabsorb/internal.hpp"
#include "pyutil/pyutil.hpp"
#include "pyutil/signals.hpp"
#include "reporting/inference.hpp"
#include "reporting/result_assembly.hpp"
#include "reporting/state_inputs.hpp"

namespace korvald::poisabsorb {

using namespace nb::literals;

static std::string fmt(nb::handle v, const char* spec) { return py::format(v, spec); }

static void print_diagnostics(const Call& c) {
  nb::object np = py::numpy();
  // In the order of the per-observation outputs, which the row index refers to.
  nb::object eta = common::in_output_order(c.eta, c.output_order), mu = common::in_output_order(c.mu, c.output_order),
             y = common::in_output_order(c.yv, c.output_order);
  auto stat = [&](nb::handle a, const char* f) { return fmt(np.attr(f)(a), ".3e"); };
  py::print("=== POST-CONVERGENCE DIAGNOSTICS ===");
  py::print("  eta:     min=" + stat(eta, "min") + "  max=" + stat(eta, "max") + "  mean=" + stat(eta, "mean") +
            "  median=" + stat(eta, "median"));
  py::print("  mu:      min=" + stat(mu, "min") + "  max=" + stat(mu, "max") + "  mean=" + stat(mu, "mean") +
            "  sum=" + stat(mu, "sum"));
  py::print("  Y:       min=" + stat(y, "min") + "  max=" + stat(y, "max") + "  mean=" + stat(y, "mean") +
            "  sum=" + stat(y, "sum"));
  nb::object huge = np.attr("count_nonzero")(np.attr("greater")(mu, 1e15));
  py::print("  obs with mu > 1e15: " + fmt(py::builtins().attr("int")(huge), ",") + " of " + py::format(c.N, ","));
  // The score condition of the constant: weighted sums when weighted.
  nb::object w_out = c.weighted() ? common::in_output_order(c.weights.w, c.output_order) : nb::object(nb::none());
  const double ratio = c.weighted() ? as_double(w_out.attr("__matmul__")(mu)) / as_double(w_out.attr("__matmul__")(y))
                                    : as_double(np.attr("sum")(mu)) / as_double(np.attr("sum")(y));
  py::print("  PPML score check: sum(mu)/sum(Y) = " + py::format(ratio, ".6f") + "  (should be ~ 1.0)");

  nb::object worst = py::builtins().attr("int")(np.attr("argmax")(np.attr("abs")(eta)));
  py::print("  --- worst-eta observation (row index " + py::str(worst) + ") ---");
  py::print("    eta = " + fmt(eta[worst], ".4f"));
  py::print("    mu  = " + fmt(mu[worst], ".4e"));
  py::print("    Y   = " + fmt(y[worst], ".4e"));
  nb::object row = c.output_order.is_none() ? worst : nb::object(c.output_order.attr("__getitem__")(worst));
  nb::dict xvals;
  for (int64_t k = 0; k < c.K; ++k) xvals[c.x[k]] = c.X_final[nb::make_tuple(row, k)];
  py::print("    X values: " + py::str(xvals));
  nb::object columns = c.sample.attr("columns");
  for (nb::handle spec : c.fixedeffects) {
    nb::dict group;
    for (const auto& part : py::split(py::str(spec), '#')) {
      nb::str col(part.c_str());
      if (py::truthy(columns.attr("__contains__")(col)))
        group[col] = c.sample.attr("__getitem__")(col).attr("iloc")[row];
    }
    py::print("    FE group (" + py::str(spec) + ") = " + py::str(group));
  }
}

// Weighted alternating projections on the fitted linear predictor, then
// every dimension is moved to a mu-weighted mean of zero and the shifts are
// collected in the constant.
static void recover_fixed_effects(const Call& c, nb::handle beta, nb::handle irls_weights) {
  nb::object np = py::numpy();
  nb::object pd = py::pandas();
  const int64_t n = c.N, K = c.K, F = static_cast<int64_t>(nb::len(c.fixedeffects));
  if (c.verbose) py::print("Recovering fixed effects (weighted alternating projections)...");

  const double* eta = f64(c.eta);
  const double* w = cf64(irls_weights);
  nb::object fe_total_arr = empty1(n);
  double* fe_total = f64(fe_total_arr);
  {
    const double* Xp = K > 0 ? cf64(c.X_final) : nullptr;
    const double* scale = (K > 0 && !c.x_scale.is_none()) ? cf64(c.x_scale) : nullptr;
    nb::object beta_arr = as_f64(beta);
    const double* b = K > 0 ? cf64(beta_arr) : nullptr;
    nb::gil_scoped_release release;
    core::remove_regressor_part(eta, Xp, scale, b, n, K, fe_total);
  }

  std::vector<nb::object> id_arrays;
  std::vector<const int64_t*> ids;
  std::vector<int64_t> ngroups;
  for (int64_t k = 0; k < F; ++k) {
    nb::object col = c.int_column(c.fenames[k]);
    ngroups.push_back(nb::cast<int64_t>(py::builtins().attr("int")(col.attr("max")())) + 1);
    ids.push_back(i64(col));
    id_arrays.push_back(col);
  }

  const double T = core::weighted_mean(fe_total, w, n);
  nb::object values_arr = np.attr("full")(nb::make_tuple(n, F), F > 0 ? T / static_cast<double>(F) : 0.0);
  double* values = f64(values_arr);

  // Three sweeps between checks, a tight tolerance, and at most 50000 checks.
  core::FeRecoveryOptions options;
  options.sweeps_per_check = 3;
  options.tol = 1e-12;
  const int64_t max_checks = F > 0 ? 50000 : 0;
  int64_t done = 0;
  double last_change = 0.0;
  bool converged = false;
  while (done < max_checks) {
    // With verb > 0, stop after every check numbered 1000, 2000, ... to report progress.
    const int64_t stop = c.verbose ? std::min<int64_t>(max_checks, (done / 1000 + 1) * 1000 + 1) : max_checks;
    options.max_checks = stop - done;
    core::FeRecoveryOutcome out;
    py::run_interruptible([&](core::Interrupt* interrupt) {
      options.interrupt = interrupt;
      out = core::recover_fixed_effects(fe_total, w, ids, ngroups, n, values, options);
    });
    done += out.iterations;
    last_change = out.max_change;
    if (out.converged) {
      converged = true;
      break;
    }
    const int64_t it = done - 1;
    if (c.verbose && it > 0 && it % 1000 == 0)
      py::print("  Iteration " + std::to_string(it) + ": max change = " + py::format(last_change, ".2e"));
  }
  if (c.verbose) {
    if (converged)
      py::print("Weighted FE converged in " + std::to_string(done) +
                " iterations (max change: " + py::format(last_change, ".2e") + ")");
    else
      py::print("Warning: FE did not converge (max change: " + py::format(last_change, ".2e") + ")");
  }
  if (!converged && max_checks > 0) {
    const std::string text = "the recovered fixed effects did not converge in " + std::to_string(done) +
                             " checks (last max change " + py::format(last_change, ".1e") +
                             " against a tolerance of " + py::format(options.tol, ".0e") +
                             "); fixed_effects are approximate";
    c.log("warning: " + text);
    py::warn_convergence(text, 1);
  }

  if (c.verbose) {
    nb::object error = np.attr("subtract")(values_arr.attr("sum")("axis"_a = 1), fe_total_arr);
    py::print("\nFE decomposition check:");
    py::print("  Max error: " + fmt(np.attr("max")(np.attr("abs")(error)), ".2e"));
    py::print("  Mean error: " + fmt(np.attr("mean")(error), ".2e"));
    py::print("  Std error: " + fmt(np.attr("std")(error), ".2e"));
  }

  nb::object normalized_arr = values_arr.attr("copy")();
  double* normalized = f64(normalized_arr);
  std::vector<double> constants;
  std::vector<std::vector<double>> levels(static_cast<size_t>(F));
  for (int64_t k = 0; k < F; ++k) {
    core::GroupLevels gl = core::group_levels(ids[k], ngroups[k], values, F, k, w, n);
    const double d = gl.weighted_mean;
    constants.push_back(d);
    core::shift_column(normalized, n, F, k, d);
    levels[k] = gl.level;
    for (double& v : levels[k]) v -= d;
    if (c.verbose)
      py::print("FE dimension " + std::to_string(k + 1) + ": group-weighted mean = " + py::format(d, ".10f"));
  }
  double sum_constants = 0.0;
  for (double d : constants) sum_constants += d;
  const double cons = F > 0 ? sum_constants : T;
  if (c.verbose) {
    nb::list shown;
    for (double d : constants) shown.append(nb::float_(d));
    py::print("\n=== GROUP-LEVEL NORMALIZATION ===");
    py::print("Normalization constants: " + py::str(shown));
    py::print("Sum of constants: " + py::format(sum_constants, ".10f"));
    py::print("_cons = " + py::format(cons, ".10f"));
  }

  nb::dict fe;
  fe["_cons"] = nb::float_(cons);
  for (int64_t k = 0; k < F; ++k) {
    nb::object spec = c.fixedeffects[k];
    nb::object column = np.attr("ascontiguousarray")(
        normalized_arr.attr("__getitem__")(column_of(k)));
    const std::string name = "__hdfe" + std::to_string(k + 1) + "__";
    fe[spec] = common::series_on_index(column, c.initial_index(), nb::str(name.c_str()), c.output_order);
    nb::object level_values = empty1(ngroups[k]);
    std::copy(levels[k].begin(), levels[k].end(), f64(level_values));
    nb::object index = pd.attr("Index")(np.attr("arange")(ngroups[k], "dtype"_a = np.attr("int64")), "name"_a = spec);
    fe[nb::str((py::str(spec) + "__levels").c_str())] =
        pd.attr("Series")(level_values, "index"_a = index, "name"_a = "fe_value");
  }
  nb::object fe_sum = normalized_arr.attr("sum")("axis"_a = 1);
  fe["__hdfe_sum__"] = common::series_on_index(fe_sum, c.initial_index(), nb::str("__hdfe_sum__"), c.output_order);

  nb::setattr(c.result, "fe_rowsum", common::series_on_index(fe_total_arr, c.initial_index(), nb::none(), c.output_order));
  nb::setattr(c.result, "fixed_effects", fe);

  if (c.verbose) {
    nb::object fe_sum_arr = as_f64(fe_sum);
    const double s = core::weighted_mean(f64(fe_sum_arr), w, n);
    py::print("\nVerification: _cons + weighted_mean(fe_sum) = " + py::format(cons + s, ".10f"));
    py::print("Should equal weighted_mean(fe_total) = " + py::format(T, ".10f"));
    py::print("Difference: " + py::format(std::fabs(cons + s - T), ".2e"));
    for (int64_t k = 0; k < F; ++k) {
      core::GroupLevels gl = core::group_levels(ids[k], ngroups[k], normalized, F, k, w, n);
      py::print("__hdfe" + std::to_string(k + 1) + "__ group-weighted mean after normalization: " +
                py::format(gl.weighted_mean, ".2e"));
    }
  }
}

nb::object finish(Call& c) {
  nb::object np = py::numpy();
  // The kernels' index of the group pointers is done with: it is tied to the
  // pointers' holder object, so a new holder of the same arrays lets it go.
  if (!c.panelmat.is_none()) c.panelmat = c.panelmat.attr("copy")();
  restore_identifiers(c);
  restore_outcome(c);
  // Of the group pointers only the sort orders a cluster dimension can reuse
  // are kept; the rest (and the kernels' index kept for them) go here.
  c.panelmat = reporting::pointers_for_clusters(c.panelmat, c.fixedeffects, c.setype, c.clustvars);
  // The regressors as one array only for the steps that read them row by
  // row (the diagnostics and the fixed-effect recovery).
  if (c.verbose || py::equals(c.FEgen, nb::bool_(true))) c.X_final = regressor_matrix(c);
  const int64_t n = c.N;
  // mu already holds exp(eta + offset) of the accepted step: the loop only
  // ever changes eta and mu together.
  // The order of the per-observation outputs is made after the inference
  // (it would only add to that step's memory) unless the diagnostics need it.
  bool ordered = false;
  auto make_output_order = [&]() {
    if (!ordered) c.output_order = common::output_order(c.sample, c.order_key);
    ordered = true;
  };
  if (c.verbose) {
    make_output_order();
    print_diagnostics(c);
  }
  nb::object resid = np.attr("subtract")(c.yv, c.mu);

  // Observation weights: the inference sees the IRLS weights w * mu and the
  // score residual w * (y - mu); frequency weights count a row w times in
  // the heteroskedastic meat, i.e. with residual sqrt(w) * (y - mu).
  const double* w = c.weighted() ? cf64(c.weights.w) : nullptr;
  nb::object irls_weights = c.mu, score_resid = resid, hetero_resid = nb::none();
  if (w) {
    nb::object wcol = c.weights.w.attr("reshape")(n, 1);
    // The loop's buffer of w * mu, refilled for the final means.
    irls_weights = c.wmu.attr("reshape")(n, 1);
    double* wmu_data = f64(irls_weights);
    const double* mu_data = cf64(c.mu);
    {
      nb::gil_scoped_release release;
      core::irls_weights(mu_data, w, n, wmu_data);
    }
    score_resid = np.attr("multiply")(resid, wcol);
    if (c.wspec.frequency()) hetero_resid = np.attr("multiply")(resid, np.attr("sqrt")(wcol));
  }

  reporting::InferenceInput in = reporting::inference_input(reporting::Family::Poisson, c);
  in.x = c.x;
  in.K = c.K;
  in.demeaned = c.zXtilde;
  in.beta = c.beta;
  in.resid = score_resid;
  in.hetero_resid = hetero_resid;
  in.verb = c.verb2 ? 2 : (c.verbose ? 1 : 0);
  in.mu = irls_weights;
  in.eta = c.eta;
  in.x_scale = c.x_scale;
  if (c.K > 0 && c.setype != "none") constant_sums(c, irls_weights, &in.constant_mux, &in.constant_fe_mass);
  reporting::InferenceOutput inf = reporting::covariance_and_inference(in, c.result);
  // The partialled-out matrix is done with.
  in.fe_pointers = nb::none();
  c.panelmat = nb::none();
  in.demeaned = nb::none();
  c.zXtilde = nb::none();
  score_resid = hetero_resid = nb::none();
  make_output_order();

  // Fit statistics of the final means.
  const double* y = cf64(c.yv);
  const double* mu = f64(c.mu);
  nb::object gammaln = c.module.attr("gammaln");
  // ln(y!) serves both log-likelihoods; the N-row terms are built in one buffer.
  nb::object log_y_factorial = np.attr("add")(c.yv, 1.0);
  gammaln(log_y_factorial, "out"_a = log_y_factorial);
  nb::object terms = np.attr("log")(c.mu);
  np.attr("multiply")(c.yv, terms, "out"_a = terms);
  np.attr("subtract")(terms, c.mu, "out"_a = terms);
  np.attr("subtract")(terms, log_y_factorial, "out"_a = terms);
  // Weighted sums of the per-row terms: w' terms.
  auto total = [&](nb::handle t) {
    return w ? as_double(c.weights.w.attr("__matmul__")(t.attr("ravel")())) : as_double(np.attr("sum")(t));
  };
  const double llf = total(terms);
  const bool summary = c.print_summary && c.setype != "none";
  if (!summary) log_y_factorial = nb::none();
  const int64_t n_obs = c.n_obs();
  const double params = static_cast<double>(c.K + c.N_FE);
  const double aic = -2.0 * llf + 2.0 * params;
  const double bic = -2.0 * llf + std::log(static_cast<double>(n_obs)) * params;
  double deviance;
  {
    nb::gil_scoped_release release;
    deviance = core::poisson_deviance(y, mu, n, false, w);
  }
  np.attr("sqrt")(c.mu, "out"_a = terms);
  np.attr("divide")(resid, terms, "out"_a = terms);
  np.attr("square")(terms, "out"_a = terms);
  const double pearson = total(terms);
  terms = nb::none();

  if (py::equals(c.FEgen, nb::bool_(true))) recover_fixed_effects(c, inf.beta, irls_weights);
  c.X_final = nb::none();
  irls_weights = nb::none();

  reporting::AssemblyInput a = reporting::assembly_input(reporting::Family::Poisson, c);
  a.x = c.x;
  a.K = c.K;
  a.df_model = inf.df_model;
  a.beta = inf.beta;
  a.resid = resid;
  a.llf = llf;
  a.aic = aic;
  a.bic = bic;
  a.deviance = deviance;
  a.pearson_chi2 = pearson;
  a.mu = c.mu;
  a.fit_iterations = c.iteration;
  reporting::assemble_result(a, c.result);
  common::set_weight_attributes(c.result, c.wspec, c.weights);

  if (summary) {
    nb::dict counts = c.fe_counts();
    const double ybar = w ? as_double(c.weights.w.attr("__matmul__")(c.yv.attr("ravel")())) / as_double(c.weights.w.attr("sum")())
                          : as_double(np.attr("mean")(c.yv));
    nb::object null_terms = np.attr("multiply")(c.yv, std::log(ybar));
    np.attr("subtract")(null_terms, ybar, "out"_a = null_terms);
    np.attr("subtract")(null_terms, log_y_factorial, "out"_a = null_terms);
    const double ll_null = total(null_terms);
    null_terms = nb::none();
    const double pseudo_r2 = ll_null != 0 ? 1.0 - llf / ll_null : 0.0;
    nb::object df_resid = nb::none();
    if (c.setype == "homoskedastic" || c.setype == "heteroskedastic")
      df_resid = nb::int_(n_obs - c.K - inf.total_nonredundant_fe);
    nb::object df = nb::int_(static_cast<int64_t>(inf.df));
    nb::object table = c.module.attr("stata_style_summary")(
        c.result, c.x, inf.beta, inf.se, inf.stat, inf.p, df, n_obs, c.K, c.N_FE, c.setype,
        "fixedeffects"_a = c.fixedeffects, "clustvars"_a = c.clustvars,
        "N_cluster"_a = c.setype == "cluster" ? inf.N_cluster : nb::none(), "deviance"_a = deviance,
        "log_pseudolik"_a = llf, "pseudo_r2"_a = pseudo_r2, "fe_counts"_a = counts, "covmat"_a = inf.covmat,
        "df_resid"_a = df_resid, "fe_redundancies"_a = inf.fe_redundancies, "cons_stats"_a = inf.cons_stats);
    nb::setattr(c.result, "summary_df", table.attr("copy")());
  }
  return c.result;
}

}  // namespace korvald::poisabsorb
