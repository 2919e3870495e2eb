// What the guarded routes hand to the native decoder and encoder once they know that
// nothing could tell the difference.
#pragma once

#include "../json.hpp"

namespace vmrt::json {

// The value of `text` (a str or bytes of exact type), or the records of `request` when
// not null (then `made_records` says so); empty with no error set when the text must go
// to json.loads.
Ref decode_text(PyObject* text, int max_depth, const RecordRequest* request, bool& made_records) noexcept;

// json.dumps(list) for a list of exact str; empty with no error set when not for this
// encoder.
Ref encode_str_list(PyObject* list) noexcept;

}  // namespace vmrt::json
