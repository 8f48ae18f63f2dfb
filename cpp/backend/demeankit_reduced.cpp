#include "backend/demeankit_reduced.hpp"

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "backend/demeankit_index_cache.hpp"
#include "pyutil/pyutil.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace korvald::backend {
namespace {

// Relative shift that keeps the pinned system definite whatever the design.
// Far below the smallest non-zero eigenvalues of S on the panels this is used
// for, so the factor stays a near-exact inverse on S's range.
constexpr double kShift = 1e-10;

// A reduced system with more than this share of non-zeros comes from a well
// connected panel (every group of the other fixed effects shares pivot
// groups with most others), where a few sweep-preconditioned CG steps do.
constexpr double kMaxDensity = 0.75;

template <typename T>
nb::object to_numpy(const std::vector<T>& v) {
  nb::object np = py::numpy();
  const char* dtype = std::is_same_v<T, double> ? "float64" : (sizeof(T) == 8 ? "int64" : "int32");
  nb::object arr = np.attr("empty")(static_cast<int64_t>(v.size()), "dtype"_a = dtype);
  if (!v.empty())
    std::memcpy(nb::cast<nb::ndarray<T, nb::c_contig, nb::device::cpu>>(arr).data(), v.data(), v.size() * sizeof(T));
  return arr;
}

template <typename T>
void from_numpy(nb::handle obj, std::vector<T>& v) {
  nb::object np = py::numpy();
  const char* dtype = std::is_same_v<T, double> ? "float64" : (sizeof(T) == 8 ? "int64" : "int32");
  nb::object arr = np.attr("ascontiguousarray")(obj, "dtype"_a = dtype);
  auto view = nb::cast<nb::ndarray<const T, nb::ndim<1>, nb::c_contig, nb::device::cpu>>(arr);
  v.assign(view.data(), view.data() + view.shape(0));
}

nb::object csr(const std::vector<int64_t>& row, const std::vector<int32_t>& col, const std::vector<double>& val,
               int64_t n, const char* kind) {
  nb::object sparse = nb::module_::import_("scipy.sparse");
  return sparse.attr(kind)(nb::make_tuple(to_numpy(val), to_numpy(col), to_numpy(row)),
                           "shape"_a = nb::make_tuple(n, n));
}

// Fill-reducing order of S: reverse Cuthill-McKee, except that groups linked
// to a large share of the others (the levels of a small fixed effect) go last,
// where they add a dense border instead of widening the band everywhere.
std::vector<int64_t> reduced_order(const core::ReducedLayout& rs) {
  const int64_t n = rs.nr;
  const double mean_degree = n > 0 ? static_cast<double>(rs.s_row[n]) / static_cast<double>(n) : 0.0;
  const double hub_degree = std::max(64.0, 10.0 * mean_degree);
  std::vector<int64_t> keep, hubs, at(static_cast<size_t>(n), -1);
  for (int64_t a = 0; a < n; ++a) {
    if (static_cast<double>(rs.s_row[a + 1] - rs.s_row[a]) > hub_degree) {
      hubs.push_back(a);
    } else {
      at[a] = static_cast<int64_t>(keep.size());
      keep.push_back(a);
    }
  }
  const int64_t m = static_cast<int64_t>(keep.size());
  std::vector<int64_t> row(static_cast<size_t>(m + 1), 0);
  std::vector<int32_t> col;
  for (int64_t k = 0; k < m; ++k) {
    const int64_t a = keep[k];
    for (int64_t e = rs.s_row[a]; e < rs.s_row[a + 1]; ++e)
      if (at[rs.s_col[e]] >= 0) col.push_back(static_cast<int32_t>(at[rs.s_col[e]]));
    row[k + 1] = static_cast<int64_t>(col.size());
  }
  std::vector<double> ones(col.size(), 1.0);
  nb::object graph = csr(row, col, ones, m, "csr_matrix");
  nb::object rcm = nb::module_::import_("scipy.sparse.csgraph").attr("reverse_cuthill_mckee");
  std::vector<int64_t> sub;
  from_numpy(rcm(graph, "symmetric_mode"_a = true), sub);
  std::vector<int64_t> perm;
  perm.reserve(static_cast<size_t>(n));
  for (const int64_t k : sub) perm.push_back(keep[k]);
  perm.insert(perm.end(), hubs.begin(), hubs.end());
  return perm;
}

// SuperLU factor of P (S + pins + shift) P' in the order perm, no pivoting.
// False if it fails.
bool factorise_once(const core::ReducedSystem& rs, const std::vector<int64_t>& perm,
                    const std::vector<int64_t>& pinv, const std::vector<double>& extra, core::ReducedFactor& f) {
  const int64_t n = rs.nr;
  std::vector<int64_t> row(static_cast<size_t>(n + 1), 0);
  std::vector<int32_t> col(rs.s_col.size());
  std::vector<double> val(rs.s_col.size());
  int64_t at = 0;
  for (int64_t k = 0; k < n; ++k) {
    const int64_t a = perm[k];
    for (int64_t e = rs.s_row[a]; e < rs.s_row[a + 1]; ++e, ++at) {
      const int64_t b = rs.s_col[e];
      col[at] = static_cast<int32_t>(pinv[b]);
      double v = rs.s_val[e];
      // A group without weight has an empty row in S: give it a unit pivot.
      if (b == a) v = rs.w_r[a] > 0 ? v + extra[a] + kShift * rs.w_r[a] : 1.0;
      val[at] = v;
    }
    row[k + 1] = at;
  }
  // Symmetric: the rows of P M P' are also its columns.
  nb::object M = csr(row, col, val, n, "csc_matrix");
  nb::object splu = nb::module_::import_("scipy.sparse.linalg").attr("splu");
  nb::dict opts;
  opts["SymmetricMode"] = true;
  nb::object lu;
  try {
    lu = splu(M, "permc_spec"_a = "NATURAL", "diag_pivot_thresh"_a = 0.0, "options"_a = opts);
  } catch (const nb::python_error& e) {
    // A numerically singular factor: the caller falls back to the sweeps.
    if (!e.matches(PyExc_RuntimeError)) throw;
    return false;
  }
  f.n = n;
  f.perm = perm;
  from_numpy(lu.attr("perm_r"), f.perm_r);
  from_numpy(lu.attr("perm_c"), f.perm_c);
  nb::object L = lu.attr("L"), U = lu.attr("U");
  from_numpy(L.attr("indptr"), f.l_ptr);
  from_numpy(L.attr("indices"), f.l_idx);
  from_numpy(L.attr("data"), f.l_val);
  from_numpy(U.attr("indptr"), f.u_ptr);
  from_numpy(U.attr("indices"), f.u_idx);
  from_numpy(U.attr("data"), f.u_val);
  return f.prepare();
}

// Pivots this small (relative to the group's weight) mean the group's
// coefficient is already fixed by the groups eliminated before it: a
// collinearity beyond the pinned ones (a fixed effect nested in the pivot, for
// instance). Such groups are pinned too and the factorisation is repeated.
constexpr double kTinyPivot = 1e-8;

bool factorise(const core::ReducedSystem& rs, const std::vector<int64_t>& perm, core::ReducedFactor& f) {
  const int64_t n = rs.nr;
  std::vector<int64_t> pinv(static_cast<size_t>(n));
  for (int64_t k = 0; k < n; ++k) pinv[perm[k]] = k;
  std::vector<double> extra(static_cast<size_t>(n), 0.0);
  for (const int64_t a : rs.pinned) extra[a] = rs.w_r[a];
  for (int round = 0; round < 3; ++round) {
    if (!factorise_once(rs, perm, pinv, extra, f)) return false;
    // Symmetric pivoting: position perm_c[k] of the factor holds row and column k of M.
    if (f.perm_r != f.perm_c) return true;
    bool pinned_more = false;
    for (int64_t k = 0; k < n; ++k) {
      const int64_t a = perm[k];
      if (extra[a] == 0.0 && rs.w_r[a] > 0 && std::fabs(f.u_diag[f.perm_c[k]]) <= kTinyPivot * rs.w_r[a]) {
        extra[a] = rs.w_r[a];
        pinned_more = true;
      }
    }
    if (!pinned_more) return true;
  }
  return true;
}

std::shared_ptr<const ReducedPlan> make_plan(const core::GroupIndex& index, const std::vector<core::GroupRanges>& ranges,
                                             int threads, core::Interrupt* interrupt, ReducedMode mode) {
  auto plan = std::make_shared<ReducedPlan>();
  constexpr int64_t kUnlimited = std::numeric_limits<int64_t>::max();
  const bool budgeted = mode == ReducedMode::automatic;
  // Budgets: S and its factor no larger than the data, the factorisation no
  // dearer than a few dozen passes over it (floors so small problems qualify).
  const int64_t max_s = budgeted ? std::max<int64_t>(index.n, int64_t{1} << 18) : kUnlimited;
  const int64_t max_fill = budgeted ? std::max<int64_t>(index.n, int64_t{1} << 20) : kUnlimited;
  const double max_flops = budgeted ? std::max(64.0 * static_cast<double>(index.n), 268435456.0)
                                    : std::numeric_limits<double>::infinity();
  core::ReducedBuild built;
  {
    nb::gil_scoped_release release;
    built = core::build_reduced_layout(index, ranges, max_s, budgeted ? kMaxDensity : 2.0, threads, interrupt,
                                       plan->layout);
  }
  if (built == core::ReducedBuild::ok) {
    plan->perm = reduced_order(plan->layout);
    core::FillCount fill;
    bool small;
    {
      nb::gil_scoped_release release;
      small = core::cholesky_fill(plan->layout, plan->perm.data(), max_fill, interrupt, fill);
    }
    plan->applies = small && fill.flops <= max_flops;
  }
  // A plan that does not apply only remembers that.
  if (!plan->applies) {
    plan->layout = core::ReducedLayout();
    std::vector<int64_t>().swap(plan->perm);
  }
  return plan;
}

}  // namespace

bool prepare_reduced(const std::shared_ptr<const core::GroupIndex>& index,
                     const std::vector<core::GroupRanges>& ranges, const double* weights, int threads,
                     core::Interrupt* interrupt, ReducedMode mode, ReducedSolver& out) {
  if (mode == ReducedMode::never || index->nfe < 2 || index->n == 0) return false;
  const int slot = mode == ReducedMode::automatic ? 0 : 1;
  std::shared_ptr<const ReducedPlan> plan = kept_reduced_plan(index.get(), slot);
  if (!plan) {
    plan = make_plan(*index, ranges, threads, interrupt, mode);
    keep_reduced_plan(index.get(), slot, plan);
  }
  if (!plan->applies) return false;
  out.plan = plan;
  {
    nb::gil_scoped_release release;
    core::fill_reduced_system(plan->layout, *index, ranges, weights, threads, interrupt, out.system);
  }
  return factorise(out.system, plan->perm, out.factor);
}

}  // namespace korvald::backend
