#include "pyutil/array_pages.hpp"

namespace korvald::py {

namespace nb = nanobind;

namespace {

// numpy's switch of the advice (numpy._core.multiarray._set_madvise_hugepage,
// which returns the previous setting), or None when this numpy has none.
nb::handle advice_switch() {
  // Kept for the life of the process (never released, so nothing is freed
  // after the interpreter has gone).
  static const nb::handle cached = [] {
    nb::object fn = nb::none();
    try {
      nb::object multiarray = nb::module_::import_("numpy._core.multiarray");
      fn = nb::getattr(multiarray, "_set_madvise_hugepage", nb::none());
    } catch (const nb::python_error&) {
      // an older numpy: the advice stays as it is
    }
    return fn.release();
  }();
  return cached;
}

// Nesting depth and the setting found by the outermost guard. Only touched
// with the GIL held.
int depth = 0;
bool caller_setting = true;

}  // namespace

SmallPageArrays::SmallPageArrays() {
  nb::handle set = advice_switch();
  if (set.is_none()) return;
  if (depth == 0) {
    try {
      caller_setting = nb::cast<bool>(set(false));
    } catch (const nb::python_error&) {
      return;  // left as it was
    }
  }
  ++depth;
  active_ = true;
}

SmallPageArrays::~SmallPageArrays() {
  if (!active_ || --depth > 0) return;
  // May run while an exception is on its way out: the interpreter's error
  // state is put aside for the call and restored after.
  nb::error_scope keep_error;
  try {
    advice_switch()(caller_setting);
  } catch (const nb::python_error&) {
  }
}

}  // namespace korvald::py
