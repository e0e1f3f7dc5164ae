// The lane-parallel kernel body, shared by every SIMD variant.
//
// Each legendre_kernels_<isa>.cpp includes this header after switching the
// compiler's target to its instruction set, supplies a vector-traits type V
// and instantiates evaluate_span<V, U, ...>. Everything here has internal
// linkage (unnamed namespace), so every file gets its own copy compiled for
// its own instruction set and no wider code can leak into the baseline
// through a shared inline definition. For the same reason the including
// file includes every other header *before* switching the target.
//
// V provides, on registers of V::lanes doubles:
//   set1, loadu, storeu, storea, add, sub, mul, div    lane-wise IEEE ops
//   floor(x)             the exact floor of each lane (as std::floor)
//   positive_or_zero(x)  x > 0 ? x : +0.0 per lane (NaN and -0.0 give +0.0)
//   min(a, b)            a < b ? a : b per lane (the second operand on ties
//                        and NaN, as MINPD)
//   max(a, b)            a > b ? a : b per lane (likewise, as MAXPD)
//   gather(rows, off)    lane k holds rows[k][off]
//
// Lane-by-lane equivalence with locate_on_mesh and legendre_sum /
// legendre_derivative_sum (legendre_basis.hpp):
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
//    in every lane, so they are formed once in scalar and broadcast.
// No header is included here on purpose (see above).

namespace pwpoly::kernels {
namespace {

// The interval index from its exact double value (0 <= jd <= n_t - 1).
inline std::size_t to_index(double jd) {
    if constexpr (sizeof(std::size_t) == 8)
        return static_cast<std::size_t>(static_cast<long long>(jd));
    else
        return static_cast<std::size_t>(jd);
}

// U vectors of V::lanes times each: the blocks interleave U independent
// recurrences so that the divider, the longest latency, stays busy.
template <class V, int U, bool Derivative>
inline void evaluate_block(const KernelArgs& a, const double* in, double* out) {
    using R = typename V::reg;
    constexpr int L = V::lanes;
    const R w = V::set1(a.w);
    R xi[U];
    alignas(64) double interval[U * L];
    // All times are read before any result is written (in-place use).
    for (int u = 0; u < U; ++u) {
        const R t = V::loadu(in + u * L);
        const R q = V::positive_or_zero(V::floor(V::div(t, w)));
        const R j = V::min(q, V::set1(a.last_interval));
        V::storea(interval + u * L, j);
        const R left = V::mul(j, w);
        const R right = V::add(w, left);
        const R s = V::add(left, right);
        const R v = V::add(t, V::mul(V::set1(-0.5), s));
        R x = V::div(V::add(v, v), V::sub(right, left));
        x = V::max(V::set1(-1.0), x);
        x = V::min(V::set1(1.0), x);
        xi[u] = x;
    }
    const double* rows[U * L];
    for (int k = 0; k < U * L; ++k)
        rows[k] = a.coeffs + to_index(interval[k]);

    R sum[U];
    std::size_t off = 0;
    if constexpr (!Derivative) {
        for (int u = 0; u < U; ++u)
            sum[u] = V::add(V::set1(-0.0), V::mul(V::set1(1.0), V::gather(rows + u * L, off)));
    } else {
        for (int u = 0; u < U; ++u)
            sum[u] = V::add(V::set1(-0.0), V::mul(V::set1(0.0), V::gather(rows + u * L, off)));
    }
    if (a.degree >= 1) {
        off += a.stride;
        R p_prev[U], p[U];
        [[maybe_unused]] R d[U];
        for (int u = 0; u < U; ++u) {
            p_prev[u] = V::set1(1.0);
            p[u] = xi[u];
            if constexpr (!Derivative) {
                sum[u] = V::add(sum[u], V::mul(p[u], V::gather(rows + u * L, off)));
            } else {
                sum[u] = V::add(sum[u], V::mul(V::set1(1.0), V::gather(rows + u * L, off)));
                d[u] = V::add(V::add(V::mul(xi[u], xi[u]), V::set1(-1.0)), V::set1(1e-15));
            }
        }
        double k = 1.0;
        for (std::size_t i = 2; i <= a.degree; ++i) {
            off += a.stride;
            const R two_k_plus_one = V::set1((k + k) + 1.0);
            const R kv = V::set1(k);
            const R k_plus_one = V::set1(k + 1.0);
            for (int u = 0; u < U; ++u) {
                const R next =
                    V::div(V::sub(V::mul(V::mul(two_k_plus_one, xi[u]), p[u]), V::mul(p_prev[u], kv)), k_plus_one);
                p_prev[u] = p[u];
                p[u] = next;
            }
            k = k + 1.0;
            if constexpr (!Derivative) {
                for (int u = 0; u < U; ++u)
                    sum[u] = V::add(sum[u], V::mul(p[u], V::gather(rows + u * L, off)));
            } else {
                const R fi = V::set1(static_cast<double>(i));
                for (int u = 0; u < U; ++u) {
                    const R di = V::div(V::mul(V::sub(V::mul(p[u], xi[u]), p_prev[u]), fi), d[u]);
                    sum[u] = V::add(sum[u], V::mul(di, V::gather(rows + u * L, off)));
                }
            }
        }
    }
    for (int u = 0; u < U; ++u) {
        if constexpr (!Derivative)
            V::storeu(out + u * L, sum[u]);
        else
            V::storeu(out + u * L, V::div(V::add(sum[u], sum[u]), w));
    }
}

// A run of n times: blocks of U vectors, then single vectors, then one
// vector padded with zeros (any time is valid input) for the last few.
template <class V, int U, bool Derivative>
void evaluate_span(const KernelArgs& a, const double* in, double* out, std::size_t n) {
    constexpr std::size_t block = static_cast<std::size_t>(U) * V::lanes;
    std::size_t i = 0;
    for (; n - i >= block; i += block)
        evaluate_block<V, U, Derivative>(a, in + i, out + i);
    for (; n - i >= V::lanes; i += V::lanes)
        evaluate_block<V, 1, Derivative>(a, in + i, out + i);
    if (i < n) {
        double t[V::lanes], r[V::lanes];
        const std::size_t rest = n - i;
        for (std::size_t k = 0; k < V::lanes; ++k)
            t[k] = k < rest ? in[i + k] : 0.0;
        evaluate_block<V, 1, Derivative>(a, t, r);
        for (std::size_t k = 0; k < rest; ++k)
            out[i + k] = r[k];
    }
}

// 128-bit traits: SSE2, with the floor emulated, or SSE4.1 (ROUNDPD).
template <bool HardwareFloor>
struct Sse {
    using reg = __m128d;
    static constexpr std::size_t lanes = 2;
    static reg set1(double x) { return _mm_set1_pd(x); }
    static reg loadu(const double* p) { return _mm_loadu_pd(p); }
    static void storeu(double* p, reg x) { _mm_storeu_pd(p, x); }
    static void storea(double* p, reg x) { _mm_store_pd(p, x); }
    static reg add(reg a, reg b) { return _mm_add_pd(a, b); }
    static reg sub(reg a, reg b) { return _mm_sub_pd(a, b); }
    static reg mul(reg a, reg b) { return _mm_mul_pd(a, b); }
    static reg div(reg a, reg b) { return _mm_div_pd(a, b); }
    static reg min(reg a, reg b) { return _mm_min_pd(a, b); }
    static reg max(reg a, reg b) { return _mm_max_pd(a, b); }
    static reg positive_or_zero(reg x) { return _mm_and_pd(_mm_cmpgt_pd(x, _mm_setzero_pd()), x); }
    static reg gather(const double* const* rows, std::size_t off) {
        return _mm_loadh_pd(_mm_load_sd(rows[0] + off), rows[1] + off);
    }
    static reg floor(reg x) {
        if constexpr (HardwareFloor) {
            return _mm_floor_pd(x);
        } else {
            // |x| < 2^52: round |x| to an integer by adding and removing 2^52
            // (exact in round-to-nearest), give it x's sign, and step down
            // by one where that overshot x. Otherwise (|x| >= 2^52, inf,
            // NaN) x is already integral and is returned unchanged. Keeps
            // -0.0 as -0.0, like std::floor.
            const reg sign = _mm_set1_pd(-0.0);
            const reg two52 = _mm_set1_pd(4503599627370496.0);
            const reg ax = _mm_andnot_pd(sign, x);
            const reg small = _mm_cmplt_pd(ax, two52);
            reg r = _mm_sub_pd(_mm_add_pd(ax, two52), two52);
            r = _mm_or_pd(r, _mm_and_pd(x, sign));
            r = _mm_sub_pd(r, _mm_and_pd(_mm_cmpgt_pd(r, x), _mm_set1_pd(1.0)));
            return _mm_or_pd(_mm_and_pd(small, r), _mm_andnot_pd(small, x));
        }
    }
};

}  // namespace
}  // namespace pwpoly::kernels
