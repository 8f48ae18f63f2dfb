// Python-level operations the reporting code needs repeatedly: comparisons
// and membership with the interpreter's own semantics (so numpy scalars,
// plain ints and strings behave as in a Python expression), the two
// 80-column line rules, and the modules the reporting code delegates to.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

#include "reporting/family.hpp"

namespace korvald::reporting::ops {

namespace nb = nanobind;

inline constexpr int kLineWidth = 80;

bool lt(nb::handle a, nb::handle b);   // a < b
bool gt(nb::handle a, nb::handle b);   // a > b
bool eq(nb::handle a, nb::handle b);   // a == b
bool eq(nb::handle a, const char* b);  // a == "text"
bool contains(nb::handle container, nb::handle item);  // item in container
bool nonempty(nb::handle value);       // not None and truthy

nb::object scipy_stats();

// A name bound at module level in the family's estimator module (the
// backend routines, powerset, tabulate), looked up at call time the way a
// Python function resolves its globals.
nb::object module_global(Family family, const char* name);
nb::object linalg();

// Python's min(...) of an iterable.
nb::object py_min(nb::handle iterable);

// Number of characters (code points) of UTF-8 text, as Python's len() counts.
size_t text_length(const std::string& utf8);

// left + spaces up to column 80 + right (no spaces when they do not fit).
std::string padded(const std::string& left, const std::string& right);
// spaces + text ending at column 80.
std::string right_aligned(const std::string& text);

// spec.split("#") as a Python list.
nb::list split_spec(nb::handle spec);

}  // namespace korvald::reporting::ops
