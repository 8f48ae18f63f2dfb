// The linear estimator `linabsorb`.
#pragma once

#include <nanobind/nanobind.h>

namespace korvald::linabsorb {

// Adds `linabsorb(y, x, fixedeffects=None, data=None, ...)` to the module.
void bind_linabsorb(nanobind::module_& m);

}  // namespace korvald::linabsorb
