// velmorrow.featuregate: which optional features the native core was built with. The
// handshake runs once, on first use; its answer is cached in `_cached_capabilities`.
#include "loader.hpp"

namespace {

using vmrt::attribute;
using vmrt::call;
using vmrt::call_method;
using vmrt::Function;
using vmrt::global;
using vmrt::Name;
using vmrt::Ref;

constexpr vmrt::ModuleInfo module_info{"featuregate", "velmorrow.featuregate",
                                       "src/velmorrow/featuregate"};

constexpr const char module_doc[] =
    "\nCapability enforcement for the Rust core extension.\n\n"
    "Reads handshake() once and caches the result. Entry points call\n"
    "require_capability() to fail fast when a needed capability is missing.\n";

Name n_json{"json"};
Name n_logging{"logging"};
Name n_cached_capabilities{"_cached_capabilities"};
Name n_load_capabilities{"_load_capabilities"};
Name n_require_capability{"require_capability"};

Name n_core{"velmorrow_core_py"};
Name n_handshake{"handshake"};
Name n_loads{"loads"};
Name n_get{"get"};
Name n_capabilities{"capabilities"};
Name n_empty_format{""};

// ---- _load_capabilities -------------------------------------------------------------

// Imports the native core, asks for its capabilities and stores them as a new set.
bool load_into_cache(Function* function) noexcept
{
    Ref core = vmrt::import_module(n_core.get(), function->globals);
    Ref json = core ? global(function, n_json) : Ref();
    Ref loads = json ? attribute(json, n_loads) : Ref();
    Ref answer = loads ? call_method(core, n_handshake) : Ref();
    Ref response = answer ? call(loads, answer) : Ref();
    Ref default_names = response ? Ref::steal(PyList_New(0)) : Ref();
    Ref names = default_names ? call_method(response, n_get, n_capabilities, default_names) : Ref();
    Ref capabilities = names ? Ref::steal(PySet_New(names.get())) : Ref();
    return capabilities && vmrt::set_global(function, n_cached_capabilities, capabilities.get());
}

// _load_capabilities() -> set[str]
PyObject* load_capabilities(Function* function, PyObject* const*) noexcept
{
    Ref cached = global(function, n_cached_capabilities);
    if (!cached) {
        return nullptr;
    }
    if (cached.get() == Py_None) {
        // Importing the core and its handshake run code: guarded.
        vmrt::RecursionGuard guard;
        if (!guard.enter()) {
            return nullptr;
        }
        if (!load_into_cache(function)) {
            if (!PyErr_ExceptionMatches(PyExc_ImportError)) {
                return nullptr;
            }
            // A core that cannot be imported has no capabilities; that answer is final.
            PyErr_Clear();
            Ref no_capabilities = Ref::steal(PySet_New(nullptr));
            if (!no_capabilities ||
                !vmrt::set_global(function, n_cached_capabilities, no_capabilities.get())) {
                return nullptr;
            }
        }
    }
    // Whatever the cache holds now, which another thread may have stored meanwhile.
    return vmrt::checked_return(global(function, n_cached_capabilities), &PySet_Type);
}

constexpr const char* load_capabilities_locals[] = {"velmorrow_core_py", "resp"};

const vmrt::FunctionSpec load_capabilities_spec{
    module_info, "_load_capabilities", "_load_capabilities", nullptr, {}, "set[str]",
    load_capabilities_locals, 0, __LINE__, load_capabilities, true,
};

// ---- require_capability -------------------------------------------------------------

// require_capability(name: str, context: str) -> None
PyObject* require_capability(Function* function, PyObject* const* args) noexcept
{
    PyObject* name = args[0];
    PyObject* context = args[1];
    vmrt::RecursionGuard guard;
    Ref load = global(function, n_load_capabilities);
    // The module's own `_load_capabilities` guards its own calls; anything else put in
    // its place may call back here.
    if (!load || (!vmrt::is_function_of(load.get(), load_capabilities_spec) && !guard.enter())) {
        return nullptr;
    }
    Ref capabilities = call(load);
    if (!capabilities) {
        return nullptr;
    }
    // A set's membership test runs no code but comparisons, which guard themselves; any
    // other collection may.
    if (!PySet_CheckExact(capabilities.get()) && !guard.enter()) {
        return nullptr;
    }
    const int found = PySequence_Contains(capabilities.get(), name);
    if (found != 0) {
        return found > 0 ? Py_NewRef(Py_None) : nullptr;
    }
    if (!guard.enter()) {
        return nullptr;
    }
    Ref available = Ref::steal(PySequence_List(capabilities.get()));
    if (!available || PyList_Sort(available.get()) < 0) {
        return nullptr;
    }
    Ref available_text = Ref::steal(PyObject_Format(available.get(), n_empty_format.get()));
    Ref message = available_text ? Ref::steal(PyUnicode_FromFormat(
                                       "Rust core capability '%U' required for %U but not found. "
                                       "Available: %U. Rebuild the Rust extension: maturin "
                                       "develop --release",
                                       name, context, available_text.get()))
                                 : Ref();
    if (message) {
        PyErr_SetObject(PyExc_RuntimeError, message.get());
    }
    return nullptr;
}

constexpr vmrt::Param require_capability_params[] = {
    {"name", "str", vmrt::ArgRule::exact_str},
    {"context", "str", vmrt::ArgRule::exact_str},
};
constexpr const char* require_capability_locals[] = {"caps"};

const vmrt::FunctionSpec require_capability_spec{
    module_info, "require_capability", "require_capability",
    "Raise RuntimeError if the named capability is not available.", require_capability_params,
    "None", require_capability_locals, 0, __LINE__, require_capability, true,
};

// ---- the module body ----------------------------------------------------------------

bool run_module_body(vmrt::ModuleBody& body) noexcept
{
    PyObject* globals = body.globals();

    // import json
    if (!body.import_module(n_json)) {
        return false;
    }
    // import logging
    if (!body.import_module(n_logging)) {
        return false;
    }
    // logger = logging.getLogger(__name__)
    if (!body.bind_logger()) {
        return false;
    }
    // _cached_capabilities = None
    if (!body.bind(n_cached_capabilities, Ref::borrow(Py_None))) {
        return false;
    }
    // def _load_capabilities(): ...
    if (!body.bind(n_load_capabilities, vmrt::make_function(load_capabilities_spec, globals))) {
        return false;
    }
    // def require_capability(name, context): ...
    return body.bind(n_require_capability, vmrt::make_function(require_capability_spec, globals));
}

// ---- module definition --------------------------------------------------------------

vmrt::ModuleLoader loader{module_info, nullptr, run_module_body};

}  // namespace

PyMODINIT_FUNC PyInit_featuregate(void)
{
    return vmrt::module_definition<loader>(module_info.short_name, module_doc);
}
