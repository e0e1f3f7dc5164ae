// Vector-valued evaluation: result (r, k) must be, bit for bit, what the
// scalar evaluation of component k alone gives at time r, whatever the
// shape, the times, the pool, the processing order and the kind of store.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/interruption.hpp"
#include "core_test_support.hpp"
#include "parallel/parallel_ranges.hpp"
#include "piecewise_polynomials/evaluation/vector_evaluation.hpp"

namespace pwpoly {
namespace {

using testing_support::failure_of;

constexpr std::uint32_t seed = 20250214;
constexpr double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

std::string exact(double x) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", x);
    return text;
}

// Nodes and their neighbours, signed zeros, NaN of both signs, infinities,
// times outside [0, T] and far away, then random times around [0, T].
std::vector<double> awkward_times(std::size_t n_t, double T, std::size_t count, std::mt19937_64& rng) {
    const double w = T / static_cast<double>(n_t);
    std::vector<double> t = {0.0, -0.0, nan, -nan, inf, -inf, T, -T, 2 * T + 1, 1e300, -1e300, 1e-320};
    for (std::size_t j = 0; j <= n_t && j < 40; ++j) {
        const double node = static_cast<double>(j) * w;
        t.insert(t.end(), {node, std::nextafter(node, inf), std::nextafter(node, -inf)});
    }
    std::uniform_real_distribution<double> dist(-0.25 * T, 1.25 * T);
    while (t.size() < count)
        t.push_back(dist(rng));
    t.resize(count);
    std::shuffle(t.begin(), t.end(), rng);
    return t;
}

// The scalar evaluation of every component k (a copy of the slice
// [:, :, k] in LegendreBasis's layout) at every time, laid out as the
// vector evaluation's output.
std::vector<double> scalar_reference(const LegendreBasis& basis, const std::vector<double>& coefficients, std::size_t m,
                                     bool derivative, const std::vector<double>& times) {
    const std::size_t n_t = basis.n_t(), columns = basis.degree() + 1;
    std::vector<double> component(n_t * columns), want(times.size() * m);
    for (std::size_t k = 0; k < m; ++k) {
        for (std::size_t i = 0; i < columns; ++i)
            for (std::size_t j = 0; j < n_t; ++j)
                component[j + n_t * i] = coefficients[(i * n_t + j) * m + k];
        const ColMatrixView c{component.data(), n_t, columns};
        for (std::size_t r = 0; r < times.size(); ++r)
            want[r * m + k] = derivative ? basis.evaluate_derivative(times[r], c) : basis.evaluate(times[r], c);
    }
    return want;
}

// The first output whose bits differ from the reference, as a message;
// empty when all agree.
std::string first_mismatch(const std::vector<double>& want, const double* got, std::size_t m,
                           const std::vector<double>& times) {
    for (std::size_t x = 0; x < want.size(); ++x)
        if (bits(want[x]) != bits(got[x]))
            return "time " + std::to_string(x / m) + " (" + exact(times[x / m]) + ") component " +
                   std::to_string(x % m) + ": want " + exact(want[x]) + ", got " + exact(got[x]);
    return "";
}

struct Shape {
    std::size_t degree, n_t, m, times;
    double T;
    std::size_t offset;  // of the output inside its buffer, in doubles
};

// Evaluates `shape` (values and derivatives) through pools of the given
// sizes and compares with the scalar evaluation; the output sits
// `offset` doubles into a buffer whose other slots must stay untouched.
void check_shape(const Shape& s, std::initializer_list<std::size_t> pool_sizes, std::mt19937_64& rng) {
    SCOPED_TRACE("degree " + std::to_string(s.degree) + " n_t " + std::to_string(s.n_t) + " m " + std::to_string(s.m) +
                 " times " + std::to_string(s.times) + " T " + std::to_string(s.T) + " offset " +
                 std::to_string(s.offset));
    const LegendreBasis basis(s.degree, s.n_t, s.T);
    std::uniform_real_distribution<double> dist(-2.0, 2.0);
    std::vector<double> coefficients((s.degree + 1) * s.n_t * s.m);
    for (double& c : coefficients)
        c = dist(rng);
    const std::vector<double> times = awkward_times(s.n_t, s.T, s.times, rng);
    const std::size_t count = s.times * s.m;
    for (const bool derivative : {false, true}) {
        const std::vector<double> want = scalar_reference(basis, coefficients, s.m, derivative, times);
        for (const std::size_t workers : pool_sizes) {
            WorkerPool pool(workers);
            std::vector<double> buffer(count + s.offset + 1, 12345.0);
            evaluate_vector_many_into(basis, coefficients.data(), s.m, derivative, times, buffer.data() + s.offset,
                                      &pool);
            ASSERT_EQ(first_mismatch(want, buffer.data() + s.offset, s.m, times), "")
                << workers << " workers, " << (derivative ? "derivatives" : "values");
            ASSERT_EQ(buffer[count + s.offset], 12345.0) << "wrote past the end";
            if (s.offset > 0) {
                ASSERT_EQ(buffer[0], 12345.0) << "wrote before the start";
            }
        }
    }
}

TEST(VectorEvaluation, RandomShapesMatchTheScalarEvaluationOfEachComponent) {
    std::mt19937_64 rng(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::uniform_int_distribution<std::size_t> n_t_dist(1, 40);
    const double spans[] = {1.0, 3.0, 0.7, 1e-3, 2.5e6};
    for (std::size_t degree = 0; degree <= 12; ++degree)
        for (const std::size_t m : {0, 1, 3, 8, 33}) {
            // Below and above the pool's threshold (so that the pool is used).
            const std::size_t times = (degree + m) % 2 == 0 ? 97 : parallel_threshold + 1 + degree * 37;
            check_shape({degree, n_t_dist(rng), m, times, spans[(degree + m) % 5], degree % 2}, {1, 2, 3}, rng);
        }
}

// Shapes whose coefficients are too large for a core's private caches (the
// times are taken interval by interval) and whose outputs are large enough
// for streaming stores, with the output aligned and off 16-byte alignment,
// an odd m (rows alternate between both) and a mesh with more intervals
// than times. (Large, so one pool each.)
TEST(VectorEvaluation, LargeShapesMatchTheScalarEvaluationOfEachComponent) {
    std::mt19937_64 rng(seed + 1);
    SCOPED_TRACE("seed " + std::to_string(seed + 1));
    check_shape({3, 300, 33, 16000, 2.0, 0}, {3}, rng);
    check_shape({2, 500, 40, 13200, 5.0, 1}, {2}, rng);
    check_shape({1, 40000, 8, 3000, 1.0, 0}, {1}, rng);
}

TEST(VectorEvaluation, FailuresLeaveTheOutputUntouched) {
    const double t[2] = {0.5, 1.5};
    const double c[8] = {};
    double out[8] = {7, 7, 7, 7, 7, 7, 7, 7};
    const auto untouched = [&] {
        for (const double x : out)
            if (x != 7.0)
                return false;
        return true;
    };
    // No intervals: refused even without times.
    EXPECT_EQ(failure_of([&] { evaluate_vector_many_into(LegendreBasis(1, 0, 1.0), c, 2, false, {}, out); }),
              no_intervals_message);
    EXPECT_EQ(failure_of([&] { evaluate_vector_many_into(LegendreBasis(1, 0, 1.0), c, 2, true, t, out); }),
              no_intervals_message);
    // Counts that do not fit: degree + 1, the coefficients, the outputs.
    EXPECT_EQ(failure_of([&] { evaluate_vector_many_into(LegendreBasis(SIZE_MAX, 1, 1.0), c, 1, false, t, out); }),
              "capacity overflow");
    EXPECT_EQ(failure_of([&] { evaluate_vector_many_into(LegendreBasis(1, 4, 1.0), c, SIZE_MAX / 4, false, t, out); }),
              "capacity overflow");
    EXPECT_EQ(failure_of([&] {
                  evaluate_vector_many_into(LegendreBasis(0, 1, 1.0), c, SIZE_MAX / 16, false, {t, 2}, out);
              }),
              "capacity overflow");
    EXPECT_TRUE(untouched());
}

// Below the pool's threshold the times run on the calling thread, which
// must look for an interruption itself while it works.
TEST(VectorEvaluation, ALongEvaluationOnTheCallingThreadCanBeInterrupted) {
    struct Interrupted : std::runtime_error {
        Interrupted() : std::runtime_error("interrupted") {}
    };
    const LegendreBasis basis(3, 4, 1.0);
    const std::size_t m = 1024;
    const std::vector<double> coefficients(4 * 4 * m, 0.5);
    const std::vector<double> times(parallel_threshold - 1, 0.3);
    std::vector<double> out(times.size() * m);
    InterruptionScope scope([](void*) { throw Interrupted(); }, nullptr);
    bool interrupted = false;
    for (int call = 0; call < 200 && !interrupted; ++call) {
        try {
            evaluate_vector_many_into(basis, coefficients.data(), m, false, times, out.data());
        } catch (const Interrupted&) {
            interrupted = true;
        }
    }
    EXPECT_TRUE(interrupted);
}

}  // namespace
}  // namespace pwpoly
