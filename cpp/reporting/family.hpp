// The two model families that share the reporting code. Every difference
// between the linear and the Poisson report is a branch on this value.
#pragma once

namespace korvald::reporting {

enum class Family { Linear, Poisson };

}  // namespace korvald::reporting
