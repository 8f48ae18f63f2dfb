#include "pyutil/pyutil.hpp"

#include <nanobind/stl/string.h>

namespace korvald::py {

nb::module_ numpy() {
  static nb::module_* mod = new nb::module_(nb::module_::import_("numpy"));
  return *mod;
}
nb::module_ pandas() {
  static nb::module_* mod = new nb::module_(nb::module_::import_("pandas"));
  return *mod;
}
nb::module_ builtins() {
  static nb::module_* mod = new nb::module_(nb::module_::import_("builtins"));
  return *mod;
}

void print(const std::string& text) { builtins().attr("print")(nb::str(text.c_str(), text.size())); }

void print_values(const nb::args& values) { builtins().attr("print")(*values); }

std::string format(nb::handle value, const char* spec) {
  return nb::cast<std::string>(builtins().attr("format")(value, spec));
}
std::string format(double value, const char* spec) { return format(nb::float_(value), spec); }
std::string format(int64_t value, const char* spec) { return format(nb::int_(value), spec); }

std::string str(nb::handle value) { return nb::cast<std::string>(nb::str(value)); }
std::string repr(nb::handle value) { return nb::cast<std::string>(nb::repr(value)); }

void raise(PyObject* exception_type, const std::string& message) {
  PyErr_SetString(exception_type, message.c_str());
  throw nb::python_error();
}

bool truthy(nb::handle value) {
  int r = PyObject_IsTrue(value.ptr());
  if (r < 0) throw nb::python_error();
  return r == 1;
}

bool compare(nb::handle a, nb::handle b, int op) {
  int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
  if (r < 0) throw nb::python_error();
  return r == 1;
}

bool is_int(nb::handle value) { return PyLong_Check(value.ptr()); }

std::vector<std::string> string_list(nb::handle seq) {
  std::vector<std::string> out;
  for (nb::handle item : seq) out.push_back(nb::cast<std::string>(nb::str(item)));
  return out;
}

nb::list to_list(const std::vector<std::string>& items) {
  nb::list out;
  for (const auto& s : items) out.append(nb::str(s.c_str(), s.size()));
  return out;
}

std::string join(const std::vector<std::string>& items, const std::string& sep) {
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i) out += sep;
    out += items[i];
  }
  return out;
}

std::vector<std::string> split(const std::string& text, char sep) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : text) {
    if (c == sep) {
      out.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  out.push_back(cur);
  return out;
}

QuietInvalid::QuietInvalid() {
  nb::dict kwargs;
  kwargs["invalid"] = "ignore";
  state_ = numpy().attr("errstate")(**kwargs);
  state_.attr("__enter__")();
}

QuietInvalid::~QuietInvalid() {
  // Runs during unwinding too; a failure to restore must not escape a destructor.
  PyObject *type, *value, *trace;
  PyErr_Fetch(&type, &value, &trace);
  PyObject* r = PyObject_CallMethod(state_.ptr(), "__exit__", "OOO", Py_None, Py_None, Py_None);
  Py_XDECREF(r);
  PyErr_Clear();
  PyErr_Restore(type, value, trace);
}

}  // namespace korvald::py
