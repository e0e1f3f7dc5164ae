#include "arithmetic/exact_arithmetic.hpp"

#include <bit>
#include <cmath>
#include <string>
#include <utility>

#include "common/internal_failure.hpp"
#include "common/interruption.hpp"

namespace pwpoly {

namespace exact {

namespace {

using Limbs = std::vector<std::uint32_t>;

// Every operation on magnitudes reports its work, in limb operations plus a
// fixed share for the result it allocates, to a pacer of its thread: the
// computations built on them (Pascal's triangle, polynomial products, a
// matrix of exact integrals) have loops whose cost grows with the size of
// their numbers, which only the operations themselves know.
thread_local InterruptionPacer t_pacer;

void report_limb_operations(std::size_t count) { t_pacer.done(count + 16); }

void trim(Limbs& a) {
    while (!a.empty() && a.back() == 0)
        a.pop_back();
}

Limbs limbs_of(std::uint64_t v) {
    Limbs out;
    while (v != 0) {
        out.push_back(static_cast<std::uint32_t>(v));
        v >>= 32;
    }
    return out;
}

int compare_magnitudes(const Limbs& a, const Limbs& b) {
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    for (std::size_t i = a.size(); i-- > 0;)
        if (a[i] != b[i])
            return a[i] < b[i] ? -1 : 1;
    return 0;
}

Limbs add_magnitudes(const Limbs& a, const Limbs& b) {
    report_limb_operations(a.size() + b.size());
    const Limbs& longer = a.size() >= b.size() ? a : b;
    const Limbs& shorter = a.size() >= b.size() ? b : a;
    Limbs out(longer.size() + 1);
    std::uint64_t carry = 0;
    for (std::size_t i = 0; i < longer.size(); ++i) {
        const std::uint64_t s = std::uint64_t{longer[i]} + (i < shorter.size() ? shorter[i] : 0u) + carry;
        out[i] = static_cast<std::uint32_t>(s);
        carry = s >> 32;
    }
    out[longer.size()] = static_cast<std::uint32_t>(carry);
    trim(out);
    return out;
}

// a - b for a >= b. A limb difference that goes below zero wraps around to a
// value with the top bit set, which is the borrow into the next limb.
Limbs subtract_magnitudes(const Limbs& a, const Limbs& b) {
    report_limb_operations(a.size());
    Limbs out(a.size());
    std::uint64_t borrow = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const std::uint64_t d = std::uint64_t{a[i]} - (i < b.size() ? b[i] : 0u) - borrow;
        out[i] = static_cast<std::uint32_t>(d);
        borrow = d >> 63;
    }
    trim(out);
    return out;
}

// Schoolbook product; a limb product plus two limbs fits 64 bits exactly.
Limbs multiply_magnitudes(const Limbs& a, const Limbs& b) {
    if (a.empty() || b.empty())
        return {};
    report_limb_operations(a.size() * b.size());
    Limbs out(a.size() + b.size(), 0);
    for (std::size_t i = 0; i < a.size(); ++i) {
        std::uint64_t carry = 0;
        for (std::size_t j = 0; j < b.size(); ++j) {
            const std::uint64_t t = std::uint64_t{a[i]} * b[j] + out[i + j] + carry;
            out[i + j] = static_cast<std::uint32_t>(t);
            carry = t >> 32;
        }
        out[i + b.size()] = static_cast<std::uint32_t>(carry);
    }
    trim(out);
    return out;
}

std::size_t bit_length(const Limbs& a) {
    if (a.empty())
        return 0;
    std::size_t bits = 32 * (a.size() - 1);
    for (std::uint32_t top = a.back(); top != 0; top >>= 1)
        ++bits;
    return bits;
}

Limbs shifted_left(const Limbs& a, std::size_t bits) {
    if (a.empty())
        return {};
    const std::size_t whole = bits / 32, part = bits % 32;
    Limbs out(a.size() + whole + 1, 0);
    for (std::size_t i = 0; i < a.size(); ++i) {
        const std::uint64_t v = std::uint64_t{a[i]} << part;
        out[i + whole] |= static_cast<std::uint32_t>(v);
        out[i + whole + 1] |= static_cast<std::uint32_t>(v >> 32);
    }
    trim(out);
    return out;
}

void halve(Limbs& a) {
    for (std::size_t i = 0; i < a.size(); ++i) {
        a[i] >>= 1;
        if (i + 1 < a.size())
            a[i] |= a[i + 1] << 31;
    }
    trim(a);
}

}  // namespace

BigInt::BigInt(std::int64_t value) : negative_(value < 0) {
    // The magnitude as an unsigned difference, so that INT64_MIN works too.
    limbs_ =
        limbs_of(value < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value));
}

BigInt BigInt::from_unsigned(std::uint64_t value) {
    BigInt out;
    out.limbs_ = limbs_of(value);
    return out;
}

BigInt BigInt::from_limbs(std::vector<std::uint32_t> magnitude, bool negative) {
    BigInt out;
    out.limbs_ = std::move(magnitude);
    trim(out.limbs_);
    out.negative_ = negative && !out.limbs_.empty();
    return out;
}

BigInt BigInt::shifted_left(std::size_t bits) const {
    BigInt out;
    out.limbs_ = exact::shifted_left(limbs_, bits);
    out.negative_ = negative_;
    return out;
}

BigInt BigInt::operator-() const {
    BigInt out = *this;
    out.negative_ = !out.is_zero() && !negative_;
    return out;
}

BigInt operator+(const BigInt& a, const BigInt& b) {
    BigInt out;
    if (a.negative_ == b.negative_) {
        out.limbs_ = add_magnitudes(a.limbs_, b.limbs_);
        out.negative_ = a.negative_;
    } else if (compare_magnitudes(a.limbs_, b.limbs_) >= 0) {
        out.limbs_ = subtract_magnitudes(a.limbs_, b.limbs_);
        out.negative_ = a.negative_;
    } else {
        out.limbs_ = subtract_magnitudes(b.limbs_, a.limbs_);
        out.negative_ = b.negative_;
    }
    if (out.limbs_.empty())
        out.negative_ = false;
    return out;
}

BigInt operator-(const BigInt& a, const BigInt& b) { return a + (-b); }

BigInt operator*(const BigInt& a, const BigInt& b) {
    BigInt out;
    out.limbs_ = multiply_magnitudes(a.limbs_, b.limbs_);
    out.negative_ = !out.limbs_.empty() && a.negative_ != b.negative_;
    return out;
}

double nearest_double_to_quotient(const BigInt& num, const BigInt& den) {
    if (den.is_zero())
        fail("nearest_double_to_quotient: zero denominator");
    if (num.is_zero())
        return 0.0;
    const bool negative = num.negative_ != den.negative_;

    // Scale by 2^s so that the integer quotient q = floor(|num| 2^s / |den|)
    // lies in [2^54, 2^56): with la, ld the bit lengths, |num| / |den| lies in
    // (2^(la - ld - 1), 2^(la - ld + 1)), so s = 55 - (la - ld).
    const std::int64_t la = static_cast<std::int64_t>(bit_length(num.limbs_));
    const std::int64_t ld = static_cast<std::int64_t>(bit_length(den.limbs_));
    const std::int64_t s = 55 - (la - ld);
    Limbs rest = s >= 0 ? shifted_left(num.limbs_, static_cast<std::size_t>(s)) : num.limbs_;
    Limbs step = shifted_left(den.limbs_, static_cast<std::size_t>(s >= 0 ? 0 : -s) + 55);
    // Long division, one quotient bit at a time from bit 55 down.
    std::uint64_t q = 0;
    for (int bit = 55; bit >= 0; --bit) {
        report_limb_operations(2 * step.size());
        if (compare_magnitudes(rest, step) >= 0) {
            rest = subtract_magnitudes(rest, step);
            q |= std::uint64_t{1} << bit;
        }
        halve(step);
    }
    const bool sticky = !rest.empty();

    // The value is (q + fraction) 2^-s with q of qbits bits, so its binary
    // exponent is e = qbits - 1 - s. Normal results keep 53 bits; below
    // 2^-1022 the precision shrinks to the bits above 2^-1074.
    const std::int64_t qbits = static_cast<std::int64_t>(bit_length(limbs_of(q)));
    const std::int64_t e = qbits - 1 - s;
    const std::int64_t precision = e >= -1022 ? 53 : e + 1075;
    const std::int64_t drop = qbits - precision;  // >= 2
    std::uint64_t kept = 0;
    if (drop < 64) {
        kept = q >> drop;
        const std::uint64_t lost = q & ((std::uint64_t{1} << drop) - 1);
        const std::uint64_t half = std::uint64_t{1} << (drop - 1);
        if (lost > half || (lost == half && (sticky || (kept & 1) != 0)))
            ++kept;
    }
    // Otherwise everything is below half of the smallest subnormal: zero.
    // kept <= 2^53 and the scale puts its last bit on a representable
    // position, so the conversion and the scaling are exact.
    const double magnitude = std::ldexp(static_cast<double>(kept), static_cast<int>(drop - s));
    return negative ? -magnitude : magnitude;
}

BigPolynomial multiply_polynomials(const BigPolynomial& a, const BigPolynomial& b) {
    if (a.empty() || b.empty())
        return {};
    BigPolynomial out(a.size() + b.size() - 1);
    for (std::size_t i = 0; i < a.size(); ++i)
        for (std::size_t j = 0; j < b.size(); ++j)
            out[i + j] = out[i + j] + a[i] * b[j];
    return out;
}

MonomialIntegrals monomial_integrals(std::size_t top) {
    // h[c] from prefix and suffix products of 1, ..., top.
    std::vector<BigInt> prefix(top + 1), suffix(top + 2);
    prefix[0] = BigInt(1);
    for (std::size_t t = 1; t <= top; ++t)
        prefix[t] = prefix[t - 1] * BigInt::from_unsigned(t);
    suffix[top + 1] = BigInt(1);
    for (std::size_t t = top; t >= 1; --t)
        suffix[t] = suffix[t + 1] * BigInt::from_unsigned(t);
    MonomialIntegrals out{prefix[top], std::vector<BigInt>(top)};
    for (std::size_t c = 0; c < top; ++c)
        out.h[c] = prefix[c] * suffix[c + 2];
    return out;
}

void require_positive(const char* function, const char* argument, std::size_t value) {
    if (value == 0)
        fail(std::string(function) + ": " + argument + " must be at least 1, got " + std::to_string(value));
}

}  // namespace exact

}  // namespace pwpoly
