// Module korvald.linabsorb._linabsorb.
#include <nanobind/nanobind.h>

#include "linabsorb/estimator.hpp"
#include "reporting/module_surface.hpp"

NB_MODULE(_linabsorb, m) {
  m.doc() = "Linear least squares with high-dimensional fixed effects absorbed by alternating projections.";
  korvald::reporting::bind_module_surface(m, korvald::reporting::Family::Linear);
  korvald::linabsorb::bind_linabsorb(m);
}
