// Module korvald.poisabsorb._poisabsorb.
#include <nanobind/nanobind.h>

#include "poisabsorb/estimator.hpp"
#include "reporting/module_surface.hpp"

NB_MODULE(_poisabsorb, m) {
  m.doc() = "Poisson pseudo-maximum likelihood with high-dimensional fixed effects (IRLS).";
  korvald::reporting::bind_module_surface(m, korvald::reporting::Family::Poisson);
  korvald::poisabsorb::bind_poisabsorb(m);
}
