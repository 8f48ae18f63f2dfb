// The IRLS loop: working variable, weighted partialling-out through the
// backend, weighted least squares through NumPy's lstsq on the system's
// streamed R factor (its rank is the one reported), and step-halving on the
// deviance. All per-observation
// arithmetic runs in the core with the GIL released.
#include <nanobind/stl/string.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/large_pages.hpp"
#include "core/poisson_irls.hpp"
#include "core/streamed_qr.hpp"
#include "poisabsorb/internal.hpp"
#include "pyutil/convergence.hpp"
#include "pyutil/pyutil.hpp"
#include "pyutil/signals.hpp"

namespace korvald::poisabsorb {

using namespace nb::literals;

static constexpr int kMaxHalvings = 30;
// The restart's weight floor, relative to the mean of y (see working_value).
static constexpr double kRestartWeightFloor = 1e-6;

// print(*values) through Python, each value in its own text form.
template <class... Args>
static void print_line(Args&&... values) {
  py::builtins().attr("print")(std::forward<Args>(values)...);
}

// The backend's result replaces the working matrix; its shape is checked
// before the core reads it by raw pointer.
static nb::object working_matrix(nb::handle value, int64_t n, int64_t cols) {
  nb::object arr = as_f64(value);
  nb::object shape = arr.attr("shape");
  if (nb::len(shape) != 2 || nb::cast<int64_t>(shape[0]) != n || nb::cast<int64_t>(shape[1]) != cols)
    py::raise_value_error("partialling-out returned an array of shape " + py::str(shape) + ", expected (" +
                          std::to_string(n) + ", " + std::to_string(cols) + ")");
  return arr;
}

// The IRLS loop could not lower the deviance from where it stands: start
// again from the simple start (beta = 0) with the IRLS weights floored,
// saying so in msg and as a warning.
static void restart_from_simple_start(Call& c, int64_t it, double* eta, double* mu, double* beta,
                                      double& deviance, double weight_floor) {
  const std::string text = "IRLS could not lower the deviance (" + py::format(deviance, ".6e") +
                           ") in iterations " + std::to_string(it - 1) + " and " + std::to_string(it) +
                           "; restarted from the simple start with IRLS weights of at least " +
                           py::format(weight_floor, ".1e");
  c.log("warning: " + text);
  if (c.verbose) py::print("   [warn] " + text);
  py::warn_convergence(text, 1);
  nb::object start = as_f64(simple_eta(outcome_array(c)));
  const double* s = cf64(start);
  const int64_t n = c.N;
  const core::Outcome y = outcome(c);
  const double* offset = c.offset.is_none() ? nullptr : cf64(c.offset);
  const double* w = c.weighted() ? cf64(c.weights.w) : nullptr;
  std::copy(s, s + n, eta);
  std::fill(beta, beta + c.K, 0.0);
  nb::gil_scoped_release release;
  core::fitted_means(eta, offset, mu, n);
  deviance = core::poisson_deviance(y, mu, n, true, w, c.threads);
}

void run_irls(Call& c) {
  nb::object np = py::numpy();
  nb::object lstsq = np.attr("linalg").attr("lstsq");
  const int64_t n = c.N, K = c.K;
  const core::Outcome y = outcome(c);
  const double* offset = c.offset.is_none() ? nullptr : f64(c.offset);
  double* eta = f64(c.eta);
  double* mu = f64(c.mu);
  double* beta = f64(c.beta);

  // Observation weights multiply each row's deviance; the IRLS weights become w * mu.
  const double* w = c.weighted() ? cf64(c.weights.w) : nullptr;
  if (w) c.wmu = empty1(n);
  nb::object wmu = c.wmu;
  double deviance;
  {
    nb::gil_scoped_release release;
    deviance = core::poisson_deviance(y, mu, n, true, w, c.threads);
  }
  if (c.verbose) py::print("Starting iteration...");

  std::vector<double> beta_old(static_cast<size_t>(K));
  double change = std::numeric_limits<double>::infinity();
  int64_t hits = 0, it = 1;
  int64_t stuck = 0;  // consecutive iterations whose step-halving could not lower the deviance
  bool restarted = false;
  bool fresh_start = true;  // the predictor is a start, not yet a fit
  bool converged = false;
  nb::object zX = c.zXtilde;
  c.zXtilde = nb::none();  // the loop owns the working matrix now; see the reuse of its storage below
  // Column 0 holds minus the fixed-effect part of the last working variable
  // (carry_fixed_effect_part), to which the next working variable is added.
  bool carried = false;
  // Rounding in a carried column stays in every later partialled-out z: each
  // row's bound of it, summed over the carries since z last went in alone.
  // The carry goes on while these bounds stay far below what the
  // partialling-out is asked to resolve (after a wild start z can shrink by
  // orders of magnitude, and rows with a tiny mu hold huge z).
  core::LargeVector<float> carried_rounding;
  constexpr double kCarryMargin = 1e-3;
  // Only the package's own routines are known to remove a fixed-effect part
  // exactly; a routine put in their place gets z as it is.
  const bool may_carry = py::takes_report(c.accelfunc);
  // After a restart: rows whose mu fell to a tiny fraction of the mean ask
  // Newton for steps of y / mu that no halving can bring back. A floor on
  // their IRLS weights keeps those steps finite and leaves the fixed point
  // (the score equations) where it is. 0 until then.
  double weight_floor = 0.0;
  nb::object floored;

  while (!converged && it <= c.maxiter) {
    py::check_signals();
    std::copy(beta, beta + K, beta_old.begin());

    // Loose inner tolerance while beta still moves a lot; tighten with it.
    const double inner_tol = std::isfinite(change)
                                 ? std::max(c.effective_inner_tol, std::min(c.start_inner_tol, 0.1 * change))
                                 : c.start_inner_tol;
    if (c.verbose) {
      if (c.verb2) print_line(c.beta);
      print_line(it, "change", change, "  inner_tol", py::format(inner_tol, ".1e"),
                 "  deviance " + py::format(deviance, ".6e"));
    }

    // Guards on the largest element (NaN counts as not finite), then the
    // working variable into column 0 of the working matrix.
    core::WorkingChecks checks;
    {
      double* zX_data = f64(zX);
      nb::gil_scoped_release release;
      checks = core::working_variable_checked(eta, y, mu, nullptr, zX_data, n, K + 1, carried, w,
                                              carried ? carried_rounding.data() : nullptr, c.threads, weight_floor);
      // In the partialling-out's own (m-weighted) norm.
      const double resolved = kCarryMargin * c.effective_inner_tol * checks.z_spread;
      if (carried && !(std::isfinite(checks.rounding_norm) && checks.rounding_norm <= resolved)) {
        checks = core::working_variable_checked(eta, y, mu, nullptr, zX_data, n, K + 1, false, w, nullptr, c.threads,
                                                weight_floor);
        carried = false;
      }
    }
    if (!checks.eta_ok) py::raise_value_error("missing value in eta");
    if (!checks.mu_ok) py::raise_value_error("missing value in mu");
    if (!checks.z_ok) py::raise_value_error("missing value in z");

    // mu is a contiguous N x 1 array, so its flattened view needs no copy.
    nb::object weights = c.mu.attr("ravel")();
    const double* irls_mu = mu;
    if (weight_floor > 0.0) {
      double* floored_data = f64(floored);
      {
        nb::gil_scoped_release release;
        core::floored_weights(mu, weight_floor, n, floored_data);
      }
      weights = floored;
      irls_mu = floored_data;
    }
    if (w) {
      double* wmu_data = f64(wmu);
      {
        nb::gil_scoped_release release;
        core::irls_weights(irls_mu, w, n, wmu_data);
      }
      weights = wmu;
    }
    nb::object zX_in = zX;
    zX = working_matrix(partial_out(c, zX_in, weights, nb::float_(inner_tol), "", it, true), n, K + 1);

    // The weighted least squares goes to the solver as its R factor and
    // Q'z (K x K and K x 1), built in one pass over zX: the solver's own
    // copies of an N-row system would be the loop's largest arrays. Its
    // rank cut-off stays the one it applies to the N-row system.
    nb::object R = empty(K + 1, K + 1);
    {
      const double* zX_data = f64(zX);
      double* Rp = f64(R);
      nb::gil_scoped_release release;
      core::weighted_r_factor(zX_data, irls_mu, w, n, K, Rp, c.threads);
    }
    nb::object A = np.attr("ascontiguousarray")(
        R.attr("__getitem__")(nb::make_tuple(nb::slice(nb::int_(0), nb::int_(K), nb::none()),
                                             nb::slice(nb::int_(0), nb::int_(K), nb::none()))));
    nb::object bvec = np.attr("ascontiguousarray")(
        R.attr("__getitem__")(nb::make_tuple(nb::slice(nb::int_(0), nb::int_(K), nb::none()),
                                             nb::slice(nb::int_(K), nb::int_(K + 1), nb::none()))));
    const double rcond = std::numeric_limits<double>::epsilon() * static_cast<double>(std::max<int64_t>(n, K));
    nb::object solution = lstsq(A, bvec, "rcond"_a = rcond);
    A = nb::none();
    bvec = nb::none();
    zX_in = nb::none();
    nb::object b = as_f64(solution[0]);
    const int64_t rank = nb::cast<int64_t>(py::builtins().attr("int")(solution[2]));
    if (rank < K) {
      const std::string note = "Iteration " + std::to_string(it) +
                               ": Least squares problem does not have full rank; parameter estimates may be "
                               "misleading";
      c.log(note);
      py::print(note);
    }
    const double* bp = K > 0 ? cf64(b) : nullptr;
    if (K > 0 && !core::all_finite(bp, K))
      py::raise_exception(py::str(c.accelfunc.attr("__name__")) + "(z,X) diverged");

    // The full-step predictor e (from z = eta + y / mu - 1 again, eta and mu
    // being where the iteration began) goes over column 0 of the working
    // matrix: the next iteration writes its working variable there anyway,
    // and after the last one only the columns of X~ are read.
    core::HalvingOutcome step;
    // Rounding bounds start afresh whenever z went in alone.
    if (!carried) {
      if (carried_rounding.empty()) carried_rounding.resize(static_cast<size_t>(n));
      std::fill(carried_rounding.begin(), carried_rounding.end(), 0.0f);
    }
    // Without regressors the change is that of eta, taken as the step lands.
    double eta_change = 0.0;
    {
      double* zX_data = f64(zX);
      nb::gil_scoped_release release;
      core::full_step_predictor_in_place(eta, y, mu, zX_data, bp, n, K, carried_rounding.data(), c.threads,
                                         weight_floor);
      step = core::step_halving(y, offset, eta, zX_data, beta_old.data(), bp, n, K, deviance, kMaxHalvings,
                                fresh_start, mu, beta, w, K + 1, K > 0 ? nullptr : &eta_change, c.threads);
    }
    if (c.verbose) {
      const std::string ddev = py::format(step.deviance_new - deviance, ".3e");
      if (step.exhausted)
        py::print("   [warn] step-halving exhausted (" + std::to_string(kMaxHalvings) + "x); accepting step (ddev=" +
                  ddev + ")");
      if (step.halvings > 0)
        py::print("   step-halved " + std::to_string(step.halvings) +
                  "x -> step_size=" + py::format(step.step_size, ".3e") + ", ddev=" + ddev);
    }
    const double deviance_before = deviance;
    deviance = step.deviance_new;
    fresh_start = false;
    const bool lowered = !step.exhausted || deviance <= deviance_before;

    if (K > 0) {
      double sq = 0.0;
      for (int64_t k = 0; k < K; ++k) sq += (beta_old[k] - beta[k]) * (beta_old[k] - beta[k]);
      change = std::sqrt(sq);
    } else {
      change = eta_change;
    }
    // Two consecutive small changes: one small step can be a stall. A step
    // that step-halving shrank to nothing moves beta by nothing without
    // being a fit, and beta can stand still while the fixed effects (or the
    // constant) still move the deviance: neither iteration counts.
    const bool deviance_settled =
        std::fabs(deviance - deviance_before) <= c.eps_beta * std::max(std::fabs(deviance), 0.1);
    if (change < c.eps_beta && it >= c.miniter && lowered && deviance_settled)
      ++hits;
    else
      hits = 0;
    if (hits >= 2) converged = true;

    stuck = lowered ? 0 : stuck + 1;
    if (stuck >= 2 && !converged) {
      // No progress from here: start afresh once from the simple start, else give up.
      if (restarted) {
        report_partialling_failures(c);
        py::raise_exception("Did not converge");
      }
      {
        nb::gil_scoped_release release;
        weight_floor = kRestartWeightFloor * core::outcome_mean(y, n);
      }
      floored = empty1(n);
      restart_from_simple_start(c, it, eta, mu, beta, deviance, weight_floor);
      restarted = true;
      carried = false;
      fresh_start = true;
      stuck = 0;
      hits = 0;
      change = std::numeric_limits<double>::infinity();
    }
    // Another iteration follows: column 0 keeps this one's fixed-effect part
    // (negated) for it. After the last one it keeps the full-step predictor;
    // only the columns of X~ are read from then on.
    if (may_carry && !converged && !fresh_start) {
      double* zX_data = f64(zX);
      nb::gil_scoped_release release;
      core::carry_fixed_effect_part(zX_data, bp, n, K, c.threads);
      carried = true;
    }
    ++it;
  }

  if (converged && weight_floor > 0.0 && K > 0) {
    // The covariance reads the regressors partialled out with the fit's own
    // IRLS weights, not the floored ones.
    nb::object weights = c.mu.attr("ravel")();
    {
      double* zX_data = f64(zX);
      double* wmu_data = w ? f64(wmu) : nullptr;
      nb::gil_scoped_release release;
      core::clear_first_column(zX_data, n, K + 1);
      if (w) core::irls_weights(mu, w, n, wmu_data);
    }
    if (w) weights = wmu;
    zX = working_matrix(partial_out(c, zX, weights, nb::float_(c.effective_inner_tol), "", it - 1, true), n, K + 1);
  }
  report_partialling_failures(c);
  if (!converged) py::raise_exception("Did not converge");
  if (c.verbose) print_line("converged in", it - 1, "iterations");
  c.zXtilde = zX;
  c.deviance = deviance;
  c.iteration = it;
}

}  // namespace korvald::poisabsorb
