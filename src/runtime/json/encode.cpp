// The encoder: json.dumps of a list of str, as the stdlib's C encoder writes it.
#include "native.hpp"

#include <cstdint>
#include <cstring>

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
