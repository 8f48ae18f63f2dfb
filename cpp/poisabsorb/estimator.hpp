// The Poisson estimator `poisabsorb` and its module-level helpers.
#pragma once

#include <nanobind/nanobind.h>

namespace korvald::poisabsorb {

// Adds `poisabsorb(...)`, `_poisson_deviance` and `_detect_separation_ir` to the module.
void bind_poisabsorb(nanobind::module_& m);

}  // namespace korvald::poisabsorb
