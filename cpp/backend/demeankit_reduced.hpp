// Choosing and preparing the reduced-system solver of MAP_NH_CG_accel
// (core/reduced_system.hpp): the core lays out the reduced system and counts
// the fill of its factor; SciPy orders it (reverse Cuthill-McKee, densely
// connected groups such as years last) and the core factorises it in that
// order (L D L', no pivoting: the shifted system is positive definite). The
// solver is used only when the system and its factor are small next to the
// data; else the caller keeps the sweep-preconditioned CG.
//
// Whether the solver applies, the layout, the order and the factor's symbolic
// analysis depend only on the groups, so they are worked out once per group
// index and kept beside it (demeankit_index_cache.hpp): the Poisson IRLS calls
// with the same groups and new weights every iteration, and then only the
// values are summed again and factorised. (SciPy's SuperLU redoes its
// analysis on every call and its factor has to be copied out; the core's
// L D L' reuses the analysis and takes about a tenth of that time.)
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/group_index.hpp"
#include "core/interrupt.hpp"
#include "core/reduced_system.hpp"

namespace korvald::backend {

enum class ReducedMode { automatic, never, always };

// What the weights do not change: kept beside the group index it was made for.
struct ReducedPlan {
  bool applies = false;  // within the size budgets of its mode
  core::ReducedLayout layout;
  core::ReducedSymbolic symbolic;  // of the factor, in S's fill-reducing order
};

struct ReducedSolver {
  std::shared_ptr<const ReducedPlan> plan;  // the system's layout lives here
  core::ReducedSystem system;
  core::ReducedFactor factor;
};

// Call with the GIL held; it is released around the core work. True when the
// solver applies (automatic: within the size budgets; always: whenever the
// factorisation succeeds). Throws core::Interrupted.
bool prepare_reduced(const std::shared_ptr<const core::GroupIndex>& index, const std::vector<core::GroupRanges>& ranges,
                     const double* weights, int threads, core::Interrupt* interrupt, ReducedMode mode,
                     ReducedSolver& out);

}  // namespace korvald::backend
