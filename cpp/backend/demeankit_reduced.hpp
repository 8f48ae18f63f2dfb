// Choosing and preparing the reduced-system solver of MAP_NH_CG_accel
// (core/reduced_system.hpp): the core assembles the reduced system and counts
// the fill of its factor; SciPy orders it (reverse Cuthill-McKee, densely
// connected groups such as years last) and factorises it (SuperLU, in that
// order, no pivoting: the shifted system is positive definite). The solver is
// used only when the system and its factor are small next to the data; else
// the caller keeps the sweep-preconditioned CG.
#pragma once

#include <cstdint>
#include <vector>

#include "core/group_index.hpp"
#include "core/interrupt.hpp"
#include "core/reduced_system.hpp"

namespace korvald::backend {

enum class ReducedMode { automatic, never, always };

struct ReducedSolver {
  core::ReducedSystem system;
  core::ReducedFactor factor;
};

// Call with the GIL held; it is released around the core work. True when the
// solver applies (automatic: within the size budgets; always: whenever the
// factorisation succeeds). Throws core::Interrupted.
bool prepare_reduced(const core::GroupIndex& index, const std::vector<core::GroupRanges>& ranges,
                     const double* weights, int threads, core::Interrupt* interrupt, ReducedMode mode,
                     ReducedSolver& out);

}  // namespace korvald::backend
