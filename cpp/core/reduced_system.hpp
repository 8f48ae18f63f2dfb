// The partialling-out system with the finest fixed effect eliminated exactly.
//
// Order the fixed effects so that the one with the most groups (the pivot,
// workers in a worker-firm-year panel) comes first. Its block of D'WD is
// diagonal, so it can be eliminated exactly, which leaves the reduced system
//   S y = b,  S = D_R'W D_R - B' W_p^-1 B,  b = c_R - B' W_p^-1 c_p,
// over the groups of the other fixed effects (firms and years). Here B is the
// cross-tabulation of the pivot with those groups (total weight per pivot
// group and other group), W_p the pivot group weights, c = D'Wz.
//
// S is small (firms + years) and, on weakly connected panels, sparse: a worker
// only links the few firms it visited. Those are exactly the designs on which
// sweeps and sweep-preconditioned CG crawl (S has eigenvalues close to zero),
// and on which a sparse factorisation of S costs almost nothing. So S is
// assembled explicitly, a fill-reducing order and the exact Cholesky fill are
// computed for it, and when the fill is small the caller factorises
// M = S + sum over pinned groups a of W_a e_a e_a' + delta diag(W_R)
// (reduced_factor.cpp). S is singular: its null space holds the shifts between
// fixed effects within every connected part of the panel. The pins (one group
// per other fixed effect and part) remove exactly those, so on S's range M^-1
// is an exact solver (M y = r for the solution with y = 0 at the pins) while
// rounding along the null space is not amplified; the tiny shift keeps M
// definite should a design have further, accidental collinearities. The
// factor is then only a preconditioner for CG on the exact, singular S y = b,
// so rounding in it costs at most an iteration or two and the stopping rule
// stays the one the caller documents.
//
// Where the non-zeros sit depends only on which groups share observations,
// not on the weights. That part (ReducedLayout: the patterns of B, of its
// transpose, of the cross-tabulations and of S) is built once per set of
// groups and kept by the caller; a call with new weights (an IRLS iteration)
// only sums the values into it (fill_reduced_system). A fresh build is the
// layout and then the same fill, so a kept layout gives bit-identical values.
// Cells whose observations all have weight zero stay in the patterns as
// explicit zeros.
//
// On well-connected designs S is dense (every firm shares workers with most
// firms); its layout stops at a budget of non-zeros and the caller keeps the
// sweep-preconditioned CG, which converges fast there.
//
// Every result here is independent of the thread count: S is assembled row by
// row, each row on its own in a fixed order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/group_index.hpp"
#include "core/interrupt.hpp"

namespace korvald::core {

// A read-only view of a vector held elsewhere (a kept layout).
template <class T>
struct ConstView {
  const T* ptr = nullptr;
  size_t len = 0;

  ConstView() = default;
  ConstView(const std::vector<T>& v) : ptr(v.data()), len(v.size()) {}  // NOLINT: views convert implicitly
  const T& operator[](size_t i) const { return ptr[i]; }
  size_t size() const { return len; }
  bool empty() const { return len == 0; }
  const T* data() const { return ptr; }
  const T* begin() const { return ptr; }
  const T* end() const { return ptr + len; }
  const T& back() const { return ptr[len - 1]; }
};

// Everything about the reduced system that does not depend on the weights.
struct ReducedLayout {
  int pivot = -1;
  std::vector<int> others;     // the other fixed effects, in their order
  std::vector<int64_t> block;  // local number of the first group of others[k]; others.size() + 1 entries
  int64_t nr = 0;              // groups of the other fixed effects: the size of S

  // B: pivot group x local group, CSR, columns ascending within a row.
  std::vector<int64_t> b_row;
  std::vector<uint32_t> b_col;
  // B transposed: for local group a, the pivot groups meeting it (ascending)
  // and where a sits within that group's row of B.
  std::vector<int64_t> bt_row;
  std::vector<uint32_t> bt_g, bt_off;
  // Cross-tabulation between different other fixed effects (firm x year), CSR, symmetric.
  std::vector<int64_t> c_row;
  std::vector<uint32_t> c_col;
  // tabulated[k * R + l] (k < l): that pair is summed through a dense
  // G_k x G_l table, else by walking k's sort order.
  std::vector<char> tabulated;
  // S, CSR, symmetric, columns ascending within a row; s_diag[a] is the
  // position of row a's diagonal (its entries before it mirror earlier rows),
  // s_mirror[e] for such an entry the position of its transpose.
  std::vector<int64_t> s_row;
  std::vector<int32_t> s_col;
  std::vector<int64_t> s_diag, s_mirror;
  // Row chunks of about equal assembly work, and the rows summed apart
  // (hub_rows in the .cpp), ascending.
  std::vector<int64_t> chunk_start;
  std::vector<int64_t> hubs;
  // The pins when every weight is positive (see ReducedSystem::pinned).
  std::vector<int64_t> pinned;

  int64_t local(int k, uint32_t code, const GroupIndex& index) const {
    return block[k] + (static_cast<int64_t>(code) - index.offset[others[k]]);
  }
};

// The reduced system for one set of weights: values in a kept layout.
struct ReducedSystem {
  const ReducedLayout* layout = nullptr;  // pivot, others, block, nr and local() are read there

  ConstView<int64_t> b_row;
  ConstView<uint32_t> b_col;
  std::vector<double> b_val;
  ConstView<int64_t> c_row;
  ConstView<uint32_t> c_col;
  std::vector<double> c_val;
  ConstView<int64_t> s_row;
  ConstView<int32_t> s_col;
  std::vector<double> s_val;

  std::vector<double> w_pivot, inv_w_pivot;  // per pivot group
  std::vector<double> w_r, inv_w_r;          // per local group
  // One group of every other fixed effect in every connected part of the
  // panel (through positive weights): S is singular exactly along the shifts
  // of those fixed effects within a part, and fixing one group of each makes
  // it definite.
  std::vector<int64_t> pinned;
};

enum class ReducedBuild { ok, too_dense };

// Builds the layout. Stops with too_dense (and a partly filled `out`) as soon
// as S is known to have more than max_nonzeros entries, or, from a sample of
// its rows, a share of non-zeros above max_density; whether it stops does not
// depend on `threads`. Needs at least two fixed effects. Throws Interrupted.
ReducedBuild build_reduced_layout(const GroupIndex& index, const std::vector<GroupRanges>& ranges,
                                  int64_t max_nonzeros, double max_density, int threads, Interrupt* interrupt,
                                  ReducedLayout& out);

// The values of B, the cross-tabulations, the group weights, the pins and S
// for `weights` (null: all 1) in `layout`, which must have been built for this
// index and must outlive `out`. Throws Interrupted.
void fill_reduced_system(const ReducedLayout& layout, const GroupIndex& index, const std::vector<GroupRanges>& ranges,
                         const double* weights, int threads, Interrupt* interrupt, ReducedSystem& out);

// The part of the factorisation of M = P (S + diagonal) P' that the weights do
// not change, P the fill-reducing order: where M's entries come from, the
// elimination tree and the column pointers of L (exact Cholesky fill).
struct ReducedSymbolic {
  int64_t n = 0;
  std::vector<int64_t> perm;  // M's row/column k is S's group perm[k]
  // M's upper triangle by columns: column k holds rows m_row[e] <= k for e in
  // [m_ptr[k], m_ptr[k + 1]), with the value of S's entry m_src[e].
  std::vector<int64_t> m_ptr, m_src;
  std::vector<int32_t> m_row;
  std::vector<int64_t> parent;  // elimination tree, -1 at roots
  std::vector<int64_t> l_ptr;   // L's columns, the unit diagonal left out
  int64_t nonzeros = 0;         // of the Cholesky factor, diagonal included
  double flops = 0.0;
};

// Fills `out` for S's pattern in the order `perm` (new position k holds group
// perm[k]). Stops (returns false) once the factor's non-zeros pass max_nonzeros.
// Throws Interrupted.
bool analyse_reduced(const ReducedLayout& layout, const std::vector<int64_t>& perm, int64_t max_nonzeros,
                     Interrupt* interrupt, ReducedSymbolic& out);

// M = L D L', L unit lower triangular in compressed columns, in the order of
// its symbolic analysis (which must outlive it).
struct ReducedFactor {
  const ReducedSymbolic* symbolic = nullptr;
  std::vector<int32_t> l_idx;
  std::vector<double> l_val, d;

  // x = M^-1 b (in S's numbering); work holds n doubles.
  void solve(const double* b, double* x, double* work) const;
};

// The factor of M = S + sum over pinned groups a of W_a e_a e_a' + shift
// diag(W_R) (a group without weight gets a unit pivot), without pivoting: M
// is positive definite. A pivot at most tiny_pivot W_a means group a's
// coefficient is already fixed by the groups eliminated before it (a
// collinearity beyond the pinned ones, such as a fixed effect nested in the
// pivot): the group is pinned there and then. False when some pivot is zero
// or not finite.
bool factorise_reduced(const ReducedSymbolic& symbolic, const ReducedSystem& system, double shift, double tiny_pivot,
                       ReducedFactor& out);

// Sv = S v.
void reduced_multiply(const ReducedSystem& system, const double* v, double* Sv);

}  // namespace korvald::core
