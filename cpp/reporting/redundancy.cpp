// Fixed-effect redundancy accounting. A specification loses as many
// coefficients as the largest group count of its overlap with any earlier
// specification (overlaps are not added: the largest one already spans the
// others' shared levels), and all of them when it is nested in a cluster
// variable under clustered errors, because such effects carry no
// information for the cluster-robust degrees of freedom.
#include "reporting/redundancy.hpp"

#include "pyutil/pyutil.hpp"
#include "reporting/pyops.hpp"

namespace korvald::reporting {

static nb::object group_count(nb::handle data, nb::handle columns) {
  return data.attr("groupby")(columns).attr("ngroups");
}

static nb::dict redundancies(nb::handle data, nb::handle fixedeffects, const std::vector<int64_t>* categories,
                             nb::handle setype, nb::handle clustvars) {
  nb::dict fe_info;
  nb::list clusters = clustvars.is_none() ? nb::list() : nb::list(clustvars);
  const bool clustered = ops::eq(setype, "cluster");

  nb::list specs(fixedeffects);
  const size_t n_specs = nb::len(specs);
  for (size_t i = 0; i < n_specs; ++i) {
    nb::handle fe_spec = specs[i];
    nb::list fe_vars = ops::split_spec(fe_spec);
    nb::object n_categories =
        categories ? nb::object(nb::int_((*categories)[i])) : group_count(data, fe_vars);

    bool nested_in_cluster = false;
    if (clustered)
      for (nb::handle v : fe_vars)
        if (ops::contains(clusters, v)) nested_in_cluster = true;

    nb::object redundant;
    if (nested_in_cluster) {
      redundant = n_categories;
    } else if (i == 0) {
      redundant = nb::int_(0);
    } else {
      nb::object max_redundant = nb::int_(0);
      for (size_t j = 0; j < i; ++j) {
        nb::list prev_fe_vars = ops::split_spec(specs[j]);
        nb::list overlap_vars;
        for (nb::handle v : fe_vars)
          if (ops::contains(prev_fe_vars, v)) overlap_vars.append(v);
        if (nb::len(overlap_vars) == 0) continue;
        nb::object overlap_categories = group_count(data, overlap_vars);
        if (ops::gt(overlap_categories, max_redundant)) max_redundant = overlap_categories;
      }
      redundant = max_redundant;
    }

    nb::object num_coefs = n_categories - redundant;
    if (ops::lt(num_coefs, nb::int_(0))) num_coefs = nb::int_(0);

    nb::dict entry;
    entry["categories"] = n_categories;
    entry["redundant"] = redundant;
    entry["num_coefs"] = num_coefs;
    fe_info[fe_spec] = entry;
  }
  return fe_info;
}

nb::dict calculate_fe_redundancies(nb::handle data, nb::handle fixedeffects, nb::handle /*fenames*/,
                                   nb::handle setype, nb::handle clustvars) {
  return redundancies(data, fixedeffects, nullptr, setype, clustvars);
}

nb::dict calculate_fe_redundancies(nb::handle data, nb::handle fixedeffects, const std::vector<int64_t>& categories,
                                   nb::handle setype, nb::handle clustvars) {
  if (categories.size() != nb::len(fixedeffects))
    py::raise_runtime_error("one category count per fixed-effect specification expected");
  return redundancies(data, fixedeffects, &categories, setype, clustvars);
}

}  // namespace korvald::reporting
