// Counting how many fixed-effect categories are free parameters.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <vector>

namespace korvald::reporting {

namespace nb = nanobind;

// calculate_fe_redundancies(data, fixedeffects, fenames, setype=None, clustvars=None):
// dict spec -> {"categories", "redundant", "num_coefs"}.
nb::dict calculate_fe_redundancies(nb::handle data, nb::handle fixedeffects, nb::handle fenames,
                                   nb::handle setype, nb::handle clustvars);

// The same with the category count of each specification already known (the
// estimators read it off their contiguous identifier columns instead of
// grouping N rows again).
nb::dict calculate_fe_redundancies(nb::handle data, nb::handle fixedeffects, const std::vector<int64_t>& categories,
                                   nb::handle setype, nb::handle clustvars);

}  // namespace korvald::reporting
