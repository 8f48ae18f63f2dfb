// Binding of poisabsorb, _poisson_deviance and _detect_separation_ir, and the
// order in which one poisabsorb call runs its steps.
#include "poisabsorb/estimator.hpp"

#include <nanobind/stl/string.h>

#include "common/estimation_sample.hpp"
#include "poisabsorb/internal.hpp"
#include "pyutil/pyutil.hpp"

namespace korvald::poisabsorb {

using namespace nb::literals;

static nb::handle g_module;

static nb::object poisabsorb(nb::object y, nb::object x, nb::object fixedeffects, nb::object data, nb::object setype,
                             nb::object clustvars, nb::object off, nb::object eta_0, nb::object FEgen,
                             nb::object start, nb::object olsguess, nb::object separation, nb::object sep_tol,
                             nb::object sep_maxiter, nb::object sep_K_penalty, nb::object keepsingletons,
                             nb::object nocheck, nb::object verb, nb::object eps_beta, nb::object miniter,
                             nb::object maxiter, nb::object eps_MAP, nb::object minsubiter, nb::object maxsubiter,
                             nb::object start_inner_tol, nb::object standardize_data, nb::object accel, nb::object nt,
                             nb::object print_stata_style_summary, nb::object weights, nb::object weight_type) {
  Call c;
  c.module = nb::borrow(g_module);
  c.y_arg = y;
  c.x_arg = x;
  c.fixedeffects_arg = fixedeffects;
  c.data = data;
  c.setype_arg = setype;
  c.clustvars = clustvars;
  c.off = off;
  c.eta_0 = eta_0;
  c.FEgen = FEgen;
  c.start = start;
  c.olsguess = olsguess;
  c.separation = separation;
  c.sep_tol = sep_tol;
  c.sep_maxiter = sep_maxiter;
  c.sep_K_penalty = sep_K_penalty;
  c.keepsingletons = keepsingletons;
  c.nocheck = nocheck;
  c.verb = verb;
  c.eps_beta_arg = eps_beta;
  c.miniter_arg = miniter;
  c.maxiter_arg = maxiter;
  c.eps_MAP_arg = eps_MAP;
  c.minsubiter = minsubiter;
  c.maxsubiter = maxsubiter;
  c.start_inner_tol_arg = start_inner_tol;
  c.standardize_data = standardize_data;
  c.accel = accel;
  c.nt = nt;
  c.threads = common::one_off_threads(nt);
  c.print_stata_style_summary = print_stata_style_summary;
  c.weights_arg = weights;
  c.weight_type_arg = weight_type;

  prepare_input(c);
  build_fixed_effects(c);
  separation_pass(c);
  screen_and_start(c);
  run_irls(c);
  return finish(c);
}

void bind_poisabsorb(nb::module_& m) {
  g_module = m;
  nb::object none = nb::none();
  // Every parameter accepts any object (None included), as a Python function would.
  m.def("poisabsorb", &poisabsorb, "y"_a.none(), "x"_a.none(), "fixedeffects"_a.none() = none,
        "data"_a.none() = none, "setype"_a.none() = "none", "clustvars"_a.none() = none, "off"_a.none() = none,
        "eta_0"_a.none() = none, "FEgen"_a.none() = false, "start"_a.none() = "simple",
        "olsguess"_a.none() = false, "separation"_a.none() = "ir", "sep_tol"_a.none() = 1e-5,
        "sep_maxiter"_a.none() = 100, "sep_K_penalty"_a.none() = 1e6, "keepsingletons"_a.none() = false,
        "nocheck"_a.none() = false, "verb"_a.none() = 0, "eps_beta"_a.none() = 1e-8, "miniter"_a.none() = 1,
        "maxiter"_a.none() = 1000, "eps_MAP"_a.none() = 1e-9, "minsubiter"_a.none() = 0,
        "maxsubiter"_a.none() = 16000, "start_inner_tol"_a.none() = 1e-4, "standardize_data"_a.none() = true,
        "accel"_a.none() = true, "nt"_a.none() = 0, "print_stata_style_summary"_a.none() = true,
        "weights"_a.none() = none, "weight_type"_a.none() = "aweight",
        "Poisson pseudo-maximum-likelihood regression of y on x with the fixed effects absorbed, fitted by "
        "iteratively re-weighted least squares. weights: None or a one-element list naming a column of "
        "non-negative observation weights (each row's pseudo-likelihood contribution is multiplied by its "
        "weight); weight_type: 'aweight', 'fweight' (whole numbers, each row counts as w observations) or "
        "'pweight' (robust or clustered errors only). Returns a SimpleNamespace with the estimates.");
  m.def("_poisson_deviance", &poisson_deviance_py, "y"_a.none(), "mu"_a.none(),
        "Poisson deviance of the means mu for the outcome y (+inf when some mu is not finite).");
  m.def("_detect_separation_ir", &detect_separation_ir, "data"_a.none(), "y"_a.none(), "x"_a.none(),
        "fenames"_a.none(), "tol"_a.none() = 1e-5, "maxiter"_a.none() = 100, "K_penalty"_a.none() = 1e6,
        "inner_maxiter"_a.none() = 100, "inner_tol"_a.none() = 1e-10, "verb"_a.none() = 0, "nt"_a.none() = 0,
        "Iterative-rectifier separation test; returns (mask of separated observations, certificate u). nt: "
        "threads (0 = all cores); the result does not depend on it.");
}

}  // namespace korvald::poisabsorb
