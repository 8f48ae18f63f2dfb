#include "core/group_order.hpp"

#include "core/group_index.hpp"
#include "core/task_team.hpp"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace korvald::core {

namespace {

// start_g[g] = first position of group g in the sorted order (n_groups + 1 entries).
template <typename Code>
bool group_starts(const Code* codes_n, int64_t n, int64_t n_groups, std::vector<int64_t>& start_g) {
  if (n_groups < 0) return false;
  start_g.assign(static_cast<size_t>(n_groups) + 1, 0);
  for (int64_t i = 0; i < n; ++i) {
    const int64_t g = codes_n[i];
    if (g < 0 || g >= n_groups) return false;
    ++start_g[static_cast<size_t>(g) + 1];
  }
  for (int64_t g = 0; g < n_groups; ++g) start_g[g + 1] += start_g[g];
  return true;
}

}  // namespace

template <typename Code>
bool stable_order_by_code(const Code* codes_n, int64_t n, int64_t n_groups, int64_t* order_n) {
  std::vector<int64_t> next_g;
  if (!group_starts(codes_n, n, n_groups, next_g)) return false;
  for (int64_t i = 0; i < n; ++i) order_n[next_g[codes_n[i]]++] = i;
  return true;
}

template <typename Code, typename Position>
bool group_ranges_by_code(const Code* codes_n, int64_t n, int64_t n_groups, Position* order_n, int64_t* panel_g2) {
  std::vector<int64_t> next_g;
  if (!group_starts(codes_n, n, n_groups, next_g)) return false;
  for (int64_t g = 0; g < n_groups; ++g) {
    panel_g2[2 * g] = next_g[g];
    panel_g2[2 * g + 1] = next_g[g + 1] - 1;
  }
  for (int64_t i = 0; i < n; ++i) order_n[next_g[codes_n[i]]++] = static_cast<Position>(i);
  return true;
}

template <typename Code, typename Position>
void codes_from_ranges(const Position* order_n, const int64_t* panel_g2, int64_t n_groups, Code* codes_n,
                       int threads) {
  auto fill = [&](int64_t g_lo, int64_t g_hi) {
    for (int64_t g = g_lo; g < g_hi; ++g)
      for (int64_t p = panel_g2[2 * g]; p <= panel_g2[2 * g + 1]; ++p) codes_n[order_n[p]] = static_cast<Code>(g);
  };
  const int64_t n = n_groups > 0 ? panel_g2[2 * n_groups - 1] + 1 : 0;
  if (threads <= 1 || n < (int64_t{1} << 16)) return fill(0, n_groups);
  // A permutation's positions are distinct rows, so the runs write disjoint codes.
  const std::vector<int64_t> bound = group_runs(panel_g2, n_groups, n, threads);
  run_on_threads(static_cast<int64_t>(bound.size()) - 1, threads, [&](int64_t r) { fill(bound[r], bound[r + 1]); });
}

template <typename Code>
int64_t code_count(const Code* codes_n, int64_t n) {
  int64_t lo = 0, hi = -1;
  for (int64_t i = 0; i < n; ++i) {
    const int64_t c = codes_n[i];
    lo = c < lo ? c : lo;
    hi = c > hi ? c : hi;
  }
  return lo < 0 ? -1 : hi + 1;
}

template <typename Code>
int64_t dense_codes(const int64_t* keys_n, int64_t n, int64_t max_span, Code* codes_n) {
  if (n == 0) return 0;
  int64_t lo = keys_n[0], hi = keys_n[0];
  for (int64_t i = 1; i < n; ++i) {
    lo = keys_n[i] < lo ? keys_n[i] : lo;
    hi = keys_n[i] > hi ? keys_n[i] : hi;
  }
  // The span in unsigned arithmetic: hi - lo overflows int64 for keys of both signs.
  const uint64_t span = static_cast<uint64_t>(hi) - static_cast<uint64_t>(lo) + 1;
  if (span == 0 || span > static_cast<uint64_t>(max_span)) return -1;
  std::vector<int64_t> rank(static_cast<size_t>(span), 0);
  for (int64_t i = 0; i < n; ++i) rank[static_cast<uint64_t>(keys_n[i]) - static_cast<uint64_t>(lo)] = 1;
  int64_t groups = 0;
  for (auto& r : rank) {
    const int64_t present = r;
    r = groups;
    groups += present;
  }
  for (int64_t i = 0; i < n; ++i)
    codes_n[i] = static_cast<Code>(rank[static_cast<uint64_t>(keys_n[i]) - static_cast<uint64_t>(lo)]);
  return groups;
}

template <typename Code>
int64_t compact_codes(const Code* codes_n, int64_t n, int64_t n_groups, Code* out_n) {
  if (n_groups < 0) return -1;
  std::vector<int64_t> rank(static_cast<size_t>(n_groups), 0);
  for (int64_t i = 0; i < n; ++i) {
    const int64_t g = codes_n[i];
    if (g < 0 || g >= n_groups) return -1;
    rank[g] = 1;
  }
  int64_t groups = 0;
  for (auto& r : rank) {
    const int64_t present = r;
    r = groups;
    groups += present;
  }
  for (int64_t i = 0; i < n; ++i) out_n[i] = static_cast<Code>(rank[codes_n[i]]);
  return groups;
}

template <typename Code>
bool codes_ascending(const Code* codes_n, int64_t n) {
  for (int64_t i = 1; i < n; ++i)
    if (codes_n[i] < codes_n[i - 1]) return false;
  return true;
}

namespace {

template <typename F>
void for_each_column(std::vector<CodeColumnRanges>& columns, int threads, const F& f) {
  run_on_threads(static_cast<int64_t>(columns.size()), threads, [&](int64_t k) {
    CodeColumnRanges& c = columns[static_cast<size_t>(k)];
    if (c.codes32)
      f(c, c.codes32);
    else
      f(c, c.codes64);
  });
}

}  // namespace

void count_codes_of_columns(std::vector<CodeColumnRanges>& columns, int64_t n, int threads) {
  for_each_column(columns, threads, [n](CodeColumnRanges& c, const auto* codes) { c.groups = code_count(codes, n); });
}

void group_ranges_of_columns(std::vector<CodeColumnRanges>& columns, int64_t n, int threads) {
  for_each_column(columns, threads, [n](CodeColumnRanges& c, const auto* codes) {
    if (c.order32)
      group_ranges_by_code(codes, n, c.groups, c.order32, c.panel);
    else
      group_ranges_by_code(codes, n, c.groups, c.order64, c.panel);
  });
}

#define KORVALD_GROUP_ORDER_FOR(Code)                                                                        \
  template bool stable_order_by_code<Code>(const Code*, int64_t, int64_t, int64_t*);                        \
  template bool group_ranges_by_code<Code, int32_t>(const Code*, int64_t, int64_t, int32_t*, int64_t*);   \
  template bool group_ranges_by_code<Code, int64_t>(const Code*, int64_t, int64_t, int64_t*, int64_t*);   \
  template void codes_from_ranges<Code, int32_t>(const int32_t*, const int64_t*, int64_t, Code*, int);      \
  template void codes_from_ranges<Code, int64_t>(const int64_t*, const int64_t*, int64_t, Code*, int);      \
  template int64_t code_count<Code>(const Code*, int64_t);                                                   \
  template bool codes_ascending<Code>(const Code*, int64_t);                                                 \
  template int64_t dense_codes<Code>(const int64_t*, int64_t, int64_t, Code*);                               \
  template int64_t compact_codes<Code>(const Code*, int64_t, int64_t, Code*);
KORVALD_GROUP_ORDER_FOR(int32_t)
KORVALD_GROUP_ORDER_FOR(int64_t)
#undef KORVALD_GROUP_ORDER_FOR

}  // namespace korvald::core
