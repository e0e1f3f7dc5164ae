// Calculus on vector-valued expansions; the order of operations of every
// result is documented in the header. The loops run over the components
// innermost, so that the compiler can vectorise them across k; each
// component still sees exactly its own sequence of operations.
#include "piecewise_polynomials/calculus/expansion_calculus.hpp"

#include <cmath>
#include <cstring>

#include "arithmetic/two_lanes.hpp"
#include "common/internal_failure.hpp"
#include "common/interruption.hpp"
#include "piecewise_polynomials/basis/legendre_basis.hpp"
#include "piecewise_polynomials/calculus/gauss_legendre.hpp"
#include "piecewise_polynomials/calculus/mesh_integrals.hpp"

namespace pwpoly {

namespace {

// (degree + 1) * n_t * m, the element count of an expansion's coefficients.
std::size_t coefficient_count(std::size_t degree, std::size_t n_t, std::size_t m) {
    return checked_array_count(checked_mul(checked_mul(checked_add(degree, 1), n_t), m), sizeof(double));
}

std::size_t intervals_of(const TimeMesh& mesh) {
    if (!mesh.has_intervals()) [[unlikely]]
        fail(no_intervals_message);
    return mesh.n_t();
}

}  // namespace

void endpoint_values(std::size_t degree, std::size_t n_t, std::size_t m, const double* coefficients, double* at_start,
                     double* at_end) {
    coefficient_count(degree, n_t, m);
    if (m == 0)
        return;
    const std::size_t stride = n_t * m;  // from c[i, j, k] to c[i + 1, j, k]
    InterruptionPacer pacer;
    for (std::size_t j = 0; j < n_t; ++j) {
        double* start = at_start + j * m;
        double* end = at_end + j * m;
        for (std::size_t k = 0; k < m; ++k) {
            start[k] = -0.0;
            end[k] = -0.0;
        }
        const double* c = coefficients + j * m;
        double sign = 1.0;
        for (std::size_t i = 0; i <= degree; ++i, c += stride) {
            for (std::size_t k = 0; k < m; ++k) {
                start[k] = start[k] + sign * c[k];
                end[k] = end[k] + 1.0 * c[k];
            }
            sign = -sign;
        }
        pacer.done((degree + 1) * m);
    }
}

void integral(std::size_t degree, const TimeMesh& mesh, std::size_t m, const double* coefficients, double* out) {
    const std::size_t n_t = intervals_of(mesh);  // checked before anything is read
    coefficient_count(degree, n_t, m);
    if (m == 0)
        return;
    PrefixIntegrals sums(mesh, m, coefficients);  // reads c[0, j, :]
    sums.add_all();
    InterruptionPacer pacer;
    for (std::size_t k = 0; k < m; ++k) {
        out[k] = sums.rounded(k);
        pacer.done(1);
    }
}

std::vector<double> antiderivative(std::size_t degree, const TimeMesh& mesh, std::size_t m,
                                   const double* coefficients) {
    const std::size_t n_t = intervals_of(mesh);
    coefficient_count(degree, n_t, m);
    const std::size_t count =
        checked_array_count(checked_mul(checked_mul(checked_add(degree, 2), n_t), m), sizeof(double));
    std::vector<double> out(count);
    if (m == 0)
        return out;
    const std::size_t stride = n_t * m;  // from degree i to i + 1, in the input and in the output
    PrefixIntegrals sums(mesh, m, coefficients);
    NearestDifferences differences;
    InterruptionPacer pacer;
    double h = 0.0;
    for (std::size_t j = 0; j < n_t; ++j) {
        if (j == 0 || !mesh.is_uniform())
            h = 0.5 * rounded_width(mesh, j);
        const double* c = coefficients + j * m;  // c[i, j, k] = c[i * stride + k]
        double* f = out.data() + j * m;          // F[i, j, k] = f[i * stride + k]
        // F[i]: h * (c_(i-1) / (2i - 1) - c_(i+1) / (2i + 3)).
        for (std::size_t i = 1; i <= degree + 1; ++i) {
            const double* lower = c + (i - 1) * stride;
            double* fi = f + i * stride;
            const double below = static_cast<double>(2 * i - 1);
            if (i + 1 <= degree) {
                const double* upper = c + (i + 1) * stride;
                const double above = static_cast<double>(2 * i + 3);
                for (std::size_t k = 0; k < m; ++k)
                    fi[k] = h * (lower[k] / below - upper[k] / above);
            } else {
                for (std::size_t k = 0; k < m; ++k)
                    fi[k] = h * (lower[k] / below);
            }
        }
        // F[0]: the nearest double to K_(j+1) - (F[1] + ... + F[degree + 1]).
        sums.add_next();
        for (std::size_t k = 0; k < m; ++k)
            f[k] = sums.rounded(k);  // K_(j+1)
        differences.compute(m, f, f + stride, stride, degree + 1, f);
        pacer.done((degree + 2) * m);
    }
    return out;
}

void project_values(std::size_t degree, std::size_t n_t, std::size_t points, std::size_t m, const double* values,
                    double* out) {
    check_gauss_points(points);
    const QuadratureRule rule = gauss_legendre_rule(points);
    const std::size_t columns = checked_add(degree, 1);
    checked_array_count(checked_mul(checked_mul(n_t, points), m), sizeof(double));
    coefficient_count(degree, n_t, m);
    // table[i * points + q] = t_iq = ((0.5 * (2i + 1)) * omega_q) * P_i(x_q).
    std::vector<double> table(checked_array_count(checked_mul(columns, points), sizeof(double)));
    InterruptionPacer pacer;
    for (std::size_t q = 0; q < points; ++q) {
        pacer.done(4 * columns);
        const double x = rule.nodes[q];
        const double omega = rule.weights[q];
        const auto put = [&](std::size_t i, double p_i) {
            table[i * points + q] = ((0.5 * static_cast<double>(2 * i + 1)) * omega) * p_i;
        };
        put(0, 1.0);
        if (degree >= 1)
            put(1, x);
        for_each_legendre_from_2(x, degree, [&](std::size_t i, double p_i, double) { put(i, p_i); });
    }
    if (m == 0)
        return;
    if (m == 1) {
        // One component: two intervals side by side, one per lane (their
        // values are `points` apart), so that the short sums over q run in
        // vector registers and the results of a degree are stored together.
        std::size_t j = 0;
        for (; n_t - j >= 2; j += 2) {
            const double* f = values + j * points;
            for (std::size_t i = 0; i < columns; ++i) {
                const double* t = table.data() + i * points;
                Double2 sum = {0.0, 0.0};
                for (std::size_t q = 0; q < points; ++q)
                    sum = sum + Double2{t[q], t[q]} * Double2{f[q], f[points + q]};
                std::memcpy(out + i * n_t + j, &sum, sizeof sum);
            }
            pacer.done(2 * columns * points);
        }
        for (; j < n_t; ++j) {
            const double* f = values + j * points;
            for (std::size_t i = 0; i < columns; ++i) {
                const double* t = table.data() + i * points;
                double sum = 0.0;
                for (std::size_t q = 0; q < points; ++q)
                    sum = sum + t[q] * f[q];
                out[i * n_t + j] = sum;
            }
            pacer.done(columns * points);
        }
        return;
    }
    for (std::size_t j = 0; j < n_t; ++j) {
        const double* f = values + j * points * m;  // f[q * m + k]
        for (std::size_t i = 0; i < columns; ++i) {
            const double* t = table.data() + i * points;
            double* o = out + (i * n_t + j) * m;
            for (std::size_t k = 0; k < m; ++k)
                o[k] = 0.0;
            for (std::size_t q = 0; q < points; ++q) {
                const double tq = t[q];
                const double* fq = f + q * m;
                for (std::size_t k = 0; k < m; ++k)
                    o[k] = o[k] + tq * fq[k];
            }
        }
        pacer.done(columns * points * m);
    }
}

void apply_csr_rows(const CsrMatrix& a, std::size_t m, const double* x, double* y) {
    checked_array_count(checked_mul(a.ncols(), m), sizeof(double));
    checked_array_count(checked_mul(a.nrows(), m), sizeof(double));
    if (m == 0)
        return;
    const std::vector<std::size_t>& offsets = a.row_offsets();
    const std::vector<std::size_t>& cols = a.col_indices();
    const std::vector<double>& vals = a.values();
    InterruptionPacer pacer;
    for (std::size_t r = 0; r < a.nrows(); ++r) {
        double* yr = y + r * m;
        for (std::size_t k = 0; k < m; ++k)
            yr[k] = 0.0;
        for (std::size_t e = offsets[r]; e < offsets[r + 1]; ++e) {
            const double v = vals[e];
            const double* xc = x + cols[e] * m;
            for (std::size_t k = 0; k < m; ++k)
                yr[k] = yr[k] + v * xc[k];
        }
        pacer.done(m + (offsets[r + 1] - offsets[r]) * m);
    }
}

}  // namespace pwpoly
