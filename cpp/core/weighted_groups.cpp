#include "core/weighted_groups.hpp"

#include <cstddef>

namespace korvald::core {

GroupLevels group_levels(const int64_t* ids, int64_t ngroups, const double* values, int64_t stride, int64_t col,
                         const double* w, int64_t n) {
  GroupLevels out;
  out.level.assign(static_cast<size_t>(ngroups), 0.0);
  out.weight.assign(static_cast<size_t>(ngroups), 0.0);
  std::vector<char> seen(static_cast<size_t>(ngroups), 0);
  for (int64_t i = 0; i < n; ++i) {
    const int64_t g = ids[i];
    if (!seen[g]) {
      seen[g] = 1;
      out.level[g] = values[i * stride + col];
    }
    out.weight[g] += w[i];
  }
  double num = 0.0, den = 0.0;
  for (int64_t g = 0; g < ngroups; ++g) {
    if (!seen[g]) continue;  // a code without observations is no group
    num += out.level[g] * out.weight[g];
    den += out.weight[g];
  }
  out.weighted_mean = num / den;
  return out;
}

void shift_column(double* values, int64_t n, int64_t stride, int64_t col, double d) {
  for (int64_t i = 0; i < n; ++i) values[i * stride + col] -= d;
}

double weighted_mean(const double* target, const double* w, int64_t n) {
  double num = 0.0, den = 0.0;
  for (int64_t i = 0; i < n; ++i) {
    num += target[i] * w[i];
    den += w[i];
  }
  return num / den;
}

}  // namespace korvald::core
