// A stronger preconditioner for CG on the Schur complement S of the pivot
// (pivot_schur in demean.cpp) under heavy-tailed weights, as Poisson IRLS
// makes them. A pivot group (a worker) whose weight sits on a few of its
// observations ties their other groups (firms) together: once the pivot is
// eliminated those groups move as one, S's diagonal alone does not see it,
// and CG spends a step on every such cluster it meets, more of them the
// larger the sample. Clusters of groups with strong couplings are solved
// exactly, as small dense blocks; every other group keeps its diagonal.
//
// Coupling of groups a != b of one fixed effect through pivot group g:
// w_r w_s / W_g summed over pairs of g's rows r in a, s in b, strong when
// at least kStrongCoupling * sqrt(S_aa S_bb) for one g. As that is
// (w_r sqrt(1 / S_aa)) (w_s sqrt(1 / S_bb)) / W_g, the two largest of a
// run's u_r = w_r / sqrt(S_aa) rule out most pivot groups at once.
#pragma once

#include <cstdint>
#include <vector>

#include "core/task_team.hpp"

namespace korvald::core {

struct SchurAggregates {
  std::vector<int64_t> start{0};   // aggregate a's groups: member[start[a] .. start[a + 1])
  std::vector<int64_t> member;     // local indices of S (the pivot's groups left out)
  std::vector<int64_t> factor_at;  // aggregate a's Cholesky factor L (row-major, size^2) at factor[factor_at[a]]
  std::vector<double> factor;

  int64_t count() const { return static_cast<int64_t>(start.size()) - 1; }
  bool empty() const { return count() == 0; }
  // x_A = B_A^-1 r_A for every aggregate A; x's other entries are left as they are.
  void solve(const double* r, double* x) const;
};

// What the builder reads: codes n x F (global group numbers, offset[k] the
// first of fixed effect k), the pivot's groups runs of rows that no block of
// block_start splits, the weights, 1 / W per global group, and 1 / S_aa per
// local group (0: no diagonal; that group takes no part).
struct SchurRows {
  const uint32_t* codes = nullptr;
  int F = 0;
  int pivot = 0;
  const double* w = nullptr;
  const double* inv_weight_g = nullptr;
  const int64_t* offset = nullptr;  // F + 1 entries
  const double* inv_diag = nullptr;
};

// The aggregates and their blocks: S_aa on the diagonal, the strong pivot
// groups' couplings off it. Each pivot group's share is a positive
// semi-definite matrix, and what the blocks leave out of S_aa is positive,
// so every block is positive definite; one whose factorisation fails for
// rounding stays with its diagonal. The result depends on the data alone,
// not on the threads that scan the blocks of rows.
SchurAggregates build_schur_aggregates(const SchurRows& rows, const std::vector<int64_t>& block_start,
                                       TaskTeam* team);

// Whether the pivot's Schur complement gets the aggregates at all (default
// true); the setter returns the previous value (tests compare with the
// diagonal alone).
bool set_schur_aggregates(bool on);
bool schur_aggregates_on();

}  // namespace korvald::core
