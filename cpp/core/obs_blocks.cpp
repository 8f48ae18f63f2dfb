#include "core/obs_blocks.hpp"

#include <algorithm>
#include <atomic>

namespace korvald::core {

namespace {
std::atomic<int64_t> g_min_block_rows{int64_t{1} << 16};
}

int64_t set_min_block_rows(int64_t rows) { return g_min_block_rows.exchange(std::max<int64_t>(rows, 1)); }
int64_t min_block_rows() { return g_min_block_rows.load(); }

ObsBlocks plan_obs_blocks(const GroupIndex& index) {
  ObsBlocks ob;
  const int64_t n = index.n;
  const int F = index.nfe;
  ob.start = {0, n};
  int64_t nblocks = std::min<int64_t>(kMaxBlocks, n / min_block_rows());
  if (nblocks < 2 || F == 0) return ob;

  // The finest fixed effect whose codes never decrease along the observations.
  for (int k = 0; k < F; ++k)
    if (index.is_ascending(k) && (ob.direct < 0 || index.groups(k) > index.groups(ob.direct))) ob.direct = k;

  ob.shift.assign(static_cast<size_t>(F), 0);
  int64_t len = 0;
  for (int k = 0; k < F; ++k) {
    if (k == ob.direct) continue;
    ob.shift[k] = index.offset[k] - len;
    len += index.groups(k);
  }
  ob.private_len = len;
  // Adding the block sums up must stay cheap next to a pass over the data,
  // and the accumulators small.
  if (len > 0) {
    nblocks = std::min(nblocks, n / (4 * len));
    nblocks = std::min<int64_t>(nblocks, kMaxPrivateBytes / (len * static_cast<int64_t>(sizeof(double))));
  }
  if (nblocks < 2) {
    ob = ObsBlocks();
    ob.start = {0, n};
    return ob;
  }
  ob.start.assign(1, 0);
  const uint32_t* codes = index.codes_nk.data();
  for (int64_t b = 1; b < nblocks; ++b) {
    int64_t at = std::max(b * n / nblocks, ob.start.back());
    if (ob.direct >= 0)
      while (at < n && at > 0 && codes[at * F + ob.direct] == codes[(at - 1) * F + ob.direct]) ++at;
    ob.start.push_back(at);
  }
  ob.start.push_back(n);
  return ob;
}

}  // namespace korvald::core
