// Weighted group statistics used after the Poisson fit: the level of each
// group of a recovered fixed effect and its weight-averaged constant.
#pragma once

#include <cstdint>
#include <vector>

namespace korvald::core {

struct GroupLevels {
  std::vector<double> level;   // value at the group's first observation
  std::vector<double> weight;  // sum of the weights over the group
  double weighted_mean = 0.0;  // sum_g level_g weight_g / sum_g weight_g
};

// values: column `col` of an n x stride row-major matrix; ids in 0..ngroups-1.
GroupLevels group_levels(const int64_t* ids, int64_t ngroups, const double* values, int64_t stride, int64_t col,
                         const double* w, int64_t n);

// Column `col` of the n x stride row-major matrix minus d.
void shift_column(double* values, int64_t n, int64_t stride, int64_t col, double d);

// sum(target * w) / sum(w)
double weighted_mean(const double* target, const double* w, int64_t n);

}  // namespace korvald::core
