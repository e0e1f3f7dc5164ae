#include "arithmetic/exact_sum.hpp"

#include <bit>

#include "common/internal_failure.hpp"

namespace pwpoly::exact {

namespace {

// Bits 2^-2176 up to 2^(2048 + 64 + 64): 136 words of 32 bits.
constexpr std::size_t word_count = 136;
constexpr std::uint64_t low_32 = 0xffffffffu;
// A term adds less than 2^35 to a word, so 2^24 terms leave every word
// below 2^60 in magnitude between two carry passes.
constexpr std::uint32_t carry_every = std::uint32_t{1} << 24;

// |x| = mantissa * 2^exponent with an integer mantissa below 2^53.
struct Decomposed {
    std::uint64_t mantissa;
    int exponent;
    bool negative;
};

Decomposed decompose(double x) {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
    const int field = static_cast<int>((bits >> 52) & 0x7ff);
    if (field == 0x7ff)
        fail("ExactSum: a term is not finite");
    const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
    const bool negative = (bits >> 63) != 0;
    if (field == 0)
        return {fraction, -1074, negative};
    return {fraction | (std::uint64_t{1} << 52), field - 1075, negative};
}

}  // namespace

ExactSum::ExactSum() : words_(word_count, 0) {}

void ExactSum::add_bits(std::uint64_t value, int exponent, bool negative) {
    if (value == 0)
        return;
    const int position = exponent - lowest_exponent;  // >= 0
    const std::size_t w = static_cast<std::size_t>(position / 32);
    const int r = position % 32;
    const std::uint64_t low = (value & low_32) << r;  // below 2^64
    const std::uint64_t high = (value >> 32) << r;    // below 2^64
    const std::int64_t d0 = static_cast<std::int64_t>(low & low_32);
    const std::int64_t d1 = static_cast<std::int64_t>((low >> 32) + (high & low_32));
    const std::int64_t d2 = static_cast<std::int64_t>(high >> 32);
    if (negative) {
        words_[w] -= d0;
        words_[w + 1] -= d1;
        words_[w + 2] -= d2;
    } else {
        words_[w] += d0;
        words_[w + 1] += d1;
        words_[w + 2] += d2;
    }
}

void ExactSum::add(double x) {
    const Decomposed d = decompose(x);
    add_bits(d.mantissa, d.exponent, d.negative);
    if (++since_carry_ == carry_every)
        propagate_carries();
}

void ExactSum::add_product(double a, double b) {
    const Decomposed x = decompose(a), y = decompose(b);
    const bool negative = x.negative != y.negative;
    const int e = x.exponent + y.exponent;
    const std::uint64_t x0 = x.mantissa & low_32, x1 = x.mantissa >> 32;
    const std::uint64_t y0 = y.mantissa & low_32, y1 = y.mantissa >> 32;
    add_bits(x0 * y0, e, negative);
    add_bits(x0 * y1, e + 32, negative);
    add_bits(x1 * y0, e + 32, negative);
    add_bits(x1 * y1, e + 64, negative);
    if (++since_carry_ == carry_every)
        propagate_carries();
}

// Every word but the top one becomes a digit in [0, 2^32); the top word
// keeps the signed rest. (>> of a negative value is an arithmetic shift.)
void ExactSum::propagate_carries() {
    std::int64_t carry = 0;
    for (std::size_t i = 0; i + 1 < word_count; ++i) {
        const std::int64_t v = words_[i] + carry;
        carry = v >> 32;
        words_[i] = v & static_cast<std::int64_t>(low_32);
    }
    words_[word_count - 1] += carry;
    since_carry_ = 0;
}

BigInt ExactSum::integer() const {
    ExactSum copy = *this;
    copy.propagate_carries();
    const std::int64_t top = copy.words_[word_count - 1];
    std::vector<std::uint32_t> limbs(word_count);
    if (top >= 0) {
        for (std::size_t i = 0; i + 1 < word_count; ++i)
            limbs[i] = static_cast<std::uint32_t>(copy.words_[i]);
        limbs[word_count - 1] = static_cast<std::uint32_t>(top);
        return BigInt::from_limbs(std::move(limbs), false);
    }
    // The magnitude -value: the complement of every digit plus one.
    std::uint64_t carry = 1;
    for (std::size_t i = 0; i + 1 < word_count; ++i) {
        const std::uint64_t x = (~static_cast<std::uint64_t>(copy.words_[i]) & low_32) + carry;
        limbs[i] = static_cast<std::uint32_t>(x);
        carry = x >> 32;
    }
    limbs[word_count - 1] = static_cast<std::uint32_t>(static_cast<std::uint64_t>(-(top + 1)) + carry);
    return BigInt::from_limbs(std::move(limbs), true);
}

double nearest_double(const ExactSum& sum) {
    return nearest_double_to_quotient(sum.integer(), BigInt(1).shifted_left(-ExactSum::lowest_exponent));
}

double nearest_double_to_product_over(const ExactSum& a, const ExactSum& b, std::uint64_t divisor) {
    if (divisor == 0)
        fail("nearest_double_to_product_over: zero divisor");
    return nearest_double_to_quotient(a.integer() * b.integer(),
                                      BigInt::from_unsigned(divisor).shifted_left(-2 * ExactSum::lowest_exponent));
}

}  // namespace pwpoly::exact
