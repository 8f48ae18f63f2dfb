// Bridges between the core's cooperative cancellation and the interpreter:
// Ctrl-C during long C++ work, and the package's ConvergenceWarning.
#pragma once

#include <nanobind/nanobind.h>

#include <functional>
#include <memory>
#include <string>

#include "core/interrupt.hpp"

namespace korvald::py {

namespace nb = nanobind;

// An Interrupt whose check takes the GIL briefly and runs the interpreter's
// pending signal handlers. Create it with the GIL held, on the calling thread;
// its check runs only on that thread (where the GIL may be released).
std::unique_ptr<core::Interrupt> signal_interrupt();

// With the GIL held, after interruptible work: if a signal handler raised
// (KeyboardInterrupt), propagate that exception.
void raise_if_interrupted(const core::Interrupt& interrupt);

// With the GIL held: runs `work` with the GIL released and an Interrupt
// from signal_interrupt(); a stop it honoured is raised as the pending
// KeyboardInterrupt once the GIL is back.
void run_interruptible(const std::function<void(core::Interrupt*)>& work);

// With the GIL held, between steps of a long loop that runs on the calling
// thread: run pending signal handlers and propagate what they raise.
void check_signals();

// korvald.ConvergenceWarning.
nb::object convergence_warning_class();

// warnings.warn(message, korvald.ConvergenceWarning, stacklevel); raises when
// the warning filters turn it into an error.
void warn_convergence(const std::string& message, int stacklevel = 2);

}  // namespace korvald::py
