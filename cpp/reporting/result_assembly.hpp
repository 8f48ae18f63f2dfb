// Result assembly shared by both estimators: model-family stubs, degrees of
// freedom, the two formula strings, fit statistics, fitted values, residuals
// and the message log.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>

#include "reporting/family.hpp"

namespace korvald::reporting {

namespace nb = nanobind;

struct AssemblyInput {
  Family family = Family::Linear;
  std::string setype;
  nb::object clustvars;     // caller's list or None
  nb::object y;             // one-element list
  nb::object x;             // kept regressors
  nb::object x_all;         // regressors before the collinearity screen
  nb::object fixedeffects;  // de-duplicated list (empty when none)
  nb::object order = nb::none();  // output order of the sample's rows (None: as they are)
  nb::object data;          // estimation sample with initial_index
  nb::object labels = nb::none();  // the outputs' labels (the caller's labels of the sample rows, in output order)
  int64_t N = 0, K = 0, N_FE = 1, df_model = 0;
  nb::object msg;
  // Linear: beta (K x 1), resid (N x 1, partialled-out residual), FEgen flag.
  // Poisson: resid is y - mu (N x 1).
  nb::object beta, resid;
  bool fegen = false;
  // Poisson: fit statistics computed by the estimator, mu (N x 1) and the
  // IRLS iteration counter.
  double llf = 0, aic = 0, bic = 0, deviance = 0, pearson_chi2 = 0;
  nb::object mu;
  int64_t fit_iterations = 1;
  // Observation weights: None, or the length-N weight vector (linear: the
  // residual sum of squares and log-likelihood are weighted); n_obs the
  // observations reported (sum of frequency weights, else N; -1: N);
  // weight_type and weight_name restate them in the formula strings.
  nb::object weights = nb::none();
  int64_t n_obs = -1;
  std::string weight_type;
  nb::object weight_name = nb::none();
  int threads = 1;  // for writing the per-observation outputs; no value depends on it
};

// Sets fe_rowsum (linear, FEgen), family, model, df_model, df_resid,
// formula_R, formula_Stata, aic, bic, llf, deviance, pearson_chi2,
// family_name, family_link, scale, nobs, method, fit_history, fittedvalues,
// resid (linear) or resid_additive / resid_multiplicative (Poisson), msg.
void assemble_result(const AssemblyInput& in, nb::handle result);

// The two formula strings (exposed separately for testing and reuse). With
// a weight type and column: "weights = ~w" (R) and "[aweight=w]" (Stata).
std::string formula_r(Family family, const std::string& setype, nb::handle y, nb::handle x_all,
                      nb::handle fixedeffects, nb::handle clustvars, const std::string& weight_type = "",
                      nb::handle weight_name = nb::handle());
std::string formula_stata(Family family, const std::string& setype, nb::handle y, nb::handle x_all,
                          nb::handle fixedeffects, nb::handle clustvars, const std::string& weight_type = "",
                          nb::handle weight_name = nb::handle());

}  // namespace korvald::reporting
