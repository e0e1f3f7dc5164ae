// Prolongation from this (coarse) Lagrange basis to the one of the same
// degree p and periodicity on nt_fine intervals of the same span.
//
// Row r holds the coarse basis functions evaluated at fine node r. The fine
// node's position in coarse-interval units is u = (r / (nt_fine * p)) * n_c;
// it lies in coarse interval k = min(floor(u), n_c - 1) at the local
// coordinate xi = 2 (u - k) - 1, so a node on an interior coarse node is
// taken at the left end of the interval to its right, and the end of the
// span at the right end of the last interval. Within 1e-14 of a reference
// node the row is that node's exact 1.0; elsewhere the values come from the
// barycentric formula L_j = (w_j / (xi - x_j)) / sum_i (w_i / (xi - x_i)).
// Exact zeros are not stored; everything else is, however small.
#include <cmath>
#include <vector>

#include "common/internal_failure.hpp"
#include "common/interruption.hpp"
#include "piecewise_polynomials/basis/lagrange_basis.hpp"
#include "piecewise_polynomials/basis/mesh.hpp"

namespace pwpoly {

namespace {

// 1 / prod_{k != j} (x_j - x_k), the product taken in ascending k.
std::vector<double> barycentric_weights(const std::vector<double>& x) {
    std::vector<double> w(x.size());
    for (std::size_t j = 0; j < x.size(); ++j) {
        double prod = 1.0;
        for (std::size_t k = 0; k < x.size(); ++k)
            if (k != j)
                prod = prod * (x[j] - x[k]);
        w[j] = 1.0 / prod;
    }
    return w;
}

// A capacity to reserve for `rows` rows of up to `per_row` entries: the full
// bound for small degrees, where nearly every row is full; capped at eight
// entries a row otherwise, since rows on coarse nodes hold one entry. Every
// row stores at least one entry, so `rows` entries are the least that is
// reserved: a row count whose entry arrays cannot be represented fails at
// once with "capacity overflow", and one that cannot be allocated fails at
// once in the reservation, instead of growing the arrays row by row until
// memory runs out.
std::size_t entry_count_hint(std::size_t rows, std::size_t per_row) {
    checked_array_count(rows, sizeof(double));
    std::size_t hint;
    if (__builtin_mul_overflow(rows, per_row < 8 ? per_row : 8, &hint) || hint > PTRDIFF_MAX / sizeof(double))
        return rows;
    return hint;
}

}  // namespace

CsrMatrix LagrangeBasis::get_prolongation_matrix_to(std::size_t nt_fine) const {
    const std::size_t p = degree_;
    const std::size_t n_c = n_t_;
    if (p == 0)
        fail("Lagrange prolongation requires polynomial degree at least 1");
    if (n_c == 0)
        fail("Lagrange prolongation requires at least one coarse interval");
    if (nt_fine == 0)
        fail("Lagrange prolongation requires at least one fine interval");

    const std::vector<double> x = equidistant_points_on_interval(-1.0, 1.0, p);
    const std::vector<double> w = barycentric_weights(x);
    std::vector<double> L(x.size());

    const std::size_t fine_span = checked_mul(nt_fine, p);
    const std::size_t nrows = periodic_ ? fine_span : checked_add(fine_span, 1);
    const std::size_t ncols = num_dofs();
    CooMatrix coo(nrows, ncols);
    coo.reserve(entry_count_hint(nrows, p + 1));

    const double span = static_cast<double>(fine_span);
    const double coarse = static_cast<double>(n_c);
    InterruptionPacer pacer;
    for (std::size_t r = 0; r < nrows; ++r) {
        pacer.done(8 * (p + 1));
        const double u = (static_cast<double>(r) / span) * coarse;
        const std::size_t k = interval_of(u, n_c);
        const double d = u - static_cast<double>(k);
        const double xi = (d + d) + (-1.0);

        std::size_t node = 0;
        while (node <= p && !(std::fabs(xi - x[node]) < 1e-14))
            ++node;
        if (node <= p) {
            coo.push(r, dof_index(k, node), 1.0);
            continue;
        }

        double s = 0.0;
        for (std::size_t j = 0; j <= p; ++j) {
            L[j] = w[j] / (xi - x[j]);
            s = s + L[j];
        }
        for (std::size_t j = 0; j <= p; ++j) {
            const double value = L[j] / s;
            if (value != 0.0)
                coo.push(r, dof_index(k, j), value);
        }
    }
    // Periodic with one coarse interval, nodes 0 and p share column 0 and
    // the conversion stores the sum of their two values.
    return convert_coo_csr(std::move(coo));
}

}  // namespace pwpoly
