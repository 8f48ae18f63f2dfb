#include "linabsorb/estimator.hpp"
namespace korvald::linabsorb {
void bind_linabsorb(nanobind::module_&) {}
}
