// The parser, which touches no Python object and so runs with the interpreter lock
// released on long texts.
#pragma once

#include "tape.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>

namespace vmrt::json {

// The characters that a string takes as they are: not a quote, a backslash or a
// control character, nor (in UTF-8) the start of a sequence.
struct PlainCharacters {
    bool plain[256];
    constexpr PlainCharacters(bool utf8) noexcept : plain()
    {
        for (unsigned c = 0; c < 256; ++c) {
            plain[c] = c >= 0x20 && c != '"' && c != '\\' && (!utf8 || c < 0x80);
        }
    }
};
constexpr PlainCharacters plain_latin1(false);
constexpr PlainCharacters plain_utf8(true);

// Digits read eight bytes at a time, as a little-endian word whose lowest byte is the
// first character. A byte that is no digit sets its top bit in one of the two sums;
// carries only move upwards, so the lowest such byte is found exactly.
inline unsigned leading_digits(std::uint64_t x) noexcept
{
    const std::uint64_t others =
        ((x + 0x4646464646464646ull) | (x - 0x3030303030303030ull)) & 0x8080808080808080ull;
    return others == 0 ? 8 : static_cast<unsigned>(std::countr_zero(others)) / 8;
}
// The value of the first `count` (1 to 8) digits of the word: moved to the top and led by
// zeros, then folded in pairs, quads and halves.
inline std::uint64_t leading_digits_value(std::uint64_t x, unsigned count) noexcept
{
    x <<= 8 * (8 - count);
    x -= count == 8 ? 0x3030303030303030ull : 0x3030303030303030ull << 8 * (8 - count);
    x = x * 10 + (x >> 8);
    x = ((x & 0x000000ff000000ffull) * 0x000f424000000064ull + ((x >> 16) & 0x000000ff000000ffull) * 0x0000271000000001ull) >> 32;
    return x & 0xffffffffull;
}
// 10**0 to 10**19, all that a 64-bit integer holds.
constexpr std::uint64_t powers_of_ten[20] = {
    1ull, 10ull, 100ull, 1000ull, 10000ull, 100000ull, 1000000ull, 10000000ull, 100000000ull,
    1000000000ull, 10000000000ull, 100000000000ull, 1000000000000ull, 10000000000000ull,
    100000000000000ull, 1000000000000000ull, 10000000000000000ull, 100000000000000000ull,
    1000000000000000000ull, 10000000000000000000ull};

#ifdef __SIZEOF_INT128__
__extension__ using uint128 = unsigned __int128;

// The double nearest to (value + e) * 2**exponent, ties to even, where e is 0 when
// `inexact` is false and lies strictly between 0 and 1 otherwise. `value` has at least 54
// significant bits, and the result is a normal double.
inline double round_to_double(uint128 value, bool inexact, int exponent) noexcept
{
    const auto high = static_cast<std::uint64_t>(value >> 64);
    const int bits = high != 0 ? 128 - std::countl_zero(high) : 64 - std::countl_zero(static_cast<std::uint64_t>(value));
    const int shift = bits - 54;
    auto kept = static_cast<std::uint64_t>(value >> shift);  // 54 bits: 53 and the round bit
    const bool sticky = inexact || (value & ((static_cast<uint128>(1) << shift) - 1)) != 0;
    const bool round_bit = (kept & 1) != 0;
    std::uint64_t mantissa = kept >> 1;
    int scale = exponent + shift + 1;
    if (round_bit && (sticky || (mantissa & 1) != 0)) {
        if (++mantissa == std::uint64_t{1} << 53) {
            mantissa >>= 1;
            ++scale;
        }
    }
    const std::uint64_t bits_of = (static_cast<std::uint64_t>(scale + 52 + 1023) << 52) | (mantissa & ((std::uint64_t{1} << 52) - 1));
    double result;
    std::memcpy(&result, &bits_of, sizeof result);
    return result;
}

// mantissa * 10**scale, correctly rounded, for a mantissa of up to nineteen digits and a
// scale of at most nineteen either way: exact integer arithmetic in 128 bits, rounded
// once. The quotient is taken with at least 55 bits, its remainder deciding ties.
inline double scaled_decimal(std::uint64_t mantissa, long scale) noexcept
{
    if (scale >= 0) {
        return round_to_double(static_cast<uint128>(mantissa) * powers_of_ten[scale], false, 0);
    }
    const std::uint64_t divisor = powers_of_ten[-scale];
    const int shift = std::max(0, 55 + static_cast<int>(std::bit_width(divisor)) - static_cast<int>(std::bit_width(mantissa)));
    const uint128 numerator = static_cast<uint128>(mantissa) << shift;
    const uint128 quotient = numerator / divisor;
    return round_to_double(quotient, numerator - quotient * divisor != 0, -shift);
}
#endif

inline bool is_space(std::uint32_t c) noexcept
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Parses the text into the tape a part at a time, touching no Python object, so that it
// may run with the interpreter lock released. Accepts a subset of what json.loads
// accepts; the rest is `fallback`.
template <class S>
class Parser {
    using Unit = typename S::unit;

public:
    void start(const Unit* text, std::size_t length, int max_depth) noexcept
    {
        s_ = text;
        n_ = length;
        i_ = 0;
        max_depth_ = max_depth;
        depth_ = 0;
        started_ = false;
        expect_value_ = true;
        out_of_memory_ = false;
    }
    void finish() noexcept { scratch_.release(); }

    // Parses on from where the last call stopped, until the document ends (`ok`) or the
    // tape holds `limit` entries (`more`; a step may add one more).
    Outcome run(Tape& tape, std::size_t limit) noexcept
    {
        tape_ = &tape;
        limit_ = limit;
        if (!tape.reserve(limit + 1)) {
            return Outcome::no_memory;
        }
        if (!started_) {
            started_ = true;
            skip_space();
        }
        while (tape.size() < limit) {
            if (expect_value_) {
                if (!value()) {
                    return fail();
                }
                continue;
            }
            // After a value: close containers or move to the next element.
            skip_space();
            if (depth_ == 0) {
                return i_ == n_ ? Outcome::ok : fail();
            }
            if (i_ >= n_) {
                return fail();
            }
            const std::uint32_t d = s_[i_];
            const bool in_object = open_[depth_ - 1];
            if (d == (in_object ? '}' : ']')) {
                ++i_;
                --depth_;
                if (!emit(entry(Tag::end))) {
                    return fail();
                }
                continue;
            }
            if (d != ',') {
                return fail();
            }
            ++i_;
            skip_space();
            if (in_object && !member_key()) {
                return fail();
            }
            expect_value_ = true;
        }
        return Outcome::more;
    }

private:
    [[gnu::always_inline]] bool emit(const Entry& item) noexcept
    {
        if (!tape_->push(item)) [[unlikely]] {
            out_of_memory_ = true;
            return false;
        }
        return true;
    }

    [[gnu::always_inline]] void skip_space() noexcept
    {
        std::size_t i = i_;
        // Anything above the blank ends the run at once, which is the common case.
        while (i < n_ && s_[i] <= ' ' && is_space(s_[i])) {
            ++i;
        }
        i_ = i;
    }

    Outcome fail() const noexcept { return out_of_memory_ ? Outcome::no_memory : Outcome::fallback; }

    static bool plain_character(Unit c) noexcept
    {
        if constexpr (S::utf8) {
            return plain_utf8.plain[c];
        } else if constexpr (sizeof(Unit) == 1) {
            return plain_latin1.plain[c];
        } else {
            return c >= 256 || plain_latin1.plain[c];
        }
    }

    // One value starting at i_: a scalar whole, or a container's opening (with its end
    // too when it is empty, and its first key when it is an object).
    bool value() noexcept
    {
        if (i_ >= n_) {
            return false;
        }
        const std::uint32_t c = s_[i_];
        if (c == '{' || c == '[') {
            if (depth_ >= max_depth_) {
                return false;
            }
            const bool is_object = c == '{';
            open_[depth_++] = is_object;
            if (!emit(entry(is_object ? Tag::object : Tag::array))) {
                return false;
            }
            ++i_;
            skip_space();
            if (i_ < n_ && s_[i_] == (is_object ? '}' : ']')) {
                ++i_;
                --depth_;
                expect_value_ = false;
                return emit(entry(Tag::end));
            }
            return !is_object || member_key();
        }
        expect_value_ = false;
        switch (c) {
        case '"':
            return string(Tag::string);
        case '-': case '0': case '1': case '2': case '3': case '4': case '5': case '6': case '7': case '8':
        case '9':
            return depth_ > 0 && !open_[depth_ - 1] ? numbers() : number();
        case 't':
            return literal("true", Tag::true_value);
        case 'f':
            return literal("false", Tag::false_value);
        case 'n':
            return literal("null", Tag::null_value);
        default:
            return false;
        }
    }

    // `"key" :` and the space after it.
    bool member_key() noexcept
    {
        if (i_ >= n_ || s_[i_] != '"' || !string(Tag::key)) {
            return false;
        }
        skip_space();
        if (i_ >= n_ || s_[i_] != ':') {
            return false;
        }
        ++i_;
        skip_space();
        return true;
    }

    bool literal(const char* word, Tag tag) noexcept
    {
        const std::size_t length = std::strlen(word);
        if (n_ - i_ < length) {
            return false;
        }
        for (std::size_t k = 0; k < length; ++k) {
            if (s_[i_ + k] != static_cast<unsigned char>(word[k])) {
                return false;
            }
        }
        i_ += length;
        return emit(entry(tag));
    }

    // One UTF-8 sequence starting at i_ (a lead byte >= 0x80), as the strict decoder
    // takes it; encoded surrogates are refused too (json.loads keeps them).
    bool utf8_sequence() noexcept
    {
        const unsigned char b0 = s_[i_];
        std::size_t need;
        unsigned char low = 0x80;
        unsigned char high = 0xbf;
        if (b0 >= 0xc2 && b0 <= 0xdf) {
            need = 1;
        } else if (b0 >= 0xe0 && b0 <= 0xef) {
            need = 2;
            if (b0 == 0xe0) {
                low = 0xa0;
            } else if (b0 == 0xed) {
                high = 0x9f;
            }
        } else if (b0 >= 0xf0 && b0 <= 0xf4) {
            need = 3;
            if (b0 == 0xf0) {
                low = 0x90;
            } else if (b0 == 0xf4) {
                high = 0x8f;
            }
        } else {
            return false;
        }
        if (n_ - i_ <= need) {
            return false;
        }
        const unsigned char b1 = s_[i_ + 1];
        if (b1 < low || b1 > high) {
            return false;
        }
        for (std::size_t k = 2; k <= need; ++k) {
            const unsigned char b = s_[i_ + k];
            if (b < 0x80 || b > 0xbf) {
                return false;
            }
        }
        i_ += need + 1;
        return true;
    }

    bool string(Tag tag) noexcept
    {
        const std::size_t start = ++i_;
        bool escaped = false;
        for (;;) {
            // The plain characters first, with the position kept in a register.
            {
                const Unit* const s = s_;
                const std::size_t n = n_;
                std::size_t i = i_;
                while (i < n && plain_character(s[i])) {
                    ++i;
                }
                i_ = i;
            }
            if (i_ >= n_) {
                return false;
            }
            const std::uint32_t c = s_[i_];
            if (c == '"') {
                break;
            }
            if (c < 0x20) {
                return false;
            }
            if (c == '\\') {
                escaped = true;
                if (n_ - i_ < 2) {
                    return false;
                }
                const std::uint32_t e = s_[i_ + 1];
                if (e == 'u') {
                    if (n_ - i_ < 6) {
                        return false;
                    }
                    for (std::size_t k = 2; k < 6; ++k) {
                        if (hex_value(s_[i_ + k]) < 0) {
                            return false;
                        }
                    }
                    i_ += 6;
                } else if (e == '"' || e == '\\' || e == '/' || e == 'b' || e == 'f' || e == 'n' ||
                           e == 'r' || e == 't') {
                    i_ += 2;
                } else {
                    return false;
                }
                continue;
            }
            if constexpr (S::utf8) {
                if (c >= 0x80) {
                    if (!utf8_sequence()) {
                        return false;
                    }
                    continue;
                }
            }
            ++i_;
        }
        const std::size_t length = i_ - start;
        ++i_;
        return emit(entry(tag, start, length, escaped));
    }

    // Digits from `i` on, folded into `value` while it stays exact; returns how many.
    std::size_t digits(std::size_t& i, std::uint64_t& value, std::size_t& folded) const noexcept
    {
        const Unit* const s = s_;
        const std::size_t n = n_;
        const std::size_t first = i;
        std::size_t k = i;
        std::uint64_t v = value;
        std::size_t f = folded;
        if constexpr (sizeof(Unit) == 1 && std::endian::native == std::endian::little) {
            // A word at a time while the digits fit in the exact part; the loop below
            // takes the rest, near the end of the text or past nineteen digits.
            while (k + 8 <= n) {
                std::uint64_t x;
                std::memcpy(&x, s + k, sizeof x);
                const unsigned count = leading_digits(x);
                if (count == 0 || f + count > 19) {
                    break;
                }
                v = v * powers_of_ten[count] + leading_digits_value(x, count);
                f += count;
                k += count;
                if (count < 8) {
                    break;
                }
            }
        }
        while (k < n && s[k] >= '0' && s[k] <= '9') {
            if (f < 19) {
                v = v * 10 + static_cast<std::uint64_t>(s[k] - '0');
                ++f;
            } else {
                f = 20;  // too many for the quick conversion
            }
            ++k;
        }
        i = k;
        value = v;
        folded = f;
        return k - first;
    }

    // Numbers in an array, one after another with a comma and at most one space between
    // them as json.dumps writes them: the bulk of an embedding answer, parsed here without
    // going round the general loop. Anything else goes back to it.
    bool numbers() noexcept
    {
        for (;;) {
            if (!number()) {
                return false;
            }
            const std::size_t i = i_;
            if (tape_->size() >= limit_ || n_ - i < 3 || s_[i] != ',') {
                return true;
            }
            const std::size_t next = s_[i + 1] == ' ' ? i + 2 : i + 1;
            const std::uint32_t c = s_[next];
            if (!(c == '-' || (c >= '0' && c <= '9'))) {
                return true;
            }
            i_ = next;
        }
    }

    bool number() noexcept
    {
        // The position is a local until the end, which keeps it out of memory.
        const Unit* const s = s_;
        const std::size_t n = n_;
        const std::size_t start = i_;
        std::size_t i = start;
        const bool negative = s[i] == '-';
        if (negative) {
            ++i;
        }
        if (i >= n) {
            return false;
        }
        std::uint64_t mantissa = 0;
        std::size_t folded = 0;
        std::size_t int_digits;
        if (s[i] == '0') {
            ++i;
            int_digits = 1;
            folded = 1;
        } else if (s[i] >= '1' && s[i] <= '9') {
            int_digits = digits(i, mantissa, folded);
        } else {
            return false;  // -Infinity among others
        }
        bool is_real = false;
        std::size_t fraction_digits = 0;
        if (i < n && s[i] == '.') {
            ++i;
            fraction_digits = digits(i, mantissa, folded);
            if (fraction_digits == 0) {
                return false;
            }
            is_real = true;
        }
        long exponent = 0;
        if (i < n && (s[i] == 'e' || s[i] == 'E')) {
            ++i;
            bool negative_exponent = false;
            if (i < n && (s[i] == '+' || s[i] == '-')) {
                negative_exponent = s[i] == '-';
                ++i;
            }
            const std::size_t first = i;
            while (i < n && s[i] >= '0' && s[i] <= '9') {
                if (exponent < 100000) {
                    exponent = exponent * 10 + static_cast<long>(s[i] - '0');
                }
                ++i;
            }
            if (i == first) {
                return false;
            }
            if (negative_exponent) {
                exponent = -exponent;
            }
            is_real = true;
        }
        i_ = i;
        const std::size_t length = i_ - start;
        if (!is_real) {
            if (int_digits > 18) {
                return int_digits <= max_int_digits && emit(entry(Tag::big_int, start, length));
            }
            const auto value = static_cast<std::int64_t>(mantissa);
            return emit(entry(Tag::small_int, static_cast<std::uint64_t>(negative ? -value : value)));
        }
        // Both factors exact in a double: one correctly rounded operation is the answer.
        static constexpr double powers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                            1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                            1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
        const long scale = exponent - static_cast<long>(fraction_digits);
        if (folded <= 19 && mantissa <= (std::uint64_t{1} << 53) && scale >= -22 && scale <= 22) {
            double value = static_cast<double>(mantissa);
            value = scale >= 0 ? value * powers[scale] : value / powers[-scale];
            if (negative) {
                value = -value;
            }
            std::uint64_t bits;
            std::memcpy(&bits, &value, sizeof bits);
            return emit(entry(Tag::real, bits));
        }
#ifdef __SIZEOF_INT128__
        // Past the quick case the mantissa has more than 53 bits: the case of the
        // seventeen-digit fractions that repr() writes.
        if (folded <= 19 && scale >= -19 && scale <= 19) {
            double value = scaled_decimal(mantissa, scale);
            if (negative) {
                value = -value;
            }
            std::uint64_t bits;
            std::memcpy(&bits, &value, sizeof bits);
            return emit(entry(Tag::real, bits));
        }
#endif
        const char* first;
        if constexpr (sizeof(Unit) == 1) {
            first = reinterpret_cast<const char*>(s_ + start);
        } else {
            scratch_.clear();
            if (!scratch_.reserve(length)) {
                out_of_memory_ = true;
                return false;
            }
            for (std::size_t k = start; k < i_; ++k) {
                scratch_.push(static_cast<char>(s_[k]));
            }
            first = scratch_.data();
        }
        double value = 0;
        const auto [end, error] = std::from_chars(first, first + length, value);
        if (error == std::errc::result_out_of_range) {
            return emit(entry(Tag::slow_real, start, length));
        }
        if (error != std::errc() || end != first + length) {
            return false;
        }
        std::uint64_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        return emit(entry(Tag::real, bits));
    }

    const Unit* s_ = nullptr;
    std::size_t n_ = 0;
    std::size_t i_ = 0;
    int max_depth_ = 0;
    int depth_ = 0;
    bool started_ = false;
    bool expect_value_ = true;
    bool out_of_memory_ = false;
    Tape* tape_ = nullptr;
    std::size_t limit_ = 0;
    RawArray<char> scratch_;
    // Whether each open container is an object (`bool`, not a character type, which
    // the compiler would have to assume aliases everything).
    bool open_[fixed_max_depth + 1];
};

}  // namespace vmrt::json
