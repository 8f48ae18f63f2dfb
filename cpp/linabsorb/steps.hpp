// The stages of one linabsorb call and the values they hand on. Each stage
// lives in its own file: prepare.cpp (arguments, estimation sample, fixed-
// effect identifiers, singletons), fit.cpp (partialling-out, collinearity
// screen, least squares), fe_recovery.cpp (the fixed effects themselves) and
// closing.cpp (fit statistics and the summary hand-off); estimator.cpp binds
// the function and runs the stages in order.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>

#include "common/weights.hpp"

namespace korvald::linabsorb {

namespace nb = nanobind;

// The call's arguments exactly as the caller passed them.
struct Arguments {
  nb::object y, x, fixedeffects, data, setype, clustvars, FEgen, verb, eps_MAP, minsubiter, maxsubiter,
      accel, nt, print_stata_style_summary, weights, weight_type;
};

// Everything the preparation hands to the fit and later stages.
struct Prepared {
  nb::object module;        // this extension module: routines are looked up on it at call time
  nb::object result;        // SimpleNamespace filled by every stage
  nb::list msg;             // message log
  nb::object accelfunc;     // partialling-out routine
  bool verbose = false;     // verb > 0
  std::string setype;       // normalised standard-error type
  nb::object clustvars;     // the caller's cluster list (or None)
  nb::object data;          // estimation sample with identifiers and initial_index
  nb::list y;               // dependent variable (one name)
  nb::list x_all;           // the caller's regressors
  nb::list fixedeffects;    // de-duplicated specifications
  nb::list fenames;         // identifier column names
  int64_t N = 0;
  int64_t N_FE = 1;
  nb::object panelmat;      // group pointers of the final identifiers; after the partialling-out only
                            // the entries the cluster inference reuses (reporting::pointers_for_clusters)
  nb::object order_key;     // identifier column the per-observation outputs are sorted by
  nb::object order;         // that order of the sample's rows (the sample itself stays unsorted), set after the inference
  common::WeightSpec wspec;      // the weights argument (None: unweighted)
  common::SampleWeights weights; // weight vector of the final sample
  bool weighted() const { return wspec.given(); }
  // Observations for degrees of freedom and reporting: the sum of frequency
  // weights, otherwise the row count.
  int64_t n_obs() const { return wspec.frequency() ? weights.n_obs : N; }
};

// With weights the partialled-out block is stored with every row multiplied
// by sqrt(w): its plain cross-products and residuals are the weighted ones.
struct Fit {
  nb::object yXtilde;  // N x (1 + K) partialled-out block, row-major (rows times sqrt(w) when weighted)
  nb::list x;          // regressors kept by the collinearity screen
  int64_t K = 0;
  nb::object beta;     // K x 1
  nb::object resid;    // N x 1, the partialled-out residual
  nb::object wresid;   // N x 1, resid * sqrt(w) when weighted; resid itself otherwise
};

Prepared prepare(const Arguments& args);
Fit fit(const Arguments& args, Prepared& prep);
void recover_fixed_effects(const Prepared& prep, const Fit& fit);

struct ClosingInputs {
  nb::object se, stat, p, covmat, cons_stats, fe_redundancies, N_cluster;
  double df = 0;
  int64_t total_nonredundant_fe = 0;
};
void close_and_summarize(const Arguments& args, const Prepared& prep, const Fit& fit, const ClosingInputs& inf);

// pandas Index of the sample's caller labels in output order, named "initial_index".
nb::object initial_index(const Prepared& prep);
// Contiguous read-only float64 / int64 view of one sample column.
nb::object float_column(const Prepared& prep, nb::handle name);
nb::object int_column(const Prepared& prep, nb::handle name);

}  // namespace korvald::linabsorb
