// The lane-parallel kernel body, one template for every SIMD variant.
//
// legendre_kernels_x86.cpp includes this file once per variant, with
// PWPOLY_KERNEL_VARIANT defined as "namespace, GCC target, lanes per
// register, hardware floor". Each inclusion opens its own target region
// and its own namespace and defines `set`, the variant's kernel set.
// Everything here has internal linkage, so every inclusion is its own copy
// compiled for its own instruction set, and no wider code can leak into the
// baseline through a shared inline definition. For the same reason this
// file includes no header: the including file includes them all before.
// (No include guard, on purpose.)
//
// Registers are GCC vector types of N doubles, so one set of traits serves
// every width: + - * / on them are the lane-wise IEEE operations (rounded
// exactly as the scalar ones; no FMA: the build has -ffp-contract=off),
// and selections follow the scalar comparisons lane by lane:
//   min(a, b)            a < b ? a : b (the second operand on ties and NaN)
//   max(a, b)            a > b ? a : b (likewise)
//   positive_or_zero(x)  x > 0 ? x : +0.0 (NaN and -0.0 give +0.0)
//   floor(x)             the exact floor of each lane (as std::floor): the
//                        ROUND instruction where the target has one, else
//                        an emulation that is exact for every double.
//
// Lane-by-lane equivalence with locate_with_width and legendre_sum /
// legendre_derivative_sum (mesh.hpp, legendre_basis.hpp):
//  * q = floor(t / w); q > 0 ? q : 0 replaces "NaN or negative -> 0" (it
//    also maps -0.0 to +0.0, which the integer conversion does anyway);
//  * the scalar code saturates q to size_t and takes min(q, n_t - 1) on
//    integers. With n_t - 1 exact as a double, min(q, n_t - 1) on doubles
//    gives the same value: q < n_t - 1 keeps the exact integer q, anything
//    larger (up to +inf and beyond SIZE_MAX) gives n_t - 1; so the double
//    interval index equals the scalar (double)j, and j is recovered exactly;
//  * the clamp "xi < -1 -> -1, else xi > 1 -> 1" is max(-1, xi) then
//    min(1, xi): a NaN xi fails both comparisons and stays NaN;
//  * the recurrence constants (k + k) + 1, k and k + 1 are the same doubles
//    in every lane, so they are formed once in scalar and broadcast; at
//    k = i - 1, (k + k) + 1 is also the derivative factor's c_i = 2i - 1.

#pragma GCC push_options
PWPOLY_PRAGMA(GCC target(PWPOLY_VARIANT(TARGET)))
// A plain name for the variant's namespace, so that formatting tools see an
// ordinary namespace.
#define PWPOLY_VARIANT_NS PWPOLY_VARIANT(NAMESPACE)
namespace pwpoly::kernels::PWPOLY_VARIANT_NS {
namespace {

// GCC drops vector attributes on dependent types, so the register types are
// spelled out per width.
using double2 = ::pwpoly::Double2;
typedef double double4 __attribute__((vector_size(32)));
typedef double double8 __attribute__((vector_size(64)));
typedef long long mask2 __attribute__((vector_size(16)));
typedef long long mask4 __attribute__((vector_size(32)));
typedef long long mask8 __attribute__((vector_size(64)));

template <std::size_t N>
struct VectorOf;
template <>
struct VectorOf<2> {
    using reg = double2;
    using mask = mask2;
};
template <>
struct VectorOf<4> {
    using reg = double4;
    using mask = mask4;
};
template <>
struct VectorOf<8> {
    using reg = double8;
    using mask = mask8;
};

template <std::size_t N, bool HardwareFloor>
struct Lanes {
    using reg = typename VectorOf<N>::reg;
    using mask = typename VectorOf<N>::mask;
    static constexpr std::size_t lanes = N;

    // x - (+0.0) is x for every double (-0.0 and NaN included): a broadcast.
    static reg set1(double x) { return x - reg{}; }
    static reg loadu(const double* p) {
        reg r;
        __builtin_memcpy(&r, p, sizeof r);
        return r;
    }
    static void storeu(double* p, reg x) { __builtin_memcpy(p, &x, sizeof x); }
    static reg add(reg a, reg b) { return a + b; }
    static reg sub(reg a, reg b) { return a - b; }
    static reg mul(reg a, reg b) { return a * b; }
    static reg div(reg a, reg b) { return a / b; }
    // MINPD and MAXPD select exactly so (GCC does not always see it).
    static reg min(reg a, reg b) { PWPOLY_BY_WIDTH(_mm_min_pd, _mm256_min_pd, _mm512_min_pd, a, b); }
    static reg max(reg a, reg b) { PWPOLY_BY_WIDTH(_mm_max_pd, _mm256_max_pd, _mm512_max_pd, a, b); }
    static reg positive_or_zero(reg x) { return reinterpret_cast<reg>((x > reg{}) & reinterpret_cast<mask>(x)); }
    static reg gather(const double* const* r, std::size_t off) {
        if constexpr (N == 2)
            return reg{r[0][off], r[1][off]};
        else if constexpr (N == 4)
            return reg{r[0][off], r[1][off], r[2][off], r[3][off]};
        else
            return reg{r[0][off], r[1][off], r[2][off], r[3][off], r[4][off], r[5][off], r[6][off], r[7][off]};
    }
    static reg floor(reg x) {
        if constexpr (HardwareFloor) {
            PWPOLY_BY_WIDTH(_mm_round_pd, _mm256_round_pd, _mm512_roundscale_pd, x,
                            _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
        } else {
            // |x| < 2^52: round |x| to an integer by adding and removing 2^52
            // (exact in round-to-nearest), give it x's sign, and step down
            // by one where that overshot x. Otherwise (|x| >= 2^52, inf,
            // NaN) x is already integral and is returned unchanged. Keeps
            // -0.0 as -0.0, like std::floor.
            const mask sign_bit = reinterpret_cast<mask>(set1(-0.0));
            const mask bits = reinterpret_cast<mask>(x);
            const reg ax = reinterpret_cast<reg>(bits & ~sign_bit);
            const reg two52 = set1(4503599627370496.0);
            reg r = (ax + two52) - two52;
            r = reinterpret_cast<reg>(reinterpret_cast<mask>(r) | (bits & sign_bit));
            r = r - reinterpret_cast<reg>((r > x) & reinterpret_cast<mask>(set1(1.0)));
            return ax < two52 ? r : x;
        }
    }
};

// The interval index from its exact double value (0 <= jd <= n_t - 1).
inline std::size_t to_index(double jd) {
    if constexpr (sizeof(std::size_t) == 8)
        return static_cast<std::size_t>(static_cast<long long>(jd));
    else
        return static_cast<std::size_t>(jd);
}

// U vectors of V::lanes times each: the blocks interleave U independent
// recurrences so that the divider, the longest latency, stays busy. On a
// uniform mesh every lane locates its time as above (after subtracting the
// mesh's start t0, which is +0.0 for [0, T] and then changes no bit); on a
// mesh of breakpoints each lane's time is located by the mesh's own scalar
// rule and only the sums run in vectors.
template <class V, int U, bool Derivative, bool OnMesh>
inline void evaluate_block(const KernelArgs& a, const double* in, double* out) {
    using R = typename V::reg;
    constexpr int L = V::lanes;
    R xi[U];
    R width[U];  // what a derivative divides by, per lane
    const double* rows[U * L];
    // All times are read before any result is written (in-place use).
    if constexpr (!OnMesh) {
        const R w = V::set1(a.w);
        const R t0 = V::set1(a.t0);
        alignas(64) double interval[U * L];
        for (int u = 0; u < U; ++u) {
            const R t = V::sub(V::loadu(in + u * L), t0);
            const R q = V::positive_or_zero(V::floor(V::div(t, w)));
            const R j = V::min(q, V::set1(a.last_interval));
            V::storeu(interval + u * L, j);
            const R left = V::mul(j, w);
            const R right = V::add(w, left);
            const R s = V::add(left, right);
            const R v = V::add(t, V::mul(V::set1(-0.5), s));
            R x = V::div(V::add(v, v), V::sub(right, left));
            x = V::max(V::set1(-1.0), x);
            x = V::min(V::set1(1.0), x);
            xi[u] = x;
            width[u] = w;
        }
        for (int k = 0; k < U * L; ++k)
            rows[k] = a.coeffs + to_index(interval[k]);
    } else {
        // Each lane's interval by the mesh's comparisons, then its local
        // coordinate ((d + d) / h_j) - 1.0, d = t - b_j, clamped, in vectors
        // (gathered lane by lane: a vector load of values just stored one
        // by one would wait for the stores).
        const double* starts[U * L];
        const double* widths[U * L];
        const BreakpointIndex& mesh = *a.mesh;
        const double* b = mesh.breakpoints.data();
        const double* h = mesh.widths.data();
        // The buckets' positions in vectors (bucket_of's operations: MAXPD
        // gives 0 for NaN as its scalar form does), truncated lane by lane.
        alignas(64) double position[U * L];
        for (int u = 0; u < U; ++u) {
            R p = V::mul(V::sub(V::loadu(in + u * L), V::set1(b[0])), V::set1(mesh.scale));
            p = V::max(p, V::set1(0.0));
            p = V::min(p, V::set1(mesh.last_bucket));
            V::storeu(position + u * L, p);
        }
        const auto locate_all = [&](const auto* entries) {
            for (int k = 0; k < U * L; ++k) {
                const auto bucket = static_cast<std::size_t>(position[k]);
                const std::size_t j = mesh.interval_in_bucket(entries, bucket, in[k]);
                starts[k] = b + j;
                widths[k] = h + j;
                rows[k] = a.coeffs + j;
            }
        };
        if (mesh.narrow != nullptr)
            locate_all(mesh.narrow);
        else
            locate_all(mesh.entries_wide.data());
        for (int u = 0; u < U; ++u) {
            const R d = V::sub(V::loadu(in + u * L), V::gather(starts + u * L, 0));
            width[u] = V::gather(widths + u * L, 0);
            R x = V::sub(V::div(V::add(d, d), width[u]), V::set1(1.0));
            x = V::max(V::set1(-1.0), x);
            x = V::min(V::set1(1.0), x);
            xi[u] = x;
        }
    }
    // The result of lane u: a derivative divided by its width, and times
    // (xi - xi) + 1 when NaN times give NaN (exactly 1 unless xi is NaN).
    const auto finish = [&](int u, R sum) {
        R r = Derivative ? V::div(V::add(sum, sum), width[u]) : sum;
        if (a.nan_gives_nan)
            r = V::mul(r, V::add(V::sub(xi[u], xi[u]), V::set1(1.0)));
        V::storeu(out + u * L, r);
    };

    // Values: P_0 = 1, P_1 = xi. Derivatives: D_0 = 0, D_1 = 1.
    R sum[U];
    std::size_t off = 0;
    for (int u = 0; u < U; ++u)
        sum[u] = V::add(V::set1(-0.0), V::mul(V::set1(Derivative ? 0.0 : 1.0), V::gather(rows + u * L, off)));
    if (a.degree == 0) {
        for (int u = 0; u < U; ++u)
            finish(u, sum[u]);
        return;
    }
    off += a.stride;
    // p[u] = P_(i-1) and p_prev[u] = P_(i-2) at the top of step i; for the
    // derivative d[u] = D_(i-1) and d_prev[u] = D_(i-2).
    R p_prev[U], p[U];
    [[maybe_unused]] R d_prev[U], d[U];
    for (int u = 0; u < U; ++u) {
        p_prev[u] = V::set1(1.0);
        p[u] = xi[u];
        if constexpr (!Derivative) {
            sum[u] = V::add(sum[u], V::mul(p[u], V::gather(rows + u * L, off)));
        } else {
            sum[u] = V::add(sum[u], V::mul(V::set1(1.0), V::gather(rows + u * L, off)));
            d_prev[u] = V::set1(0.0);
            d[u] = V::set1(1.0);
        }
    }
    double k = 1.0;  // i - 1
    for (std::size_t i = 2; i <= a.degree; ++i) {
        off += a.stride;
        const R two_k_plus_one = V::set1((k + k) + 1.0);
        if constexpr (Derivative) {
            for (int u = 0; u < U; ++u) {
                const R d_i = V::add(d_prev[u], V::mul(two_k_plus_one, p[u]));
                sum[u] = V::add(sum[u], V::mul(d_i, V::gather(rows + u * L, off)));
                d_prev[u] = d[u];
                d[u] = d_i;
            }
        }
        // The derivative of degree n needs P_(n-1) at most.
        if (!Derivative || i < a.degree) {
            const R kv = V::set1(k);
            const R k_plus_one = V::set1(k + 1.0);
            for (int u = 0; u < U; ++u) {
                const R next =
                    V::div(V::sub(V::mul(V::mul(two_k_plus_one, xi[u]), p[u]), V::mul(p_prev[u], kv)), k_plus_one);
                p_prev[u] = p[u];
                p[u] = next;
            }
        }
        if constexpr (!Derivative) {
            for (int u = 0; u < U; ++u)
                sum[u] = V::add(sum[u], V::mul(p[u], V::gather(rows + u * L, off)));
        }
        k = k + 1.0;
    }
    for (int u = 0; u < U; ++u)
        finish(u, sum[u]);
}

// A run of n times: blocks of U vectors, then single vectors, then one
// vector padded with zeros (any time is valid input) for the last few.
template <class V, int U, bool Derivative, bool OnMesh>
void evaluate_run(const KernelArgs& a, const double* in, double* out, std::size_t n) {
    constexpr std::size_t block = static_cast<std::size_t>(U) * V::lanes;
    std::size_t i = 0;
    for (; n - i >= block; i += block)
        evaluate_block<V, U, Derivative, OnMesh>(a, in + i, out + i);
    for (; n - i >= V::lanes; i += V::lanes)
        evaluate_block<V, 1, Derivative, OnMesh>(a, in + i, out + i);
    if (i < n) {
        double t[V::lanes], r[V::lanes];
        const std::size_t rest = n - i;
        for (std::size_t k = 0; k < V::lanes; ++k)
            t[k] = k < rest ? in[i + k] : 0.0;
        evaluate_block<V, 1, Derivative, OnMesh>(a, t, r);
        for (std::size_t k = 0; k < rest; ++k)
            out[i + k] = r[k];
    }
}

template <class V, int U, bool Derivative>
void evaluate_span(const KernelArgs& a, const double* in, double* out, std::size_t n) {
    if (a.mesh != nullptr)
        evaluate_run<V, U, Derivative, true>(a, in, out, n);
    else
        evaluate_run<V, U, Derivative, false>(a, in, out, n);
}

// U vectors are interleaved: four on x86-64, two on i386, which has half the
// vector registers.
using Register = PWPOLY_VARIANT(REGISTER);
constexpr int interleaved = sizeof(void*) == 8 ? 4 : 2;

}  // namespace

constexpr KernelSet set{PWPOLY_VARIANT(TARGET), Register::lanes, &evaluate_span<Register, interleaved, false>,
                        &evaluate_span<Register, interleaved, true>};

}  // namespace pwpoly::kernels::PWPOLY_VARIANT_NS
#pragma GCC pop_options
#undef PWPOLY_VARIANT_NS
#undef PWPOLY_KERNEL_VARIANT
