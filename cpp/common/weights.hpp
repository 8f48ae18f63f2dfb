// Observation weights, shared by both estimators: the `weights` and
// `weight_type` arguments, the checks on the weight column and the weight
// vector of the final estimation sample.
//
// Analytic and probability weights are rescaled to sum to the number of rows
// of the estimation sample, so multiplying all of them by a constant changes
// nothing (residual variances, root MSE and log-likelihoods included);
// frequency weights are used as given and their sum is the number of
// observations.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>

namespace korvald::common {

namespace nb = nanobind;

struct WeightSpec {
  nb::object name = nb::none();  // the weight column's label; None without weights
  std::string type = "aweight";  // "aweight", "fweight" or "pweight"
  bool given() const { return !name.is_none(); }
  bool frequency() const { return given() && type == "fweight"; }
};

// Reads `weights` (None or a one-element list naming a column) and
// `weight_type`. ValueError for an unknown type, for a list that names no
// or several columns, and for "pweight" with homoskedastic standard errors.
WeightSpec parse_weights(nb::handle weights, nb::handle weight_type, const std::string& setype);

// ValueError when the weight column is missing from `data` or not numeric
// (text, dates, complex numbers).
void require_weight_column(nb::handle data, const WeightSpec& spec);

// On a sample whose weight column is float64 and finite: ValueError naming
// the column for negative weights, and for non-integer frequency weights.
// Returns the number of rows with weight 0 and, when there are any, sets
// *keep to the boolean mask of the other rows.
int64_t check_weight_values(nb::handle sample, const WeightSpec& spec, nb::object* keep);

struct SampleWeights {
  nb::object w = nb::none();  // float64 (N,), C-contiguous; None without weights
  double sum = 0.0;           // sum of the weights as given
  int64_t n_obs = 0;          // observations: sum of frequency weights, else the row count
};

// The weight vector of the final estimation sample (see the header comment).
SampleWeights sample_weights(nb::handle sample, const WeightSpec& spec);

// Records the weights on the result: weight_var, weight_type, sum_weights.
void set_weight_attributes(nb::handle result, const WeightSpec& spec, const SampleWeights& weights);

}  // namespace korvald::common
