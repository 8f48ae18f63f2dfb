// The 80-column regression summary. Header lines are assembled here with the
// two line rules (padded: left text, spaces, right text ending at column 80;
// right-aligned: text ending at column 80); the coefficient and fixed-effect
// tables are rendered by tabulate. One builder serves both families; the
// family decides the test (F vs Wald chi2), the fit statistics shown, the
// critical value (t vs normal) and the fixed-effect markers.
#include "reporting/summary.hpp"

#include <nanobind/stl/string.h>

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "pyutil/pyutil.hpp"
#include "reporting/pyops.hpp"

namespace korvald::reporting {

using namespace nb::literals;

namespace {

struct SummaryArgs {
  Family family;
  nb::object result, x, beta, se, stat, p, df, N, K, N_FE, setype;
  nb::object fixedeffects, clustvars, N_cluster;
  // linear
  nb::object r_squared, adj_r_squared, within_r_squared, root_mse;
  // Poisson
  nb::object deviance, log_pseudolik, pseudo_r2;
  nb::object fe_counts, covmat, df_resid, fe_redundancies, cons_stats;
};

nb::object np() { return py::numpy(); }

bool given(nb::handle v) { return !v.is_none(); }

std::string fmt(nb::handle v, const char* spec) { return py::format(v, spec); }

// Python's `a, b, c, d = values`, with the interpreter's messages.
std::vector<nb::object> unpack4(nb::handle values) {
  std::vector<nb::object> out;
  nb::object it = nb::steal(PyObject_GetIter(values.ptr()));
  if (!it.is_valid()) throw nb::python_error();
  while (true) {
    nb::object item = nb::steal(PyIter_Next(it.ptr()));
    if (!item.is_valid()) {
      if (PyErr_Occurred()) throw nb::python_error();
      break;
    }
    if (out.size() == 4) py::raise_value_error("too many values to unpack (expected 4)");
    out.push_back(item);
  }
  if (out.size() < 4)
    py::raise_value_error("not enough values to unpack (expected 4, got " + std::to_string(out.size()) + ")");
  return out;
}

// beta' V^-1 beta: solve (linear, then / K) or least squares (Poisson); the
// sum of squared statistics when V is missing or singular.
nb::object overall_statistic(const SummaryArgs& a) {
  const bool linear = a.family == Family::Linear;
  nb::object linalg = ops::linalg();
  nb::object value;
  if (given(a.covmat)) {
    try {
      nb::object solved =
          linear ? linalg.attr("solve")(a.covmat, a.beta)
                 : nb::object(nb::tuple(linalg.attr("lstsq")(a.covmat, a.beta, "rcond"_a = nb::none()))[0]);
      value = a.beta.attr("T").attr("__matmul__")(solved).attr("item")();
    } catch (nb::python_error& e) {
      if (!e.matches(linalg.attr("LinAlgError"))) throw;
    }
  }
  if (!value.is_valid()) value = np().attr("sum")(a.stat * a.stat);
  if (linear) value = value / a.K;
  return value;
}

struct OverallTest {
  nb::object statistic, df1, df2, pval;  // invalid when absent
};

OverallTest overall_test(const SummaryArgs& a) {
  OverallTest t;
  if (ops::eq(a.K, nb::int_(0))) return t;
  nb::object stats = ops::scipy_stats();
  if (a.family == Family::Linear) {
    if (given(a.N_cluster) && ops::eq(a.setype, "cluster")) {
      t.df1 = a.K;
      t.df2 = ops::py_min(a.N_cluster) - nb::int_(1);
    } else if (ops::eq(a.setype, "homoskedastic") || ops::eq(a.setype, "heteroskedastic")) {
      t.df1 = a.K;
      t.df2 = given(a.df_resid) ? a.df_resid : nb::object(a.N - a.K - nb::int_(1));
    } else {
      return t;
    }
    t.statistic = overall_statistic(a);
    t.pval = nb::int_(1) - stats.attr("f").attr("cdf")(t.statistic, t.df1, t.df2);
  } else {
    t.statistic = overall_statistic(a);
    t.df1 = a.K;
    t.pval = nb::int_(1) - stats.attr("chi2").attr("cdf")(t.statistic, a.K);
  }
  return t;
}

std::string absorbing_text(nb::handle fixedeffects) {
  size_t n = ops::nonempty(fixedeffects) ? nb::len(fixedeffects) : 1;
  return "Absorbing " + std::to_string(n) + " HDFE group" + (n == 1 ? "" : "s");
}

// "Weights: aweight [w]   (sum of wgt is 1,234)" when the result records
// observation weights; a long column name is shortened to keep 80 columns.
void print_weights_line(const SummaryArgs& a) {
  nb::handle r = a.result;
  if (!given(r) || !nb::hasattr(r, "weight_type") || !nb::hasattr(r, "weight_var") || !nb::hasattr(r, "sum_weights"))
    return;
  nb::object total = r.attr("sum_weights");
  const double sum = nb::cast<double>(py::builtins().attr("float")(total));
  const bool whole = std::isfinite(sum) && sum == std::floor(sum) && std::fabs(sum) < 1e15;
  const std::string right = "(sum of wgt is " +
                            (whole ? py::format(static_cast<int64_t>(sum), ",") : py::format(sum, ".4e")) + ")";
  const std::string prefix = "Weights: " + py::str(r.attr("weight_type")) + " [";
  const long room = ops::kLineWidth - 2 - static_cast<long>(ops::text_length(prefix) + 1 + ops::text_length(right));
  nb::str name = nb::str(r.attr("weight_var"));
  std::string shown = py::str(name);
  if (static_cast<long>(nb::len(name)) > room && room > 3)
    shown = py::str(name.attr("__getitem__")(nb::slice(nb::none(), nb::int_(room - 3), nb::none()))) + "...";
  py::print(ops::padded(prefix + shown + "]", right));
}

void print_linear_header(const SummaryArgs& a, const OverallTest& test) {
  py::print(std::string(ops::kLineWidth, '='));
  print_weights_line(a);
  py::print(ops::padded("HDFE Linear regression", "Number of obs   =   " + fmt(a.N, ">6,")));
  std::string f_part;
  if (test.statistic.is_valid())
    f_part = "F(" + fmt(test.df1, ">4") + "," + fmt(test.df2, ">7") + ") =  " + fmt(test.statistic, ">7.2f");
  py::print(ops::padded(absorbing_text(a.fixedeffects), f_part));

  std::string label;
  if (ops::eq(a.setype, "cluster"))
    label = "Statistics robust to heteroskedasticity";
  else if (ops::eq(a.setype, "heteroskedastic"))
    label = "Robust standard errors";
  else if (ops::eq(a.setype, "homoskedastic"))
    label = "Homoskedastic standard errors";
  if (!label.empty())
    py::print(test.pval.is_valid() ? ops::padded(label, "Prob > F    =   " + fmt(test.pval, ".4f")) : label);

  if (given(a.r_squared)) py::print(ops::right_aligned("R-squared     =   " + fmt(a.r_squared, ".4f")));

  const std::string adj = given(a.adj_r_squared) ? "Adj R-squared   =   " + fmt(a.adj_r_squared, ".4f") : "";
  const std::string within = given(a.within_r_squared) ? "Within R-sq.  =   " + fmt(a.within_r_squared, ".4f") : "";
  const std::string rmse = given(a.root_mse) ? "Root MSE    =   " + fmt(a.root_mse, ".4f") : "";

  if (ops::eq(a.setype, "homoskedastic") || ops::eq(a.setype, "heteroskedastic")) {
    for (const std::string* line : {&adj, &within, &rmse})
      if (!line->empty()) py::print(ops::right_aligned(*line));
  } else if (ops::eq(a.setype, "cluster") && ops::nonempty(a.clustvars) && ops::nonempty(a.N_cluster)) {
    const size_t n_vars = nb::len(a.clustvars);
    const size_t rows = given(a.root_mse) ? std::max<size_t>(n_vars, 3) : n_vars;
    const std::string* right[3] = {&adj, &within, &rmse};
    for (size_t i = 0; i < rows; ++i) {
      std::string left;
      if (i < n_vars)
        left = "Number of clusters (" + fmt(a.clustvars[i], ">8") + ") =   " + fmt(a.N_cluster[i], ">6");
      py::print(ops::padded(left, i < 3 ? *right[i] : std::string()));
    }
    py::print(ops::right_aligned("(Std. err. adjusted for " + py::str(ops::py_min(a.N_cluster)) + " clusters in " +
                                 py::join(py::string_list(a.clustvars), " ") + ")"));
  }
  py::print("");
}

void print_poisson_header(const SummaryArgs& a, const OverallTest& test) {
  py::print(std::string(ops::kLineWidth, '='));
  print_weights_line(a);
  py::print(ops::padded("HDFE PPML regression", "No. of obs    =   " + fmt(a.N, ">6,")));
  std::string resid_df;
  if (ops::eq(a.setype, "cluster") && given(a.N_cluster))
    resid_df = "Residual df   =   " + fmt(ops::py_min(a.N_cluster) - nb::int_(1), ">6,");
  else if (given(a.df_resid))
    resid_df = "Residual df   =   " + fmt(a.df_resid, ">6,");
  py::print(ops::padded(absorbing_text(a.fixedeffects), resid_df));

  if (test.statistic.is_valid())
    py::print(ops::right_aligned("Wald chi2(" + fmt(a.K, ">2") + ")  =    " + fmt(test.statistic, ">5.2f")));
  const std::string prob = test.pval.is_valid() ? "Prob > chi2   =   " + fmt(test.pval, ".4f") : "";
  if (given(a.deviance))
    py::print(ops::padded("Deviance       =  " + fmt(a.deviance, ".5e"), prob));
  else if (!prob.empty())
    py::print(ops::right_aligned(prob));
  if (given(a.log_pseudolik) && given(a.pseudo_r2))
    py::print(ops::padded("Log pseudolikelihood = " + fmt(a.log_pseudolik, ".5e"),
                          "Pseudo R2     =   " + fmt(a.pseudo_r2, ".4f")));

  if (ops::eq(a.setype, "cluster") && ops::nonempty(a.clustvars) && ops::nonempty(a.N_cluster)) {
    nb::list clustvars(a.clustvars);
    nb::list counts;
    for (nb::handle v : clustvars) counts.append(a.N_cluster[clustvars.attr("index")(v)]);
    for (size_t i = 0; i < nb::len(clustvars); ++i)
      py::print("Number of clusters (" + fmt(clustvars[i], ">8") + ")=   " + fmt(counts[i], ">6,"));
    py::print(ops::right_aligned("(Std. err. adjusted for " + py::str(ops::py_min(counts)) + " clusters in " +
                                 py::join(py::string_list(clustvars), " ") + ")"));
  }
  py::print(std::string(ops::kLineWidth, '-'));
}

nb::object element(nb::handle column, size_t i) { return column[nb::make_tuple(i, 0)]; }

std::string interval_text(nb::handle coef, nb::handle se, nb::handle critical_val) {
  nb::object lo = coef - critical_val * se;
  nb::object hi = coef + critical_val * se;
  return fmt(lo, ">12.7f") + "  " + fmt(hi, ">10.7f");
}

void print_coefficient_table(const SummaryArgs& a, nb::handle critical_val, const std::vector<nb::object>& cons) {
  const bool linear = a.family == Family::Linear;
  const bool robust = ops::eq(a.setype, "cluster") || ops::eq(a.setype, "heteroskedastic");
  const std::string se_label = robust ? "Robust" : (linear ? "Std. Err." : "Std. err.");

  nb::list rows;
  nb::list names(a.x);
  // A text cell makes tabulate treat the whole coefficient column as text and
  // drop its float format, so once a regressor is shown as omitted the other
  // coefficients are formatted here exactly as tabulate would have done.
  bool any_omitted = false;
  for (size_t i = 0; i < nb::len(names) && !linear; ++i)
    any_omitted = any_omitted || (ops::lt(np().attr("abs")(element(a.beta, i)), nb::float_(1e-10)) &&
                                  ops::lt(element(a.se, i), nb::float_(1e-10)));
  auto coef_cell = [&](nb::handle value) -> nb::object {
    return any_omitted ? nb::object(nb::str(fmt(value, "12.7f").c_str())) : nb::borrow(value);
  };
  for (size_t i = 0; i < nb::len(names); ++i) {
    nb::object coef = element(a.beta, i), se = element(a.se, i);
    nb::object name = names[i];
    if (linear) name = name[nb::slice(nb::none(), nb::int_(15), nb::none())];
    nb::list row;
    row.append(name);
    const bool omitted = !linear && ops::lt(np().attr("abs")(coef), nb::float_(1e-10)) &&
                         ops::lt(se, nb::float_(1e-10));
    if (omitted) {
      row.append("(omitted)");
      for (int k = 0; k < 4; ++k) row.append("");
    } else {
      row.append(coef_cell(coef));
      row.append(se);
      row.append(element(a.stat, i));
      row.append(element(a.p, i));
      row.append(interval_text(coef, se, critical_val));
    }
    rows.append(row);
  }
  if (!cons.empty()) {
    nb::list row;
    row.append("_cons");
    row.append(coef_cell(cons[0]));
    for (size_t k = 1; k < cons.size(); ++k) row.append(cons[k]);
    row.append(interval_text(cons[0], cons[1], critical_val));
    rows.append(row);
  }

  nb::list headers;
  headers.append("");
  headers.append("\nCoefficient");
  if (linear) {
    headers.append("\nStd. Err.");
    headers.append(se_label + "\nt");
    headers.append("\nP>|t|");
  } else {
    headers.append(se_label + "\nStd. Err.");
    headers.append("\nz");
    headers.append("\nP>|z|");
  }
  headers.append("\n[95% conf. interval]");

  nb::list floatfmt;
  for (const char* f : {"", "12.7f", "10.7f", "6.2f", "6.3f", ""}) floatfmt.append(f);
  nb::object tabulate = ops::module_global(a.family, "tabulate");
  py::builtins().attr("print")(tabulate(rows, headers, "stralign"_a = "right", "floatfmt"_a = floatfmt));
  py::print("");
}

void print_fixed_effect_block(const SummaryArgs& a) {
  const bool linear = a.family == Family::Linear;
  const bool clustered = ops::eq(a.setype, "cluster");
  nb::list specs(a.fixedeffects);
  const size_t n_specs = nb::len(specs);
  const bool have_red = ops::nonempty(a.fe_redundancies);
  const bool have_counts = ops::nonempty(a.fe_counts);

  nb::list rows;
  for (size_t i = 0; i < n_specs; ++i) {
    nb::object spec = specs[i];
    nb::object categories, redundant, num_coefs;
    if (have_red && ops::contains(a.fe_redundancies, spec)) {
      nb::object entry = a.fe_redundancies[spec];
      categories = entry["categories"];
      redundant = entry["redundant"];
      num_coefs = entry["num_coefs"];
    } else if (have_counts && ops::contains(a.fe_counts, spec)) {
      categories = a.fe_counts[spec];
      redundant = clustered ? categories : nb::object(nb::int_(0));
      num_coefs = clustered ? nb::object(nb::int_(0)) : categories;
    } else {
      continue;
    }

    bool nested = false;
    if (clustered && ops::nonempty(a.clustvars))
      for (nb::handle v : ops::split_spec(spec))
        if (ops::contains(a.clustvars, v)) nested = true;

    bool uncertain = false;
    if (ops::gt(redundant, nb::int_(0))) {
      if (linear)
        uncertain = i == n_specs - 1 && !clustered;
      else
        uncertain = ops::eq(spec, specs[n_specs - 1]);
    }
    const char* marker = nested ? "*" : (uncertain ? "?" : "");

    nb::list row;
    row.append(spec);
    row.append(categories);
    row.append(redundant);
    row.append(num_coefs);
    row.append(marker);
    rows.append(row);
  }

  nb::list headers;
  for (const char* h : {"", "Categories", "-  Redundant", "=  Num. Coefs", ""}) headers.append(h);
  nb::object tabulate = ops::module_global(a.family, "tabulate");
  py::builtins().attr("print")(tabulate(rows, headers));

  bool uncertain_note = false;
  if (linear) {
    nb::object last = specs[n_specs - 1];
    uncertain_note = have_red && !clustered && ops::contains(a.fe_redundancies, last) &&
                     ops::gt(a.fe_redundancies[last]["redundant"], nb::int_(0));
  } else if (have_red) {
    for (nb::handle spec : specs)
      if (ops::contains(a.fe_redundancies, spec) && ops::gt(a.fe_redundancies[spec]["redundant"], nb::int_(0)))
        uncertain_note = true;
  }
  if (uncertain_note) py::print("? = number of redundant parameters may be higher");
  if (clustered) py::print("* = FE nested within cluster; treated as redundant for DoF computation");
}

nb::object summary_frame(const SummaryArgs& a, nb::handle critical_val, const std::vector<nb::object>& cons) {
  nb::object beta = np().attr("asarray")(a.beta).attr("flatten")();
  nb::object se = np().attr("asarray")(a.se).attr("flatten")();
  const bool linear = a.family == Family::Linear;
  nb::dict columns;
  columns["coef"] = beta;
  columns["std_err"] = se;
  columns[linear ? "t" : "z"] = np().attr("asarray")(a.stat).attr("flatten")();
  columns[linear ? "P>|t|" : "P>|z|"] = np().attr("asarray")(a.p).attr("flatten")();
  columns["[0.025"] = beta - critical_val * se;
  columns["0.975]"] = beta + critical_val * se;
  nb::object frame = py::pandas().attr("DataFrame")(columns, "index"_a = nb::list(a.x));
  if (!cons.empty()) {
    nb::list row;
    for (const auto& v : cons) row.append(v);
    row.append(cons[0] - critical_val * cons[1]);
    row.append(cons[0] + critical_val * cons[1]);
    frame.attr("loc")["_cons"] = row;
  }
  return frame;
}

nb::object stata_style_summary(const SummaryArgs& a) {
  const bool linear = a.family == Family::Linear;
  std::vector<nb::object> cons;
  if (given(a.cons_stats)) cons = unpack4(a.cons_stats);

  OverallTest test = overall_test(a);
  if (linear)
    print_linear_header(a, test);
  else
    print_poisson_header(a, test);

  nb::object stats = ops::scipy_stats();
  nb::object critical_val = linear ? stats.attr("t").attr("ppf")(0.975, a.df) : stats.attr("norm").attr("ppf")(0.975);
  print_coefficient_table(a, critical_val, cons);

  if (ops::nonempty(a.fixedeffects) && nb::len(a.fixedeffects) > 0) print_fixed_effect_block(a);
  py::print("");
  return summary_frame(a, critical_val, cons);
}

// Both families take the same leading and trailing arguments; only the name
// of the test statistic and the fit statistics in between differ.
template <class Fn, class... FitArgs>
void def_summary(nb::module_& m, Fn&& fn, const char* stat, FitArgs&&... fit) {
  m.def("stata_style_summary", std::forward<Fn>(fn), "result"_a.none(), "x"_a.none(), "beta"_a.none(),
        "se"_a.none(), nb::arg(stat).none(), "p"_a.none(), "df"_a.none(), "N"_a.none(), "K"_a.none(),
        "N_FE"_a.none(), "setype"_a.none(), "fixedeffects"_a = nb::none(), "clustvars"_a = nb::none(),
        "N_cluster"_a = nb::none(), std::forward<FitArgs>(fit)..., "fe_counts"_a = nb::none(),
        "covmat"_a = nb::none(), "df_resid"_a = nb::none(), "fe_redundancies"_a = nb::none(),
        "cons_stats"_a = nb::none(),
        "Print the 80-column regression summary and return the coefficient table as a DataFrame.");
}

}  // namespace

void bind_stata_style_summary(nb::module_& m, Family family) {
  if (family == Family::Linear) {
    def_summary(
        m,
        [](nb::object result, nb::object x, nb::object beta, nb::object se, nb::object t, nb::object p, nb::object df,
           nb::object N, nb::object K, nb::object N_FE, nb::object setype, nb::object fixedeffects,
           nb::object clustvars, nb::object N_cluster, nb::object r_squared, nb::object adj_r_squared,
           nb::object within_r_squared, nb::object root_mse, nb::object fe_counts, nb::object covmat,
           nb::object df_resid, nb::object fe_redundancies, nb::object cons_stats) {
          SummaryArgs a{Family::Linear, result, x, beta, se, t, p, df, N, K, N_FE, setype, fixedeffects, clustvars,
                        N_cluster, r_squared, adj_r_squared, within_r_squared, root_mse, nb::none(), nb::none(),
                        nb::none(), fe_counts, covmat, df_resid, fe_redundancies, cons_stats};
          return stata_style_summary(a);
        },
        "t", "r_squared"_a = nb::none(), "adj_r_squared"_a = nb::none(), "within_r_squared"_a = nb::none(),
        "root_mse"_a = nb::none());
  } else {
    def_summary(
        m,
        [](nb::object result, nb::object x, nb::object beta, nb::object se, nb::object z, nb::object p, nb::object df,
           nb::object N, nb::object K, nb::object N_FE, nb::object setype, nb::object fixedeffects,
           nb::object clustvars, nb::object N_cluster, nb::object deviance, nb::object log_pseudolik,
           nb::object pseudo_r2, nb::object fe_counts, nb::object covmat, nb::object df_resid,
           nb::object fe_redundancies, nb::object cons_stats) {
          SummaryArgs a{Family::Poisson, result, x, beta, se, z, p, df, N, K, N_FE, setype, fixedeffects, clustvars,
                        N_cluster, nb::none(), nb::none(), nb::none(), nb::none(), deviance, log_pseudolik,
                        pseudo_r2, fe_counts, covmat, df_resid, fe_redundancies, cons_stats};
          return stata_style_summary(a);
        },
        "z", "deviance"_a = nb::none(), "log_pseudolik"_a = nb::none(), "pseudo_r2"_a = nb::none());
  }
}

}  // namespace korvald::reporting
