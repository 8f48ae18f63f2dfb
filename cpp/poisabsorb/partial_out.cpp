// Every partialling-out call of poisabsorb goes through here, so that a call
// that stops short of the tolerance it was given is noticed. The loose inner
// tolerances of early IRLS iterations are by design; only missing the
// tolerance actually handed over counts. The first such call is remembered
// and reported once per estimation (a ConvergenceWarning and a line in msg).
#include <nanobind/stl/string.h>

#include "poisabsorb/internal.hpp"
#include "pyutil/convergence.hpp"
#include "pyutil/pyutil.hpp"
#include "pyutil/signals.hpp"

namespace korvald::poisabsorb {

using namespace nb::literals;

nb::object partial_out(Call& c, nb::handle Z, nb::handle w, nb::handle tol, const std::string& where) {
  nb::list report;
  nb::object result =
      py::takes_report(c.accelfunc)
          ? c.accelfunc(Z, w, c.mp, tol, c.minsubiter, c.maxsubiter, c.verb, c.nt, "report"_a = report)
          : c.accelfunc(Z, w, c.mp, tol, c.minsubiter, c.maxsubiter, c.verb, c.nt);
  const std::string failure = py::demean_failure(c.accel_name, report, c.maxsubiter);
  if (!failure.empty()) {
    if (c.demean_failures == 0) c.first_demean_failure = where + ": " + failure;
    ++c.demean_failures;
  }
  return result;
}

void report_partialling_failures(Call& c) {
  if (c.demean_failures == 0 || c.demean_failures_reported) return;
  c.demean_failures_reported = true;
  std::string text = "the partialling-out did not meet its tolerance in " + c.first_demean_failure;
  if (c.demean_failures > 1)
    text += " (and in " + std::to_string(c.demean_failures - 1) + " later call" +
            (c.demean_failures > 2 ? "s" : "") + ")";
  c.log("warning: " + text);
  py::warn_convergence(text, 1);
}

}  // namespace korvald::poisabsorb
