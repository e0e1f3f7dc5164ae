// Many-point evaluation: every kernel variant and every pool size must give,
// bit for bit, what the single-point operations give, for any input.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/internal_failure.hpp"
#include "parallel/worker_pool.hpp"
#include "piecewise_polynomials/basis/legendre_basis.hpp"
#include "piecewise_polynomials/evaluation/legendre_kernels.hpp"
#include "piecewise_polynomials/evaluation/parallel_evaluation.hpp"

namespace pwpoly {
namespace {

constexpr std::uint32_t seed = 20240611;
constexpr double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// ---- an independent model: the textbook O(degree^2) form -------------------
// The interval rule and the local coordinate written out again; each P_i
// rebuilt from P_0 and P_1, each D_i from the D_i of two degrees below and
// P_(i-1); nothing shared with the code under test.

struct Located {
    std::size_t j;
    double xi;
};

Located model_locate(double t, std::size_t n_t, double T) {
    const double w = T / static_cast<double>(n_t);
    double q = std::floor(t / w);
    if (std::isnan(q) || q < 0.0)
        q = 0.0;
    const double cap = static_cast<double>(std::numeric_limits<std::size_t>::max());
    const std::size_t qi = q >= cap ? std::numeric_limits<std::size_t>::max() : static_cast<std::size_t>(q);
    const std::size_t j = std::min(qi, n_t - 1);
    const double a = static_cast<double>(j) * w;
    const double b = w + a;
    const double u = t + (-0.5 * (a + b));
    double xi = (u + u) / (b - a);
    xi = xi < -1.0 ? -1.0 : (xi > 1.0 ? 1.0 : xi);
    return {j, xi};
}

double model_p(std::size_t i, double xi) {
    if (i == 0)
        return 1.0;
    double prev = 1.0, cur = xi;
    double k = 1.0;
    for (std::size_t step = 1; step < i; ++step) {
        const double next = ((((k + k) + 1.0) * xi) * cur - prev * k) / (k + 1.0);
        prev = cur;
        cur = next;
        k = k + 1.0;
    }
    return cur;
}

double model_value(double t, std::size_t degree, std::size_t n_t, double T, ColMatrixView c) {
    const Located l = model_locate(t, n_t, T);
    double sum = -0.0;
    for (std::size_t i = 0; i <= degree; ++i)
        sum = sum + model_p(i, l.xi) * c(l.j, i);
    return sum;
}

double model_derivative(double t, std::size_t degree, std::size_t n_t, double T, ColMatrixView c) {
    const Located l = model_locate(t, n_t, T);
    std::vector<double> d = {0.0, 1.0};
    for (std::size_t i = 2; i <= degree; ++i)
        d.push_back(d[i - 2] + static_cast<double>(2 * i - 1) * model_p(i - 1, l.xi));
    double sum = -0.0;
    for (std::size_t i = 0; i <= degree; ++i)
        sum = sum + d[i] * c(l.j, i);
    return (sum + sum) / (T / static_cast<double>(n_t));
}

// ---- inputs ------------------------------------------------------------------

struct Mesh {
    std::size_t n_t;
    double T;
};

struct Coefficients {
    std::vector<double> data;
    ColMatrixView view;
};

Coefficients random_coefficients(std::size_t rows, std::size_t cols, std::mt19937& rng) {
    std::uniform_real_distribution<double> dist(-2.0, 2.0);
    Coefficients c;
    c.data.resize(rows * cols);
    for (double& x : c.data)
        x = dist(rng);
    c.view = ColMatrixView{c.data.data(), rows, cols};
    return c;
}

// Special times (signed zeros, infinities, NaN, nodes, just around nodes,
// outside [0, T], huge) followed by random times around [0, T].
std::vector<double> awkward_times(Mesh m, std::size_t count, std::mt19937& rng) {
    const double w = m.T / static_cast<double>(m.n_t);
    std::vector<double> t = {0.0,       -0.0,   nan,         -nan,   inf,   -inf,
                             m.T,       -m.T,   2 * m.T + 1, -1e300, 1e300, std::numeric_limits<double>::denorm_min(),
                             2.0 / 3.0, 1e-320, 4e18,        1.8e19, -1.0};
    for (std::size_t j = 0; j <= m.n_t && j < 50; ++j) {
        const double node = static_cast<double>(j) * w;
        t.push_back(node);
        t.push_back(std::nextafter(node, inf));
        t.push_back(std::nextafter(node, -inf));
    }
    std::uniform_real_distribution<double> dist(-0.25, 1.25);
    const double scale = m.T == 0.0 ? 1.0 : m.T;
    while (t.size() < count)
        t.push_back(dist(rng) * scale);
    t.resize(count);
    return t;
}

std::vector<double> ordered_times(std::size_t n, int order, double T, std::mt19937& rng) {
    std::uniform_real_distribution<double> dist(-0.1 * T, 1.1 * T);
    std::vector<double> t(n);
    for (double& x : t)
        x = dist(rng);
    if (order == 0)
        std::sort(t.begin(), t.end());
    else if (order == 1)
        std::sort(t.begin(), t.end(), [](double a, double b) { return a > b; });
    return t;
}

// Compares with the single-point operations, and returns the first index
// that differs (or n).
std::size_t first_mismatch(const LegendreBasis& basis, ColMatrixView c, bool derivative,
                           const std::vector<double>& times, const std::vector<double>& got) {
    for (std::size_t i = 0; i < times.size(); ++i) {
        const double want = derivative ? basis.evaluate_derivative(times[i], c) : basis.evaluate(times[i], c);
        if (bits(want) != bits(got[i]))
            return i;
    }
    return times.size();
}

std::vector<double> run_many(const LegendreBasis& basis, ColMatrixView c, bool derivative,
                             const std::vector<double>& times, const ManyPointOptions& options) {
    std::vector<double> out(times.size(), 12345.0);
    evaluate_many_into(basis, c, derivative, times, out.data(), options);
    return out;
}

// ---- the pool is never created below the threshold ---------------------------
// (Must run before anything in this binary uses the process-wide pool; if
// something already did, there is nothing left to observe.)

TEST(ParallelEvaluation, SequentialPathNeverCreatesThePool) {
    if (global_pool_if_created() != nullptr)
        GTEST_SKIP() << "the process-wide pool already exists";
    const LegendreBasis basis(2, 3, 1.0);
    const std::vector<double> coeffs(9, 1.0);
    const ColMatrixView c{coeffs.data(), 3, 3};
    std::vector<double> times(parallel_threshold - 1, 0.3);
    EXPECT_EQ(basis.evaluate_many({}, c).size(), 0u);
    EXPECT_EQ(basis.evaluate_many(std::span(times.data(), 1), c).size(), 1u);
    EXPECT_EQ(basis.evaluate_derivative_many(times, c).size(), times.size());
    basis.evaluate_many_in_place(times, c);
    EXPECT_EQ(global_pool_if_created(), nullptr);
}

// ---- every kernel variant against the model and the single-point code -------

const Mesh test_meshes[] = {{7, 3.0}, {1, 1.0}, {3, 1.0}, {5, 0.0}, {4, -2.0}, {1000, 1.0}};

// Calls check(basis, coefficients, times) for every test mesh and degrees 0
// to 20, with awkward times and coefficient matrices with extra rows and
// columns (the row count is the stride).
template <class Check>
void for_every_case(Check&& check) {
    std::mt19937 rng(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    for (const Mesh m : test_meshes) {
        const std::vector<double> times = awkward_times(m, 301, rng);
        for (std::size_t degree = 0; degree <= 20; ++degree) {
            SCOPED_TRACE("n_t " + std::to_string(m.n_t) + " T " + std::to_string(m.T) + " degree " +
                         std::to_string(degree));
            check(LegendreBasis(degree, m.n_t, m.T), random_coefficients(m.n_t + 2, degree + 2, rng).view, times);
        }
    }
}

// The kernels are compared with the single-point operations below; those in
// turn are compared with the independent model here, once.
TEST(ParallelEvaluation, SingleTimeOperationsMatchTheIndependentModel) {
    for_every_case([](const LegendreBasis& basis, ColMatrixView c, const std::vector<double>& times) {
        for (const double t : times) {
            ASSERT_EQ(bits(basis.evaluate(t, c)), bits(model_value(t, basis.degree(), basis.n_t(), basis.T(), c)))
                << "t " << t;
            ASSERT_EQ(bits(basis.evaluate_derivative(t, c)),
                      bits(model_derivative(t, basis.degree(), basis.n_t(), basis.T(), c)))
                << "t " << t;
        }
    });
}

class EveryKernel : public ::testing::TestWithParam<const kernels::KernelSet*> {};

TEST_P(EveryKernel, BitIdenticalForAllDegreesMeshesAndAwkwardTimes) {
    const kernels::KernelSet* set = GetParam();
    for_every_case([set](const LegendreBasis& basis, ColMatrixView c, const std::vector<double>& times) {
        for (const bool derivative : {false, true}) {
            const std::vector<double> got = run_many(basis, c, derivative, times, {nullptr, set});
            const std::size_t bad = first_mismatch(basis, c, derivative, times, got);
            EXPECT_EQ(bad, times.size()) << "time " << (bad < times.size() ? times[bad] : 0.0)
                                         << (derivative ? " derivative" : " value");
        }
    });
}

TEST_P(EveryKernel, InPlaceEqualsOutOfPlaceForEveryTailLength) {
    const kernels::KernelSet* set = GetParam();
    std::mt19937 rng(seed + 1);
    const LegendreBasis basis(5, 9, 2.0);
    const Coefficients c = random_coefficients(9, 6, rng);
    for (std::size_t n = 0; n <= 70; ++n) {
        const std::vector<double> times = awkward_times({9, 2.0}, n, rng);
        for (const bool derivative : {false, true}) {
            const std::vector<double> want = run_many(basis, c.view, derivative, times, {nullptr, set});
            std::vector<double> buffer = times;
            evaluate_many_into(basis, c.view, derivative, buffer, buffer.data(), {nullptr, set});
            for (std::size_t i = 0; i < n; ++i)
                ASSERT_EQ(bits(buffer[i]), bits(want[i])) << "n " << n << " i " << i;
        }
    }
}

std::string kernel_name(const ::testing::TestParamInfo<const kernels::KernelSet*>& info) {
    std::string name = info.param->name;
    std::replace(name.begin(), name.end(), '.', '_');
    return name;
}

INSTANTIATE_TEST_SUITE_P(SupportedByThisCpu, EveryKernel,
                         ::testing::ValuesIn(kernels::supported_kernels().begin(), kernels::supported_kernels().end()),
                         kernel_name);

// The calibrated choice is one of the supported variants, each of which
// was timed.
TEST(ParallelEvaluation, CalibrationPicksASupportedVariant) {
    const kernels::KernelChoice& choice = kernels::kernel_choice();
    const auto sets = kernels::supported_kernels();
    EXPECT_NE(std::find(sets.begin(), sets.end(), choice.picked), sets.end());
    ASSERT_EQ(choice.ns_per_point.size(), sets.size());
    for (const double ns : choice.ns_per_point)
        EXPECT_GT(ns, 0.0);
    EXPECT_EQ(&kernels::best_kernels(), choice.picked);
}

// The worked examples of the mesh rule, through every kernel and both paths.
TEST(ParallelEvaluation, WorkedExamplesThroughEveryKernel) {
    struct Example {
        std::size_t degree, n_t;
        double T;
        std::vector<double> coeffs;
        double t, value, derivative;
    };
    std::vector<double> node_case(3 * 3, 0.0);
    node_case[2 + 3 * 2] = 1.0;
    const Example examples[] = {
        {1, 2, 2.0, {10, 30, 20, 40}, 0.5, 10, 40},  {1, 2, 2.0, {10, 30, 20, 40}, 1.5, 30, 80},
        {1, 2, 2.0, {10, 30, 20, 40}, 1.0, -10, 80}, {1, 2, 2.0, {10, 30, 20, 40}, 2.0, 70, 80},
        {1, 2, 2.0, {10, 30, 20, 40}, 5.0, 70, 80},  {1, 2, 2.0, {10, 30, 20, 40}, -3.0, -10, 40},
        {2, 1, 2.0, {0, 0, 1}, 1.5, -0.125, 1.5},    {2, 1, 2.0, {0, 0, 1}, 2.0, 1.0, 3.0},
        {2, 1, 2.0, {0, 0, 1}, 0.0, 1.0, -3.0},      {2, 3, 1.0, node_case, 1.0, 1.0, 18.0},
    };
    for (const Example& e : examples) {
        const LegendreBasis basis(e.degree, e.n_t, e.T);
        const ColMatrixView c{e.coeffs.data(), e.n_t, e.degree + 1};
        for (const std::size_t n : {std::size_t{1}, std::size_t{13}, parallel_threshold + 5}) {
            const std::vector<double> times(n, e.t);
            for (const kernels::KernelSet* set : kernels::supported_kernels()) {
                const auto values = run_many(basis, c, false, times, {nullptr, set});
                const auto slopes = run_many(basis, c, true, times, {nullptr, set});
                for (std::size_t i = 0; i < n; i += 7) {
                    EXPECT_EQ(values[i], e.value) << set->name << " t " << e.t;
                    EXPECT_EQ(slopes[i], e.derivative) << set->name << " t " << e.t;
                }
            }
        }
    }
}

// ---- sizes x orders x pool sizes ---------------------------------------------

TEST(ParallelEvaluation, SizesOrdersAndPoolSizesGiveTheSingleThreadedBits) {
    std::mt19937 rng(seed + 2);
    SCOPED_TRACE("seed " + std::to_string(seed + 2));
    const std::size_t sizes[] = {0, 1, 2, 2047, 2048, 2049, 3000, 100000};
    const std::size_t degrees[] = {0, 3, 8};
    int round = 0;
    for (const std::size_t workers : {1u, 2u, 3u, 8u}) {
        WorkerPool pool(workers);
        for (const std::size_t n : sizes) {
            if (n == 100000 && workers != 3)  // one large run is enough (the suite also runs emulated)
                continue;
            const int order = round % 3;  // ascending, descending, random
            const std::size_t degree = degrees[round % 3 == 0 ? 1 : (round % 2 == 0 ? 0 : 2)];
            const bool derivative = round % 2 == 1;
            ++round;
            const LegendreBasis basis(degree, 1000, 2.5);
            const Coefficients c = random_coefficients(1000, degree + 1, rng);
            std::vector<double> times = ordered_times(n, order, 2.5, rng);
            if (n > 100) {
                times[n / 3] = nan;
                times[n / 2] = -inf;
            }
            SCOPED_TRACE("workers " + std::to_string(workers) + " n " + std::to_string(n) + " order " +
                         std::to_string(order) + " degree " + std::to_string(degree));
            const std::vector<double> got = run_many(basis, c.view, derivative, times, {&pool, nullptr});
            EXPECT_EQ(first_mismatch(basis, c.view, derivative, times, got), n);
            std::vector<double> buffer = times;
            evaluate_many_into(basis, c.view, derivative, buffer, buffer.data(), {&pool, nullptr});
            EXPECT_EQ(first_mismatch(basis, c.view, derivative, times, buffer), n);
        }
    }
}

// A kernel that records the pieces it is given (one call per leaf) and
// passes them on to the scalar loop.
std::mutex leaves_mutex;
std::vector<std::size_t> leaf_lengths;
std::vector<std::thread::id> leaf_threads;

void recording_values(const kernels::KernelArgs& a, const double* in, double* out, std::size_t n) {
    {
        std::lock_guard<std::mutex> lock(leaves_mutex);
        leaf_lengths.push_back(n);
        leaf_threads.push_back(std::this_thread::get_id());
    }
    kernels::scalar_kernels().values(a, in, out, n);
}

const kernels::KernelSet recording{"recording", 1, &recording_values, &recording_values};

std::vector<std::size_t> leaves_of(std::size_t n, WorkerPool& pool) {
    leaf_lengths.clear();
    leaf_threads.clear();
    const LegendreBasis basis(1, 4, 1.0);
    const std::vector<double> coeffs(8, 1.0);
    run_many(basis, {coeffs.data(), 4, 2}, false, std::vector<double>(n, 0.5), {&pool, &recording});
    return leaf_lengths;
}

TEST(ParallelEvaluation, SplitRuleShapesThePieces) {
    // One worker: nothing is stolen, so the pieces are fixed. The root split
    // (budget 1 -> 0) is handed over, so both halves count as moved: each
    // resets its budget to max(1, 0) = 1 and splits, their halves split
    // once more (1 -> 0), and pieces with budget 0 are leaves: 8 leaves.
    WorkerPool one(1);
    EXPECT_EQ(leaves_of(parallel_threshold - 1, one), std::vector<std::size_t>{parallel_threshold - 1});
    EXPECT_EQ(leaf_threads.front(), std::this_thread::get_id()) << "below the threshold: the calling thread";
    EXPECT_EQ(leaves_of(parallel_threshold, one), std::vector<std::size_t>(8, parallel_threshold / 8));
    EXPECT_NE(leaf_threads.front(), std::this_thread::get_id()) << "the caller only waits";
    // 4099 = 2049 + 2050 = (1024 + 1025) + (1025 + 1025), each halved again, left first.
    EXPECT_EQ(leaves_of(4099, one), (std::vector<std::size_t>{512, 512, 512, 513, 512, 513, 512, 513}));
    // Four workers: without stealing each moved half splits once with its
    // budget reset to 4, then 4 -> 2 -> 1 -> 0: 8W = 32 leaves of N / 32.
    // Stealing only adds splits.
    WorkerPool four(4);
    for (int repeat = 0; repeat < 5; ++repeat) {
        const std::vector<std::size_t> leaves = leaves_of(1 << 16, four);
        EXPECT_GE(leaves.size(), 32u);
        EXPECT_LE(*std::max_element(leaves.begin(), leaves.end()), std::size_t{1} << 11);
        std::size_t total = 0;
        for (std::size_t len : leaves)
            total += len;
        EXPECT_EQ(total, std::size_t{1} << 16);
    }
}

TEST(ParallelEvaluation, PublicOperationsOnTheProcessPool) {
    std::mt19937 rng(seed + 3);
    const LegendreBasis basis(4, 64, 8.0);
    const Coefficients c = random_coefficients(64, 5, rng);
    const std::vector<double> times = ordered_times(100000, 1, 8.0, rng);  // descending
    const std::vector<double> values = basis.evaluate_many(times, c.view);
    const std::vector<double> slopes = basis.evaluate_derivative_many(times, c.view);
    ASSERT_EQ(values.size(), times.size());
    EXPECT_EQ(first_mismatch(basis, c.view, false, times, values), times.size());
    EXPECT_EQ(first_mismatch(basis, c.view, true, times, slopes), times.size());
    std::vector<double> buffer = times;
    basis.evaluate_derivative_many_in_place(buffer, c.view);
    EXPECT_EQ(buffer, slopes);
    buffer = times;
    basis.evaluate_many_in_place(buffer, c.view);
    EXPECT_EQ(buffer, values);
    EXPECT_NE(global_pool_if_created(), nullptr);
}

TEST(ParallelEvaluation, ConcurrentCallersEachGetTheirOwnOrderedResults) {
    const LegendreBasis basis(3, 100, 1.0);
    std::mt19937 rng(seed + 4);
    const Coefficients c = random_coefficients(100, 4, rng);
    constexpr int callers = 4;
    std::vector<std::vector<double>> inputs, outputs(callers);
    for (int k = 0; k < callers; ++k)
        inputs.push_back(ordered_times(100000, k % 3, 1.0, rng));
    std::vector<std::thread> threads;
    for (int k = 0; k < callers; ++k)
        threads.emplace_back([&, k] { outputs[k] = basis.evaluate_many(inputs[k], c.view); });
    for (std::thread& t : threads)
        t.join();
    for (int k = 0; k < callers; ++k)
        EXPECT_EQ(first_mismatch(basis, c.view, false, inputs[k], outputs[k]), inputs[k].size()) << "caller " << k;
}

// ---- matrix checks -------------------------------------------------------------

std::string failure_of(const LegendreBasis& basis, ColMatrixView c, bool derivative, const std::vector<double>& times,
                       WorkerPool* pool) {
    try {
        run_many(basis, c, derivative, times, {pool, nullptr});
    } catch (const InternalFailure& e) {
        return e.message();
    }
    return "no failure";
}

TEST(ParallelEvaluation, FirstFailingTimeInIndexOrderDecidesTheMessage) {
    WorkerPool pool(3);
    // degree 3 but only 3 columns: every time fails; rows 2 of n_t 4: a time
    // in interval 2 or 3 fails the row test first.
    const LegendreBasis basis(3, 4, 4.0);
    const std::vector<double> coeffs(2 * 3, 1.0);
    const ColMatrixView c{coeffs.data(), 2, 3};
    for (const std::size_t n : {std::size_t{5}, std::size_t{5000}}) {
        for (const bool derivative : {false, true}) {
            std::vector<double> times(n, 0.5);  // interval 0: column test fails
            times[0] = 3.5;                     // interval 3: row test fails
            EXPECT_EQ(failure_of(basis, c, derivative, times, &pool), "Matrix slicing out of bounds.");
            times[0] = 0.5;
            times[n - 1] = 3.5;
            EXPECT_EQ(failure_of(basis, c, derivative, times, &pool), "Matrix index out of bounds.");
        }
    }
}

TEST(ParallelEvaluation, ShortMatrixFailsOnlyWhereATimeNeedsTheMissingRow) {
    WorkerPool pool(2);
    const LegendreBasis basis(2, 4, 4.0);
    std::mt19937 rng(seed + 5);
    const Coefficients c = random_coefficients(2, 3, rng);  // rows for intervals 0 and 1 only
    std::vector<double> times = ordered_times(6000, 2, 1.9, rng);
    for (double& t : times)
        t = std::clamp(t, -1.0, 1.99);
    const std::vector<double> got = run_many(basis, c.view, false, times, {&pool, nullptr});
    EXPECT_EQ(first_mismatch(basis, c.view, false, times, got), times.size());
    times[4000] = 2.0;  // interval 2
    EXPECT_EQ(failure_of(basis, c.view, false, times, &pool), "Matrix slicing out of bounds.");
}

TEST(ParallelEvaluation, NoIntervalsFailsCleanly) {
    WorkerPool pool(2);
    const LegendreBasis basis(2, 0, 1.0);
    const ColMatrixView empty{nullptr, 0, 3};
    for (const bool derivative : {false, true}) {
        EXPECT_EQ(run_many(basis, empty, derivative, {}, {&pool, nullptr}).size(), 0u);
        EXPECT_EQ(failure_of(basis, empty, derivative, {0.5}, &pool), "Matrix slicing out of bounds.");
        const std::vector<double> many(parallel_threshold, 0.5);
        EXPECT_EQ(failure_of(basis, empty, derivative, many, &pool), "Matrix slicing out of bounds.");
    }
    // The all-basis operations have no matrix to check: the mesh rule refuses.
    for (const auto all :
         {&LegendreBasis::evaluate_all_basis_functions, &LegendreBasis::evaluate_all_basis_function_derivatives}) {
        try {
            (basis.*all)(0.5);
            ADD_FAILURE() << "no failure";
        } catch (const InternalFailure& e) {
            EXPECT_EQ(e.message(), no_intervals_message);
        }
    }
}

// ---- the SSE2 floor emulation ------------------------------------------------

TEST(ParallelEvaluation, EmulatedFloorMatchesStdFloorForEveryKindOfDouble) {
    std::vector<double> x = {0.0,
                             -0.0,
                             0.5,
                             -0.5,
                             1.0,
                             -1.0,
                             2.5,
                             -2.5,
                             3.5,
                             -3.5,
                             0.7,
                             -0.7,
                             4503599627370495.5,
                             -4503599627370495.5,
                             4503599627370496.0,
                             -4503599627370496.0,
                             9007199254740991.0,
                             1e300,
                             -1e300,
                             inf,
                             -inf,
                             nan,
                             -nan,
                             std::numeric_limits<double>::denorm_min(),
                             -std::numeric_limits<double>::denorm_min(),
                             std::numeric_limits<double>::max(),
                             -std::numeric_limits<double>::max()};
    std::mt19937_64 rng(seed);
    for (int i = 0; i < 20000; ++i) {
        x.push_back(std::bit_cast<double>(rng()));
        x.push_back(std::ldexp(static_cast<double>(rng() >> 11), -static_cast<int>(rng() % 60)) *
                    (rng() % 2 ? 1.0 : -1.0));
    }
    std::vector<double> got(x.size());
    if (!kernels::sse2_floor(x.data(), got.data(), x.size()))
        GTEST_SKIP() << "no SSE2 on this target";
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double want = std::floor(x[i]);
        if (std::isnan(want))
            EXPECT_TRUE(std::isnan(got[i])) << x[i];
        else
            ASSERT_EQ(bits(got[i]), bits(want)) << x[i];
    }
}

}  // namespace
}  // namespace pwpoly
