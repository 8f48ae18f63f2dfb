#include "backend/demeankit_index_cache.hpp"

#include <cstdint>

#include "core/task_team.hpp"

namespace korvald::backend {

namespace {

// What an index was built from: compared in full before it is reused.
struct Source {
  int64_t n = 0;
  std::vector<const void*> orders;
  std::vector<const int64_t*> panels;
  std::vector<int64_t> ngroups;
  uint64_t fingerprint = 0;

  bool operator==(const Source& o) const {
    return n == o.n && orders == o.orders && panels == o.panels && ngroups == o.ngroups &&
           fingerprint == o.fingerprint;
  }
};

struct Entry {
  PyObject* weakref = nullptr;  // owned reference to a weakref of the panelmat
  Source source;
  std::shared_ptr<const core::GroupIndex> index;
  std::shared_ptr<const ReducedPlan> plans[2];
};

// Never destroyed: it may hold Python references, which must not be released
// after the interpreter has shut down.
Entry& entry() {
  static Entry* e = new Entry();
  return *e;
}

void clear_entry() {
  Entry& e = entry();
  PyObject* ref = e.weakref;
  e.weakref = nullptr;
  e.index.reset();
  for (auto& plan : e.plans) plan.reset();
  e.source = Source();
  Py_XDECREF(ref);
}

uint64_t mix(uint64_t h, uint64_t v) {
  h ^= v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
  return h;
}

// Every group range and up to 4096 evenly spaced sort-order entries.
Source describe(const std::vector<GroupArgs>& groups, int64_t n) {
  Source s;
  s.n = n;
  uint64_t h = static_cast<uint64_t>(n);
  for (const GroupArgs& g : groups) {
    s.orders.push_back(g.order.identity());
    s.panels.push_back(g.panel);
    s.ngroups.push_back(g.ngroups);
    for (int64_t i = 0; i < 2 * g.ngroups; ++i) h = mix(h, static_cast<uint64_t>(g.panel[i]));
    const int64_t step = n > 4096 ? n / 4096 : 1;
    for (int64_t p = 0; p < n; p += step) h = mix(h, static_cast<uint64_t>(g.order.positions[p]));
  }
  s.fingerprint = h;
  return s;
}

bool refers_to(PyObject* weakref, nb::handle object) {
  if (!weakref) return false;
  PyObject* target = PyWeakref_GetObject(weakref);  // borrowed; Py_None once dead
  return target == object.ptr();
}

}  // namespace

std::shared_ptr<const core::GroupIndex> shared_group_index(nb::handle panelmat, const std::vector<GroupArgs>& groups,
                                                           int64_t n, std::string& failure, int threads) {
  failure.clear();
  Source source;
  {
    nb::gil_scoped_release release;
    source = describe(groups, n);
  }
  Entry& e = entry();
  if (e.index && refers_to(e.weakref, panelmat) && e.source == source) return e.index;

  auto index = std::make_shared<core::GroupIndex>();
  {
    nb::gil_scoped_release release;
    failure = build_index(groups, n, *index, core::team_size(threads));
  }
  if (!failure.empty()) return nullptr;

  // Tie the entry to this panelmat; when it is collected the index goes too.
  clear_entry();
  nb::object callback = nb::cpp_function([](nb::handle ref) {
    if (entry().weakref == ref.ptr()) clear_entry();
  });
  PyObject* ref = PyWeakref_NewRef(panelmat.ptr(), callback.ptr());
  if (!ref) {
    PyErr_Clear();  // not weak-referenceable: simply not cached
    return index;
  }
  e.weakref = ref;
  e.source = std::move(source);
  e.index = index;
  return index;
}

std::shared_ptr<const ReducedPlan> kept_reduced_plan(const core::GroupIndex* index, int slot) {
  const Entry& e = entry();
  if (!index || e.index.get() != index) return nullptr;
  return e.plans[slot];
}

void keep_reduced_plan(const core::GroupIndex* index, int slot, std::shared_ptr<const ReducedPlan> plan) {
  Entry& e = entry();
  if (index && e.index.get() == index) e.plans[slot] = std::move(plan);
}

}  // namespace korvald::backend
