// Closing statistics of the linear model (R-squared family, root MSE, the
// fixed-effect category counts, final residual degrees of freedom) and the
// hand-off to the summary table.
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <cmath>

#include "core/linear_fit.hpp"
#include "core/weights.hpp"
#include "common/estimation_sample.hpp"
#include "linabsorb/steps.hpp"
#include "pyutil/pyutil.hpp"

namespace korvald::linabsorb {

using namespace nb::literals;
using ConstVector = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using ConstMatrix = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;

void close_and_summarize(const Arguments& args, const Prepared& prep, const Fit& fit, const ClosingInputs& inf) {
  nb::handle result = prep.result;

  // N counts observations: the sum of frequency weights, otherwise rows.
  const int64_t rows = prep.N, N = prep.n_obs(), K = fit.K;
  nb::object y_col = prep.float_column(prep.ycol());
  const double* y = nb::cast<ConstVector>(y_col).data();
  // Weighted sums of squares: wresid and the block carry sqrt(w) already.
  const double* r = nb::cast<ConstMatrix>(fit.wresid).data();
  const double* w = prep.weighted() ? nb::cast<ConstVector>(prep.weights.w).data() : nullptr;
  ConstMatrix block = nb::cast<ConstMatrix>(fit.yXtilde);
  double TSS, RSS, TSS_within;
  {
    nb::gil_scoped_release release;
    TSS = w ? core::weighted_centered_sum_of_squares(y, w, rows)
            : core::centered_sum_of_squares(y, rows, prep.threads);
    RSS = core::sum_of_squares(r, rows, 1, prep.threads);
    TSS_within = core::sum_of_squares(block.data(), rows, K + 1, prep.threads);
  }
  // IEEE rules on purpose: a constant y or d <= 0 give inf/NaN, not an error.
  const double r_squared = 1.0 - RSS / TSS;
  const bool fe_df = prep.setype == "homoskedastic" || prep.setype == "heteroskedastic";
  const double d = static_cast<double>(N - K - (fe_df ? inf.total_nonredundant_fe : prep.N_FE));
  const double adj_r_squared = 1.0 - (1.0 - r_squared) * static_cast<double>(N - 1) / d;
  const double root_mse = std::sqrt(RSS / d);
  nb::object within_r_squared =
      TSS_within > 0 ? nb::object(nb::float_(1.0 - RSS / TSS_within)) : nb::object(nb::int_(0));

  if (prep.setype == "none") return;

  nb::object df_resid = nb::none();
  if (fe_df) {
    df_resid = nb::int_(N - K - inf.total_nonredundant_fe);
    result.attr("df_resid") = df_resid;
  }
  if (!py::truthy(args.print_stata_style_summary)) return;

  nb::object df = std::floor(inf.df) == inf.df ? nb::object(nb::int_(static_cast<int64_t>(inf.df)))
                                               : nb::object(nb::float_(inf.df));
  nb::object summary = prep.module.attr("stata_style_summary")(
      result, fit.x, fit.beta, inf.se, inf.stat, inf.p, df, N, K, prep.N_FE, prep.setype,
      "fixedeffects"_a = prep.fixedeffects, "clustvars"_a = prep.clustvars,
      "N_cluster"_a = prep.setype == "cluster" ? inf.N_cluster : nb::none(), "r_squared"_a = r_squared,
      "adj_r_squared"_a = adj_r_squared, "within_r_squared"_a = within_r_squared, "root_mse"_a = root_mse,
      "fe_counts"_a = prep.fe_counts(), "covmat"_a = inf.covmat, "df_resid"_a = df_resid,
      "fe_redundancies"_a = inf.fe_redundancies, "cons_stats"_a = inf.cons_stats);
  result.attr("summary_df") = summary;
}

}  // namespace korvald::linabsorb
