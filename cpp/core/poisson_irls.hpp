// Per-observation arithmetic of the Poisson IRLS loop: guards, the working
// variable, the full-step linear predictor and the step-halving search on
// the deviance (the weighted least squares itself: streamed_qr.hpp).
// Everything here runs without the interpreter (callers release the GIL).
// `threads` share the rows in fixed chunks of 65536; sums (the deviance, the
// guards' totals) are made per chunk and added in chunk order, so no result
// depends on the thread count.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/group_index.hpp"

namespace korvald::core {

bool all_finite(const double* v, int64_t n);

// The dependent variable as the loop reads it: y[i] = values[at[i]], or
// values[i] when `at` is empty. So the loop can read y from the caller's own
// column at the sample's row positions instead of from a copy of its own.
struct Outcome {
  const double* values = nullptr;
  SortOrder at;
  Outcome(const double* v) : values(v) {}
  Outcome(const double* v, SortOrder rows) : values(v), at(rows) {}
  double operator[](int64_t i) const { return at.empty() ? values[i] : values[at[i]]; }
};

// 2*sum_{y=0} mu + 2*sum_{y!=0} [y log(y/mu) - (y - mu)].
// With finite_shortcut, any non-finite mu gives +inf at once (the signal that
// a trial step is too large); without it the formula is evaluated as is.
// With observation weights w (may be null) each term is multiplied by w_i.
double poisson_deviance(Outcome y, const double* mu, int64_t n, bool finite_shortcut,
                        const double* w = nullptr, int threads = 1);

// mu = exp(eta + offset); a null offset is none (adding zeros changes no exp).
void fitted_means(const double* eta, const double* offset, double* mu, int64_t n);

// Guards of an IRLS iteration: the largest element is finite, NaN-propagating
// like numpy's max (so a NaN anywhere fails). Each guard also requires the
// ones before it (eta, then mu, then z).
struct WorkingChecks {
  bool eta_ok = false, mu_ok = false, z_ok = false;
  // Sum of the IRLS weights m = mu (times the observation weight) and the
  // m-weighted norm of z around its m-weighted mean.
  double weight_sum = 0.0, z_spread = 0.0;
  // sqrt(sum of m r^2) for the rows' rounding bounds r (0 without them).
  double rounding_norm = 0.0;
};

// The IRLS working variable of a row: eta + y / mu - 1. With a weight floor
// f > 0, the row's IRLS weight is max(mu, f) and z = eta + (y - mu) / max(mu, f):
// the weighted least squares then solves the same score equations
// X'(y - mu) = 0 at its fixed point, while rows whose mu has fallen far below
// f no longer ask for steps of y / mu (see run_irls).
inline double working_value(double eta, double y, double mu, double floor) {
  if (floor > 0.0) return eta + (y - mu) / std::max(mu, floor);
  return eta + y / mu - 1.0;
}

// One pass for the start of an IRLS iteration: the guards on eta and mu, the
// working variable z (working_value) and its guard, and z stored into
// column 0 of the n x width row-major matrix zX, or added to what column 0
// holds when `add` (see carry_fixed_effect_part). z and zX are written even
// when a guard fails (callers raise); z may be null (zX's column only).
// obs_w: observation weights (null: none); rounding: per-row bounds of the
// rounding in what column 0 carries (null: none); floor: the weight floor of
// working_value (0: none), which the sums' IRLS weights then follow too.
WorkingChecks working_variable_checked(const double* eta, Outcome y, const double* mu, double* z, double* zX,
                                       int64_t n, int64_t width, bool add = false, const double* obs_w = nullptr,
                                       const float* rounding = nullptr, int threads = 1, double floor = 0.0);

// zX[:,0] = zX[:,1:] * coef - zX[:,0], on column 0 as full_step_predictor_in_place
// leaves it (e = z - M z + X~ coef, M the weighted annihilator of the fixed
// effects): that is M z - z, minus the fixed-effect part of z, a vector any
// later M removes exactly. The next iteration partials out that plus its own
// z instead of z alone: the same result, from a start that is already nearly
// free of fixed effects.
void carry_fixed_effect_part(double* zX, const double* coef, int64_t n, int64_t K, int threads = 1);

// The IRLS weights of weighted observations: out = w * mu.
void irls_weights(const double* mu, const double* w, int64_t n, double* out);

// out = max(mu, floor): the IRLS weights under a weight floor (working_value).
void floored_weights(const double* mu, double floor, int64_t n, double* out);

// The mean of y over its n rows (0 when n is 0).
double outcome_mean(Outcome y, int64_t n);

// Zeros column 0 of the n x width row-major matrix zX.
void clear_first_column(double* zX, int64_t n, int64_t width);

// e = z - zX[:,0] + zX[:,1:] * coef, the fixed-effect part of z plus the
// fitted regressor part, written over zX[:,0]; z is worked out on the way
// exactly as working_variable_checked makes it (the same floor). With
// `rounding`, each row's bound of the rounding a carry of this step adds
// (carry_fixed_effect_part) is added to it: that rounding stays in column 0
// for good, as no later projection removes it.
void full_step_predictor_in_place(const double* eta, Outcome y, const double* mu, double* zX,
                                  const double* coef, int64_t n, int64_t K, float* rounding = nullptr,
                                  int threads = 1, double floor = 0.0);

struct HalvingOutcome {
  int halvings = 0;          // number of halvings made
  double step_size = 1.0;    // value of the step variable after the search
  double deviance_new = 0;   // deviance of the accepted trial
  bool exhausted = false;    // stopped at max_halvings without meeting the test
};

// Trials eta_old + s (e - eta_old), beta = beta_old + s (b - beta_old),
// mu = exp(trial + offset) with s = 1, 1/2, 1/4, ... until the deviance does
// not exceed `deviance` by more than max(1e-12 |deviance|, 1e-12), or until
// `max_halvings` halvings were made (then the last trial is kept). eta holds
// eta_old on entry and, like mu and beta, the accepted trial on return: no
// copy of the old predictor is needed.
// With `finite_only` (the first iteration) any trial with a finite deviance
// is accepted: the starting predictor is not a fit of the model (the simple
// start ln((y + mean y)/2) follows y itself), so its deviance is usually
// below that of every fit and would reject every step towards the model.
// w: observation weights of the deviance (may be null); offset may be null.
// e is read at e[i * e_stride] (column 0 of a working matrix, say).
// eta_change (may be null) receives max |eta_new - eta_old| (NaN if any
// difference is NaN).
HalvingOutcome step_halving(Outcome y, const double* offset, double* eta, const double* e,
                            const double* beta_old, const double* b, int64_t n, int64_t K, double deviance,
                            int max_halvings, bool finite_only, double* mu, double* beta, const double* w = nullptr,
                            int64_t e_stride = 1, double* eta_change = nullptr, int threads = 1);

// The sums behind the constant of a Poisson fit and its influence weights,
// over the n rows i (chunk by chunk, so the rounding does not grow with n):
// mux[k] = sum mu_i x_ik, and fe_mass = sum mu_i (eta_i - sum_k (x_ik scale_k) b_k),
// with x_ik = columns[k][at[k][i]] / divisor[k] (at[k] empty: row i; divisor
// 0: the value as stored). The regressors are read where they are stored, so
// no n x K array is needed. scale may be null (ones).
void constant_sums(const std::vector<const double*>& columns, const std::vector<SortOrder>& at,
                   const double* divisor, const double* scale, const double* b, const double* mu, const double* eta,
                   int64_t n, double* mux, double* fe_mass);

// out = eta - X (scale .* beta): the linear predictor without its regressor
// part. X is n x K row-major as stored (divided by `scale` when the
// regressors were standardised; scale may be null), beta in the caller's units.
void remove_regressor_part(const double* eta, const double* X, const double* scale, const double* beta, int64_t n,
                           int64_t K, double* out);

}  // namespace korvald::core
