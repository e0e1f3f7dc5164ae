// Exact integer arithmetic for the few results that are computed exactly and
// rounded once (the Lagrange reference matrices, entries of the Legendre
// re-expansion that double-double cannot round with certainty).
//
// Every operation reports its work to an interruption pacer of its thread
// (common/interruption.hpp), so an installed check may end any of them by
// throwing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pwpoly {

namespace exact {

// A signed integer of any size: sign and magnitude, 32-bit limbs, least
// significant first, without leading zero limbs; zero has no limbs and is
// never negative.
class BigInt {
public:
    BigInt() = default;
    explicit BigInt(std::int64_t value);
    static BigInt from_unsigned(std::uint64_t value);
    // The integer with this magnitude (32-bit limbs, least significant
    // first; leading zero limbs allowed) and sign (ignored for zero).
    static BigInt from_limbs(std::vector<std::uint32_t> magnitude, bool negative);

    // *this * 2^bits.
    BigInt shifted_left(std::size_t bits) const;

    bool is_zero() const noexcept { return limbs_.empty(); }
    bool is_negative() const noexcept { return negative_; }

    BigInt operator-() const;
    friend BigInt operator+(const BigInt& a, const BigInt& b);
    friend BigInt operator-(const BigInt& a, const BigInt& b);
    friend BigInt operator*(const BigInt& a, const BigInt& b);
    friend bool operator==(const BigInt& a, const BigInt& b) = default;

    // The nearest double to num / den, ties to even (subnormal results
    // rounded at their own precision, overflow to infinity); +0.0 for a zero
    // numerator. Fails for a zero denominator.
    friend double nearest_double_to_quotient(const BigInt& num, const BigInt& den);

private:
    std::vector<std::uint32_t> limbs_;
    bool negative_ = false;
};

double nearest_double_to_quotient(const BigInt& num, const BigInt& den);

// Coefficients of polynomials, lowest degree first.
using BigPolynomial = std::vector<BigInt>;

BigPolynomial multiply_polynomials(const BigPolynomial& a, const BigPolynomial& b);

// The exact integrals of the monomials over [-1, 1] with one denominator:
// the integral of x^c is 2 h[c] / factorial for even c (0 for odd c), with
// factorial = top! and h[c] = top! / (c + 1) = c! (c + 2) (c + 3) ... top,
// for c < top.
struct MonomialIntegrals {
    BigInt factorial;
    std::vector<BigInt> h;
};
MonomialIntegrals monomial_integrals(std::size_t top);

// "<function>: <argument> must be at least 1, got 0" for a zero count.
void require_positive(const char* function, const char* argument, std::size_t value);

}  // namespace exact

}  // namespace pwpoly
