// Collinearity screen and starting values. One unweighted partialling-out of
// [y, X] serves the screen and the "ols" and dictionary starts; the screen
// works on the K x K cross-product only.
#include <nanobind/stl/string.h>

#include <cmath>
#include <limits>

#include "common/collinearity.hpp"
#include "common/estimation_sample.hpp"
#include "core/linear_fit.hpp"
#include "core/poisson_irls.hpp"
#include "poisabsorb/internal.hpp"
#include "pyutil/pyutil.hpp"

namespace korvald::poisabsorb {

using namespace nb::literals;

// Index [:, from:] and [:, from:to].
static nb::object all_rows(int64_t from) {
  nb::object every = nb::slice(nb::none(), nb::none(), nb::none());
  return nb::make_tuple(every, nb::slice(nb::int_(from), nb::none(), nb::none()));
}
static nb::object all_rows(int64_t from, int64_t to) {
  nb::object every = nb::slice(nb::none(), nb::none(), nb::none());
  return nb::make_tuple(every, nb::slice(nb::int_(from), nb::int_(to), nb::none()));
}

// The collinearity screen on X'X of the partialled-out regressors, summed
// in one pass over the rows of [y~, X~]: a matrix product of the X~ columns
// would first copy them out of the block.
static std::vector<bool> independent_regressors(const Call& c, nb::handle yXtilde) {
  if (c.K == 0) return {};
  nb::object block = as_f64(yXtilde);
  const int64_t n = c.N, m = c.K + 1;
  // Read by raw pointer below: a routine put in place of the package's own
  // must have handed back the shape it was given.
  nb::object shape = block.attr("shape");
  if (nb::len(shape) != 2 || nb::cast<int64_t>(shape[0]) != n || nb::cast<int64_t>(shape[1]) != m)
    py::raise_value_error("partialling-out returned an array of shape " + py::str(shape) + ", expected (" +
                          std::to_string(n) + ", " + std::to_string(m) + ")");
  std::vector<double> zz(static_cast<size_t>(m * m));
  {
    const double* z = cf64(block);
    nb::gil_scoped_release release;
    core::cross_product(z, n, m, zz.data(), c.threads);
  }
  nb::object xox = empty(c.K, c.K);
  double* out = f64(xox);
  for (int64_t a = 0; a < c.K; ++a)
    for (int64_t b = 0; b < c.K; ++b) out[a * c.K + b] = zz[(a + 1) * m + (b + 1)];
  return common::collinearity_screen(c.module.attr("_remove_redundancy"), xox);
}

nb::object simple_eta(nb::handle yv) {
  nb::object np = py::numpy();
  nb::object mean = np.attr("mean")(yv);
  nb::object eta = np.attr("add")(yv, mean);
  np.attr("divide")(eta, 2.0, "out"_a = eta);
  np.attr("log")(eta, "out"_a = eta);
  return eta;
}

void screen_and_start(Call& c) {
  nb::object np = py::numpy();
  // Only the group pointers and the working arrays below are read from here
  // on: the identifier columns leave the sample first (the regressor
  // columns left it once it was cleaned).
  set_identifiers_aside(c);
  const int64_t dropped_total = c.N_dropped_invalid + c.N_dropped_zero_weight + c.N_dropped_fe_sep + c.N_dropped_ir_sep;
  if (c.loud() && dropped_total > 0)
    py::print("note: estimating on " + py::format(c.N, ",") + " of " + py::format(c.N_full_initial, ",") +
              " observations (" + py::format(dropped_total, ",") + " dropped in total)");

  // The strategy is settled first: the dictionary and "ols" starts need the
  // partialled-out data even when the screen is switched off.
  nb::object start = c.start;
  if (py::truthy(c.olsguess) && py::equals(start, nb::str("simple"))) start = nb::str("ols");
  if (nb::len(c.fixedeffects) == 0 && py::equals(start, nb::str("simple"))) start = nb::str("ols");
  const bool start_dict = nb::isinstance<nb::dict>(start);
  const bool start_ols = !start_dict && py::equals(start, nb::str("ols"));
  const bool nocheck = py::truthy(c.nocheck);
  const bool need_tilde = !nocheck || (c.eta_0.is_none() && (start_dict || start_ols));

  nb::object yXtilde = nb::none();
  if (need_tilde) {
    nb::object yX = empty(c.N, c.K + 1);
    yX.attr("__setitem__")(column_of(0), c.sample.attr("__getitem__")(c.ycol()).attr("to_numpy")("dtype"_a = "float64"));
    write_regressors(c, yX, 1);
    yXtilde = partial_out(c, yX, nb::none(), nb::float_(c.effective_inner_tol), "the collinearity screen", 0, true);
    if (!py::truthy(np.attr("isfinite")(np.attr("max")(yXtilde))))
      py::raise_exception(py::str(c.accelfunc.attr("__name__")) + "(y,X) diverged");
  }

  if (!nocheck) {
    std::vector<bool> var_ok = independent_regressors(c, yXtilde);
    nb::list kept, dropped, kept_cols, kept_pos;
    kept_cols.append(0);
    for (int64_t k = 0; k < c.K; ++k) {
      if (var_ok[k]) {
        kept.append(c.x[k]);
        kept_cols.append(k + 1);
        kept_pos.append(k);
      } else {
        dropped.append(c.x[k]);
      }
    }
    if (nb::len(dropped) > 0) {
      yXtilde = np.attr("ascontiguousarray")(
          yXtilde.attr("__getitem__")(nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), kept_cols)));
      const std::string note =
          "The variables " + py::join(py::string_list(dropped), ", ") + " are omitted due to colliearity";
      c.log(note);
      if (c.verbose) py::print(note);
    }
    c.x = kept;
    if (!c.x_scale.is_none())
      c.x_scale = np.attr("ascontiguousarray")(c.x_scale.attr("__getitem__")(kept_pos), "dtype"_a = "float64");
  }
  c.K = static_cast<int64_t>(nb::len(c.x));
  // Only the dictionary and "ols" starts read the partialled-out block again:
  // otherwise it goes before the start's own arrays are made.
  if (!c.eta_0.is_none() || !(start_dict || start_ols)) yXtilde = nb::none();

  // Without an offset column there is none to store (None).
  c.offset = c.off.is_none() ? nb::object(nb::none()) : common::float_matrix(c.sample, c.off);
  // y is only read from here on: a view of the sample's float64 column will do.
  c.yv = c.float_column(c.ycol()).attr("reshape")(c.N, 1);
  c.weights = common::sample_weights(c.sample, c.wspec);

  nb::object eta;
  if (!c.eta_0.is_none()) {
    eta = common::float_matrix(c.sample, c.eta_0);
  } else if (start_dict) {
    nb::list bad;
    for (nb::handle key : start) {
      bool known = false;
      for (nb::handle v : c.x) known = known || py::equals(key, v);
      if (!known) bad.append(key);
    }
    if (nb::len(bad) > 0)
      py::raise_value_error("start dict contains variables not in x (or dropped for collinearity): " +
                            py::repr(bad));
    nb::object beta_init = zeros(c.K, 1);
    double* bi = f64(beta_init);
    const double* scale = c.x_scale.is_none() ? nullptr : cf64(c.x_scale);
    for (int64_t k = 0; k < c.K; ++k) {
      nb::object name = c.x[k];
      if (!py::truthy(start.attr("__contains__")(name))) continue;
      nb::object given = start[name];
      nb::object value = nb::steal(PyNumber_Float(given.ptr()));
      if (!value.is_valid() || nb::isinstance<nb::str>(given) || nb::isinstance<nb::bytes>(given)) {
        PyErr_Clear();
        py::raise_value_error("start: the value for " + py::repr(name) + " must be a real number, got " +
                              py::repr(given));
      }
      if (!std::isfinite(nb::cast<double>(value)))
        py::raise_value_error("start: the value for " + py::repr(name) + " must be finite, got " + py::repr(given));
      // Given in the caller's units; the regressors are stored divided by their scale.
      bi[k] = nb::cast<double>(value) * (scale ? scale[k] : 1.0);
    }
    nb::object eta_s = np.attr("ascontiguousarray")(simple_eta(c.yv), "dtype"_a = "float64");
    nb::object demeaned = partial_out(c, eta_s, nb::none(), nb::float_(c.eps_MAP), "the starting values");
    nb::object fe_part = np.attr("subtract")(eta_s, demeaned);
    nb::object Xt = yXtilde.attr("__getitem__")(all_rows(1));
    eta = np.attr("add")(fe_part, np.attr("dot")(Xt, beta_init));
  } else if (start_ols) {
    nb::object Xt = yXtilde.attr("__getitem__")(all_rows(1));
    nb::object yt = yXtilde.attr("__getitem__")(all_rows(0, 1));
    nb::object beta_init = np.attr("linalg").attr("lstsq")(Xt, yt, "rcond"_a = nb::none())[0];
    nb::object fitted = as_f64(np.attr("add")(np.attr("subtract")(c.yv, yt), np.attr("dot")(Xt, beta_init)));
    // A linear fit can go negative where y is small; log needs a positive start.
    fitted.attr("__setitem__")(np.attr("less_equal")(fitted, 0.0), 1.0);
    eta = np.attr("log")(fitted);
  } else if (py::equals(start, nb::str("simple"))) {
    eta = simple_eta(c.yv);
  } else {
    py::raise_value_error("Unknown start=" + py::repr(start) + ". Use 'simple', 'ols', or a dict {var: value, ...}.");
  }
  yXtilde = nb::none();  // released before the loop
  // The loop reads y from the caller's column where it can.
  set_outcome_aside(c);

  c.eta = as_f64(np.attr("reshape")(eta, nb::make_tuple(c.N, 1)));
  c.beta = zeros(c.K, 1);
  c.zXtilde = zeros(c.N, c.K + 1);
  // Column by column, where each regressor is stored: no N x K intermediate.
  write_regressors(c, c.zXtilde, 1);
  c.mu = empty(c.N, 1);
  {
    const double* e = f64(c.eta);
    const double* o = c.offset.is_none() ? nullptr : f64(c.offset);
    double* m = f64(c.mu);
    const int64_t n = c.N;
    nb::gil_scoped_release release;
    core::fitted_means(e, o, m, n);
  }
  if (!core::all_finite(f64(c.mu), c.N))
    py::raise_value_error(
        "Non-finite mu at start of IRLS; check starting values (start argument) - got eta with range [" +
        py::format(np.attr("min")(c.eta), ".3e") + ", " + py::format(np.attr("max")(c.eta), ".3e") + "]");
}

}  // namespace korvald::poisabsorb
