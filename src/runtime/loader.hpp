// Loading of the extension modules: multi-phase initialisation with process-wide load
// state (one interpreter, one module object), the module body run on first execution,
// and a fresh start after a body that failed. The rules every module shares (builtins,
// version check, the sys.modules entry, `__test__`) run here, around each body.
//
// Each extension module links its own copy of this code, since a shared object exports
// nothing but its PyInit function. What must be one per process, the function type and
// the registry of Names, the copies share through the interpreter's dict (runtime.hpp).
#pragma once

#include "calls.hpp"

#include <cstdint>
#include <source_location>

namespace vmrt {

// What a module body sees while it runs. Each statement helper returns false with the
// exception set and remembers the line that called it, for the "init" traceback entry.
class ModuleBody {
public:
    using Location = std::source_location;

    explicit ModuleBody(PyObject* globals) noexcept : globals_(globals) {}

    PyObject* globals() const noexcept { return globals_; }
    int failed_line() const noexcept { return failed_line_; }

    // `import X`
    bool import_module(const Name& name, Location where = Location::current()) noexcept;
    // `from X import Y`
    bool import_from(const Name& module, const Name& attribute,
                     Location where = Location::current()) noexcept;
    // `name = value`, where a null `value` means that computing it failed.
    bool bind(const Name& name, Ref value, Location where = Location::current()) noexcept;
    // `logger = logging.getLogger(__name__)`, with `logging` already imported.
    bool bind_logger(Location where = Location::current()) noexcept;
    // A global of the module, looked up as any module-level name is.
    Ref global(const Name& name, Location where = Location::current()) noexcept;
    // Records a failure of the statement at `where`.
    bool fail(Location where = Location::current()) noexcept;

private:
    PyObject* globals_;
    int failed_line_ = 1;
};

class ModuleLoader {
public:
    // Creates the module's constants beyond its Names; may be nullptr.
    using Constants = bool (*)() noexcept;
    using Body = bool (*)(ModuleBody& body) noexcept;

    constexpr ModuleLoader(const ModuleInfo& info, Constants constants, Body body) noexcept
        : info_(info), constants_(constants), body_(body)
    {
    }

    PyObject* create(PyObject* spec) noexcept;
    int exec(PyObject* module) noexcept;

private:
    bool run(PyObject* module) noexcept;

    const ModuleInfo& info_;
    Constants constants_;
    Body body_;
    std::int64_t interpreter_id_ = -1;
    ProcessRef held_;
};

template <ModuleLoader& loader>
PyObject* create_slot(PyObject* spec, PyModuleDef*) noexcept
{
    return loader.create(spec);
}

template <ModuleLoader& loader>
int exec_slot(PyObject* module) noexcept
{
    return loader.exec(module);
}

// What a module's PyInit function returns: a definition without per-module state or
// method table, whose only slots create and execute the module through `loader`.
template <ModuleLoader& loader>
PyObject* module_definition(const char* short_name, const char* doc) noexcept
{
    static PyModuleDef_Slot slots[] = {
        {Py_mod_create, reinterpret_cast<void*>(&create_slot<loader>)},
        {Py_mod_exec, reinterpret_cast<void*>(&exec_slot<loader>)},
        {0, nullptr},
    };
    static PyModuleDef definition = {
        .m_base = PyModuleDef_HEAD_INIT,
        .m_name = short_name,
        .m_doc = doc,
        .m_size = 0,
        .m_methods = nullptr,
        .m_slots = slots,
        .m_traverse = nullptr,
        .m_clear = nullptr,
        .m_free = nullptr,
    };
    return PyModuleDef_Init(&definition);
}

// The namespace a class statement starts with: `__module__`, `__qualname__`, `__doc__`.
Ref class_namespace(const ModuleInfo& module, const Name& qualname, const char* doc) noexcept;

// `type(name, (), namespace)`
Ref make_class(PyObject* name, PyObject* namespace_dict) noexcept;

}  // namespace vmrt
