// JSON for the texts exchanged with the native core. `json_loads(loads, text)` and
// `json_dumps(dumps, value)` stand for the calls `loads(text)` and `dumps(value)`: when
// the function is the standard library's own, unchanged, with its default decoder or
// encoder, and nothing could observe the difference (no trace or profile function, enough
// recursion budget), the work is done here with exactly the stdlib's result; anything
// else, every invalid document included, is handed to the function itself.
#pragma once

#include "ref.hpp"

#include <cstddef>

namespace vmrt {

Ref json_loads(const Ref& loads, PyObject* text) noexcept;

// How an answer turns into records: for each element of the array under `list_key`, or
// for the answer itself when `list_key` is null, `make` is given the values of the keys
// in `field_names`, a tuple of ASCII str (None where a key is absent).
struct RecordRequest {
    const char* list_key;  // null: the answer is the one object of one record
    PyObject* field_names;  // at most 8
    std::size_t required;  // the first ones must be present
    Ref (*make)(void* context, PyObject* const* fields) noexcept;
    // Whether `make` would run no Python code now; otherwise the general route is taken,
    // where records are made after decoding, as with json.loads.
    bool (*allows)(void* context) noexcept;
    void* context;
};

// `loads(text)` as json_loads does it; but where the native route is taken and the answer
// has the usual shape (an object whose array under `list_key` holds objects with the
// required fields, or one such object), the list of records or the record itself, made
// without the intermediate dicts that no one else could see. `made_records` says which
// of the two the result is.
Ref json_loads_records(const Ref& loads, PyObject* text, const RecordRequest& request, bool& made_records) noexcept;
Ref json_dumps(const Ref& dumps, PyObject* value) noexcept;

// The decoder alone, without guards, for a `str` or `bytes` that the caller holds: the
// decoded value, or an empty Ref with no error set when the text must go to json.loads,
// or an empty Ref with an error set (MemoryError). Safe to call from any module that
// holds the interpreter lock.
Ref json_decode_native(PyObject* text, int max_depth) noexcept;

// Answers at least this many bytes long are parsed with the interpreter lock released,
// a part at a time, once the parts are long enough to be worth handing over.
constexpr std::size_t json_unlocked_parse_bytes = 16 * 1024;

}  // namespace vmrt
