// The runtime the three extension modules share within the process: one function type,
// one registry of Names and one set of watchers. The first module to load makes it and leaves it in the
// interpreter's own dict (PyInterpreterState_GetDict), which Python code cannot reach;
// the others find it there. Nothing is exported and no module gains an attribute.
//
// Sharing hands one shared object's data and code to the others (the static function
// type and its slots, the Names in the registry). That is sound because an extension
// module, once loaded, is never unloaded: CPython keeps every dlopen'ed module for the
// life of the process.
#pragma once

#include "ref.hpp"

namespace vmrt {

class Name;
struct Watches;

struct Runtime {
    PyTypeObject* function_type;  // static, in the shared object that made the runtime
    Name* names;                  // every Name of every module that shares this runtime
    Watches* watches;             // the watchers of the native routes (watch.hpp)
};

// Finds or makes the shared runtime, and adds this module's Names to its registry.
// Repeats nothing once it has succeeded.
bool attach_runtime() noexcept;

// The runtime this module uses; valid once attach_runtime() has succeeded.
extern Runtime* runtime;

}  // namespace vmrt
