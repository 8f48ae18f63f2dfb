#include "backend/demeankit_args.hpp"

#include <nanobind/stl/string.h>

#include "pyutil/pyutil.hpp"

namespace korvald::backend {

namespace {

using namespace nb::literals;
using Generic = nb::ndarray<nb::ro, nb::device::cpu>;

bool as_array(nb::handle obj, Generic& out) { return nb::try_cast(obj, out, false); }

bool is_float64(const Generic& a) { return a.dtype() == nb::dtype<double>(); }
bool is_int64(const Generic& a) { return a.dtype() == nb::dtype<int64_t>(); }
bool is_int32(const Generic& a) { return a.dtype() == nb::dtype<int32_t>(); }
bool is_integer(const Generic& a) {
  const auto code = static_cast<nb::dlpack::dtype_code>(a.dtype().code);
  return code == nb::dlpack::dtype_code::Int || code == nb::dlpack::dtype_code::UInt;
}
bool is_bool(const Generic& a) { return static_cast<nb::dlpack::dtype_code>(a.dtype().code) == nb::dlpack::dtype_code::Bool; }

std::string shape_text(const Generic& a) {
  std::string s = "(";
  for (size_t d = 0; d < a.ndim(); ++d) {
    if (d) s += ", ";
    s += std::to_string(a.shape(d));
  }
  if (a.ndim() == 1) s += ",";
  return s + ")";
}

bool writable(nb::handle obj) {
  nb::object flags = nb::getattr(obj, "flags", nb::none());
  if (flags.is_none()) return true;  // not NumPy: trust the buffer export
  return py::truthy(nb::getattr(flags, "writeable", nb::bool_(true)));
}

template <typename T>
MutableMatrix<T> writable_matrix(nb::handle obj, const std::string& name, const char* dtype_name, bool (*dtype_ok)(const Generic&)) {
  Generic a;
  if (!as_array(obj, a) || !dtype_ok(a)) py::raise_type_error(name + " must be " + dtype_name + " array");
  if (a.ndim() != 2) py::raise_value_error(name + " must be 2-dimensional, got shape " + shape_text(a));
  if (!writable(obj)) py::raise_value_error(name + " must be writable");
  MutableMatrix<T> m;
  m.owner = nb::borrow(obj);
  m.data = static_cast<T*>(const_cast<void*>(a.data()));
  m.rows = static_cast<int64_t>(a.shape(0));
  m.cols = static_cast<int64_t>(a.shape(1));
  m.row_stride = a.stride(0);
  m.col_stride = a.stride(1);
  return m;
}

}  // namespace

DoubleView float64_matrix(nb::handle obj, const std::string& name) {
  Generic a;
  if (!as_array(obj, a) || !is_float64(a)) py::raise_type_error(name + " must be a float64 array");
  if (a.ndim() != 1 && a.ndim() != 2)
    py::raise_value_error(name + " must be 1- or 2-dimensional, got shape " + shape_text(a));
  DoubleView v;
  v.owner = nb::borrow(obj);
  v.data = static_cast<const double*>(a.data());
  v.ndim = static_cast<int>(a.ndim());
  v.rows = static_cast<int64_t>(a.shape(0));
  v.row_stride = a.stride(0);
  if (v.ndim == 2) {
    v.cols = static_cast<int64_t>(a.shape(1));
    v.col_stride = a.stride(1);
  }
  return v;
}

DoubleView float64_vector(nb::handle obj, const std::string& name, int64_t expected_length) {
  DoubleView v = float64_matrix(obj, name);
  if (v.ndim == 2 && v.cols != 1)
    py::raise_value_error(name + " must be a vector (N or N x 1), got " + std::to_string(v.cols) + " columns");
  if (expected_length >= 0 && v.rows != expected_length)
    py::raise_value_error(name + " must have length N (" + std::to_string(expected_length) + "), got " +
                          std::to_string(v.rows));
  return v;
}

MutableMatrix<double> writable_float64_matrix(nb::handle obj, const std::string& name) {
  return writable_matrix<double>(obj, name, "a float64", is_float64);
}

MutableMatrix<int64_t> writable_int64_matrix(nb::handle obj, const std::string& name) {
  return writable_matrix<int64_t>(obj, name, "an int64", is_int64);
}

IndexView integer_vector(nb::handle obj, const std::string& name, int64_t expected_length, bool allow_bool) {
  Generic a;
  if (!as_array(obj, a) || !(is_integer(a) || (allow_bool && is_bool(a))))
    py::raise_type_error(name + " must be an integer array");
  if (a.ndim() != 1) py::raise_value_error(name + " must be 1-dimensional, got shape " + shape_text(a));
  const int64_t len = static_cast<int64_t>(a.shape(0));
  if (expected_length >= 0 && len != expected_length)
    py::raise_value_error(name + " has length " + std::to_string(len) + ", expected " +
                          std::to_string(expected_length));
  IndexView v;
  v.length = len;
  if (is_int64(a) && (a.stride(0) == 1 || len <= 1)) {
    v.owner = nb::borrow(obj);
    v.data = static_cast<const int64_t*>(a.data());
  } else {
    // Other widths or strides: one contiguous int64 copy. Unsigned values
    // beyond the int64 range wrap to negatives and fail the range checks.
    v.owner = py::numpy().attr("ascontiguousarray")(obj, "dtype"_a = py::numpy().attr("int64"));
    v.data = nb::cast<nb::ndarray<const int64_t, nb::c_contig, nb::device::cpu>>(v.owner).data();
  }
  return v;
}

static OrderView order_vector(nb::handle obj, const std::string& name, int64_t expected_length) {
  Generic a;
  OrderView v;
  if (as_array(obj, a) && is_int32(a) && a.ndim() == 1 && (a.stride(0) == 1 || a.shape(0) <= 1)) {
    v.length = static_cast<int64_t>(a.shape(0));
    if (expected_length >= 0 && v.length != expected_length)
      py::raise_value_error(name + " has length " + std::to_string(v.length) + ", expected " +
                            std::to_string(expected_length));
    v.owner = nb::borrow(obj);
    v.positions = core::SortOrder(static_cast<const int32_t*>(a.data()));
    return v;
  }
  IndexView wide = integer_vector(obj, name, expected_length);
  v.owner = wide.owner;
  v.positions = core::SortOrder(wide.data);
  v.length = wide.length;
  return v;
}

GroupArgs group_args(nb::handle order, nb::handle panel, int64_t n, const std::string& order_label,
                     const std::string& panel_label) {
  GroupArgs g;
  g.order_label = order_label;
  g.panel_label = panel_label;
  g.order = order_vector(order, order_label, n);
  Generic a;
  if (!as_array(panel, a) || !is_int64(a)) py::raise_type_error(panel_label + " must be an int64 array");
  if (a.ndim() != 2 || a.shape(1) != 2)
    py::raise_value_error(panel_label + " must have shape (G, 2), got " + shape_text(a));
  g.ngroups = static_cast<int64_t>(a.shape(0));
  if (a.stride(1) == 1 && (a.stride(0) == 2 || g.ngroups <= 1)) {
    g.panel_owner = nb::borrow(panel);
    g.panel = static_cast<const int64_t*>(a.data());
  } else {
    g.panel_owner = py::numpy().attr("ascontiguousarray")(panel);
    g.panel = nb::cast<nb::ndarray<const int64_t, nb::c_contig, nb::device::cpu>>(g.panel_owner).data();
  }
  return g;
}

std::vector<GroupArgs> panelmat_args(nb::handle panelmat, int64_t n) {
  nb::object np = py::numpy();
  const char* message = "panelmat must be a (2, k) object array";
  if (!nb::isinstance(panelmat, np.attr("ndarray"))) py::raise_value_error(message);
  if (!py::equals(panelmat.attr("dtype"), np.attr("dtype")("O"))) py::raise_value_error(message);
  nb::tuple shape = nb::cast<nb::tuple>(panelmat.attr("shape"));
  if (shape.size() != 2 || nb::cast<int64_t>(shape[0]) != 2 || nb::cast<int64_t>(shape[1]) < 1)
    py::raise_value_error(message);
  const int64_t k = nb::cast<int64_t>(shape[1]);
  std::vector<GroupArgs> out;
  out.reserve(static_cast<size_t>(k));
  for (int64_t j = 0; j < k; ++j) {
    const std::string col = std::to_string(j);
    nb::object order = panelmat[nb::make_tuple(0, j)];
    nb::object panel = panelmat[nb::make_tuple(1, j)];
    out.push_back(group_args(order, panel, n, "panelmat[0, " + col + "] sort order", "panelmat[1, " + col + "]"));
  }
  int64_t total = 0;
  for (const auto& g : out) total += g.ngroups;
  if (total > core::kMaxTotalGroups) py::raise_value_error("panelmat has too many groups in total");
  return out;
}

namespace {

std::string order_message(const GroupArgs& g, core::IndexCheck check, int64_t n) {
  if (check == core::IndexCheck::order_out_of_range)
    return g.order_label + " has positions out of range [0, " + std::to_string(n) + ")";
  return g.order_label + " is not a permutation (a position repeats)";
}

std::string ranges_message(const GroupArgs& g, core::IndexCheck check, int64_t n) {
  if (check == core::IndexCheck::panel_out_of_range) return g.panel_label + ": panel positions out of range";
  return g.panel_label + ": group ranges must cover positions 0.." + std::to_string(n - 1) + " once, in group order";
}

}  // namespace

std::string check_structure(const std::vector<GroupArgs>& groups, int64_t n) {
  for (const auto& g : groups) {
    const core::IndexCheck order = core::check_sort_order(g.order.positions, n);
    if (order != core::IndexCheck::ok) return order_message(g, order, n);
    const core::IndexCheck ranges = core::check_group_ranges(g.panel, g.ngroups, n);
    if (ranges != core::IndexCheck::ok) return ranges_message(g, ranges, n);
  }
  return {};
}

std::string build_index(const std::vector<GroupArgs>& groups, int64_t n, core::GroupIndex& index, int threads) {
  std::vector<core::GroupRanges> ranges;
  for (const auto& g : groups) {
    const core::IndexCheck check = core::check_group_ranges(g.panel, g.ngroups, n);
    if (check != core::IndexCheck::ok) return ranges_message(g, check, n);
    ranges.push_back(g.ranges());
  }
  int failed = -1;
  const core::IndexCheck check = core::build_checked_group_index(n, ranges, index, failed, threads);
  if (check != core::IndexCheck::ok) return order_message(groups[failed], check, n);
  return {};
}

int64_t integer_arg(nb::handle obj, const std::string& name) {
  PyObject* index = PyNumber_Check(obj.ptr()) && !PyFloat_Check(obj.ptr()) ? PyNumber_Index(obj.ptr()) : nullptr;
  if (!index) {
    PyErr_Clear();
    py::raise_type_error(name + " must be an integer");
  }
  nb::object value = nb::steal(index);
  const long long v = PyLong_AsLongLong(value.ptr());
  if (v == -1 && PyErr_Occurred()) throw nb::python_error();
  return static_cast<int64_t>(v);
}

double real_arg(nb::handle obj, const std::string& name) {
  if (!PyFloat_Check(obj.ptr()) && !PyNumber_Check(obj.ptr())) py::raise_type_error(name + " must be a number");
  const double v = PyFloat_AsDouble(obj.ptr());
  if (v == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    py::raise_type_error(name + " must be a number");
  }
  return v;
}

}  // namespace korvald::backend
