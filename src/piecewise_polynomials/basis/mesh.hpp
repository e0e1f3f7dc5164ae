// The uniform mesh of [0, T]: n_t intervals of width w = T / n_t, and the
// rule that finds the interval of a time and its local coordinate.
//
// Interval convention: the intervals are half-open [a_j, b_j) except the
// last, which is closed; a time on an interior node belongs to the interval
// on its right. Times before 0 (and NaN) fall into interval 0, times at or
// after T into interval n_t - 1, and the local coordinate is clamped to
// [-1, 1], so out-of-range times evaluate as the nearest end of the mesh.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace pwpoly {

// The interval of a position measured in interval widths (t / w, or a fine
// node's position in coarse intervals): its floor, raised to 0 when
// negative or NaN, converted with saturation (capped at the largest index,
// then truncated), and capped at the last interval n_t - 1. With n_t = 0
// the cap wraps: callers that can meet an empty mesh check for it first.
inline std::size_t interval_of(double position, std::size_t n_t) {
    double q = std::floor(position);
    if (!(q >= 0.0))
        q = 0.0;
    const std::size_t qi = q >= static_cast<double>(SIZE_MAX) ? SIZE_MAX : static_cast<std::size_t>(q);
    const std::size_t last = n_t - 1;
    return qi < last ? qi : last;
}

// Interval j is [a, b] with a = j * w and b = w + a, each rounded on its own
// (so b is not (j + 1) * w, and may differ from it in the last bit).
struct IntervalEnds {
    double a, b;
};
inline IntervalEnds interval_ends(std::size_t j, double w) {
    const double a = static_cast<double>(j) * w;
    return {a, w + a};
}

// Where a time lies: its interval and its local coordinate in [-1, 1].
struct Location {
    std::size_t interval;
    double xi;
};

// The interval rule shared by everything that locates a time on the mesh.
// Requires n_t >= 1 for a meaningful interval (with n_t = 0 the interval is
// whatever the saturation gives; callers check the matrix rows before use).
// `w` is the interval width T / n_t.
inline Location locate_with_width(double t, std::size_t n_t, double w) {
    const std::size_t j = interval_of(t / w, n_t);
    const IntervalEnds ends = interval_ends(j, w);
    const double a = ends.a, b = ends.b;
    const double s = a + b;
    const double u = t + (-0.5 * s);
    double xi = (u + u) / (b - a);
    if (xi < -1.0)
        xi = -1.0;
    else if (xi > 1.0)
        xi = 1.0;
    return {j, xi};
}

inline Location locate_on_mesh(double t, std::size_t n_t, double T) {
    return locate_with_width(t, n_t, T / static_cast<double>(n_t));
}

}  // namespace pwpoly
