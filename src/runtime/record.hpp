// Construction of the result records. `construct_record(cls, args, kwnames)` stands for
// `cls(**kwargs)`: when `cls` is a plain dataclass whose generated __init__ only stores
// the given fields, unchanged since it was first seen, and nothing traces or profiles the
// thread, the instance is made and its attributes stored in that same order without
// running the Python __init__; anything else is an ordinary call.
#pragma once

#include "ref.hpp"

namespace vmrt {

Ref construct_record(PyObject* record_class, PyObject* const* args, PyObject* kwnames) noexcept;

// Whether construct_record would make the record itself now, running no Python code.
bool record_route_allows(PyObject* record_class, PyObject* kwnames) noexcept;

}  // namespace vmrt
