#include "poisabsorb/estimator.hpp"
namespace korvald::poisabsorb {
void bind_poisabsorb(nanobind::module_&) {}
}
