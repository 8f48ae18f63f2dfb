// Group structure of the fixed effects as the kernels consume it.
//
// Callers describe a fixed effect by a sort order (a permutation of the
// observations that lists every group contiguously) and one (first, last)
// position range per group within that order, last INCLUSIVE; an empty group
// at position p is (p, p - 1). The kernels want the opposite view: for every
// observation, the number of its group. That view is rebuilt once per call
// (O(N) per fixed effect), so the hot loops stream over observations and only
// touch the small per-group arrays at random.
//
// Every index coming from a caller is checked here before anything is
// dereferenced through it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "core/large_pages.hpp"

namespace korvald::core {

// A sort order as callers store it: 32-bit positions where the row count
// allows (half the memory of the sample's largest index arrays), 64-bit
// otherwise. Exactly one pointer is set.
struct SortOrder {
  const int32_t* narrow = nullptr;
  const int64_t* wide = nullptr;

  SortOrder() = default;
  SortOrder(const int32_t* p) : narrow(p) {}
  SortOrder(const int64_t* p) : wide(p) {}
  int64_t operator[](int64_t p) const { return narrow ? narrow[p] : wide[p]; }
  bool empty() const { return !narrow && !wide; }
};

// One fixed effect as callers hand it over. `panel` is ngroups x 2 row-major.
struct GroupRanges {
  SortOrder order;                 // length n
  const int64_t* panel = nullptr;  // ngroups x 2
  int64_t ngroups = 0;
};

// Boundaries of up to `parts` runs of whole consecutive groups with about
// equal row counts (panel: ngroups x 2 ranges tiling 0..n-1): run r covers
// groups [bound[r], bound[r + 1]).
std::vector<int64_t> group_runs(const int64_t* panel, int64_t ngroups, int64_t n, int64_t parts);

enum class IndexCheck {
  ok,
  order_out_of_range,  // a sort-order entry outside [0, n)
  order_repeats,       // a sort-order entry appears twice (so it is no permutation)
  panel_out_of_range,  // a range reaching outside [0, n) or ending before start - 1
  panel_not_tiling,    // ranges that skip or overlap positions, or are out of group order
};

// Sort order must be a permutation of 0..n-1.
IndexCheck check_sort_order(SortOrder order, int64_t n);

// Ranges must lie in [0, n) and cover 0..n-1 exactly once, group after group.
IndexCheck check_group_ranges(const int64_t* panel, int64_t ngroups, int64_t n);

enum class FillCheck { ok, code_out_of_range, not_ascending };

// Fills the ranges of `ngroups` groups from the n group codes listed in
// ascending order. panel element (g, c) lives at panel[g * row_stride + c * col_stride].
// Nothing is written unless the codes pass the checks.
FillCheck fill_group_ranges(const int64_t* sorted_codes, int64_t code_stride, int64_t n, int64_t ngroups,
                            int64_t* panel, int64_t row_stride, int64_t col_stride);

// Per-observation group numbers of all fixed effects, interleaved so that one
// observation's codes share a cache line. Groups are numbered globally: group g
// of fixed effect k is offset[k] + g, so every per-group quantity of all
// fixed effects fits in one array of length offset.back().
// Leaves new elements uninitialised, so that whoever fills a large array
// first touches its pages (threads filling their own parts share the page
// faults, instead of one thread zeroing the whole array first); large arrays
// go on huge pages (large_pages.hpp).
template <class T>
struct UninitAllocator : LargePageAllocator<T> {
  template <class U>
  struct rebind {
    using other = UninitAllocator<U>;
  };
  UninitAllocator() = default;
  template <class U>
  UninitAllocator(const UninitAllocator<U>&) {}
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

struct GroupIndex {
  int64_t n = 0;
  int nfe = 0;
  std::vector<uint32_t, UninitAllocator<uint32_t>> codes_nk;  // n x nfe
  std::vector<int64_t> offset;     // nfe + 1
  // Per fixed effect, whether its codes never decrease along the
  // observations (filled by build_checked_group_index; empty: not known).
  std::vector<char> ascending;

  // Known to be ascending (an index built otherwise counts as not).
  bool is_ascending(int k) const { return static_cast<size_t>(k) < ascending.size() && ascending[k] != 0; }
  int64_t total_groups() const { return offset.empty() ? 0 : offset.back(); }
  int64_t groups(int k) const { return offset[k + 1] - offset[k]; }
};

// Largest total number of groups a GroupIndex can number.
constexpr int64_t kMaxTotalGroups = 4294967295LL;

// Builds the index and checks on the way that every sort order is a
// permutation (one random-access pass per fixed effect). Ranges must already
// have passed check_group_ranges, total groups <= kMaxTotalGroups. On failure,
// `failed` is the offending fixed effect and the index is unusable.
// `threads` threads share each fixed effect's groups in runs; the index and
// the outcome (the first failing effect, with the serial fill's verdict) do
// not depend on it.
IndexCheck build_checked_group_index(int64_t n, const std::vector<GroupRanges>& fixed_effects, GroupIndex& index,
                                     int& failed, int threads = 1);

// Each group's size read off its range, with no pass over the observations:
// out[index.offset[l] + g] = the rows of group g of fixed effect l (ranges:
// the ones `index` was built from, one per fixed effect).
void group_sizes_from_ranges(const GroupIndex& index, const std::vector<GroupRanges>& ranges, double* out);

}  // namespace korvald::core
