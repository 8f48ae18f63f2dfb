#include "core/group_index.hpp"

#include <algorithm>
#include <climits>

#include "core/task_team.hpp"

namespace korvald::core {

std::vector<int64_t> group_runs(const int64_t* panel, int64_t ngroups, int64_t n, int64_t parts) {
  std::vector<int64_t> bound{0};
  for (int64_t g = 0, r = 1; g < ngroups && r < parts; ++g)
    if (panel[2 * g + 1] + 1 >= r * n / parts) {
      bound.push_back(g + 1);
      ++r;
    }
  bound.push_back(ngroups);
  return bound;
}

void group_sizes_from_ranges(const GroupIndex& index, const std::vector<GroupRanges>& ranges, double* out) {
  for (size_t l = 0; l < ranges.size(); ++l) {
    const int64_t* panel = ranges[l].panel;
    for (int64_t g = 0; g < ranges[l].ngroups; ++g)
      out[index.offset[l] + g] = static_cast<double>(panel[2 * g + 1] - panel[2 * g] + 1);
  }
}

IndexCheck check_sort_order(SortOrder order, int64_t n) {
  std::vector<uint8_t> seen(static_cast<size_t>(n), 0);
  for (int64_t p = 0; p < n; ++p) {
    const int64_t i = order[p];
    if (i < 0 || i >= n) return IndexCheck::order_out_of_range;
    if (seen[i]) return IndexCheck::order_repeats;
    seen[i] = 1;
  }
  return IndexCheck::ok;
}

IndexCheck check_group_ranges(const int64_t* panel, int64_t ngroups, int64_t n) {
  // First pass: each range on its own; second: that they tile 0..n-1 in order.
  // Keeping the two apart gives "out of range" priority in the message.
  for (int64_t g = 0; g < ngroups; ++g) {
    const int64_t first = panel[2 * g], last = panel[2 * g + 1];
    if (first < 0 || first > n || last < -1 || last >= n || last < first - 1) return IndexCheck::panel_out_of_range;
  }
  int64_t next = 0;
  for (int64_t g = 0; g < ngroups; ++g) {
    if (panel[2 * g] != next) return IndexCheck::panel_not_tiling;
    next = panel[2 * g + 1] + 1;
  }
  return next == n ? IndexCheck::ok : IndexCheck::panel_not_tiling;
}

FillCheck fill_group_ranges(const int64_t* sorted_codes, int64_t code_stride, int64_t n, int64_t ngroups,
                            int64_t* panel, int64_t row_stride, int64_t col_stride) {
  int64_t previous = 0;
  for (int64_t p = 0; p < n; ++p) {
    const int64_t c = sorted_codes[p * code_stride];
    if (c < 0 || c >= ngroups) return FillCheck::code_out_of_range;
    if (c < previous) return FillCheck::not_ascending;
    previous = c;
  }
  // Walk groups and positions together; groups without observations get
  // (p, p - 1) at the position where they would start.
  int64_t p = 0;
  for (int64_t g = 0; g < ngroups; ++g) {
    const int64_t first = p;
    while (p < n && sorted_codes[p * code_stride] == g) ++p;
    panel[g * row_stride] = first;
    panel[g * row_stride + col_stride] = p - 1;
  }
  return FillCheck::ok;
}

namespace {

constexpr uint32_t kUnset = 0xFFFFFFFFu;  // above any group number (kMaxTotalGroups - 1)

// Fixed effect k's column of the index, and whether its codes never
// decrease along the observations; stops at the first bad order entry.
IndexCheck fill_codes(int64_t n, const GroupRanges& fe, int64_t k, GroupIndex& index) {
  const int64_t nfe = index.nfe;
  uint32_t* codes = index.codes_nk.data() + k;
  // The codes never decrease along the observations when every group's
  // rows all come after those of the groups before it.
  bool ascending = true;
  int64_t before_max = -1;
  // The ranges tile 0..n-1, so n distinct in-range entries make a permutation.
  for (int64_t g = 0; g < fe.ngroups; ++g) {
    const uint32_t global = static_cast<uint32_t>(index.offset[k] + g);
    int64_t group_max = before_max;
    for (int64_t p = fe.panel[2 * g]; p <= fe.panel[2 * g + 1]; ++p) {
      const int64_t i = fe.order[p];
      if (i < 0 || i >= n) return IndexCheck::order_out_of_range;
      uint32_t& slot = codes[i * nfe];
      if (slot != kUnset) return IndexCheck::order_repeats;
      slot = global;
      ascending = ascending && i > before_max;
      group_max = std::max(group_max, i);
    }
    before_max = group_max;
  }
  index.ascending[k] = ascending ? 1 : 0;
  return IndexCheck::ok;
}

// The same fill split across a team: each fixed effect's groups go in
// `parts` runs of about equal row counts. A run stores its codes without
// reading the slots first; since the ranges tile 0..n-1, n in-range entries
// that leave no slot unset form a permutation, which one scan afterwards
// checks. A fixed effect that fails either check is filled again by
// fill_codes, so the outcome reported is exactly the serial one.
struct RunOutcome {
  bool in_range = true;
  bool ascending = true;     // within the run
  int64_t min_row = INT64_MAX;
  int64_t max_row = -1;
};

RunOutcome fill_run(int64_t n, const GroupRanges& fe, int64_t k, int64_t g_lo, int64_t g_hi, GroupIndex& index) {
  const int64_t nfe = index.nfe;
  uint32_t* codes = index.codes_nk.data() + k;
  RunOutcome out;
  int64_t before_max = -1;
  for (int64_t g = g_lo; g < g_hi; ++g) {
    const uint32_t global = static_cast<uint32_t>(index.offset[k] + g);
    int64_t group_max = before_max;
    for (int64_t p = fe.panel[2 * g]; p <= fe.panel[2 * g + 1]; ++p) {
      const int64_t i = fe.order[p];
      if (i < 0 || i >= n) {
        out.in_range = false;
        return out;
      }
      // Relaxed atomic: a repeated entry may meet another run's store.
      __atomic_store_n(codes + i * nfe, global, __ATOMIC_RELAXED);
      out.ascending = out.ascending && i > before_max;
      group_max = std::max(group_max, i);
      out.min_row = std::min(out.min_row, i);
    }
    before_max = group_max;
  }
  out.max_row = before_max;
  return out;
}

void fill_all_codes(int64_t n, const std::vector<GroupRanges>& fixed_effects, GroupIndex& index,
                    std::vector<IndexCheck>& checks, TaskTeam& team) {
  const int64_t nfe = index.nfe;
  const int64_t parts = team.size();
  // Run r of fixed effect k covers groups [bound[k][r], bound[k][r + 1]).
  std::vector<std::vector<int64_t>> bound;
  for (const GroupRanges& fe : fixed_effects) bound.push_back(group_runs(fe.panel, fe.ngroups, n, parts));
  std::vector<std::pair<int64_t, int64_t>> tasks;  // (k, run)
  for (int64_t k = 0; k < nfe; ++k)
    for (size_t r = 0; r + 1 < bound[k].size(); ++r) tasks.emplace_back(k, static_cast<int64_t>(r));
  std::vector<RunOutcome> runs(tasks.size());
  team.run(static_cast<int64_t>(tasks.size()), [&](int64_t t) {
    const auto [k, r] = tasks[t];
    runs[t] = fill_run(n, fixed_effects[k], k, bound[k][r], bound[k][r + 1], index);
  });
  // Any slot still unset: some entry repeats (or a range was left out).
  // kUnset is the largest uint32, so a chunk's largest cell tells whether it
  // has one; only then are its columns told apart.
  constexpr int64_t kRows = int64_t{1} << 18;
  const int64_t row_chunks = (n + kRows - 1) / kRows;
  std::vector<uint8_t> unset(static_cast<size_t>(row_chunks * nfe), 0);
  team.run(row_chunks, [&](int64_t c) {
    const int64_t i0 = c * kRows, i1 = std::min(n, (c + 1) * kRows);
    const uint32_t* cells = index.codes_nk.data() + i0 * nfe;
    const int64_t count = (i1 - i0) * nfe;
    uint32_t largest = 0;
    for (int64_t e = 0; e < count; ++e) largest = std::max(largest, cells[e]);
    if (largest != kUnset) return;
    for (int64_t e = 0; e < count; ++e)
      if (cells[e] == kUnset) unset[c * nfe + e % nfe] = 1;
  });
  for (int64_t k = 0; k < nfe; ++k) {
    bool ok = true, ascending = true;
    int64_t max_before = -1;
    for (size_t t = 0; t < tasks.size(); ++t) {
      if (tasks[t].first != k) continue;
      const RunOutcome& run = runs[t];
      ok = ok && run.in_range;
      ascending = ascending && run.ascending && (run.min_row == INT64_MAX || run.min_row > max_before);
      max_before = std::max(max_before, run.max_row);
    }
    for (int64_t c = 0; c < row_chunks && ok; ++c) ok = !unset[c * nfe + k];
    if (ok) {
      index.ascending[k] = ascending ? 1 : 0;
      continue;
    }
    uint32_t* codes = index.codes_nk.data() + k;
    for (int64_t i = 0; i < n; ++i) codes[i * nfe] = kUnset;
    checks[k] = fill_codes(n, fixed_effects[k], k, index);
  }
}

}  // namespace

IndexCheck build_checked_group_index(int64_t n, const std::vector<GroupRanges>& fixed_effects, GroupIndex& index,
                                     int& failed, int threads) {
  index.n = n;
  index.nfe = static_cast<int>(fixed_effects.size());
  index.offset.assign(fixed_effects.size() + 1, 0);
  for (size_t k = 0; k < fixed_effects.size(); ++k)
    index.offset[k + 1] = index.offset[k] + fixed_effects[k].ngroups;
  const int64_t nfe = index.nfe;
  const size_t cells = static_cast<size_t>(n) * static_cast<size_t>(nfe);
  index.codes_nk.resize(cells);  // uninitialised: marked unset below
  index.ascending.assign(static_cast<size_t>(nfe), 0);
  // Each fixed effect writes its own column of the index and has its own
  // verdict; the first failing one is reported, as the serial loop would.
  std::vector<IndexCheck> checks(static_cast<size_t>(nfe), IndexCheck::ok);
  auto fill = [&](int64_t k) { checks[k] = fill_codes(n, fixed_effects[k], k, index); };
  constexpr size_t kChunk = size_t{1} << 20;
  const int64_t chunks = static_cast<int64_t>((cells + kChunk - 1) / kChunk);
  auto mark_unset = [&](int64_t c) {
    uint32_t* first = index.codes_nk.data() + static_cast<size_t>(c) * kChunk;
    std::fill(first, first + std::min(kChunk, cells - static_cast<size_t>(c) * kChunk), kUnset);
  };
  if (threads > 1) {
    TaskTeam team(threads);
    team.run(chunks, mark_unset);
    fill_all_codes(n, fixed_effects, index, checks, team);
  } else {
    for (int64_t c = 0; c < chunks; ++c) mark_unset(c);
    for (int64_t k = 0; k < nfe; ++k) {
      fill(k);
      if (checks[k] != IndexCheck::ok) break;
    }
  }
  for (int64_t k = 0; k < nfe; ++k)
    if (checks[k] != IndexCheck::ok) {
      failed = static_cast<int>(k);
      return checks[k];
    }
  failed = -1;
  return IndexCheck::ok;
}

}  // namespace korvald::core
