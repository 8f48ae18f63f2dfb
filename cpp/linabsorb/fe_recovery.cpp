// Recovery of the fixed effects after the fit: y - X*beta is split into one
// additive effect per specification by Gauss-Seidel sweeps of group means
// (in the C++ core, without the GIL), then every effect is centred to mean
// zero and the means are collected in the constant.
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <vector>

#include "core/fe_recovery.hpp"
#include "core/large_pages.hpp"
#include "core/linear_fit.hpp"
#include "core/weighted_groups.hpp"
#include "core/weights.hpp"
#include "common/estimation_sample.hpp"
#include "linabsorb/steps.hpp"
#include "pyutil/pyutil.hpp"
#include "pyutil/signals.hpp"

namespace korvald::linabsorb {

using namespace nb::literals;
using ConstVector = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using ConstIds = nb::ndarray<const int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using ConstMatrix = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using Vector = nb::ndarray<double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

static nb::object new_vector(int64_t n, double** data) {
  nb::object np = py::numpy();
  nb::object arr = np.attr("zeros")(n, "dtype"_a = np.attr("float64"));
  *data = nb::cast<Vector>(arr).data();
  return arr;
}

static nb::object series(nb::handle values, nb::handle index, const std::string& name) {
  return py::pandas().attr("Series")(values, "index"_a = index, "name"_a = name, "copy"_a = false);
}

void recover_fixed_effects(const Prepared& prep, const Fit& fit) {
  nb::object np = py::numpy();
  nb::object pd = py::pandas();
  if (prep.verbose) py::print("Recovering fixed effects...");
  const int64_t n = prep.N;
  const size_t n_hdfe = nb::len(prep.fixedeffects);

  // target = y - X*beta on the raw (not partialled-out) columns.
  nb::object y_col = prep.float_column(prep.ycol());
  std::vector<nb::object> x_cols;
  std::vector<const double*> x_ptrs;
  for (nb::handle name : fit.x) {
    x_cols.push_back(prep.float_column(name));
    x_ptrs.push_back(nb::cast<ConstVector>(x_cols.back()).data());
  }
  ConstMatrix beta = nb::cast<ConstMatrix>(fit.beta);
  const double* y_ptr = nb::cast<ConstVector>(y_col).data();
  core::LargeVector<double> target(static_cast<size_t>(n));

  std::vector<nb::object> id_cols;
  std::vector<const int64_t*> ids;
  std::vector<int64_t> ngroups;
  for (size_t i = 0; i < n_hdfe; ++i) {
    id_cols.push_back(prep.int_column(prep.fenames[i]));
    ConstIds view = nb::cast<ConstIds>(id_cols.back());
    ids.push_back(view.data());
  }

  core::LargeVector<double> values(static_cast<size_t>(n) * n_hdfe, 0.0);
  core::FeRecoveryOptions options;
  options.sweeps_per_check = 1;
  options.max_checks = 200;
  options.tol = 1e-10;
  core::FeRecoveryOutcome outcome;
  bool bad_codes = false;
  // Weighted group means; the effects are centred on their weighted means.
  const double* w = prep.weighted() ? nb::cast<ConstVector>(prep.weights.w).data() : nullptr;
  py::run_interruptible([&](core::Interrupt* interrupt) {
    options.interrupt = interrupt;
    core::remainder_after_regressors(y_ptr, x_ptrs, beta.data(), n, target.data());
    for (size_t k = 0; k < n_hdfe; ++k) {
      int64_t g_max = -1;
      for (int64_t i = 0; i < n; ++i) {
        if (ids[k][i] < 0) bad_codes = true;
        g_max = std::max(g_max, ids[k][i]);
      }
      ngroups.push_back(g_max + 1);
    }
    if (!bad_codes) outcome = core::recover_fixed_effects(target.data(), w, ids, ngroups, n, values.data(), options);
  });
  if (bad_codes) py::raise_runtime_error("fixed-effect identifiers must be non-negative codes");
  if (prep.verbose && outcome.converged)
    py::print("Fixed effects converged in " + std::to_string(outcome.iterations) + " iterations");
  if (!outcome.converged && n_hdfe > 1) {
    const std::string text = "the recovered fixed effects did not converge in " +
                             std::to_string(outcome.iterations) + " sweeps (last max change " +
                             py::format(outcome.max_change, ".1e") + " against a tolerance of " +
                             py::format(options.tol, ".0e") + "); fixed_effects are approximate";
    prep.log("warning: " + text);
    py::warn_convergence(text, 1);
  }

  // Centre each effect; the constant collects the means. Without fixed
  // effects the constant is the mean of the remainder itself.
  std::vector<double> means(n_hdfe, 0.0);
  for (size_t k = 0; k < n_hdfe; ++k) {
    double total = 0.0, weight = 0.0;
    if (w) {
      for (int64_t i = 0; i < n; ++i) {
        total += w[i] * values[i * n_hdfe + k];
        weight += w[i];
      }
    } else {
      for (int64_t i = 0; i < n; ++i) total += values[i * n_hdfe + k];
      weight = static_cast<double>(n);
    }
    means[k] = total / weight;
  }
  double cons = 0.0;
  for (double mk : means) cons += mk;
  if (n_hdfe == 0) cons = w ? core::weighted_mean(target.data(), w, n) : core::mean(target.data(), n);

  nb::dict fe_dict;
  fe_dict["_cons"] = nb::float_(cons);
  double* sum_centered;
  double* sum_original;
  nb::object sum_centered_arr = new_vector(n, &sum_centered);
  nb::object sum_original_arr = new_vector(n, &sum_original);
  for (size_t k = 0; k < n_hdfe; ++k) {
    double* centered;
    nb::object centered_arr = new_vector(n, &centered);
    double* levels;
    nb::object levels_arr = new_vector(ngroups[k], &levels);
    {
      nb::gil_scoped_release release;
      std::vector<char> seen(static_cast<size_t>(ngroups[k]), 0);
      for (int64_t i = 0; i < n; ++i) {
        const double v = values[i * n_hdfe + k];
        centered[i] = v - means[k];
        sum_original[i] += v;
        sum_centered[i] += centered[i];
        const int64_t g = ids[k][i];
        if (!seen[g]) {
          seen[g] = 1;
          levels[g] = centered[i];
        }
      }
    }
    nb::object spec = prep.fixedeffects[k];
    fe_dict[spec] = series(common::in_output_order(centered_arr, prep.output_order), prep.initial_index(), "__hdfe" + std::to_string(k + 1) + "__");
    nb::object level_index =
        pd.attr("Index")(np.attr("arange")(ngroups[k], "dtype"_a = np.attr("int64")), "name"_a = spec);
    fe_dict[nb::str((py::str(spec) + "__levels").c_str())] = series(levels_arr, level_index, "fe_value");
  }
  fe_dict["__hdfe_sum__"] = series(common::in_output_order(sum_centered_arr, prep.output_order), prep.initial_index(), "__hdfe_sum__");
  fe_dict["__hdfe_sum_python__"] = series(common::in_output_order(sum_original_arr, prep.output_order), prep.initial_index(), "__hdfe_sum_python__");
  prep.result.attr("fixed_effects") = fe_dict;
}

}  // namespace korvald::linabsorb
