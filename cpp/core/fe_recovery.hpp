// Recovery of the fixed effects themselves after the coefficients are known:
// split a target vector (the part of the linear predictor not explained by
// the regressors) into one additive effect per fixed-effect dimension by
// Gauss-Seidel sweeps of (optionally weighted) group means.
#pragma once

#include <cstdint>
#include <vector>

#include "core/interrupt.hpp"

namespace korvald::core {

struct FeRecoveryOptions {
  int sweeps_per_check = 1;   // sweeps between two convergence checks
  int64_t max_checks = 200;   // outer iterations (each = sweeps_per_check sweeps)
  double tol = 1e-10;         // stop when max |values - values at last check| < tol
  Interrupt* interrupt = nullptr;  // polled once per sweep
};

struct FeRecoveryOutcome {
  int64_t iterations = 0;     // outer iterations run (1-based count at the stop)
  double max_change = 0.0;    // last measured max change
  bool converged = false;
};

// target: length n. weights: length n or nullptr (unweighted means).
// ids[k]: length-n codes 0..ngroups[k]-1 of dimension k.
// values: n x F row-major; holds the start values on entry, the effects on exit.
// In sweep order, dimension k is set to the (weighted) group mean of
// target - sum of the other dimensions' current values.
FeRecoveryOutcome recover_fixed_effects(const double* target, const double* weights,
                                        const std::vector<const int64_t*>& ids,
                                        const std::vector<int64_t>& ngroups, int64_t n, double* values,
                                        const FeRecoveryOptions& options);

}  // namespace korvald::core
