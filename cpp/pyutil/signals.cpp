#include "pyutil/signals.hpp"

#include <nanobind/stl/string.h>

namespace korvald::py {

std::unique_ptr<core::Interrupt> signal_interrupt() {
  return std::make_unique<core::Interrupt>([] {
    nb::gil_scoped_acquire acquire;
    // On error the exception (KeyboardInterrupt) stays set on this thread's
    // state until raise_if_interrupted picks it up.
    return PyErr_CheckSignals() != 0;
  });
}

void raise_if_interrupted(const core::Interrupt& interrupt) {
  if (!interrupt.stop_requested()) return;
  if (PyErr_Occurred()) throw nb::python_error();
  // Stopped without a Python error (should not happen): still never return a partial result.
  PyErr_SetNone(PyExc_KeyboardInterrupt);
  throw nb::python_error();
}

void run_interruptible(const std::function<void(core::Interrupt*)>& work) {
  const std::unique_ptr<core::Interrupt> interrupt = signal_interrupt();
  {
    nb::gil_scoped_release release;
    try {
      work(interrupt.get());
    } catch (const core::Interrupted&) {
    }
  }
  raise_if_interrupted(*interrupt);
}

void check_signals() {
  if (PyErr_CheckSignals() != 0) throw nb::python_error();
}

nb::object convergence_warning_class() {
  return nb::module_::import_("korvald.errors").attr("ConvergenceWarning");
}

void warn_convergence(const std::string& message, int stacklevel) {
  nb::object cls = convergence_warning_class();
  if (PyErr_WarnEx(cls.ptr(), message.c_str(), stacklevel) != 0) throw nb::python_error();
}

}  // namespace korvald::py
