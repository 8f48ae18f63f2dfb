// Preparation steps shared by both estimators (see state_steps.hpp).
#include "common/state_steps.hpp"

#include <nanobind/stl/string.h>

#include "common/estimation_sample.hpp"
#include "pyutil/pyutil.hpp"

namespace korvald::common {

ModelNames read_model_names(EstimationState& st, nb::handle data, nb::handle y, nb::handle x,
                            nb::handle fixedeffects) {
  ModelNames names;
  require_dataframe(data);
  st.y = name_list(y, "y");
  names.x = name_list(x, "x");
  names.fixedeffects = nb::borrow(fixedeffects);
  if (!fixedeffects.is_none()) {
    nb::list specs = name_list(fixedeffects, "fixedeffects");
    for (nb::handle spec : specs)
      if (!PyUnicode_Check(spec.ptr()))
        py::raise_type_error("fixedeffects must hold strings (a column name or names joined by \"#\")");
    names.fixedeffects = specs;
  }
  if (st.setype == "cluster" && !st.clustvars.is_none()) {
    nb::list cluster_names = name_list(st.clustvars, "clustvars");
    if (!PyList_Check(st.clustvars.ptr()) && !PyTuple_Check(st.clustvars.ptr())) st.clustvars = cluster_names;
  }
  return names;
}

void check_sample_columns(const EstimationState& st, nb::handle data, nb::handle fixedeffects,
                          nb::handle keepvars) {
  // The working matrix, the residuals and every per-observation output are
  // built around a single dependent-variable column.
  if (nb::len(st.y) != 1)
    py::raise_value_error("y must name exactly one dependent variable, got " + std::to_string(nb::len(st.y)) +
                          ": " + py::repr(st.y));
  if (st.setype == "cluster") {
    // An empty list names no dimension to cluster on, just like None.
    if (nb::len(st.clustvars) == 0) py::raise_value_error("No cluster defined");
    require_distinct(st.clustvars, "clustvars");
  }
  require_unique_columns(data, keepvars);
  // A model column called like an identifier column or initial_index would
  // be overwritten.
  const size_t n_specs = fixedeffects.is_none() ? 0 : nb::len(sorted_unique(fixedeffects));
  nb::list reserved = make_fenames(n_specs);
  reserved.append("initial_index");
  require_unreserved(keepvars, reserved);
}

nb::list float_columns(const EstimationState& st, nb::handle x) {
  nb::list yx;
  for (nb::handle c : st.y) yx.append(c);
  for (nb::handle c : x) yx.append(c);
  if (st.weighted()) yx.append(st.wspec.name);
  return yx;
}

void add_identifiers(EstimationState& st, nb::handle fixedeffects) {
  st.fixedeffects = dedupe_fixedeffects(fixedeffects);
  st.fenames = make_fenames(nb::len(st.fixedeffects));
  st.N_FE = add_identifier_columns(st.sample, st.fixedeffects, st.fenames, st.verbose ? 1 : 0, st.threads);
}

}  // namespace korvald::common
