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
// Pivot groups are walked in fixed chunks of this many, for the same reason.
constexpr int64_t kGroupsPerChunk = 8192;

int team_size(int threads) {
#ifdef _OPENMP
  return std::max(1, threads > 0 ? threads : omp_get_max_threads());
#else
  (void)threads;
  return 1;
#endif
}

// body(task, scratch) for every task in [0, ntasks), handed out one at a time
// to up to `threads` threads, each with a Scratch of its own (made empty;
// tasks size it). An Interrupted or bad_alloc from a task skips the tasks
// left and is thrown again once the parallel region is left (exceptions must
// not cross it); so does stop() turning true. The interrupt is polled before
// every poll_every-th task.
template <class Scratch, class Body, class Stop>
void run_tasks(int64_t ntasks, int threads, Interrupt* interrupt, int64_t poll_every, const Stop& stop,
               const Body& body) {
  const int team = static_cast<int>(std::max<int64_t>(1, std::min<int64_t>(team_size(threads), ntasks)));
  std::atomic<bool> interrupted{false}, out_of_memory{false};
#pragma omp parallel num_threads(team)
  {
    Scratch scratch;
#pragma omp for schedule(dynamic, 1)
    for (int64_t task = 0; task < ntasks; ++task) {
      if (interrupted.load() || out_of_memory.load() || stop()) continue;
      try {
        if (task % poll_every == 0) interrupt_poll(interrupt);
        body(task, scratch);
      } catch (const Interrupted&) {
        interrupted = true;
      } catch (const std::bad_alloc&) {
        out_of_memory = true;
      }
    }
  }
  if (interrupted) throw Interrupted();
  if (out_of_memory) throw std::bad_alloc();
}

constexpr auto kNeverStop = [] { return false; };

// B's pattern: walk the pivot's sort order; within a pivot group, repeated
// other groups are merged through a marker and the row is sorted. Fixed
// chunks of pivot groups run in parallel and are joined in order.
void pivot_pattern(const GroupIndex& index, const GroupRanges& pr, int threads, ReducedLayout& rl) {
  const int F = index.nfe;
  const int R = static_cast<int>(rl.others.size());
  const uint32_t* codes = index.codes_nk.data();
  const int64_t Gp = pr.ngroups;
  const int64_t nchunks = (Gp + kGroupsPerChunk - 1) / kGroupsPerChunk;
  rl.b_row.assign(static_cast<size_t>(Gp + 1), 0);
  std::vector<std::vector<uint32_t>> chunk_col(static_cast<size_t>(nchunks));
  bool out_of_memory = false;
#pragma omp parallel num_threads(team_size(threads))
  {
    std::vector<int64_t> marker(static_cast<size_t>(rl.nr), -1);
    std::vector<uint32_t> row;
#pragma omp for schedule(dynamic, 1)
    for (int64_t c = 0; c < nchunks; ++c) {
      try {
        std::vector<uint32_t>& col = chunk_col[c];
        const int64_t hi = std::min(Gp, (c + 1) * kGroupsPerChunk);
        for (int64_t g = c * kGroupsPerChunk; g < hi; ++g) {
          row.clear();
          for (int64_t p = pr.panel[2 * g]; p <= pr.panel[2 * g + 1]; ++p) {
            const uint32_t* cd = codes + pr.order[p] * F;
            for (int k = 0; k < R; ++k) {
              const int64_t a = rl.local(k, cd[rl.others[k]], index);
              if (marker[a] != g) {
                marker[a] = g;
                row.push_back(static_cast<uint32_t>(a));
              }
            }
          }
          std::sort(row.begin(), row.end());
          col.insert(col.end(), row.begin(), row.end());
          rl.b_row[g + 1] = static_cast<int64_t>(row.size());
        }
      } catch (const std::bad_alloc&) {
#pragma omp atomic write
        out_of_memory = true;
      }
    }
  }
  if (out_of_memory) throw std::bad_alloc();
  for (int64_t g = 0; g < Gp; ++g) rl.b_row[g + 1] += rl.b_row[g];
  rl.b_col.resize(static_cast<size_t>(rl.b_row[Gp]));
#pragma omp parallel for num_threads(team_size(threads)) schedule(dynamic, 1)
  for (int64_t c = 0; c < nchunks; ++c) {
    std::copy(chunk_col[c].begin(), chunk_col[c].end(), rl.b_col.begin() + rl.b_row[c * kGroupsPerChunk]);
    std::vector<uint32_t>().swap(chunk_col[c]);
  }
}

// B's transpose (counting sort, pivot groups ascending within each row). Each
// thread fills the rows of its own range, so every row still lists its pivot
// groups in ascending order.
void transpose_pattern(int threads, ReducedLayout& rl) {
  const int64_t Gp = static_cast<int64_t>(rl.b_row.size()) - 1;
  rl.bt_row.assign(static_cast<size_t>(rl.nr + 1), 0);
  for (const uint32_t a : rl.b_col) ++rl.bt_row[a + 1];
  for (int64_t a = 0; a < rl.nr; ++a) rl.bt_row[a + 1] += rl.bt_row[a];
  rl.bt_g.resize(rl.b_col.size());
  rl.bt_off.resize(rl.b_col.size());
  std::vector<int64_t> next(rl.bt_row.begin(), rl.bt_row.end() - 1);
  const int parts = std::min(team_size(threads), 8);
#pragma omp parallel for num_threads(parts) schedule(static, 1)
  for (int part = 0; part < parts; ++part) {
    const uint32_t lo = static_cast<uint32_t>(rl.nr * part / parts);
    const uint32_t hi = static_cast<uint32_t>(rl.nr * (part + 1) / parts);
    for (int64_t g = 0; g < Gp; ++g)
      for (int64_t e = rl.b_row[g]; e < rl.b_row[g + 1]; ++e) {
        const uint32_t a = rl.b_col[e];
        if (a < lo || a >= hi) continue;
        const int64_t at = next[a]++;
        rl.bt_g[at] = static_cast<uint32_t>(g);
        rl.bt_off[at] = static_cast<uint32_t>(e - rl.b_row[g]);
      }
  }
}

// Group pairs (k, l) of other fixed effects whose full cross-table is no
// larger than the data (firm x year) are tabulated densely in one stream over
// the observations; other pairs by walking the first one's sort order.
bool tabulated_pair(const GroupIndex& index, const ReducedLayout& rl, int k, int l) {
  const int64_t dense_limit = std::max<int64_t>(index.n, int64_t{1} << 20);
  return index.groups(rl.others[k]) * index.groups(rl.others[l]) <= dense_limit;
}

// C's pattern: for every group of every other fixed effect, the groups of the
// remaining other fixed effects its observations fall into. Per row, the
// tabulated pairs' cells come first (in l order, ascending), then the walked
// pairs' groups in the order the walk meets them.
void other_pattern(const GroupIndex& index, const std::vector<GroupRanges>& ranges, ReducedLayout& rl) {
  const int F = index.nfe;
  const int R = static_cast<int>(rl.others.size());
  const uint32_t* codes = index.codes_nk.data();
  rl.c_row.assign(static_cast<size_t>(rl.nr + 1), 0);
  rl.c_col.clear();
  rl.tabulated.assign(static_cast<size_t>(R * R), 0);
  if (R < 2) return;
  // seen[k * R + l] (k < l): G_k x G_l cells with an observation.
  std::vector<std::vector<char>> seen(static_cast<size_t>(R * R));
  for (int k = 0; k < R; ++k)
    for (int l = k + 1; l < R; ++l) {
      if (!tabulated_pair(index, rl, k, l)) continue;
      rl.tabulated[k * R + l] = rl.tabulated[l * R + k] = 1;
      const int64_t Gk = index.groups(rl.others[k]), Gl = index.groups(rl.others[l]);
      std::vector<char>& t = seen[k * R + l];
      t.assign(static_cast<size_t>(Gk * Gl), 0);
      const uint32_t bk = static_cast<uint32_t>(index.offset[rl.others[k]]);
      const uint32_t bl = static_cast<uint32_t>(index.offset[rl.others[l]]);
      for (int64_t i = 0; i < index.n; ++i) {
        const uint32_t* c = codes + i * F;
        t[static_cast<int64_t>(c[rl.others[k]] - bk) * Gl + (c[rl.others[l]] - bl)] = 1;
      }
    }
  std::vector<int64_t> marker(static_cast<size_t>(rl.nr), -1);
  for (int k = 0; k < R; ++k) {
    const GroupRanges& gr = ranges[rl.others[k]];
    const int64_t Gk = gr.ngroups;
    bool walk = false;
    for (int l = 0; l < R; ++l)
      if (l != k && !rl.tabulated[k * R + l]) walk = true;
    for (int64_t g = 0; g < Gk; ++g) {
      const int64_t a = rl.block[k] + g;
      rl.c_row[a] = static_cast<int64_t>(rl.c_col.size());
      for (int l = 0; l < R; ++l) {
        if (l == k || !rl.tabulated[k * R + l]) continue;
        const std::vector<char>& t = seen[std::min(k, l) * R + std::max(k, l)];
        const int64_t Gl = rl.block[l + 1] - rl.block[l];
        for (int64_t h = 0; h < Gl; ++h)
          if (k < l ? t[g * Gl + h] : t[h * Gk + g]) rl.c_col.push_back(static_cast<uint32_t>(rl.block[l] + h));
      }
      if (!walk) continue;
      for (int64_t p = gr.panel[2 * g]; p <= gr.panel[2 * g + 1]; ++p) {
        const uint32_t* c = codes + gr.order[p] * F;
        for (int l = 0; l < R; ++l) {
          if (l == k || rl.tabulated[k * R + l]) continue;
          const int64_t b = rl.local(l, c[rl.others[l]], index);
          if (marker[b] != a) {
            marker[b] = a;
            rl.c_col.push_back(static_cast<uint32_t>(b));
          }
        }
      }
    }
  }
  rl.c_row[rl.nr] = static_cast<int64_t>(rl.c_col.size());
}

// Non-zeros of S extrapolated from a few evenly spaced rows, straight from
// the sort orders: row a's pattern is every group met by a pivot group that
// meets a. Lets a dense S be turned down before anything is built. Sampling
// stops early once it has cost about a pass over the data (rows of small
// fixed effects are long).
double sampled_nonzeros(const GroupIndex& index, const std::vector<GroupRanges>& ranges, const ReducedLayout& rl,
                        int64_t samples) {
  const int64_t max_work = index.n;
  int64_t work = 0, taken = 0;
  const int F = index.nfe;
  const int R = static_cast<int>(rl.others.size());
  const uint32_t* codes = index.codes_nk.data();
  const GroupRanges& pr = ranges[rl.pivot];
  const uint32_t pivot_base = static_cast<uint32_t>(index.offset[rl.pivot]);
  samples = std::min(samples, rl.nr);
  std::vector<int64_t> marker(static_cast<size_t>(rl.nr), -1);
  // Each pivot group is walked once per sampled row: a year's row meets every
  // firm many times over, and its work would otherwise be many times N.
  std::vector<int64_t> walked(static_cast<size_t>(pr.ngroups), -1);
  double total = 0.0;
  for (int64_t s = 0; s < samples && (s == 0 || work < max_work); ++s) {
    const int64_t a = (2 * s + 1) * rl.nr / (2 * samples);
    ++taken;
    int k = 0;
    while (rl.block[k + 1] <= a) ++k;
    const GroupRanges& gr = ranges[rl.others[k]];
    const int64_t g = a - rl.block[k];
    int64_t count = 0;
    for (int64_t p = gr.panel[2 * g]; p <= gr.panel[2 * g + 1]; ++p) {
      const int64_t gp = codes[gr.order[p] * F + rl.pivot] - pivot_base;
      if (walked[gp] == a) continue;
      walked[gp] = a;
      work += pr.panel[2 * gp + 1] - pr.panel[2 * gp] + 1;
      for (int64_t q = pr.panel[2 * gp]; q <= pr.panel[2 * gp + 1]; ++q) {
        const uint32_t* c = codes + pr.order[q] * F;
        for (int l = 0; l < R; ++l) {
          const int64_t b = rl.local(l, c[rl.others[l]], index);
          if (marker[b] != a) {
            marker[b] = a;
            ++count;
          }
        }
      }
    }
    total += static_cast<double>(count);
  }
  return taken > 0 ? total / static_cast<double>(taken) * static_cast<double>(rl.nr) : 0.0;
}

// Chunks of consecutive rows of about equal work (hub rows are summed apart),
// so that threads share the assembly evenly; their bounds depend only on the
// data.
void plan_chunks(ReducedLayout& rl) {
  rl.chunk_start.assign(1, 0);
  std::vector<int64_t> work(static_cast<size_t>(rl.nr), 0);
  std::vector<char> is_hub(static_cast<size_t>(rl.nr), 0);
  for (const int64_t a : rl.hubs) is_hub[a] = 1;
  double total_work = 0.0;
  for (int64_t a = 0; a < rl.nr; ++a) {
    int64_t w = 1 + (rl.c_row[a + 1] - rl.c_row[a]);
    for (int64_t e = rl.bt_row[a]; e < rl.bt_row[a + 1] && !is_hub[a]; ++e)
      w += rl.b_row[rl.bt_g[e] + 1] - rl.b_row[rl.bt_g[e]] - rl.bt_off[e];
    work[a] = w;
    total_work += static_cast<double>(w);
  }
  const double target = std::max(total_work / 256.0, 1.0);
  double acc = 0.0;
  for (int64_t a = 0; a < rl.nr; ++a) {
    acc += static_cast<double>(work[a]);
    if ((acc >= target || a + 1 - rl.chunk_start.back() >= kRowsPerChunk) && a + 1 < rl.nr) {
      rl.chunk_start.push_back(a + 1);
      acc = 0.0;
    }
  }
  rl.chunk_start.push_back(rl.nr);
}

// S's upper triangle, row a: a, C's columns above a and every column after a
// in the rows of B that hold a. Returns false once the full S is known to
// pass max_nonzeros.
bool s_pattern(const ReducedLayout& rl, int64_t max_nonzeros, int threads, Interrupt* interrupt,
               std::vector<int64_t>& up_row, std::vector<int32_t>& up_col) {
  const int64_t nchunks = static_cast<int64_t>(rl.chunk_start.size()) - 1;
  std::vector<std::vector<int32_t>> chunk_col(static_cast<size_t>(nchunks));
  up_row.assign(static_cast<size_t>(rl.nr + 1), 0);
  std::atomic<int64_t> total{0};
  std::atomic<bool> over{false};
  struct Scratch {
    std::vector<int64_t> mark;
    std::vector<int32_t> touched;
  };
  run_tasks<Scratch>(nchunks, threads, interrupt, 1, [&] { return over.load(); }, [&](int64_t c, Scratch& sc) {
    if (sc.mark.empty()) sc.mark.assign(static_cast<size_t>(rl.nr), -1);
    std::vector<int64_t>& mark = sc.mark;
    std::vector<int32_t>& touched = sc.touched;
    std::vector<int32_t>& col = chunk_col[c];
    for (int64_t a = rl.chunk_start[c]; a < rl.chunk_start[c + 1]; ++a) {
      touched.clear();
      auto add = [&](int64_t b) {
        if (mark[b] != a) {
          mark[b] = a;
          touched.push_back(static_cast<int32_t>(b));
        }
      };
      add(a);
      for (int64_t e = rl.c_row[a]; e < rl.c_row[a + 1]; ++e)
        if (rl.c_col[e] > a) add(rl.c_col[e]);
      for (int64_t e = rl.bt_row[a]; e < rl.bt_row[a + 1]; ++e) {
        const uint32_t g = rl.bt_g[e];
        for (int64_t f = rl.b_row[g] + rl.bt_off[e]; f < rl.b_row[g + 1]; ++f) add(rl.b_col[f]);
      }
      std::sort(touched.begin(), touched.end());
      up_row[a + 1] = static_cast<int64_t>(touched.size());
      col.insert(col.end(), touched.begin(), touched.end());
    }
    // The full S holds every off-diagonal entry twice.
    const int64_t upper = total.fetch_add(static_cast<int64_t>(col.size())) + static_cast<int64_t>(col.size());
    if (2 * upper - rl.nr > max_nonzeros) over = true;
  });
  if (over) return false;
  for (int64_t a = 0; a < rl.nr; ++a) up_row[a + 1] += up_row[a];
  up_col.reserve(static_cast<size_t>(up_row[rl.nr]));
  for (std::vector<int32_t>& col : chunk_col) {
    up_col.insert(up_col.end(), col.begin(), col.end());
    std::vector<int32_t>().swap(col);
  }
  return true;
}

// The full S from its upper triangle: row a is its entries (b, a) of earlier
// rows b, in ascending b, then its own.
void mirror_pattern(const std::vector<int64_t>& up_row, const std::vector<int32_t>& up_col, ReducedLayout& rl) {
  const int64_t nr = rl.nr;
  rl.s_row.assign(static_cast<size_t>(nr + 1), 0);
  for (int64_t a = 0; a < nr; ++a)
    for (int64_t e = up_row[a]; e < up_row[a + 1]; ++e) {
      ++rl.s_row[a + 1];
      if (up_col[e] != a) ++rl.s_row[up_col[e] + 1];
    }
  for (int64_t a = 0; a < nr; ++a) rl.s_row[a + 1] += rl.s_row[a];
  rl.s_col.resize(static_cast<size_t>(rl.s_row[nr]));
  rl.s_mirror.assign(static_cast<size_t>(rl.s_row[nr]), -1);
  rl.s_diag.resize(static_cast<size_t>(nr));
  std::vector<int64_t> next(rl.s_row.begin(), rl.s_row.end() - 1);
  // Visiting rows in ascending order puts the mirrored entries first and in order.
  for (int64_t a = 0; a < nr; ++a)
    for (int64_t e = up_row[a]; e < up_row[a + 1]; ++e) {
      const int32_t b = up_col[e];
      if (b != a) rl.s_col[next[b]++] = static_cast<int32_t>(a);
    }
  // Row a's own entries follow its mirrored ones, all placed by now.
  for (int64_t a = 0; a < nr; ++a) {
    rl.s_diag[a] = next[a];
    int64_t at = next[a];
    for (int64_t e = up_row[a]; e < up_row[a + 1]; ++e, ++at) rl.s_col[at] = up_col[e];
  }
  // Every mirrored entry's source: walk the upper entries again in the same order.
  std::copy(rl.s_row.begin(), rl.s_row.end() - 1, next.begin());
  for (int64_t a = 0; a < nr; ++a)
    for (int64_t e = up_row[a]; e < up_row[a + 1]; ++e) {
      const int32_t b = up_col[e];
      if (b != a) rl.s_mirror[next[b]++] = rl.s_diag[a] + (e - up_row[a]);
    }
}

// Connected parts of the panel (union-find over the groups linked by a pivot
// group through an entry of B that `linked` accepts), then the first group of
// every other fixed effect in every part among those `counts` accepts.
template <class Linked, class Counts>
std::vector<int64_t> pin_groups(const std::vector<int64_t>& block, int64_t nr, const ConstView<int64_t>& b_row,
                                const ConstView<uint32_t>& b_col, Linked&& linked, Counts&& counts) {
  std::vector<int64_t> parent(static_cast<size_t>(nr));
  for (int64_t a = 0; a < nr; ++a) parent[a] = a;
  auto find = [&](int64_t a) {
    while (parent[a] != a) {
      parent[a] = parent[parent[a]];
      a = parent[a];
    }
    return a;
  };
  const int64_t Gp = static_cast<int64_t>(b_row.size()) - 1;
  for (int64_t g = 0; g < Gp; ++g) {
    int64_t first = -1;
    for (int64_t e = b_row[g]; e < b_row[g + 1]; ++e) {
      if (!linked(e)) continue;
      const int64_t a = find(b_col[e]);
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
  std::vector<int64_t> pinned;
  const int R = static_cast<int>(block.size()) - 1;
  std::vector<int64_t> seen(static_cast<size_t>(nr), -1);  // per root: last fixed effect pinned
  for (int k = 0; k < R; ++k)
    for (int64_t a = block[k]; a < block[k + 1]; ++a) {
      if (!counts(a)) continue;
      const int64_t root = find(a);
      if (seen[root] != k) {
        seen[root] = k;
        pinned.push_back(a);
      }
    }
  return pinned;
}

// B's values and the pivot group weights, walking the pivot's sort order in
// the layout's chunks; each observation's entry is found through a map from
// column to position, set from the row's pattern first. Returns whether every
// weight met is positive.
bool pivot_values(const ReducedLayout& rl, const GroupIndex& index, const GroupRanges& pr, const double* weights,
                  int threads, Interrupt* interrupt, ReducedSystem& rs) {
  const int F = index.nfe;
  const int R = static_cast<int>(rl.others.size());
  const uint32_t* codes = index.codes_nk.data();
  const int64_t Gp = pr.ngroups;
  const int64_t nchunks = (Gp + kGroupsPerChunk - 1) / kGroupsPerChunk;
  rs.w_pivot.assign(static_cast<size_t>(Gp), 0.0);
  rs.b_val.assign(rl.b_col.size(), 0.0);
  std::atomic<bool> positive{true};
  run_tasks<std::vector<int64_t>>(nchunks, threads, interrupt, 16, kNeverStop, [&](int64_t c, std::vector<int64_t>& pos) {
    pos.resize(static_cast<size_t>(rl.nr));
    bool all_positive = true;
    const int64_t hi = std::min(Gp, (c + 1) * kGroupsPerChunk);
    double* val = rs.b_val.data();
    for (int64_t g = c * kGroupsPerChunk; g < hi; ++g) {
      for (int64_t e = rl.b_row[g]; e < rl.b_row[g + 1]; ++e) pos[rl.b_col[e]] = e;
      double wg = 0.0;
      for (int64_t p = pr.panel[2 * g]; p <= pr.panel[2 * g + 1]; ++p) {
        const int64_t i = pr.order[p];
        const uint32_t* cd = codes + i * F;
        const double wi = weights ? weights[i] : 1.0;
        all_positive = all_positive && wi > 0;
        wg += wi;
        for (int k = 0; k < R; ++k) val[pos[rl.local(k, cd[rl.others[k]], index)]] += wi;
      }
      rs.w_pivot[g] = wg;
    }
    if (!all_positive) positive = false;
  });
  return positive.load();
}

// The cross-tabulations' values: dense tables summed in observation order,
// walked pairs in the order of the walk (as their pattern was built).
void other_values(const ReducedLayout& rl, const GroupIndex& index, const std::vector<GroupRanges>& ranges,
                  const double* weights, ReducedSystem& rs) {
  const int F = index.nfe;
  const int R = static_cast<int>(rl.others.size());
  const uint32_t* codes = index.codes_nk.data();
  rs.c_val.assign(rl.c_col.size(), 0.0);
  if (R < 2) return;
  std::vector<std::vector<double>> table(static_cast<size_t>(R * R));
  for (int k = 0; k < R; ++k)
    for (int l = k + 1; l < R; ++l) {
      if (!rl.tabulated[k * R + l]) continue;
      const int64_t Gk = index.groups(rl.others[k]), Gl = index.groups(rl.others[l]);
      std::vector<double>& t = table[k * R + l];
      t.assign(static_cast<size_t>(Gk * Gl), 0.0);
      const uint32_t bk = static_cast<uint32_t>(index.offset[rl.others[k]]);
      const uint32_t bl = static_cast<uint32_t>(index.offset[rl.others[l]]);
      for (int64_t i = 0; i < index.n; ++i) {
        const uint32_t* c = codes + i * F;
        t[static_cast<int64_t>(c[rl.others[k]] - bk) * Gl + (c[rl.others[l]] - bl)] += weights ? weights[i] : 1.0;
      }
    }
  std::vector<int64_t> slot(static_cast<size_t>(rl.nr), -1);
  for (int k = 0; k < R; ++k) {
    const GroupRanges& gr = ranges[rl.others[k]];
    const int64_t Gk = gr.ngroups;
    bool walk = false;
    for (int l = 0; l < R; ++l)
      if (l != k && !rl.tabulated[k * R + l]) walk = true;
    for (int64_t g = 0; g < Gk; ++g) {
      const int64_t a = rl.block[k] + g;
      int64_t e = rl.c_row[a];
      for (; e < rl.c_row[a + 1]; ++e) {
        const int64_t b = rl.c_col[e];
        int l = 0;
        while (rl.block[l + 1] <= b) ++l;
        if (!rl.tabulated[k * R + l]) break;  // the walked groups follow
        const int64_t h = b - rl.block[l];
        const int64_t Gl = rl.block[l + 1] - rl.block[l];
        rs.c_val[e] = k < l ? table[k * R + l][g * Gl + h] : table[l * R + k][h * Gk + g];
      }
      if (!walk) continue;
      for (int64_t f = e; f < rl.c_row[a + 1]; ++f) slot[rl.c_col[f]] = f;
      for (int64_t p = gr.panel[2 * g]; p <= gr.panel[2 * g + 1]; ++p) {
        const int64_t i = gr.order[p];
        const uint32_t* c = codes + i * F;
        const double wi = weights ? weights[i] : 1.0;
        for (int l = 0; l < R; ++l) {
          if (l == k || rl.tabulated[k * R + l]) continue;
          rs.c_val[slot[rl.local(l, c[rl.others[l]], index)]] += wi;
        }
      }
    }
  }
}

// Row a of S's upper triangle starts as W_a on the diagonal plus C's entries;
// B's share follows pivot group by pivot group, ascending.
void start_row(const ReducedLayout& rl, const ReducedSystem& rs, int64_t a, double wa, double* acc) {
  for (int64_t e = rl.s_diag[a]; e < rl.s_row[a + 1]; ++e) acc[rl.s_col[e]] = 0.0;
  acc[a] += wa;
  for (int64_t e = rl.c_row[a]; e < rl.c_row[a + 1]; ++e)
    if (rl.c_col[e] > a) acc[rl.c_col[e]] += rs.c_val[e];
}

// The hub rows (rl.hubs) together, in two streams over B: their weights,
// then B's share of every hub row at once. Row by row, each hub row would
// stream over most of B on its own. The sums run in the same order as row by
// row, so the values are the same.
void hub_rows(const ReducedLayout& rl, ReducedSystem& rs, std::vector<double>& acc) {
  const int64_t H = static_cast<int64_t>(rl.hubs.size()), nr = rl.nr;
  const int64_t Gp = static_cast<int64_t>(rl.b_row.size()) - 1;
  std::vector<int32_t> hub_of(static_cast<size_t>(nr), -1);
  for (int64_t h = 0; h < H; ++h) hub_of[rl.hubs[h]] = static_cast<int32_t>(h);
  std::vector<double> wh(static_cast<size_t>(H), 0.0);
  for (int64_t g = 0; g < Gp; ++g)
    for (int64_t f = rl.b_row[g]; f < rl.b_row[g + 1]; ++f)
      if (hub_of[rl.b_col[f]] >= 0) wh[hub_of[rl.b_col[f]]] += rs.b_val[f];
  acc.assign(static_cast<size_t>(H * nr), 0.0);
  for (int64_t h = 0; h < H; ++h) {
    const int64_t a = rl.hubs[h];
    rs.w_r[a] = wh[h];
    rs.inv_w_r[a] = wh[h] > 0 ? 1.0 / wh[h] : 0.0;
    start_row(rl, rs, a, wh[h], acc.data() + h * nr);
  }
  for (int64_t g = 0; g < Gp; ++g) {
    const int64_t end = rl.b_row[g + 1];
    for (int64_t from = rl.b_row[g]; from < end; ++from) {
      const int32_t h = hub_of[rl.b_col[from]];
      if (h < 0) continue;
      double* row = acc.data() + h * nr;
      const double t = rs.b_val[from] * rs.inv_w_pivot[g];
      for (int64_t f = from; f < end; ++f) row[rl.b_col[f]] += -t * rs.b_val[f];
    }
  }
  for (int64_t h = 0; h < H; ++h) {
    const int64_t a = rl.hubs[h];
    const double* row = acc.data() + h * nr;
    for (int64_t e = rl.s_diag[a]; e < rl.s_row[a + 1]; ++e) rs.s_val[e] = row[rl.s_col[e]];
  }
}

// S's values, diag(W_R) + C - B' W_p^-1 B, row by row in the layout's
// chunks: the upper triangle gathered in a dense accumulator, then mirrored.
// The other groups' weights W_R are summed on the way. The hub rows are one
// more task of the same loop (the first, being the longest).
void s_values(const ReducedLayout& rl, int threads, Interrupt* interrupt, ReducedSystem& rs) {
  rs.s_val.assign(rl.s_col.size(), 0.0);
  rs.w_r.assign(static_cast<size_t>(rl.nr), 0.0);
  rs.inv_w_r.assign(static_cast<size_t>(rl.nr), 0.0);
  std::vector<char> is_hub(static_cast<size_t>(rl.nr), 0);
  for (const int64_t a : rl.hubs) is_hub[a] = 1;
  const int64_t nchunks = static_cast<int64_t>(rl.chunk_start.size()) - 1;
  const int64_t ntasks = nchunks + 1;
  const int team = static_cast<int>(std::max<int64_t>(1, std::min<int64_t>(team_size(threads), ntasks)));
  run_tasks<std::vector<double>>(ntasks, threads, interrupt, 1, kNeverStop, [&](int64_t task, std::vector<double>& acc) {
    if (task == 0) {
      if (!rl.hubs.empty()) hub_rows(rl, rs, acc);
      return;
    }
    acc.resize(static_cast<size_t>(rl.nr));
    const int64_t c = task - 1;
    for (int64_t a = rl.chunk_start[c]; a < rl.chunk_start[c + 1]; ++a) {
      if (is_hub[a]) continue;
      // The group's weight: B's column sum, in pivot-group order.
      double wa = 0.0;
      for (int64_t e = rl.bt_row[a]; e < rl.bt_row[a + 1]; ++e) wa += rs.b_val[rl.b_row[rl.bt_g[e]] + rl.bt_off[e]];
      rs.w_r[a] = wa;
      rs.inv_w_r[a] = wa > 0 ? 1.0 / wa : 0.0;
      start_row(rl, rs, a, wa, acc.data());
      for (int64_t e = rl.bt_row[a]; e < rl.bt_row[a + 1]; ++e) {
        const uint32_t g = rl.bt_g[e];
        const int64_t from = rl.b_row[g] + rl.bt_off[e], end = rl.b_row[g + 1];
        const double t = rs.b_val[from] * rs.inv_w_pivot[g];
        for (int64_t f = from; f < end; ++f) acc[rl.b_col[f]] += -t * rs.b_val[f];
      }
      for (int64_t e = rl.s_diag[a]; e < rl.s_row[a + 1]; ++e) rs.s_val[e] = acc[rl.s_col[e]];
    }
  });
  const int64_t nr = rl.nr;
#pragma omp parallel for num_threads(team) schedule(static, 1024)
  for (int64_t a = 0; a < nr; ++a)
    for (int64_t e = rl.s_row[a]; e < rl.s_diag[a]; ++e) rs.s_val[e] = rs.s_val[rl.s_mirror[e]];
}

// Rows met by at least a sixteenth of the pivot groups (the levels of a small
// fixed effect such as years), if few enough to be summed densely side by side.
void choose_hubs(ReducedLayout& rl) {
  const int64_t Gp = static_cast<int64_t>(rl.b_row.size()) - 1;
  rl.hubs.clear();
  for (int64_t a = 0; a < rl.nr; ++a)
    if (16 * (rl.bt_row[a + 1] - rl.bt_row[a]) >= Gp && Gp > 0) rl.hubs.push_back(a);
  if (rl.hubs.size() > 64 || static_cast<int64_t>(rl.hubs.size()) * rl.nr > (int64_t{1} << 22)) rl.hubs.clear();
}

}  // namespace

ReducedBuild build_reduced_layout(const GroupIndex& index, const std::vector<GroupRanges>& ranges,
                                  int64_t max_nonzeros, double max_density, int threads, Interrupt* interrupt,
                                  ReducedLayout& rl) {
  const int F = index.nfe;
  rl.pivot = 0;
  for (int k = 1; k < F; ++k)
    if (index.groups(k) > index.groups(rl.pivot)) rl.pivot = k;
  rl.others.clear();
  rl.block.assign(1, 0);
  for (int k = 0; k < F; ++k) {
    if (k == rl.pivot) continue;
    rl.others.push_back(k);
    rl.block.push_back(rl.block.back() + index.groups(k));
  }
  rl.nr = rl.block.back();
  // S's column indices are 32-bit (SciPy's sparse index type).
  if (rl.nr >= (int64_t{1} << 31)) return ReducedBuild::too_dense;
  // Too large, or so dense that the panel is well connected: the sweeps then
  // converge in a few steps, cheaper than assembling S.
  const double estimate = sampled_nonzeros(index, ranges, rl, 128);
  if (estimate > 2.0 * static_cast<double>(max_nonzeros) ||
      estimate > max_density * static_cast<double>(rl.nr) * static_cast<double>(rl.nr))
    return ReducedBuild::too_dense;
  interrupt_poll(interrupt);

  pivot_pattern(index, ranges[rl.pivot], threads, rl);
  interrupt_poll(interrupt);
  other_pattern(index, ranges, rl);
  interrupt_poll(interrupt);
  transpose_pattern(threads, rl);
  choose_hubs(rl);
  plan_chunks(rl);
  interrupt_poll(interrupt);
  {
    std::vector<int64_t> up_row;
    std::vector<int32_t> up_col;
    if (!s_pattern(rl, max_nonzeros, threads, interrupt, up_row, up_col)) return ReducedBuild::too_dense;
    mirror_pattern(up_row, up_col, rl);
  }
  // With positive weights every entry of B links its groups and every group
  // with an observation counts.
  rl.pinned = pin_groups(rl.block, rl.nr, ConstView<int64_t>(rl.b_row), ConstView<uint32_t>(rl.b_col),
                         [](int64_t) { return true; },
                         [&](int64_t a) { return rl.bt_row[a + 1] > rl.bt_row[a]; });
  return ReducedBuild::ok;
}

void fill_reduced_system(const ReducedLayout& rl, const GroupIndex& index, const std::vector<GroupRanges>& ranges,
                         const double* weights, int threads, Interrupt* interrupt, ReducedSystem& rs) {
  rs.layout = &rl;
  rs.b_row = rl.b_row;
  rs.b_col = rl.b_col;
  rs.c_row = rl.c_row;
  rs.c_col = rl.c_col;
  rs.s_row = rl.s_row;
  rs.s_col = rl.s_col;

  const bool positive = pivot_values(rl, index, ranges[rl.pivot], weights, threads, interrupt, rs);
  other_values(rl, index, ranges, weights, rs);
  interrupt_poll(interrupt);
  const int64_t Gp = static_cast<int64_t>(rs.w_pivot.size());
  rs.inv_w_pivot.resize(static_cast<size_t>(Gp));
  for (int64_t g = 0; g < Gp; ++g) rs.inv_w_pivot[g] = rs.w_pivot[g] > 0 ? 1.0 / rs.w_pivot[g] : 0.0;

  s_values(rl, threads, interrupt, rs);
  if (positive)
    rs.pinned = rl.pinned;
  else
    rs.pinned = pin_groups(rl.block, rl.nr, rs.b_row, rs.b_col, [&](int64_t e) { return rs.b_val[e] > 0; },
                           [&](int64_t a) { return rs.w_r[a] > 0; });
}

void reduced_multiply(const ReducedSystem& rs, const double* v, double* Sv) {
  const int64_t nr = rs.layout->nr;
  for (int64_t a = 0; a < nr; ++a) {
    double s = 0.0;
    for (int64_t e = rs.s_row[a]; e < rs.s_row[a + 1]; ++e) s += rs.s_val[e] * v[rs.s_col[e]];
    Sv[a] = s;
  }
}

}  // namespace korvald::core
