// A fixed split of the observations into blocks, so that one column's passes
// can run on several threads and still give the same bits for every thread
// count.
//
// Every block accumulates its group sums on its own, starting from zero, in
// observation order; the block sums are then added into the shared sums
// block after block. That order depends only on the data (the number of
// blocks and their bounds are chosen from n and the group counts, never from
// the thread count), so a thread count only changes who computes a block.
//
// Accumulating privately costs memory per block, so one fixed effect whose
// groups are contiguous in observation order (the estimators sort the sample
// by the finest one) is accumulated in place instead: the block bounds are
// moved to its group starts, so every one of its groups lies in one block and
// is summed in observation order without any private copy. Only the other
// fixed effects (firms, years: few groups) get private accumulators.
#pragma once

#include <cstdint>
#include <vector>

#include "core/group_index.hpp"

namespace korvald::core {

struct ObsBlocks {
  std::vector<int64_t> start;  // block b holds observations [start[b], start[b + 1])
  int direct = -1;             // fixed effect accumulated in place (-1: none)
  // Private accumulators: global group t of fixed effect k != direct sits at
  // slot t - shift[k] of a block's accumulator of length private_len.
  std::vector<int64_t> shift;
  int64_t private_len = 0;

  int64_t count() const { return static_cast<int64_t>(start.size()) - 1; }
  // One block: everything is accumulated in place, as a plain loop would.
  bool single() const { return count() <= 1; }
  bool in_place(int k) const { return single() || k == direct; }
};

// Blocks hold at least min_block_rows() observations (at most kMaxBlocks
// blocks), and all blocks' private accumulators together at most
// kMaxPrivateBytes.
constexpr int64_t kMaxBlocks = 16;
constexpr int64_t kMaxPrivateBytes = int64_t{64} << 20;
ObsBlocks plan_obs_blocks(const GroupIndex& index);

// Smallest block; default 65536 observations. Lowering it lets small data
// exercise the blocked code (tests). Returns the previous value.
int64_t set_min_block_rows(int64_t rows);
int64_t min_block_rows();

}  // namespace korvald::core
