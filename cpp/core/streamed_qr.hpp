// Triangular factor of a tall, row-scaled least-squares system, built one
// observation at a time by Givens rotations. The IRLS step solves
// min ||sqrt(mu) (Xtilde b - ztilde)|| and the linear fit min ||Xtilde b - ytilde||:
// the R factor and Q' times the left-hand side carry everything the solution
// and its rank need, in (K+1)^2 numbers, so the solver never sees (or copies)
// the N-row system itself. Rotations keep the
// conditioning of the rows (no cross-products are formed). One pass over
// the rows into a few interleaved factors merged in a fixed order, so the
// result does not depend on the thread count.
#pragma once

#include <cstdint>

namespace korvald::core {

// zX: n x (K+1) row-major, the working variable in column 0 and the
// regressors after it. Row i is scaled by sqrt(mu_i) (sqrt(w_i mu_i) with
// observation weights w, which may be null). R receives the (K+1) x (K+1)
// row-major upper-triangular factor of the scaled rows in column order
// [regressors..., working variable]: its leading K x K block is the R of the
// regressors and the first K entries of column K are Q' times the working
// variable.
// `threads`: how many threads may share the work (the result is the same).
void weighted_r_factor(const double* zX, const double* mu, const double* w, int64_t n, int64_t K, double* R,
                       int threads = 1);

// The same factor of the rows as they stand (no scaling): ordinary least
// squares of column 0 on the others.
void r_factor(const double* zX, int64_t n, int64_t K, double* R, int threads = 1);

}  // namespace korvald::core
