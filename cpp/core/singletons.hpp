// Removal of observations that a fixed-effect model explains perfectly.
//
// An observation alone in its group of some fixed effect is fitted exactly
// by that group's coefficient; a Poisson group whose outcome is zero
// throughout drives its coefficient to minus infinity. Removing either kind
// can create new ones in the other fixed effects (cascades), so removal
// repeats until none is left. The result is order independent: it is the
// largest subset of the starting observations in which every non-empty group
// has two or more members (and, for the Poisson rule, a non-zero outcome).
//
// Work is O(N x fixed effects): every group keeps live counts, and a group is
// scanned for its remaining members only when it becomes removable, which
// happens at most once.
#pragma once

#include <cstdint>
#include <vector>

#include "core/group_index.hpp"

namespace korvald::core {

enum class DropRule {
  singletons,                  // groups with exactly one kept observation
  singletons_and_zero_groups,  // ... and groups whose kept outcomes are all exactly 0
};

// keep: n flags, non-zero = in the sample on entry; cleared for every
// removed observation. y: the outcome (only read by the Poisson rule).
// ranges and index must describe the same fixed effects (same order).
// counts: nullptr (every observation counts once) or the number of
// observations each row stands for (frequency weights, whole numbers >= 1):
// a single row standing for three observations is no singleton.
void drop_uninformative(const GroupIndex& index, const std::vector<GroupRanges>& ranges, const double* y,
                        DropRule rule, uint8_t* keep, const double* counts = nullptr);

}  // namespace korvald::core
