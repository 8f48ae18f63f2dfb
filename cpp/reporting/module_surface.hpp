// What both estimator modules bind at load: numpy as np, pandas as pd, scipy
// (with scipy.stats loaded), SimpleNamespace, _remove_redundancy, tabulate,
// make_pointer and powerset, the backend routines, and the module-level
// functions calculate_fe_redundancies and stata_style_summary.
#pragma once

#include <nanobind/nanobind.h>

#include "reporting/family.hpp"

namespace korvald::reporting {

namespace nb = nanobind;

void bind_module_surface(nb::module_& m, Family family);

}  // namespace korvald::reporting
