// The regressor columns leave the sample for the IRLS loop, which reads only
// its own partialled-out copy of them, and come back for the steps after it
// (diagnostics, inference, fixed-effect recovery). Taken again from the
// caller's frame at the sample's row positions, converted and divided exactly
// as when the sample was built, they are the very same values.
#include <nanobind/stl/string.h>

#include "common/estimation_sample.hpp"
#include "poisabsorb/internal.hpp"
#include "pyutil/pyutil.hpp"

namespace korvald::poisabsorb {

using namespace nb::literals;

// Whether `name` is read under another role than regressor: a cluster
// variable, or a component of a fixed-effect specification still in the sample.
static bool read_elsewhere(const Call& c, nb::handle name) {
  if (!c.clustvars.is_none())
    for (nb::handle v : c.clustvars)
      if (py::equals(v, name)) return true;
  for (nb::handle spec : c.fixedeffects)
    for (const auto& part : py::split(py::str(spec), '#'))
      if (py::equals(nb::str(part.c_str()), name)) return true;
  return false;
}

void set_regressors_aside(Call& c) {
  for (nb::handle name : c.x) {
    // A regressor listed twice is one column.
    if (!py::truthy(c.sample.attr("columns").attr("__contains__")(name))) continue;
    if (read_elsewhere(c, name)) continue;
    c.sample.attr("__delitem__")(name);
    c.x_set_aside.append(name);
  }
}

void restore_regressors(Call& c) {
  nb::object np = py::numpy();
  nb::object pd = py::pandas();
  nb::object positions = c.sample.attr("index");
  const bool every_row = nb::isinstance(positions, pd.attr("RangeIndex"));
  nb::object at = every_row ? nb::object(nb::none()) : nb::object(positions.attr("to_numpy")());
  nb::object float64 = np.attr("float64");
  for (nb::handle name : c.x_set_aside) {
    nb::object column = c.data.attr("__getitem__")(name);
    if (!py::equals(column.attr("dtype"), float64)) column = column.attr("astype")("float64");
    nb::object values = column.attr("to_numpy")("dtype"_a = float64);
    values = every_row ? nb::object(np.attr("array")(values, "dtype"_a = float64)) : nb::object(values.attr("take")(at));
    if (c.x_divisor.contains(name)) np.attr("divide")(values, c.x_divisor[name], "out"_a = values);
    c.sample.attr("__setitem__")(name, values);
  }
  c.x_set_aside = nb::list();
}

}  // namespace korvald::poisabsorb
