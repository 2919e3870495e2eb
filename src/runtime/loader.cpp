#include "loader.hpp"

#include "runtime.hpp"

#include <cstdio>

namespace vmrt {
namespace {

Name n_name{"name"};
Name n_loader{"loader"};
Name n_origin{"origin"};
Name n_parent{"parent"};
Name n_search_locations{"submodule_search_locations"};
Name n_dunder_loader{"__loader__"};
Name n_dunder_file{"__file__"};
Name n_dunder_package{"__package__"};
Name n_dunder_path{"__path__"};
Name n_dunder_builtins{"__builtins__"};
Name n_logging{"logging"};
Name n_get_logger{"getLogger"};
Name n_dunder_name{"__name__"};
Name n_logger{"logger"};
Name n_dunder_test{"__test__"};
Name n_dunder_module{"__module__"};
Name n_dunder_qualname{"__qualname__"};
Name n_dunder_doc{"__doc__"};

// Copies one spec attribute into the module namespace; a spec without it is fine.
bool copy_spec_attribute(PyObject* spec, PyObject* globals, const Name& attribute,
                         const Name& key, bool skip_none) noexcept
{
    Ref value = Ref::steal(PyObject_GetAttr(spec, attribute.get()));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return true;
        }
        return false;
    }
    if (skip_none && value.get() == Py_None) {
        return true;
    }
    return PyDict_SetItem(globals, key.get(), value.get()) == 0;
}

bool warn_on_version_mismatch(const ModuleInfo& info) noexcept
{
    const auto running_major = static_cast<int>((Py_Version >> 24) & 0xff);
    const auto running_minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (running_major == PY_MAJOR_VERSION && running_minor == PY_MINOR_VERSION) {
        return true;
    }
    return PyErr_WarnFormat(
               PyExc_RuntimeWarning, 1,
               "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
               PY_MAJOR_VERSION, PY_MINOR_VERSION, info.full_name, "does not match",
               running_major, running_minor) == 0;
}

// Enters the module in sys.modules under its full name when the entry is missing, so
// that code run by the body (a dataclass decorator, say) can find it.
bool enter_sys_modules(const ModuleInfo& info, PyObject* module) noexcept
{
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    Ref full_name = Ref::steal(PyUnicode_FromString(info.full_name));
    if (!full_name) {
        return false;
    }
    const int present = PySequence_Contains(modules, full_name.get());
    if (present < 0) {
        return false;
    }
    return present == 1 || PyObject_SetItem(modules, full_name.get(), module) == 0;
}

// `__test__ = {}`, the last statement of every module body.
bool bind_empty_test_dict(PyObject* globals) noexcept
{
    Ref test_dict = Ref::steal(PyDict_New());
    return test_dict && PyDict_SetItem(globals, n_dunder_test.get(), test_dict.get()) == 0;
}

}  // namespace

// ---- module body --------------------------------------------------------------------

bool ModuleBody::fail(Location where) noexcept
{
    failed_line_ = static_cast<int>(where.line());
    return false;
}

bool ModuleBody::import_module(const Name& name, Location where) noexcept
{
    return bind(name, vmrt::import_module(name.get(), globals_), where);
}

bool ModuleBody::import_from(const Name& module, const Name& attribute, Location where) noexcept
{
    return bind(attribute, vmrt::import_from(module.get(), attribute.get(), globals_), where);
}

bool ModuleBody::bind(const Name& name, Ref value, Location where) noexcept
{
    if (!value || PyDict_SetItem(globals_, name.get(), value.get()) < 0) {
        return fail(where);
    }
    return true;
}

bool ModuleBody::bind_logger(Location where) noexcept
{
    Ref logging = global(n_logging, where);
    Ref get_logger = logging ? attribute(logging, n_get_logger) : Ref();
    Ref module_name = get_logger ? global(n_dunder_name, where) : Ref();
    Ref logger = module_name ? call(get_logger, module_name) : Ref();
    return bind(n_logger, std::move(logger), where);
}

Ref ModuleBody::global(const Name& name, Location where) noexcept
{
    Ref value = lookup_global(globals_, name);
    if (!value) {
        fail(where);
    }
    return value;
}

// ---- loader -------------------------------------------------------------------------

PyObject* ModuleLoader::create(PyObject* spec) noexcept
{
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) {
        return nullptr;
    }
    if (interpreter_id_ == -1) {
        interpreter_id_ = interpreter;
    }
    else if (interpreter_id_ != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (held_) {
        // PyModule_FromDefAndSpec2 (Objects/moduleobject.c) sets md_state to NULL on
        // whatever this slot returns, and PyModule_ExecDef then allocates a new block;
        // free the old one now, or every repeat import leaks it.
        PyMem_Free(PyModule_GetState(held_.get()));
        return Py_NewRef(held_.get());
    }
    if (!attach_runtime() || !Name::create_all()) {
        return nullptr;
    }

    Ref name = Ref::steal(PyObject_GetAttr(spec, n_name.get()));
    if (!name) {
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) {
        return nullptr;
    }
    PyObject* globals = PyModule_GetDict(module.get());
    if (!copy_spec_attribute(spec, globals, n_loader, n_dunder_loader, false) ||
        !copy_spec_attribute(spec, globals, n_origin, n_dunder_file, false) ||
        !copy_spec_attribute(spec, globals, n_parent, n_dunder_package, false) ||
        !copy_spec_attribute(spec, globals, n_search_locations, n_dunder_path, true)) {
        return nullptr;
    }
    return module.release();
}

int ModuleLoader::exec(PyObject* module) noexcept
{
    if (held_) {
        if (held_.get() == module) {
            return 0;
        }
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     info_.short_name);
        return -1;
    }
    held_.hold(module);
    if (!run(module)) {
        // Forget the module, so that the next import starts again from the beginning.
        held_.drop();
        return -1;
    }
    return 0;
}

bool ModuleLoader::run(PyObject* module) noexcept
{
    PyObject* globals = PyModule_GetDict(module);  // borrowed
    if (!record_builtins() ||
        PyObject_SetAttr(module, n_dunder_builtins.get(), builtins_module()) < 0 ||
        !warn_on_version_mismatch(info_) || !Name::create_all() ||
        (constants_ != nullptr && !constants_())) {
        return false;
    }
    ModuleBody body(globals);
    // The loader's own statements around the body (the sys.modules entry first, then
    // `__test__ = {}`) report a failure at the module's first line.
    if (enter_sys_modules(info_, module) && body_(body) && bind_empty_test_dict(globals)) {
        return true;
    }
    char entry[128];
    std::snprintf(entry, sizeof entry, "init %s", info_.full_name);
    internals::add_traceback_entry(entry, info_.source_file, body.failed_line());
    return false;
}

Ref class_namespace(const ModuleInfo& module, const Name& qualname, const char* doc) noexcept
{
    Ref namespace_dict = Ref::steal(PyDict_New());
    Ref module_name = namespace_dict ? Ref::steal(PyUnicode_InternFromString(module.full_name)) : Ref();
    Ref doc_text = module_name ? Ref::steal(PyUnicode_FromString(doc)) : Ref();
    if (!doc_text ||
        PyDict_SetItem(namespace_dict.get(), n_dunder_module.get(), module_name.get()) < 0 ||
        PyDict_SetItem(namespace_dict.get(), n_dunder_qualname.get(), qualname.get()) < 0 ||
        PyDict_SetItem(namespace_dict.get(), n_dunder_doc.get(), doc_text.get()) < 0) {
        return {};
    }
    return namespace_dict;
}

Ref make_class(PyObject* name, PyObject* namespace_dict) noexcept
{
    Ref bases = Ref::steal(PyTuple_New(0));
    if (!bases) {
        return {};
    }
    PyObject* args[] = {name, bases.get(), namespace_dict};
    return Ref::steal(
        PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PyType_Type), args, 3, nullptr));
}

}  // namespace vmrt
