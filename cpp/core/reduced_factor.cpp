// The preconditioner of the reduced CG (reduced_system.hpp): a sparse L D L'
// factorisation of the pinned and shifted reduced system in a fill-reducing
// order. The analysis (elimination tree, column counts) depends only on S's
// pattern and is done once per layout; the numeric factorisation runs row by
// row (up-looking: row k of L solves a sparse triangular system whose pattern
// is the union of the tree paths from row k's entries), so it needs nothing
// beyond the symbolic part and the values of one call.
#include <cmath>

#include "core/reduced_system.hpp"

namespace korvald::core {

bool analyse_reduced(const ReducedLayout& rl, const std::vector<int64_t>& perm, int64_t max_nonzeros,
                     Interrupt* interrupt, ReducedSymbolic& out) {
  const int64_t n = rl.nr;
  out.n = n;
  out.perm = perm;
  std::vector<int64_t> pinv(static_cast<size_t>(n));
  for (int64_t k = 0; k < n; ++k) pinv[perm[k]] = k;
  // M's upper triangle: column k holds S's row perm[k] up to the diagonal.
  out.m_ptr.assign(static_cast<size_t>(n + 1), 0);
  out.m_row.clear();
  out.m_src.clear();
  for (int64_t k = 0; k < n; ++k) {
    const int64_t a = perm[k];
    for (int64_t e = rl.s_row[a]; e < rl.s_row[a + 1]; ++e) {
      const int64_t i = pinv[rl.s_col[e]];
      if (i > k) continue;
      out.m_row.push_back(static_cast<int32_t>(i));
      out.m_src.push_back(e);
    }
    out.m_ptr[k + 1] = static_cast<int64_t>(out.m_row.size());
  }
  // Elimination tree (Liu's algorithm, path compression).
  out.parent.assign(static_cast<size_t>(n), -1);
  std::vector<int64_t> ancestor(static_cast<size_t>(n), -1);
  for (int64_t k = 0; k < n; ++k) {
    if ((k & 1023) == 0) interrupt_poll(interrupt);
    for (int64_t e = out.m_ptr[k]; e < out.m_ptr[k + 1]; ++e) {
      int64_t i = out.m_row[e];
      while (i != -1 && i < k) {
        const int64_t next = ancestor[i];
        ancestor[i] = k;
        if (next == -1) out.parent[i] = k;
        i = next;
      }
    }
  }
  // Row k of L: the union of the tree paths from every earlier neighbour up to k.
  std::vector<int64_t> mark(static_cast<size_t>(n), -1), below(static_cast<size_t>(n), 0);
  int64_t nonzeros = n;
  for (int64_t k = 0; k < n; ++k) {
    if ((k & 1023) == 0) interrupt_poll(interrupt);
    mark[k] = k;
    for (int64_t e = out.m_ptr[k]; e < out.m_ptr[k + 1]; ++e)
      for (int64_t i = out.m_row[e]; i != -1 && i < k && mark[i] != k; i = out.parent[i]) {
        mark[i] = k;
        ++below[i];
        ++nonzeros;
      }
    if (nonzeros > max_nonzeros) return false;
  }
  out.nonzeros = nonzeros;
  out.flops = 0.0;
  out.l_ptr.assign(static_cast<size_t>(n + 1), 0);
  for (int64_t k = 0; k < n; ++k) {
    const double c = static_cast<double>(below[k] + 1);
    out.flops += c * c;
    out.l_ptr[k + 1] = out.l_ptr[k] + below[k];
  }
  return true;
}

bool factorise_reduced(const ReducedSymbolic& sym, const ReducedSystem& rs, double shift, double tiny_pivot,
                       ReducedFactor& f) {
  const int64_t n = sym.n;
  f.symbolic = &sym;
  f.l_idx.resize(static_cast<size_t>(sym.l_ptr[n]));
  f.l_val.resize(static_cast<size_t>(sym.l_ptr[n]));
  f.d.assign(static_cast<size_t>(n), 0.0);
  std::vector<double> extra(static_cast<size_t>(n), 0.0), y(static_cast<size_t>(n), 0.0);
  for (const int64_t a : rs.pinned) extra[a] = rs.w_r[a];
  std::vector<int64_t> flag(static_cast<size_t>(n), -1), pattern(static_cast<size_t>(n)), filled(static_cast<size_t>(n), 0);
  const int64_t* parent = sym.parent.data();
  for (int64_t k = 0; k < n; ++k) {
    const int64_t a = sym.perm[k];
    // Scatter column k of M's upper triangle into y; collect the rows of L
    // that row k depends on, in topological order, at the top of `pattern`.
    int64_t top = n;
    flag[k] = k;
    for (int64_t e = sym.m_ptr[k]; e < sym.m_ptr[k + 1]; ++e) {
      int64_t i = sym.m_row[e];
      double v = rs.s_val[sym.m_src[e]];
      if (i == k) v = rs.w_r[a] > 0 ? v + extra[a] + shift * rs.w_r[a] : 1.0;
      y[i] += v;
      int64_t len = 0;
      for (; flag[i] != k; i = parent[i]) {
        pattern[len++] = i;
        flag[i] = k;
      }
      while (len > 0) pattern[--top] = pattern[--len];
    }
    double dk = y[k];
    y[k] = 0.0;
    for (; top < n; ++top) {
      const int64_t i = pattern[top];
      const double yi = y[i];
      y[i] = 0.0;
      const int64_t end = sym.l_ptr[i] + filled[i];
      for (int64_t p = sym.l_ptr[i]; p < end; ++p) y[f.l_idx[p]] -= f.l_val[p] * yi;
      const double lki = yi / f.d[i];
      dk -= lki * yi;
      f.l_idx[end] = static_cast<int32_t>(k);
      f.l_val[end] = lki;
      ++filled[i];
    }
    if (extra[a] == 0.0 && rs.w_r[a] > 0 && std::fabs(dk) <= tiny_pivot * rs.w_r[a]) dk += rs.w_r[a];
    if (!(dk != 0.0) || !std::isfinite(dk)) return false;
    f.d[k] = dk;
  }
  return true;
}

void ReducedFactor::solve(const double* b, double* x, double* work) const {
  const ReducedSymbolic& sym = *symbolic;
  const int64_t n = sym.n;
  const int64_t* ptr = sym.l_ptr.data();
  double* t = work;
  for (int64_t k = 0; k < n; ++k) t[k] = b[sym.perm[k]];
  for (int64_t j = 0; j < n; ++j) {
    const double tj = t[j];
    if (tj == 0.0) continue;
    for (int64_t p = ptr[j]; p < ptr[j + 1]; ++p) t[l_idx[p]] -= l_val[p] * tj;
  }
  for (int64_t j = 0; j < n; ++j) t[j] /= d[j];
  for (int64_t j = n - 1; j >= 0; --j) {
    double s = t[j];
    for (int64_t p = ptr[j]; p < ptr[j + 1]; ++p) s -= l_val[p] * t[l_idx[p]];
    t[j] = s;
  }
  for (int64_t k = 0; k < n; ++k) x[sym.perm[k]] = t[k];
}

}  // namespace korvald::core
