// The Legendre transfers: the entries of each kind of piece, and the entry
// points that pick them and hand them to the one fill (overlap_fill.hpp).
#include "piecewise_polynomials/operators/legendre_transfer.hpp"

#include <cmath>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

#include "arithmetic/correct_rounding.hpp"
#include "arithmetic/double_double.hpp"
#include "common/argument_error.hpp"
#include "common/internal_failure.hpp"
#include "common/interruption.hpp"
#include "piecewise_polynomials/operators/legendre_projection.hpp"
#include "piecewise_polynomials/operators/legendre_reexpansion.hpp"
#include "piecewise_polynomials/operators/overlap_fill.hpp"

namespace pwpoly {

namespace {

using dd::DD;

constexpr std::uint64_t exact_double_limit = std::uint64_t{1} << 53;

// ---------------------------------------------------------------------------
// The entries of a piece (see overlap_fill.hpp for the interface).

// Uniform meshes, m fine intervals in each coarse one: the triangle of
// sub-interval s = f - c m.
struct SubintervalEntries {
    static constexpr bool nested = true;
    const std::vector<double>& table;
    std::size_t m, tri;
    const double* row = nullptr;

    void prepare(std::size_t f, std::size_t c, InterruptionPacer&) { row = table.data() + (f - c * m) * tri; }
    double value(std::size_t k, std::size_t i) const { return row[triangle_index(i, k)]; }
};

// Other nested meshes: the triangle of each fine interval.
struct MeshReexpansionEntries {
    static constexpr bool nested = true;
    BreakpointPositions fine, coarse;
    MeshReexpansion reexpansion;
    const double* row = nullptr;

    void prepare(std::size_t f, std::size_t c, InterruptionPacer& pacer) {
        row = reexpansion.coefficients(coarse[c], coarse[c + 1], fine[f], fine[f + 1], pacer);
    }
    double value(std::size_t k, std::size_t i) const { return row[triangle_index(i, k)]; }
    const DD* width_ratio() const { return reexpansion.last_width_ratio(); }
};

// The L2 projection, uniform meshes. Fine interval f is [f nc, (f + 1) nc]
// and coarse interval c is [c nf, (c + 1) nf] in units of 1 / (nc nf) of the
// span, and the piece is [K0, K1] = [max(f nc, c nf), min((f + 1) nc,
// (c + 1) nf)]. With H = K1 - K0, Af = (K0 + K1) - (2f + 1) nc and
// Ac = (K0 + K1) - (2c + 1) nf (integers of magnitude at most nc, nf, hence
// exact doubles) its coordinates are (Af, Ac, H, nc, nf): exact.
template <std::size_t N>
struct CountProjectionEntries {
    static constexpr bool nested = false;
    std::uint64_t nc, nf;
    PieceIntegrals<N> integrals;
    std::size_t n;
    const double* entry = nullptr;

    void prepare(std::size_t f, std::size_t c, InterruptionPacer& pacer) {
        const std::uint64_t f_start = f * nc, f_end = (f + 1) * nc;
        const std::uint64_t k0 = f_start > c * nf ? f_start : c * nf;
        const std::uint64_t k1 = f_end < (c + 1) * nf ? f_end : (c + 1) * nf;
        const std::uint64_t ends = k0 + k1;
        entry = integrals.compute({static_cast<double>(static_cast<std::int64_t>(ends - (2 * f + 1) * nc)),
                                   static_cast<double>(static_cast<std::int64_t>(ends - (2 * c + 1) * nf)),
                                   static_cast<double>(k1 - k0), static_cast<double>(nc), static_cast<double>(nf)},
                                  pacer);
    }
    double value(std::size_t k, std::size_t i) const { return entry[k * n + i]; }
};

// The L2 projection, other meshes. The piece [lo, hi] = [max(f0, c0),
// min(f1, c1)] of the fine interval [f0, f1] and the coarse interval
// [c0, c1] (breakpoints) has the coordinates
//   ((lo - f0) + (hi - f1), (lo - c0) + (hi - c1), hi - lo, f1 - f0, c1 - c0),
// each operation rounded on its own: differences of nearby breakpoints,
// whose errors are relative to the widths, not to the breakpoints.
template <std::size_t N>
struct MeshProjectionEntries {
    static constexpr bool nested = false;
    BreakpointPositions fine, coarse;
    PieceIntegrals<N> integrals;
    std::size_t n;
    const double* entry = nullptr;

    void prepare(std::size_t f, std::size_t c, InterruptionPacer& pacer) {
        const double f0 = fine[f], f1 = fine[f + 1], c0 = coarse[c], c1 = coarse[c + 1];
        const double lo = f0 > c0 ? f0 : c0, hi = f1 < c1 ? f1 : c1;
        entry = integrals.compute({(lo - f0) + (hi - f1), (lo - c0) + (hi - c1), hi - lo, f1 - f0, c1 - c0}, pacer);
    }
    double value(std::size_t k, std::size_t i) const { return entry[k * n + i]; }
};

// The restriction: the entries of P times the ratio of the Legendre mass
// matrices' diagonals, (h_f / (2k + 1)) / (h_c / (2i + 1)) for the piece of
// fine interval f and coarse interval c.
template <class Entries, class Scale>
struct ScaledEntries {
    static constexpr bool nested = Entries::nested;
    Entries entries;
    Scale scale;

    void prepare(std::size_t f, std::size_t c, InterruptionPacer& pacer) {
        entries.prepare(f, c, pacer);
        if constexpr (requires { scale.prepare(f, c, pacer, entries.width_ratio()); })
            scale.prepare(f, c, pacer, entries.width_ratio());
        else
            scale.prepare(f, c, pacer);
    }
    double value(std::size_t k, std::size_t i) const { return entries.value(k, i) * scale.value(k, i); }
};

// Uniform meshes: the span-1 widths w = 1.0 / double(n) of both meshes,
// (w_f / double(2k + 1)) / (w_c / double(2i + 1)), each operation rounded.
struct UniformScale {
    std::size_t n;
    std::vector<double> scale;  // [k * n + i]

    UniformScale(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine)
        : n(degree + 1), scale(checked_array_count(checked_mul(n, n), sizeof(double))) {
        const double w_f = 1.0 / static_cast<double>(nt_fine);
        const double w_c = 1.0 / static_cast<double>(nt_coarse);
        for (std::size_t k = 0; k < n; ++k)
            for (std::size_t i = 0; i < n; ++i)
                scale[k * n + i] = (w_f / static_cast<double>(2 * k + 1)) / (w_c / static_cast<double>(2 * i + 1));
    }
    void prepare(std::size_t, std::size_t, InterruptionPacer&) {}
    double value(std::size_t k, std::size_t i) const { return scale[k * n + i]; }
};

// Other meshes: the nearest double to the exact factor with the exact
// widths, (h_f / h_c) ((2i + 1) / (2k + 1)): width_ratio times the rational
// in double-double (within 2^-102 relative of exact), taken when that fixes
// the double, otherwise computed from the exact dyadic widths. Only the
// entries k <= i of a re-expansion are computed.
class MeshScale {
public:
    MeshScale(std::size_t degree, bool nested, BreakpointPositions fine, BreakpointPositions coarse)
        : n_(degree + 1), nested_(nested), fine_(fine), coarse_(coarse), ratio_(n_ * n_), scale_(n_ * n_) {
        for (std::size_t k = 0; k < n_; ++k)
            for (std::size_t i = 0; i < n_; ++i)
                ratio_[k * n_ + i] = DD{static_cast<double>(2 * i + 1), 0.0} / static_cast<double>(2 * k + 1);
    }

    // `known`: width_ratio of the piece if the entries have it already.
    void prepare(std::size_t f, std::size_t c, InterruptionPacer& pacer, const DD* known = nullptr) {
        const double f0 = fine_[f], f1 = fine_[f + 1], c0 = coarse_[c], c1 = coarse_[c + 1];
        const DD rho = known != nullptr ? *known : width_ratio(c0, c1, f0, f1);
        for (std::size_t k = 0; k < n_; ++k)
            for (std::size_t i = nested_ ? k : 0; i < n_; ++i) {
                const DD v = i == k ? rho : rho * ratio_[k * n_ + i];
                scale_[k * n_ + i] =
                    rounds_unambiguously(v, std::fabs(v.hi) * 0x1p-100) ? v.hi : exact(k, i, c0, c1, f0, f1);
            }
        pacer.done(40 * n_ * n_);
    }
    double value(std::size_t k, std::size_t i) const { return scale_[k * n_ + i]; }

private:
    static double exact(std::size_t k, std::size_t i, double c0, double c1, double f0, double f1) {
        using exact::dyadic;
        const double r =
            exact::nearest_double_to_quotient((dyadic(f1) + dyadic(-f0)) * dyadic(static_cast<double>(2 * i + 1)),
                                              (dyadic(c1) + dyadic(-c0)) * dyadic(static_cast<double>(2 * k + 1)));
        if (!std::isfinite(r))
            refuse("the restriction between these meshes has factors beyond the double range: a fine interval is "
                   "more than 2**1000 times as wide as a coarse interval it overlaps");
        return r;
    }

    std::size_t n_;
    bool nested_;
    BreakpointPositions fine_, coarse_;
    std::vector<DD> ratio_;
    std::vector<double> scale_;
};

// ---------------------------------------------------------------------------
// Two uniform meshes, given by their interval counts.

void check_transfer_arguments(const char* function, std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine) {
    exact::require_positive(function, "nt_coarse", nt_coarse);
    exact::require_positive(function, "nt_fine", nt_fine);
    if (nt_coarse > exact_double_limit || nt_fine > exact_double_limit)
        fail_capacity_overflow();
    checked_add(degree, 1);
}

struct CountPlan {
    bool nested;
    std::size_t pieces;
};

// Nested when nt_fine is a multiple of nt_coarse (unless `projection`);
// otherwise the pieces of the common refinement are the intervals between
// the nf - 1 fine and nc - 1 coarse interior breakpoints, less the
// gcd(nf, nc) - 1 they share: nf + nc - gcd(nf, nc). Their positions need
// nc nf <= 2^62.
CountPlan count_plan(const char* function, std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine,
                     bool projection = false) {
    check_transfer_arguments(function, degree, nt_coarse, nt_fine);
    if (!projection && nt_fine % nt_coarse == 0)
        return {true, nt_fine};
    const std::uint64_t nc = nt_coarse, nf = nt_fine;
    std::uint64_t span;
    if (__builtin_mul_overflow(nc, nf, &span) || span > (std::uint64_t{1} << 62))
        fail_capacity_overflow();
    std::uint64_t a = nc, b = nf;  // gcd
    while (b != 0)
        a = std::exchange(b, a % b);
    const std::uint64_t pieces = nc + nf - a;  // <= 2^54
    if (pieces > SIZE_MAX)
        fail_capacity_overflow();
    return {false, static_cast<std::size_t>(pieces)};
}

const char* function_of(Direction direction) {
    return direction == Direction::prolongation ? "legendre_prolongation_matrix" : "legendre_restriction_matrix";
}

CsrShape count_shape(Direction direction, std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine,
                     bool projection = false) {
    const CountPlan plan = count_plan(projection ? "legendre_projection_matrix" : function_of(direction), degree,
                                      nt_coarse, nt_fine, projection);
    return transfer_shape(direction, degree, nt_coarse, nt_fine, plan.nested, plan.pieces);
}

template <Direction D, class Index>
CsrArrays<Index> count_transfer(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine,
                                bool projection = false) {
    const char* function = projection ? "legendre_projection_matrix" : function_of(D);
    const CountPlan plan = count_plan(function, degree, nt_coarse, nt_fine, projection);
    const CsrShape shape = transfer_shape(D, degree, nt_coarse, nt_fine, plan.nested, plan.pieces);
    const CountPositions fine{nt_coarse, nt_fine}, coarse{nt_fine, nt_coarse};
    const std::size_t n = degree + 1;
    CsrArrays<Index> out;
    with_degree_count(n, [&](auto fixed) {
        constexpr std::size_t N = decltype(fixed)::value;
        auto build = [&](const auto& make_entries) {
            if constexpr (D == Direction::prolongation) {
                out = build_transfer<D, N, Index>(shape, degree, fine, coarse, plan.pieces, make_entries, false);
            } else {
                auto make_scaled = [&] {
                    return ScaledEntries<decltype(make_entries()), UniformScale>{make_entries(),
                                                                                 UniformScale(degree, nt_coarse,
                                                                                              nt_fine)};
                };
                out = build_transfer<D, N, Index>(shape, degree, fine, coarse, plan.pieces, make_scaled, false);
            }
        };
        if (plan.nested) {
            const std::size_t m = nt_fine / nt_coarse;
            const std::vector<double> table = subinterval_coefficients(degree, m);
            build([&] { return SubintervalEntries{table, m, triangle_size(degree)}; });
        } else {
            build([&] { return CountProjectionEntries<N>{nt_coarse, nt_fine, PieceIntegrals<N>(degree), n}; });
        }
    });
    return out;
}

// ---------------------------------------------------------------------------
// Any two meshes.

// The breakpoints of a mesh for the walk: its own, or, for a uniform mesh
// paired with a mesh of another kind, b_j as TimeMesh::breakpoint gives
// them (t0 + j w, and t1).
class MeshBreakpoints {
public:
    explicit MeshBreakpoints(const TimeMesh& mesh) : n_(mesh.n_t()) {
        if (mesh.is_uniform()) {
            owned_ = mesh.breakpoints();
            data_ = owned_.data();
        } else {
            data_ = mesh.stored_breakpoints().data();
        }
    }
    BreakpointPositions positions() const { return {data_, n_}; }

private:
    std::vector<double> owned_;
    const double* data_;
    std::size_t n_;
};

struct MeshPlan {
    MeshBreakpoints fine, coarse;
    std::size_t pieces;
    bool nested;

    MeshPlan(const TimeMesh& coarse_mesh, const TimeMesh& fine_mesh)
        : fine(fine_mesh), coarse(coarse_mesh), pieces(count_pieces(fine.positions(), coarse.positions())),
          nested(pieces == fine_mesh.n_t()) {}
};

CsrShape mesh_shape(Direction direction, std::size_t degree, const TimeMesh& coarse, const TimeMesh& fine) {
    require_same_interval(coarse, fine);
    if (coarse.is_uniform() && fine.is_uniform())
        return count_shape(direction, degree, coarse.n_t(), fine.n_t());
    const MeshPlan plan(coarse, fine);
    return transfer_shape(direction, degree, coarse.n_t(), fine.n_t(), plan.nested, plan.pieces);
}

template <Direction D, class Index>
CsrArrays<Index> mesh_transfer(std::size_t degree, const TimeMesh& coarse_mesh, const TimeMesh& fine_mesh) {
    require_same_interval(coarse_mesh, fine_mesh);
    if (coarse_mesh.is_uniform() && fine_mesh.is_uniform())
        return count_transfer<D, Index>(degree, coarse_mesh.n_t(), fine_mesh.n_t());
    const MeshPlan plan(coarse_mesh, fine_mesh);
    const CsrShape shape = transfer_shape(D, degree, coarse_mesh.n_t(), fine_mesh.n_t(), plan.nested, plan.pieces);
    const BreakpointPositions fine = plan.fine.positions(), coarse = plan.coarse.positions();
    CsrArrays<Index> out;
    with_degree_count(degree + 1, [&](auto fixed) {
        constexpr std::size_t N = decltype(fixed)::value;
        auto build = [&](const auto& make_entries) {
            if constexpr (D == Direction::prolongation) {
                out = build_transfer<D, N, Index>(shape, degree, fine, coarse, plan.pieces, make_entries, true);
            } else {
                auto make_scaled = [&] {
                    return ScaledEntries<decltype(make_entries()), MeshScale>{make_entries(),
                                                                              MeshScale(degree, plan.nested, fine,
                                                                                        coarse)};
                };
                out = build_transfer<D, N, Index>(shape, degree, fine, coarse, plan.pieces, make_scaled, true);
            }
        };
        if (plan.nested)
            build([&] { return MeshReexpansionEntries{fine, coarse, MeshReexpansion(degree)}; });
        else
            build([&] { return MeshProjectionEntries<N>{fine, coarse, PieceIntegrals<N>(degree), degree + 1}; });
    });
    return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// Entry points.

CsrShape legendre_prolongation_shape(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine) {
    return count_shape(Direction::prolongation, degree, nt_coarse, nt_fine);
}

template <class Index>
CsrArrays<Index> legendre_prolongation_arrays(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine) {
    return count_transfer<Direction::prolongation, Index>(degree, nt_coarse, nt_fine);
}

CsrShape legendre_projection_shape(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine) {
    return count_shape(Direction::prolongation, degree, nt_coarse, nt_fine, true);
}

template <class Index>
CsrArrays<Index> legendre_projection_arrays(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine) {
    return count_transfer<Direction::prolongation, Index>(degree, nt_coarse, nt_fine, true);
}

CsrShape legendre_restriction_shape(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine) {
    return count_shape(Direction::restriction, degree, nt_coarse, nt_fine);
}

template <class Index>
CsrArrays<Index> legendre_restriction_arrays(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine) {
    return count_transfer<Direction::restriction, Index>(degree, nt_coarse, nt_fine);
}

CsrShape legendre_prolongation_shape(std::size_t degree, const TimeMesh& coarse, const TimeMesh& fine) {
    return mesh_shape(Direction::prolongation, degree, coarse, fine);
}

template <class Index>
CsrArrays<Index> legendre_prolongation_arrays(std::size_t degree, const TimeMesh& coarse, const TimeMesh& fine) {
    return mesh_transfer<Direction::prolongation, Index>(degree, coarse, fine);
}

CsrShape legendre_restriction_shape(std::size_t degree, const TimeMesh& coarse, const TimeMesh& fine) {
    return mesh_shape(Direction::restriction, degree, coarse, fine);
}

template <class Index>
CsrArrays<Index> legendre_restriction_arrays(std::size_t degree, const TimeMesh& coarse, const TimeMesh& fine) {
    return mesh_transfer<Direction::restriction, Index>(degree, coarse, fine);
}

// The index types the callers use: int32 and int64 for numpy, size_t for
// CsrMatrix (in the tests).
#define PWPOLY_TRANSFER_FOR(Index)                                                                                     \
    template CsrArrays<Index> legendre_prolongation_arrays<Index>(std::size_t, std::size_t, std::size_t);              \
    template CsrArrays<Index> legendre_projection_arrays<Index>(std::size_t, std::size_t, std::size_t);                \
    template CsrArrays<Index> legendre_restriction_arrays<Index>(std::size_t, std::size_t, std::size_t);               \
    template CsrArrays<Index> legendre_prolongation_arrays<Index>(std::size_t, const TimeMesh&, const TimeMesh&);      \
    template CsrArrays<Index> legendre_restriction_arrays<Index>(std::size_t, const TimeMesh&, const TimeMesh&);

PWPOLY_TRANSFER_FOR(std::int32_t)
PWPOLY_TRANSFER_FOR(std::int64_t)
PWPOLY_TRANSFER_FOR(std::size_t)
#undef PWPOLY_TRANSFER_FOR

}  // namespace pwpoly
