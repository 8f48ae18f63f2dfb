#include "core/poisson_irls.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/row_positions.hpp"
#include "core/task_team.hpp"

namespace korvald::core {

namespace {

// Compensated (Neumaier) summation: the deviance of two trial steps is
// compared with a slack of 1e-12 relative, so its rounding must stay well
// below that on long samples.
struct Sum {
  double s = 0.0, c = 0.0;
  void add(double v) {
    const double t = s + v;
    if (std::fabs(s) >= std::fabs(v))
      c += (s - t) + v;
    else
      c += (v - t) + s;
    s = t;
  }
  double value() const { return s + c; }
};

// The two parts of the deviance, summed over observations in order.
struct DevianceSum {
  Sum zero_part, pos_part;
  bool any_zero = false, any_pos = false;
  void add(double y, double mu) {
    if (y == 0.0) {
      any_zero = true;
      zero_part.add(mu);
    } else {
      any_pos = true;
      pos_part.add(y * std::log(y / mu) - (y - mu));
    }
  }
  void add(double y, double mu, double w) {
    if (y == 0.0) {
      any_zero = true;
      zero_part.add(w * mu);
    } else {
      any_pos = true;
      pos_part.add(w * (y * std::log(y / mu) - (y - mu)));
    }
  }
  // Appends another run of rows summed on its own.
  void merge(const DevianceSum& o) {
    zero_part.add(o.zero_part.s);
    zero_part.add(o.zero_part.c);
    pos_part.add(o.pos_part.s);
    pos_part.add(o.pos_part.c);
    any_zero = any_zero || o.any_zero;
    any_pos = any_pos || o.any_pos;
  }
  double value() const {
    double total = 0.0;
    if (any_zero) total += 2.0 * zero_part.value();
    if (any_pos) total += 2.0 * pos_part.value();
    return total;
  }
};

// Running "largest element is finite" test (NaN fails) over a stream of values.
struct MaxFinite {
  double m = -std::numeric_limits<double>::infinity();
  bool nan = false;
  void add(double v) {
    if (std::isnan(v))
      nan = true;
    else
      m = std::max(m, v);
  }
  bool ok(int64_t n) const { return n > 0 && !nan && std::isfinite(m); }
  void merge(const MaxFinite& o) {
    nan = nan || o.nan;
    m = std::max(m, o.m);
  }
};

// Rows go in fixed chunks (threads share them); sums are made per chunk and
// then added in chunk order, so they do not depend on the thread count. A
// sample of one chunk is summed row after row as a whole.
constexpr int64_t kRowChunk = int64_t{1} << 16;

// The per-chunk parts of a pass, merged in chunk order.
template <class Part>
Part merged(const std::vector<Part>& parts) {
  Part total = parts[0];
  for (size_t c = 1; c < parts.size(); ++c) total.merge(parts[c]);
  return total;
}

template <class Part>
std::vector<Part> chunk_parts(int64_t n) {
  return std::vector<Part>(static_cast<size_t>(std::max<int64_t>((n + kRowChunk - 1) / kRowChunk, 1)));
}

}  // namespace

bool all_finite(const double* v, int64_t n) {
  for (int64_t i = 0; i < n; ++i)
    if (!std::isfinite(v[i])) return false;
  return true;
}

double poisson_deviance(Outcome y, const double* mu, int64_t n, bool finite_shortcut, const double* w,
                        int threads) {
  if (finite_shortcut && !all_finite(mu, n)) return std::numeric_limits<double>::infinity();
  auto parts = chunk_parts<DevianceSum>(n);
  for_row_chunks(n, kRowChunk, threads, [&](int64_t lo, int64_t hi, int64_t c) {
    DevianceSum& sum = parts[c];
    if (w)
      for (int64_t i = lo; i < hi; ++i) sum.add(y[i], mu[i], w[i]);
    else
      for (int64_t i = lo; i < hi; ++i) sum.add(y[i], mu[i]);
  });
  return merged(parts).value();
}

void fitted_means(const double* eta, const double* offset, double* mu, int64_t n) {
  if (!offset) {
    for (int64_t i = 0; i < n; ++i) mu[i] = std::exp(eta[i]);
    return;
  }
  for (int64_t i = 0; i < n; ++i) mu[i] = std::exp(eta[i] + offset[i]);
}

WorkingChecks working_variable_checked(const double* eta, Outcome y, const double* mu, double* z, double* zX,
                                       int64_t n, int64_t width, bool add, const double* obs_w,
                                       const float* rounding, int threads, double floor) {
  struct Part {
    MaxFinite e, m, w;
    double sum_m = 0.0, sum_mz = 0.0, sum_mzz = 0.0, sum_mrr = 0.0;
    void merge(const Part& o) {
      e.merge(o.e);
      m.merge(o.m);
      w.merge(o.w);
      sum_m += o.sum_m;
      sum_mz += o.sum_mz;
      sum_mzz += o.sum_mzz;
      sum_mrr += o.sum_mrr;
    }
  };
  auto parts = chunk_parts<Part>(n);
  for_row_chunks(n, kRowChunk, threads, [&](int64_t lo, int64_t hi, int64_t c) {
    Part& p = parts[c];
    for (int64_t i = lo; i < hi; ++i) {
      p.e.add(eta[i]);
      p.m.add(mu[i]);
      const double zi = working_value(eta[i], y[i], mu[i], floor);
      p.w.add(zi);
      const double m = floor > 0.0 ? std::max(mu[i], floor) : mu[i];
      const double mi = obs_w ? obs_w[i] * m : m;
      p.sum_m += mi;
      p.sum_mz += mi * zi;
      p.sum_mzz += mi * zi * zi;
      if (rounding) p.sum_mrr += mi * static_cast<double>(rounding[i]) * rounding[i];
      if (z) z[i] = zi;
      zX[i * width] = add ? zX[i * width] + zi : zi;
    }
  });
  const Part total = merged(parts);
  const MaxFinite &e = total.e, &m = total.m, &w = total.w;
  const double sum_m = total.sum_m, sum_mz = total.sum_mz, sum_mzz = total.sum_mzz, sum_mrr = total.sum_mrr;
  WorkingChecks out;
  out.eta_ok = e.ok(n);
  out.mu_ok = out.eta_ok && m.ok(n);
  out.z_ok = out.mu_ok && w.ok(n);
  out.weight_sum = sum_m;
  out.rounding_norm = std::sqrt(sum_mrr);
  out.z_spread = sum_m > 0 ? std::sqrt(std::max(sum_mzz - sum_mz * (sum_mz / sum_m), 0.0)) : 0.0;
  return out;
}

void carry_fixed_effect_part(double* zX, const double* coef, int64_t n, int64_t K, int threads) {
  const int64_t w = K + 1;
  for_row_chunks(n, kRowChunk, threads, [&](int64_t lo, int64_t hi, int64_t) {
    for (int64_t i = lo; i < hi; ++i) {
      double* row = zX + i * w;
      double fit = 0.0;
      for (int64_t k = 0; k < K; ++k) fit += row[k + 1] * coef[k];
      row[0] = fit - row[0];
    }
  });
}

void irls_weights(const double* mu, const double* w, int64_t n, double* out) {
  for (int64_t i = 0; i < n; ++i) out[i] = w[i] * mu[i];
}

void floored_weights(const double* mu, double floor, int64_t n, double* out) {
  for (int64_t i = 0; i < n; ++i) out[i] = std::max(mu[i], floor);
}

double outcome_mean(Outcome y, int64_t n) {
  double s = 0.0;
  for (int64_t i = 0; i < n; ++i) s += y[i];
  return n > 0 ? s / static_cast<double>(n) : 0.0;
}

void clear_first_column(double* zX, int64_t n, int64_t width) {
  for (int64_t i = 0; i < n; ++i) zX[i * width] = 0.0;
}

void full_step_predictor_in_place(const double* eta, Outcome y, const double* mu, double* zX,
                                  const double* coef, int64_t n, int64_t K, float* rounding, int threads,
                                  double floor) {
  const int64_t w = K + 1;
  constexpr double kTwoEps = 2 * std::numeric_limits<double>::epsilon();
  for_row_chunks(n, kRowChunk, threads, [&](int64_t lo, int64_t hi, int64_t) {
    for (int64_t i = lo; i < hi; ++i) {
      double* row = zX + i * w;
      const double zi = working_value(eta[i], y[i], mu[i], floor);
      double fit = 0.0;
      for (int64_t k = 0; k < K; ++k) fit += row[k + 1] * coef[k];
      const double e = zi - row[0] + fit;
      if (rounding) {
        const double scale =
            std::max(std::max(std::fabs(zi), std::fabs(row[0])), std::max(std::fabs(fit), std::fabs(e)));
        rounding[i] = static_cast<float>(rounding[i] + kTwoEps * scale);
      }
      row[0] = e;
    }
  });
}

HalvingOutcome step_halving(Outcome y, const double* offset, double* eta, const double* e,
                            const double* beta_old, const double* b, int64_t n, int64_t K, double deviance,
                            int max_halvings, bool finite_only, double* mu, double* beta, const double* w,
                            int64_t e_stride, double* eta_change, int threads) {
  HalvingOutcome out;
  const double dev_tol = std::max(1e-12 * std::fabs(deviance), 1e-12);
  double step = 1.0;
  struct Trial {
    DevianceSum sum;
    bool finite = true;
    void merge(const Trial& o) {
      sum.merge(o.sum);
      finite = finite && o.finite;
    }
  };
  for (;;) {
    for (int64_t k = 0; k < K; ++k) beta[k] = beta_old[k] + step * (b[k] - beta_old[k]);
    // The trial's mu and its deviance in one pass, summed exactly as
    // poisson_deviance(y, mu, n, true) would: a non-finite mu makes it +inf.
    // eta keeps the iteration's start until a trial is accepted.
    auto parts = chunk_parts<Trial>(n);
    for_row_chunks(n, kRowChunk, threads, [&](int64_t lo, int64_t hi, int64_t c) {
      Trial& t = parts[c];
      for (int64_t i = lo; i < hi; ++i) {
        const double trial = eta[i] + step * (e[i * e_stride] - eta[i]);
        mu[i] = std::exp(offset ? trial + offset[i] : trial);
        if (!t.finite) continue;
        if (std::isfinite(mu[i])) {
          if (w)
            t.sum.add(y[i], mu[i], w[i]);
          else
            t.sum.add(y[i], mu[i]);
        } else
          t.finite = false;
      }
    });
    const Trial trial = merged(parts);
    out.deviance_new = trial.finite ? trial.sum.value() : std::numeric_limits<double>::infinity();
    const bool accept = finite_only ? std::isfinite(out.deviance_new) : out.deviance_new <= deviance + dev_tol;
    if (accept) break;
    step *= 0.5;
    ++out.halvings;
    if (out.halvings >= max_halvings) {
      out.exhausted = true;
      break;
    }
  }
  out.step_size = step;
  // The accepted trial into eta, computed exactly as its mu was.
  struct Change {
    double largest = 0.0;
    // A NaN must not pass as "no change".
    void add(double d) {
      largest = (std::isnan(d) || std::isnan(largest)) ? std::numeric_limits<double>::quiet_NaN() : std::max(largest, d);
    }
    void merge(const Change& o) { add(o.largest); }
  };
  auto changes = chunk_parts<Change>(n);
  for_row_chunks(n, kRowChunk, threads, [&](int64_t lo, int64_t hi, int64_t c) {
    for (int64_t i = lo; i < hi; ++i) {
      const double trial = eta[i] + step * (e[i * e_stride] - eta[i]);
      if (eta_change) changes[c].add(std::fabs(trial - eta[i]));
      eta[i] = trial;
    }
  });
  if (eta_change) *eta_change = merged(changes).largest;
  return out;
}

void constant_sums(const std::vector<const double*>& columns, const std::vector<SortOrder>& at,
                   const double* divisor, const double* scale, const double* b, const double* mu, const double* eta,
                   int64_t n, double* mux, double* fe_mass) {
  constexpr int64_t kChunk = 4096;
  const int64_t K = static_cast<int64_t>(columns.size());
  std::vector<double> part(static_cast<size_t>(K));
  std::fill(mux, mux + K, 0.0);
  *fe_mass = 0.0;
  for (int64_t start = 0; start < n; start += kChunk) {
    const int64_t stop = std::min(n, start + kChunk);
    std::fill(part.begin(), part.end(), 0.0);
    double mass = 0.0;
    for (int64_t i = start; i < stop; ++i) {
      double xb = 0.0;
      for (int64_t k = 0; k < K; ++k) {
        const double x = gathered(columns[k], at[k], divisor[k], i);
        part[k] += mu[i] * x;
        xb += (scale ? x * scale[k] : x) * b[k];
      }
      mass += mu[i] * (eta[i] - xb);
    }
    for (int64_t k = 0; k < K; ++k) mux[k] += part[k];
    *fe_mass += mass;
  }
}

void remove_regressor_part(const double* eta, const double* X, const double* scale, const double* beta, int64_t n,
                           int64_t K, double* out) {
  for (int64_t i = 0; i < n; ++i) {
    double xb = 0.0;
    for (int64_t k = 0; k < K; ++k) xb += (scale ? X[i * K + k] * scale[k] : X[i * K + k]) * beta[k];
    out[i] = eta[i] - xb;
  }
}

}  // namespace korvald::core
