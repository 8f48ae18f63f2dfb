// Input preparation shared by both estimators: option checks, column checks,
// the estimation sample, fixed-effect identifier columns, the sort order and
// the re-coding after observations were removed. Each function does one step
// exactly as both estimators need it; estimator-specific steps stay with the
// estimator.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>

namespace korvald::common {

namespace nb = nanobind;

// Standard-error type: the accepted synonyms mapped to "homoskedastic",
// "heteroskedastic", "cluster" or "none". `none_allowed`: whether Python None
// means "none" (linear) or is rejected (Poisson). Anything else raises
// ValueError "Invalid standard error type".
std::string normalize_setype(nb::handle setype, bool none_allowed);

// Accepts value > 0 and finite (NaN fails the comparison); otherwise raises
// ValueError(message). The comparison with 0 comes first, as in Python.
void check_tolerance(nb::handle value, const std::string& message);

// TypeError "<name> must be a number, got ..." for text or anything that
// does not compare with 0 (verbosity levels and the like).
void require_number(nb::handle value, const std::string& name);

// TypeError "Number of iterations must be integer values" unless every value
// is a Python int (bools pass; floats and numpy integers do not).
void check_iteration_types(std::initializer_list<nb::handle> values);

// ValueError(prefix + repr(missing)) when some of `names` are not columns of `data`.
void require_columns(nb::handle data, nb::handle names, const std::string& prefix);

// Argument checks beyond the documented ones, so that a wrongly shaped
// argument gets a message naming it instead of a puzzling one about single
// characters, silently wrong columns or a crash further down.
// TypeError "data must be a pandas DataFrame" unless `data` is one.
void require_dataframe(nb::handle data);
// The names of a list-like argument as a new list. A plain string (which
// would be read character by character), None or anything not iterable
// raises TypeError "<what> must be a list of column names". Iterators are
// read once here, so later steps all see the same names.
nb::list name_list(nb::handle value, const std::string& what);
// ValueError "<what> contains repeated names: [...]" when a name occurs twice.
void require_distinct(nb::handle names, const std::string& what);
// ValueError "Column name(s) occur more than once in data: [...]" for any
// of `names` that labels several columns of `data`.
void require_unique_columns(nb::handle data, nb::handle names);
// ValueError "Column name(s) reserved for the estimation sample: [...]"
// when a model column is called like a working column the estimator adds
// (its values would be overwritten by identifiers or row labels).
void require_unreserved(nb::handle names, nb::handle reserved);

// ValueError "<what> not numeric: [...]" for columns of `names` that cannot
// become float64 (text, dates, durations), and "<what> complex-valued: [...]"
// for complex ones (a cast would silently drop the imaginary part).
void require_numeric(nb::handle data, nb::handle names, const std::string& what);

// Sorted distinct names (Python's sorted(set(names))).
nb::list sorted_unique(nb::handle names);

// Column checks common to both estimators, in their order: dependent
// variable, regressors, fixed-effect components, cluster variables (only for
// setype "cluster"). Returns the list of columns to keep (not yet de-duplicated).
nb::list check_model_columns(nb::handle data, nb::handle y, nb::handle x, nb::handle fixedeffects,
                             const std::string& setype, nb::handle clustvars);

// New DataFrame from the sorted distinct `keepvars` of `data`, each column
// keeping its own dtype (so large integer identifiers are never merged by a
// cast). When the common element type of the kept columns is not float64,
// "Some variables are not double, recasting" goes to `msg` and is printed;
// every column of `yx` that is not float64 is converted to float64.
// The sample's index holds each row's position in `data` (a RangeIndex until
// rows leave, 32-bit positions after; see keep_rows): the caller's labels
// are taken from data's index only for the outputs (output_labels).
nb::object build_sample(nb::handle data, nb::handle keepvars, nb::handle yx, nb::handle msg);

// Boolean mask over the rows of `column`: present (not missing) and, for a
// floating-point column, finite. An identifier, cluster or offset of +-inf
// is as unusable as a missing one.
nb::object usable_values(nb::handle column);

// The two notes about clustering (the "ignoring" note printed, the
// "clustered on" note logged only).
void cluster_notes(const std::string& setype, nb::handle clustvars, nb::handle msg);

// De-duplicated specifications in first-occurrence order; each repeat prints
// `Fixed effect "<spec>" is duplicate and ignored`. None gives an empty list.
nb::list dedupe_fixedeffects(nb::handle fixedeffects);

// "fe_A", "fe_B", ... for n specifications; ["fe_A"] when n is 0.
nb::list make_fenames(size_t n_specs);

// Adds one identifier column per specification (group numbers 0..G-1 in
// ascending key order; int32 when G allows, int64 otherwise) or the all-zero "fe_A" when there is none, printing
// the "Created ..." lines when verb > 0. Returns N_FE.
// threads: for numbering integer identifiers side by side; no result depends on it.
int64_t add_identifier_columns(nb::object sample, nb::handle fixedeffects, nb::handle fenames, int verb,
                               int threads = 1);

// Removes from the sample the fixed-effect component columns that nothing
// reads once the identifiers stand for them, so that later row filters do
// not copy them. Kept: components of more than one specification (the
// redundancy count groups by their overlap) and every name in `keep` (the
// model's own, cluster, weight or offset columns).
void drop_absorbed_components(nb::object sample, nb::handle fixedeffects, nb::handle keep);

// The name of the identifier column with the most groups (first on ties):
// the per-observation outputs come sorted by it. The sample itself is not
// reordered (that would copy every column); the outputs are, at the end,
// through output_order. The rows' positions in the caller's frame stay the
// sample's own index, which every row filter carries along.
nb::object order_key(nb::handle sample, nb::handle fenames);

// `sample`, a frame this call alone holds, becomes its rows where the
// boolean `mask` holds. The columns are filtered one after the other and each
// old column is let go as soon as its copy is made, so the sample is never
// held twice over. The row positions are kept in 32 bits when the caller's
// frame has fewer than 2^31 rows.
void keep_rows(nb::object& sample, nb::handle mask);

// Stable order of the sample's rows by the identifier column `key`: the
// order of the per-observation outputs. Identifiers are re-coded monotonically
// after rows are removed, so this is the order a stable sort by the key
// before the removal leaves behind. None when that is the rows' own order.
nb::object output_order(nb::handle sample, nb::handle key);

// The caller's labels (`source_index`, the index of the caller's frame) of the
// sample's rows in `order` (None: sample order), an array several outputs can
// share, and a pandas Index "initial_index" over them (each output an Index
// object of its own, whose name the caller may change without touching the
// others).
nb::object output_labels(nb::handle source_index, nb::handle sample, nb::handle order);
nb::object labels_index(nb::handle labels);

// values flattened, taken in `order` (None: as they are).
nb::object in_output_order(nb::handle values, nb::handle order);

// Renumbers every identifier column 0..G-1 after rows were removed (stored
// as add_identifier_columns stores them) and
// returns the new N_FE (the sum of the group counts).
int64_t recode_identifiers(nb::object sample, nb::handle fenames);

// (order, panel) of codes 0..G-1, G = max + 1: the stable order of the rows
// by code and every group's first and last position (inclusive) in it, the
// layout of the backend's group pointers. Linear time.
nb::tuple code_ranges(nb::handle codes);

// The (2, k) group-pointer array of the identifier columns `fenames`, in the
// layout of grpkit.make_pointer, with stable counting-sort orders: the same
// groups and ranges, ties in row order. The columns are shared among
// `threads` threads; the result does not depend on their number.
nb::object group_pointers(nb::handle sample, nb::handle fenames, int threads = 1);

// Identifier column j again, from the group pointers group_pointers made of
// it: the same codes, stored as `like` (an array of the column's old dtype),
// written by `threads` threads.
nb::object codes_from_pointers(nb::handle panelmat, size_t j, nb::handle like, int threads = 1);

// Threads for the one-off steps of a call from its nt argument: nt itself
// when a positive int, every core otherwise (0 or None, or a value the
// partialling-out will reject).
int one_off_threads(nb::handle nt);

// The identifier columns as an N x k int64 C-contiguous array.
nb::object identifier_matrix(nb::handle sample, nb::handle fenames);

// The named columns as an N x m float64 C-contiguous (row-major) array.
nb::object float_matrix(nb::handle sample, nb::handle columns);

// pandas Series of `values` (flattened, one per sample row) on `index` (from
// labels_index), optionally named, the values taken in `order` (None: sample
// order). Without an order the Series uses `values` without a copy: pass
// arrays nothing changes later.
nb::object series_on_index(nb::handle values, nb::handle index, nb::handle name, nb::handle order);

}  // namespace korvald::common
