#include "json.hpp"

#include "calls.hpp"
#include "observed.hpp"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace vmrt {
namespace {

// ---- storage usable without the interpreter lock -----------------------------------

// A growable array of trivially copyable items on the raw allocator, which needs no lock
// and reports failure instead of throwing.
template <class T>
class RawArray {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    RawArray() noexcept = default;
    RawArray(const RawArray&) = delete;
    RawArray& operator=(const RawArray&) = delete;
    ~RawArray() { PyMem_RawFree(items_); }

    bool reserve(std::size_t capacity) noexcept
    {
        if (capacity <= capacity_) {
            return true;
        }
        if (capacity > PY_SSIZE_T_MAX / sizeof(T)) {
            return false;
        }
        void* grown = PyMem_RawRealloc(items_, capacity * sizeof(T));
        if (grown == nullptr) {
            return false;
        }
        items_ = static_cast<T*>(grown);
        capacity_ = capacity;
        return true;
    }
    bool push(const T& item) noexcept
    {
        if (size_ == capacity_ && !reserve(capacity_ < 64 ? 64 : capacity_ * 2)) {
            return false;
        }
        items_[size_++] = item;
        return true;
    }
    T* data() noexcept { return items_; }
    const T* data() const noexcept { return items_; }
    std::size_t size() const noexcept { return size_; }
    void clear() noexcept { size_ = 0; }
    void release() noexcept
    {
        PyMem_RawFree(std::exchange(items_, nullptr));
        size_ = capacity_ = 0;
    }

private:
    T* items_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// ---- the tape: the document, validated, in a compact form ---------------------------

enum class Tag : std::uint8_t {
    object,       // opens a dict
    array,        // opens a list
    end,          // closes the innermost container
    key,          // a dict key: offset and length in the source
    string,       // a string value: offset and length in the source
    small_int,    // payload: the value
    big_int,      // at most the digit limit's minimum; offset and length
    real,         // payload: the double's bits
    slow_real,    // out of range for the lock-free conversion; offset and length
    true_value,
    false_value,
    null_value,
};

// The fields are `unsigned long long`, a type distinct from the parser's `size_t`
// positions, so that the compiler need not assume a new entry overwrote them.
struct Entry {
    unsigned long long head;     // tag, escape flag, length
    unsigned long long payload;  // offset, value or bits

    Tag tag() const noexcept { return static_cast<Tag>(head & 0xff); }
    bool escaped() const noexcept { return (head >> 8) & 1; }
    std::size_t length() const noexcept { return static_cast<std::size_t>(head >> 16); }
};

Entry entry(Tag tag, unsigned long long payload = 0, std::size_t length = 0, bool escaped = false) noexcept
{
    return {static_cast<unsigned long long>(tag) | (static_cast<unsigned long long>(escaped) << 8) |
                (static_cast<unsigned long long>(length) << 16),
            payload};
}

enum class Outcome { ok, more, fallback, no_memory };

// The interpreter's smallest settable limit on integer string digits; longer runs go to
// json.loads, which applies whatever limit is in force.
constexpr std::size_t max_int_digits = 640;
// Nesting beyond this goes to json.loads, whatever the recursion budget.
constexpr int fixed_max_depth = 500;

// Source text: the code units of a str of one kind, or the bytes of UTF-8.
template <class Unit, bool Utf8>
struct Source {
    using unit = Unit;
    static constexpr bool utf8 = Utf8;
};
using Latin1Source = Source<Py_UCS1, false>;
using Ucs2Source = Source<Py_UCS2, false>;
using Ucs4Source = Source<Py_UCS4, false>;
using Utf8Source = Source<unsigned char, true>;

int hex_value(std::uint32_t c) noexcept
{
    if (c >= '0' && c <= '9') {
        return static_cast<int>(c - '0');
    }
    if (c >= 'a' && c <= 'f') {
        return static_cast<int>(c - 'a' + 10);
    }
    if (c >= 'A' && c <= 'F') {
        return static_cast<int>(c - 'A' + 10);
    }
    return -1;
}

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

bool is_space(std::uint32_t c) noexcept
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// The tape holds a part of the document at a time, sized to a fraction of what has been
// built so far: the working memory stays a small part of the result's own, whatever the
// document's shape (a long run of one repeated key builds almost nothing).
constexpr std::size_t min_chunk_entries = 64;
constexpr std::size_t max_chunk_entries = 64 * 1024;
constexpr std::size_t tape_fraction = 16;  // the tape's bytes are at most 1/16 of those built
// Parts at least this long of answers of at least json_unlocked_parse_bytes are parsed
// with the interpreter lock released; shorter ones cost more to hand over than to parse.
constexpr std::size_t unlocked_chunk_entries = 512;

// The part of the document between the parser and the builder. The first entries are
// part of the fixed state, which covers small answers; more come from the raw allocator.
class Tape {
public:
    Tape() noexcept = default;
    Tape(const Tape&) = delete;
    Tape& operator=(const Tape&) = delete;
    ~Tape() { release(); }

    bool reserve(std::size_t capacity) noexcept
    {
        if (capacity <= capacity_) {
            return true;
        }
        if (capacity > 0xffffffffu) {
            return false;
        }
        void* grown = items_ == fixed_ ? PyMem_RawMalloc(capacity * sizeof(Entry))
                                       : PyMem_RawRealloc(items_, capacity * sizeof(Entry));
        if (grown == nullptr) {
            return false;
        }
        if (items_ == fixed_) {
            std::memcpy(grown, fixed_, size_ * sizeof(Entry));
        }
        items_ = static_cast<Entry*>(grown);
        capacity_ = static_cast<std::uint32_t>(capacity);
        return true;
    }
    [[gnu::always_inline]] bool push(const Entry& item) noexcept
    {
        if (size_ == capacity_ && !reserve(capacity_ * 2)) [[unlikely]] {
            return false;
        }
        items_[size_++] = item;
        return true;
    }
    const Entry* data() const noexcept { return items_; }
    std::size_t size() const noexcept { return size_; }
    void clear() noexcept { size_ = 0; }
    void release() noexcept
    {
        if (items_ != fixed_) {
            PyMem_RawFree(items_);
        }
        items_ = fixed_;
        size_ = 0;
        capacity_ = fixed_entries;
    }

private:
    static constexpr std::uint32_t fixed_entries = min_chunk_entries + 2;
    Entry fixed_[fixed_entries];
    Entry* items_ = fixed_;
    // Counts of a type other than the parser's positions, which a write here then
    // cannot be taken to change; a part is far shorter than 2**32 entries.
    std::uint32_t size_ = 0;
    std::uint32_t capacity_ = fixed_entries;
};

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
            return number();
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
    RawArray<char> scratch_;
    // Whether each open container is an object (`bool`, not a character type, which
    // the compiler would have to assume aliases everything).
    bool open_[fixed_max_depth + 1];
};

// ---- building the objects, with the lock held ---------------------------------------

// Escape-free keys already made in this document, by their source text, so that a
// repeated key costs no new string; the memo dict stays the authority on sharing.
class KeyCache {
public:
    PyObject* find(const void* text, std::size_t bytes, std::uint64_t hash) const noexcept
    {
        for (std::size_t k = 0, slot = hash & mask; k < slots; ++k, slot = (slot + 1) & mask) {
            const Item& item = items_[slot];
            if (item.key == nullptr) {
                return nullptr;
            }
            if (item.hash == hash && item.bytes == bytes && std::memcmp(item.text, text, bytes) == 0) {
                return item.key;
            }
        }
        return nullptr;
    }
    void add(const void* text, std::size_t bytes, std::uint64_t hash, PyObject* key) noexcept
    {
        if (used_ * 2 >= slots) {
            return;  // full enough; further keys simply go through the memo
        }
        std::size_t slot = hash & mask;
        while (items_[slot].key != nullptr) {
            slot = (slot + 1) & mask;
        }
        items_[slot] = {text, bytes, hash, key};
        taken_[used_++] = static_cast<unsigned char>(slot);
    }
    void clear() noexcept
    {
        for (std::size_t k = 0; k < used_; ++k) {
            items_[taken_[k]].key = nullptr;
        }
        used_ = 0;
    }
    static std::uint64_t hash_of(const void* text, std::size_t bytes) noexcept
    {
        std::uint64_t hash = 14695981039346656037ull;
        const auto* p = static_cast<const unsigned char*>(text);
        for (std::size_t k = 0; k < bytes; ++k) {
            hash = (hash ^ p[k]) * 1099511628211ull;
        }
        return hash ^ (hash >> 29);
    }

private:
    static constexpr std::size_t slots = 64;
    static constexpr std::size_t mask = slots - 1;
    struct Item {
        const void* text;
        std::size_t bytes;
        std::uint64_t hash;
        PyObject* key;  // borrowed from the memo
    };
    Item items_[slots] = {};
    unsigned char taken_[slots / 2];  // the slots in use, to clear them alone
    std::size_t used_ = 0;
};

template <class S>
class Builder {
    using Unit = typename S::unit;

public:
    Builder() noexcept = default;
    Builder(const Builder&) = delete;
    Builder& operator=(const Builder&) = delete;
    ~Builder() { finish(); }

    void start(PyObject* source, const Unit* text) noexcept
    {
        source_ = source;
        s_ = text;
    }
    // Lets go of everything the document left here, for the next one.
    void finish() noexcept
    {
        // The open containers and their pending keys are the builder's own references.
        for (int k = 0; k < depth_; ++k) {
            Py_XDECREF(frames_[k].container);
            Py_XDECREF(frames_[k].key);
        }
        depth_ = 0;
        made_ = 0;
        result_.reset();
        memo_.reset();
        keys_.clear();
        chars_.release();
        digits_.release();
    }

    enum class Fed { more, value, error };

    // Builds from the entries at `at` on, up to `last` or to the end of the value that
    // brings the depth back to zero (`value`, then taken with `take`); `at` is left after
    // the last entry used. A value may span several calls.
    Fed feed(const Entry*& at, const Entry* const last) noexcept
    {
        const Entry* item = at;
        Fed fed = Fed::more;
        for (; item != last; ++item) {
            Ref value;
            switch (item->tag()) {
            case Tag::object:
            case Tag::array: {
                Ref container = Ref::steal(item->tag() == Tag::object ? PyDict_New() : PyList_New(0));
                if (!container) {
                    return Fed::error;
                }
                made_ += container_bytes;
                frames_[depth_++] = {container.release(), nullptr};
                continue;
            }
            case Tag::end:
                --depth_;
                value = Ref::steal(std::exchange(frames_[depth_].container, nullptr));
                break;
            case Tag::key: {
                Ref key = Ref::steal(make_key(*item));
                if (!key) {
                    return Fed::error;
                }
                frames_[depth_ - 1].key = key.release();
                continue;
            }
            case Tag::string:
                value = make_string(*item);
                made_ += object_bytes + item->length() * sizeof(Unit);
                break;
            case Tag::small_int:
                value = small_int(static_cast<long long>(item->payload));
                break;
            case Tag::big_int:
                value = big_int(*item);
                made_ += object_bytes + item->length() / 2;
                break;
            case Tag::real: {
                double real;
                std::memcpy(&real, &item->payload, sizeof real);
                value = Ref::steal(PyFloat_FromDouble(real));
                made_ += object_bytes;
                break;
            }
            case Tag::slow_real:
                value = slow_real(*item);
                made_ += object_bytes;
                break;
            case Tag::true_value:
                value = Ref::borrow(Py_True);
                break;
            case Tag::false_value:
                value = Ref::borrow(Py_False);
                break;
            case Tag::null_value:
                value = Ref::borrow(Py_None);
                break;
            }
            if (!value) {
                return Fed::error;
            }
            if (depth_ == 0) {
                result_ = std::move(value);
                ++item;
                fed = Fed::value;
                break;
            }
            Frame& top = frames_[depth_ - 1];
            if (top.key != nullptr) {
                const Ref key = Ref::steal(std::exchange(top.key, nullptr));
                const Py_ssize_t size = PyDict_GET_SIZE(top.container);
                if (PyDict_SetItem(top.container, key.get(), value.get()) < 0) {
                    return Fed::error;
                }
                if (PyDict_GET_SIZE(top.container) != size) {
                    made_ += slot_bytes * 3;
                }
            } else {
                if (PyList_Append(top.container, value.get()) < 0) {
                    return Fed::error;
                }
                made_ += slot_bytes;
            }
        }
        at = item;
        return fed;
    }

    Ref take() noexcept { return std::move(result_); }

    // A rough count of the bytes of the objects made so far, which bounds the tape.
    std::size_t made() const noexcept { return made_; }
    void add_made(std::size_t bytes) noexcept { made_ += bytes; }

    // Whether a key is exactly this ASCII text, escapes aside (an escaped key is not).
    bool key_is(const Entry& item, const char* ascii, std::size_t length) const noexcept
    {
        if (item.escaped() || item.length() != length) {
            return false;
        }
        if constexpr (sizeof(Unit) == 1) {
            return std::memcmp(s_ + item.payload, ascii, length) == 0;
        }
        for (std::size_t k = 0; k < length; ++k) {
            if (s_[item.payload + k] != static_cast<unsigned char>(ascii[k])) {
                return false;
            }
        }
        return true;
    }

private:
    // The text between the quotes with its escapes resolved, as the stdlib scanner joins
    // surrogate pairs: a high surrogate escape directly followed by a low one.
    Ref unescaped(const Entry& item) noexcept
    {
        const std::size_t start = static_cast<std::size_t>(item.payload);
        const std::size_t end = start + item.length();
        if (!chars_.reserve(item.length())) {
            PyErr_NoMemory();
            return {};
        }
        chars_.clear();
        for (std::size_t i = start; i < end;) {
            std::uint32_t c = s_[i];
            if (c == '\\') {
                const std::uint32_t e = s_[i + 1];
                if (e == 'u') {
                    c = hex4(i + 2);
                    i += 6;
                    if (c >= 0xd800 && c <= 0xdbff && end - i >= 6 && s_[i] == '\\' && s_[i + 1] == 'u') {
                        const std::uint32_t c2 = hex4(i + 2);
                        if (c2 >= 0xdc00 && c2 <= 0xdfff) {
                            c = 0x10000 + ((c - 0xd800) << 10) + (c2 - 0xdc00);
                            i += 6;
                        }
                    }
                } else {
                    c = e == 'b' ? '\b' : e == 'f' ? '\f' : e == 'n' ? '\n' : e == 'r' ? '\r' : e == 't' ? '\t' : e;
                    i += 2;
                }
            } else if constexpr (S::utf8) {
                if (c >= 0x80) {
                    if (c < 0xe0) {
                        c = ((c & 0x1f) << 6) | (s_[i + 1] & 0x3f);
                        i += 2;
                    } else if (c < 0xf0) {
                        c = ((c & 0x0f) << 12) | ((s_[i + 1] & 0x3f) << 6) | (s_[i + 2] & 0x3f);
                        i += 3;
                    } else {
                        c = ((c & 0x07) << 18) | ((s_[i + 1] & 0x3f) << 12) | ((s_[i + 2] & 0x3f) << 6) |
                            (s_[i + 3] & 0x3f);
                        i += 4;
                    }
                } else {
                    ++i;
                }
            } else {
                ++i;
            }
            chars_.push(c);  // capacity reserved above: the text is never shorter
        }
        return Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, chars_.data(),
                                                    static_cast<Py_ssize_t>(chars_.size())));
    }

    std::uint32_t hex4(std::size_t at) const noexcept
    {
        std::uint32_t c = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            c = (c << 4) | static_cast<std::uint32_t>(hex_value(s_[at + k]));
        }
        return c;
    }

    Ref make_string(const Entry& item) noexcept
    {
        if (item.escaped()) {
            return unescaped(item);
        }
        const auto start = static_cast<Py_ssize_t>(item.payload);
        const auto length = static_cast<Py_ssize_t>(item.length());
        if constexpr (S::utf8) {
            return Ref::steal(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(s_) + start, length, nullptr));
        } else {
            return Ref::steal(PyUnicode_Substring(source_, start, start + length));
        }
    }

    // A new reference to the memo's key object.
    PyObject* make_key(const Entry& item) noexcept
    {
        const void* text = s_ + item.payload;
        const std::size_t bytes = item.length() * sizeof(Unit);
        std::uint64_t hash = 0;
        if (!item.escaped()) {
            hash = KeyCache::hash_of(text, bytes);
            if (PyObject* known = keys_.find(text, bytes, hash)) {
                return Py_NewRef(known);
            }
        }
        if (!memo_) {
            memo_ = Ref::steal(PyDict_New());
            if (!memo_) {
                return nullptr;
            }
        }
        Ref key = make_string(item);
        if (!key) {
            return nullptr;
        }
        PyObject* shared = PyDict_SetDefault(memo_.get(), key.get(), key.get());
        if (shared == nullptr) {
            return nullptr;
        }
        if (!item.escaped()) {
            keys_.add(text, bytes, hash, shared);
        }
        if (shared == key.get()) {
            made_ += object_bytes + bytes + slot_bytes * 3;
        }
        return Py_NewRef(shared);
    }

    // An int as json.loads makes it: one that fits a digit takes the allocation of one
    // digit, as the string conversion gives it, not the interpreter's rounded-up size
    // for such values, so that memory accounting sees the same objects.
    Ref small_int(long long number) noexcept
    {
        if (number <= 256 || number > static_cast<long long>(PyLong_MASK)) {
            if (number < -5 || number > 256) {
                made_ += object_bytes;
            }
            return Ref::steal(PyLong_FromLongLong(number));
        }
        made_ += object_bytes;
        PyLongObject* made = _PyLong_New(1);
        if (made == nullptr) {
            return {};
        }
        made->long_value.ob_digit[0] = static_cast<digit>(number);
        return Ref::steal(reinterpret_cast<PyObject*>(made));
    }

    // A NUL-terminated copy of a number's text, for the interpreter's own conversions.
    const char* number_text(const Entry& item) noexcept
    {
        digits_.clear();
        if (!digits_.reserve(item.length() + 1)) {
            PyErr_NoMemory();
            return nullptr;
        }
        for (std::size_t k = 0; k < item.length(); ++k) {
            digits_.push(static_cast<char>(s_[item.payload + k]));
        }
        digits_.push('\0');
        return digits_.data();
    }

    Ref big_int(const Entry& item) noexcept
    {
        const char* text = number_text(item);
        return text ? Ref::steal(PyLong_FromString(text, nullptr, 10)) : Ref();
    }

    Ref slow_real(const Entry& item) noexcept
    {
        const char* text = number_text(item);
        if (text == nullptr) {
            return {};
        }
        const double value = PyOS_string_to_double(text, nullptr, nullptr);
        if (value == -1.0 && PyErr_Occurred()) {
            return {};
        }
        return Ref::steal(PyFloat_FromDouble(value));
    }

    // An open container and, in a dict, the key whose value comes next. Plain pointers
    // (released by the destructor, for the open frames only): the array is sized for the
    // deepest document, and owning references there would cost a pass over all of it on
    // every decode.
    struct Frame {
        PyObject* container;
        PyObject* key;
    };

    static constexpr std::size_t object_bytes = 32;
    static constexpr std::size_t container_bytes = 64;
    static constexpr std::size_t slot_bytes = 8;

    PyObject* source_ = nullptr;
    const Unit* s_ = nullptr;
    Frame frames_[fixed_max_depth + 1];
    int depth_ = 0;
    std::size_t made_ = 0;
    Ref result_;
    Ref memo_;
    KeyCache keys_;
    RawArray<std::uint32_t> chars_;
    RawArray<char> digits_;
};

constexpr std::size_t max_record_fields = 8;

// One document being decoded: the parser and the builder take turns over the tape.
template <class S>
class Decoding {
    using Unit = typename S::unit;

public:
    void start(PyObject* source, const Unit* text, std::size_t length, int max_depth) noexcept
    {
        source_ = source;
        parser_.start(text, length, max_depth);
        builder_.start(source, text);
        unlocked_ = length * sizeof(Unit) >= json_unlocked_parse_bytes;
        released_ = false;
    }
    // Drops whatever the document left behind; only the fixed-size state stays.
    void finish() noexcept
    {
        parser_.finish();
        builder_.finish();
        tape_.release();
    }

    // The whole document, built: empty with no error set when it must go to json.loads.
    Ref build() noexcept
    {
        for (;;) {
            const Outcome outcome = next();
            if (outcome == Outcome::fallback || outcome == Outcome::no_memory) {
                return {};
            }
            const Entry* item = tape_.data();
            const Entry* const last = item + tape_.size();
            while (item != last) {
                if (builder_.feed(item, last) == Builder<S>::Fed::error) {
                    return {};
                }
            }
            if (outcome == Outcome::ok) {
                return builder_.take();
            }
        }
    }

    enum class Walk { made, error, fallback, general };

    // The records of `request` straight from the document, without the dicts that no one
    // else would see. `general` when the document is not of the usual shape, or the
    // records could not be made without running Python code: then nothing made here
    // counts, and the document is built as json.loads builds it.
    Walk records(const RecordRequest& request, Ref& out) noexcept
    {
        const std::size_t count = request.field_count;
        if (count > max_record_fields || !request.ready(request.context)) {
            return Walk::general;
        }
        const bool single = request.list_key == nullptr;
        std::size_t field_lengths[max_record_fields];
        for (std::size_t f = 0; f < count; ++f) {
            field_lengths[f] = std::strlen(request.field_keys[f]);
        }
        const std::size_t list_key_length = single ? 0 : std::strlen(request.list_key);
        enum class At { start, top_key, list, element, field_key, field_value, skip, done };
        At at = At::start;
        At after_skip = At::start;
        std::size_t skip_depth = 0;
        std::size_t field = 0;
        Ref fields[max_record_fields];
        Ref results;  // the records of the last array under the list key
        for (;;) {
            const Outcome outcome = next();
            if (outcome == Outcome::no_memory) {
                return Walk::error;
            }
            if (outcome == Outcome::fallback) {
                return Walk::fallback;
            }
            // Other threads ran meanwhile: the record class may have changed.
            if (released_ && !request.ready(request.context)) {
                return Walk::general;
            }
            const Entry* item = tape_.data();
            const Entry* const last = item + tape_.size();
            while (item != last) {
                switch (at) {
                case At::start:
                    if (item->tag() != Tag::object) {
                        return Walk::general;
                    }
                    ++item;
                    at = single ? At::field_key : At::top_key;
                    break;
                case At::top_key:
                    if (item->tag() == Tag::end) {
                        ++item;
                        at = At::done;
                        break;
                    }
                    // An escaped key might name the list too; a dict keeps the last one.
                    if (item->escaped()) {
                        return Walk::general;
                    }
                    if (builder_.key_is(*item, request.list_key, list_key_length)) {
                        at = At::list;
                    } else {
                        at = At::skip;
                        after_skip = At::top_key;
                    }
                    ++item;
                    break;
                case At::list:
                    if (item->tag() != Tag::array) {
                        return Walk::general;
                    }
                    results = Ref::steal(PyList_New(0));
                    if (!results) {
                        return Walk::error;
                    }
                    ++item;
                    at = At::element;
                    break;
                case At::element:
                    if (item->tag() == Tag::end) {
                        ++item;
                        at = At::top_key;
                        break;
                    }
                    if (item->tag() != Tag::object) {
                        return Walk::general;
                    }
                    ++item;
                    at = At::field_key;
                    break;
                case At::field_key: {
                    if (item->tag() != Tag::end) {
                        if (item->escaped()) {
                            return Walk::general;
                        }
                        field = count;
                        for (std::size_t f = 0; f < count; ++f) {
                            if (builder_.key_is(*item, request.field_keys[f], field_lengths[f])) {
                                field = f;
                                break;
                            }
                        }
                        at = field < count ? At::field_value : At::skip;
                        after_skip = At::field_key;
                        ++item;
                        break;
                    }
                    ++item;
                    PyObject* objects[max_record_fields];
                    for (std::size_t f = 0; f < count; ++f) {
                        if (!fields[f] && f < request.required) {
                            return Walk::general;
                        }
                        objects[f] = fields[f] ? fields[f].get() : Py_None;
                    }
                    Ref record = request.make(request.context, objects);
                    for (Ref& value : fields) {
                        value.reset();
                    }
                    if (!record) {
                        return Walk::error;
                    }
                    builder_.add_made(record_bytes);
                    if (single) {
                        results = std::move(record);
                        at = At::done;
                    } else {
                        if (PyList_Append(results.get(), record.get()) < 0) {
                            return Walk::error;
                        }
                        at = At::element;
                    }
                    break;
                }
                case At::field_value: {
                    const auto fed = builder_.feed(item, last);
                    if (fed == Builder<S>::Fed::error) {
                        return Walk::error;
                    }
                    if (fed == Builder<S>::Fed::value) {
                        fields[field] = builder_.take();  // the last one, as a dict keeps it
                        at = At::field_key;
                    }
                    break;
                }
                case At::skip: {
                    const Tag tag = item->tag();
                    ++item;
                    if (tag == Tag::object || tag == Tag::array) {
                        ++skip_depth;
                    } else if (tag == Tag::end) {
                        --skip_depth;
                    }
                    if (skip_depth == 0) {
                        at = after_skip;
                    }
                    break;
                }
                case At::done:
                    ++item;  // nothing follows the document's end
                    break;
                }
            }
            if (outcome == Outcome::ok) {
                if (at != At::done || !results) {
                    return Walk::general;
                }
                out = std::move(results);
                return Walk::made;
            }
        }
    }

private:
    // The next part of the document on the tape.
    Outcome next() noexcept
    {
        tape_.clear();
        std::size_t limit = builder_.made() / (tape_fraction * sizeof(Entry));
        limit = limit < min_chunk_entries ? min_chunk_entries : limit > max_chunk_entries ? max_chunk_entries : limit;
        Outcome outcome;
        released_ = unlocked_ && limit >= unlocked_chunk_entries;
        if (released_) {
            Py_BEGIN_ALLOW_THREADS
            outcome = parser_.run(tape_, limit);
            Py_END_ALLOW_THREADS
        } else {
            outcome = parser_.run(tape_, limit);
        }
        if (outcome == Outcome::no_memory) {
            PyErr_NoMemory();
            return outcome;
        }
        // A signal that arrived, or, after the lock was released, a tracer, a profiler,
        // monitoring or a changed json module, is for json.loads itself to meet.
        if (outcome != Outcome::fallback && !json_decode_still_unobserved(source_, released_)) {
            return Outcome::fallback;
        }
        return outcome;
    }

    static constexpr std::size_t record_bytes = 160;

    Parser<S> parser_;
    Builder<S> builder_;
    Tape tape_;
    PyObject* source_ = nullptr;  // the document's str or bytes, which the caller holds
    bool unlocked_ = false;
    bool released_ = false;
};

// One decoding's state kept for the next, as it is large enough for its allocation and
// set-up to count on small answers. Taken and given back with the interpreter lock
// held; a decode that finds it taken (another thread's, or a nested one) makes its own.
template <class S>
Decoding<S>* spare_decoding = nullptr;

template <class S>
Ref decode(PyObject* source, const typename S::unit* text, std::size_t length, int max_depth,
           const RecordRequest* request, bool& made_records) noexcept
{
    // On the heap: records made from inside may call back into Python, and on to another
    // decode, so each level must take little of the C stack.
    struct Owned {
        Decoding<S>* state = nullptr;
        ~Owned()
        {
            if (state != nullptr) {
                state->finish();
                if (spare_decoding<S> == nullptr) {
                    spare_decoding<S> = state;
                } else {
                    delete state;
                }
            }
        }
    } owned{std::exchange(spare_decoding<S>, nullptr)};
    if (owned.state == nullptr) {
        owned.state = new (std::nothrow) Decoding<S>();
        if (owned.state == nullptr) {
            PyErr_NoMemory();
            return {};
        }
    }
    owned.state->start(source, text, length, max_depth);
    if (request != nullptr) {
        Ref records;
        switch (owned.state->records(*request, records)) {
        case Decoding<S>::Walk::made:
            made_records = true;
            return records;
        case Decoding<S>::Walk::error:
        case Decoding<S>::Walk::fallback:
            return {};
        case Decoding<S>::Walk::general:
            // Once more from the start; whatever was made is dropped unseen.
            records.reset();
            owned.state->finish();
            owned.state->start(source, text, length, max_depth);
            break;
        }
    }
    return owned.state->build();
}

}  // namespace

namespace {

Ref decode_text(PyObject* text, int max_depth, const RecordRequest* request, bool& made_records) noexcept
{
    if (max_depth > fixed_max_depth) {
        max_depth = fixed_max_depth;
    }
    if (PyUnicode_CheckExact(text)) {
        const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
        switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            return decode<Latin1Source>(text, PyUnicode_1BYTE_DATA(text), length, max_depth, request, made_records);
        case PyUnicode_2BYTE_KIND:
            return decode<Ucs2Source>(text, PyUnicode_2BYTE_DATA(text), length, max_depth, request, made_records);
        default:
            return decode<Ucs4Source>(text, PyUnicode_4BYTE_DATA(text), length, max_depth, request, made_records);
        }
    }
    if (PyBytes_CheckExact(text)) {
        const auto* data = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(text));
        const auto length = static_cast<std::size_t>(PyBytes_GET_SIZE(text));
        // Byte order marks and the zero bytes of UTF-16 and UTF-32 pick another codec.
        if ((length >= 2 && (data[0] == 0 || data[1] == 0)) ||
            (length >= 3 && data[0] == 0xef && data[1] == 0xbb && data[2] == 0xbf)) {
            return {};
        }
        return decode<Utf8Source>(text, data, length, max_depth, request, made_records);
    }
    return {};
}

}  // namespace

Ref json_decode_native(PyObject* text, int max_depth) noexcept
{
    bool made_records = false;
    return decode_text(text, max_depth, nullptr, made_records);
}

namespace {

// ---- the encoder --------------------------------------------------------------------

constexpr char hex_digits[] = "0123456789abcdef";

// Characters of the ASCII escape of `c`, as the stdlib's C encoder writes it.
constexpr Py_ssize_t escaped_size(Py_UCS4 c) noexcept
{
    if (c >= ' ' && c <= '~' && c != '\\' && c != '"') {
        return 1;
    }
    switch (c) {
    case '\\': case '"': case '\b': case '\f': case '\n': case '\r': case '\t':
        return 2;
    default:
        return c >= 0x10000 ? 12 : 6;
    }
}

Py_UCS1* write_u(Py_UCS1* out, Py_UCS4 c) noexcept
{
    *out++ = '\\';
    *out++ = 'u';
    *out++ = hex_digits[(c >> 12) & 0xf];
    *out++ = hex_digits[(c >> 8) & 0xf];
    *out++ = hex_digits[(c >> 4) & 0xf];
    *out++ = hex_digits[c & 0xf];
    return out;
}

// The escaped size of each of the first 256 characters.
struct EscapedSizes {
    unsigned char size[256];
    constexpr EscapedSizes() noexcept : size()
    {
        for (unsigned c = 0; c < 256; ++c) {
            size[c] = static_cast<unsigned char>(escaped_size(c));
        }
    }
};
constexpr EscapedSizes latin1_sizes;

// Whether any of eight one-byte characters needs an escape: a control character, a
// quote, a backslash, or anything from DEL on.
bool any_escaped(const Py_UCS1* s) noexcept
{
    constexpr std::uint64_t ones = 0x0101010101010101ull;
    constexpr std::uint64_t highs = 0x8080808080808080ull;
    std::uint64_t x;
    std::memcpy(&x, s, sizeof x);
    const std::uint64_t quote = x ^ (ones * '"');
    const std::uint64_t backslash = x ^ (ones * '\\');
    return ((((x - ones * 0x20) & ~x) | ((quote - ones) & ~quote) | ((backslash - ones) & ~backslash) |
             x | (x + ones)) &
            highs) != 0;
}

// The same for four two-byte characters.
bool any_escaped(const Py_UCS2* s) noexcept
{
    constexpr std::uint64_t ones = 0x0001000100010001ull;
    constexpr std::uint64_t highs = 0x8000800080008000ull;
    constexpr std::uint64_t from_del = 0xff80ff80ff80ff80ull;
    std::uint64_t x;
    std::memcpy(&x, s, sizeof x);
    const std::uint64_t quote = x ^ (ones * '"');
    const std::uint64_t backslash = x ^ (ones * '\\');
    return ((((x - ones * 0x20) & ~x) | ((quote - ones) & ~quote) | ((backslash - ones) & ~backslash)) & highs) !=
               0 ||
           ((x | (x + ones)) & from_del) != 0;
}

template <class Unit>
Py_ssize_t string_size(const Unit* s, Py_ssize_t n) noexcept
{
    Py_ssize_t size = 2;
    Py_ssize_t i = 0;
    if constexpr (sizeof(Unit) == 1) {
        // Eight characters at a time while none needs an escape.
        size += n;
        for (; i + 8 <= n; i += 8) {
            if (any_escaped(s + i)) {
                for (Py_ssize_t k = i; k < i + 8; ++k) {
                    size += latin1_sizes.size[s[k]] - 1;
                }
            }
        }
        for (; i < n; ++i) {
            size += latin1_sizes.size[s[i]] - 1;
        }
        return size;
    }
    if constexpr (sizeof(Unit) == 2) {
        // Mostly ASCII text in a two-byte string: four at a time likewise.
        for (; i + 4 <= n; i += 4) {
            if (any_escaped(s + i)) {
                for (Py_ssize_t k = i; k < i + 4; ++k) {
                    size += escaped_size(s[k]);
                }
            } else {
                size += 4;
            }
        }
    }
    for (; i < n; ++i) {
        size += escaped_size(s[i]);
    }
    return size;
}

template <class Unit>
Py_UCS1* write_string(Py_UCS1* out, const Unit* s, Py_ssize_t n) noexcept
{
    *out++ = '"';
    for (Py_ssize_t i = 0; i < n; ++i) {
        if constexpr (sizeof(Unit) == 1) {
            // Runs that need no escape are copied whole.
            Py_ssize_t run = i;
            while (run + 8 <= n && !any_escaped(s + run)) {
                run += 8;
            }
            while (run < n && latin1_sizes.size[s[run]] == 1) {
                ++run;
            }
            std::memcpy(out, s + i, static_cast<std::size_t>(run - i));
            out += run - i;
            i = run;
            if (i == n) {
                break;
            }
        } else if constexpr (sizeof(Unit) == 2) {
            while (i + 4 <= n && !any_escaped(s + i)) {
                for (Py_ssize_t k = 0; k < 4; ++k) {
                    out[k] = static_cast<Py_UCS1>(s[i + k]);
                }
                out += 4;
                i += 4;
            }
            if (i == n) {
                break;
            }
        }
        const Py_UCS4 c = s[i];
        if (c >= ' ' && c <= '~' && c != '\\' && c != '"') {
            *out++ = static_cast<Py_UCS1>(c);
            continue;
        }
        switch (c) {
        case '\\': *out++ = '\\'; *out++ = '\\'; break;
        case '"': *out++ = '\\'; *out++ = '"'; break;
        case '\b': *out++ = '\\'; *out++ = 'b'; break;
        case '\f': *out++ = '\\'; *out++ = 'f'; break;
        case '\n': *out++ = '\\'; *out++ = 'n'; break;
        case '\r': *out++ = '\\'; *out++ = 'r'; break;
        case '\t': *out++ = '\\'; *out++ = 't'; break;
        default:
            if (c >= 0x10000) {
                out = write_u(out, 0xd800 + ((c - 0x10000) >> 10));
                out = write_u(out, 0xdc00 + ((c - 0x10000) & 0x3ff));
            } else {
                out = write_u(out, c);
            }
        }
    }
    *out++ = '"';
    return out;
}

// Texts at least this long in all are measured and written with the interpreter lock
// released.
constexpr Py_ssize_t unlocked_encode_chars = 64 * 1024;

// The encoded size of the strings, or -1 past what a str can hold.
Py_ssize_t encoded_size(PyObject* const* items, Py_ssize_t count) noexcept
{
    Py_ssize_t size = count > 0 ? 2 + 2 * (count - 1) : 2;
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject* item = items[k];
        const Py_ssize_t n = PyUnicode_GET_LENGTH(item);
        Py_ssize_t item_size;
        switch (PyUnicode_KIND(item)) {
        case PyUnicode_1BYTE_KIND:
            item_size = string_size(PyUnicode_1BYTE_DATA(item), n);
            break;
        case PyUnicode_2BYTE_KIND:
            item_size = string_size(PyUnicode_2BYTE_DATA(item), n);
            break;
        default:
            item_size = string_size(PyUnicode_4BYTE_DATA(item), n);
        }
        if (n > PY_SSIZE_T_MAX / 12 - 4 || size > PY_SSIZE_T_MAX - item_size) {
            return -1;
        }
        size += item_size;
    }
    return size;
}

void write_strings(Py_UCS1* out, PyObject* const* items, Py_ssize_t count) noexcept
{
    *out++ = '[';
    for (Py_ssize_t k = 0; k < count; ++k) {
        if (k > 0) {
            *out++ = ',';
            *out++ = ' ';
        }
        PyObject* item = items[k];
        const Py_ssize_t n = PyUnicode_GET_LENGTH(item);
        switch (PyUnicode_KIND(item)) {
        case PyUnicode_1BYTE_KIND:
            out = write_string(out, PyUnicode_1BYTE_DATA(item), n);
            break;
        case PyUnicode_2BYTE_KIND:
            out = write_string(out, PyUnicode_2BYTE_DATA(item), n);
            break;
        default:
            out = write_string(out, PyUnicode_4BYTE_DATA(item), n);
        }
    }
    *out = ']';
}

// json.dumps(list) for a list of exact str: "[" + ", ".join(quoted) + "]". An empty Ref
// without an error means "not for this encoder". Long texts are measured and written
// without the lock: the strings cannot change, and they are read from a tuple of the
// list's items taken first, as the list itself may change meanwhile.
Ref encode_str_list(PyObject* list) noexcept
{
    const Py_ssize_t count = PyList_GET_SIZE(list);
    Py_ssize_t chars = 0;
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject* item = PyList_GET_ITEM(list, k);
        if (!PyUnicode_CheckExact(item)) {
            return {};
        }
        chars += PyUnicode_GET_LENGTH(item);
    }
    if (chars < unlocked_encode_chars) {
        PyObject* const* items = PySequence_Fast_ITEMS(list);
        const Py_ssize_t size = encoded_size(items, count);
        if (size < 0) {
            return {};  // the stdlib's own overflow error
        }
        Ref result = Ref::steal(PyUnicode_New(size, 127));
        if (result) {
            write_strings(PyUnicode_1BYTE_DATA(result.get()), items, count);
        }
        return result;
    }
    const Ref snapshot = Ref::steal(PyList_AsTuple(list));
    if (!snapshot) {
        return {};
    }
    PyObject* const* items = PySequence_Fast_ITEMS(snapshot.get());
    Py_ssize_t size;
    Py_BEGIN_ALLOW_THREADS
    size = encoded_size(items, count);
    Py_END_ALLOW_THREADS
    if (size < 0) {
        return {};
    }
    Ref result = Ref::steal(PyUnicode_New(size, 127));
    if (!result) {
        return {};
    }
    // Nobody else can see the new string until it is returned.
    Py_UCS1* out = PyUnicode_1BYTE_DATA(result.get());
    Py_BEGIN_ALLOW_THREADS
    write_strings(out, items, count);
    Py_END_ALLOW_THREADS
    return result;
}

// ---- guards -------------------------------------------------------------------------

// The standard library's own json functions that the routes stand in for, as CPython
// 3.12 writes them (Lib/json/__init__.py, decoder.py, encoder.py), docstrings left out.
// Compiled once and compared with the functions found, so that code replaced before the
// first use (same name, same file, other behaviour) is not taken for json's own.
constexpr const char stdlib_json_source[] = R"py(
def detect_encoding(b):
    bstartswith = b.startswith
    if bstartswith((codecs.BOM_UTF32_BE, codecs.BOM_UTF32_LE)):
        return 'utf-32'
    if bstartswith((codecs.BOM_UTF16_BE, codecs.BOM_UTF16_LE)):
        return 'utf-16'
    if bstartswith(codecs.BOM_UTF8):
        return 'utf-8-sig'
    if len(b) >= 4:
        if not b[0]:
            return 'utf-16-be' if b[1] else 'utf-32-be'
        if not b[1]:
            return 'utf-16-le' if b[2] or b[3] else 'utf-32-le'
    elif len(b) == 2:
        if not b[0]:
            return 'utf-16-be'
        if not b[1]:
            return 'utf-16-le'
    return 'utf-8'

def dumps(obj, *, skipkeys=False, ensure_ascii=True, check_circular=True,
        allow_nan=True, cls=None, indent=None, separators=None,
        default=None, sort_keys=False, **kw):
    """-"""
    if (not skipkeys and ensure_ascii and
        check_circular and allow_nan and
        cls is None and indent is None and separators is None and
        default is None and not sort_keys and not kw):
        return _default_encoder.encode(obj)
    if cls is None:
        cls = JSONEncoder
    return cls(
        skipkeys=skipkeys, ensure_ascii=ensure_ascii,
        check_circular=check_circular, allow_nan=allow_nan, indent=indent,
        separators=separators, default=default, sort_keys=sort_keys,
        **kw).encode(obj)

def loads(s, *, cls=None, object_hook=None, parse_float=None,
        parse_int=None, parse_constant=None, object_pairs_hook=None, **kw):
    """-"""
    if isinstance(s, str):
        if s.startswith('\ufeff'):
            raise JSONDecodeError("Unexpected UTF-8 BOM (decode using utf-8-sig)",
                                  s, 0)
    else:
        if not isinstance(s, (bytes, bytearray)):
            raise TypeError(f'the JSON object must be str, bytes or bytearray, '
                            f'not {s.__class__.__name__}')
        s = s.decode(detect_encoding(s), 'surrogatepass')

    if (cls is None and object_hook is None and
            parse_int is None and parse_float is None and
            parse_constant is None and object_pairs_hook is None and not kw):
        return _default_decoder.decode(s)
    if cls is None:
        cls = JSONDecoder
    if object_hook is not None:
        kw['object_hook'] = object_hook
    if object_pairs_hook is not None:
        kw['object_pairs_hook'] = object_pairs_hook
    if parse_float is not None:
        kw['parse_float'] = parse_float
    if parse_int is not None:
        kw['parse_int'] = parse_int
    if parse_constant is not None:
        kw['parse_constant'] = parse_constant
    return cls(**kw).decode(s)

class JSONDecoder:
    def decode(self, s, _w=WHITESPACE.match):
        """-"""
        obj, end = self.raw_decode(s, idx=_w(s, 0).end())
        end = _w(s, end).end()
        if end != len(s):
            raise JSONDecodeError("Extra data", s, end)
        return obj

    def raw_decode(self, s, idx=0):
        """-"""
        try:
            obj, end = self.scan_once(s, idx)
        except StopIteration as err:
            raise JSONDecodeError("Expecting value", s, err.value) from None
        return obj, end

class JSONEncoder:
    def encode(self, o):
        """-"""
        if isinstance(o, str):
            if self.ensure_ascii:
                return encode_basestring_ascii(o)
            else:
                return encode_basestring(o)
        chunks = self.iterencode(o, _one_shot=True)
        if not isinstance(chunks, (list, tuple)):
            chunks = list(chunks)
        return ''.join(chunks)

    def iterencode(self, o, _one_shot=False):
        """-"""
        if self.check_circular:
            markers = {}
        else:
            markers = None
        if self.ensure_ascii:
            _encoder = encode_basestring_ascii
        else:
            _encoder = encode_basestring

        def floatstr(o, allow_nan=self.allow_nan,
                _repr=float.__repr__, _inf=INFINITY, _neginf=-INFINITY):
            if o != o:
                text = 'NaN'
            elif o == _inf:
                text = 'Infinity'
            elif o == _neginf:
                text = '-Infinity'
            else:
                return _repr(o)

            if not allow_nan:
                raise ValueError(
                    "Out of range float values are not JSON compliant: " +
                    repr(o))

            return text

        if (_one_shot and c_make_encoder is not None
                and self.indent is None):
            _iterencode = c_make_encoder(
                markers, self.default, _encoder, self.indent,
                self.key_separator, self.item_separator, self.sort_keys,
                self.skipkeys, self.allow_nan)
        else:
            _iterencode = _make_iterencode(
                markers, self.default, _encoder, self.indent, floatstr,
                self.key_separator, self.item_separator, self.sort_keys,
                self.skipkeys, _one_shot)
        return _iterencode(o, 0)
)py";

// The compiled code of `qualname` in the source above; nullptr when it cannot be had.
ProcessRef stdlib_json_code;

PyObject* find_code(PyObject* code, const char* qualname) noexcept
{
    PyObject* constants = reinterpret_cast<PyCodeObject*>(code)->co_consts;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(constants); ++k) {
        PyObject* constant = PyTuple_GET_ITEM(constants, k);
        if (!PyCode_Check(constant)) {
            continue;
        }
        if (PyUnicode_CompareWithASCIIString(reinterpret_cast<PyCodeObject*>(constant)->co_qualname, qualname) == 0) {
            return constant;
        }
        if (PyObject* inner = find_code(constant, qualname)) {
            return inner;
        }
    }
    return nullptr;
}

PyObject* stdlib_code(const char* qualname) noexcept
{
    if (!stdlib_json_code) {
        Ref module = Ref::steal(Py_CompileString(stdlib_json_source, "<json>", Py_file_input));
        if (!module) {
            PyErr_Clear();
            return nullptr;
        }
        stdlib_json_code.hold(module.get());
    }
    return find_code(stdlib_json_code.get(), qualname);
}

// Whether a dict holds exactly these entries (the values compared by identity).
bool holds_exactly(PyObject* dict, std::initializer_list<std::pair<const char*, PyObject*>> entries) noexcept
{
    if (dict == nullptr || !PyDict_CheckExact(dict) || PyDict_GET_SIZE(dict) != static_cast<Py_ssize_t>(entries.size())) {
        return false;
    }
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(dict, &position, &key, &value)) {
        bool found = false;
        for (const auto& [name, expected] : entries) {
            if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name) == 0) {
                found = value == expected;
                break;
            }
        }
        if (!found) {
            return false;
        }
    }
    return true;
}

// A dict whose contents were checked once: unchanged while its version tag is.
struct WatchedDict {
    PyObject* dict = nullptr;
    std::uint64_t version = 0;
    Ref owner;

    bool unchanged() const noexcept { return dict_version(dict) == version; }
    void hold(PyObject* d) noexcept
    {
        owner = Ref::borrow(d);
        dict = d;
        version = dict_version(d);
    }
    void seen() noexcept { version = dict_version(dict); }
};

// A dict whose entries must stay exactly as they were first seen; a change that was put
// back (a patch undone) counts as no change.
struct PinnedDict : WatchedDict {
    Ref snapshot;

    bool hold_copy(PyObject* d) noexcept
    {
        hold(d);
        snapshot = Ref::steal(PyDict_Copy(d));
        return static_cast<bool>(snapshot);
    }
    bool same() noexcept
    {
        if (unchanged()) {
            return true;
        }
        if (PyDict_GET_SIZE(dict) != PyDict_GET_SIZE(snapshot.get())) {
            return false;
        }
        Py_ssize_t position = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(snapshot.get(), &position, &key, &value)) {
            PyObject* now = PyDict_GetItemWithError(dict, key);
            if (now != value) {
                PyErr_Clear();
                return false;
            }
        }
        seen();
        return true;
    }
};

// A Python function as first seen: changing its code or defaults makes it another.
struct WatchedFunction {
    PyObject* function = nullptr;
    PyObject* code = nullptr;
    PyObject* defaults = nullptr;
    PinnedDict kwdefaults;  // empty when it has none
    Ref owners[3];

    // `reference`: the qualified name of the stdlib function whose code it must have.
    bool capture(PyObject* f, const char* name, PyObject* module_globals, const char* reference) noexcept
    {
        if (f == nullptr || !PyFunction_Check(f) || PyFunction_GET_GLOBALS(f) != module_globals) {
            return false;
        }
        auto* code_object = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(f));
        if (PyUnicode_CompareWithASCIIString(code_object->co_name, name) != 0) {
            return false;
        }
        if (reference != nullptr) {
            PyObject* expected = stdlib_code(reference);
            if (expected == nullptr || !same_code(PyFunction_GET_CODE(f), expected, 0, true)) {
                return false;
            }
        }
        PyObject* file = PyDict_GetItemString(module_globals, "__file__");
        if (file == nullptr || PyObject_RichCompareBool(file, code_object->co_filename, Py_EQ) != 1) {
            PyErr_Clear();
            return false;
        }
        function = f;
        code = PyFunction_GET_CODE(f);
        defaults = PyFunction_GET_DEFAULTS(f);
        owners[0] = Ref::borrow(function);
        owners[1] = Ref::borrow(code);
        owners[2] = Ref::borrow(defaults);
        if (PyObject* kw = PyFunction_GET_KW_DEFAULTS(f); kw != nullptr && !kwdefaults.hold_copy(kw)) {
            PyErr_Clear();
            return false;
        }
        return true;
    }
    bool unchanged() noexcept
    {
        return PyFunction_GET_CODE(function) == code && PyFunction_GET_DEFAULTS(function) == defaults &&
               PyFunction_GET_KW_DEFAULTS(function) == kwdefaults.dict &&
               (kwdefaults.dict == nullptr || kwdefaults.same());
    }
};

// A module namespace whose names the fast route relies on. Builtins it would shadow
// must stay absent; the named objects must stay the same.
struct WatchedModule {
    WatchedDict globals;
    static constexpr int max_pinned = 4;
    const char* pinned_names[max_pinned] = {};
    PyObject* pinned[max_pinned] = {};
    Ref pinned_owners[max_pinned];

    bool pin(const char* name) noexcept
    {
        for (int k = 0; k < max_pinned; ++k) {
            if (pinned_names[k] == nullptr) {
                PyObject* value = PyDict_GetItemString(globals.dict, name);
                if (value == nullptr) {
                    return false;
                }
                pinned_names[k] = name;
                pinned[k] = value;
                pinned_owners[k] = Ref::borrow(value);
                return true;
            }
        }
        return false;
    }
    PyObject* get(const char* name) const noexcept
    {
        for (int k = 0; k < max_pinned; ++k) {
            if (pinned_names[k] != nullptr && std::strcmp(pinned_names[k], name) == 0) {
                return pinned[k];
            }
        }
        return nullptr;
    }
    // Looked at again after any change to the namespace.
    bool valid() noexcept
    {
        if (globals.unchanged()) {
            return true;
        }
        static const char* const builtin_names[] = {"isinstance", "str", "bytes", "bytearray", "len",
                                                    "list", "tuple", "float", "id"};
        for (const char* name : builtin_names) {
            if (PyDict_GetItemString(globals.dict, name) != nullptr) {
                return false;
            }
        }
        for (int k = 0; k < max_pinned; ++k) {
            if (pinned_names[k] != nullptr && PyDict_GetItemString(globals.dict, pinned_names[k]) != pinned[k]) {
                return false;
            }
        }
        globals.seen();
        return true;
    }
};

bool is_module_named(PyObject* module, const char* name) noexcept
{
    const char* actual = PyModule_GetName(module);
    if (actual == nullptr) {
        PyErr_Clear();
        return false;
    }
    return std::strcmp(actual, name) == 0;
}

PyObject* function_builtins(PyObject* function) noexcept
{
    return reinterpret_cast<PyFunctionObject*>(function)->func_builtins;
}

// The builtins the stdlib functions reach on their way, as they were.
struct WatchedBuiltins {
    WatchedDict dict;

    bool valid() noexcept
    {
        if (dict.unchanged()) {
            return true;
        }
        const std::pair<const char*, PyObject*> types[] = {
            {"str", reinterpret_cast<PyObject*>(&PyUnicode_Type)},
            {"bytes", reinterpret_cast<PyObject*>(&PyBytes_Type)},
            {"bytearray", reinterpret_cast<PyObject*>(&PyByteArray_Type)},
            {"list", reinterpret_cast<PyObject*>(&PyList_Type)},
            {"tuple", reinterpret_cast<PyObject*>(&PyTuple_Type)},
            {"float", reinterpret_cast<PyObject*>(&PyFloat_Type)},
        };
        for (const auto& [name, type] : types) {
            if (PyDict_GetItemString(dict.dict, name) != type) {
                return false;
            }
        }
        for (const char* name : {"isinstance", "len", "id"}) {
            PyObject* f = PyDict_GetItemString(dict.dict, name);
            if (f == nullptr || !PyCFunction_CheckExact(f) ||
                std::strcmp(reinterpret_cast<PyCFunctionObject*>(f)->m_ml->ml_name, name) != 0 ||
                !PyModule_Check(PyCFunction_GET_SELF(f)) ||
                !is_module_named(PyCFunction_GET_SELF(f), "builtins")) {
                PyErr_Clear();
                return false;
            }
        }
        dict.seen();
        return true;
    }
};

// An instance of a plain Python class, with its attributes and the class's methods as
// they were checked: no attribute of the instance may be shadowed by the class.
struct WatchedInstance {
    PyObject* object = nullptr;
    PyTypeObject* type = nullptr;
    PinnedDict attributes;
    unsigned int type_version = 0;
    static constexpr int max_methods = 3;
    const char* method_names[max_methods] = {};
    WatchedFunction methods[max_methods];
    static constexpr int max_class_values = 2;
    const char* class_value_names[max_class_values] = {};
    PyObject* class_values[max_class_values] = {};
    Ref owners[2 + max_class_values];

    bool capture(PyObject* instance, PyObject* expected_type) noexcept
    {
        if (instance == nullptr || reinterpret_cast<PyObject*>(Py_TYPE(instance)) != expected_type ||
            Py_TYPE(instance)->tp_getattro != PyObject_GenericGetAttr) {
            return false;
        }
        PyObject** slot = _PyObject_GetDictPtr(instance);
        if (slot == nullptr) {
            PyErr_Clear();
            return false;
        }
        if (*slot == nullptr) {
            Ref materialised = Ref::steal(PyObject_GenericGetDict(instance, nullptr));
            if (!materialised) {
                PyErr_Clear();
                return false;
            }
        }
        if (*slot == nullptr || !PyDict_CheckExact(*slot)) {
            return false;
        }
        object = instance;
        type = Py_TYPE(instance);
        owners[0] = Ref::borrow(object);
        owners[1] = Ref::borrow(reinterpret_cast<PyObject*>(type));
        if (!attributes.hold_copy(*slot)) {
            PyErr_Clear();
            return false;
        }
        return true;
    }
    bool add_method(const char* name, const char* reference) noexcept
    {
        for (int k = 0; k < max_methods; ++k) {
            if (method_names[k] == nullptr) {
                PyObject* method = PyDict_GetItemString(type->tp_dict, name);
                PyObject* module_name = PyDict_GetItemString(type->tp_dict, "__module__");
                if (method == nullptr || module_name == nullptr || !PyFunction_Check(method)) {
                    return false;
                }
                Ref module = Ref::steal(PyImport_GetModule(module_name));
                if (!module) {
                    PyErr_Clear();
                    return false;
                }
                if (!methods[k].capture(method, name, PyModule_GetDict(module.get()), reference)) {
                    return false;
                }
                method_names[k] = name;
                return true;
            }
        }
        return false;
    }
    bool add_class_value(const char* name) noexcept
    {
        for (int k = 0; k < max_class_values; ++k) {
            if (class_value_names[k] == nullptr) {
                PyObject* value = PyDict_GetItemString(type->tp_dict, name);
                if (value == nullptr) {
                    return false;
                }
                class_value_names[k] = name;
                class_values[k] = value;
                owners[2 + k] = Ref::borrow(value);
                return true;
            }
        }
        return false;
    }
    PyObject* attribute(const char* name) const noexcept
    {
        return PyDict_GetItemString(attributes.dict, name);
    }
    // The class as a whole: run at capture and after any change to it.
    bool class_valid() noexcept
    {
        if (type->tp_getattro != PyObject_GenericGetAttr) {
            return false;
        }
        for (int k = 0; k < max_methods; ++k) {
            if (method_names[k] != nullptr) {
                Ref name = Ref::steal(PyUnicode_FromString(method_names[k]));
                if (!name) {
                    PyErr_Clear();
                    return false;
                }
                if (_PyType_Lookup(type, name.get()) != methods[k].function) {
                    return false;
                }
            }
        }
        for (int k = 0; k < max_class_values; ++k) {
            if (class_value_names[k] != nullptr) {
                Ref name = Ref::steal(PyUnicode_FromString(class_value_names[k]));
                if (!name) {
                    PyErr_Clear();
                    return false;
                }
                if (_PyType_Lookup(type, name.get()) != class_values[k]) {
                    return false;
                }
            }
        }
        Py_ssize_t position = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(attributes.dict, &position, &key, &value)) {
            if (_PyType_Lookup(type, key) != nullptr) {
                return false;
            }
        }
        // The lookups above give the class a version tag if it can have one.
        type_version = type->tp_version_tag;
        return type_version != 0;
    }
    bool unchanged() noexcept
    {
        PyObject** slot = _PyObject_GetDictPtr(object);
        if (Py_TYPE(object) != type || slot == nullptr || *slot != attributes.dict || !attributes.same()) {
            return false;
        }
        for (int k = 0; k < max_methods; ++k) {
            if (method_names[k] != nullptr && !methods[k].unchanged()) {
                return false;
            }
        }
        return (type->tp_version_tag == type_version && type_version != 0) || class_valid();
    }
};

// The margin kept below the thread's C recursion budget: the stdlib's call chain itself
// takes a few levels before the first container.
constexpr int recursion_margin = 50;

// A module that json has already imported, taken from sys.modules: importing it here
// would show an import that plain code never makes to import hooks.
Ref loaded_module(const char* name) noexcept
{
    Ref module_name = Ref::steal(PyUnicode_FromString(name));
    Ref module = module_name ? Ref::steal(PyImport_GetModule(module_name.get())) : Ref();
    if (module && !PyModule_Check(module.get())) {
        module.reset();
    }
    return module;
}

// The namespace of the json package when `candidate` is a Python function that json
// holds under `name`, else nullptr.
PyObject* json_function_globals(PyObject* candidate, const char* name) noexcept
{
    PyObject* globals = PyFunction_Check(candidate) ? PyFunction_GET_GLOBALS(candidate) : nullptr;
    PyObject* module_name = globals ? PyDict_GetItemString(globals, "__name__") : nullptr;
    if (module_name == nullptr || !PyUnicode_Check(module_name) ||
        PyUnicode_CompareWithASCIIString(module_name, "json") != 0 ||
        PyDict_GetItemString(globals, name) != candidate) {
        return nullptr;
    }
    return globals;
}

// The capture-once, look-again-now-and-then life of a route, shared by the decoder's and
// the encoder's: `Route::capture` examines a candidate function and its surroundings.
template <class Route>
struct CapturedRoute {
    bool ready = false;
    const void* refused_candidate = nullptr;  // the last function that did not pass
    unsigned refusals = 0;

    PyObject* captured_function = nullptr;  // held by the route's own references

    bool captured(PyObject* function) noexcept
    {
        if (ready && function == captured_function) {
            return true;
        }
        // A refused function is looked at again now and then: what made it fail (a
        // patched decoder, say) may have been put back.
        if (function == refused_candidate && ++refusals % 256 != 0) {
            return false;
        }
        // Another function, or one refused a while ago: json's own again after a reload
        // of json, say. The route in use stays until the new one has passed.
        Route fresh;
        if (!fresh.capture(function)) {
            PyErr_Clear();
            refused_candidate = function;
            return false;
        }
        static_cast<Route&>(*this) = std::move(fresh);
        ready = true;
        captured_function = function;
        return true;
    }
};

// The defaults a function of json's must have: none at all, or exactly these.
bool defaults_are(PyObject* function, std::initializer_list<PyObject*> positional,
                  std::initializer_list<std::pair<const char*, PyObject*>> keyword) noexcept
{
    PyObject* defaults = PyFunction_GET_DEFAULTS(function);
    PyObject* kwdefaults = PyFunction_GET_KW_DEFAULTS(function);
    if (positional.size() == 0 ? defaults != nullptr
                               : defaults == nullptr || !PyTuple_CheckExact(defaults) ||
                                     PyTuple_GET_SIZE(defaults) != static_cast<Py_ssize_t>(positional.size())) {
        return false;
    }
    Py_ssize_t k = 0;
    for (PyObject* expected : positional) {
        if (!same_constant(PyTuple_GET_ITEM(defaults, k++), expected)) {
            return false;
        }
    }
    return keyword.size() == 0 ? kwdefaults == nullptr : holds_exactly(kwdefaults, keyword);
}

struct DecoderRoute : CapturedRoute<DecoderRoute> {
    WatchedFunction loads;
    WatchedFunction detect_encoding;  // run by json.loads for bytes
    WatchedModule json_module;
    WatchedModule decoder_module;
    WatchedBuiltins builtins;
    WatchedInstance decoder;

    // The stdlib's json.loads with its default decoder and the C scanner, or nothing.
    bool capture(PyObject* candidate) noexcept
    {
        PyObject* globals = json_function_globals(candidate, "loads");
        if (globals == nullptr) {
            return false;
        }
        PyObject* decoder_object = PyDict_GetItemString(globals, "_default_decoder");
        PyObject* decoder_type = PyDict_GetItemString(globals, "JSONDecoder");
        Ref decoder_module_object = loaded_module("json.decoder");
        Ref scanner_module = decoder_module_object ? loaded_module("_json") : Ref();
        if (!scanner_module) {
            PyErr_Clear();
            return false;
        }
        PyObject* decoder_globals = PyModule_GetDict(decoder_module_object.get());
        if (decoder_object == nullptr || decoder_type == nullptr ||
            PyDict_GetItemString(decoder_globals, "JSONDecoder") != decoder_type ||
            !loads.capture(candidate, "loads", globals, "loads") || !decoder.capture(decoder_object, decoder_type) ||
            !decoder.add_method("decode", "JSONDecoder.decode") ||
            !decoder.add_method("raw_decode", "JSONDecoder.raw_decode") ||
            !detect_encoding.capture(PyDict_GetItemString(globals, "detect_encoding"), "detect_encoding", globals,
                                     "detect_encoding")) {
            return false;
        }
        // The stdlib's defaults, as they were before anyone could change them.
        Ref zero = Ref::steal(PyLong_FromLong(0));
        if (!zero ||
            !defaults_are(candidate, {},
                          {{"cls", Py_None}, {"object_hook", Py_None}, {"parse_float", Py_None},
                           {"parse_int", Py_None}, {"parse_constant", Py_None}, {"object_pairs_hook", Py_None}}) ||
            !defaults_are(detect_encoding.function, {}, {}) ||
            !defaults_are(decoder.methods[1].function, {zero.get()}, {}) ||
            PyFunction_GET_KW_DEFAULTS(decoder.methods[0].function) != nullptr) {
            PyErr_Clear();
            return false;
        }
        // Default options only, and the C scanner made from them.
        Ref scanner_type = Ref::steal(PyObject_GetAttrString(scanner_module.get(), "make_scanner"));
        PyObject* scanner = decoder.attribute("scan_once");
        if (!scanner_type || scanner == nullptr ||
            reinterpret_cast<PyObject*>(Py_TYPE(scanner)) != scanner_type.get() ||
            decoder.attribute("object_hook") != Py_None || decoder.attribute("object_pairs_hook") != Py_None ||
            decoder.attribute("strict") != Py_True ||
            decoder.attribute("parse_float") != reinterpret_cast<PyObject*>(&PyFloat_Type) ||
            decoder.attribute("parse_int") != reinterpret_cast<PyObject*>(&PyLong_Type)) {
            PyErr_Clear();
            return false;
        }
        const std::pair<const char*, PyObject*> members[] = {
            {"strict", Py_True},
            {"object_hook", Py_None},
            {"object_pairs_hook", Py_None},
            {"parse_float", reinterpret_cast<PyObject*>(&PyFloat_Type)},
            {"parse_int", reinterpret_cast<PyObject*>(&PyLong_Type)},
        };
        for (const auto& [member, expected] : members) {
            Ref value = Ref::steal(PyObject_GetAttrString(scanner, member));
            if (value.get() != expected) {
                PyErr_Clear();
                return false;
            }
        }
        // decode's whitespace matcher must be the one for [ \t\n\r]*.
        PyObject* defaults = decoder.methods[0].defaults;
        if (defaults == nullptr || !PyTuple_CheckExact(defaults) || PyTuple_GET_SIZE(defaults) != 1) {
            return false;
        }
        Ref pattern_object = Ref::steal(PyObject_GetAttrString(PyTuple_GET_ITEM(defaults, 0), "__self__"));
        Ref pattern = pattern_object ? Ref::steal(PyObject_GetAttrString(pattern_object.get(), "pattern")) : Ref();
        Ref method_name = Ref::steal(PyObject_GetAttrString(PyTuple_GET_ITEM(defaults, 0), "__name__"));
        if (!pattern || !method_name || !PyUnicode_Check(pattern.get()) || !PyUnicode_Check(method_name.get()) ||
            PyUnicode_CompareWithASCIIString(pattern.get(), "[ \\t\\n\\r]*") != 0 ||
            PyUnicode_CompareWithASCIIString(method_name.get(), "match") != 0) {
            PyErr_Clear();
            return false;
        }
        json_module.globals.hold(globals);
        decoder_module.globals.hold(decoder_globals);
        builtins.dict.hold(function_builtins(candidate));
        if (!json_module.pin("_default_decoder") || !json_module.pin("detect_encoding") ||
            !json_module.pin("codecs") ||
            function_builtins(decoder.methods[0].function) != builtins.dict.dict) {
            return false;
        }
        // Force the full checks once, so that whatever was patched before now shows.
        json_module.globals.version = decoder_module.globals.version = builtins.dict.version = ~std::uint64_t{0};
        return decoder.class_valid() && json_module.valid() && decoder_module.valid() && builtins.valid();
    }

    bool allows(PyObject* function) noexcept
    {
        return captured(function) && still_valid();
    }
    // Everything as captured; json.loads itself is the function captured.
    bool still_valid() noexcept
    {
        return loads.unchanged() && detect_encoding.unchanged() && json_module.valid() &&
               decoder_module.valid() && builtins.valid() && decoder.unchanged();
    }
    bool unobserved_for(PyObject* text) noexcept
    {
        PyObject* decode = decoder.methods[0].code;
        PyObject* raw_decode = decoder.methods[1].code;
        return PyBytes_CheckExact(text)
                   ? unobserved({loads.code, detect_encoding.code, decode, raw_decode}, recursion_margin)
                   : unobserved({loads.code, decode, raw_decode}, recursion_margin);
    }
};

struct EncoderRoute : CapturedRoute<EncoderRoute> {
    WatchedFunction dumps;
    WatchedModule json_module;
    WatchedModule encoder_module;
    WatchedBuiltins builtins;
    WatchedInstance encoder;

    bool capture(PyObject* candidate) noexcept
    {
        PyObject* globals = json_function_globals(candidate, "dumps");
        if (globals == nullptr) {
            return false;
        }
        PyObject* encoder_object = PyDict_GetItemString(globals, "_default_encoder");
        PyObject* encoder_type = PyDict_GetItemString(globals, "JSONEncoder");
        Ref encoder_module_object = loaded_module("json.encoder");
        Ref c_module = encoder_module_object ? loaded_module("_json") : Ref();
        if (!c_module) {
            PyErr_Clear();
            return false;
        }
        PyObject* encoder_globals = PyModule_GetDict(encoder_module_object.get());
        if (encoder_object == nullptr || encoder_type == nullptr ||
            PyDict_GetItemString(encoder_globals, "JSONEncoder") != encoder_type ||
            !dumps.capture(candidate, "dumps", globals, "dumps") || !encoder.capture(encoder_object, encoder_type) ||
            !encoder.add_method("encode", "JSONEncoder.encode") ||
            !encoder.add_method("iterencode", "JSONEncoder.iterencode") || !encoder.add_method("default", nullptr) ||
            !encoder.add_class_value("item_separator") || !encoder.add_class_value("key_separator")) {
            return false;
        }
        if (!defaults_are(candidate, {},
                          {{"skipkeys", Py_False}, {"ensure_ascii", Py_True}, {"check_circular", Py_True},
                           {"allow_nan", Py_True}, {"cls", Py_None}, {"indent", Py_None}, {"separators", Py_None},
                           {"default", Py_None}, {"sort_keys", Py_False}}) ||
            !defaults_are(encoder.methods[0].function, {}, {}) ||
            !defaults_are(encoder.methods[1].function, {Py_False}, {})) {
            return false;
        }
        // Default options: the instance holds exactly these six.
        const std::pair<const char*, PyObject*> options[] = {
            {"skipkeys", Py_False}, {"ensure_ascii", Py_True}, {"check_circular", Py_True},
            {"allow_nan", Py_True}, {"sort_keys", Py_False},   {"indent", Py_None},
        };
        if (PyDict_GET_SIZE(encoder.attributes.dict) != 6) {
            return false;
        }
        for (const auto& [option, expected] : options) {
            if (encoder.attribute(option) != expected) {
                return false;
            }
        }
        if (PyUnicode_CompareWithASCIIString(encoder.class_values[0], ", ") != 0 ||
            PyUnicode_CompareWithASCIIString(encoder.class_values[1], ": ") != 0) {
            return false;
        }
        // The C encoder and its ASCII string escaper.
        json_module.globals.hold(globals);
        encoder_module.globals.hold(encoder_globals);
        builtins.dict.hold(function_builtins(candidate));
        Ref c_encoder = Ref::steal(PyObject_GetAttrString(c_module.get(), "make_encoder"));
        Ref c_escape = Ref::steal(PyObject_GetAttrString(c_module.get(), "encode_basestring_ascii"));
        if (!c_encoder || !c_escape || !json_module.pin("_default_encoder") ||
            !encoder_module.pin("c_make_encoder") || !encoder_module.pin("encode_basestring_ascii") ||
            !encoder_module.pin("INFINITY") || encoder_module.get("c_make_encoder") != c_encoder.get() ||
            encoder_module.get("encode_basestring_ascii") != c_escape.get() ||
            !PyFloat_CheckExact(encoder_module.get("INFINITY")) ||
            function_builtins(encoder.methods[0].function) != builtins.dict.dict) {
            PyErr_Clear();
            return false;
        }
        json_module.globals.version = encoder_module.globals.version = builtins.dict.version = ~std::uint64_t{0};
        return encoder.class_valid() && json_module.valid() && encoder_module.valid() && builtins.valid();
    }

    bool allows(PyObject* function) noexcept
    {
        return captured(function) && function == dumps.function && dumps.unchanged() &&
               json_module.valid() && encoder_module.valid() && builtins.valid() &&
               encoder.unchanged();
    }
};

// Process-wide, like the json module itself; never freed, as the interpreter outlives
// every use.
DecoderRoute* decoder_route = nullptr;
EncoderRoute* encoder_route = nullptr;

template <class Route>
Route* route(Route*& slot) noexcept
{
    if (slot == nullptr) {
        slot = new (std::nothrow) Route();
    }
    return slot;
}

}  // namespace

bool json_decode_still_unobserved(PyObject* text, bool lock_was_released) noexcept
{
    DecoderRoute* guard = decoder_route;
    if (guard == nullptr || !guard->ready) {
        return true;  // the decoder alone, for a caller without json.loads
    }
    // Held throughout, the lock let nothing run but the C signal handler.
    if (!lock_was_released) {
        return !vmrt_interrupt_pending(PyThreadState_Get());
    }
    return guard->still_valid() && guard->unobserved_for(text);
}

namespace {

Ref loads_with(const Ref& loads, PyObject* text, const RecordRequest* request, bool& made_records) noexcept
{
    made_records = false;
    if (PyUnicode_CheckExact(text) || PyBytes_CheckExact(text)) {
        DecoderRoute* guard = route(decoder_route);
        // The stdlib enters one C recursion level per container; leave a margin besides.
        const int budget = PyThreadState_Get()->c_recursion_remaining - recursion_margin;
        if (guard != nullptr && budget > 0 && guard->allows(loads.get()) && guard->unobserved_for(text)) {
            Ref value = decode_text(text, budget, request, made_records);
            if (value || PyErr_Occurred()) {
                return value;
            }
        }
    }
    return call(loads, text);
}

}  // namespace

Ref json_loads(const Ref& loads, PyObject* text) noexcept
{
    bool made_records = false;
    return loads_with(loads, text, nullptr, made_records);
}

Ref json_loads_records(const Ref& loads, PyObject* text, const RecordRequest& request, bool& made_records) noexcept
{
    return loads_with(loads, text, &request, made_records);
}

Ref json_dumps(const Ref& dumps, PyObject* value) noexcept
{
    if (PyList_CheckExact(value)) {
        EncoderRoute* guard = route(encoder_route);
        if (guard != nullptr && guard->allows(dumps.get()) &&
            unobserved({guard->dumps.code, guard->encoder.methods[0].code, guard->encoder.methods[1].code},
                       recursion_margin)) {
            Ref text = encode_str_list(value);
            if (text || PyErr_Occurred()) {
                return text;
            }
        }
    }
    return call(dumps, value);
}

}  // namespace vmrt
