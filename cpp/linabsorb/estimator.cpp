// linabsorb: the binding and the order of the stages of one estimation.
#include "linabsorb/estimator.hpp"

#include <nanobind/stl/string.h>

#include "common/estimation_sample.hpp"
#include "linabsorb/steps.hpp"
#include "pyutil/pyutil.hpp"
#include "reporting/inference.hpp"
#include "reporting/result_assembly.hpp"
#include "reporting/state_inputs.hpp"

namespace korvald::linabsorb {

using namespace nb::literals;

static nb::object run(const Arguments& args) {
  Prepared prep = prepare(args);
  Fit estimates = fit(args, prep);

  reporting::InferenceInput in = reporting::inference_input(reporting::Family::Linear, prep);
  in.x = estimates.x;
  in.K = estimates.K;
  in.demeaned = estimates.yXtilde;
  in.beta = estimates.beta;
  in.resid = estimates.wresid;
  in.weights = prep.weights.w;
  // A frequency-weighted row is w independent observations: its squared
  // score enters the heteroskedastic meat w times, not w^2 times.
  if (prep.wspec.frequency()) in.hetero_resid = estimates.resid;
  in.verb = prep.verbose ? 1 : 0;
  reporting::InferenceOutput inference = reporting::covariance_and_inference(in, prep.result);
  in.fe_pointers = nb::none();
  prep.panelmat = nb::none();
  // The order of the per-observation outputs is first needed here; made
  // earlier it would only add to the partialling-out's memory.
  prep.output_order = common::output_order(prep.sample, prep.order_key);

  // FEgen counts by equality with True, so 1 does and 2 does not.
  const bool fegen = py::equals(args.FEgen, nb::bool_(true));
  reporting::AssemblyInput as = reporting::assembly_input(reporting::Family::Linear, prep);
  as.x = estimates.x;
  as.K = estimates.K;
  as.df_model = inference.df_model;
  as.beta = estimates.beta;
  as.resid = estimates.resid;
  as.fegen = fegen;
  as.weights = prep.weights.w;
  reporting::assemble_result(as, prep.result);
  common::set_weight_attributes(prep.result, prep.wspec, prep.weights);

  if (fegen) recover_fixed_effects(prep, estimates);

  ClosingInputs closing;
  closing.se = inference.se;
  closing.stat = inference.stat;
  closing.p = inference.p;
  closing.covmat = inference.covmat;
  closing.cons_stats = inference.cons_stats;
  closing.fe_redundancies = inference.fe_redundancies;
  closing.N_cluster = inference.N_cluster;
  closing.df = inference.df;
  closing.total_nonredundant_fe = inference.total_nonredundant_fe;
  close_and_summarize(args, prep, estimates, closing);
  return prep.result;
}

void bind_linabsorb(nb::module_& m) {
  m.def(
      "linabsorb",
      [](nb::object y, nb::object x, nb::object fixedeffects, nb::object data, nb::object setype,
         nb::object clustvars, nb::object FEgen, nb::object verb, nb::object eps_MAP, nb::object minsubiter,
         nb::object maxsubiter, nb::object accel, nb::object nt, nb::object print_stata_style_summary,
         nb::object weights, nb::object weight_type) {
        return run(Arguments{y, x, fixedeffects, data, setype, clustvars, FEgen, verb, eps_MAP, minsubiter,
                             maxsubiter, accel, nt, print_stata_style_summary, weights, weight_type});
      },
      "y"_a.none(), "x"_a.none(), "fixedeffects"_a.none() = nb::none(), "data"_a.none() = nb::none(),
      "setype"_a.none() = "none", "clustvars"_a.none() = nb::none(), "FEgen"_a.none() = false,
      "verb"_a.none() = 0, "eps_MAP"_a.none() = 1e-09, "minsubiter"_a.none() = 0,
      "maxsubiter"_a.none() = 1000, "accel"_a.none() = true, "nt"_a.none() = 0,
      "print_stata_style_summary"_a.none() = true, "weights"_a.none() = nb::none(),
      "weight_type"_a.none() = "aweight",
      "Linear least squares of y on x with the fixed effects absorbed by alternating projections.\n\n"
      "y: one-element list naming the dependent variable; x: list of regressors; fixedeffects: list\n"
      "of specifications (a column, or columns joined by '#' for an interaction); data: DataFrame;\n"
      "setype: 'none', 'homoskedastic', 'heteroskedastic' or 'cluster' (with synonyms); clustvars:\n"
      "up to four cluster columns; FEgen: also recover the fixed effects; verb: verbosity; eps_MAP,\n"
      "minsubiter, maxsubiter, accel, nt: controls of the partialling-out; print_stata_style_summary:\n"
      "print the summary table; weights: None or a one-element list naming a column of non-negative\n"
      "observation weights; weight_type: 'aweight' (analytic), 'fweight' (frequency: whole numbers, each row\n"
      "counts as w observations) or 'pweight' (sampling; robust or clustered errors only). Returns a\n"
      "SimpleNamespace with estimates, inference and fit statistics.");
}

}  // namespace korvald::linabsorb
