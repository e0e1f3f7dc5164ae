// Elementary functions in double-double arithmetic: the natural logarithm,
// the exponential and the power x^y, to about 2^-100 relative, built only
// from the exactly rounded operations of double_double.hpp (no libm), so
// the same bits on every IEEE platform. Used where a mesh is defined by a
// formula (graded breakpoints T (j / n)^grading) and must be the same
// doubles everywhere.
#pragma once

#include "arithmetic/double_double.hpp"

namespace pwpoly::dd {

// ln(x) for a positive, finite, normal x.
DD log(DD x);
// e^x for |x| < 700.
DD exp(DD x);
// x^y = exp(y ln x) for 0 < x <= 1 and y >= 0 with y ln x > -700; exactly 1
// for x = 1.
DD pow(DD x, double y);

}  // namespace pwpoly::dd
