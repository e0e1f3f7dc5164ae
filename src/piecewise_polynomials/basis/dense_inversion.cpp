#include "piecewise_polynomials/basis/dense_inversion.hpp"

#include <cmath>
#include <utility>

#include "common/internal_failure.hpp"
#include "common/interruption.hpp"

namespace pwpoly {

namespace {

// Adjugate by 3 x 3 cofactor expansion, determinant from the first column,
// then one reciprocal applied to every entry.
std::optional<std::vector<double>> invert4(std::span<const double> m) {
    std::vector<double> inv(16);
    inv[0] = m[5] * m[10] * m[15] - m[5] * m[11] * m[14] - m[9] * m[6] * m[15] + m[9] * m[7] * m[14] +
             m[13] * m[6] * m[11] - m[13] * m[7] * m[10];
    inv[4] = -m[4] * m[10] * m[15] + m[4] * m[11] * m[14] + m[8] * m[6] * m[15] - m[8] * m[7] * m[14] -
             m[12] * m[6] * m[11] + m[12] * m[7] * m[10];
    inv[8] = m[4] * m[9] * m[15] - m[4] * m[11] * m[13] - m[8] * m[5] * m[15] + m[8] * m[7] * m[13] +
             m[12] * m[5] * m[11] - m[12] * m[7] * m[9];
    inv[12] = -m[4] * m[9] * m[14] + m[4] * m[10] * m[13] + m[8] * m[5] * m[14] - m[8] * m[6] * m[13] -
              m[12] * m[5] * m[10] + m[12] * m[6] * m[9];
    inv[1] = -m[1] * m[10] * m[15] + m[1] * m[11] * m[14] + m[9] * m[2] * m[15] - m[9] * m[3] * m[14] -
             m[13] * m[2] * m[11] + m[13] * m[3] * m[10];
    inv[5] = m[0] * m[10] * m[15] - m[0] * m[11] * m[14] - m[8] * m[2] * m[15] + m[8] * m[3] * m[14] +
             m[12] * m[2] * m[11] - m[12] * m[3] * m[10];
    inv[9] = -m[0] * m[9] * m[15] + m[0] * m[11] * m[13] + m[8] * m[1] * m[15] - m[8] * m[3] * m[13] -
             m[12] * m[1] * m[11] + m[12] * m[3] * m[9];
    inv[13] = m[0] * m[9] * m[14] - m[0] * m[10] * m[13] - m[8] * m[1] * m[14] + m[8] * m[2] * m[13] +
              m[12] * m[1] * m[10] - m[12] * m[2] * m[9];
    inv[2] = m[1] * m[6] * m[15] - m[1] * m[7] * m[14] - m[5] * m[2] * m[15] + m[5] * m[3] * m[14] +
             m[13] * m[2] * m[7] - m[13] * m[3] * m[6];
    inv[6] = -m[0] * m[6] * m[15] + m[0] * m[7] * m[14] + m[4] * m[2] * m[15] - m[4] * m[3] * m[14] -
             m[12] * m[2] * m[7] + m[12] * m[3] * m[6];
    inv[10] = m[0] * m[5] * m[15] - m[0] * m[7] * m[13] - m[4] * m[1] * m[15] + m[4] * m[3] * m[13] +
              m[12] * m[1] * m[7] - m[12] * m[3] * m[5];
    inv[14] = -m[0] * m[5] * m[14] + m[0] * m[6] * m[13] + m[4] * m[1] * m[14] - m[4] * m[2] * m[13] -
              m[12] * m[1] * m[6] + m[12] * m[2] * m[5];
    inv[3] = -m[1] * m[6] * m[11] + m[1] * m[7] * m[10] + m[5] * m[2] * m[11] - m[5] * m[3] * m[10] -
             m[9] * m[2] * m[7] + m[9] * m[3] * m[6];
    inv[7] = m[0] * m[6] * m[11] - m[0] * m[7] * m[10] - m[4] * m[2] * m[11] + m[4] * m[3] * m[10] +
             m[8] * m[2] * m[7] - m[8] * m[3] * m[6];
    inv[11] = -m[0] * m[5] * m[11] + m[0] * m[7] * m[9] + m[4] * m[1] * m[11] - m[4] * m[3] * m[9] -
              m[8] * m[1] * m[7] + m[8] * m[3] * m[5];
    inv[15] = m[0] * m[5] * m[10] - m[0] * m[6] * m[9] - m[4] * m[1] * m[10] + m[4] * m[2] * m[9] + m[8] * m[1] * m[6] -
              m[8] * m[2] * m[5];

    // det = sum over r of M(r, 0) * adj(0, r); adj(0, r) is inv[4 * r].
    const double det = m[0] * inv[0] + m[1] * inv[4] + m[2] * inv[8] + m[3] * inv[12];
    if (det == 0.0)
        return std::nullopt;
    const double s = 1.0 / det;
    for (double& x : inv)
        x = x * s;
    return inv;
}

}  // namespace

bool lu_factorize(std::span<double> a, std::size_t n, std::span<std::size_t> swaps) {
    auto A = [&](std::size_t r, std::size_t c) -> double& { return a[r + c * n]; };
    InterruptionPacer pacer;
    for (std::size_t j = 0; j < n; ++j) {
        pacer.done(n + 2 * (n - j) * (n - j));
        std::size_t p = j;
        double best = std::fabs(A(j, j));
        for (std::size_t i = j + 1; i < n; ++i) {
            const double v = std::fabs(A(i, j));
            if (v > best) {
                best = v;
                p = i;
            }
        }
        if (A(p, j) == 0.0)
            return false;
        swaps[j] = p;
        if (p != j)
            for (std::size_t c = 0; c < n; ++c)
                std::swap(A(j, c), A(p, c));
        const double r = 1.0 / A(j, j);
        for (std::size_t i = j + 1; i < n; ++i)
            A(i, j) = A(i, j) * r;
        for (std::size_t c = j + 1; c < n; ++c) {
            const double ujc = A(j, c);
            for (std::size_t i = j + 1; i < n; ++i)
                A(i, c) = A(i, c) - A(i, j) * ujc;
        }
    }
    return true;
}

std::optional<std::vector<double>> invert(std::span<const double> m, std::size_t n) {
    if (n == 4)
        return invert4(m);

    const std::size_t nn = checked_array_count(checked_mul(n, n), sizeof(double));
    std::vector<double> a(m.begin(), m.begin() + static_cast<std::ptrdiff_t>(nn));
    std::vector<std::size_t> swaps(n);
    if (!lu_factorize(a, n, swaps))
        return std::nullopt;

    // X starts as the identity with the factorisation's row exchanges
    // applied in order, i.e. P * I.
    std::vector<double> x(nn, 0.0);
    auto X = [&](std::size_t r, std::size_t c) -> double& { return x[r + c * n]; };
    auto A = [&](std::size_t r, std::size_t c) -> double { return a[r + c * n]; };
    for (std::size_t i = 0; i < n; ++i)
        X(i, i) = 1.0;
    for (std::size_t j = 0; j < n; ++j)
        if (swaps[j] != j)
            for (std::size_t c = 0; c < n; ++c)
                std::swap(X(j, c), X(swaps[j], c));

    // Forward substitution with the unit lower factor.
    InterruptionPacer pacer;
    for (std::size_t k = 0; k < n; ++k) {
        pacer.done(2 * (n - k) * n);
        for (std::size_t i = k + 1; i < n; ++i) {
            const double l = A(i, k);
            for (std::size_t c = 0; c < n; ++c)
                X(i, c) = X(i, c) - l * X(k, c);
        }
    }
    // Back substitution with U: a true division by the diagonal, then
    // elimination upwards.
    for (std::size_t k = n; k-- > 0;) {
        pacer.done(n + 2 * k * n);
        const double d = A(k, k);
        for (std::size_t c = 0; c < n; ++c)
            X(k, c) = X(k, c) / d;
        for (std::size_t i = 0; i < k; ++i) {
            const double u = A(i, k);
            for (std::size_t c = 0; c < n; ++c)
                X(i, c) = X(i, c) - u * X(k, c);
        }
    }
    return x;
}

}  // namespace pwpoly
