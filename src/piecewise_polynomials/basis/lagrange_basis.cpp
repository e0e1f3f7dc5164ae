#include "piecewise_polynomials/basis/lagrange_basis.hpp"

#include "common/internal_failure.hpp"
#include "common/interruption.hpp"

namespace pwpoly {

std::vector<double> equidistant_points_on_interval(double a, double b, std::size_t n) {
    std::vector<double> out;
    out.reserve(checked_array_count(checked_add(n, 1), sizeof(double)));
    for (std::size_t i = 0; i <= n; ++i)
        out.push_back(equidistant_point(a, b, n, i));
    return out;
}

const char* periodic_basis_violation(std::size_t degree, std::size_t n_t) {
    if (degree == 0)
        return "Periodic Lagrange bases require polynomial degree at least 1";
    if (n_t == 0)
        return "Periodic Lagrange bases require at least one interval";
    return nullptr;
}

const char* periodic_prolongation_violation(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine) {
    if (degree == 0)
        return periodic_basis_violation(degree, nt_coarse);
    if (nt_coarse == 0 || nt_fine == 0)
        return "Periodic Lagrange prolongation requires positive interval counts";
    return nullptr;
}

LagrangeBasis LagrangeBasis::create(std::size_t degree, std::size_t n_t, double T, bool periodic) {
    return create(degree, TimeMesh::unchecked_uniform(n_t, T), periodic);
}

LagrangeBasis LagrangeBasis::create(std::size_t degree, const TimeMesh& mesh, bool periodic) {
    const std::size_t n_t = mesh.n_t();
    if (periodic)
        if (const char* violation = periodic_basis_violation(degree, n_t))
            fail(violation);
    const std::size_t interior = checked_mul(n_t, degree);
    const std::size_t count = periodic ? interior : checked_add(interior, 1);
    std::vector<double> points;
    points.reserve(checked_array_count(count, sizeof(double)));

    // Interval k is [a, b] by the mesh rule. Each interval contributes its
    // nodes 0 to degree - 1; its right end is the next interval's left end,
    // or the end of the mesh (non-periodic) / node 0 (periodic).
    if (degree > 0) {
        InterruptionPacer pacer;
        for (std::size_t k = 0; k < n_t; ++k) {
            pacer.done(4 * degree);
            const IntervalEnds ends = mesh.interval_ends(k);
            for (std::size_t i = 0; i < degree; ++i)
                points.push_back(equidistant_point(ends.a, ends.b, degree, i));
        }
    }
    if (!periodic)
        points.push_back(mesh.end());
    return LagrangeBasis(std::move(points), degree, n_t, periodic);
}

std::vector<std::size_t> LagrangeBasis::get_dofs_for_interval(std::size_t k) const {
    std::vector<std::size_t> dofs(checked_array_count(checked_add(degree_, 1), sizeof(std::size_t)));
    for (std::size_t j = 0; j <= degree_; ++j)
        dofs[j] = dof_index(k, j);
    return dofs;
}

}  // namespace pwpoly
