// Result assembly: model-family stubs (fresh classes per call, so tools that
// print `family.link` or `model.exog_names` find them), degrees of freedom,
// the model restated as an alpaca::feglm call and a Stata-style command, the
// fit statistics and the per-observation outputs indexed by the caller's
// row labels.
#include "reporting/result_assembly.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <cmath>
#include <vector>

#include "common/estimation_sample.hpp"
#include "core/output_rows.hpp"
#include "pyutil/pyutil.hpp"
#include "reporting/pyops.hpp"

namespace korvald::reporting {

using namespace nb::literals;

namespace {

struct FamilyNames {
  const char* estimator;  // qualname prefix and Stata command word
  const char* module;
  const char* family;     // family class / family_name
  const char* link;       // link class / family_link
  const char* r_family;   // alpaca family argument
  const char* method;
};

FamilyNames names_of(Family family) {
  if (family == Family::Linear)
    return {"linabsorb", "korvald.linabsorb._linabsorb", "Gaussian", "identity", "gaussian", "OLS"};
  return {"poisabsorb", "korvald.poisabsorb._poisabsorb", "Poisson", "log", "poisson", "IRLS"};
}

nb::object make_class(const FamilyNames& f, const char* name, nb::dict attributes) {
  attributes["__module__"] = f.module;
  attributes["__qualname__"] = std::string(f.estimator) + ".<locals>." + name;
  return py::builtins().attr("type")(name, nb::tuple(), attributes);
}

std::vector<std::string> strings(nb::handle seq) {
  if (seq.is_none()) return {};
  return py::string_list(seq);
}

std::string r_term(const std::string& spec) {
  if (spec.find('#') == std::string::npos) return spec;
  return "<<interatction(" + py::join(py::split(spec, '#'), ", ") + ")>>";
}

using ConstColumn = nb::ndarray<const double, nb::c_contig, nb::device::cpu>;

// A per-observation output as a Series on the caller's labels: a column of a
// (row by row combined with b) in output order. A plain column already in
// output order is used as it is; anything else is made fresh in one native
// pass (see core::combine_rows).
nb::object output_series(nb::handle a, nb::handle b, core::RowCombine op, const AssemblyInput& in) {
  if (op == core::RowCombine::first && in.order.is_none())
    return common::series_on_index(a, common::labels_index(in.labels), nb::none(), nb::none());
  nb::object np = py::numpy();
  nb::object float64 = np.attr("float64");
  auto flat = [&](nb::handle v) { return np.attr("ascontiguousarray")(v, "dtype"_a = float64).attr("ravel")(); };
  nb::object a_flat = flat(a);
  nb::object b_flat = b.is_none() ? nb::none() : flat(b);
  nb::object order = in.order.is_none() ? nb::none()
                                        : np.attr("ascontiguousarray")(in.order, "dtype"_a = np.attr("int64"));
  const size_t n = nb::len(a_flat);
  if ((!b_flat.is_none() && nb::len(b_flat) != n) || (!order.is_none() && nb::len(order) != n))
    py::raise_runtime_error("per-observation outputs of different lengths");
  nb::object out = np.attr("empty")(n, "dtype"_a = float64);
  const double* a_data = nb::cast<ConstColumn>(a_flat).data();
  const double* b_data = b_flat.is_none() ? nullptr : nb::cast<ConstColumn>(b_flat).data();
  const int64_t* order_data =
      order.is_none() ? nullptr : nb::cast<nb::ndarray<const int64_t, nb::c_contig, nb::device::cpu>>(order).data();
  double* out_data = nb::cast<nb::ndarray<double, nb::c_contig, nb::device::cpu>>(out).data();
  {
    nb::gil_scoped_release release;
    core::combine_rows(a_data, b_data, op, order_data, static_cast<int64_t>(n), out_data, in.threads);
  }
  return common::series_on_index(out, common::labels_index(in.labels), nb::none(), nb::none());
}

std::string family_tail(Family family) {
  return std::string(", family = ") + names_of(family).r_family + "())";
}

}  // namespace

std::string formula_r(Family family, const std::string& setype, nb::handle y, nb::handle x_all,
                      nb::handle fixedeffects, nb::handle clustvars, const std::string& weight_type,
                      nb::handle weight_name) {
  std::vector<std::string> terms;
  for (const auto& spec : strings(fixedeffects)) terms.push_back(r_term(spec));
  std::string out = "alpaca::feglm(" + py::join(strings(y), "") + " ~ " + py::join(strings(x_all), " + ") +
                    " | " + py::join(terms, " + ");
  if (setype == "cluster") out += " | " + py::join(strings(clustvars), " + ");
  if (!weight_type.empty()) out += ", weights = ~" + py::str(weight_name);
  return out + family_tail(family);
}

std::string formula_stata(Family family, const std::string& setype, nb::handle y, nb::handle x_all,
                          nb::handle fixedeffects, nb::handle clustvars, const std::string& weight_type,
                          nb::handle weight_name) {
  std::string out = std::string(names_of(family).estimator) + " " + py::join(strings(y), "") + " " +
                    py::join(strings(x_all), " ");
  if (!weight_type.empty()) out += " [" + weight_type + "=" + py::str(weight_name) + "]";
  out += ", absorb(" + py::join(strings(fixedeffects), " ") + ")";
  if (setype == "cluster") out += " vce(cluster " + py::join(strings(clustvars), " ") + ")";
  return out;
}

void assemble_result(const AssemblyInput& in, nb::handle result) {
  const bool linear = in.family == Family::Linear;
  const FamilyNames f = names_of(in.family);
  nb::object np = py::numpy();
  nb::object float64 = np.attr("float64");
  const int64_t N = in.N, K = in.K;
  const bool weighted = !in.weights.is_none();
  const int64_t n_obs = in.n_obs >= 0 ? in.n_obs : N;

  // The dependent variable's own column (a view, not a copy), as N x 1.
  nb::object y_values =
      in.data[nb::list(in.y)[0]].attr("to_numpy")("dtype"_a = float64).attr("reshape")(N, 1);
  // Every per-observation output gets its own Index over one array of the caller's labels.
  nb::object labels = in.labels;
  nb::object resid;
  double rss = 0;
  if (linear) {
    resid = np.attr("asarray")(in.resid, "dtype"_a = float64).attr("reshape")(N, 1);
    if (weighted) {
      nb::object wr = resid.attr("ravel")();
      rss = nb::cast<double>(nb::float_((np.attr("asarray")(in.weights).attr("ravel")() * wr).attr("__matmul__")(wr)));
    } else {
      rss = nb::cast<double>(nb::float_(resid.attr("T").attr("__matmul__")(resid).attr("item")()));
    }
    if (in.fegen) {
      nb::object X = in.data[nb::list(in.x)].attr("to_numpy")("dtype"_a = float64);
      nb::object beta = np.attr("asarray")(in.beta, "dtype"_a = float64).attr("reshape")(K, 1);
      nb::object fe_part = (y_values - resid) - X.attr("__matmul__")(beta);
      result.attr("fe_rowsum") = common::series_on_index(fe_part, common::labels_index(labels), nb::none(), in.order);
    }
  }

  // Model-family stubs.
  nb::object link_cls = make_class(f, f.link, nb::dict());
  nb::dict family_attrs;
  family_attrs["link"] = link_cls();
  nb::object family_cls = make_class(f, f.family, family_attrs);
  nb::dict model_attrs;
  model_attrs["endog_names"] = nb::list(in.y)[0];
  model_attrs["exog_names"] = nb::list(in.x);
  nb::object model_cls = make_class(f, "GLM", model_attrs);
  result.attr("family") = family_cls();
  result.attr("model") = model_cls();

  result.attr("df_model") = nb::int_(in.df_model);
  result.attr("df_resid") = nb::int_(n_obs - in.df_model);

  result.attr("formula_R") = formula_r(in.family, in.setype, in.y, in.x_all, in.fixedeffects, in.clustvars,
                                       in.weight_type, in.weight_name);
  result.attr("formula_Stata") = formula_stata(in.family, in.setype, in.y, in.x_all, in.fixedeffects,
                                               in.clustvars, in.weight_type, in.weight_name);

  double llf = in.llf, aic = in.aic, bic = in.bic, deviance = in.deviance, pearson = in.pearson_chi2;
  double sigma2 = 0;
  if (linear && weighted) {
    // Each row's Gaussian log-likelihood times its weight; the weights sum
    // to n_obs (frequency weights as given, the others rescaled to N).
    sigma2 = rss / static_cast<double>(n_obs);
    llf = -0.5 * static_cast<double>(n_obs) * std::log(2.0 * M_PI * sigma2) - rss / (2.0 * sigma2);
    const double n_params = static_cast<double>(K + in.N_FE);
    aic = -2.0 * llf + 2.0 * n_params;
    bic = -2.0 * llf + std::log(static_cast<double>(n_obs)) * n_params;
    deviance = rss;
    pearson = rss;
  } else if (linear) {
    sigma2 = rss / static_cast<double>(N);
    // The sum of N equal constants and of the squared residuals, without
    // N-row temporaries for the terms.
    llf = -0.5 * static_cast<double>(N) * std::log(2.0 * M_PI * sigma2) - rss / (2.0 * sigma2);
    const double n_params = static_cast<double>(K + in.N_FE);
    aic = -2.0 * llf + 2.0 * n_params;
    bic = -2.0 * llf + std::log(static_cast<double>(N)) * n_params;
    deviance = sigma2 * static_cast<double>(N);
    pearson = rss;
  }
  result.attr("aic") = nb::float_(aic);
  result.attr("bic") = nb::float_(bic);
  result.attr("llf") = nb::float_(llf);
  result.attr("deviance") = nb::float_(deviance);
  result.attr("pearson_chi2") = nb::float_(pearson);
  result.attr("family_name") = f.family;
  result.attr("family_link") = f.link;
  if (linear)
    result.attr("scale") = nb::float_(sigma2);
  else
    result.attr("scale") = nb::int_(1);
  result.attr("nobs") = nb::int_(n_obs);
  result.attr("method") = f.method;
  nb::dict history;
  history["iteration"] = nb::int_(linear ? 1 : in.fit_iterations);
  result.attr("fit_history") = history;

  // Made last: the fitted values are not held beside the step before.
  if (linear) {
    result.attr("fittedvalues") = output_series(y_values, resid, core::RowCombine::difference, in);
    result.attr("resid") = output_series(resid, nb::none(), core::RowCombine::first, in);
  } else {
    nb::object mu = np.attr("asarray")(in.mu, "dtype"_a = float64).attr("reshape")(N, 1);
    result.attr("fittedvalues") = output_series(mu, nb::none(), core::RowCombine::first, in);
    // y - mu is the residual the caller handed in.
    result.attr("resid_additive") = output_series(in.resid, nb::none(), core::RowCombine::first, in);
    result.attr("resid_multiplicative") = output_series(y_values, mu, core::RowCombine::ratio, in);
  }
  result.attr("msg") = in.msg;
}

}  // namespace korvald::reporting
