#include "core/fe_recovery.hpp"

#include <algorithm>
#include <cmath>

#include "core/large_pages.hpp"

namespace korvald::core {

FeRecoveryOutcome recover_fixed_effects(const double* target, const double* weights,
                                        const std::vector<const int64_t*>& ids,
                                        const std::vector<int64_t>& ngroups, int64_t n, double* values,
                                        const FeRecoveryOptions& options) {
  const size_t F = ids.size();
  FeRecoveryOutcome outcome;
  if (F == 0) return outcome;

  // Group weight totals do not change between sweeps: compute them once.
  std::vector<std::vector<double>> group_weight(F);
  for (size_t k = 0; k < F; ++k) {
    group_weight[k].assign(static_cast<size_t>(ngroups[k]), 0.0);
    const int64_t* id = ids[k];
    for (int64_t i = 0; i < n; ++i) group_weight[k][id[i]] += weights ? weights[i] : 1.0;
  }

  std::vector<double> group_sum;
  LargeVector<double> previous(static_cast<size_t>(n) * F);
  for (int64_t check = 0; check < options.max_checks; ++check) {
    std::copy(values, values + previous.size(), previous.begin());
    for (int sweep = 0; sweep < options.sweeps_per_check; ++sweep) {
      interrupt_poll(options.interrupt);
      for (size_t k = 0; k < F; ++k) {
        const int64_t* id = ids[k];
        group_sum.assign(static_cast<size_t>(ngroups[k]), 0.0);
        for (int64_t i = 0; i < n; ++i) {
          const double* row = values + i * F;
          double other = 0.0;
          for (size_t j = 0; j < F; ++j)
            if (j != k) other += row[j];
          const double partial = target[i] - other;
          group_sum[id[i]] += weights ? weights[i] * partial : partial;
        }
        for (int64_t g = 0; g < ngroups[k]; ++g) {
          const double total = group_weight[k][g];
          group_sum[g] = total > 0 ? group_sum[g] / total : 0.0;
        }
        for (int64_t i = 0; i < n; ++i) values[i * F + k] = group_sum[id[i]];
      }
    }
    double max_change = 0.0;
    for (size_t t = 0; t < previous.size(); ++t)
      max_change = std::max(max_change, std::fabs(values[t] - previous[t]));
    outcome.iterations = check + 1;
    outcome.max_change = max_change;
    if (max_change < options.tol) {
      outcome.converged = true;
      break;
    }
  }
  return outcome;
}

}  // namespace korvald::core
