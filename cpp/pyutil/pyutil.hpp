// Small helpers for talking to the Python side from the binding layer:
// printing through Python's print, Python-style number formatting,
// raising built-in exception classes with exact messages, and access to the
// libraries the estimators delegate to (numpy, pandas, scipy, tabulate).
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>
#include <vector>

namespace korvald::py {

namespace nb = nanobind;

// Imported modules (cached after the first import).
nb::module_ numpy();
nb::module_ pandas();
nb::module_ builtins();

// print(text) through Python, so captured stdout and notebooks see it.
void print(const std::string& text);
// print(*values): Python's own rendering of each value, separated by blanks.
void print_values(const nb::args& values);

// format(value, spec) with Python's format mini-language, e.g. ".4f", ">6,".
std::string format(nb::handle value, const char* spec);
std::string format(double value, const char* spec);
std::string format(int64_t value, const char* spec);
std::string str(nb::handle value);
std::string repr(nb::handle value);

// Raise a built-in exception class with an exact message.
[[noreturn]] void raise(PyObject* exception_type, const std::string& message);
[[noreturn]] inline void raise_value_error(const std::string& m) { raise(PyExc_ValueError, m); }
[[noreturn]] inline void raise_type_error(const std::string& m) { raise(PyExc_TypeError, m); }
[[noreturn]] inline void raise_runtime_error(const std::string& m) { raise(PyExc_RuntimeError, m); }
// The plain Exception class (numerical breakdowns).
[[noreturn]] inline void raise_exception(const std::string& m) { raise(PyExc_Exception, m); }

// Python truth value and comparisons, exactly as the interpreter sees them
// (op: Py_LT, Py_LE, Py_EQ, Py_NE, Py_GT, Py_GE); a comparison that raises
// propagates the Python exception.
bool truthy(nb::handle value);
bool compare(nb::handle a, nb::handle b, int op);
inline bool equals(nb::handle a, nb::handle b) { return compare(a, b, Py_EQ); }
inline bool greater(nb::handle a, nb::handle b) { return compare(a, b, Py_GT); }
inline bool less_or_equal(nb::handle a, nb::handle b) { return compare(a, b, Py_LE); }
bool is_int(nb::handle value);  // isinstance(value, int); bools count

// Convert a Python sequence of strings into std::vector<std::string>.
std::vector<std::string> string_list(nb::handle seq);
nb::list to_list(const std::vector<std::string>& items);

// "sep".join(items)
std::string join(const std::vector<std::string>& items, const std::string& sep);
// split text at a one-character separator (used for "a#b" specifications)
std::vector<std::string> split(const std::string& text, char sep);

// numpy.errstate(invalid="ignore") for the lifetime of the object, for
// reductions over data that may still hold non-finite values on purpose.
class QuietInvalid {
 public:
  QuietInvalid();
  ~QuietInvalid();
  QuietInvalid(const QuietInvalid&) = delete;
  QuietInvalid& operator=(const QuietInvalid&) = delete;

 private:
  nb::object state_;
};

}  // namespace korvald::py
