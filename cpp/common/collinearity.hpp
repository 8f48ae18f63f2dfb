// The collinearity screen both estimators run on the cross-product X'X of the
// partialled-out regressors (never on N-row data).
#pragma once

#include <nanobind/nanobind.h>

#include <vector>

namespace korvald::common {

namespace nb = nanobind;

// `xtx`: a K x K float64 C-contiguous array; entries below the float64
// machine epsilon in absolute value are set to 0 in place. SciPy's
// redundancy removal (`remove_redundancy(xtx, zeros)`) keeps a maximal set of
// independent rows, each an exact copy of a row of xtx, and a regressor is
// kept when its row equals one of them (so two identical regressors are both
// kept; the least-squares rank check then reports them). When every entry is
// zero (every regressor absorbed by the fixed effects) none is kept: the
// removal routine cannot reduce an all-zero matrix.
std::vector<bool> collinearity_screen(nb::handle remove_redundancy, nb::handle xtx);

}  // namespace korvald::common
