// Fixed-effect identifier columns and fe-style separation: groups whose
// dependent variable is identically zero carry no information for a Poisson
// model (their fixed effect runs to minus infinity), and singleton groups
// are fitted perfectly; both are removed before estimation.
#include <nanobind/stl/string.h>

#include "common/estimation_sample.hpp"
#include "common/state_steps.hpp"
#include "poisabsorb/internal.hpp"
#include "pyutil/pyutil.hpp"

namespace korvald::poisabsorb {

using namespace nb::literals;

static nb::object pointers(const Call& c, nb::handle sample) {
  return common::group_pointers(sample, c.fenames, c.threads);
}

nb::object fe_style_removal(const Call& c, nb::object sample, nb::object* mp) {
  nb::object np = py::numpy();
  nb::object ycol = c.ycol();
  *mp = nb::none();
  if (py::truthy(c.keepsingletons)) {
    // Singletons stay; drop all-zero groups dimension by dimension until a
    // whole pass removes nothing (removing rows in one dimension can empty
    // groups of positive y in another).
    while (nb::len(sample) > 0) {
      const size_t before = nb::len(sample);
      for (nb::handle name : c.fenames) {
        nb::object group_max = sample.attr("groupby")(name).attr("__getitem__")(ycol).attr("transform")("max");
        nb::object keep = group_max.attr("__gt__")(0).attr("to_numpy")("dtype"_a = "bool");
        group_max = nb::none();
        common::keep_rows(sample, keep);
      }
      if (nb::len(sample) == before) break;
    }
    return sample;
  }
  const int64_t n = static_cast<int64_t>(nb::len(sample));
  nb::object mp_here = pointers(c, sample);
  // sep reads y into its own buffer, so a view of the column will do.
  nb::object yv = sample.attr("__getitem__")(ycol).attr("to_numpy")("dtype"_a = "float64");
  nb::object ones = np.attr("ones")(n, "dtype"_a = np.attr("int64"));
  // A row standing for several observations (frequency weight) is no singleton.
  nb::object counts = c.wspec.frequency()
                          ? nb::object(sample.attr("__getitem__")(c.wspec.name).attr("to_numpy")("dtype"_a = "float64"))
                          : nb::object(nb::none());
  nb::object keep = c.module.attr("sep")(yv, mp_here, ones, counts, "nt"_a = c.threads);
  counts = nb::none();
  ones = nb::none();
  keep = np.attr("asarray")(keep).attr("astype")(np.attr("bool_"));
  // The sample belongs to this call: no copy when every row stays, and then
  // the pointers serve on. Otherwise they (and the kernels' index kept for
  // them) go before the filter copies the sample.
  if (py::truthy(keep.attr("all")())) {
    *mp = mp_here;
    return sample;
  }
  mp_here = nb::none();
  yv = nb::none();
  common::keep_rows(sample, keep);
  return sample;
}

void build_fixed_effects(Call& c) {
  common::add_identifiers(c, c.fixedeffects_arg);
  // The verbose diagnostics print the components of the worst observation's groups.
  if (!c.verbose) {
    nb::list keep;
    for (nb::handle v : c.y) keep.append(v);
    for (nb::handle v : c.x_all) keep.append(v);
    for (nb::handle name : {c.off, c.eta_0})
      if (!name.is_none())
        for (nb::handle v : name) keep.append(v);
    if (c.weighted()) keep.append(c.wspec.name);
    // A cluster variable that is a fixed effect of its own leaves the sample
    // too: the clustering reads its identifier column instead (same groups,
    // same order), and the sample sheds a column through every filter.
    if (c.setype == "cluster")
      for (nb::handle v : c.clustvars) {
        bool absorbed = false;
        for (nb::handle spec : c.fixedeffects) absorbed = absorbed || py::equals(spec, v);
        if (!absorbed) keep.append(v);
      }
    common::drop_absorbed_components(c.sample, c.fixedeffects, keep);
  }
  c.order_key = common::order_key(c.sample, c.fenames);

  const int64_t before = c.N;
  nb::object mp;
  // Handed over: the filter frees the old sample's columns as it goes.
  c.sample = fe_style_removal(c, std::move(c.sample), &mp);
  c.N = static_cast<int64_t>(nb::len(c.sample));
  if (c.N == 0) py::raise_exception("All observations can be explained by the fixed effects");

  c.N_dropped_fe_sep = before - c.N;
  if (c.N_dropped_fe_sep > 0) {
    const std::string note =
        std::to_string(c.N_dropped_fe_sep) +
        (py::truthy(c.keepsingletons)
             ? " observation(s) dropped due to fe-style separation (y identically zero within an FE group)"
             : " singleton and/or all-zero fixed-effect-group observation(s) dropped (fe-style separation)");
    c.log(note);
    if (c.loud()) py::print("note: " + note);
    // The separation pass builds the group pointers it needs: the rectifier
    // reads the identifiers alone and would drop them unused.
    c.regroup(false);
  } else {
    c.panelmat = mp.is_none() ? pointers(c, c.sample) : mp;
  }
}

}  // namespace korvald::poisabsorb
