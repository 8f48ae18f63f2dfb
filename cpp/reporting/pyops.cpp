#include "reporting/pyops.hpp"

#include "pyutil/pyutil.hpp"

namespace korvald::reporting::ops {

bool lt(nb::handle a, nb::handle b) { return py::compare(a, b, Py_LT); }
bool gt(nb::handle a, nb::handle b) { return py::greater(a, b); }
bool eq(nb::handle a, nb::handle b) { return py::equals(a, b); }
bool eq(nb::handle a, const char* b) { return py::equals(a, nb::str(b)); }

bool contains(nb::handle container, nb::handle item) {
  int r = PySequence_Contains(container.ptr(), item.ptr());
  if (r < 0) throw nb::python_error();
  return r == 1;
}

bool nonempty(nb::handle value) { return !value.is_none() && py::truthy(value); }

nb::object scipy_stats() {
  static nb::module_* mod = new nb::module_(nb::module_::import_("scipy.stats"));
  return *mod;
}

nb::object module_global(Family family, const char* name) {
  const char* module = family == Family::Linear ? "korvald.linabsorb._linabsorb" : "korvald.poisabsorb._poisabsorb";
  return nb::module_::import_(module).attr(name);
}

nb::object linalg() { return py::numpy().attr("linalg"); }

nb::object py_min(nb::handle iterable) { return py::builtins().attr("min")(iterable); }

size_t text_length(const std::string& utf8) {
  size_t n = 0;
  for (unsigned char c : utf8)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

std::string padded(const std::string& left, const std::string& right) {
  long gap = kLineWidth - static_cast<long>(text_length(left)) - static_cast<long>(text_length(right));
  return left + std::string(gap > 0 ? static_cast<size_t>(gap) : 0, ' ') + right;
}

std::string right_aligned(const std::string& text) {
  long gap = kLineWidth - static_cast<long>(text_length(text));
  return std::string(gap > 0 ? static_cast<size_t>(gap) : 0, ' ') + text;
}

nb::list split_spec(nb::handle spec) { return nb::borrow<nb::list>(spec.attr("split")("#")); }

}  // namespace korvald::reporting::ops
