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
//
// Between nested meshes of any breakpoints, fine node i of fine interval f
// (inside coarse interval c) sits at b_f + i h_f / p; its coarse coordinate
// xi = (2 (b_f - b_c) + (2 i h_f) / p) / h_c - 1 is computed from the exact
// breakpoints in double-double and rounded once, then taken as above.
#include <cmath>
#include <string>
#include <vector>

#include "arithmetic/correct_rounding.hpp"
#include "common/argument_error.hpp"
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

namespace {

// The coarse basis functions of interval k at its local coordinate xi, as
// row r of the prolongation.
class RowValues {
public:
    explicit RowValues(std::size_t p)
        : x_(equidistant_points_on_interval(-1.0, 1.0, p)), w_(barycentric_weights(x_)), L_(x_.size()) {}

    void push(CooMatrix& coo, const LagrangeBasis& basis, std::size_t r, std::size_t k, double xi) {
        const std::size_t p = x_.size() - 1;
        std::size_t node = 0;
        while (node <= p && !(std::fabs(xi - x_[node]) < 1e-14))
            ++node;
        if (node <= p) {
            coo.push(r, basis.dof_index(k, node), 1.0);
            return;
        }
        double s = 0.0;
        for (std::size_t j = 0; j <= p; ++j) {
            L_[j] = w_[j] / (xi - x_[j]);
            s = s + L_[j];
        }
        for (std::size_t j = 0; j <= p; ++j) {
            const double value = L_[j] / s;
            if (value != 0.0)
                coo.push(r, basis.dof_index(k, j), value);
        }
    }

private:
    std::vector<double> x_, w_, L_;
};

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

    RowValues values(p);
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
        values.push(coo, *this, r, k, xi);
    }
    // Periodic with one coarse interval, nodes 0 and p share column 0 and
    // the conversion stores the sum of their two values.
    return convert_coo_csr(std::move(coo));
}

CsrMatrix lagrange_prolongation_matrix(std::size_t degree, const TimeMesh& coarse, const TimeMesh& fine,
                                       bool periodic) {
    require_same_interval(coarse, fine);
    const LagrangeBasis basis = LagrangeBasis::create(degree, coarse.n_t(), 1.0, periodic);
    if (coarse.is_uniform() && fine.is_uniform())
        return basis.get_prolongation_matrix_to(fine.n_t());
    if (degree == 0)
        fail("Lagrange prolongation requires polynomial degree at least 1");
    const std::vector<std::size_t> parents = TimeMesh::nested_parents(coarse, fine);
    if (parents.empty())
        refuse("the Lagrange prolongation needs nested meshes: every breakpoint of coarse must be a breakpoint of "
               "fine (bit for bit)");
    const std::size_t p = degree;
    const std::size_t nt_fine = fine.n_t();
    RowValues values(p);
    const std::size_t fine_span = checked_mul(nt_fine, p);
    const std::size_t nrows = periodic ? fine_span : checked_add(fine_span, 1);
    CooMatrix coo(nrows, basis.num_dofs());
    coo.reserve(entry_count_hint(nrows, p + 1));
    const double pd = static_cast<double>(p);
    InterruptionPacer pacer;
    for (std::size_t f = 0; f < nt_fine; ++f) {
        pacer.done(p * (60 + 8 * (p + 1)));  // per node: the coordinate in double-double, then the row
        const std::size_t c = parents[f];
        const dd::DD offset = fine.exact_start(f) - coarse.exact_start(c);  // b_f - b_c
        const dd::DD hf = fine.exact_width(f);
        const dd::DD hc = coarse.exact_width(c);
        for (std::size_t i = 0; i < p; ++i) {
            // (2 (b_f - b_c) + (2 i h_f) / p) / h_c - 1
            const dd::DD along = (hf * (2.0 * static_cast<double>(i))) / pd;
            const dd::DD xi = (offset * 2.0 + along) / hc - dd::DD{1.0, 0.0};
            values.push(coo, basis, f * p + i, c, nearest_to(xi));
        }
    }
    if (!periodic)
        values.push(coo, basis, fine_span, coarse.n_t() - 1, 1.0);
    return convert_coo_csr(std::move(coo));
}

}  // namespace pwpoly
