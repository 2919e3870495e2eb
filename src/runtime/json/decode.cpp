// The decoder's entry: a text of any kind to its value, or to records, one document at a
// time through the parser and the builder.
#include "decoding.hpp"
#include "native.hpp"

#include <new>

namespace vmrt::json {
namespace {

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

}  // namespace vmrt::json

namespace vmrt {

Ref json_decode_native(PyObject* text, int max_depth) noexcept
{
    bool made_records = false;
    return json::decode_text(text, max_depth, nullptr, made_records);
}

}  // namespace vmrt
