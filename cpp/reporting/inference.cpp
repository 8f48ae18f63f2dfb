// Covariance and inference, one code path for both families.
//
// Sandwich estimators on the partialled-out regressors X~: the bread is
// (X~'X~)^-1 (linear, exact inverse) or pinv(X~' diag(mu) X~) (Poisson, so a
// rank-deficient weighted design does not fail). Multiway clustering uses
// inclusion-exclusion over every non-empty subset of the cluster dimensions
// (odd-sized subsets add, even-sized subtract) with one shared small-sample
// factor min_G/(min_G-1); the per-cluster score sums come from the backend's
// panelsetup/calc_B, so no loop over clusters runs in Python. Such a
// difference of meats need not be positive semidefinite, hence the
// eigenvalue repair. The K x K algebra goes through numpy.linalg; the
// constant reported as _cons gets its variance from its influence weights
// with the same meat rules.
#include "reporting/inference.hpp"

#include "common/estimation_sample.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/cluster_scores.hpp"
#include "core/linear_fit.hpp"
#include "pyutil/pyutil.hpp"
#include "reporting/pyops.hpp"
#include "reporting/redundancy.hpp"

namespace korvald::reporting {

using namespace nb::literals;

namespace {

nb::object np() { return py::numpy(); }
nb::object pd() { return py::pandas(); }

nb::object all_columns() { return nb::slice(nb::none(), nb::none(), nb::none()); }

// x_scale is applied only when given and not identically one.
bool needs_rescaling(nb::handle x_scale) {
  if (x_scale.is_none()) return false;
  return !py::truthy(np().attr("all")(np().attr("equal")(np().attr("asarray")(x_scale), 1.0)));
}

nb::object as_column(nb::handle values, int64_t K) {
  return np().attr("asarray")(values, "dtype"_a = np().attr("float64")).attr("reshape")(K, 1);
}

nb::object series_of(nb::handle column) { return pd().attr("Series")(column.attr("flatten")()); }

// Two-sided p-values: Student t with df (linear) or standard normal (Poisson).
nb::object two_sided_p(Family family, nb::handle stat, nb::handle df) {
  nb::object stats = ops::scipy_stats();
  nb::object neg_abs = -np().attr("abs")(stat);
  if (family == Family::Linear) return nb::int_(2) * stats.attr("t").attr("cdf")(neg_abs, df);
  return nb::int_(2) * stats.attr("norm").attr("cdf")(neg_abs);
}

// Integer ratio with Python's semantics (ZeroDivisionError on a zero denominator).
double ratio(int64_t num, int64_t den) {
  return nb::cast<double>(nb::int_(num) / nb::int_(den));
}

double as_double(nb::handle v) { return nb::cast<double>(py::builtins().attr("float")(v)); }

struct ClusterIds {
  std::vector<nb::object> ids;    // int64 cluster numbers 0..G-1, one array per subset
  std::vector<nb::object> ranges;  // (sort order, group ranges) of each subset's numbers
  std::vector<std::string> names; // clu_A, clu_B, ...
  std::vector<int> pm;            // +1 odd-sized subset, -1 even-sized
  nb::list N_cluster;             // clusters per subset
  nb::object single_counts;       // the first d entries: one per cluster dimension
  int64_t d = 0;
  int64_t min_G = 0;
  double correction = 0;
};

// Clustering on one variable that is also a fixed effect of its own: its
// identifier column holds exactly the numbers groupby().ngroup() would give
// (both number the sorted distinct values of that column on this sample),
// so the N-row grouping need not run again, and the group pointers of the
// fit serve as its sort order. None otherwise.
nb::object absorbed_identifier(const InferenceInput& in, nb::handle subset, nb::object* ranges) {
  if (nb::len(subset) != 1 || in.fixedeffects.is_none() || in.fenames.is_none()) return nb::none();
  nb::handle name = subset[0];
  size_t i = 0;
  for (nb::handle spec : in.fixedeffects) {
    if (ops::eq(spec, name) && i < nb::len(in.fenames)) {
      nb::object column = in.data[in.fenames[i]];
      if (!in.fe_pointers.is_none())
        *ranges = nb::make_tuple(in.fe_pointers[nb::make_tuple(0, i)], in.fe_pointers[nb::make_tuple(1, i)]);
      // Stored in 32 or 64 bits; counting and the maximum read either as it is.
      return np().attr("ascontiguousarray")(column.attr("to_numpy")());
    }
    ++i;
  }
  return nb::none();
}

// The cluster variables' columns. A cluster variable that is also a fixed
// effect of its own may have left the sample once it was coded: its
// identifier column numbers the same groups in the same order, which is all
// a group-by of it reads.
nb::object cluster_columns(const InferenceInput& in, nb::handle clustvars) {
  nb::object columns = in.data.attr("columns");
  const bool coded = !in.fixedeffects.is_none() && !in.fenames.is_none();
  nb::dict out;
  for (nb::handle name : clustvars) {
    nb::object source_name = nb::borrow(name);
    if (coded && !py::truthy(columns.attr("__contains__")(name))) {
      size_t i = 0;
      for (nb::handle spec : in.fixedeffects) {
        if (ops::eq(spec, name) && i < nb::len(in.fenames)) source_name = nb::borrow(in.fenames[i]);
        ++i;
      }
    }
    // The column as it is (its dtype decides how a group-by sorts it); the
    // sample's index holds unique row positions, so nothing is realigned. A
    // missing column raises the frame's own KeyError.
    out[name] = in.data[source_name];
  }
  return pd().attr("DataFrame")(out, "copy"_a = false);
}

// The constant implied by Poisson fixed effects normalised to a mu-weighted
// mean of zero, sum(mu (eta - x'b)) / S with S = sum(mu), x'b in the caller's
// units, and the mu-weighted means of the (standardized) regressors its
// influence weights need.
struct PoissonConstant {
  double S = 0, constant = 0;
  nb::object Xbar_std = nb::none();
};

PoissonConstant poisson_constant(const InferenceInput& in, nb::handle mu_col) {
  nb::object float64 = np().attr("float64");
  PoissonConstant out;
  nb::object mu_flat = mu_col.attr("ravel")();
  out.S = as_double(np().attr("sum")(mu_flat));
  if (in.K > 0) {
    // Sums over the regressors the caller worked out where they are stored.
    if (in.constant_mux.is_none()) py::raise_runtime_error("the Poisson constant's regressor sums are missing");
    out.Xbar_std = np().attr("asarray")(in.constant_mux, "dtype"_a = float64) / nb::float_(out.S);
    out.constant = in.constant_fe_mass / out.S;
    return out;
  }
  // Without regressors eta (which excludes the offset) is the fixed-effect part.
  nb::object eta = np().attr("asarray")(in.eta, "dtype"_a = float64).attr("ravel")();
  out.constant = as_double(np().attr("sum")(np().attr("multiply")(mu_flat, eta))) / out.S;
  return out;
}

ClusterIds cluster_identifiers(const InferenceInput& in) {
  ClusterIds c;
  nb::list clustvars(in.clustvars);
  c.d = static_cast<int64_t>(nb::len(clustvars));
  // The generated identifiers stay out of the sample: a caller's cluster
  // variable named like one of them (clu_A, ...) must not be overwritten
  // before the intersections that use it are numbered. The frame of the
  // cluster columns is made only if some subset needs a group-by.
  nb::object source;
  const int64_t n_cluster = static_cast<int64_t>(std::pow(2.0, static_cast<double>(c.d)) - 1);
  nb::object powerset = ops::module_global(in.family, "powerset");
  nb::list intersections(powerset(clustvars));
  if (static_cast<int64_t>(nb::len(intersections)) != n_cluster)
    py::raise_runtime_error("powerset returned " + std::to_string(nb::len(intersections)) +
                            " cluster subsets, expected " + std::to_string(n_cluster));

  for (int64_t i = 0; i < n_cluster; ++i) {
    c.names.push_back("clu_" + std::string(1, static_cast<char>(65 + i)));
    nb::list subset(intersections[static_cast<size_t>(i)]);
    nb::object ranges;
    nb::object ids = absorbed_identifier(in, subset, &ranges);
    if (ids.is_none()) {
      if (!source.is_valid()) source = cluster_columns(in, clustvars);
      ids = source.attr("groupby")(subset).attr("ngroup")().attr("to_numpy")("dtype"_a = np().attr("int64"));
    }
    c.ids.push_back(ids);
    c.ranges.push_back(ranges.is_valid() ? ranges : nb::object(common::code_ranges(ids)));
    c.pm.push_back(nb::len(subset) % 2 == 1 ? 1 : -1);
  }

  for (const auto& ids : c.ids) {
    c.N_cluster.append(nb::int_(nb::cast<int64_t>(nb::int_(ids.attr("max")())) + 1));
  }
  int64_t smallest = nb::cast<int64_t>(ops::py_min(c.N_cluster));
  if (smallest == 1)
    py::raise_runtime_error(in.family == Family::Linear ? "Cluster with a single category deteced"
                                                        : "Cluster with a single category detected");
  // An intersection never has fewer clusters than its components, so the
  // minimum over all subsets equals the minimum over the single dimensions.
  c.single_counts = c.N_cluster.attr("__getitem__")(nb::slice(nb::int_(0), nb::int_(c.d), nb::none()));
  c.min_G = nb::cast<int64_t>(ops::py_min(c.single_counts));
  c.correction = static_cast<double>(c.min_G) / static_cast<double>(c.min_G - 1);
  return c;
}

// Sum over clusters of s_g s_g' for the cluster numbers of one subset,
// computed by the backend from the sort order of the identifiers.
nb::object cluster_meat(Family family, const ClusterIds& c, size_t subset, nb::handle demeaned, nb::handle resid,
                        int64_t K) {
  nb::object sortvec = c.ranges[subset][0];
  nb::object panelmat = c.ranges[subset][1];
  const int64_t nclust = static_cast<int64_t>(nb::len(panelmat));
  nb::object B = np().attr("zeros")(nb::make_tuple(K, K), "dtype"_a = np().attr("float64"));
  ops::module_global(family, "calc_B")(B, demeaned, resid, sortvec, panelmat, nclust, K);
  return B;
}

// Influence weights of the constant, w = base - X~ v: base a scalar or an
// N-vector, v a K-vector (None without regressors). rows(lo, hi) gives w on
// those rows as a new array, each element computed exactly as on all rows.
struct InfluenceWeights {
  nb::object base, v = nb::none(), Xt;

  nb::object rows(int64_t lo, int64_t hi) const {
    nb::object rows = nb::slice(nb::int_(lo), nb::int_(hi), nb::none());
    const bool vector = nb::isinstance(base, np().attr("ndarray"));
    nb::object b = vector ? nb::object(base[rows]) : base;
    if (v.is_none()) return vector ? nb::object(b.attr("copy")()) : np().attr("full")(hi - lo, b);
    nb::object t = Xt[nb::make_tuple(rows, all_columns())].attr("__matmul__")(v).attr("ravel")();
    np().attr("subtract")(b, t, "out"_a = t);
    return t;
  }
};

}  // namespace

nb::object pointers_for_clusters(nb::handle fe_pointers, nb::handle fixedeffects, const std::string& setype,
                                 nb::handle clustvars) {
  if (setype != "cluster" || fe_pointers.is_none() || fixedeffects.is_none() || clustvars.is_none())
    return nb::none();
  const size_t k = nb::len(fixedeffects);
  nb::object kept = np().attr("full")(nb::make_tuple(2, k), nb::none(), "dtype"_a = "object");
  size_t i = 0;
  for (nb::handle spec : fixedeffects) {
    for (nb::handle name : clustvars)
      if (ops::eq(spec, name)) {
        for (int row = 0; row < 2; ++row) kept[nb::make_tuple(row, i)] = fe_pointers[nb::make_tuple(row, i)];
        break;
      }
    ++i;
  }
  return kept;
}

InferenceOutput covariance_and_inference(const InferenceInput& in, nb::handle result) {
  InferenceOutput out;
  const bool linear = in.family == Family::Linear;
  const int64_t N = in.N, K = in.K;
  const int64_t Nd = in.N_dof >= 0 ? in.N_dof : in.N;  // observations in degrees of freedom
  nb::object linalg = ops::linalg();
  nb::object float64 = np().attr("float64");

  // Fixed-effect coefficients that count for the degrees of freedom.
  out.fe_redundancies = nb::none();
  out.total_nonredundant_fe = in.N_FE;
  if (!in.fixedeffects.is_none() && nb::len(in.fixedeffects) > 0) {
    // The identifiers are numbered 0..G-1 on the estimation sample, so each
    // specification's category count is its identifier's maximum plus one.
    std::vector<int64_t> categories;
    nb::list fenames(in.fenames);
    for (size_t i = 0; i < nb::len(in.fixedeffects); ++i)
      categories.push_back(nb::cast<int64_t>(nb::int_(in.data[fenames[i]].attr("max")())) + 1);
    nb::dict red = calculate_fe_redundancies(in.data, in.fixedeffects, categories, nb::str(in.setype.c_str()),
                                             in.clustvars);
    int64_t total = 0;
    for (auto [spec, entry] : red) total += nb::cast<int64_t>(entry["num_coefs"]);
    out.fe_redundancies = red;
    out.total_nonredundant_fe = total;
  }
  const int64_t tnfe = out.total_nonredundant_fe;
  out.df_model = in.N_FE == 1 ? K : K + in.N_FE;
  out.N_cluster = nb::none();
  out.covmat = out.se = out.stat = out.p = out.cons_stats = nb::none();

  nb::object beta = as_column(in.beta, K);
  const bool rescale = !linear && needs_rescaling(in.x_scale);
  nb::object x_scale = rescale ? np().attr("asarray")(in.x_scale, "dtype"_a = float64).attr("reshape")(-1)
                               : nb::object(nb::none());

  // No standard errors requested: only the coefficients are reported.
  if (in.setype == "none") {
    if (rescale) beta = beta / x_scale.attr("reshape")(K, 1);
    result.attr("params") = beta;
    out.beta = beta;
    return out;
  }
  if (in.setype != "homoskedastic" && in.setype != "heteroskedastic" && in.setype != "cluster")
    py::raise_exception("You should not be able to reach that point; Invalid SE type");

  // Sandwich covariance on the partialled-out regressors.
  nb::object demeaned = np().attr("ascontiguousarray")(in.demeaned, "dtype"_a = float64);
  nb::object resid = np().attr("ascontiguousarray")(in.resid, "dtype"_a = float64).attr("reshape")(N, 1);
  nb::object hetero_resid =
      in.hetero_resid.is_none()
          ? resid
          : np().attr("ascontiguousarray")(in.hetero_resid, "dtype"_a = float64).attr("reshape")(N, 1);
  nb::object Xt = demeaned[nb::make_tuple(all_columns(), nb::slice(nb::int_(1), nb::none(), nb::none()))];
  nb::object mu_col = linear ? nb::object(nb::none())
                             : np().attr("asarray")(in.mu, "dtype"_a = float64).attr("reshape")(N, 1);
  const PoissonConstant poisson = linear ? PoissonConstant{} : poisson_constant(in, mu_col);
  nb::object bread;
  if (linear) {
    bread = linalg.attr("inv")(Xt.attr("T").attr("__matmul__")(Xt));
  } else {
    // X~' diag(mu) X~ summed straight from the partialled-out block: no N-row weighted copy.
    nb::object xwx = np().attr("empty")(nb::make_tuple(K, K), "dtype"_a = float64);
    nb::object mu_c = np().attr("ascontiguousarray")(mu_col.attr("ravel")());
    {
      const double* z = nb::cast<nb::ndarray<const double, nb::c_contig>>(demeaned).data();
      const double* m = nb::cast<nb::ndarray<const double, nb::c_contig>>(mu_c).data();
      double* out_kk = nb::cast<nb::ndarray<double, nb::c_contig>>(xwx).data();
      nb::gil_scoped_release release;
      core::weighted_cross_product(z, N, K + 1, 1, m, out_kk);
    }
    bread = linalg.attr("pinv")(xwx);
  }

  // Small-sample factors divide by the residual degrees of freedom: with none
  // left there is nothing to estimate a variance from.
  auto require_residual_df = [&](int64_t df) {
    if (df > 0) return;
    py::raise_value_error("Too few observations for standard errors: " + std::to_string(Nd) +
                          " observation(s), " + std::to_string(K) + " regressor(s) and " + std::to_string(tnfe) +
                          " non-redundant fixed-effect parameter(s) leave " + std::to_string(df) +
                          " residual degrees of freedom; use setype=\"none\" for the point estimates alone");
  };
  double hetero_factor = 0;
  double s2 = 0;
  nb::object covmat;
  ClusterIds clusters;
  double cr1_factor = 1.0;

  if (in.setype == "homoskedastic") {
    if (linear) {
      const double rss = nb::cast<double>(nb::float_(resid.attr("T").attr("__matmul__")(resid).attr("item")()));
      const int64_t denominator = Nd - K - tnfe;
      require_residual_df(denominator);
      s2 = rss / static_cast<double>(denominator);
      covmat = nb::float_(s2) * bread;
      if (in.verb > 0) {
        py::print("[Homoskedastic diagnostics]");
        py::print("N=" + py::format(Nd, ",") + ", K=" + std::to_string(K) + ", N_FE=" + std::to_string(in.N_FE) +
                  ", total_nonredundant_fe=" + std::to_string(tnfe));
        py::print("RSS=" + py::format(rss, ".6f"));
        py::print("s2_denominator=" + std::to_string(denominator));
        py::print("s2=" + py::format(s2, ".6f"));
      }
    } else {
      covmat = bread;
    }
  } else if (in.setype == "heteroskedastic") {
    require_residual_df(linear ? Nd - K - tnfe : Nd - K);
    hetero_factor = ratio(Nd, linear ? Nd - K - tnfe : Nd - K);
    nb::object meat = (Xt * (hetero_resid * hetero_resid)).attr("T").attr("__matmul__")(Xt);
    covmat = nb::float_(hetero_factor) * linalg.attr("multi_dot")(nb::make_tuple(bread, meat, bread));
  } else {
    clusters = cluster_identifiers(in);
    out.N_cluster = clusters.N_cluster;
    const size_t n_cluster = clusters.names.size();
    nb::object meat = np().attr("zeros")(nb::make_tuple(K, K));
    nb::list meat_matrices;
    for (size_t i = 0; i < n_cluster; ++i) {
      if (in.verb > 0) py::print("calculating covmat " + std::to_string(i + 1) + " of " + std::to_string(n_cluster));
      nb::object B = cluster_meat(in.family, clusters, i, demeaned, resid, K);
      nb::object contribution = nb::float_(clusters.pm[i] * clusters.correction) * B;
      if (linear)
        meat = meat + contribution;
      else
        meat_matrices.append(contribution);
    }
    if (!linear) {
      meat = py::builtins().attr("sum")(meat_matrices, meat);
      require_residual_df(Nd - K - tnfe);
      cr1_factor = ratio(Nd - 1, Nd - K - tnfe);
      meat = meat * nb::float_(cr1_factor);
    }
    covmat = linalg.attr("multi_dot")(nb::make_tuple(bread, meat, bread));
    if (!linear) covmat = (covmat + covmat.attr("T")) / nb::int_(2);

    if (in.verb > 0) py::print("Eigenvalue check");
    nb::tuple eig(linalg.attr("eigh")(covmat));
    nb::object Eval = eig[0], Evec = eig[1];
    if (py::truthy(np().attr("any")(np().attr("less")(Eval, -1e-12)))) {
      const std::string fix = "Covariance matrix not positive-semidefinite; applying Eigenvalue fix";
      in.msg.attr("append")(fix);
      if (in.verb > 0) py::print(fix);
      result.attr("eigenvalue_fix") = nb::bool_(true);
      result.attr("covmat_nofix") = covmat.attr("copy")();
      Eval = np().attr("maximum")(Eval, 0.0);
      covmat = linalg.attr("multi_dot")(nb::make_tuple(Evec, np().attr("diag")(Eval), Evec.attr("T")));
      covmat = (covmat + covmat.attr("T")) / nb::int_(2);
    }
    if (!linear && in.verb > 1) {
      py::print("\n=== CLUSTER SE DIAGNOSTICS ===");
      py::print("N = " + std::to_string(N) + ", K = " + std::to_string(K));
      py::print("total_nonredundant_fe = " + std::to_string(tnfe));
      py::print("N_cluster: " + py::str(clusters.single_counts));
      py::print("min_G = " + std::to_string(clusters.min_G));
      py::print("CR1 factor: " + py::format(cr1_factor, ".10f"));
      py::print("Eigenvalues: " + py::str(Eval));
      py::print("covmat:\n" + py::str(covmat));
      py::print("SE: " + py::str(np().attr("sqrt")(np().attr("diag")(covmat))));
    }
  }

  // Poisson fits on standardized regressors; report in the caller's units.
  if (rescale) {
    beta = beta / x_scale.attr("reshape")(K, 1);
    covmat = covmat / np().attr("outer")(x_scale, x_scale);
    if (in.verb > 0) py::print("Rescaled beta and covmat back to original (un-standardized) units.");
  }

  // Standard errors, test statistics, degrees of freedom, p-values.
  nb::object se = np().attr("sqrt")(np().attr("diag")(covmat)).attr("reshape")(K, 1);
  nb::object stat = beta / se;
  if (linear && in.verb > 0 && in.setype == "homoskedastic") {
    // No regressors: the statistic is undefined (0/0); print nan without numpy's warning.
    nb::object F_from_t = K > 0 ? nb::object(np().attr("sum")(stat * stat) / nb::int_(K)) : nb::float_(NAN);
    py::print("F_from_t=" + py::format(F_from_t, ".6f") + " using K=" + std::to_string(K));
  }
  nb::object df = in.setype == "cluster" ? nb::object(ops::py_min(clusters.N_cluster) - nb::int_(1))
                                         : nb::object(nb::int_(Nd - K - tnfe));
  nb::object p = two_sided_p(in.family, stat, df);

  // The constant implied by fixed effects normalised to (weighted) mean zero;
  // its influence weights w = base - X~ v (v = bread xbar, none without
  // regressors) make its variance follow the meat rules above.
  InfluenceWeights influence;
  double constant = 0;
  nb::object resid_flat = resid.attr("ravel")();
  nb::object mu_flat;
  if (linear && !in.weights.is_none()) {
    // Weighted: constant = weighted mean of y - x'b; with rows of X~ times
    // sqrt(w), the influence weights sqrt(w)/S - X~ bread xbar carry the
    // sqrt(w) of the scores, so the meat rules below apply unchanged.
    nb::object wv = np().attr("asarray")(in.weights, "dtype"_a = float64).attr("ravel")();
    const double S = as_double(np().attr("sum")(wv));
    nb::object y_values = in.data[nb::list(in.y)].attr("to_numpy")("dtype"_a = float64).attr("ravel")();
    const double y_mean = as_double(wv.attr("__matmul__")(y_values)) / S;
    influence.base = np().attr("sqrt")(wv);
    np().attr("divide")(influence.base, nb::float_(S), "out"_a = influence.base);
    if (K > 0) {
      nb::object X = in.data[nb::list(in.x)].attr("to_numpy")("dtype"_a = float64);
      nb::object Xbar = wv.attr("__matmul__")(X) / nb::float_(S);
      X = nb::none();
      constant = y_mean - as_double(Xbar.attr("__matmul__")(beta).attr("item")());
      influence.v = bread.attr("__matmul__")(Xbar);
    } else {
      constant = y_mean;
    }
  } else if (linear) {
    nb::object y_values = in.data[nb::list(in.y)].attr("to_numpy")("dtype"_a = float64);
    const double y_mean = as_double(np().attr("mean")(y_values));
    influence.base = nb::float_(1.0 / static_cast<double>(N));
    if (K > 0) {
      // Column by column: the sample's columns are read in place, not copied into one N x K block.
      nb::object Xbar = np().attr("empty")(K, "dtype"_a = float64);
      for (int64_t k = 0; k < K; ++k)
        Xbar[nb::int_(k)] = np().attr("mean")(in.data[nb::list(in.x)[k]].attr("to_numpy")("dtype"_a = float64));
      constant = y_mean - as_double(Xbar.attr("__matmul__")(beta).attr("item")());
      influence.v = bread.attr("__matmul__")(Xbar);
    } else {
      constant = y_mean;
    }
  } else {
    mu_flat = mu_col.attr("ravel")();
    influence.base = nb::float_(1.0 / poisson.S);
    if (K > 0) influence.v = bread.attr("__matmul__")(poisson.Xbar_std);
    constant = poisson.constant;
  }
  influence.Xt = Xt;

  double cons_var = 0;
  if (in.setype == "homoskedastic") {
    nb::object w = influence.rows(0, N);
    cons_var = linear ? s2 * as_double(np().attr("sum")(w * w)) : as_double(np().attr("sum")(w * w * mu_flat));
  } else if (in.setype == "heteroskedastic") {
    nb::object w = influence.rows(0, N);
    nb::object hr = in.hetero_resid.is_none() ? resid_flat : nb::object(hetero_resid.attr("ravel")());
    nb::object wr_hetero = w * hr;
    w = nb::none();
    cons_var = hetero_factor * as_double(np().attr("sum")(wr_hetero * wr_hetero));
  } else {
    // Per-cluster sums of w * resid, built chunk by chunk: no N-row vector
    // is held, and the sums add up in row order exactly as bincount would.
    // Cluster numbers are 0..G-1, so no hashing either.
    const size_t n_sets = clusters.names.size();
    std::vector<nb::object> sums, codes;
    for (size_t i = 0; i < n_sets; ++i) {
      sums.push_back(np().attr("zeros")(clusters.N_cluster[i], "dtype"_a = float64));
      nb::object ids = np().attr("ascontiguousarray")(clusters.ids[i]).attr("reshape")(-1);
      const std::string kind = py::str(ids.attr("dtype").attr("name"));
      if (kind != "int32" && kind != "int64") ids = np().attr("ascontiguousarray")(ids, "dtype"_a = np().attr("int64"));
      codes.push_back(ids);
    }
    constexpr int64_t kChunk = int64_t(1) << 16;
    for (int64_t lo = 0; lo < N; lo += kChunk) {
      const int64_t hi = std::min(N, lo + kChunk);
      nb::object wr = influence.rows(lo, hi);
      np().attr("multiply")(wr, resid_flat[nb::slice(nb::int_(lo), nb::int_(hi), nb::none())], "out"_a = wr);
      const double* wr_data = nb::cast<nb::ndarray<const double, nb::c_contig>>(wr).data();
      for (size_t i = 0; i < n_sets; ++i) {
        double* sums_data = nb::cast<nb::ndarray<double, nb::c_contig>>(sums[i]).data();
        if (nb::cast<int64_t>(codes[i].attr("itemsize")) == 4)
          core::add_by_code(nb::cast<nb::ndarray<const int32_t, nb::c_contig>>(codes[i]).data() + lo, wr_data,
                            hi - lo, sums_data);
        else
          core::add_by_code(nb::cast<nb::ndarray<const int64_t, nb::c_contig>>(codes[i]).data() + lo, wr_data,
                            hi - lo, sums_data);
      }
    }
    for (size_t i = 0; i < n_sets; ++i)
      cons_var += clusters.pm[i] * clusters.correction * as_double(np().attr("sum")(sums[i] * sums[i]));
    if (!linear) cons_var *= cr1_factor;
  }
  const double nan = std::nan("");
  const double cons_se = cons_var > 0 ? std::sqrt(cons_var) : nan;
  const double cons_stat = cons_se > 0 ? constant / cons_se : nan;
  double cons_p = nan;
  if (std::isfinite(cons_stat)) cons_p = as_double(two_sided_p(in.family, nb::float_(cons_stat), df));
  out.cons_stats = nb::make_tuple(constant, cons_se, cons_stat, cons_p);

  // Results in the documented order.
  result.attr("cons") = nb::float_(constant);
  result.attr("cons_se") = nb::float_(cons_se);
  result.attr(linear ? "cons_tvalue" : "cons_zvalue") = nb::float_(cons_stat);
  result.attr("cons_pvalue") = nb::float_(cons_p);
  result.attr("params") = series_of(beta);
  result.attr("bse") = series_of(se);
  if (linear) {
    result.attr("covmat") = covmat;
    result.attr("cov_type") = nb::str(in.setype.c_str());
  } else {
    result.attr("cov_type") = nb::str(in.setype.c_str());
    result.attr("covmat") = covmat;
  }
  if (in.setype == "cluster") {
    result.attr("clustvars") = in.clustvars;
    if (linear) {
      result.attr("df_resid_inference") = df;
      result.attr("use_t") = nb::bool_(true);
    }
  }
  result.attr("tvalues") = series_of(stat);
  result.attr("pvalues") = series_of(p);

  out.beta = beta;
  out.covmat = covmat;
  out.se = se;
  out.stat = stat;
  out.p = p;
  out.df = as_double(df);
  return out;
}

}  // namespace korvald::reporting
