#include "piecewise_polynomials/calculus/mesh_integrals.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "common/interruption.hpp"

namespace pwpoly {

namespace {

using dd::DD;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

// Whether v.hi (with v.hi = fl(v.hi + v.lo)) is the nearest double to every
// real number within `bound` of v.hi + v.lo: the distance from v.hi + v.lo
// to the midpoints between v.hi and its neighbours exceeds the bound. Only
// for 2^-900 <= |v.hi| <= 2^1000, so that the neighbours are normal and
// finite; NaN anywhere answers no.
bool certainly_nearest(DD v, double bound) {
    const double a = std::fabs(v.hi);
    if (!(a >= 0x1p-900 && a <= 0x1p1000 && bound >= 0.0 && std::fabs(v.lo) <= a))
        return false;
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(a);
    const double below = a - std::bit_cast<double>(bits - 1);
    const double above = std::bit_cast<double>(bits + 1) - a;
    const double half_gap = 0.5 * std::min(below, above);
    // fl(|lo| + bound) <= (1 - 2^-20) half_gap implies |lo| + bound < half_gap.
    return std::fabs(v.lo) + bound <= half_gap * (1.0 - 0x1p-20);
}

exact::ExactSum exact_span(const TimeMesh& mesh) {
    exact::ExactSum span;
    span.add(mesh.end());
    span.add(-mesh.start());
    return span;
}

exact::ExactSum exact_one() {
    exact::ExactSum one;
    one.add(1.0);
    return one;
}

}  // namespace

// (t1 - t0) / n in double-double with a relative error below 6 u^2: with
// D = dh + dl = t1 - t0 exactly (TwoSum) and q1 = fl(dh / n), q1 * n = p + pe
// exactly (Dekker) and dh - p is exact (Sterbenz), so the remainder
// r = ((dh - p) - pe) + dl errs by at most 3 u^2 |dh|, and q1 + fl(r / n)
// by at most (3 u^2 + 2 u^2) |dh| / n.
DD uniform_width(const TimeMesh& mesh) { return uniform_width(mesh.start(), mesh.end(), mesh.n_t()); }

DD uniform_width(double t0, double t1, std::size_t n_t) {
    const DD d = dd::two_sum(t1, -t0);
    if (n_t == 1)
        return d;
    const double n = static_cast<double>(n_t);
    const double q1 = d.hi / n;
    const DD p = dd::two_prod(q1, n);
    const double r = ((d.hi - p.hi) - p.lo) + d.lo;
    return dd::quick_two_sum(q1, r / n);
}

double rounded_width(const TimeMesh& mesh, std::size_t j) {
    if (!mesh.is_uniform())
        return mesh.width(j);  // fl(b_(j+1) - b_j), one rounding
    if (mesh.start() == 0.0)
        return mesh.end() / static_cast<double>(mesh.n_t());
    const DD w = uniform_width(mesh);
    if (certainly_nearest(w, 0x1p-99 * std::fabs(w.hi)))
        return w.hi;
    return exact::nearest_double_to_product_over(exact_span(mesh), exact_one(), mesh.n_t());
}

double nearest_sum(const double* x, std::size_t count) {
    // Sum2 as above, and whether every addition to e was exact (its TwoSum
    // error zero): then s + e is the exact sum and fl(s + e) its nearest
    // double, ties to even included. Sums of a few terms of similar size
    // often land on a midpoint, which no error bound can decide.
    double s = 0.0, e = 0.0, b = 0.0;
    bool e_exact = true;
    for (std::size_t i = 0; i < count; ++i) {
        const double t = s + x[i];
        const double z = t - s;
        const double q = (s - (t - z)) + (x[i] - z);
        const double sum = e + q;
        const double zz = sum - e;
        if ((e - (sum - zz)) + (q - zz) != 0.0)  // also when not finite
            e_exact = false;
        e = sum;
        b = b + std::fabs(e);
        s = t;
    }
    const DD v = dd::two_sum(s, e);
    if (e_exact && std::isfinite(v.hi))
        return v.hi == 0.0 ? 0.0 : v.hi;
    if (certainly_nearest(v, 0x1p-52 * b))
        return v.hi;
    exact::ExactSum sum;
    for (std::size_t i = 0; i < count; ++i)
        sum.add(x[i]);
    return exact::nearest_double(sum);
}

void NearestDifferences::compute(std::size_t m, const double* first, const double* rest, std::size_t stride,
                                 std::size_t rows, double* out) {
    s_.assign(first, first + m);
    e_.assign(m, 0.0);
    b_.assign(m, 0.0);
    inexact_.assign(m, 0.0);  // the sum of |rounding error| of the additions to e
    double* __restrict s = s_.data();
    double* __restrict e = e_.data();
    double* __restrict b = b_.data();
    double* __restrict inexact = inexact_.data();
    for (std::size_t r = 0; r < rows; ++r) {
        const double* __restrict row = rest + r * stride;
        for (std::size_t k = 0; k < m; ++k) {
            const double x = -row[k];
            const double t = s[k] + x;
            const double z = t - s[k];
            const double q = (s[k] - (t - z)) + (x - z);
            const double sum = e[k] + q;
            const double zz = sum - e[k];
            inexact[k] = inexact[k] + std::fabs((e[k] - (sum - zz)) + (q - zz));
            b[k] = b[k] + std::fabs(sum);
            e[k] = sum;
            s[k] = t;
        }
    }
    for (std::size_t k = 0; k < m; ++k) {
        const DD v = dd::two_sum(s[k], e[k]);
        if (inexact[k] == 0.0 && std::isfinite(v.hi)) {
            out[k] = v.hi == 0.0 ? 0.0 : v.hi;
            continue;
        }
        if (certainly_nearest(v, 0x1p-52 * b[k])) {
            out[k] = v.hi;
            continue;
        }
        terms_.assign(1, first[k]);
        bool finite = std::isfinite(first[k]);
        for (std::size_t r = 0; r < rows; ++r) {
            terms_.push_back(-rest[r * stride + k]);
            finite = finite && std::isfinite(terms_.back());
        }
        if (finite) {
            out[k] = nearest_sum(terms_.data(), terms_.size());
        } else {
            double sum = terms_[0];
            for (std::size_t r = 1; r < terms_.size(); ++r)
                sum = sum + terms_[r];
            out[k] = sum;
        }
    }
}

// The exact state of one component, kept from the first time the fast sum
// could not decide its rounding on: the exact sum of its finite terms and
// which non-finite values it met.
struct PrefixIntegrals::Exact {
    exact::ExactSum sum;
    bool saw_nan = false, saw_plus = false, saw_minus = false;
};

PrefixIntegrals::PrefixIntegrals(const TimeMesh& mesh, std::size_t m, const double* coefficients)
    : mesh_(mesh), m_(m), coefficients_(coefficients), uniform_(mesh.is_uniform()),
      width_(uniform_ ? uniform_width(mesh) : DD{0.0, 0.0}), span_(exact_span(mesh)), s_(m, 0.0), e_(m, 0.0),
      b_(m, 0.0), a_(uniform_ ? 0 : m, 0.0), exact_(m) {}

PrefixIntegrals::~PrefixIntegrals() = default;

void PrefixIntegrals::add_uniform(const double* row, std::size_t k0, std::size_t k1) {
    double* __restrict sp = s_.data();
    double* __restrict ep = e_.data();
    double* __restrict bp = b_.data();
    const double* __restrict x = row;
    for (std::size_t k = k0; k < k1; ++k) {
        const double t = sp[k] + x[k];
        const double z = t - sp[k];
        const double e = ep[k] + ((sp[k] - (t - z)) + (x[k] - z));
        bp[k] = std::max(bp[k], std::fabs(e));
        ep[k] = e;
        sp[k] = t;
    }
}

void PrefixIntegrals::add_breakpoint(const double* row, std::size_t j) {
    const DD h = mesh_.exact_width(j);  // b_(j+1) - b_j exactly
    double hh_high, hh_low;
    dd::split(h.hi, hh_high, hh_low);
    const double hh = h.hi, hl = h.lo;
    double* sp = s_.data();
    double* ep = e_.data();
    double* bp = b_.data();
    double* ap = a_.data();
    for (std::size_t k = 0; k < m_; ++k) {
        const double x = row[k];
        // hh * x = p + pe (Dekker).
        const double p = hh * x;
        double x_high, x_low;
        dd::split(x, x_high, x_low);
        const double pe = ((hh_high * x_high - p) + hh_high * x_low + hh_low * x_high) + hh_low * x_low;
        const double tl = hl * x;
        const double t = sp[k] + p;
        const double z = t - sp[k];
        const double q = (sp[k] - (t - z)) + (p - z);
        const double r1 = q + pe;
        const double r2 = r1 + tl;
        const double e = ep[k] + r2;
        bp[k] =
            std::max(std::max(bp[k], std::max(std::fabs(r1), std::fabs(r2))), std::max(std::fabs(e), std::fabs(tl)));
        ap[k] = ap[k] + std::fabs(x);
        ep[k] = e;
        sp[k] = t;
    }
}

void PrefixIntegrals::add_exact(Exact& x, std::size_t j, double c) const {
    if (std::isnan(c)) {
        x.saw_nan = true;
    } else if (std::isinf(c)) {
        (c > 0 ? x.saw_plus : x.saw_minus) = true;
    } else if (uniform_) {
        x.sum.add(c);
    } else {
        const DD h = mesh_.exact_width(j);
        x.sum.add_product(h.hi, c);
        x.sum.add_product(h.lo, c);
    }
}

void PrefixIntegrals::add_next() {
    const std::size_t j = added_;
    const double* row = coefficients_ + j * m_;
    if (uniform_)
        add_uniform(row, 0, m_);
    else
        add_breakpoint(row, j);
    for (const std::size_t k : exact_components_)
        add_exact(*exact_[k], j, row[k]);
    added_ = j + 1;
}

void PrefixIntegrals::add_all() {
    // Row by row: every row is read once, in memory order.
    InterruptionPacer pacer;
    while (added_ < mesh_.n_t()) {
        add_next();
        pacer.done(8 * (m_ + 1));
    }
}

PrefixIntegrals::Exact& PrefixIntegrals::exact(std::size_t k) {
    if (!exact_[k]) {
        auto x = std::make_unique<Exact>();
        for (std::size_t j = 0; j < added_; ++j)
            add_exact(*x, j, coefficients_[j * m_ + k]);
        exact_[k] = std::move(x);
        exact_components_.push_back(k);
    }
    return *exact_[k];
}

bool PrefixIntegrals::fast(std::size_t k, double& out) const {
    // Every addition to e errs by at most u times the magnitude of its
    // result, and b_ holds the largest of these magnitudes: one addition
    // per term on a uniform mesh, four roundings per term otherwise.
    const double s = s_[k], e = e_[k];
    const double b = b_[k] * static_cast<double>(uniform_ ? added_ : 4 * added_);
    // Sums that cancelled exactly with every error term zero: the exact
    // value is zero (on a breakpoint mesh only when every term was zero, as
    // products may underflow to zero).
    if (s == 0.0 && e == 0.0 && b == 0.0 && (uniform_ || a_[k] == 0.0)) {
        out = 0.0;
        return true;
    }
    const DD sum = dd::two_sum(s, e);
    if (uniform_) {
        const DD v = width_ * sum;
        if (!certainly_nearest(v, 0x1p-99 * std::fabs(v.hi) + 0x1p-52 * (std::fabs(width_.hi) * b)))
            return false;
        out = v.hi;
        return true;
    }
    // Underflow in the products errs by less than 2^-1072 per term.
    const double underflow = static_cast<double>(added_) * 0x1p-1060;
    if (!certainly_nearest(sum, 0x1p-52 * b + underflow))
        return false;
    out = sum.hi;
    return true;
}

double PrefixIntegrals::rounded(std::size_t k) {
    // The fast sums never decide a component with a non-finite term: their
    // s turns infinite or NaN with it and stays so.
    double out;
    if (fast(k, out))
        return out;
    const Exact& x = exact(k);
    if (x.saw_nan || (x.saw_plus && x.saw_minus))
        return nan;
    if (x.saw_plus)
        return inf;
    if (x.saw_minus)
        return -inf;
    if (uniform_)
        return exact::nearest_double_to_product_over(x.sum, span_, mesh_.n_t());
    return exact::nearest_double(x.sum);
}

}  // namespace pwpoly
