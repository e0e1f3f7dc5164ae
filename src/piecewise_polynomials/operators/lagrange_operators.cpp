// The continuous Lagrange mass and derivative matrices (time_operators.hpp):
// the local matrices of the intervals, from the reference matrices of
// lagrange_reference.hpp, assembled over the shared nodes.
#include <cstdint>
#include <vector>

#include "arithmetic/correct_rounding.hpp"
#include "common/interruption.hpp"
#include "piecewise_polynomials/operators/lagrange_reference.hpp"
#include "piecewise_polynomials/operators/time_operator_fills.hpp"

namespace pwpoly::time_operator_fills {

namespace {

// The local matrices of the intervals, (degree + 1)^2 each, row-major:
// `at(k)` is that of interval k, and stays valid while at most one other
// interval's is asked for (the assembly needs two neighbours at a time).
// One matrix shared by every interval (a uniform mesh, or a matrix that does
// not depend on the widths):
struct SharedLocal {
    const std::vector<double>& local;
    const double* at(std::size_t) const { return local.data(); }
};

// Interval k's own mass matrix, the nearest doubles to (h_k / 2) R[jj][kk]
// with the exact width h_k = hi + lo, computed when first asked for; the two
// most recently used are kept. When the half width is a double (lo = 0:
// nearly every interval, since the difference of two breakpoints within a
// factor 2 of each other is exact) each entry is one IEEE product, already
// the nearest double; only the other intervals go through nearest_product,
// which returns that same product for lo = 0. So the width is read once per
// interval and the common case is a loop of products.
struct WidthScaledLocal {
    const TimeMesh& mesh;
    const std::vector<double>& reference;
    std::vector<double> slot[2] = {std::vector<double>(reference.size()), std::vector<double>(reference.size())};
    std::size_t holds[2] = {SIZE_MAX, SIZE_MAX};
    std::size_t next = 0;

    const double* at(std::size_t k) {
        for (std::size_t s = 0; s < 2; ++s)
            if (holds[s] == k) {
                next = 1 - s;  // the other one is older now
                return slot[s].data();
            }
        const dd::DD h = mesh.exact_width(k);
        const dd::DD half{0.5 * h.hi, 0.5 * h.lo};
        const double* r = reference.data();
        double* out = slot[next].data();
        const std::size_t size = reference.size();
        if (half.lo == 0.0)
            for (std::size_t e = 0; e < size; ++e)
                out[e] = half.hi * r[e];
        else
            for (std::size_t e = 0; e < size; ++e)
                out[e] = nearest_product(half, r[e]);
        holds[next] = k;
        next = 1 - next;
        return out;
    }
};

// The continuous Lagrange assembly of the local matrices `locals`
// (SharedLocal or WidthScaledLocal). Row a gathers, for each occurrence
// (interval k, local node jj) of dof a in increasing (k, jj) order, the local
// row jj at the columns dof(k, kk), kk = 0, ..., degree; a stable insertion
// sort orders them by column, and each run of equal columns is summed in
// gathering order. So a global entry is the sum over the intervals sharing
// the pair in increasing interval order (at most two terms). Periodic with one
// interval is assembled on its own, see below.
template <class Index, class Locals>
void assemble_lagrange(CsrRowWriter<Index>& out, std::size_t degree, std::size_t n_t, bool periodic, Locals& locals) {
    const std::size_t p = degree;
    const std::size_t ndofs = periodic ? n_t * p : n_t * p + 1;  // the shape has checked these

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
        return;
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
}

}  // namespace

template <class Index>
void lagrange_mass(CsrRowWriter<Index>& out, std::size_t degree, const TimeMesh& mesh, bool periodic) {
    const std::size_t n_t = mesh.n_t();
    std::vector<double> reference = lagrange_reference_mass(degree);
    if (mesh.is_uniform()) {
        const double half_width = 0.5 * mesh.uniform_width();
        for (double& r : reference)
            r = half_width * r;  // (0.5 * w) * R[jj][kk]
        SharedLocal locals{reference};
        assemble_lagrange(out, degree, n_t, periodic, locals);
        return;
    }
    // (h_k / 2) R[jj][kk] with the exact width, rounded once.
    WidthScaledLocal locals{mesh, reference};
    assemble_lagrange(out, degree, n_t, periodic, locals);
}

template <class Index>
void lagrange_derivative(CsrRowWriter<Index>& out, std::size_t degree, std::size_t n_t, bool periodic) {
    const std::vector<double> reference = lagrange_reference_derivative(degree);
    SharedLocal locals{reference};
    assemble_lagrange(out, degree, n_t, periodic, locals);
}

#define PWPOLY_LAGRANGE_FILLS_FOR(Index)                                                                               \
    template void lagrange_mass<Index>(CsrRowWriter<Index>&, std::size_t, const TimeMesh&, bool);                      \
    template void lagrange_derivative<Index>(CsrRowWriter<Index>&, std::size_t, std::size_t, bool);

PWPOLY_LAGRANGE_FILLS_FOR(std::int32_t)
PWPOLY_LAGRANGE_FILLS_FOR(std::int64_t)
#undef PWPOLY_LAGRANGE_FILLS_FOR

}  // namespace pwpoly::time_operator_fills
