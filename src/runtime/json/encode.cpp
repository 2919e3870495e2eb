// The encoder: json.dumps of a list of str, as the stdlib's C encoder writes it.
#include "native.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vmrt::json {
namespace {

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

template <class Unit>
Py_ssize_t extra_size(Unit c) noexcept
{
    if constexpr (sizeof(Unit) == 1) {
        return latin1_sizes.size[c] - 1;
    } else {
        return escaped_size(c) - 1;
    }
}

// Text is measured and written sixteen bytes at a time while no character needs an
// escape: most texts are ASCII, often in a wider str.
template <class Unit>
constexpr Py_ssize_t block_units = 16 / sizeof(Unit);

// Which characters of the block at `s` need an escape (a control character, a quote, a
// backslash, or anything from DEL on): a bit a byte, as _mm_movemask_epi8 gives them, so
// that a character's first bit is at sizeof(Unit) times its index.
template <class Unit>
unsigned escape_mask(const Unit* s) noexcept
{
#if defined(__SSE2__)
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
    __m128i flagged;
    // The comparisons are signed: in a one-byte block, 0x80 and up count as below the space.
    if constexpr (sizeof(Unit) == 1) {
        flagged = _mm_or_si128(_mm_or_si128(_mm_cmplt_epi8(x, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(x, _mm_set1_epi8(0x7f))),
                               _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('"')), _mm_cmpeq_epi8(x, _mm_set1_epi8('\\'))));
    } else if constexpr (sizeof(Unit) == 2) {
        flagged = _mm_or_si128(_mm_or_si128(_mm_cmplt_epi16(x, _mm_set1_epi16(' ')), _mm_cmpgt_epi16(x, _mm_set1_epi16('~'))),
                               _mm_or_si128(_mm_cmpeq_epi16(x, _mm_set1_epi16('"')), _mm_cmpeq_epi16(x, _mm_set1_epi16('\\'))));
    } else {
        flagged = _mm_or_si128(_mm_or_si128(_mm_cmplt_epi32(x, _mm_set1_epi32(' ')), _mm_cmpgt_epi32(x, _mm_set1_epi32('~'))),
                               _mm_or_si128(_mm_cmpeq_epi32(x, _mm_set1_epi32('"')), _mm_cmpeq_epi32(x, _mm_set1_epi32('\\'))));
    }
    return static_cast<unsigned>(_mm_movemask_epi8(flagged));
#else
    unsigned mask = 0;
    for (Py_ssize_t k = 0; k < block_units<Unit>; ++k) {
        if (extra_size(s[k]) != 0) {
            mask |= ((1u << sizeof(Unit)) - 1) << (k * sizeof(Unit));
        }
    }
    return mask;
#endif
}

// How many characters of a block come before the first one that needs an escape.
template <class Unit>
Py_ssize_t plain_prefix(unsigned mask) noexcept
{
    return static_cast<Py_ssize_t>(std::countr_zero(mask) / sizeof(Unit));
}

// Writes the block, a byte a character, whatever it holds: the caller keeps only the
// plain characters before the first escape. Each character writes at least a byte, so
// the whole block lies within the room the string has.
template <class Unit>
void write_block(Py_UCS1* out, const Unit* s) noexcept
{
#if defined(__SSE2__)
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
    if constexpr (sizeof(Unit) == 1) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), x);
    } else if constexpr (sizeof(Unit) == 2) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(x, x));
    } else {
        const __m128i narrowed = _mm_packus_epi16(_mm_packs_epi32(x, x), x);
        const int bytes = _mm_cvtsi128_si32(narrowed);
        std::memcpy(out, &bytes, sizeof bytes);
    }
#else
    for (Py_ssize_t k = 0; k < block_units<Unit>; ++k) {
        out[k] = static_cast<Py_UCS1>(s[k]);
    }
#endif
}

// A block at a time from each character on: a block without escapes is passed whole;
// otherwise the plain characters before its first escape are, then that one alone.
template <class Unit>
Py_ssize_t string_size(const Unit* s, Py_ssize_t n) noexcept
{
    constexpr Py_ssize_t block = block_units<Unit>;
    Py_ssize_t size = 2 + n;
    Py_ssize_t i = 0;
    while (i + block <= n) {
        const unsigned mask = escape_mask(s + i);
        if (mask == 0) {
            i += block;
            continue;
        }
        i += plain_prefix<Unit>(mask);
        size += extra_size(s[i]);
        ++i;
    }
    for (; i < n; ++i) {
        size += extra_size(s[i]);
    }
    return size;
}

Py_UCS1* write_character(Py_UCS1* out, Py_UCS4 c) noexcept
{
    if (c >= ' ' && c <= '~' && c != '\\' && c != '"') {
        *out++ = static_cast<Py_UCS1>(c);
        return out;
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
    return out;
}

template <class Unit>
Py_UCS1* write_string(Py_UCS1* out, const Unit* s, Py_ssize_t n) noexcept
{
    constexpr Py_ssize_t block = block_units<Unit>;
    *out++ = '"';
    Py_ssize_t i = 0;
    while (i + block <= n) {
        const unsigned mask = escape_mask(s + i);
        write_block(out, s + i);
        if (mask == 0) {
            out += block;
            i += block;
            continue;
        }
        const Py_ssize_t plain = plain_prefix<Unit>(mask);
        out += plain;
        i += plain;
        out = write_character(out, s[i]);
        ++i;
    }
    for (; i < n; ++i) {
        out = write_character(out, s[i]);
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

}  // namespace

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

}  // namespace vmrt::json
