#include "core/group_order.hpp"

#include <cstddef>
#include <vector>

namespace korvald::core {

bool stable_order_by_code(const int64_t* codes_n, int64_t n, int64_t n_groups, int64_t* order_n) {
  if (n_groups < 0) return false;
  std::vector<int64_t> start_g(static_cast<size_t>(n_groups) + 1, 0);
  for (int64_t i = 0; i < n; ++i) {
    const int64_t g = codes_n[i];
    if (g < 0 || g >= n_groups) return false;
    ++start_g[static_cast<size_t>(g) + 1];
  }
  for (int64_t g = 0; g < n_groups; ++g) start_g[g + 1] += start_g[g];
  for (int64_t i = 0; i < n; ++i) order_n[start_g[codes_n[i]]++] = i;
  return true;
}

}  // namespace korvald::core
