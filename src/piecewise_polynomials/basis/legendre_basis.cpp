#include "piecewise_polynomials/basis/legendre_basis.hpp"

#include "common/internal_failure.hpp"
#include "piecewise_polynomials/evaluation/parallel_evaluation.hpp"

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
    return (sum + sum) / mesh_.width(loc.interval);
}

namespace {

std::vector<double> zeroed_basis_vector(const LegendreBasis& basis) {
    if (!basis.has_intervals()) [[unlikely]]
        fail(no_intervals_message);
    const std::size_t count =
        checked_array_count(checked_mul(basis.n_t(), checked_add(basis.degree(), 1)), sizeof(double));
    return std::vector<double>(count, 0.0);
}

}  // namespace

std::vector<double> LegendreBasis::evaluate_all_basis_functions(double t) const {
    std::vector<double> out = zeroed_basis_vector(*this);
    const Location loc = locate(t);
    const std::size_t j = loc.interval;
    const double xi = loc.xi;
    out[j] = 1.0;
    if (degree_ == 0)
        return out;
    const std::size_t n_t = mesh_.n_t();
    out[j + n_t] = xi;
    for_each_legendre_from_2(xi, degree_, [&](std::size_t i, double p_i, double) { out[j + n_t * i] = p_i; });
    return out;
}

// Entry j + n_t * i is (D_i + D_i) / w: the chain-rule factor applied to
// every entry on its own, doubling first.
std::vector<double> LegendreBasis::evaluate_all_basis_function_derivatives(double t) const {
    std::vector<double> out = zeroed_basis_vector(*this);
    const Location loc = locate(t);
    const std::size_t j = loc.interval;
    const double w = mesh_.width(j);
    const std::size_t n_t = mesh_.n_t();
    out[j] = (0.0 + 0.0) / w;
    if (degree_ == 0)
        return out;
    out[j + n_t] = (1.0 + 1.0) / w;
    for_each_derivative_factor_from_2(loc.xi, degree_,
                                      [&](std::size_t i, double d_i) { out[j + n_t * i] = (d_i + d_i) / w; });
    return out;
}

// The many-point operations: the kernels and the pool are in
// parallel_evaluation.cpp.

std::vector<double> LegendreBasis::evaluate_many(std::span<const double> times, ColMatrixView c) const {
    std::vector<double> out(times.size());
    evaluate_many_into(*this, c, false, times, out.data());
    return out;
}

std::vector<double> LegendreBasis::evaluate_derivative_many(std::span<const double> times, ColMatrixView c) const {
    std::vector<double> out(times.size());
    evaluate_many_into(*this, c, true, times, out.data());
    return out;
}

void LegendreBasis::evaluate_many_in_place(std::span<double> times_then_values, ColMatrixView c) const {
    evaluate_many_into(*this, c, false, times_then_values, times_then_values.data());
}

void LegendreBasis::evaluate_derivative_many_in_place(std::span<double> times_then_values, ColMatrixView c) const {
    evaluate_many_into(*this, c, true, times_then_values, times_then_values.data());
}

}  // namespace pwpoly
