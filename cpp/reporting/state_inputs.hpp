// The parts of the inference and result-assembly inputs that both
// estimators take straight from their shared estimation state; each
// estimator adds its own fit (regressors kept, coefficients, residuals,
// family-specific pieces) to what these return.
#pragma once

#include "common/estimation_state.hpp"
#include "reporting/inference.hpp"
#include "reporting/result_assembly.hpp"

namespace korvald::reporting {

// family, setype, clustvars, data, y, fixedeffects, fenames, fe_pointers, N,
// N_FE, N_dof and msg.
InferenceInput inference_input(Family family, const common::EstimationState& st);

// family, setype, clustvars, y, x_all, fixedeffects, data, order, N, N_FE,
// msg, n_obs and, when weighted, weight_type and weight_name.
AssemblyInput assembly_input(Family family, const common::EstimationState& st);

}  // namespace korvald::reporting
