#include "pyutil/convergence.hpp"

#include <nanobind/stl/string.h>

#include <cmath>

#include "pyutil/pyutil.hpp"

namespace korvald::py {

bool takes_report(nb::handle routine) {
  static nb::object* backend = new nb::object(nb::module_::import_("korvald.backend.demeankit"));
  for (const char* name : {"MAP_NH_CG_accel", "MAP_NH_noaccel"})
    if (routine.is(backend->attr(name))) return true;
  return false;
}

nb::tuple report_tuple(const core::ColumnReport& r) {
  return nb::make_tuple(r.iterations, r.passes, r.criterion, r.threshold, nb::bool_(r.converged));
}

std::vector<core::ColumnReport> reports_from_list(nb::handle report_list) {
  std::vector<core::ColumnReport> out;
  for (nb::handle item : report_list) {
    core::ColumnReport r;
    r.iterations = nb::cast<int64_t>(item[0]);
    r.passes = nb::cast<int64_t>(item[1]);
    r.criterion = nb::cast<double>(item[2]);
    r.threshold = nb::cast<double>(item[3]);
    r.converged = nb::cast<bool>(item[4]);
    out.push_back(r);
  }
  return out;
}

std::string demean_failure(const std::string& routine, const std::vector<core::ColumnReport>& reports,
                           int64_t max_iter) {
  int64_t failed = 0;
  const core::ColumnReport* worst = nullptr;
  double worst_ratio = -1.0;
  bool non_finite = false, capped = false;
  for (const auto& r : reports) {
    if (r.converged) continue;
    ++failed;
    const bool finite = std::isfinite(r.criterion) && std::isfinite(r.threshold);
    non_finite |= !finite;
    capped |= r.iterations >= max_iter;
    const double ratio = !finite ? INFINITY : r.threshold > 0 ? r.criterion / r.threshold : r.criterion;
    if (!worst || ratio > worst_ratio) {
      worst = &r;
      worst_ratio = ratio;
    }
  }
  if (failed == 0) return "";
  std::string why;
  if (non_finite)
    why = "non-finite values";
  else if (capped)
    why = "stopped at maxsubiter = " + std::to_string(max_iter);
  else
    why = "no further progress in floating point after " + std::to_string(worst->iterations) + " iterations";
  std::string text = routine + ": " + std::to_string(failed) + " of " + std::to_string(reports.size()) +
                     (reports.size() == 1 ? " column" : " columns") + " did not converge (" + why;
  if (!non_finite)
    text += "; worst criterion " + format(worst->criterion, ".1e") + " against a threshold of " +
            format(worst->threshold, ".1e");
  return text + ")";
}

std::string demean_failure(const std::string& routine, nb::handle report_list, nb::handle max_iter) {
  nb::object as_int = builtins().attr("int")(max_iter);
  int overflow = 0;
  long long cap = PyLong_AsLongLongAndOverflow(as_int.ptr(), &overflow);
  if (overflow > 0) cap = INT64_MAX;
  if (overflow < 0) cap = INT64_MIN;
  return demean_failure(routine, reports_from_list(report_list), static_cast<int64_t>(cap));
}

}  // namespace korvald::py
