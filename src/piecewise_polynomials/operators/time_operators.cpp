#include "piecewise_polynomials/operators/time_operators.hpp"

#include <string>
#include <utility>

#include "arithmetic/exact_arithmetic.hpp"
#include "common/internal_failure.hpp"
#include "piecewise_polynomials/operators/time_operator_fills.hpp"

namespace pwpoly {

namespace {

using exact::require_positive;

// The name under which a matrix's arguments are refused.
const char* matrix_name(TimeMatrix matrix) {
    switch (matrix) {
    case TimeMatrix::legendre_mass:
        return "legendre_mass_matrix";
    case TimeMatrix::lagrange_mass:
        return "lagrange_mass_matrix";
    case TimeMatrix::legendre_derivative:
        return "legendre_derivative_matrix";
    case TimeMatrix::lagrange_derivative:
        return "lagrange_derivative_matrix";
    case TimeMatrix::endpoint_start:
    case TimeMatrix::endpoint_end:
        return "endpoint_matrices";
    case TimeMatrix::upwind:
        return "upwind_matrix";
    }
    fail("time_operator_shape: unknown matrix");
}

bool is_lagrange(TimeMatrix matrix) {
    return matrix == TimeMatrix::lagrange_mass || matrix == TimeMatrix::lagrange_derivative;
}

// The shape of the Lagrange mass and derivative matrices, which store every
// pair of dofs sharing an interval once. Each interval couples
// (degree + 1)^2 pairs; the pairs two intervals both couple are counted
// once: the (node, node) pair of the node two neighbours share, and periodic
// with two intervals, which share both end nodes, the 4 pairs of these two.
// Periodic with one interval all degree^2 pairs of its degree dofs.
CsrShape lagrange_shape(std::size_t degree, std::size_t n_t, bool periodic) {
    const std::size_t interior = checked_mul(n_t, degree);
    const std::size_t ndofs = periodic ? interior : checked_add(interior, 1);
    const std::size_t n = checked_add(degree, 1);
    const std::size_t all_blocks = checked_mul(n_t, checked_mul(n, n));  // one entry per local pair at most
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

}  // namespace

CsrShape time_operator_shape(const TimeOperator& op) {
    const char* function = matrix_name(op.matrix);
    const std::size_t degree = op.degree, n_t = op.mesh.n_t();
    if (is_lagrange(op.matrix)) {
        require_positive(function, "degree", degree);
        require_positive(function, "n_t", n_t);
        return lagrange_shape(degree, n_t, op.periodic);
    }
    require_positive(function, "n_t", n_t);
    if (op.periodic && op.matrix != TimeMatrix::upwind)
        fail(std::string(function) + ": the Legendre basis has no periodic form");
    const std::size_t n = checked_mul(checked_add(degree, 1), n_t);  // the Legendre coefficients
    switch (op.matrix) {
    case TimeMatrix::legendre_derivative: {
        // Row degree i has the columns k = i + 1, i + 3, ... <= degree; over
        // all i that is floor((degree + 1)^2 / 4) per interval.
        const std::size_t per_interval = checked_mul(degree + 1, degree + 1) / 4;
        return {n, n, checked_mul(per_interval, n_t)};
    }
    case TimeMatrix::endpoint_start:
    case TimeMatrix::endpoint_end:
        return {n_t, n, n};
    case TimeMatrix::upwind: {
        // Two blocks per interval, but one on interval 0 unless periodic,
        // and one (summed) periodic with a single interval.
        const std::size_t block = checked_mul(degree + 1, degree + 1);
        std::size_t nnz = checked_mul(checked_mul(block, n_t), 2);
        if (!op.periodic || n_t == 1)
            nnz -= block;
        return {n, n, nnz};
    }
    default:  // legendre_mass
        return {n, n, n};
    }
}

template <class Index>
CsrArrays<Index> time_operator_arrays(const TimeOperator& op) {
    namespace fills = time_operator_fills;
    CsrRowWriter<Index> out(time_operator_shape(op));
    const std::size_t degree = op.degree, n_t = op.mesh.n_t();
    switch (op.matrix) {
    case TimeMatrix::legendre_mass:
        fills::legendre_mass(out, degree, op.mesh);
        break;
    case TimeMatrix::lagrange_mass:
        fills::lagrange_mass(out, degree, op.mesh, op.periodic);
        break;
    case TimeMatrix::legendre_derivative:
        fills::legendre_derivative(out, degree, n_t);
        break;
    case TimeMatrix::lagrange_derivative:
        fills::lagrange_derivative(out, degree, n_t, op.periodic);
        break;
    case TimeMatrix::endpoint_start:
    case TimeMatrix::endpoint_end:
        fills::endpoint(out, degree, n_t, op.matrix == TimeMatrix::endpoint_end);
        break;
    case TimeMatrix::upwind:
        fills::upwind(out, degree, n_t, op.periodic);
        break;
    }
    return std::move(out).finish();
}

template CsrArrays<std::int32_t> time_operator_arrays<std::int32_t>(const TimeOperator&);
template CsrArrays<std::int64_t> time_operator_arrays<std::int64_t>(const TimeOperator&);

}  // namespace pwpoly
