#include "core/reduced_system.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <new>
#include <utility>

#ifdef _OPENMP
#include <omp.h>
#endif

namespace korvald::core {

namespace {

// Rows of S are assembled in fixed chunks (at most this many rows), so the
// output does not depend on how chunks are spread over threads.
constexpr int64_t kRowsPerChunk = 1024;

struct RowChunk {
  std::vector<int64_t> row_len;
  std::vector<int32_t> col;
  std::vector<double> val;
};

int team_size(int threads) {
#ifdef _OPENMP
  return std::max(1, threads > 0 ? threads : omp_get_max_threads());
#else
  (void)threads;
  return 1;
#endif
}

// B: walk the pivot's sort order; within a pivot group, repeated other groups
// are merged through a marker and the row is sorted by column. Fixed chunks
// of pivot groups run in parallel and are joined in order, so B does not
// depend on the thread count. The pivot group weights are summed on the way
// (the other groups' weights follow from B's columns).
void build_pivot_cross_tab(const GroupIndex& index, const GroupRanges& pr, const double* weights, int threads,
                           ReducedSystem& rs) {
  const int F = index.nfe;
  const int R = static_cast<int>(rs.others.size());
  const uint32_t* codes = index.codes_nk.data();
  const int64_t Gp = pr.ngroups;
  constexpr int64_t kGroupsPerChunk = 8192;
  const int64_t nchunks = (Gp + kGroupsPerChunk - 1) / kGroupsPerChunk;
  rs.w_pivot.assign(static_cast<size_t>(Gp), 0.0);
  rs.b_row.assign(static_cast<size_t>(Gp + 1), 0);
  std::vector<std::vector<uint32_t>> chunk_col(static_cast<size_t>(nchunks));
  std::vector<std::vector<double>> chunk_val(static_cast<size_t>(nchunks));
  bool out_of_memory = false;
#pragma omp parallel num_threads(team_size(threads))
  {
    std::vector<int64_t> marker(static_cast<size_t>(rs.nr), -1), slot(static_cast<size_t>(rs.nr), 0);
    std::vector<std::pair<uint32_t, double>> row;
#pragma omp for schedule(dynamic, 1)
    for (int64_t c = 0; c < nchunks; ++c) {
      try {
        std::vector<uint32_t>& col = chunk_col[c];
        std::vector<double>& val = chunk_val[c];
        const int64_t hi = std::min(Gp, (c + 1) * kGroupsPerChunk);
        for (int64_t g = c * kGroupsPerChunk; g < hi; ++g) {
          row.clear();
          double wg = 0.0;
          for (int64_t p = pr.panel[2 * g]; p <= pr.panel[2 * g + 1]; ++p) {
            const int64_t i = pr.order[p];
            const uint32_t* cd = codes + i * F;
            const double wi = weights ? weights[i] : 1.0;
            wg += wi;
            for (int k = 0; k < R; ++k) {
              const int64_t a = rs.local(k, cd[rs.others[k]], index);
              if (marker[a] != g) {
                marker[a] = g;
                slot[a] = static_cast<int64_t>(row.size());
                row.emplace_back(static_cast<uint32_t>(a), wi);
              } else {
                row[slot[a]].second += wi;
              }
            }
          }
          rs.w_pivot[g] = wg;
          std::sort(row.begin(), row.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
          for (const auto& [a, v] : row) {
            col.push_back(a);
            val.push_back(v);
          }
          rs.b_row[g + 1] = static_cast<int64_t>(row.size());
        }
      } catch (const std::bad_alloc&) {
#pragma omp atomic write
        out_of_memory = true;
      }
    }
  }
  if (out_of_memory) throw std::bad_alloc();
  for (int64_t g = 0; g < Gp; ++g) rs.b_row[g + 1] += rs.b_row[g];
  rs.b_col.resize(static_cast<size_t>(rs.b_row[Gp]));
  rs.b_val.resize(static_cast<size_t>(rs.b_row[Gp]));
#pragma omp parallel for num_threads(team_size(threads)) schedule(dynamic, 1)
  for (int64_t c = 0; c < nchunks; ++c) {
    const int64_t at = rs.b_row[c * kGroupsPerChunk];
    std::copy(chunk_col[c].begin(), chunk_col[c].end(), rs.b_col.begin() + at);
    std::copy(chunk_val[c].begin(), chunk_val[c].end(), rs.b_val.begin() + at);
    std::vector<uint32_t>().swap(chunk_col[c]);
    std::vector<double>().swap(chunk_val[c]);
  }
}

// C: for every group of every other fixed effect, the groups of the remaining
// other fixed effects its observations fall into, with their total weight.
// A pair of fixed effects whose full cross-table is no larger than the data
// (firm x year) is tabulated densely in one stream over the observations;
// other pairs by walking the first one's sort order.
void build_other_cross_tab(const GroupIndex& index, const std::vector<GroupRanges>& ranges, const double* weights,
                           ReducedSystem& rs) {
  const int F = index.nfe;
  const int R = static_cast<int>(rs.others.size());
  const uint32_t* codes = index.codes_nk.data();
  rs.c_row.assign(static_cast<size_t>(rs.nr + 1), 0);
  rs.c_col.clear();
  rs.c_val.clear();
  if (R < 2) return;
  const int64_t dense_limit = std::max<int64_t>(index.n, int64_t{1} << 20);
  // table[k * R + l] (k < l): G_k x G_l cells, empty when the pair is walked.
  std::vector<std::vector<double>> table(static_cast<size_t>(R * R));
  for (int k = 0; k < R; ++k)
    for (int l = k + 1; l < R; ++l) {
      const int64_t Gk = index.groups(rs.others[k]), Gl = index.groups(rs.others[l]);
      if (Gk * Gl > dense_limit) continue;
      std::vector<double>& t = table[k * R + l];
      t.assign(static_cast<size_t>(Gk * Gl), 0.0);
      const uint32_t bk = static_cast<uint32_t>(index.offset[rs.others[k]]);
      const uint32_t bl = static_cast<uint32_t>(index.offset[rs.others[l]]);
      for (int64_t i = 0; i < index.n; ++i) {
        const uint32_t* c = codes + i * F;
        t[static_cast<int64_t>(c[rs.others[k]] - bk) * Gl + (c[rs.others[l]] - bl)] += weights ? weights[i] : 1.0;
      }
    }
  std::vector<int64_t> marker(static_cast<size_t>(rs.nr), -1), slot(static_cast<size_t>(rs.nr), 0);
  for (int k = 0; k < R; ++k) {
    const GroupRanges& gr = ranges[rs.others[k]];
    const int64_t Gk = gr.ngroups;
    bool walk = false;
    for (int l = 0; l < R; ++l)
      if (l != k && table[std::min(k, l) * R + std::max(k, l)].empty()) walk = true;
    for (int64_t g = 0; g < Gk; ++g) {
      const int64_t a = rs.block[k] + g;
      rs.c_row[a] = static_cast<int64_t>(rs.c_col.size());
      for (int l = 0; l < R; ++l) {
        if (l == k) continue;
        const std::vector<double>& t = table[std::min(k, l) * R + std::max(k, l)];
        if (t.empty()) continue;
        const int64_t Gl = rs.block[l + 1] - rs.block[l];
        for (int64_t h = 0; h < Gl; ++h) {
          const double v = k < l ? t[g * Gl + h] : t[h * Gk + g];
          if (v != 0.0) {
            rs.c_col.push_back(static_cast<uint32_t>(rs.block[l] + h));
            rs.c_val.push_back(v);
          }
        }
      }
      if (!walk) continue;
      for (int64_t p = gr.panel[2 * g]; p <= gr.panel[2 * g + 1]; ++p) {
        const int64_t i = gr.order[p];
        const uint32_t* c = codes + i * F;
        const double wi = weights ? weights[i] : 1.0;
        for (int l = 0; l < R; ++l) {
          if (l == k || !table[std::min(k, l) * R + std::max(k, l)].empty()) continue;
          const int64_t b = rs.local(l, c[rs.others[l]], index);
          if (marker[b] != a) {
            marker[b] = a;
            slot[b] = static_cast<int64_t>(rs.c_col.size());
            rs.c_col.push_back(static_cast<uint32_t>(b));
            rs.c_val.push_back(wi);
          } else {
            rs.c_val[slot[b]] += wi;
          }
        }
      }
    }
  }
  rs.c_row[rs.nr] = static_cast<int64_t>(rs.c_col.size());
}

// Non-zeros of S extrapolated from a few evenly spaced rows, straight from
// the sort orders: row a's pattern is every group met by a pivot group that
// meets a. Lets a dense S be turned down before anything is built. Sampling
// stops early once it has cost about a pass over the data (rows of small
// fixed effects are long).
double sampled_nonzeros(const GroupIndex& index, const std::vector<GroupRanges>& ranges, const ReducedSystem& rs,
                        int64_t samples) {
  const int64_t max_work = index.n;
  int64_t work = 0, taken = 0;
  const int F = index.nfe;
  const int R = static_cast<int>(rs.others.size());
  const uint32_t* codes = index.codes_nk.data();
  const GroupRanges& pr = ranges[rs.pivot];
  const uint32_t pivot_base = static_cast<uint32_t>(index.offset[rs.pivot]);
  samples = std::min(samples, rs.nr);
  std::vector<int64_t> marker(static_cast<size_t>(rs.nr), -1);
  double total = 0.0;
  for (int64_t s = 0; s < samples && (s == 0 || work < max_work); ++s) {
    const int64_t a = (2 * s + 1) * rs.nr / (2 * samples);
    ++taken;
    int k = 0;
    while (rs.block[k + 1] <= a) ++k;
    const GroupRanges& gr = ranges[rs.others[k]];
    const int64_t g = a - rs.block[k];
    int64_t count = 0;
    for (int64_t p = gr.panel[2 * g]; p <= gr.panel[2 * g + 1]; ++p) {
      const int64_t gp = codes[gr.order[p] * F + rs.pivot] - pivot_base;
      work += pr.panel[2 * gp + 1] - pr.panel[2 * gp] + 1;
      for (int64_t q = pr.panel[2 * gp]; q <= pr.panel[2 * gp + 1]; ++q) {
        const uint32_t* c = codes + pr.order[q] * F;
        for (int l = 0; l < R; ++l) {
          const int64_t b = rs.local(l, c[rs.others[l]], index);
          if (marker[b] != a) {
            marker[b] = a;
            ++count;
          }
        }
      }
    }
    total += static_cast<double>(count);
  }
  return taken > 0 ? total / static_cast<double>(taken) * static_cast<double>(rs.nr) : 0.0;
}

// Row a of S into `chunk`: diag(W_R) + C - B' W_p^-1 B, gathered in a dense
// accumulator and emitted with ascending columns.
struct RowAssembler {
  const ReducedSystem& rs;
  const std::vector<int64_t>& bt_row;
  const std::vector<uint32_t>& bt_g;
  const std::vector<double>& bt_val;
  std::vector<double> acc;
  std::vector<int64_t> mark;
  std::vector<int32_t> touched;

  RowAssembler(const ReducedSystem& system, const std::vector<int64_t>& row, const std::vector<uint32_t>& g,
               const std::vector<double>& val)
      : rs(system), bt_row(row), bt_g(g), bt_val(val), acc(static_cast<size_t>(system.nr), 0.0),
        mark(static_cast<size_t>(system.nr), -1) {}

  void add(int64_t a, int64_t b, double v) {
    if (mark[b] != a) {
      mark[b] = a;
      acc[b] = 0.0;
      touched.push_back(static_cast<int32_t>(b));
    }
    acc[b] += v;
  }

  // Columns b >= a only (S is symmetric); B's rows are sorted, so each
  // pivot group's share starts at a binary search.
  void row(int64_t a, RowChunk& chunk) {
    touched.clear();
    add(a, a, rs.w_r[a]);
    for (int64_t e = rs.c_row[a]; e < rs.c_row[a + 1]; ++e)
      if (rs.c_col[e] > a) add(a, rs.c_col[e], rs.c_val[e]);
    const uint32_t* cols = rs.b_col.data();
    for (int64_t e = bt_row[a]; e < bt_row[a + 1]; ++e) {
      const uint32_t g = bt_g[e];
      const double t = bt_val[e] * rs.inv_w_pivot[g];
      const int64_t end = rs.b_row[g + 1];
      const int64_t from = std::lower_bound(cols + rs.b_row[g], cols + end, static_cast<uint32_t>(a)) - cols;
      for (int64_t f = from; f < end; ++f) add(a, cols[f], -t * rs.b_val[f]);
    }
    std::sort(touched.begin(), touched.end());
    chunk.row_len.push_back(static_cast<int64_t>(touched.size()));
    for (const int32_t b : touched) {
      chunk.col.push_back(b);
      chunk.val.push_back(acc[b]);
    }
  }
};

// Connected parts of the panel through positive weights (union-find over the
// groups linked by a pivot group), then the first group of every other fixed
// effect in every part.
void pin_groups(ReducedSystem& rs) {
  std::vector<int64_t> parent(static_cast<size_t>(rs.nr));
  for (int64_t a = 0; a < rs.nr; ++a) parent[a] = a;
  auto find = [&](int64_t a) {
    while (parent[a] != a) {
      parent[a] = parent[parent[a]];
      a = parent[a];
    }
    return a;
  };
  const int64_t Gp = static_cast<int64_t>(rs.w_pivot.size());
  for (int64_t g = 0; g < Gp; ++g) {
    int64_t first = -1;
    for (int64_t e = rs.b_row[g]; e < rs.b_row[g + 1]; ++e) {
      if (!(rs.b_val[e] > 0)) continue;
      const int64_t a = find(rs.b_col[e]);
      if (first < 0) {
        first = a;
      } else if (a != first) {
        // The smaller root wins, so the result does not depend on visiting order.
        const int64_t lo = std::min(a, first), hi = std::max(a, first);
        parent[hi] = lo;
        first = lo;
      }
    }
  }
  rs.pinned.clear();
  const int R = static_cast<int>(rs.others.size());
  std::vector<int64_t> seen(static_cast<size_t>(rs.nr), -1);  // per root: last fixed effect pinned
  for (int k = 0; k < R; ++k)
    for (int64_t a = rs.block[k]; a < rs.block[k + 1]; ++a) {
      if (!(rs.w_r[a] > 0)) continue;
      const int64_t root = find(a);
      if (seen[root] != k) {
        seen[root] = k;
        rs.pinned.push_back(a);
      }
    }
}

}  // namespace

ReducedBuild build_reduced_system(const GroupIndex& index, const std::vector<GroupRanges>& ranges,
                                  const double* weights, int64_t max_nonzeros, double max_density, int threads,
                                  Interrupt* interrupt, ReducedSystem& rs) {
  const int F = index.nfe;
  rs.pivot = 0;
  for (int k = 1; k < F; ++k)
    if (index.groups(k) > index.groups(rs.pivot)) rs.pivot = k;
  rs.others.clear();
  rs.block.assign(1, 0);
  for (int k = 0; k < F; ++k) {
    if (k == rs.pivot) continue;
    rs.others.push_back(k);
    rs.block.push_back(rs.block.back() + index.groups(k));
  }
  rs.nr = rs.block.back();
  // S's column indices are 32-bit (SciPy's sparse index type).
  if (rs.nr >= (int64_t{1} << 31)) return ReducedBuild::too_dense;
  // Too large, or so dense that the panel is well connected: the sweeps then
  // converge in a few steps, cheaper than assembling S.
  const double estimate = sampled_nonzeros(index, ranges, rs, 128);
  if (estimate > 2.0 * static_cast<double>(max_nonzeros) ||
      estimate > max_density * static_cast<double>(rs.nr) * static_cast<double>(rs.nr))
    return ReducedBuild::too_dense;
  interrupt_poll(interrupt);

  build_pivot_cross_tab(index, ranges[rs.pivot], weights, threads, rs);
  interrupt_poll(interrupt);
  build_other_cross_tab(index, ranges, weights, rs);
  interrupt_poll(interrupt);
  const int64_t Gp = ranges[rs.pivot].ngroups;
  rs.inv_w_pivot.resize(static_cast<size_t>(Gp));
  for (int64_t g = 0; g < Gp; ++g) rs.inv_w_pivot[g] = rs.w_pivot[g] > 0 ? 1.0 / rs.w_pivot[g] : 0.0;

  // B transposed (counting sort, pivot groups ascending within each row).
  std::vector<int64_t> bt_row(static_cast<size_t>(rs.nr + 1), 0);
  for (const uint32_t a : rs.b_col) ++bt_row[a + 1];
  for (int64_t a = 0; a < rs.nr; ++a) bt_row[a + 1] += bt_row[a];
  std::vector<uint32_t> bt_g(rs.b_col.size());
  std::vector<double> bt_val(rs.b_col.size());
  {
    // Each thread fills the rows of its own range, so every row still lists
    // its pivot groups in ascending order.
    std::vector<int64_t> next(bt_row.begin(), bt_row.end() - 1);
    const int parts = std::min(team_size(threads), 8);
#pragma omp parallel for num_threads(parts) schedule(static, 1)
    for (int part = 0; part < parts; ++part) {
      const uint32_t lo = static_cast<uint32_t>(rs.nr * part / parts);
      const uint32_t hi = static_cast<uint32_t>(rs.nr * (part + 1) / parts);
      for (int64_t g = 0; g < Gp; ++g)
        for (int64_t e = rs.b_row[g]; e < rs.b_row[g + 1]; ++e) {
          const uint32_t a = rs.b_col[e];
          if (a < lo || a >= hi) continue;
          const int64_t at = next[a]++;
          bt_g[at] = static_cast<uint32_t>(g);
          bt_val[at] = rs.b_val[e];
        }
    }
  }

  // The other groups' weights: B's column sums, in pivot-group order.
  rs.w_r.assign(static_cast<size_t>(rs.nr), 0.0);
  rs.inv_w_r.resize(static_cast<size_t>(rs.nr));
  for (int64_t a = 0; a < rs.nr; ++a) {
    double wa = 0.0;
    for (int64_t e = bt_row[a]; e < bt_row[a + 1]; ++e) wa += bt_val[e];
    rs.w_r[a] = wa;
    rs.inv_w_r[a] = wa > 0 ? 1.0 / wa : 0.0;
  }
  pin_groups(rs);
  interrupt_poll(interrupt);

  // Chunks of consecutive rows of about equal work (a year meets every
  // worker: its row alone can weigh as much as thousands of firm rows), so
  // that threads share the assembly evenly; their bounds depend only on the data.
  std::vector<int64_t> chunk_start{0};
  {
    std::vector<int64_t> work(static_cast<size_t>(rs.nr), 0);
    double total_work = 0.0;
    for (int64_t a = 0; a < rs.nr; ++a) {
      int64_t w = 1 + (rs.c_row[a + 1] - rs.c_row[a]);
      for (int64_t e = bt_row[a]; e < bt_row[a + 1]; ++e) w += rs.b_row[bt_g[e] + 1] - rs.b_row[bt_g[e]];
      work[a] = w;
      total_work += static_cast<double>(w);
    }
    const double target = std::max(total_work / 256.0, 1.0);
    double acc = 0.0;
    for (int64_t a = 0; a < rs.nr; ++a) {
      acc += static_cast<double>(work[a]);
      if ((acc >= target || a + 1 - chunk_start.back() >= kRowsPerChunk) && a + 1 < rs.nr) {
        chunk_start.push_back(a + 1);
        acc = 0.0;
      }
    }
    chunk_start.push_back(rs.nr);
  }
  const int64_t nchunks = static_cast<int64_t>(chunk_start.size()) - 1;
  std::vector<RowChunk> chunks(static_cast<size_t>(nchunks));
  std::atomic<int64_t> total{0};
  std::atomic<bool> over{false}, interrupted{false}, out_of_memory{false};
  auto run_chunk = [&](RowAssembler& asm_, int64_t c) {
    if (over.load() || interrupted.load() || out_of_memory.load()) return;
    try {
      interrupt_poll(interrupt);
      RowChunk& chunk = chunks[c];
      const int64_t lo = chunk_start[c], hi = chunk_start[c + 1];
      for (int64_t a = lo; a < hi; ++a) asm_.row(a, chunk);
      // The full S holds every off-diagonal entry twice.
      const int64_t upper = total.fetch_add(static_cast<int64_t>(chunk.col.size())) +
                            static_cast<int64_t>(chunk.col.size());
      if (2 * upper - rs.nr > max_nonzeros) over = true;
    } catch (const Interrupted&) {
      interrupted = true;
    } catch (const std::bad_alloc&) {
      out_of_memory = true;
    }
  };
#ifdef _OPENMP
  int team = threads > 0 ? threads : omp_get_max_threads();
  team = static_cast<int>(std::max<int64_t>(1, std::min<int64_t>(team, nchunks)));
#pragma omp parallel num_threads(team)
  {
    RowAssembler asm_(rs, bt_row, bt_g, bt_val);
#pragma omp for schedule(dynamic, 1)
    for (int64_t c = 0; c < nchunks; ++c) run_chunk(asm_, c);
  }
#else
  (void)threads;
  {
    RowAssembler asm_(rs, bt_row, bt_g, bt_val);
    for (int64_t c = 0; c < nchunks; ++c) run_chunk(asm_, c);
  }
#endif
  if (interrupted) throw Interrupted();
  if (out_of_memory) throw std::bad_alloc();
  if (over) return ReducedBuild::too_dense;

  // The upper triangle, row by row, then mirrored: row a of S is its
  // entries (b, a) of earlier rows b, in ascending b, then its own.
  std::vector<int64_t> up_row(static_cast<size_t>(rs.nr + 1), 0);
  std::vector<int32_t> up_col;
  std::vector<double> up_val;
  up_col.reserve(static_cast<size_t>(total.load()));
  up_val.reserve(static_cast<size_t>(total.load()));
  {
    int64_t a = 0;
    for (RowChunk& chunk : chunks) {
      for (const int64_t len : chunk.row_len) {
        up_row[a + 1] = up_row[a] + len;
        ++a;
      }
      up_col.insert(up_col.end(), chunk.col.begin(), chunk.col.end());
      up_val.insert(up_val.end(), chunk.val.begin(), chunk.val.end());
      RowChunk().row_len.swap(chunk.row_len);
      std::vector<int32_t>().swap(chunk.col);
      std::vector<double>().swap(chunk.val);
    }
  }
  rs.s_row.assign(static_cast<size_t>(rs.nr + 1), 0);
  for (int64_t a = 0; a < rs.nr; ++a)
    for (int64_t e = up_row[a]; e < up_row[a + 1]; ++e) {
      ++rs.s_row[a + 1];
      if (up_col[e] != a) ++rs.s_row[up_col[e] + 1];
    }
  for (int64_t a = 0; a < rs.nr; ++a) rs.s_row[a + 1] += rs.s_row[a];
  rs.s_col.resize(static_cast<size_t>(rs.s_row[rs.nr]));
  rs.s_val.resize(static_cast<size_t>(rs.s_row[rs.nr]));
  std::vector<int64_t> next(rs.s_row.begin(), rs.s_row.end() - 1);
  // Visiting rows in ascending order puts the mirrored entries first and in order.
  for (int64_t a = 0; a < rs.nr; ++a)
    for (int64_t e = up_row[a]; e < up_row[a + 1]; ++e) {
      const int32_t b = up_col[e];
      if (b != a) {
        const int64_t at = next[b]++;
        rs.s_col[at] = static_cast<int32_t>(a);
        rs.s_val[at] = up_val[e];
      }
    }
  for (int64_t a = 0; a < rs.nr; ++a) {
    int64_t at = next[a];
    for (int64_t e = up_row[a]; e < up_row[a + 1]; ++e, ++at) {
      rs.s_col[at] = up_col[e];
      rs.s_val[at] = up_val[e];
    }
  }
  return ReducedBuild::ok;
}

bool cholesky_fill(const ReducedSystem& rs, const int64_t* perm, int64_t max_nonzeros, Interrupt* interrupt,
                   FillCount& out) {
  const int64_t n = rs.nr;
  std::vector<int64_t> pinv(static_cast<size_t>(n));
  for (int64_t k = 0; k < n; ++k) pinv[perm[k]] = k;
  // Elimination tree of the permuted pattern (Liu's algorithm, path compression).
  std::vector<int64_t> parent(static_cast<size_t>(n), -1), ancestor(static_cast<size_t>(n), -1);
  for (int64_t k = 0; k < n; ++k) {
    if ((k & 1023) == 0) interrupt_poll(interrupt);
    const int64_t a = perm[k];
    for (int64_t e = rs.s_row[a]; e < rs.s_row[a + 1]; ++e) {
      int64_t i = pinv[rs.s_col[e]];
      while (i != -1 && i < k) {
        const int64_t next = ancestor[i];
        ancestor[i] = k;
        if (next == -1) parent[i] = k;
        i = next;
      }
    }
  }
  // Row k of L: the union of the tree paths from every earlier neighbour up to k.
  std::vector<int64_t> mark(static_cast<size_t>(n), -1), column_count(static_cast<size_t>(n), 1);
  int64_t nonzeros = n;
  for (int64_t k = 0; k < n; ++k) {
    if ((k & 1023) == 0) interrupt_poll(interrupt);
    mark[k] = k;
    const int64_t a = perm[k];
    for (int64_t e = rs.s_row[a]; e < rs.s_row[a + 1]; ++e) {
      for (int64_t i = pinv[rs.s_col[e]]; i != -1 && i < k && mark[i] != k; i = parent[i]) {
        mark[i] = k;
        ++column_count[i];
        ++nonzeros;
      }
    }
    if (nonzeros > max_nonzeros) return false;
  }
  out.nonzeros = nonzeros;
  out.flops = 0.0;
  for (const int64_t c : column_count) out.flops += static_cast<double>(c) * static_cast<double>(c);
  return true;
}

bool ReducedFactor::prepare() {
  u_diag.assign(static_cast<size_t>(n), 0.0);
  for (int64_t j = 0; j < n; ++j)
    for (int64_t e = u_ptr[j]; e < u_ptr[j + 1]; ++e)
      if (u_idx[e] == j) u_diag[j] = u_val[e];
  return std::all_of(u_diag.begin(), u_diag.end(), [](double d) { return d != 0.0 && std::isfinite(d); });
}

void ReducedFactor::solve(const double* b, double* x, double* work) const {
  double* t = work;
  double* s = work + n;
  // M's order, then the factor's row permutation: P_r M P_c = L U.
  for (int64_t k = 0; k < n; ++k) t[perm_r[k]] = b[perm[k]];
  for (int64_t j = 0; j < n; ++j) {
    const double tj = t[j];
    if (tj == 0.0) continue;
    for (int64_t e = l_ptr[j]; e < l_ptr[j + 1]; ++e)
      if (l_idx[e] > j) t[l_idx[e]] -= l_val[e] * tj;
  }
  for (int64_t j = n - 1; j >= 0; --j) {
    const double tj = t[j] / u_diag[j];
    t[j] = tj;
    if (tj == 0.0) continue;
    for (int64_t e = u_ptr[j]; e < u_ptr[j + 1]; ++e)
      if (u_idx[e] < j) t[u_idx[e]] -= u_val[e] * tj;
  }
  for (int64_t k = 0; k < n; ++k) s[k] = t[perm_c[k]];
  for (int64_t k = 0; k < n; ++k) x[perm[k]] = s[k];
}

void reduced_multiply(const ReducedSystem& rs, const double* v, double* Sv) {
  for (int64_t a = 0; a < rs.nr; ++a) {
    double s = 0.0;
    for (int64_t e = rs.s_row[a]; e < rs.s_row[a + 1]; ++e) s += rs.s_val[e] * v[rs.s_col[e]];
    Sv[a] = s;
  }
}

}  // namespace korvald::core
