// Reporting partialling-out runs that stopped short of their criterion.
// The backend routines fill a caller's `report` list with one tuple per
// column; without one they warn themselves. Both sides word the failure the
// same way through this helper.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <vector>

#include "core/demean.hpp"

namespace korvald::py {

namespace nb = nanobind;

// Whether `routine` is one of the backend's own partialling-out functions,
// which take the keyword-only `report`. A replacement that follows the plain
// eight-argument contract is called without it (and reports nothing).
bool takes_report(nb::handle routine);

// (iterations, passes, criterion, threshold, converged) per column.
nb::tuple report_tuple(const core::ColumnReport& report);
std::vector<core::ColumnReport> reports_from_list(nb::handle report_list);

// "" when every column converged; otherwise e.g. "MAP_NH_CG_accel: 3 of 3
// columns did not converge (maxsubiter = 1000 iterations reached; worst
// criterion 3.1e-02 against a threshold of 6.9e-06)".
std::string demean_failure(const std::string& routine, const std::vector<core::ColumnReport>& reports,
                           int64_t max_iter);
// The same with maxsubiter as the caller gave it (any Python integer).
std::string demean_failure(const std::string& routine, nb::handle report_list, nb::handle max_iter);

}  // namespace korvald::py
