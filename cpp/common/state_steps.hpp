// Preparation steps both estimators take in the same way, on the shared
// estimation state: reading the name arguments, the checks on the set of
// model columns, the float columns of the sample and the identifier columns.
// The steps between them differ (offsets, starting values, which rows are
// invalid) and stay with each estimator.
#pragma once

#include <nanobind/nanobind.h>

#include "common/estimation_state.hpp"

namespace korvald::common {

namespace nb = nanobind;

struct ModelNames {
  nb::list x;               // the regressors
  nb::object fixedeffects;  // the specifications as a list, or None
};

// The name arguments read once into lists: a string would otherwise be taken
// character by character and an iterator used up by the first step that
// reads it. Checks that `data` is a DataFrame and that every specification
// is a string; sets st.y; with setype "cluster", replaces st.clustvars (the
// caller's argument) by the names read from it unless it is a list or tuple,
// which the result keeps as given. Needs st.setype.
ModelNames read_model_names(EstimationState& st, nb::handle data, nb::handle y, nb::handle x,
                            nb::handle fixedeffects);

// Checks on the columns the sample will keep (`keepvars`, weight column
// included): one dependent variable, a non-empty list of distinct cluster
// variables, no column label used twice in `data`, and none of the working
// column names the sample gets (fe_A, fe_B, ..., initial_index).
void check_sample_columns(const EstimationState& st, nb::handle data, nb::handle fixedeffects,
                          nb::handle keepvars);

// The columns the sample holds as float64: y, the regressors, the weights.
nb::list float_columns(const EstimationState& st, nb::handle x);

// De-duplicated specifications, their identifier names and columns: sets
// st.fixedeffects, st.fenames and st.N_FE.
void add_identifiers(EstimationState& st, nb::handle fixedeffects);

}  // namespace korvald::common
