// Placeholder; replaced by the estimator.
#include "poisabsorb/estimator.hpp"
namespace nb = nanobind;
namespace korvald::poisabsorb {
void bind_poisabsorb(nb::module_& m) {
  m.def("poisabsorb", [](nb::args, nb::kwargs) -> nb::object { throw std::runtime_error("not built yet"); });
}
}
