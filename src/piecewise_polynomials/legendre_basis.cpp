#include "piecewise_polynomials/legendre_basis.hpp"

#include "common/internal_failure.hpp"

namespace pwpoly {

void LegendreBasis::check_matrix(std::size_t j, ColMatrixView c) const {
    if (c.rows < j + 1 || j == SIZE_MAX) [[unlikely]]
        fail("Matrix slicing out of bounds.");
    if (c.cols < degree_ + 1 || degree_ == SIZE_MAX) [[unlikely]]
        fail("Matrix index out of bounds.");
}

double LegendreBasis::evaluate(double t, ColMatrixView c) const {
    const Location loc = locate(t);
    check_matrix(loc.interval, c);
    return legendre_sum(loc.xi, c.data + loc.interval, c.rows, degree_);
}

double LegendreBasis::evaluate_derivative(double t, ColMatrixView c) const {
    const Location loc = locate(t);
    check_matrix(loc.interval, c);
    const double sum = legendre_derivative_sum(loc.xi, c.data + loc.interval, c.rows, degree_);
    return (sum + sum) / width_;
}

namespace {

std::vector<double> zeroed_basis_vector(std::size_t n_t, std::size_t degree) {
    if (n_t == 0)
        fail("LegendreBasis: the mesh has no intervals (n_t = 0)");
    const std::size_t count = checked_array_count(checked_mul(n_t, checked_add(degree, 1)), sizeof(double));
    return std::vector<double>(count, 0.0);
}

}  // namespace

std::vector<double> LegendreBasis::evaluate_all_basis_functions(double t) const {
    std::vector<double> out = zeroed_basis_vector(n_t_, degree_);
    const Location loc = locate(t);
    const std::size_t j = loc.interval;
    const double xi = loc.xi;
    out[j] = 1.0;
    if (degree_ == 0)
        return out;
    out[j + n_t_] = xi;
    for_each_legendre_from_2(xi, degree_, [&](std::size_t i, double p_i, double) { out[j + n_t_ * i] = p_i; });
    return out;
}

std::vector<double> LegendreBasis::evaluate_all_basis_function_derivatives(double t) const {
    std::vector<double> out = zeroed_basis_vector(n_t_, degree_);
    const Location loc = locate(t);
    const std::size_t j = loc.interval;
    const double xi = loc.xi;
    const double w = width_;
    out[j] = 0.0 / w;
    if (degree_ == 0)
        return out;
    out[j + n_t_] = 2.0 / w;
    const double d = derivative_denominator(xi);
    for_each_legendre_from_2(xi, degree_, [&](std::size_t i, double p_i, double p_im1) {
        const double v = (static_cast<double>(i) * (p_i * xi - p_im1)) / d;
        out[j + n_t_ * i] = (v + v) / w;
    });
    return out;
}

}  // namespace pwpoly
