#include "common/weights.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <cmath>

#include "common/estimation_sample.hpp"
#include "core/weights.hpp"
#include "pyutil/pyutil.hpp"

namespace korvald::common {

using namespace nb::literals;
using ConstVector = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Vector = nb::ndarray<double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

WeightSpec parse_weights(nb::handle weights, nb::handle weight_type, const std::string& setype) {
  WeightSpec spec;
  const char* types[] = {"aweight", "fweight", "pweight"};
  bool known = false;
  for (const char* t : types)
    if (PyUnicode_Check(weight_type.ptr()) && py::equals(weight_type, nb::str(t))) {
      spec.type = t;
      known = true;
    }
  if (!known)
    py::raise_value_error("Invalid weight_type " + py::repr(weight_type) +
                          "; use \"aweight\", \"fweight\" or \"pweight\"");
  if (weights.is_none()) return spec;
  nb::list names = name_list(weights, "weights");
  if (nb::len(names) != 1)
    py::raise_value_error("weights must name exactly one column, got " + std::to_string(nb::len(names)) + ": " +
                          py::repr(names));
  if (spec.type == "pweight" && setype == "homoskedastic")
    py::raise_value_error(
        "weight_type \"pweight\" needs setype \"heteroskedastic\" or \"cluster\": sampling weights do not "
        "describe the error variance, so homoskedastic standard errors would be wrong");
  spec.name = names[0];
  return spec;
}

void require_weight_column(nb::handle data, const WeightSpec& spec) {
  if (!spec.given()) return;
  nb::list names;
  names.append(spec.name);
  require_columns(data, names, "Weight variable not in data: ");
  require_numeric(data, names, "Weight variable");
}

static nb::object weight_column(nb::handle sample, const WeightSpec& spec) {
  nb::object np = py::numpy();
  return np.attr("ascontiguousarray")(sample[spec.name].attr("to_numpy")("dtype"_a = np.attr("float64")));
}

int64_t check_weight_values(nb::handle sample, const WeightSpec& spec, nb::object* keep) {
  *keep = nb::none();
  if (!spec.given()) return 0;
  nb::object w = weight_column(sample, spec);
  const double* wp = nb::cast<ConstVector>(w).data();
  const int64_t n = static_cast<int64_t>(nb::len(w));
  core::WeightScan scan;
  {
    nb::gil_scoped_release release;
    scan = core::scan_weights(wp, n);
  }
  if (scan.negative > 0)
    py::raise_value_error("Weight variable " + py::repr(spec.name) + " has negative values (" +
                          std::to_string(scan.negative) + " rows); weights must be non-negative");
  if (spec.type == "fweight" && scan.non_integer > 0)
    py::raise_value_error("Weight variable " + py::repr(spec.name) + " has non-integer values (" +
                          std::to_string(scan.non_integer) +
                          " rows); \"fweight\" weights count observations and must be whole numbers");
  if (scan.zero > 0) *keep = py::numpy().attr("not_equal")(w, 0.0);
  return scan.zero;
}

SampleWeights sample_weights(nb::handle sample, const WeightSpec& spec) {
  SampleWeights out;
  if (!spec.given()) return out;
  nb::object raw = weight_column(sample, spec);
  const double* rp = nb::cast<ConstVector>(raw).data();
  const int64_t n = static_cast<int64_t>(nb::len(raw));
  {
    nb::gil_scoped_release release;
    out.sum = core::scan_weights(rp, n).sum;
  }
  if (spec.type == "fweight") {
    out.w = raw;
    out.n_obs = static_cast<int64_t>(std::llround(out.sum));
    return out;
  }
  nb::object np = py::numpy();
  out.w = np.attr("empty")(n, "dtype"_a = np.attr("float64"));
  double* wp = nb::cast<Vector>(out.w).data();
  {
    nb::gil_scoped_release release;
    core::rescale_weights(rp, n, static_cast<double>(n), wp);
  }
  out.n_obs = n;
  return out;
}

void set_weight_attributes(nb::handle result, const WeightSpec& spec, const SampleWeights& weights) {
  if (!spec.given()) return;
  result.attr("weight_var") = spec.name;
  result.attr("weight_type") = nb::str(spec.type.c_str());
  result.attr("sum_weights") = nb::float_(weights.sum);
}

}  // namespace korvald::common
