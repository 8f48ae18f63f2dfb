#include "core/row_positions.hpp"

namespace korvald::core {

int64_t kept_positions(const bool* mask, int64_t n, int64_t start, int64_t step, int32_t* out) {
  int64_t kept = 0;
  for (int64_t i = 0; i < n; ++i)
    if (mask[i]) out[kept++] = static_cast<int32_t>(start + step * i);
  return kept;
}

void gather_column(const double* source, SortOrder at, double divisor, int64_t n, double* out, int64_t out_stride) {
  for (int64_t i = 0; i < n; ++i) out[i * out_stride] = gathered(source, at, divisor, i);
}

}  // namespace korvald::core
