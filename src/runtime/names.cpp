#include "names.hpp"

#include "runtime.hpp"

#include <iterator>
#include <utility>

namespace vmrt {
namespace {

Name* announced_names = nullptr;
Name dunder_import{"__import__"};
Name dunder_name{"__name__"};

Ref raise_name_error(PyObject* name) noexcept
{
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

// The sys.modules entry; a None entry counts as missing, so that the import system
// raises its own error for it.
Ref imported_module(PyObject* name) noexcept
{
    Ref module = Ref::steal(PyImport_GetModule(name));
    if (module.get() == Py_None) {
        module.reset();
    }
    return module;
}

// Replaces whatever reading the attribute raised, as the import statement does.
Ref cannot_import(PyObject* attribute) noexcept
{
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name %S", attribute);
    return {};
}

// Calls the `__import__` found in the builtins, so that import hooks installed there see
// exactly what a Python import statement would show them.
Ref call_import(PyObject* name, PyObject* globals, PyObject* fromlist) noexcept
{
    PyObject* import_function = PyDict_GetItemWithError(builtins_dict(), dunder_import.get());
    if (import_function == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ImportError, "__import__ not found");
        }
        return {};
    }
    Ref keep_alive = Ref::borrow(import_function);
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) {
        return {};
    }
    Ref level = Ref::steal(PyLong_FromLong(0));
    if (!level) {
        return {};
    }
    PyObject* args[] = {name, globals, locals.get(), fromlist, level.get()};
    return Ref::steal(PyObject_Vectorcall(import_function, args, 5, nullptr));
}

}  // namespace

Name::Name(const char* text) noexcept : text_(text), next_(announced_names)
{
    announced_names = this;
}

void Name::join_registry(Name*& registry) noexcept
{
    if (announced_names == nullptr) {
        return;
    }
    Name* last = announced_names;
    while (last->next_ != nullptr) {
        last = last->next_;
    }
    last->next_ = registry;
    registry = std::exchange(announced_names, nullptr);
}

bool Name::create_all() noexcept
{
    for (Name* name = runtime != nullptr ? runtime->names : announced_names; name != nullptr; name = name->next_) {
        if (name->object_ == nullptr) {
            name->object_ = PyUnicode_InternFromString(name->text_);
            if (name->object_ == nullptr) {
                return false;
            }
            name->module_type_attribute_ = internals::type_lookup(&PyModule_Type, name->object_) != nullptr;
        }
    }
    return true;
}

ProcessRef builtins_module_ref;
ProcessRef builtins_dict_ref;

bool record_builtins() noexcept
{
    if (builtins_module_ref) {
        return true;
    }
    PyObject* builtins = PyImport_AddModule("builtins");  // borrowed
    if (builtins == nullptr) {
        return false;
    }
    builtins_module_ref.hold(builtins);
    builtins_dict_ref.hold(PyModule_GetDict(builtins));
    return true;
}

namespace {

// Whether every key of `dict` is an exact str. Only then does a lookup run no Python code
// (a str subclass's `__eq__` may answer differently each time), so that its answer
// depends on the dict's contents alone, which the version tag vouches for. The verdict
// is remembered for the last few dict versions, so a namespace is scanned once per change.
bool has_plain_keys(PyObject* dict, std::uint64_t version) noexcept
{
    struct Verdict {
        PyObject* dict;
        std::uint64_t version;
    };
    static Verdict verdicts[4] = {};
    static unsigned next_verdict = 0;
    for (const Verdict& verdict : verdicts) {
        if (verdict.dict == dict && verdict.version == version) {
            return true;
        }
    }
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) {
            return false;
        }
    }
    verdicts[next_verdict++ % std::size(verdicts)] = {dict, version};
    return true;
}

}  // namespace

// `dict[name]` as a borrowed reference, or nullptr without an error when it is missing.
PyObject* lookup_in(PyObject* dict, const Name& name) noexcept
{
    if (PyObject* value = name.cached(dict)) {
        return value;
    }
    const std::uint64_t version = dict_version(dict);
    PyObject* value = PyDict_GetItemWithError(dict, name.get());
    if (value != nullptr && dict_version(dict) == version && has_plain_keys(dict, version)) {
        name.cache_ = {dict, version, 0, value};
    }
    return value;
}

Ref lookup_global_uncached(PyObject* globals, const Name& name) noexcept
{
    PyObject* builtins = builtins_dict();
    const std::uint64_t globals_version = dict_version(globals);
    PyObject* value = lookup_in(globals, name);
    if (value != nullptr || PyErr_Occurred()) {
        return Ref::borrow(value);
    }
    const std::uint64_t builtins_version = dict_version(builtins);
    value = PyDict_GetItemWithError(builtins, name.get());
    if (value == nullptr) {
        return PyErr_Occurred() ? Ref() : raise_name_error(name.get());
    }
    // Plain keys in both dicts mean that neither lookup ran code, so the miss in the
    // namespace still holds at the version read before it.
    if (dict_version(globals) == globals_version && dict_version(builtins) == builtins_version &&
        has_plain_keys(globals, globals_version) && has_plain_keys(builtins, builtins_version)) {
        name.cache_ = {globals, globals_version, builtins_version, value};
    }
    return Ref::borrow(value);
}

Ref module_attribute_uncached(PyObject* module, const Name& name) noexcept
{
    PyObject* value = lookup_in(PyModule_GetDict(module), name);
    if (value != nullptr || PyErr_Occurred()) {
        return Ref::borrow(value);
    }
    // A miss takes the general route, which also runs a module `__getattr__`.
    return Ref::steal(PyObject_GetAttr(module, name.get()));
}

namespace {

namespace cpy = internals;

// Whether `_PyType_Lookup` of a str on `type` runs no code: every dict along the MRO has
// str keys only.
bool mro_has_plain_keys(PyTypeObject* type) noexcept
{
    PyObject* mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_CheckExact(mro)) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        Ref dict = Ref::steal(PyType_GetDict(base));
        if (!dict || !PyDict_CheckExact(dict.get()) || !cpy::str_keys_only(cpy::keys_of(dict.get()))) {
            return false;
        }
    }
    return true;
}

// The entry of `keys` that holds this very name object, or -1. Only small tables are
// searched, so that a type whose reads keep missing costs little.
Py_ssize_t entry_holding(const cpy::DictKeysHeader* keys, PyObject* name) noexcept
{
    constexpr Py_ssize_t searched = 64;
    const cpy::UnicodeEntry* entries = cpy::unicode_entries(keys);
    for (Py_ssize_t i = 0; i < keys->dk_nentries && i < searched; ++i) {
        if (entries[i].me_key == name) {
            return i;
        }
    }
    return -1;
}

}  // namespace

// Fills the cache the way the interpreter's LOAD_ATTR_INSTANCE_VALUE and
// LOAD_ATTR_WITH_HINT are specialised (specialize_dict_access, Python/specialize.c,
// 3.12), and more strictly: the type reads attributes generically, defines no attribute
// of this name along its MRO (found without running code, with the same version tag
// before and after), and the instance keeps the name in its inline values or in a dict of
// str keys only. Anything else is left to the attribute protocol, every time.
Ref attribute_uncached(PyObject* object, const Name& name) noexcept
{
    PyTypeObject* type = Py_TYPE(object);
    const unsigned int version = cpy::type_version(type);
    const bool managed = (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) != 0;
    if (version != 0 && type->tp_getattro == PyObject_GenericGetAttr &&
        (managed || type->tp_dictoffset > 0) && mro_has_plain_keys(type) &&
        cpy::type_lookup(type, name.get()) == nullptr && cpy::type_version(type) == version) {
        Name::AttributeCache found{type, version, false, -1};
        PyObject* dict = nullptr;
        if (managed) {
            const std::uintptr_t slot = cpy::dict_or_values(object);
            if (cpy::holds_values(slot)) {
                if (const cpy::DictKeysHeader* keys = cpy::shared_keys(type)) {
                    found.index = entry_holding(keys, name.get());
                    found.shared_index = true;
                }
            }
            else {
                dict = cpy::dict_of(slot);
            }
        }
        else {
            dict = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(object) + type->tp_dictoffset);
        }
        if (dict != nullptr && PyDict_CheckExact(dict) && cpy::str_keys_only(cpy::keys_of(dict))) {
            const cpy::DictKeysHeader* keys = cpy::keys_of(dict);
            found.index = entry_holding(keys, name.get());
            // A dict made from inline values shares the type's keys: its index also serves
            // instances whose values are still inline.
            found.shared_index = managed && keys == cpy::shared_keys(type);
        }
        if (found.index >= 0) {
            name.attribute_cache_ = found;
        }
    }
    return Ref::steal(PyObject_GetAttr(object, name.get()));
}

Ref lookup_builtin(PyObject* name) noexcept
{
    PyObject* value = PyDict_GetItemWithError(builtins_dict(), name);
    if (value != nullptr) {
        return Ref::borrow(value);
    }
    if (PyErr_Occurred()) {
        return {};
    }
    return raise_name_error(name);
}

Ref import_module(PyObject* name, PyObject* globals) noexcept
{
    Ref module = imported_module(name);
    if (module || PyErr_Occurred()) {
        return module;
    }
    return call_import(name, globals, Py_None);
}

namespace {

Ref import_from(PyObject* module_name, PyObject* attribute, const Name* attribute_name,
                PyObject* globals) noexcept
{
    Ref module = imported_module(module_name);
    if (!module && PyErr_Occurred()) {
        return {};
    }
    if (module) {
        Ref value = attribute_name != nullptr
                        ? get_attribute(module.get(), *attribute_name)
                        : Ref::steal(PyObject_GetAttr(module.get(), attribute));
        if (value) {
            return value;
        }
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return cannot_import(attribute);
        }
        PyErr_Clear();
    }
    Ref fromlist = Ref::steal(PyTuple_Pack(1, attribute));
    if (!fromlist) {
        return {};
    }
    module = call_import(module_name, globals, fromlist.get());
    if (!module) {
        return {};
    }

    Ref value = Ref::steal(PyObject_GetAttr(module.get(), attribute));
    if (value) {
        return value;
    }
    // As the import statement does: a submodule that is in sys.modules but not yet an
    // attribute of its package still counts.
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        Ref package_name = Ref::steal(PyObject_GetAttr(module.get(), dunder_name.get()));
        if (package_name && PyUnicode_Check(package_name.get())) {
            Ref full_name = Ref::steal(PyUnicode_FromFormat("%U.%U", package_name.get(), attribute));
            if (!full_name) {
                return {};  // out of memory: not a missing name
            }
            // Any entry counts, None included: the import statement binds whatever
            // sys.modules holds there.
            value = Ref::steal(PyImport_GetModule(full_name.get()));
            if (value || PyErr_Occurred()) {
                return value;
            }
        }
    }
    return cannot_import(attribute);
}

}  // namespace

Ref import_from(PyObject* module_name, PyObject* attribute, PyObject* globals) noexcept
{
    return import_from(module_name, attribute, nullptr, globals);
}

Ref import_from(const Name& module_name, const Name& attribute, PyObject* globals) noexcept
{
    return import_from(module_name.get(), attribute.get(), &attribute, globals);
}

}  // namespace vmrt
