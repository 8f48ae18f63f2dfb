// The group index of the most recent group pointers, kept while they live.
//
// The kernels need, per observation, the number of its group in every fixed
// effect (core::GroupIndex), rebuilt from the sort orders in O(N k) random
// accesses. Estimators call the kernels several times with the same
// pointers: singleton removal and the partialling-out, and the Poisson IRLS
// once per iteration. One entry is kept, tied to the panelmat object by a
// weak reference (it goes when the panelmat goes) and checked against the
// arrays it was built from (their identity, the group ranges and a sample of
// the sort orders), so a changed or different panelmat is never served a
// stale index. Work that depends only on the groups (the reduced system's
// plan, demeankit_reduced.hpp) is kept beside the index and goes with it.
#pragma once

#include <nanobind/nanobind.h>

#include <memory>
#include <string>
#include <vector>

#include "backend/demeankit_args.hpp"
#include "core/group_index.hpp"

namespace korvald::backend {

struct ReducedPlan;

// The checked group index of `groups` (the parsed `panelmat`) over n rows,
// built unless the last one built for this very panelmat still fits. Call with
// the GIL held (it is released while building). On a failed structure check
// `failure` holds the message and the result is null.
// `threads` (0: all available) share the building; the index does not depend on them.
std::shared_ptr<const core::GroupIndex> shared_group_index(nb::handle panelmat, const std::vector<GroupArgs>& groups,
                                                           int64_t n, std::string& failure, int threads = 1);

// The reduced-system plan kept in `slot` (0 or 1) beside `index`, null when
// none is, or when `index` is not the kept one.
std::shared_ptr<const ReducedPlan> kept_reduced_plan(const core::GroupIndex* index, int slot);
// Keeps `plan` in `slot` beside `index` if that is the kept index (else drops it).
void keep_reduced_plan(const core::GroupIndex* index, int slot, std::shared_ptr<const ReducedPlan> plan);

}  // namespace korvald::backend
