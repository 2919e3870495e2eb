#include "runtime.hpp"

#include "function.hpp"
#include "names.hpp"

#include <cstddef>

namespace vmrt {
namespace {

// Bumped with any change to Runtime, Function, FunctionSpec or Name, so that modules of
// another build never share a runtime whose layout they do not know: they find no entry
// under their own key and make a runtime of their own.
#define VMRT_RUNTIME_KEY "velmorrow.runtime.v1"

// The layout, as this build sees it; a stored runtime of another layout is not used.
struct Layout {
    std::size_t runtime = sizeof(Runtime);
    std::size_t function = sizeof(Function);
    std::size_t spec = sizeof(FunctionSpec);
    std::size_t name = sizeof(Name);

    bool operator==(const Layout&) const = default;
};

struct Shared {
    Layout layout;
    Runtime runtime;
};

// Made by whichever module loads first and kept, like the static type it points at, for
// the life of the process (the capsule in the interpreter's dict only points at it).
Shared own;

Runtime* find_or_make() noexcept
{
    PyObject* interpreter_dict = PyInterpreterState_GetDict(PyInterpreterState_Get());  // borrowed
    if (interpreter_dict == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "no interpreter dict");
        return nullptr;
    }
    Ref key = Ref::steal(PyUnicode_InternFromString(VMRT_RUNTIME_KEY));
    if (!key) {
        return nullptr;
    }
    PyObject* stored = PyDict_GetItemWithError(interpreter_dict, key.get());  // borrowed
    if (stored == nullptr && PyErr_Occurred()) {
        return nullptr;
    }
    if (stored != nullptr && PyCapsule_IsValid(stored, VMRT_RUNTIME_KEY)) {
        auto* shared = static_cast<Shared*>(PyCapsule_GetPointer(stored, VMRT_RUNTIME_KEY));
        if (shared->layout == Layout{}) {
            return &shared->runtime;
        }
    }
    if (own.runtime.function_type == nullptr) {
        own.runtime.function_type = ready_function_type();
        if (own.runtime.function_type == nullptr) {
            return nullptr;
        }
    }
    if (stored == nullptr) {
        Ref capsule = Ref::steal(PyCapsule_New(&own, VMRT_RUNTIME_KEY, nullptr));
        if (!capsule || PyDict_SetItem(interpreter_dict, key.get(), capsule.get()) < 0) {
            return nullptr;
        }
    }
    return &own.runtime;
}

}  // namespace

Runtime* runtime = nullptr;

bool attach_runtime() noexcept
{
    if (runtime != nullptr) {
        return true;
    }
    Runtime* found = find_or_make();
    if (found == nullptr) {
        return false;
    }
    Name::join_registry(found->names);
    runtime = found;
    return true;
}

}  // namespace vmrt
