#include "core/schur_aggregates.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <numeric>
#include <utility>

namespace korvald::core {

namespace {

constexpr double kStrongCoupling = 0.05;
constexpr int64_t kMaxAggregate = 64;  // groups per block: its solve costs size^2 per CG step
std::atomic<bool> g_aggregates_on{true};

struct Edge {
  double strength;
  int64_t a, b;  // local groups, a < b
};

// A pivot group's rows [a, b) that gave a strong pair in fixed effect k; the
// blocks take all pairs of its rows above the run's floor (row_floor).
struct StrongRun {
  int64_t a, b;
  int k;
};

// The two largest of f(i) over [a, b) (0 where there are fewer).
template <class F>
std::pair<double, double> largest_two(int64_t a, int64_t b, const F& f) {
  double first = 0.0, second = 0.0;
  for (int64_t i = a; i < b; ++i) {
    const double v = f(i);
    if (v > first) {
      second = first;
      first = v;
    } else if (v > second) {
      second = v;
    }
  }
  return {first, second};
}

class Scan {
 public:
  Scan(const SchurRows& rows, const std::vector<double>& sqrt_inv_diag)
      : r_(rows),
        sqrt_inv_diag_(sqrt_inv_diag),
        pivot_groups_(rows.offset[rows.pivot + 1] - rows.offset[rows.pivot]),
        largest_inv_diag_(static_cast<size_t>(rows.F), 0.0) {
    for (int k = 0; k < rows.F; ++k) {
      if (k == rows.pivot) continue;
      for (int64_t t = rows.offset[k]; t < rows.offset[k + 1]; ++t)
        largest_inv_diag_[k] = std::max(largest_inv_diag_[k], rows.inv_diag[local_of(t)]);
    }
  }

  int64_t local_of(int64_t t) const { return t < r_.offset[r_.pivot] ? t : t - pivot_groups_; }
  int64_t local_code(int64_t i, int k) const { return local_of(r_.codes[i * r_.F + k]); }
  double u(int64_t i, int k) const { return r_.w[i] * sqrt_inv_diag_[local_code(i, k)]; }
  double inv_weight(int64_t i) const { return r_.inv_weight_g[r_.codes[i * r_.F + r_.pivot]]; }

  // The smallest u a row of a run with largest u_max and 1 / W_g inv_w
  // needs to take part in a strong pair; +inf when the run has none.
  double row_floor(int64_t a, int64_t b, int k) const {
    const double inv_w = inv_weight(a);
    const auto [u1, u2] = largest_two(a, b, [&](int64_t i) { return u(i, k); });
    if (!(inv_w * u1 * u2 >= kStrongCoupling)) return INFINITY;
    return kStrongCoupling / (inv_w * u1);
  }

  // f(i, j, ci, cj) for the pairs i < j of rows of the run [a, b) at or
  // above `floor` whose groups ci != cj in fixed effect k differ: the pairs
  // a strong run gives both the edges and its block share from.
  template <class F>
  void for_floor_pairs(int64_t a, int64_t b, int k, double floor, const F& f) const {
    for (int64_t i = a; i < b; ++i) {
      if (u(i, k) < floor) continue;
      const int64_t ci = local_code(i, k);
      for (int64_t j = i + 1; j < b; ++j) {
        if (u(j, k) < floor) continue;
        const int64_t cj = local_code(j, k);
        if (ci != cj) f(i, j, ci, cj);
      }
    }
  }

  // Strong pairs of the rows [i0, i1) (whole pivot runs) into edges, and
  // the runs that gave them into runs.
  void edges_of(int64_t i0, int64_t i1, std::vector<Edge>& edges, std::vector<StrongRun>& runs) const {
    const uint32_t* codes = r_.codes;
    const int F = r_.F, pv = r_.pivot;
    for (int64_t a = i0; a < i1;) {
      const uint32_t g = codes[a * F + pv];
      int64_t b = a + 1;
      while (b < i1 && codes[b * F + pv] == g) ++b;
      if (b - a >= 2 && r_.inv_weight_g[g] > 0) {
        // u_r u_s <= w_r w_s max(1 / S_aa): the two heaviest rows rule out
        // the run without looking its groups up (with mild weights, all runs).
        const double inv_w = r_.inv_weight_g[g];
        const auto [w1, w2] = largest_two(a, b, [&](int64_t i) { return r_.w[i]; });
        for (int k = 0; k < F; ++k) {
          if (k == pv || !(w1 * w2 * inv_w * largest_inv_diag_[k] >= kStrongCoupling)) continue;
          const double floor = row_floor(a, b, k);
          if (!std::isfinite(floor)) continue;
          bool any = false;
          for_floor_pairs(a, b, k, floor, [&](int64_t i, int64_t j, int64_t ci, int64_t cj) {
            const double s = inv_w * u(i, k) * u(j, k);
            if (!(s >= kStrongCoupling)) return;
            edges.push_back({s, std::min(ci, cj), std::max(ci, cj)});
            any = true;
          });
          if (any) runs.push_back({a, b, k});
        }
      }
      a = b;
    }
  }

 private:
  const SchurRows& r_;
  const std::vector<double>& sqrt_inv_diag_;
  int64_t pivot_groups_;
  std::vector<double> largest_inv_diag_;  // per fixed effect
};

// Union of strong edges, strongest first, as long as a set stays within kMaxAggregate.
std::vector<int64_t> join_strong(std::vector<Edge>& edges, int64_t R) {
  std::sort(edges.begin(), edges.end(), [](const Edge& x, const Edge& y) {
    if (x.strength != y.strength) return x.strength > y.strength;
    return x.a != y.a ? x.a < y.a : x.b < y.b;
  });
  std::vector<int64_t> parent(static_cast<size_t>(R)), size(static_cast<size_t>(R), 1);
  std::iota(parent.begin(), parent.end(), int64_t{0});
  auto find = [&](int64_t x) {
    while (parent[x] != x) x = parent[x] = parent[parent[x]];
    return x;
  };
  for (const Edge& e : edges) {
    int64_t ra = find(e.a), rb = find(e.b);
    if (ra == rb || size[ra] + size[rb] > kMaxAggregate) continue;
    if (rb < ra) std::swap(ra, rb);
    parent[rb] = ra;
    size[ra] += size[rb];
  }
  std::vector<int64_t> root(static_cast<size_t>(R));
  for (int64_t c = 0; c < R; ++c) root[c] = size[find(c)] >= 2 ? find(c) : -1;
  return root;
}

// In-place lower Cholesky factor of the m x m row-major A; false when A is
// not (numerically) positive definite.
bool cholesky(double* A, int64_t m) {
  for (int64_t j = 0; j < m; ++j) {
    double d = A[j * m + j];
    for (int64_t k = 0; k < j; ++k) d -= A[j * m + k] * A[j * m + k];
    if (!(d > 0) || !std::isfinite(d)) return false;
    const double l = std::sqrt(d);
    A[j * m + j] = l;
    for (int64_t i = j + 1; i < m; ++i) {
      double s = A[i * m + j];
      for (int64_t k = 0; k < j; ++k) s -= A[i * m + k] * A[j * m + k];
      A[i * m + j] = s / l;
    }
  }
  return true;
}

}  // namespace

bool set_schur_aggregates(bool on) { return g_aggregates_on.exchange(on); }
bool schur_aggregates_on() { return g_aggregates_on.load(); }

void SchurAggregates::solve(const double* r, double* x) const {
  std::vector<double> y;
  for (int64_t a = 0; a < count(); ++a) {
    const int64_t* mem = member.data() + start[a];
    const int64_t m = start[a + 1] - start[a];
    const double* L = factor.data() + factor_at[a];
    y.resize(static_cast<size_t>(m));
    for (int64_t i = 0; i < m; ++i) {
      double s = r[mem[i]];
      for (int64_t k = 0; k < i; ++k) s -= L[i * m + k] * y[k];
      y[i] = s / L[i * m + i];
    }
    for (int64_t i = m - 1; i >= 0; --i) {
      double s = y[i];
      for (int64_t k = i + 1; k < m; ++k) s -= L[k * m + i] * y[k];
      y[i] = s / L[i * m + i];
    }
    for (int64_t i = 0; i < m; ++i) x[mem[i]] = y[i];
  }
}

SchurAggregates build_schur_aggregates(const SchurRows& rows, const std::vector<int64_t>& block_start,
                                       TaskTeam* team) {
  SchurAggregates out;
  const int64_t R = rows.offset[rows.F] - (rows.offset[rows.pivot + 1] - rows.offset[rows.pivot]);
  std::vector<double> sqrt_inv_diag(static_cast<size_t>(R));
  for (int64_t c = 0; c < R; ++c) sqrt_inv_diag[c] = std::sqrt(rows.inv_diag[c]);
  const Scan scan(rows, sqrt_inv_diag);

  // Strong edges block by block, put together in block order.
  const int64_t blocks = static_cast<int64_t>(block_start.size()) - 1;
  std::vector<std::vector<Edge>> block_edges(static_cast<size_t>(blocks));
  std::vector<std::vector<StrongRun>> block_runs(static_cast<size_t>(blocks));
  on_team(team, blocks, [&](int64_t b) {
    scan.edges_of(block_start[b], block_start[b + 1], block_edges[b], block_runs[b]);
  });
  std::vector<Edge> edges;
  for (auto& e : block_edges) edges.insert(edges.end(), e.begin(), e.end());
  if (edges.empty()) return out;
  const std::vector<int64_t> root = join_strong(edges, R);

  // Aggregates numbered by their smallest group, members in local order.
  std::vector<int64_t> agg_of(static_cast<size_t>(R), -1), pos(static_cast<size_t>(R), 0);
  std::vector<int64_t> agg_of_root(static_cast<size_t>(R), -1), sizes;
  for (int64_t c = 0; c < R; ++c) {
    if (root[c] < 0) continue;
    int64_t& id = agg_of_root[root[c]];
    if (id < 0) {
      id = static_cast<int64_t>(sizes.size());
      sizes.push_back(0);
    }
    agg_of[c] = id;
    pos[c] = sizes[id]++;
  }
  const int64_t A = static_cast<int64_t>(sizes.size());
  std::vector<int64_t> start(static_cast<size_t>(A + 1), 0), block_at(static_cast<size_t>(A + 1), 0);
  for (int64_t a = 0; a < A; ++a) {
    start[a + 1] = start[a] + sizes[a];
    block_at[a + 1] = block_at[a] + sizes[a] * sizes[a];
  }
  std::vector<int64_t> member(static_cast<size_t>(start[A]));
  for (int64_t c = 0; c < R; ++c)
    if (agg_of[c] >= 0) member[start[agg_of[c]] + pos[c]] = c;

  // Blocks: S_aa on the diagonal, the strong runs' couplings within an
  // aggregate off it (all pairs of a run's eligible rows, so that each run
  // adds a positive semi-definite share).
  std::vector<double> block(static_cast<size_t>(block_at[A]), 0.0);
  for (int64_t a = 0; a < A; ++a)
    for (int64_t i = 0; i < sizes[a]; ++i) {
      const double inv = rows.inv_diag[member[start[a] + i]];
      block[block_at[a] + i * sizes[a] + i] = 1.0 / inv;
    }
  for (const auto& runs : block_runs)
    for (const StrongRun& run : runs) {
      const double floor = scan.row_floor(run.a, run.b, run.k);
      const double inv_w = scan.inv_weight(run.a);
      scan.for_floor_pairs(run.a, run.b, run.k, floor, [&](int64_t i, int64_t j, int64_t ci, int64_t cj) {
        if (agg_of[ci] < 0 || agg_of[ci] != agg_of[cj]) return;
        const int64_t a = agg_of[ci], m = sizes[a];
        const double share = rows.w[i] * rows.w[j] * inv_w;
        block[block_at[a] + pos[ci] * m + pos[cj]] -= share;
        block[block_at[a] + pos[cj] * m + pos[ci]] -= share;
      });
    }

  // Factorised blocks only; a block that fails keeps its groups' diagonals.
  for (int64_t a = 0; a < A; ++a) {
    const int64_t m = sizes[a];
    double* B = block.data() + block_at[a];
    if (!cholesky(B, m)) continue;
    out.factor_at.push_back(static_cast<int64_t>(out.factor.size()));
    out.factor.insert(out.factor.end(), B, B + m * m);
    out.member.insert(out.member.end(), member.begin() + start[a], member.begin() + start[a + 1]);
    out.start.push_back(static_cast<int64_t>(out.member.size()));
  }
  return out;
}

}  // namespace korvald::core
