// The stages of one linabsorb call and the values they hand on. The call's
// state is the one every estimation shares (common/estimation_state.hpp):
// the linear model keeps nothing of its own until the fit, whose results
// travel in Fit. Each stage lives in its own file: prepare.cpp (arguments,
// estimation sample, fixed-effect identifiers, singletons; the steps both
// estimators take alike are in common/state_steps.cpp), fit.cpp
// (partialling-out, collinearity screen, least squares), fe_recovery.cpp
// (the fixed effects themselves) and closing.cpp (fit statistics and the
// summary hand-off); estimator.cpp binds the function and runs the stages in
// order.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>

#include "common/estimation_state.hpp"

namespace korvald::linabsorb {

namespace nb = nanobind;

// The call's arguments exactly as the caller passed them.
struct Arguments {
  nb::object y, x, fixedeffects, data, setype, clustvars, FEgen, verb, eps_MAP, minsubiter, maxsubiter,
      accel, nt, print_stata_style_summary, weights, weight_type;
};

// Everything the preparation hands to the fit and later stages: the linear
// model needs nothing beyond the state every estimation call shares.
using Prepared = common::EstimationState;

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

}  // namespace korvald::linabsorb
