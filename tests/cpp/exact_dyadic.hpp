// Exact dyadic arithmetic for the calculus tests: every double is a dyadic
// rational m * 2^e, and so are all the exact values the tests need (sums of
// doubles, products with doubles). Exact holds one as a fixed-point number:
// a 512-bit two's complement integer in units of 2^-224, in 32-bit limbs
// (plain 64-bit arithmetic, so it builds on 32-bit targets too). An
// operation whose result would not fit, or would drop a bit, throws, so a
// test can never pass on wrong numbers.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace pwpoly::testing_support {

[[noreturn]] inline void inexact() { throw std::overflow_error("exact arithmetic out of range"); }

class Exact {
public:
    static constexpr int limb_count = 16, scale = 224;

    Exact() = default;

    static Exact of(double x) {
        if (!std::isfinite(x))
            inexact();
        int e = 0;
        const double mantissa = std::frexp(std::fabs(x), &e);  // |x| = mantissa * 2^e
        Exact r;
        r.add_shifted(static_cast<std::uint64_t>(std::ldexp(mantissa, 53)), e - 53 + scale);
        return x < 0 ? -r : r;
    }

    // The exact product with a double.
    Exact times(double x) const {
        if (!std::isfinite(x))
            inexact();
        int e = 0;
        const double mantissa = std::frexp(std::fabs(x), &e);
        const std::uint64_t factor = static_cast<std::uint64_t>(std::ldexp(mantissa, 53));
        const bool negative = is_negative() != (x < 0);
        const Exact a = is_negative() ? -*this : *this;
        // a * factor * 2^(e - 53): limb products accumulated at their shifts.
        Exact r;
        for (int i = 0; i < limb_count; ++i)
            for (const int half : {0, 1}) {
                const std::uint64_t part = half == 0 ? (factor & 0xffffffffu) : (factor >> 32);
                const std::uint64_t product = static_cast<std::uint64_t>(a.limbs_[i]) * part;
                if (product != 0)
                    r.add_shifted(product, 32 * i + 32 * half + (e - 53));
            }
        return negative ? -r : r;
    }

    Exact operator-() const {
        Exact r;
        std::uint64_t carry = 1;
        for (int i = 0; i < limb_count; ++i) {
            const std::uint64_t x = static_cast<std::uint64_t>(~limbs_[i]) + carry;
            r.limbs_[i] = static_cast<std::uint32_t>(x);
            carry = x >> 32;
        }
        return r;
    }

    friend Exact operator+(const Exact& a, const Exact& b) {
        Exact r;
        std::uint64_t carry = 0;
        for (int i = 0; i < limb_count; ++i) {
            const std::uint64_t x = std::uint64_t{a.limbs_[i]} + b.limbs_[i] + carry;
            r.limbs_[i] = static_cast<std::uint32_t>(x);
            carry = x >> 32;
        }
        // Overflow: both operands of one sign, the result of the other.
        if (a.is_negative() == b.is_negative() && r.is_negative() != a.is_negative())
            inexact();
        return r;
    }
    friend Exact operator-(const Exact& a, const Exact& b) { return a + -b; }

    // The value, rounded (within an ulp or two).
    double approx() const {
        const Exact a = is_negative() ? -*this : *this;
        double r = 0.0;
        for (int i = limb_count - 1; i >= 0; --i)
            r += std::ldexp(static_cast<double>(a.limbs_[i]), 32 * i - scale);
        return is_negative() ? -r : r;
    }

private:
    bool is_negative() const { return (limbs_[limb_count - 1] >> 31) != 0; }

    // Adds x * 2^shift (in units of 2^-scale) to a non-negative value.
    void add_shifted(std::uint64_t x, int shift) {
        if (shift < 0) {
            if (shift <= -64 || (x & ((std::uint64_t{1} << -shift) - 1)) != 0)
                inexact();  // bits below 2^-scale
            x >>= -shift;
            shift = 0;
        }
        std::uint64_t carry = 0;
        for (int i = shift / 32; i < limb_count && (x != 0 || carry != 0); ++i) {
            const int offset = i == shift / 32 ? shift % 32 : 0;
            const std::uint64_t chunk = offset == 0 ? (x & 0xffffffffu) : ((x << offset) & 0xffffffffu);
            x = offset == 0 ? (x >> 32) : (x >> (32 - offset));
            const std::uint64_t sum = std::uint64_t{limbs_[i]} + chunk + carry;
            limbs_[i] = static_cast<std::uint32_t>(sum);
            carry = sum >> 32;
        }
        if (x != 0 || carry != 0 || is_negative())
            inexact();  // beyond the top bit
    }

    std::uint32_t limbs_[limb_count] = {};
};

// |x - exact|, rounded.
inline double distance(double x, const Exact& exact) { return std::fabs((Exact::of(x) - exact).approx()); }

// Whether out is the nearest double to value / divisor (divisor > 0 an
// integer-valued double): value / divisor lies between the midpoints from
// out to its neighbours (an exact tie either way passes).
inline ::testing::AssertionResult is_nearest(double out, const Exact& value, double divisor = 1.0) {
    if (!std::isfinite(out))
        return ::testing::AssertionFailure() << out << " is not finite";
    if (out == 0.0) {  // (the value's bits never reach down to the subnormals here)
        if (2.0 * std::fabs(value.approx()) <= 0x1p-1074 * divisor)
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "0 is not the nearest double to " << value.approx() / divisor;
    }
    const double down = out - std::nextafter(out, -INFINITY);
    const double up = std::nextafter(out, INFINITY) - out;
    const Exact low = (Exact::of(out) - Exact::of(down).times(0.5)).times(divisor);
    const Exact high = (Exact::of(out) + Exact::of(up).times(0.5)).times(divisor);
    const double below = (value - low).approx(), above = (high - value).approx();
    if (below >= 0.0 && above >= 0.0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << out << " is not the nearest double to " << value.approx() << " / "
                                         << divisor;
}

}  // namespace pwpoly::testing_support
