// Counting how many fixed-effect categories are free parameters.
#pragma once

#include <nanobind/nanobind.h>

namespace korvald::reporting {

namespace nb = nanobind;

// calculate_fe_redundancies(data, fixedeffects, fenames, setype=None, clustvars=None):
// dict spec -> {"categories", "redundant", "num_coefs"}.
nb::dict calculate_fe_redundancies(nb::handle data, nb::handle fixedeffects, nb::handle fenames,
                                   nb::handle setype, nb::handle clustvars);

}  // namespace korvald::reporting
