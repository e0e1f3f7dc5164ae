// Two doubles side by side in one vector register (SSE2 on x86, a pair of
// scalars elsewhere). + - * / act lane by lane, each lane rounded exactly as
// the scalar operation (no FMA: the build has -ffp-contract=off).
#pragma once

#include <cstring>

namespace pwpoly {

typedef double Double2 __attribute__((vector_size(2 * sizeof(double))));

inline Double2 load2(const double* p) {
    Double2 r;
    std::memcpy(&r, p, sizeof r);
    return r;
}

inline void store2(double* p, Double2 x) { std::memcpy(p, &x, sizeof x); }

inline Double2 broadcast2(double x) { return Double2{x, x}; }

}  // namespace pwpoly
