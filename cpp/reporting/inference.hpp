// Covariance and inference after the fit: redundancy accounting, the
// homoskedastic / heteroskedastic / multiway-clustered covariance with the
// eigenvalue repair, standard errors, test statistics, p-values, degrees of
// freedom and the statistics of the reported constant.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>

#include "reporting/family.hpp"

namespace korvald::reporting {

namespace nb = nanobind;

struct InferenceInput {
  Family family = Family::Linear;
  std::string setype;          // normalised: "none", "homoskedastic", "heteroskedastic", "cluster"
  nb::object clustvars;        // the caller's list (or None)
  nb::object data;             // estimation sample (DataFrame with initial_index, identifiers, ...)
  nb::object x;                // list of kept regressor names
  nb::object y;                // one-element list
  nb::object fixedeffects;     // de-duplicated list of specifications (may be empty)
  nb::object fenames;          // identifier column names
  nb::object fe_pointers = nb::none();  // their (2, k) group pointers, or None
  int64_t N = 0, K = 0, N_FE = 1;
  nb::object demeaned;         // N x (K+1) float64: col 0 dependent (linear; not read for Poisson), then X~
  nb::object beta;             // K x 1 (Poisson: standardized units)
  nb::object resid;            // N x 1 (linear: partialled-out residual; Poisson: y - mu)
  int verb = 0;
  nb::object msg;              // message log (list or deque)
  // Observation weights. The caller hands in the weighted pieces: linear,
  // `demeaned` and `resid` with rows times sqrt(w); Poisson, `mu` the IRLS
  // weights w * mu and `resid` the scores' residual w * (y - mu).
  nb::object weights = nb::none();       // None or length-N float64 (linear: used for the constant)
  nb::object hetero_resid = nb::none();  // None, or the residual of the heteroskedastic meat when it differs
                               // from `resid` (frequency weights: each row counts w times, not w^2)
  int64_t N_dof = -1;          // observations for degrees of freedom; -1: N
  // Poisson only
  nb::object mu, eta;          // N x 1; eta excludes the offset
  nb::object x_scale;          // None or length-K float64 array
  // Poisson with regressors: the sums behind the constant, worked out by the
  // caller from the regressors where they are stored (core::constant_sums):
  // mu'X of the standardized regressors (length K) and sum mu (eta - x'b).
  nb::object constant_mux = nb::none();
  double constant_fe_mass = 0;
};

struct InferenceOutput {
  nb::object beta;                   // K x 1, rescaled to the caller's units for Poisson
  nb::object covmat, se, stat, p;    // stat = t (linear) or z (Poisson); None when setype is "none"
  double df = 0;                     // inference degrees of freedom (not set for "none")
  int64_t df_model = 0;
  nb::object cons_stats;             // 4-tuple of floats or None
  nb::object fe_redundancies;        // dict or None
  int64_t total_nonredundant_fe = 0;
  nb::object N_cluster;              // list of cluster counts ("cluster") or None
};

// Sets the inference attributes on `result` in the documented order.
InferenceOutput covariance_and_inference(const InferenceInput& in, nb::handle result);

// What the inference reads of the (2, k) group pointers: the entries of the
// fixed effects that are a cluster dimension of their own (their sort order
// serves the cluster sums), None elsewhere; None when not clustering. The
// estimators pass this and let go of the full pointers before the inference.
nb::object pointers_for_clusters(nb::handle fe_pointers, nb::handle fixedeffects, const std::string& setype,
                                 nb::handle clustvars);

}  // namespace korvald::reporting
