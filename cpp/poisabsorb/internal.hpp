// Working state of one poisabsorb call and the steps that fill it. Call is
// the estimation state both estimators share (common/estimation_state.hpp)
// plus the Poisson fit's own arguments, controls and IRLS state; every step
// reads and updates it. One file per step: prepare.cpp (arguments, columns,
// sample cleaning; the steps both estimators take alike are in
// common/state_steps.cpp), fixed_effects.cpp (identifiers and fe-style
// separation), separation.cpp (option parsing and the rectifier pass),
// start.cpp (collinearity screen and starting values), irls.cpp (the loop),
// post.cpp (diagnostics, fit statistics, fixed-effect recovery, result and
// summary). detector.cpp holds _detect_separation_ir; helpers.cpp the small
// numpy conversions every step uses; columns_aside.cpp the columns that leave
// the sample while the start and the loop run, and how the steps after them
// read those columns again.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/estimation_state.hpp"
#include "core/group_index.hpp"
#include "core/poisson_irls.hpp"
#include "core/rectifier.hpp"

namespace korvald::poisabsorb {

namespace nb = nanobind;

// The shared estimation state (module, result, log, options, sample,
// identifiers, group pointers, output order, weights) plus what only the
// Poisson fit needs: its arguments, its controls, the regressors that
// survive the screen and the IRLS state.
struct Call : common::EstimationState {
  // Arguments as given (validated by prepare_input); clustvars is kept in the
  // shared state.
  nb::object y_arg, x_arg, fixedeffects_arg, data, setype_arg, off, eta_0, FEgen, start, olsguess, separation,
      sep_tol, sep_maxiter, sep_K_penalty, keepsingletons, nocheck, verb, eps_beta_arg, miniter_arg, maxiter_arg,
      eps_MAP_arg, minsubiter, maxsubiter, start_inner_tol_arg, standardize_data, accel, nt,
      print_stata_style_summary, weights_arg, weight_type_arg;

  // Derived controls (verbose, verb > 0, is shared).
  bool verb2 = false;  // verb > 1
  bool print_summary = false;
  double eps_beta = 1e-8, eps_MAP = 1e-9, start_inner_tol = 1e-4, effective_inner_tol = 1e-9;
  int64_t miniter = 1, maxiter = 1000;
  std::string accel_name;

  // Regressors of the fit and the sample's bookkeeping.
  nb::list x;          // regressors kept so far (x_all less the collinear ones)
  nb::object x_scale;  // None or float64 array of length K
  int64_t K = 0;
  int64_t N_full_initial = 0, N_dropped_invalid = 0, N_dropped_fe_sep = 0, N_dropped_ir_sep = 0;
  int64_t N_dropped_zero_weight = 0;

  nb::object wmu = nb::none();  // length-N buffer of the IRLS weights w * mu (weighted fits only)

  // Regressor columns that left the sample while the IRLS loop works on its
  // own copy of them (set_regressors_aside), with the divisor each was
  // standardised by (absent: not divided); after the loop, the kept
  // regressors as the steps after it read them (regressor_matrix).
  nb::dict x_divisor;
  nb::list x_set_aside;
  nb::object X_final = nb::none();
  // While the loop runs, y may be read from the caller's float64 column at
  // the sample's row positions (set_outcome_aside): that column and those
  // positions, None otherwise.
  nb::object y_values = nb::none(), y_rows = nb::none();
  // dtypes of the identifier columns while they are out of the sample
  // (set_identifiers_aside); empty when they are in it.
  nb::list identifier_dtypes;

  // Fit state (numpy arrays, float64, C-contiguous).
  // yv may be a read-only view of the sample's column.
  nb::object yv, offset, eta, mu, beta, zXtilde;  // N x 1, N x 1 (None: no offset), N x 1, N x 1, K x 1, N x (K+1)
  double deviance = 0;
  int64_t iteration = 1;

  // Partialling-out calls that missed the tolerance they were given.
  std::vector<std::string> demean_failed_steps;  // steps outside the loop, in order
  std::vector<int64_t> demean_failed_iterations;  // IRLS iterations
  std::string first_demean_failure;               // what the routine reported the first time
  bool demean_failures_reported = false;

  // "note:" lines and several warnings print when verb > 0 or a summary is wanted.
  bool loud() const { return verbose || print_summary; }
};

void prepare_input(Call& c);
// The sample standard deviation (divisor n - 1) of a column, as pandas'
// Series.std() gives it; `scratch` is a column-sized work array kept between
// calls (None at first).
double sample_std(nb::handle series, nb::object& scratch);
// The outcome's scale check: whether any value is positive, the smallest
// positive value and the population standard deviation (divisor n) of all
// values, as numpy gives them. y_vals: flat float64.
struct OutcomeSpread {
  bool any_positive = false;
  double min_positive = 0.0;
  double std = 0.0;
};
OutcomeSpread outcome_spread(nb::handle y_vals, nb::object& scratch);
void build_fixed_effects(Call& c);
// Drops groups with y identically zero (and singletons unless keepsingletons)
// from `sample`; sets *mp to fresh pointers when they were built on the
// returned sample, None otherwise.
nb::object fe_style_removal(const Call& c, nb::object sample, nb::object* mp);
void separation_pass(Call& c);
void screen_and_start(Call& c);
// ln((y + mean(y)) / 2): the simple starting linear predictor.
nb::object simple_eta(nb::handle yv);
// accelfunc(Z, w, mp, tol, minsubiter, maxsubiter, verb, nt), remembering a
// failure to meet tol: in IRLS iteration `iteration` (> 0), or in the step
// named `step` (iteration 0). overwrite: Z is this call's own array and may
// receive the result (the package's own routines only).
nb::object partial_out(Call& c, nb::handle Z, nb::handle w, nb::handle tol, const std::string& step,
                       int64_t iteration = 0, bool overwrite = false);
// One ConvergenceWarning and msg line per call for the failures remembered so far.
void report_partialling_failures(Call& c);
void run_irls(Call& c);
// The regressor columns leave the sample once it is cleaned (the separation
// checks, the start and the loop read them where they are stored). After the
// loop, regressor_matrix gives the kept regressors as one N x K row-major
// float64 array, the columns set aside taken again from the caller's frame at
// the sample's row positions and divided as before: bit for bit the values
// they had. None without regressors.
void set_regressors_aside(Call& c);
// The standardized values of the kept regressors into columns first ..
// first + K - 1 of the 2-D float64 `block` (N rows, any strides), each read
// where it is stored (see regressor_columns).
void write_regressors(const Call& c, nb::handle block, int64_t first);
nb::object regressor_matrix(const Call& c);
// The inference's constant sums (core::constant_sums) read from the
// regressors where they are stored: the caller's frame for the columns set
// aside, the sample for the others. mu: the final IRLS weights (N).
void constant_sums(const Call& c, nb::handle mu, nb::object* mux, double* fe_mass);
// The kept regressors (c.x) as the core reads them, each where it is stored:
// the sample's column, or the caller's column at the sample's row positions
// with its divisor. Holds the arrays it points into.
struct RegressorColumns {
  std::vector<nb::object> keep_alive;
  std::vector<const double*> values;
  std::vector<core::SortOrder> at;
  std::vector<double> divisor;  // 0: not divided
  // Standardized regressor k into out[i * stride] for the sample's n rows;
  // needs no interpreter.
  void write(int64_t k, int64_t n, double* out, int64_t stride = 1) const;
};
RegressorColumns regressor_columns(const Call& c);
// The identifier columns leave the sample while only the group pointers made
// of them are read (the start and the loop), and are made again from those
// pointers afterwards: the same codes in the same dtype.
void set_identifiers_aside(Call& c);
void restore_identifiers(Call& c);
// y leaves the sample (and yv) for the loop when the caller's column holds
// the same float64 values the sample does, and rows have left the sample
// (otherwise the sample's column is the caller's own). restore_outcome makes
// yv and the sample's column again: the very same values.
void set_outcome_aside(Call& c);
void restore_outcome(Call& c);
// y as the core reads it, wherever it is; outcome_array: as an N x 1 array
// (yv, or a copy gathered from the caller's column).
core::Outcome outcome(const Call& c);
nb::object outcome_array(const Call& c);
nb::object finish(Call& c);

// The rectifier's regressors: called once y has passed its checks, with the
// sample's row count; sets *K and returns how the kernel writes column k.
using RectifierRegressors = std::function<core::RegressorFill(int64_t n, int64_t* K)>;
// _detect_separation_ir on `data`'s y and identifier columns with the
// regressors from `regressors`: (mask of separated observations, certificate u).
nb::object run_rectifier(nb::handle data, nb::handle y, const RectifierRegressors& regressors, nb::handle fenames,
                         nb::handle tol, nb::handle maxiter, nb::handle K_penalty, nb::handle inner_maxiter,
                         nb::handle inner_tol, nb::handle verb, nb::handle nt);
// nt: threads for the passes over the observations (0 = all cores); the result does not depend on it.
nb::object detect_separation_ir(nb::handle data, nb::handle y, nb::handle x, nb::handle fenames, nb::handle tol,
                                nb::handle maxiter, nb::handle K_penalty, nb::handle inner_maxiter,
                                nb::handle inner_tol, nb::handle verb, nb::handle nt);
double poisson_deviance_py(nb::handle y, nb::handle mu);

// ---- helpers (helpers.cpp) -----------------------------------------------
using DoubleArray = nb::ndarray<double, nb::c_contig, nb::device::cpu>;
using ConstDoubleArray = nb::ndarray<const double, nb::c_contig, nb::device::cpu>;
using IdArray = nb::ndarray<const int64_t, nb::c_contig, nb::device::cpu>;

// Raw pointer into a writable C-contiguous float64 numpy array.
double* f64(nb::handle array);
// Read-only access (accepts non-writable arrays).
const double* cf64(nb::handle array);
const int64_t* i64(nb::handle array);
// New numpy float64 arrays.
nb::object empty(int64_t rows, int64_t cols);
nb::object zeros(int64_t rows, int64_t cols);
nb::object empty1(int64_t n);
// A C-contiguous, writable float64 copy/view of `value` (copies only if needed).
nb::object as_f64(nb::handle value);
// A Python int clamped into int64.
int64_t clamp_int64(nb::handle value);
// float(value) and operator.index(value) (clamped into int64), raising as Python would.
double as_double(nb::handle value);
int64_t as_index(nb::handle value);
// The index [:, col] of a 2-D array.
nb::object column_of(int64_t col);

}  // namespace korvald::poisabsorb
