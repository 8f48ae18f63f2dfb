#include "common/collinearity.hpp"

#include <nanobind/ndarray.h>

#include <cmath>
#include <limits>

#include "pyutil/pyutil.hpp"

namespace korvald::common {

using namespace nb::literals;
using Matrix = nb::ndarray<double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using ConstMatrix = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;

std::vector<bool> collinearity_screen(nb::handle remove_redundancy, nb::handle xtx) {
  nb::object np = py::numpy();
  Matrix xx = nb::cast<Matrix>(xtx);
  const size_t K = xx.shape(0);
  std::vector<bool> var_ok(K, false);
  if (K == 0) return var_ok;

  double* a = xx.data();
  const double eps = std::numeric_limits<double>::epsilon();
  bool all_zero = true;
  for (size_t t = 0; t < K * K; ++t) {
    if (std::fabs(a[t]) < eps) a[t] = 0.0;
    all_zero = all_zero && a[t] == 0.0;
  }
  if (all_zero) return var_ok;

  nb::object kept_rows = remove_redundancy(xtx, np.attr("zeros")(nb::make_tuple(K, 1)))[0];
  kept_rows = np.attr("ascontiguousarray")(np.attr("reshape")(kept_rows, nb::make_tuple(-1, K)), "dtype"_a = "float64");
  ConstMatrix kept = nb::cast<ConstMatrix>(kept_rows);
  for (size_t r = 0; r < kept.shape(0); ++r) {
    const double* row = kept.data() + r * K;
    for (size_t j = 0; j < K; ++j) {
      bool same = true;
      for (size_t c = 0; c < K && same; ++c) same = a[j * K + c] == row[c];
      if (same) var_ok[j] = true;
    }
  }
  return var_ok;
}

}  // namespace korvald::common
