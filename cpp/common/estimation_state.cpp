// The helpers of the shared estimation state.
#include "common/estimation_state.hpp"

#include "common/estimation_sample.hpp"
#include "pyutil/pyutil.hpp"

namespace korvald::common {

using namespace nb::literals;

void EstimationState::log(const std::string& text) const {
  msg.attr("append")(nb::str(text.c_str(), text.size()));
}

void EstimationState::regroup(bool pointers) {
  if (nb::len(fixedeffects) > 0) N_FE = recode_identifiers(sample, fenames);
  panelmat = pointers ? group_pointers(sample, fenames, threads) : nb::none();
}

nb::object EstimationState::output_labels() const {
  if (!labels_.is_valid() || !labels_sample_.is(sample) || !labels_order_.is(output_order)) {
    labels_ = common::output_labels(source_index, sample, output_order);
    labels_sample_ = sample;
    labels_order_ = output_order;
  }
  return labels_;
}

nb::object EstimationState::initial_index() const { return labels_index(output_labels()); }

nb::object EstimationState::float_column(nb::handle name) const {
  nb::object np = py::numpy();
  return np.attr("ascontiguousarray")(sample[name].attr("to_numpy")("dtype"_a = np.attr("float64")));
}

nb::object EstimationState::int_column(nb::handle name) const {
  nb::object np = py::numpy();
  return np.attr("ascontiguousarray")(sample[name].attr("to_numpy")("dtype"_a = np.attr("int64")));
}

nb::dict EstimationState::fe_counts() const {
  nb::dict counts;
  for (size_t i = 0; i < nb::len(fixedeffects); ++i)
    counts[fixedeffects[i]] = nb::int_(nb::cast<int64_t>(nb::int_(sample[fenames[i]].attr("max")())) + 1);
  return counts;
}

}  // namespace korvald::common
