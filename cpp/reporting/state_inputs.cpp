// Inference and assembly inputs from the shared estimation state (see state_inputs.hpp).
#include "reporting/state_inputs.hpp"

namespace korvald::reporting {

InferenceInput inference_input(Family family, const common::EstimationState& st) {
  InferenceInput in;
  in.family = family;
  in.setype = st.setype;
  in.clustvars = st.clustvars;
  in.data = st.sample;
  in.y = st.y;
  in.fixedeffects = st.fixedeffects;
  in.fenames = st.fenames;
  in.fe_pointers = st.panelmat;
  in.N = st.N;
  in.N_FE = st.N_FE;
  in.N_dof = st.n_obs();
  in.msg = st.msg;
  return in;
}

AssemblyInput assembly_input(Family family, const common::EstimationState& st) {
  AssemblyInput as;
  as.family = family;
  as.setype = st.setype;
  as.clustvars = st.clustvars;
  as.y = st.y;
  as.x_all = st.x_all;
  as.fixedeffects = st.fixedeffects;
  as.data = st.sample;
  as.order = st.output_order;
  as.labels = st.output_labels();
  as.N = st.N;
  as.N_FE = st.N_FE;
  as.msg = st.msg;
  as.n_obs = st.n_obs();
  as.threads = st.threads;
  if (st.weighted()) {
    as.weight_type = st.wspec.type;
    as.weight_name = st.wspec.name;
  }
  return as;
}

}  // namespace korvald::reporting
