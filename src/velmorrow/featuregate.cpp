// velmorrow.featuregate: which optional features the native core was built with. The
// handshake runs once, on first use; its answer is cached in `_cached_capabilities`.
#include "loader.hpp"

namespace {

using vmrt::Function;
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
Name n_dunder_test{"__test__"};

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
    Ref json = core ? vmrt::lookup_global(function->globals, n_json) : Ref();
    Ref loads = json ? vmrt::get_attribute(json.get(), n_loads) : Ref();
    if (!loads) {
        return false;
    }
    PyObject* handshake_args[] = {core.get()};
    Ref answer = Ref::steal(PyObject_VectorcallMethod(
        n_handshake.get(), handshake_args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    Ref response = answer ? Ref::steal(PyObject_CallOneArg(loads.get(), answer.get())) : Ref();
    Ref default_names = response ? Ref::steal(PyList_New(0)) : Ref();
    if (!default_names) {
        return false;
    }
    PyObject* get_args[] = {response.get(), n_capabilities.get(), default_names.get()};
    Ref names = Ref::steal(PyObject_VectorcallMethod(
        n_get.get(), get_args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    Ref capabilities = names ? Ref::steal(PySet_New(names.get())) : Ref();
    return capabilities &&
           PyDict_SetItem(function->globals, n_cached_capabilities.get(), capabilities.get()) == 0;
}

// _load_capabilities() -> set[str]
PyObject* load_capabilities(Function* function, PyObject* const*) noexcept
{
    Ref cached = vmrt::lookup_global(function->globals, n_cached_capabilities);
    if (!cached) {
        return nullptr;
    }
    if (cached.get() == Py_None && !load_into_cache(function)) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) {
            return nullptr;
        }
        // A core that cannot be imported has no capabilities; that answer is final.
        PyErr_Clear();
        Ref no_capabilities = Ref::steal(PySet_New(nullptr));
        if (!no_capabilities || PyDict_SetItem(function->globals, n_cached_capabilities.get(),
                                               no_capabilities.get()) < 0) {
            return nullptr;
        }
    }
    // Whatever the cache holds now, which another thread may have stored meanwhile.
    return vmrt::checked_return(vmrt::lookup_global(function->globals, n_cached_capabilities),
                                &PySet_Type);
}

constexpr const char* load_capabilities_locals[] = {"velmorrow_core_py", "resp"};

const vmrt::FunctionSpec load_capabilities_spec{
    module_info, "_load_capabilities", "_load_capabilities", nullptr, {}, "set[str]",
    load_capabilities_locals, 0, __LINE__, load_capabilities,
};

// ---- require_capability -------------------------------------------------------------

// require_capability(name: str, context: str) -> None
PyObject* require_capability(Function* function, PyObject* const* args) noexcept
{
    PyObject* name = args[0];
    PyObject* context = args[1];
    Ref load = vmrt::lookup_global(function->globals, n_load_capabilities);
    Ref capabilities = load ? Ref::steal(PyObject_CallNoArgs(load.get())) : Ref();
    if (!capabilities) {
        return nullptr;
    }
    const int found = PySequence_Contains(capabilities.get(), name);
    if (found != 0) {
        return found > 0 ? Py_NewRef(Py_None) : nullptr;
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
    "None", require_capability_locals, 0, __LINE__, require_capability,
};

// ---- the module body ----------------------------------------------------------------

bool run_module_body(vmrt::ModuleBody& body) noexcept
{
    if (!body.enter_sys_modules(module_info)) {
        return false;
    }
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
    if (!body.bind(n_require_capability, vmrt::make_function(require_capability_spec, globals))) {
        return false;
    }
    // __test__ = {}
    return body.bind(n_dunder_test, Ref::steal(PyDict_New()));
}

// ---- module definition --------------------------------------------------------------

vmrt::ModuleLoader loader{module_info, nullptr, run_module_body};

}  // namespace

PyMODINIT_FUNC PyInit_featuregate(void)
{
    return vmrt::module_definition<loader>(module_info.short_name, module_doc);
}
