#include "core/singletons.hpp"

#include <algorithm>

namespace korvald::core {

void drop_uninformative(const GroupIndex& index, const std::vector<GroupRanges>& ranges, const double* y,
                        DropRule rule, uint8_t* keep, const double* counts) {
  const int64_t n = index.n;
  const int F = index.nfe;
  const int64_t T = index.total_groups();
  const uint32_t* codes = index.codes_nk.data();
  const bool zero_rule = rule == DropRule::singletons_and_zero_groups;

  // Member totals are whole numbers, exact in a double up to 2^53.
  LargeVector<double> members(static_cast<size_t>(T), 0.0);
  auto count_of = [counts](int64_t i) { return counts ? counts[i] : 1.0; };
  LargeVector<int64_t> nonzero(zero_rule ? static_cast<size_t>(T) : 0, 0);
  // Every observation counting once from a full sample: a group's members
  // are its range's length, with no pass over the observations.
  const bool from_ranges = !zero_rule && !counts && static_cast<int>(ranges.size()) == F &&
                           std::all_of(keep, keep + n, [](uint8_t k) { return k != 0; });
  if (from_ranges) {
    group_sizes_from_ranges(index, ranges, members.data());
  } else {
    for (int64_t i = 0; i < n; ++i) {
      if (!keep[i]) continue;
      for (int l = 0; l < F; ++l) {
        members[codes[i * F + l]] += count_of(i);
        if (zero_rule && y[i] != 0.0) ++nonzero[codes[i * F + l]];
      }
    }
  }
  auto removable = [&](int64_t t) {
    return members[t] == 1.0 || (zero_rule && members[t] > 0 && nonzero[t] == 0);
  };

  std::vector<int64_t> pending;  // global group numbers to examine
  for (int64_t t = 0; t < T; ++t)
    if (removable(t)) pending.push_back(t);

  // Global group number -> (fixed effect, local group).
  auto locate = [&](int64_t t, int& k, int64_t& g) {
    k = 0;
    while (t >= index.offset[k + 1]) ++k;
    g = t - index.offset[k];
  };

  while (!pending.empty()) {
    const int64_t t = pending.back();
    pending.pop_back();
    if (!removable(t)) continue;  // already emptied through another group
    int k;
    int64_t g;
    locate(t, k, g);
    const GroupRanges& fe = ranges[k];
    for (int64_t p = fe.panel[2 * g]; p <= fe.panel[2 * g + 1]; ++p) {
      const int64_t i = fe.order[p];
      if (!keep[i]) continue;
      keep[i] = 0;
      for (int l = 0; l < F; ++l) {
        const int64_t h = codes[i * F + l];
        members[h] -= count_of(i);
        if (zero_rule && y[i] != 0.0) --nonzero[h];
        if (h != t && removable(h)) pending.push_back(h);
      }
    }
  }
}

}  // namespace korvald::core
