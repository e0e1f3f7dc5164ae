#include "piecewise_polynomials/operators/time_operators.hpp"

#include <cmath>
#include <string>

#include "arithmetic/correct_rounding.hpp"
#include "common/internal_failure.hpp"
#include "common/interruption.hpp"

namespace pwpoly {

namespace {

using exact::BigInt;
using exact::BigPolynomial;
using exact::require_positive;

// (degree + 1) * n_t, the size of the Legendre coefficient vector.
std::size_t legendre_size(std::size_t degree, std::size_t n_t) { return checked_mul(checked_add(degree, 1), n_t); }

// R (derivative = false) or D (derivative = true) of the equidistant
// Lagrange polynomials, in integers. With u = degree (xi + 1) / 2 the nodes
// are u = 0, ..., degree and L_j = n_j(u) / d_j with the integer polynomial
// n_j(u) = prod_{m != j} (u - m) and the integer d_j = prod_{m != j} (j - m).
// Since dxi = (2 / degree) du and dL/dxi = (degree / 2) dL/du,
//   R[j][k] = (2 / degree) integral_0^degree n_j n_k du / (d_j d_k),
//   D[j][k] = integral_0^degree n_j n_k' du / (d_j d_k),
// and integral_0^degree u^c du = degree^(c + 1) / (c + 1). With
// F = (2 degree + 1)! and h_c = F / (c + 1) (an integer for c <= 2 degree)
// both are sum_c (n_j t_k)_c g_c / (F d_j d_k) with t_k = n_k, g_c =
// 2 degree^c h_c for R, and t_k = n_k', g_c = degree^(c + 1) h_c for D. The
// quotient is rounded once.
std::vector<double> lagrange_reference_matrix(std::size_t degree, bool derivative) {
    const char* function = derivative ? "lagrange_reference_derivative" : "lagrange_reference_mass";
    require_positive(function, "degree", degree);
    const std::size_t n = checked_add(degree, 1);
    std::vector<double> out(checked_array_count(checked_mul(n, n), sizeof(double)));
    const std::size_t top = checked_add(checked_mul(degree, 2), 1);  // 2 degree + 1

    std::vector<BigPolynomial> numerators(n);
    std::vector<BigInt> denominators(n);
    for (std::size_t j = 0; j < n; ++j) {
        BigPolynomial poly{BigInt(1)};
        BigInt d(1);
        for (std::size_t m = 0; m < n; ++m) {
            if (m == j)
                continue;
            poly = exact::multiply_polynomials(poly, {BigInt(-static_cast<std::int64_t>(m)), BigInt(1)});
            d = d * BigInt(static_cast<std::int64_t>(j) - static_cast<std::int64_t>(m));
        }
        numerators[j] = std::move(poly);
        denominators[j] = std::move(d);
    }

    const exact::MonomialIntegrals integrals = exact::monomial_integrals(top);
    const BigInt& factorial = integrals.factorial;
    const BigInt p = BigInt::from_unsigned(degree);
    std::vector<BigInt> g(top);  // c = 0, ..., 2 degree
    BigInt power = derivative ? p : BigInt(2);
    for (std::size_t c = 0; c < top; ++c) {
        g[c] = power * integrals.h[c];
        power = power * p;
    }

    // The exact arithmetic reports its own work to the interruption pacer.
    for (std::size_t k = 0; k < n; ++k) {
        BigPolynomial trial = numerators[k];
        if (derivative) {
            for (std::size_t b = 0; b + 1 < trial.size(); ++b)
                trial[b] = BigInt::from_unsigned(b + 1) * trial[b + 1];
            trial.pop_back();
        }
        // v[a] = sum_b t_kb g_(a + b), so that the numerator is sum_a n_ja v[a].
        std::vector<BigInt> v(n);
        for (std::size_t a = 0; a < n; ++a)
            for (std::size_t b = 0; b < trial.size(); ++b)
                v[a] = v[a] + trial[b] * g[a + b];
        for (std::size_t j = 0; j < n; ++j) {
            BigInt num;
            for (std::size_t a = 0; a < n; ++a)
                num = num + numerators[j][a] * v[a];
            out[j * n + k] = exact::nearest_double_to_quotient(num, factorial * denominators[j] * denominators[k]);
        }
    }
    return out;
}

// The shape of the Lagrange mass and derivative matrices, which store every
// pair of dofs sharing an interval once. Each interval couples
// (degree + 1)^2 pairs; the pairs two intervals both couple are counted
// once: the (node, node) pair of the node two neighbours share, and periodic
// with two intervals, which share both end nodes, the 4 pairs of these two.
// Periodic with one interval all degree^2 pairs of its degree dofs.
CsrShape lagrange_shape(const char* function, std::size_t degree, std::size_t n_t, bool periodic) {
    require_positive(function, "degree", degree);
    require_positive(function, "n_t", n_t);
    const std::size_t interior = checked_mul(n_t, degree);
    const std::size_t ndofs = periodic ? interior : checked_add(interior, 1);
    const std::size_t n = checked_add(degree, 1);
    const std::size_t block = checked_mul(n, n);
    const std::size_t all_blocks = checked_mul(n_t, block);  // one entry per local pair at most
    checked_array_count(all_blocks, sizeof(double));
    std::size_t nnz;
    if (!periodic)
        nnz = all_blocks - (n_t - 1);
    else if (n_t == 1)
        nnz = degree * degree;
    else if (n_t == 2)
        nnz = all_blocks - 4;
    else
        nnz = all_blocks - n_t;
    return {ndofs, ndofs, nnz};
}

// The local matrices of the intervals, (degree + 1)^2 each, row-major:
// `at(k)` is that of interval k, and stays valid while at most one other
// interval's is asked for (the assembly needs two neighbours at a time).
// One matrix shared by every interval (a uniform mesh, or a matrix that does
// not depend on the widths):
struct SharedLocal {
    const std::vector<double>& local;
    const double* at(std::size_t) const { return local.data(); }
};

// Interval k's own matrix scale(k, R[jj][kk]) from a reference matrix R,
// computed when first asked for; the two most recently used are kept.
template <class Scale>
struct ScaledLocal {
    const std::vector<double>& reference;
    Scale scale;
    std::vector<double> slot[2];
    std::size_t holds[2] = {SIZE_MAX, SIZE_MAX};
    std::size_t next = 0;

    const double* at(std::size_t k) {
        for (std::size_t s = 0; s < 2; ++s)
            if (holds[s] == k) {
                next = 1 - s;  // the other one is older now
                return slot[s].data();
            }
        std::vector<double>& out = slot[next];
        out.resize(reference.size());
        for (std::size_t e = 0; e < reference.size(); ++e)
            out[e] = scale(k, reference[e]);
        holds[next] = k;
        next = 1 - next;
        return out.data();
    }
};

// The continuous Lagrange assembly of the local matrices `locals`
// (SharedLocal or ScaledLocal). Row a gathers, for each occurrence
// (interval k, local node jj) of dof a in increasing (k, jj) order, the local
// row jj at the columns dof(k, kk), kk = 0, ..., degree; a stable insertion
// sort orders them by column, and each run of equal columns is summed in
// gathering order. So a global entry is the sum over the intervals sharing
// the pair in increasing interval order (at most two terms). Periodic with one
// interval is assembled on its own, see below.
template <class Index, class Locals>
CsrArrays<Index> assemble_lagrange(std::size_t degree, std::size_t n_t, bool periodic, const CsrShape& shape,
                                   Locals& locals) {
    const std::size_t p = degree;
    const std::size_t ndofs = shape.nrows;
    CsrRowWriter<Index> out(shape);

    if (periodic && n_t == 1) {
        const double* local = locals.at(0);
        // Local nodes 0 and p are both dof 0; every pair of dofs is stored.
        // Entry (a, b) sums the local entries of the nodes of a and b: one
        // term for a, b > 0, two for row or column 0, added with local node
        // 0 first, and four for (0, 0), added as
        // (local(0, 0) + local(p, p)) + (local(0, p) + local(p, 0)), so that
        // parts that cancel exactly (the derivative's) give exactly zero.
        auto entry = [&](std::size_t jj, std::size_t kk) { return local[jj * (p + 1) + kk]; };
        for (std::size_t a = 0; a < p; ++a) {
            for (std::size_t b = 0; b < p; ++b) {
                double value;
                if (a == 0 && b == 0)
                    value = (entry(0, 0) + entry(p, p)) + (entry(0, p) + entry(p, 0));
                else if (a == 0)
                    value = entry(0, b) + entry(p, b);
                else if (b == 0)
                    value = entry(a, 0) + entry(a, p);
                else
                    value = entry(a, b);
                out.push(b, value);
            }
            out.end_row();
        }
        return std::move(out).finish();
    }

    struct Item {
        std::size_t col;
        double value;
    };
    std::vector<Item> items;
    items.reserve(2 * (p + 1));
    auto dof = [&](std::size_t k, std::size_t kk) {
        const std::size_t g = k * p + kk;  // <= n_t p
        return g >= ndofs ? g - ndofs : g;
    };
    auto gather = [&](std::size_t k, std::size_t jj) {
        const double* row = locals.at(k) + jj * (p + 1);
        for (std::size_t kk = 0; kk <= p; ++kk) {
            const Item item{dof(k, kk), row[kk]};
            std::size_t pos = items.size();
            items.push_back(item);
            while (pos > 0 && items[pos - 1].col > item.col) {
                items[pos] = items[pos - 1];
                --pos;
            }
            items[pos] = item;
        }
    };
    auto emit = [&] {
        for (std::size_t i = 0; i < items.size();) {
            const std::size_t col = items[i].col;
            double sum = items[i].value;
            for (++i; i < items.size() && items[i].col == col; ++i)
                sum = sum + items[i].value;
            out.push(col, sum);
        }
        out.end_row();
        items.clear();
    };

    // Rows whose columns do not wrap around (all but those of node 0 and of
    // the last interval when periodic) are written directly: the same
    // entries, columns and sums in the same order as the general path gives.
    InterruptionPacer pacer;
    for (std::size_t k = 0; k < n_t; ++k) {
        pacer.done(4 * (p + 1) * (p + 1));
        const std::size_t start = k * p;
        const bool wraps = periodic && (k == 0 || k + 1 == n_t);
        // The node at the start of interval k.
        if (wraps) {
            if (k > 0)
                gather(k - 1, p);
            gather(k, 0);
            if (k == 0)
                gather(n_t - 1, p);
            emit();
        } else if (k == 0) {
            const double* first_row = locals.at(0);
            for (std::size_t kk = 0; kk <= p; ++kk)
                out.push(kk, first_row[kk]);
            out.end_row();
        } else {
            // Interval k - 1 (local row p), then interval k (local row 0),
            // meeting on the diagonal.
            const double* corner_first = locals.at(k - 1) + p * (p + 1);
            const double* corner_second = locals.at(k);
            const double shared_diagonal = corner_first[p] + corner_second[0];
            const std::size_t before = start - p;
            for (std::size_t kk = 0; kk < p; ++kk)
                out.push(before + kk, corner_first[kk]);
            out.push(start, shared_diagonal);
            for (std::size_t kk = 1; kk <= p; ++kk)
                out.push(start + kk, corner_second[kk]);
            out.end_row();
        }
        // The interior nodes of interval k.
        for (std::size_t jj = 1; jj < p; ++jj) {
            if (periodic && k + 1 == n_t) {
                gather(k, jj);
                emit();
                continue;
            }
            const double* row = locals.at(k) + jj * (p + 1);
            for (std::size_t kk = 0; kk <= p; ++kk)
                out.push(start + kk, row[kk]);
            out.end_row();
        }
    }
    if (!periodic) {
        gather(n_t - 1, p);
        emit();
    }
    return std::move(out).finish();
}

}  // namespace

std::vector<double> lagrange_reference_mass(std::size_t degree) { return lagrange_reference_matrix(degree, false); }

std::vector<double> lagrange_reference_derivative(std::size_t degree) {
    return lagrange_reference_matrix(degree, true);
}

CsrShape legendre_mass_shape(std::size_t degree, std::size_t n_t) {
    require_positive("legendre_mass_matrix", "n_t", n_t);
    const std::size_t n = legendre_size(degree, n_t);
    return {n, n, n};
}

template <class Index>
CsrArrays<Index> legendre_mass_arrays(std::size_t degree, const TimeMesh& mesh) {
    const std::size_t n_t = mesh.n_t();
    CsrRowWriter<Index> out(legendre_mass_shape(degree, n_t));
    InterruptionPacer pacer;
    for (std::size_t i = 0; i <= degree; ++i) {
        const double odd = static_cast<double>(2 * i + 1);
        const double uniform_value = mesh.is_uniform() ? mesh.uniform_width() / odd : 0.0;
        paced_for(pacer, 0, n_t, mesh.is_uniform() ? 4 : 40, [&](std::size_t j) {
            out.push(j + n_t * i, mesh.is_uniform() ? uniform_value : nearest_quotient(mesh.exact_width(j), odd));
            out.end_row();
        });
    }
    return std::move(out).finish();
}

CsrMatrix legendre_mass_matrix(std::size_t degree, std::size_t n_t, double T) {
    return csr_from_valid_arrays("legendre_mass_matrix",
                                 legendre_mass_arrays<std::size_t>(degree, TimeMesh::unchecked_uniform(n_t, T)));
}

CsrShape lagrange_mass_shape(std::size_t degree, std::size_t n_t, bool periodic) {
    return lagrange_shape("lagrange_mass_matrix", degree, n_t, periodic);
}

template <class Index>
CsrArrays<Index> lagrange_mass_arrays(std::size_t degree, const TimeMesh& mesh, bool periodic) {
    const std::size_t n_t = mesh.n_t();
    const CsrShape shape = lagrange_mass_shape(degree, n_t, periodic);
    std::vector<double> reference = lagrange_reference_mass(degree);
    if (mesh.is_uniform()) {
        const double half_width = 0.5 * mesh.uniform_width();
        for (double& r : reference)
            r = half_width * r;  // (0.5 * w) * R[jj][kk]
        SharedLocal locals{reference};
        return assemble_lagrange<Index>(degree, n_t, periodic, shape, locals);
    }
    // (h_k / 2) R[jj][kk] with the exact width, rounded once.
    auto scale = [&mesh](std::size_t k, double r) {
        const dd::DD h = mesh.exact_width(k);
        return nearest_product({0.5 * h.hi, 0.5 * h.lo}, r);
    };
    ScaledLocal<decltype(scale)> locals{reference, scale, {}, {SIZE_MAX, SIZE_MAX}, 0};
    return assemble_lagrange<Index>(degree, n_t, periodic, shape, locals);
}

CsrMatrix lagrange_mass_matrix(std::size_t degree, std::size_t n_t, double T, bool periodic) {
    return csr_from_valid_arrays("lagrange_mass_matrix",
                                 lagrange_mass_arrays<std::size_t>(degree, TimeMesh::unchecked_uniform(n_t, T),
                                                                   periodic));
}

CsrShape legendre_derivative_shape(std::size_t degree, std::size_t n_t) {
    require_positive("legendre_derivative_matrix", "n_t", n_t);
    const std::size_t n = legendre_size(degree, n_t);
    // Row degree i has the columns k = i + 1, i + 3, ... <= degree; over all i
    // that is floor((degree + 1)^2 / 4) per interval.
    const std::size_t per_interval = checked_mul(degree + 1, degree + 1) / 4;
    return {n, n, checked_mul(per_interval, n_t)};
}

template <class Index>
CsrArrays<Index> legendre_derivative_arrays(std::size_t degree, std::size_t n_t) {
    CsrRowWriter<Index> out(legendre_derivative_shape(degree, n_t));
    InterruptionPacer pacer;
    for (std::size_t i = 0; i <= degree; ++i)
        paced_for(pacer, 0, n_t, 4 + 2 * (degree - i), [&](std::size_t j) {
            for (std::size_t k = i + 1; k <= degree; k += 2)
                out.push(j + n_t * k, 2.0);
            out.end_row();
        });
    return std::move(out).finish();
}

CsrMatrix legendre_derivative_matrix(std::size_t degree, std::size_t n_t) {
    return csr_from_valid_arrays("legendre_derivative_matrix", legendre_derivative_arrays<std::size_t>(degree, n_t));
}

CsrShape lagrange_derivative_shape(std::size_t degree, std::size_t n_t, bool periodic) {
    return lagrange_shape("lagrange_derivative_matrix", degree, n_t, periodic);
}

template <class Index>
CsrArrays<Index> lagrange_derivative_arrays(std::size_t degree, std::size_t n_t, bool periodic) {
    const CsrShape shape = lagrange_derivative_shape(degree, n_t, periodic);
    const std::vector<double> reference = lagrange_reference_derivative(degree);
    SharedLocal locals{reference};
    return assemble_lagrange<Index>(degree, n_t, periodic, shape, locals);
}

CsrMatrix lagrange_derivative_matrix(std::size_t degree, std::size_t n_t, bool periodic) {
    return csr_from_valid_arrays("lagrange_derivative_matrix",
                                 lagrange_derivative_arrays<std::size_t>(degree, n_t, periodic));
}

CsrShape endpoint_shape(std::size_t degree, std::size_t n_t) {
    require_positive("endpoint_matrices", "n_t", n_t);
    const std::size_t n = legendre_size(degree, n_t);
    return {n_t, n, n};
}

template <class Index>
std::pair<CsrArrays<Index>, CsrArrays<Index>> endpoint_arrays(std::size_t degree, std::size_t n_t) {
    const CsrShape shape = endpoint_shape(degree, n_t);
    CsrRowWriter<Index> at_start(shape), at_end(shape);
    InterruptionPacer pacer;
    paced_for(pacer, 0, n_t, 4 * (degree + 1), [&](std::size_t j) {
        double sign = 1.0;  // (-1)^i = P_i(-1)
        for (std::size_t i = 0; i <= degree; ++i) {
            at_start.push(j + n_t * i, sign);
            at_end.push(j + n_t * i, 1.0);
            sign = -sign;
        }
        at_start.end_row();
        at_end.end_row();
    });
    return {std::move(at_start).finish(), std::move(at_end).finish()};
}

std::pair<CsrMatrix, CsrMatrix> endpoint_matrices(std::size_t degree, std::size_t n_t) {
    auto [at_start, at_end] = endpoint_arrays<std::size_t>(degree, n_t);
    CsrMatrix start = csr_from_valid_arrays("endpoint_matrices", std::move(at_start));
    return {std::move(start), csr_from_valid_arrays("endpoint_matrices", std::move(at_end))};
}

CsrShape upwind_shape(std::size_t degree, std::size_t n_t, bool periodic) {
    require_positive("upwind_matrix", "n_t", n_t);
    const std::size_t n = legendre_size(degree, n_t);
    const std::size_t block = checked_mul(degree + 1, degree + 1);
    // Two blocks per interval, but one on interval 0 unless periodic, and one
    // (summed) periodic with a single interval.
    std::size_t nnz = checked_mul(checked_mul(block, n_t), 2);
    if (!periodic || n_t == 1)
        nnz -= block;
    return {n, n, nnz};
}

template <class Index>
CsrArrays<Index> upwind_arrays(std::size_t degree, std::size_t n_t, bool periodic) {
    CsrRowWriter<Index> out(upwind_shape(degree, n_t, periodic));
    InterruptionPacer pacer;
    // Row j + n_t a: the own block holds (-1)^(a + b) at j + n_t b, the
    // upwind neighbour's -(-1)^a at (j - 1) + n_t b.
    double sa = 1.0;  // (-1)^a
    for (std::size_t a = 0; a <= degree; ++a) {
        // Row of interval 0: no neighbour, or (periodic) the last interval,
        // which is interval 0 itself when there is only one.
        double sab = sa;  // (-1)^(a + b)
        for (std::size_t b = 0; b <= degree; ++b) {
            const std::size_t own = n_t * b;
            if (!periodic)
                out.push(own, sab);
            else if (n_t == 1)
                out.push(own, sab + (-sa));
            else {
                out.push(own, sab);
                out.push((n_t - 1) + own, -sa);
            }
            sab = -sab;
        }
        out.end_row();
        paced_for(pacer, 1, n_t, 8 * (degree + 1), [&](std::size_t j) {
            double sjb = sa;  // (-1)^(a + b)
            for (std::size_t b = 0; b <= degree; ++b) {
                const std::size_t own = j + n_t * b;
                out.push(own - 1, -sa);
                out.push(own, sjb);
                sjb = -sjb;
            }
            out.end_row();
        });
        sa = -sa;
    }
    return std::move(out).finish();
}

CsrMatrix upwind_matrix(std::size_t degree, std::size_t n_t, bool periodic) {
    return csr_from_valid_arrays("upwind_matrix", upwind_arrays<std::size_t>(degree, n_t, periodic));
}

// The index types the callers use: int32 and int64 for numpy, size_t for
// CsrMatrix.
#define PWPOLY_TIME_OPERATORS_FOR(Index)                                                                               \
    template CsrArrays<Index> legendre_mass_arrays<Index>(std::size_t, const TimeMesh&);                               \
    template CsrArrays<Index> lagrange_mass_arrays<Index>(std::size_t, const TimeMesh&, bool);                         \
    template CsrArrays<Index> legendre_derivative_arrays<Index>(std::size_t, std::size_t);                             \
    template CsrArrays<Index> lagrange_derivative_arrays<Index>(std::size_t, std::size_t, bool);                       \
    template std::pair<CsrArrays<Index>, CsrArrays<Index>> endpoint_arrays<Index>(std::size_t, std::size_t);           \
    template CsrArrays<Index> upwind_arrays<Index>(std::size_t, std::size_t, bool);

PWPOLY_TIME_OPERATORS_FOR(std::int32_t)
PWPOLY_TIME_OPERATORS_FOR(std::int64_t)
PWPOLY_TIME_OPERATORS_FOR(std::size_t)
#undef PWPOLY_TIME_OPERATORS_FOR

}  // namespace pwpoly
