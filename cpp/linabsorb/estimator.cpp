// Placeholder; replaced by the estimator.
#include "linabsorb/estimator.hpp"
namespace nb = nanobind;
namespace korvald::linabsorb {
void bind_linabsorb(nb::module_& m) {
  m.def("linabsorb", [](nb::args, nb::kwargs) -> nb::object { throw std::runtime_error("not built yet"); });
}
}
