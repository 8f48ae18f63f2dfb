// The 80-column regression summary printed to standard output and returned
// as a DataFrame. Bound as the module-level `stata_style_summary` of each
// estimator module with that family's signature.
#pragma once

#include <nanobind/nanobind.h>

#include "reporting/family.hpp"

namespace korvald::reporting {

namespace nb = nanobind;

// Adds `stata_style_summary` with the family's signature to module `m`.
void bind_stata_style_summary(nb::module_& m, Family family);

}  // namespace korvald::reporting
