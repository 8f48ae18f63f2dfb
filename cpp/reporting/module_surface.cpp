#include "reporting/module_surface.hpp"

#include "reporting/redundancy.hpp"
#include "reporting/summary.hpp"

namespace korvald::reporting {

using namespace nb::literals;

static nb::object import_remove_redundancy() {
  nb::module_ rr = nb::module_::import_("scipy.optimize._remove_redundancy");
  if (nb::hasattr(rr, "_remove_redundancy_svd")) return rr.attr("_remove_redundancy_svd");
  return rr.attr("_remove_redundancy");
}

void bind_module_surface(nb::module_& m, Family family) {
  m.attr("np") = nb::module_::import_("numpy");
  m.attr("pd") = nb::module_::import_("pandas");
  nb::module_::import_("scipy.stats");
  m.attr("scipy") = nb::module_::import_("scipy");
  m.attr("SimpleNamespace") = nb::module_::import_("types").attr("SimpleNamespace");
  m.attr("_remove_redundancy") = import_remove_redundancy();
  m.attr("tabulate") = nb::module_::import_("tabulate").attr("tabulate");

  nb::module_ grpkit = nb::module_::import_("korvald.backend.grpkit");
  m.attr("make_pointer") = grpkit.attr("make_pointer");
  m.attr("powerset") = grpkit.attr("powerset");

  nb::module_ demeankit = nb::module_::import_("korvald.backend.demeankit");
  for (const char* name : {"MAP_NH_CG_accel", "MAP_NH_noaccel", "calc_B", "panelsetup"})
    m.attr(name) = demeankit.attr(name);
  if (family == Family::Linear) {
    m.attr("drop_singletons") = demeankit.attr("drop_singletons");
  } else {
    m.attr("sep") = demeankit.attr("sep");
    m.attr("gammaln") = nb::module_::import_("scipy.special").attr("gammaln");
    m.attr("deque") = nb::module_::import_("collections").attr("deque");
  }

  m.def("calculate_fe_redundancies",
        static_cast<nb::dict (*)(nb::handle, nb::handle, nb::handle, nb::handle, nb::handle)>(&calculate_fe_redundancies), "data"_a.none(), "fixedeffects"_a.none(),
        "fenames"_a.none(),
        "setype"_a = nb::none(), "clustvars"_a = nb::none(),
        "Count, per fixed-effect specification, its categories, how many are redundant and the "
        "number of coefficients that remain.");
  bind_stata_style_summary(m, family);
}

}  // namespace korvald::reporting
