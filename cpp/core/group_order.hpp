// Group codes and sort orders of identifier columns in linear time.
//
// Identifier columns hold codes 0..G-1, so a counting sort gives a stable
// order (ties in row order) in O(N + G) instead of a comparison sort, and
// the group ranges fall out of the same counts. Integer keys whose range is
// not much wider than the sample are numbered through a table over that
// range instead of a hash table or a sort.
//
// Codes come as int32 or int64 (Code), the two widths identifier columns are
// stored in, so that a column is read as it is instead of through a widened
// copy of N values.
#pragma once

#include <cstdint>
#include <vector>

namespace korvald::core {

// order_n receives the row positions sorted by codes_n, ties in row order.
// Returns false (order_n untouched) when a code lies outside 0..n_groups-1.
template <typename Code>
bool stable_order_by_code(const Code* codes_n, int64_t n, int64_t n_groups, int64_t* order_n);

// As stable_order_by_code, and panel_g2 (n_groups x 2, row-major) receives
// every group's first and last position (inclusive) within order_n; an empty
// group at position p gets (p, p - 1).
template <typename Code, typename Position>
bool group_ranges_by_code(const Code* codes_n, int64_t n, int64_t n_groups, Position* order_n, int64_t* panel_g2);

// Largest code + 1 (0 for n == 0); -1 when some code is negative.
template <typename Code>
int64_t code_count(const Code* codes_n, int64_t n);

// Whether codes_n never decreases: then the stable order by code is the rows' own.
template <typename Code>
bool codes_ascending(const Code* codes_n, int64_t n);

// codes_n[i] = rank of keys_n[i] among the distinct keys, in ascending key
// order (what a sorted group-by numbers them). Returns the number of distinct
// keys, or -1 (codes_n untouched) when max - min + 1 exceeds max_span. With
// int32 codes, max_span must stay within the int32 range.
template <typename Code>
int64_t dense_codes(const int64_t* keys_n, int64_t n, int64_t max_span, Code* codes_n);

// Codes 0..n_groups-1 of which some may no longer occur: renumbers the
// occurring ones 0..G'-1, keeping their order, writing into out_n (may be
// codes_n itself). Returns G', or -1 when a code is out of range.
template <typename Code>
int64_t compact_codes(const Code* codes_n, int64_t n, int64_t n_groups, Code* out_n);

// The inverse of group_ranges_by_code: codes_n[order_n[p]] = g for every
// position p in group g's range (panel_g2 as group_ranges_by_code fills it).
// The order must be a permutation of 0..n-1 whose ranges tile it, as the
// group pointers this package builds are. `threads` share the groups.
template <typename Code, typename Position>
void codes_from_ranges(const Position* order_n, const int64_t* panel_g2, int64_t n_groups, Code* codes_n,
                       int threads = 1);

// One identifier column for group_ranges_of_columns: codes in one of the two
// widths, and where its order (n, in one of the two widths) and ranges
// (groups x 2) go.
struct CodeColumnRanges {
  const int32_t* codes32 = nullptr;  // exactly one of the two is set
  const int64_t* codes64 = nullptr;
  int64_t groups = 0;  // code_count of the column (set by count_codes_of_columns)
  int32_t* order32 = nullptr;  // exactly one of the two is set
  int64_t* order64 = nullptr;
  int64_t* panel = nullptr;
};

// code_count of every column, then (once the caller has made room for the
// ranges) group_ranges_by_code of every column, the columns shared among
// `threads` threads. Each column is done as on its own: the result does not
// depend on the thread count.
void count_codes_of_columns(std::vector<CodeColumnRanges>& columns, int64_t n, int threads);
void group_ranges_of_columns(std::vector<CodeColumnRanges>& columns, int64_t n, int threads);

}  // namespace korvald::core
