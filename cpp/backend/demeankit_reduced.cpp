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

// Pivots this small (relative to the group's weight) mean the group's
// coefficient is already fixed by the groups eliminated before it (see
// core::factorise_reduced).
constexpr double kTinyPivot = 1e-8;

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
    const std::vector<int64_t> perm = reduced_order(plan->layout);
    bool small;
    {
      nb::gil_scoped_release release;
      small = core::analyse_reduced(plan->layout, perm, max_fill, interrupt, plan->symbolic);
    }
    plan->applies = small && plan->symbolic.flops <= max_flops;
  }
  // A plan that does not apply only remembers that.
  if (!plan->applies) {
    plan->layout = core::ReducedLayout();
    plan->symbolic = core::ReducedSymbolic();
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
  nb::gil_scoped_release release;
  core::fill_reduced_system(plan->layout, *index, ranges, weights, threads, interrupt, out.system);
  return core::factorise_reduced(plan->symbolic, out.system, kShift, kTinyPivot, out.factor);
}

}  // namespace korvald::backend
