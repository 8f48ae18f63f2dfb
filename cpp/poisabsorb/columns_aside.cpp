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
#include "core/row_positions.hpp"
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

// The sample's row positions in the caller's frame, None while they are all its rows in order.
static nb::object sample_positions(const Call& c) {
  nb::object index = c.sample.attr("index");
  if (nb::isinstance(index, py::pandas().attr("RangeIndex"))) return nb::none();
  return py::numpy().attr("ascontiguousarray")(index.attr("to_numpy")());
}

// Where a regressor's standardized values are read: the sample's column as
// it is, or, when set aside, the caller's column (converted to float64 as the
// sample was built), to be taken at the sample's positions and divided by
// `divisor` (0: not divided).
struct RegressorSource {
  nb::object values;  // float64, contiguous
  bool aside = false;
  double divisor = 0.0;
};

static RegressorSource regressor_source(const Call& c, nb::handle name) {
  nb::object np = py::numpy();
  nb::object float64 = np.attr("float64");
  RegressorSource src;
  src.aside = listed(c.x_set_aside, name);
  nb::object column = src.aside ? c.data.attr("__getitem__")(name) : c.sample.attr("__getitem__")(name);
  if (src.aside && !py::equals(column.attr("dtype"), float64)) column = column.attr("astype")("float64");
  src.values = np.attr("ascontiguousarray")(column.attr("to_numpy")("dtype"_a = float64));
  if (src.aside && c.x_divisor.contains(name)) src.divisor = nb::cast<double>(c.x_divisor[name]);
  return src;
}

// The positions as the core reads them (empty: every row in order). `at`
// must stay alive while the view is used.
static core::SortOrder positions_view(nb::handle at) {
  if (at.is_none()) return core::SortOrder();
  if (py::equals(at.attr("dtype"), py::numpy().attr("dtype")("int32")))
    return core::SortOrder(nb::cast<nb::ndarray<const int32_t, nb::c_contig>>(at).data());
  return core::SortOrder(i64(at));  // 64-bit positions: a caller's frame of 2^31 rows or more
}

void write_regressors(const Call& c, nb::handle block, int64_t first) {
  const RegressorColumns cols = regressor_columns(c);
  // Gathered and divided straight into the block's columns (a working
  // matrix's, say): NumPy's take would make two N-row copies on the way.
  auto view = nb::cast<nb::ndarray<double, nb::ndim<2>, nb::device::cpu>>(block);
  if (static_cast<int64_t>(view.shape(0)) != c.N || static_cast<int64_t>(view.shape(1)) < first + c.K)
    py::raise_runtime_error("regressor block of shape (" + std::to_string(view.shape(0)) + ", " +
                            std::to_string(view.shape(1)) + ") for " + std::to_string(c.K) +
                            " regressors from column " + std::to_string(first) + " of a sample of " +
                            std::to_string(c.N));
  double* dst = view.data();
  const int64_t row_stride = static_cast<int64_t>(view.stride(0)), col_stride = static_cast<int64_t>(view.stride(1));
  nb::gil_scoped_release release;
  for (int64_t k = 0; k < c.K; ++k) cols.write(k, c.N, dst + (first + k) * col_stride, row_stride);
}

nb::object regressor_matrix(const Call& c) {
  if (c.K == 0) return nb::none();
  // N x K row-major: the layout the fixed-effect recovery reads in place.
  nb::object X = empty(c.N, c.K);
  write_regressors(c, X, 0);
  return X;
}

void RegressorColumns::write(int64_t k, int64_t n, double* out, int64_t stride) const {
  core::gather_column(values[k], at[k], divisor[k], n, out, stride);
}

RegressorColumns regressor_columns(const Call& c) {
  RegressorColumns cols;
  nb::object at_rows = sample_positions(c);
  const core::SortOrder rows = positions_view(at_rows);
  cols.keep_alive.push_back(at_rows);
  for (int64_t k = 0; k < c.K; ++k) {
    RegressorSource src = regressor_source(c, c.x[k]);
    cols.values.push_back(cf64(src.values));
    cols.at.push_back(src.aside ? rows : core::SortOrder());
    cols.divisor.push_back(src.divisor);
    cols.keep_alive.push_back(std::move(src.values));
  }
  return cols;
}

void constant_sums(const Call& c, nb::handle mu, nb::object* mux, double* fe_mass) {
  nb::object np = py::numpy();
  nb::object float64 = np.attr("float64");
  const int64_t K = c.K;
  const RegressorColumns cols = regressor_columns(c);
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
    core::constant_sums(cols.values, cols.at, cols.divisor.data(), scale, bp, mp, eta, c.N, out, &mass);
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
  for (size_t j = 0; j < nb::len(c.fenames); ++j) {
    nb::object codes = common::codes_from_pointers(c.panelmat, j, c.identifier_dtypes[j], c.threads);
    // Through a Series that keeps the array: assigned as a bare array, it would be copied.
    c.sample.attr("__setitem__")(c.fenames[j], py::pandas().attr("Series")(codes, "index"_a = c.sample.attr("index"),
                                                                           "copy"_a = false));
  }
  c.identifier_dtypes = nb::list();
}

void set_outcome_aside(Call& c) {
  nb::object ycol = c.ycol();
  if (read_elsewhere(c, ycol)) return;
  nb::object at = sample_positions(c);
  if (at.is_none()) return;
  nb::object np = py::numpy();
  nb::object column = c.data.attr("__getitem__")(ycol);
  if (!py::equals(column.attr("dtype"), np.attr("float64"))) return;
  nb::object values = column.attr("to_numpy")();
  // A strided column would need a copy of the caller's whole column.
  if (!py::truthy(values.attr("flags").attr("c_contiguous"))) return;
  c.y_values = values;
  c.y_rows = at;
  c.yv = nb::none();
  c.sample.attr("__delitem__")(ycol);
}

core::Outcome outcome(const Call& c) {
  if (c.y_values.is_none()) return core::Outcome(cf64(c.yv));
  return core::Outcome(cf64(c.y_values), positions_view(c.y_rows));
}

nb::object outcome_array(const Call& c) {
  if (c.y_values.is_none()) return c.yv;
  nb::object y = empty(c.N, 1);
  const core::Outcome from = outcome(c);
  double* out = f64(y);
  const int64_t n = c.N;
  nb::gil_scoped_release release;
  core::gather_column(from.values, from.at, 0.0, n, out, 1);
  return y;
}

void restore_outcome(Call& c) {
  if (c.y_values.is_none()) return;
  c.yv = outcome_array(c);
  c.y_values = nb::none();
  c.y_rows = nb::none();
  c.sample.attr("__setitem__")(c.ycol(), py::pandas().attr("Series")(c.yv.attr("ravel")(), "index"_a = c.sample.attr("index"),
                                                                       "copy"_a = false));
}

}  // namespace korvald::poisabsorb
