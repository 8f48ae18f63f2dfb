// Module korvald.backend.grpkit: group pointers for the partialling-out
// kernels, non-empty subsets of a list, weighted column sums.
//
// These are thin layers over NumPy and itertools, written with the Python
// objects themselves so that argument handling and errors are exactly those
// of the equivalent Python code; the per-observation work (the group ranges)
// is done by demeankit.panelsetup.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

// The package this module was loaded from ("korvald.backend"), so the
// sibling is found the way a relative import would find it.
std::string package_of(nb::handle module) {
  const std::string name = nb::cast<std::string>(nb::str(module.attr("__name__")));
  const size_t dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(0, dot);
}

}  // namespace

NB_MODULE(grpkit, m) {
  m.doc() = "Group pointers (sort orders and group ranges per identifier column), powerset, colsum.";

  m.attr("itertools") = nb::module_::import_("itertools");
  m.attr("np") = nb::module_::import_("numpy");
  {
    const std::string package = package_of(m);
    const std::string sibling = package.empty() ? "demeankit" : package + ".demeankit";
    // A missing module or name raises ImportError, which fails this import.
    nb::object demeankit = nb::module_::import_(sibling.c_str());
    nb::object fn = nb::getattr(demeankit, "panelsetup", nb::none());
    if (fn.is_none()) {
      PyErr_SetString(PyExc_ImportError, ("cannot import name 'panelsetup' from '" + sibling + "'").c_str());
      throw nb::python_error();
    }
    m.attr("panelsetup") = fn;
  }


  m.def(
      "make_pointer",
      [module = nb::object(nb::borrow(m))](nb::handle x) {
        nb::object np = module.attr("np");
        nb::object panelsetup = module.attr("panelsetup");
        nb::tuple shape = nb::cast<nb::tuple>(x.attr("shape"));
        nb::object k = shape[1];
        nb::object n = shape[0];
        nb::object result = np.attr("empty")(nb::make_tuple(2, k), "dtype"_a = "object");
        const nb::object all = nb::steal(PySlice_New(nullptr, nullptr, nullptr));
        const int64_t columns = nb::cast<int64_t>(k);
        for (int64_t j = 0; j < columns; ++j) {
          nb::object column = x[nb::make_tuple(all, j)];
          nb::object order = np.attr("argsort")(column);
          nb::object G = column.attr("max")() + nb::int_(1);
          nb::object panel = np.attr("zeros")(nb::make_tuple(G, 2), "dtype"_a = np.attr("int64"));
          result[nb::make_tuple(0, j)] = order;
          result[nb::make_tuple(1, j)] = panel;
          panelsetup(panel, column[order], n, G);
        }
        return result;
      },
      "x"_a,
      "make_pointer(x)\n\nFor the integer identifier matrix x (N, k) return a (2, k) object array: [0, j] the "
      "argsort of column j, [1, j] an int64 (G_j, 2) array (G_j = max + 1) with each group's first and last "
      "position (inclusive) in that order, filled by demeankit.panelsetup.");

  m.def(
      "powerset",
      [module = nb::object(nb::borrow(m))](nb::handle s) {
        nb::object combinations = module.attr("itertools").attr("combinations");
        nb::list out;
        const size_t len = nb::len(s);
        for (size_t r = 1; r <= len; ++r)
          for (nb::handle combo : combinations(s, r)) out.append(nb::list(combo));
        return out;
      },
      "s"_a,
      "powerset(s)\n\nAll non-empty subsets of s as new lists, shortest first, each size in "
      "itertools.combinations order: 2**len(s) - 1 lists.");

  m.def(
      "colsum",
      [](nb::handle x, nb::handle y, nb::handle w) {
        nb::object product = w.is_none() ? x * y : x * w * y;
        return product.attr("sum")("axis"_a = 0);
      },
      "x"_a, "y"_a, "w"_a.none(),
      "colsum(x, y, w)\n\nColumn sums of x * y, or of x * w * y when w is not None.");
}
