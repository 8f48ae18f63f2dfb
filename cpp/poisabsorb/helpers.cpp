// Small conversions shared by the poisabsorb steps: raw views of numpy
// arrays, new float64 arrays, and Python scalars read with Python's rules.
#include <climits>

#include "poisabsorb/internal.hpp"
#include "pyutil/pyutil.hpp"

namespace korvald::poisabsorb {

using namespace nb::literals;

double* f64(nb::handle array) { return nb::cast<DoubleArray>(array).data(); }
const double* cf64(nb::handle array) { return nb::cast<ConstDoubleArray>(array).data(); }
const int64_t* i64(nb::handle array) { return nb::cast<IdArray>(array).data(); }

nb::object empty(int64_t rows, int64_t cols) {
  nb::object np = py::numpy();
  return np.attr("empty")(nb::make_tuple(rows, cols), "dtype"_a = np.attr("float64"));
}
nb::object zeros(int64_t rows, int64_t cols) {
  nb::object np = py::numpy();
  return np.attr("zeros")(nb::make_tuple(rows, cols), "dtype"_a = np.attr("float64"));
}
nb::object empty1(int64_t n) {
  nb::object np = py::numpy();
  return np.attr("empty")(n, "dtype"_a = np.attr("float64"));
}

nb::object as_f64(nb::handle value) {
  nb::object np = py::numpy();
  nb::object arr = np.attr("asarray")(value, "dtype"_a = np.attr("float64"));
  bool usable = py::truthy(arr.attr("flags").attr("c_contiguous")) && py::truthy(arr.attr("flags").attr("writeable"));
  return usable ? arr : np.attr("array")(arr, "dtype"_a = np.attr("float64"), "order"_a = "C");
}

int64_t clamp_int64(nb::handle value) {
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (v == -1 && PyErr_Occurred()) throw nb::python_error();
  if (overflow > 0) return LLONG_MAX;
  if (overflow < 0) return LLONG_MIN;
  return static_cast<int64_t>(v);
}

double as_double(nb::handle value) {
  double v = PyFloat_AsDouble(value.ptr());
  if (v == -1.0 && PyErr_Occurred()) throw nb::python_error();
  return v;
}

int64_t as_index(nb::handle value) {
  nb::object idx = nb::steal(PyNumber_Index(value.ptr()));
  if (!idx.is_valid()) throw nb::python_error();
  return clamp_int64(idx);
}

nb::object column_of(int64_t col) { return nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), col); }

}  // namespace korvald::poisabsorb
