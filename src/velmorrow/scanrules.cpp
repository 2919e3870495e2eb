// velmorrow.scanrules: the one scan configuration (ScanConfigV2) that every consumer
// hands to the native core's scanner, built from the settings at call time.
#include "loader.hpp"

#include <cstring>

namespace {

using vmrt::attribute;
using vmrt::call;
using vmrt::Function;
using vmrt::global;
using vmrt::Name;
using vmrt::Ref;

constexpr vmrt::ModuleInfo module_info{"scanrules", "velmorrow.scanrules",
                                       "src/velmorrow/scanrules"};

constexpr const char module_doc[] =
    "\nUnified scan configuration builder for the ignore matcher.\n\n"
    "Provides a single helper that all Python consumers (pipeline, watcher,\n"
    "relationships) use to construct ScanConfigV2 payloads for the Rust\n"
    "ignore-matcher-based scanner.\n";

Name n_pathlib{"pathlib"};
Name n_path{"Path"};
Name n_config{"velmorrow.config"};
Name n_settings{"settings"};
Name n_build_scan_config{"build_scan_config"};

Name n_featuregate{"velmorrow.featuregate"};
Name n_require_capability{"require_capability"};
Name n_capability{"ignore_builtin_replace"};
Name n_capability_context{"builtin_ignore_replace=True"};
Name n_builtin_ignore_replace{"builtin_ignore_replace"};
Name n_builtin_ignore_patterns{"builtin_ignore_patterns"};
Name n_extra_ignore_patterns{"extra_ignore_patterns"};
Name n_ignore_mode{"ignore_mode"};
constexpr char git_mode_text[] = "git+velmorrow";
Name n_git_mode{git_mode_text};
Name n_repo_root{"repo_root"};
Name n_builtin_patterns{"builtin_patterns"};
Name n_extra_patterns{"extra_patterns"};
Name n_use_gitignore{"use_gitignore"};
Name n_use_velmorrowignore{"use_velmorrowignore"};
Name n_replace_builtin_patterns{"replace_builtin_patterns"};

// ---- build_scan_config --------------------------------------------------------------

// `settings.<name>`, with `settings` looked up afresh for every read.
[[gnu::noinline]] Ref read_setting(Function* function, const Name& name,
                                   vmrt::RecursionGuard& guard) noexcept
{
    Ref settings = global(function, n_settings);
    return settings ? attribute(settings, name, guard) : Ref();
}

// The same, answered straight from the lookup caches where they hold, which runs no code.
inline Ref setting(Function* function, const Name& name, vmrt::RecursionGuard& guard) noexcept
{
    if (PyObject* settings = vmrt::known_global(function, n_settings)) {
        if (PyObject* value = name.cached_attribute(settings)) {
            return Ref::borrow(value);
        }
    }
    return read_setting(function, name, guard);
}

// The seven keys in their order, each holding None. A copy has the shape a dict display
// gives (str keys, room for seven entries); its entries are then filled in place.
constexpr Py_ssize_t config_size = 7;
const Name* const config_keys[config_size] = {
    &n_repo_root, &n_builtin_patterns, &n_extra_patterns, &n_ignore_mode,
    &n_use_gitignore, &n_use_velmorrowignore, &n_replace_builtin_patterns,
};
vmrt::ProcessRef config_template;
// Whether a copy of the template is a clone of its entries, our keys in order. The
// template never changes, so one trial copy tells for every later one.
bool template_copies_entries = false;

bool copies_entries(PyObject* dict) noexcept
{
    namespace cpy = vmrt::internals;
    const cpy::DictKeysHeader* keys = cpy::keys_of(dict);
    if (cpy::split_values(dict) != nullptr || !cpy::str_keys_only(keys) || keys->dk_nentries != config_size) {
        return false;
    }
    const cpy::UnicodeEntry* entries = cpy::unicode_entries(keys);
    for (Py_ssize_t i = 0; i < config_size; ++i) {
        if (entries[i].me_key != config_keys[i]->get()) {
            return false;
        }
    }
    return true;
}

bool create_constants() noexcept
{
    if (config_template) {
        return true;
    }
    Ref config = Ref::steal(PyDict_New());
    if (!config) {
        return false;
    }
    for (const Name* key : config_keys) {
        if (PyDict_SetItem(config.get(), key->get(), Py_None) < 0) {
            return false;
        }
    }
    // Copies keep the template's tracking by the collector; a dict display holding lists
    // is tracked, so the template is too (until a full collection untracks it).
    if (!vmrt::internals::gc_tracked(config.get())) {
        PyObject_GC_Track(config.get());
    }
    Ref trial = Ref::steal(PyDict_Copy(config.get()));
    if (!trial) {
        return false;
    }
    template_copies_entries = copies_entries(trial.get());
    config_template.hold(config.get());
    return true;
}

// A new configuration dict whose values are stored straight into its entries, which are
// the template's keys in order; each value goes in as soon as it is made, so a failure
// part-way drops a dict that is whole.
class Config {
public:
    bool make() noexcept
    {
        namespace cpy = vmrt::internals;
        dict_ = Ref::steal(PyDict_Copy(config_template.get()));
        if (!dict_) {
            return false;
        }
        if (!template_copies_entries) {
            return true;
        }
        entries_ = cpy::unicode_entries(cpy::keys_of(dict_.get()));
        // Its values hold lists: tracked by the collector, as a dict display is.
        if (!cpy::gc_tracked(dict_.get())) {
            PyObject_GC_Track(dict_.get());
        }
        return true;
    }

    bool put(Py_ssize_t index, Ref value) noexcept
    {
        if (!value) {
            return false;
        }
        if (entries_ == nullptr) {
            return PyDict_SetItem(dict_.get(), config_keys[index]->get(), value.get()) == 0;
        }
        Ref replaced = Ref::steal(entries_[index].me_value);
        entries_[index].me_value = value.release();
        return true;
    }

    PyObject* release() noexcept { return dict_.release(); }

private:
    Ref dict_;
    vmrt::internals::UnicodeEntry* entries_ = nullptr;
};

// `list(patterns)`. A list or tuple is copied without running code, into a list with as
// many slots as list() gives it; anything else may run code.
Ref new_list(const Ref& patterns, vmrt::RecursionGuard& guard) noexcept
{
    if (!patterns) {
        return {};
    }
    PyObject* source = patterns.get();
    if (!PyList_CheckExact(source) && !PyTuple_CheckExact(source)) {
        return guard.enter() ? Ref::steal(PySequence_List(source)) : Ref();
    }
    const Py_ssize_t size = Py_SIZE(source);
    PyObject* const* items = PyList_CheckExact(source)
                                 ? reinterpret_cast<PyListObject*>(source)->ob_item
                                 : reinterpret_cast<PyTupleObject*>(source)->ob_item;
    Ref list = Ref::steal(PyList_New(0));
    if (!list || size == 0) {
        return list;
    }
    if (!vmrt::internals::give_list_room(list.get(), vmrt::internals::list_slots(size))) {
        return {};
    }
    PyObject** copy = reinterpret_cast<PyListObject*>(list.get())->ob_item;
    for (Py_ssize_t i = 0; i < size; ++i) {
        copy[i] = Py_NewRef(items[i]);
    }
    Py_SET_SIZE(list.get(), size);
    return list;
}

// `mode == "git+velmorrow"`; between two exact str the answer is True or False itself.
Ref is_git_mode(const Ref& mode) noexcept
{
    if (!mode) {
        return {};
    }
    PyObject* text = mode.get();
    if (!PyUnicode_CheckExact(text)) {
        return Ref::steal(PyObject_RichCompare(text, n_git_mode.get(), Py_EQ));
    }
    constexpr Py_ssize_t length = sizeof git_mode_text - 1;
    const bool equal = text == n_git_mode.get() ||
                       (PyUnicode_KIND(text) == PyUnicode_1BYTE_KIND && PyUnicode_GET_LENGTH(text) == length &&
                        std::memcmp(PyUnicode_DATA(text), git_mode_text, length) == 0);
    return Ref::borrow(equal ? Py_True : Py_False);
}

// Replacing the built-in patterns needs a core that can do it; the gate is imported only
// on this path, so a default configuration never touches the core.
bool check_capability(Function* function) noexcept
{
    Ref require = vmrt::import_from(n_featuregate, n_require_capability, function->globals);
    return require && call(require, n_capability, n_capability_context);
}

// build_scan_config(repo_path: Path) -> dict[str, object]
//
// The recursion guard is entered before each step that can run code of others; str()
// and the comparison take the interpreter's own.
PyObject* build_scan_config(Function* function, PyObject* const* args) noexcept
{
    vmrt::RecursionGuard guard;
    PyObject* repo_path = args[0];
    Ref replace_flag = setting(function, n_builtin_ignore_replace, guard);
    if (!replace_flag) {
        return nullptr;
    }
    PyObject* flag = replace_flag.get();
    int replace = flag == Py_True;
    if (flag != Py_True && flag != Py_False && flag != Py_None) {
        replace = guard.enter() ? PyObject_IsTrue(flag) : -1;
    }
    if (replace < 0 || (replace == 1 && (!guard.enter() || !check_capability(function)))) {
        return nullptr;
    }

    Config config;
    if (!config.make() ||
        !config.put(0, PyUnicode_CheckExact(repo_path) ? Ref::borrow(repo_path)
                                                       : Ref::steal(PyObject_Str(repo_path))) ||
        !config.put(1, new_list(setting(function, n_builtin_ignore_patterns, guard), guard)) ||
        !config.put(2, new_list(setting(function, n_extra_ignore_patterns, guard), guard)) ||
        !config.put(3, setting(function, n_ignore_mode, guard))) {
        return nullptr;
    }
    if (!config.put(4, is_git_mode(setting(function, n_ignore_mode, guard))) || !config.put(5, Ref::borrow(Py_True)) ||
        !config.put(6, setting(function, n_builtin_ignore_replace, guard))) {
        return nullptr;
    }
    return config.release();
}

constexpr const char build_scan_config_doc[] =
    "Build a scan config dict for the Rust ignore matcher.\n\n"
    "    Args:\n"
    "        repo_path: Absolute path to the repository root.\n\n"
    "    Returns:\n"
    "        Dict ready for JSON serialization and passing to Rust scan APIs.\n\n"
    "    Raises:\n"
    "        RuntimeError: If ``builtin_ignore_replace`` is True but the Rust\n"
    "            extension lacks the ``IgnoreBuiltinReplace`` capability.\n"
    "    ";

constexpr vmrt::Param build_scan_config_params[] = {{"repo_path", "Path"}};
constexpr const char* build_scan_config_locals[] = {"require_capability"};

const vmrt::FunctionSpec build_scan_config_spec{
    module_info, "build_scan_config", "build_scan_config", build_scan_config_doc,
    build_scan_config_params, "dict[str, object]", build_scan_config_locals, 0, __LINE__,
    build_scan_config, true,
};

// ---- the module body ----------------------------------------------------------------

bool run_module_body(vmrt::ModuleBody& body) noexcept
{
    // from pathlib import Path
    if (!body.import_from(n_pathlib, n_path)) {
        return false;
    }
    // from velmorrow.config import settings
    if (!body.import_from(n_config, n_settings)) {
        return false;
    }
    // def build_scan_config(repo_path): ...
    return body.bind(n_build_scan_config, vmrt::make_function(build_scan_config_spec, body.globals()));
}

// ---- module definition --------------------------------------------------------------

vmrt::ModuleLoader loader{module_info, create_constants, run_module_body};

}  // namespace

PyMODINIT_FUNC PyInit_scanrules(void)
{
    return vmrt::module_definition<loader>(module_info.short_name, module_doc);
}
