// Standard deviations of the entry checks (the regressors' divisors, the
// outcome's scale warning) through one scratch column.
//
// pandas' Series.std() copies the column, then builds (mean - x) and its
// square: three fresh column-sized arrays per regressor, np.std one more. At
// tens of millions of rows each is a fresh mapping whose first touch costs
// more than the arithmetic. Here the deviations go into one scratch array,
// reused for every column, and the sums are numpy's own reductions over the
// same values in the same order, so the results are bit for bit those of
// numpy and of pandas' own code (pandas with the optional bottleneck package
// sums in another order: the last bits may differ from its). Columns that are
// not plain float64, or whose sum is not finite (missing or infinite values),
// take pandas' path.
#include <cmath>

#include "poisabsorb/internal.hpp"
#include "pyutil/pyutil.hpp"

namespace korvald::poisabsorb {

using namespace nb::literals;

namespace {

// The contiguous float64 values behind `series`, or None when pandas would
// see them otherwise (another dtype, an extension array, a strided view).
nb::object plain_values(nb::handle series) {
  nb::object np = py::numpy();
  if (!py::equals(series.attr("dtype"), np.attr("dtype")("float64"))) return nb::none();
  nb::object values = series.attr("to_numpy")();
  if (!py::equals(values.attr("dtype"), np.attr("dtype")("float64")) || !py::equals(values.attr("ndim"), nb::int_(1)) ||
      !py::truthy(values.attr("flags").attr("c_contiguous")))
    return nb::none();
  return values;
}

// The sum of squared deviations of `values` from `mean`, formed in `scratch`.
double squared_deviations(nb::handle values, nb::handle mean, nb::object& scratch) {
  nb::object np = py::numpy();
  if (scratch.is_none() || nb::len(scratch) != nb::len(values)) scratch = np.attr("empty_like")(values);
  np.attr("subtract")(mean, values, "out"_a = scratch);
  np.attr("multiply")(scratch, scratch, "out"_a = scratch);
  return as_double(scratch.attr("sum")("dtype"_a = np.attr("float64")));
}

}  // namespace

double sample_std(nb::handle series, nb::object& scratch) {
  nb::object values = plain_values(series);
  const int64_t n = values.is_none() ? 0 : static_cast<int64_t>(nb::len(values));
  nb::object total = values.is_none() ? nb::object() : values.attr("sum")("dtype"_a = py::numpy().attr("float64"));
  if (n < 2 || !std::isfinite(as_double(total))) return as_double(series.attr("std")());
  nb::object np = py::numpy();
  // As pandas: the count and its n - 1 as float64, the mean as numpy's sum over the count.
  nb::object count = np.attr("float64")(n);
  nb::object mean = total.attr("__truediv__")(count);
  const double sum_sq = squared_deviations(values, mean, scratch);
  return std::sqrt(sum_sq / (static_cast<double>(n) - 1.0));
}

OutcomeSpread outcome_spread(nb::handle y_vals, nb::object& scratch) {
  nb::object np = py::numpy();
  OutcomeSpread spread;
  nb::object positive = np.attr("greater")(y_vals, 0);
  spread.any_positive = py::truthy(positive.attr("any")());
  if (!spread.any_positive) return spread;
  spread.min_positive = as_double(np.attr("min")(y_vals, "where"_a = positive, "initial"_a = INFINITY));
  const int64_t n = static_cast<int64_t>(nb::len(y_vals));
  // np.std with divisor n: the mean as the sum over n, then the deviations.
  nb::object mean = np.attr("true_divide")(np.attr("sum")(y_vals, "dtype"_a = np.attr("float64")), n);
  if (!std::isfinite(as_double(mean))) {
    spread.std = as_double(np.attr("std")(y_vals));
    return spread;
  }
  spread.std = std::sqrt(squared_deviations(y_vals, mean, scratch) / static_cast<double>(n));
  return spread;
}

}  // namespace korvald::poisabsorb
