// Columns the start and the IRLS loop do not read leave the sample while
// they run, so that the loop's own arrays are the largest ones alive.
// - The regressor columns: the start's and the loop's working arrays take
//   them from where they are stored, and the steps after the loop
//   (inference sums, diagnostics, fixed-effect recovery) read them again
//   from the caller's frame at the sample's row positions, converted and
//   divided exactly as when the sample was built: the very same values.
// - The identifier columns: the group pointers made of them stand for them,
//   and they are made again from those pointers after the loop.
#include <nanobind/stl/string.h>

#include "common/estimation_sample.hpp"
#include "core/poisson_irls.hpp"
#include "poisabsorb/internal.hpp"
#include "pyutil/pyutil.hpp"

namespace korvald::poisabsorb {

using namespace nb::literals;

static bool listed(nb::handle names, nb::handle name) {
  for (nb::handle v : names)
    if (py::equals(v, name)) return true;
  return false;
}

// Whether `name` is read under another role than regressor: a cluster
// variable, or a component of a fixed-effect specification still in the sample.
static bool read_elsewhere(const Call& c, nb::handle name) {
  if (!c.clustvars.is_none() && listed(c.clustvars, name)) return true;
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

void write_regressor(const Call& c, nb::handle name, nb::handle out) {
  nb::object np = py::numpy();
  nb::object float64 = np.attr("float64");
  if (!listed(c.x_set_aside, name)) {
    np.attr("copyto")(out, c.sample.attr("__getitem__")(name).attr("to_numpy")("dtype"_a = float64));
    return;
  }
  nb::object column = c.data.attr("__getitem__")(name);
  if (!py::equals(column.attr("dtype"), float64)) column = column.attr("astype")("float64");
  nb::object values = column.attr("to_numpy")("dtype"_a = float64);
  nb::object positions = c.sample.attr("index");
  if (nb::isinstance(positions, py::pandas().attr("RangeIndex")))
    np.attr("copyto")(out, values);
  else  // "raise" would buffer the output
    np.attr("take")(values, positions.attr("to_numpy")(), "out"_a = out, "mode"_a = "clip");
  if (c.x_divisor.contains(name)) np.attr("divide")(out, c.x_divisor[name], "out"_a = out);
}

nb::object regressor_matrix(const Call& c) {
  if (c.K == 0) return nb::none();
  nb::object np = py::numpy();
  // K x N row-major, handed out transposed: column k is row k, contiguous.
  nb::object rows = np.attr("empty")(nb::make_tuple(c.K, c.N), "dtype"_a = np.attr("float64"));
  for (int64_t k = 0; k < c.K; ++k) write_regressor(c, c.x[k], rows.attr("__getitem__")(k));
  return rows.attr("T");
}

void constant_sums(const Call& c, nb::handle mu, nb::object* mux, double* fe_mass) {
  nb::object np = py::numpy();
  nb::object float64 = np.attr("float64");
  const int64_t K = c.K;
  nb::object positions = c.sample.attr("index");
  nb::object at_rows = nb::isinstance(positions, py::pandas().attr("RangeIndex"))
                           ? nb::object(nb::none())
                           : nb::object(np.attr("ascontiguousarray")(positions.attr("to_numpy")()));
  core::SortOrder rows;
  if (!at_rows.is_none()) {
    if (py::equals(at_rows.attr("dtype"), np.attr("dtype")("int32")))
      rows = core::SortOrder(nb::cast<nb::ndarray<const int32_t, nb::c_contig>>(at_rows).data());
    else
      rows = core::SortOrder(i64(np.attr("ascontiguousarray")(at_rows, "dtype"_a = np.attr("int64"))));
  }
  std::vector<nb::object> keep_alive;
  std::vector<const double*> columns;
  std::vector<core::SortOrder> at;
  std::vector<double> divisor;
  for (int64_t k = 0; k < K; ++k) {
    nb::handle name = c.x[k];
    const bool aside = listed(c.x_set_aside, name);
    nb::object column = aside ? c.data.attr("__getitem__")(name) : c.sample.attr("__getitem__")(name);
    if (aside && !py::equals(column.attr("dtype"), float64)) column = column.attr("astype")("float64");
    keep_alive.push_back(np.attr("ascontiguousarray")(column.attr("to_numpy")("dtype"_a = float64)));
    columns.push_back(cf64(keep_alive.back()));
    at.push_back(aside ? rows : core::SortOrder());
    divisor.push_back(aside && c.x_divisor.contains(name) ? nb::cast<double>(c.x_divisor[name]) : 0.0);
  }
  // x'b in the caller's units, as reported: the regressors times their scale,
  // beta divided by it.
  const bool rescale = !c.x_scale.is_none() && !py::truthy(np.attr("all")(np.attr("equal")(c.x_scale, 1.0)));
  nb::object b = rescale ? nb::object(np.attr("divide")(c.beta.attr("reshape")(-1), c.x_scale))
                         : nb::object(np.attr("ascontiguousarray")(c.beta.attr("reshape")(-1)));
  nb::object mu_flat = np.attr("ascontiguousarray")(np.attr("asarray")(mu, "dtype"_a = float64).attr("ravel")());
  nb::object sums = empty1(K);
  const double* scale = c.x_scale.is_none() ? nullptr : cf64(c.x_scale);
  const double* bp = cf64(b);
  const double* mp = cf64(mu_flat);
  const double* eta = cf64(c.eta);
  double* out = f64(sums);
  double mass = 0;
  {
    nb::gil_scoped_release release;
    core::constant_sums(columns, at, divisor.data(), scale, bp, mp, eta, c.N, out, &mass);
  }
  *mux = sums;
  *fe_mass = mass;
}

void set_identifiers_aside(Call& c) {
  if (c.panelmat.is_none() || nb::len(c.identifier_dtypes) > 0) return;
  for (nb::handle name : c.fenames) {
    c.identifier_dtypes.append(c.sample.attr("__getitem__")(name).attr("dtype"));
    c.sample.attr("__delitem__")(name);
  }
}

void restore_identifiers(Call& c) {
  if (nb::len(c.identifier_dtypes) == 0) return;
  for (size_t j = 0; j < nb::len(c.fenames); ++j)
    // Through a Series that keeps the array: assigned as a bare array, it would be copied.
    c.sample.attr("__setitem__")(
        c.fenames[j], py::pandas().attr("Series")(common::codes_from_pointers(c.panelmat, j, c.identifier_dtypes[j]),
                                                  "index"_a = c.sample.attr("index"), "copy"_a = false));
  c.identifier_dtypes = nb::list();
}

}  // namespace korvald::poisabsorb
