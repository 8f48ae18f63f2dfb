// Argument checking and conversion for the demeankit functions.
//
// Every array a kernel will dereference is checked here (dtype -> TypeError,
// shape/length -> ValueError, each message naming the argument) so that bad
// input can never make a kernel read or write out of bounds. Views keep a
// reference to their array, so their pointers stay valid while the GIL is
// released.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/group_index.hpp"

namespace korvald::backend {

namespace nb = nanobind;

// Strided float64 array of one or two dimensions (a 1-D array is one column).
struct DoubleView {
  nb::object owner;
  const double* data = nullptr;
  int64_t rows = 0, cols = 1;
  int64_t row_stride = 1, col_stride = 0;  // in elements
  int ndim = 1;
};

// Strided, writable, two-dimensional array.
template <typename T>
struct MutableMatrix {
  nb::object owner;
  T* data = nullptr;
  int64_t rows = 0, cols = 0;
  int64_t row_stride = 0, col_stride = 0;
};

// Contiguous int64 copy-or-view of an integer array.
struct IndexView {
  nb::object owner;
  const int64_t* data = nullptr;
  int64_t length = 0;
};

// float64 array with 1 or 2 dimensions (allow_2d) or a vector: 1-D, or 2-D
// with one column (allow_2d false). TypeError "<name> must be a float64 array".
DoubleView float64_matrix(nb::handle obj, const std::string& name);
DoubleView float64_vector(nb::handle obj, const std::string& name, int64_t expected_length);

MutableMatrix<double> writable_float64_matrix(nb::handle obj, const std::string& name);
MutableMatrix<int64_t> writable_int64_matrix(nb::handle obj, const std::string& name);

// Integer (or, with allow_bool, boolean) vector of the given length as contiguous int64.
IndexView integer_vector(nb::handle obj, const std::string& name, int64_t expected_length, bool allow_bool = false);

// A sort order: contiguous int32 and int64 arrays are viewed as they are
// (the estimators store 32-bit orders), other integer arrays copied to int64.
struct OrderView {
  nb::object owner;
  core::SortOrder positions;
  int64_t length = 0;

  const void* identity() const {
    return positions.narrow ? static_cast<const void*>(positions.narrow) : static_cast<const void*>(positions.wide);
  }
};

// One fixed effect's (or one clustering's) sort order and group ranges, with
// the structure checked against n: the order is a permutation of 0..n-1 and
// the ranges lie in [0, n) and tile it group after group.
struct GroupArgs {
  OrderView order;
  nb::object panel_owner;
  const int64_t* panel = nullptr;  // ngroups x 2, contiguous
  int64_t ngroups = 0;
  std::string order_label, panel_label;

  core::GroupRanges ranges() const { return {order.positions, panel, ngroups}; }
};

// Shape/dtype checks only (cheap, under the GIL).
GroupArgs group_args(nb::handle order, nb::handle panel, int64_t n, const std::string& order_label,
                     const std::string& panel_label);

// The (2, k) object array from grpkit.make_pointer.
std::vector<GroupArgs> panelmat_args(nb::handle panelmat, int64_t n);

// O(n) structure checks; safe without the GIL. Returns an empty string or the
// message of the first failure (always a ValueError).
std::string check_structure(const std::vector<GroupArgs>& groups, int64_t n);

// check_structure's checks fused with building the group index (what the
// demeaning and removal kernels need anyway). Safe without the GIL.
std::string build_index(const std::vector<GroupArgs>& groups, int64_t n, core::GroupIndex& index,
                        int threads = 1);

// Python integers (bool and NumPy integers included) and real numbers.
int64_t integer_arg(nb::handle obj, const std::string& name);
double real_arg(nb::handle obj, const std::string& name);

}  // namespace korvald::backend
