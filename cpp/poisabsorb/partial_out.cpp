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

nb::object partial_out(Call& c, nb::handle Z, nb::handle w, nb::handle tol, const std::string& step,
                       int64_t iteration, bool overwrite) {
  nb::list report;
  // Only the package's own routine is asked to write over Z; a routine put
  // in its place gets the plain positional arguments.
  nb::object result =
      py::takes_report(c.accelfunc)
          ? c.accelfunc(Z, w, c.panelmat, tol, c.minsubiter, c.maxsubiter, c.verb, c.nt, "report"_a = report,
                        "overwrite"_a = overwrite)
          : c.accelfunc(Z, w, c.panelmat, tol, c.minsubiter, c.maxsubiter, c.verb, c.nt);
  const std::string failure = py::demean_failure(c.accel_name, report, c.maxsubiter);
  if (!failure.empty()) {
    if (c.first_demean_failure.empty()) c.first_demean_failure = failure;
    if (iteration > 0)
      c.demean_failed_iterations.push_back(iteration);
    else
      c.demean_failed_steps.push_back(step);
  }
  return result;
}

// "3", "3 and 5", "1-4, 7 and 9": ascending iteration numbers, runs joined.
static std::string iteration_list(const std::vector<int64_t>& its) {
  std::vector<std::string> parts;
  for (size_t a = 0; a < its.size();) {
    size_t b = a;
    while (b + 1 < its.size() && its[b + 1] == its[b] + 1) ++b;
    parts.push_back(b > a ? std::to_string(its[a]) + "-" + std::to_string(its[b]) : std::to_string(its[a]));
    a = b + 1;
  }
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i)
    out += (i == 0 ? "" : i + 1 == parts.size() ? " and " : ", ") + parts[i];
  return out;
}

void report_partialling_failures(Call& c) {
  if (c.first_demean_failure.empty() || c.demean_failures_reported) return;
  c.demean_failures_reported = true;
  std::vector<std::string> places = c.demean_failed_steps;
  const auto& its = c.demean_failed_iterations;
  if (!its.empty())
    places.push_back((its.size() == 1 ? "IRLS iteration " : "IRLS iterations ") +
                     iteration_list(its));
  std::string where;
  for (size_t i = 0; i < places.size(); ++i)
    where += (i == 0 ? "" : i + 1 == places.size() ? " and " : ", ") + places[i];
  const std::string text =
      "the partialling-out did not meet its tolerance in " + where + " (first report: " + c.first_demean_failure + ")";
  c.log("warning: " + text);
  py::warn_convergence(text, 1);
}

}  // namespace korvald::poisabsorb
