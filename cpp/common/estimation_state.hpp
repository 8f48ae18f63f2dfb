// What one estimation call knows about itself and its sample, whichever the
// estimator: the extension module and the result being filled, the message
// log, the partialling-out routine, the normalised options, the estimation
// sample with its identifier columns and group pointers, the order of the
// per-observation outputs and the weights. Each estimator's own state builds
// on this one; the steps in cpp/common and cpp/reporting read it by these
// names.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>

#include "common/weights.hpp"

namespace korvald::common {

namespace nb = nanobind;

struct EstimationState {
  nb::object module;     // the estimator's extension module: routines are looked up on it at call time
  nb::object result;     // SimpleNamespace filled by every step
  nb::object msg;        // message log (a list for linabsorb, a deque for poisabsorb)
  nb::object accelfunc;  // partialling-out routine
  bool verbose = false;  // verb > 0
  std::string setype;    // normalised standard-error type
  nb::object clustvars;  // the caller's cluster list (or None)

  nb::object sample;         // estimation sample with identifiers; its index holds row positions in the caller's frame
  nb::object source_index;   // the caller's frame's index: the labels of those positions
  nb::list y;                // dependent variable (one name)
  nb::list x_all;            // the caller's regressors
  nb::list fixedeffects;     // de-duplicated specifications
  nb::list fenames;          // identifier column names
  int64_t N = 0;             // rows of the sample
  int64_t N_FE = 1;          // sum of the group counts
  int threads = 1;           // for the one-off steps (one_off_threads of nt); no result depends on it
  nb::object panelmat;       // group pointers of the current identifiers (the routines' panelmat); after the
                             // partialling-out only the entries the cluster inference reuses
                             // (reporting::pointers_for_clusters), then None
  nb::object order_key = nb::none();     // identifier column the per-observation outputs are sorted by
  nb::object output_order = nb::none();  // that order of the sample's rows (the sample itself stays unsorted),
                                         // made once the inference is done

  WeightSpec wspec;       // the weights argument (None: unweighted)
  SampleWeights weights;  // weight vector of the final sample
  bool weighted() const { return wspec.given(); }
  // Observations for degrees of freedom and reporting: the sum of frequency
  // weights, otherwise the row count.
  int64_t n_obs() const { return wspec.frequency() ? weights.n_obs : N; }

  // After rows left the sample: identifiers renumbered 0..G-1 (N_FE anew)
  // and the group pointers rebuilt (with `pointers`; otherwise they are
  // dropped, for a step that works on the identifiers alone to rebuild
  // later). Without fixed effects the all-zero identifier needs no
  // renumbering.
  void regroup(bool pointers = true);
  // Append a line to the message log.
  void log(const std::string& text) const;
  // The (only) dependent-variable name.
  nb::object ycol() const { return nb::borrow(y[0]); }
  // pandas Index of the sample's caller labels in output order, named
  // "initial_index": a new Index each time, over labels taken once (each
  // take copies N labels) and taken again should the sample or order change.
  nb::object initial_index() const;
  nb::object output_labels() const;
  // Contiguous float64 / int64 array of one sample column (read-only views allowed).
  nb::object float_column(nb::handle name) const;
  nb::object int_column(nb::handle name) const;
  // {specification: number of groups}: the category counts of the summary,
  // read off the contiguous identifiers.
  nb::dict fe_counts() const;

 private:
  mutable nb::object labels_, labels_sample_, labels_order_;  // output_labels() and what they were taken from
};

}  // namespace korvald::common
