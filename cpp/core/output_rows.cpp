#include "core/output_rows.hpp"

#include "core/task_team.hpp"

namespace korvald::core {

namespace {

template <RowCombine Op>
void combine_range(const double* a, const double* b, const int64_t* order, int64_t lo, int64_t hi, double* out) {
  for (int64_t j = lo; j < hi; ++j) {
    const int64_t r = order ? order[j] : j;
    if constexpr (Op == RowCombine::first)
      out[j] = a[r];
    else if constexpr (Op == RowCombine::difference)
      out[j] = a[r] - b[r];
    else
      out[j] = a[r] / b[r];
  }
}

}  // namespace

void combine_rows(const double* a, const double* b, RowCombine op, const int64_t* order, int64_t n, double* out,
                  int threads) {
  for_row_chunks(n, int64_t{1} << 18, threads, [&](int64_t lo, int64_t hi, int64_t) {
    switch (op) {
      case RowCombine::first:
        return combine_range<RowCombine::first>(a, b, order, lo, hi, out);
      case RowCombine::difference:
        return combine_range<RowCombine::difference>(a, b, order, lo, hi, out);
      case RowCombine::ratio:
        return combine_range<RowCombine::ratio>(a, b, order, lo, hi, out);
    }
  });
}

}  // namespace korvald::core
