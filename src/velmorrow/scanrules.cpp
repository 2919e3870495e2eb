// velmorrow.scanrules: the one scan configuration (ScanConfigV2) that every consumer
// hands to the native core's scanner, built from the settings at call time.
#include "loader.hpp"

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
Name n_git_mode{"git+velmorrow"};
Name n_repo_root{"repo_root"};
Name n_builtin_patterns{"builtin_patterns"};
Name n_extra_patterns{"extra_patterns"};
Name n_use_gitignore{"use_gitignore"};
Name n_use_velmorrowignore{"use_velmorrowignore"};
Name n_replace_builtin_patterns{"replace_builtin_patterns"};

// ---- build_scan_config --------------------------------------------------------------

// `settings.<name>`, with `settings` looked up afresh for every read.
Ref setting(Function* function, const Name& name, vmrt::RecursionGuard& guard) noexcept
{
    Ref settings = global(function, n_settings);
    return settings ? attribute(settings, name, guard) : Ref();
}

// The seven keys in their order, each holding None. A copy has the shape a dict display
// gives (str keys, room for seven entries); its entries are then filled in place.
constexpr Py_ssize_t config_size = 7;
const Name* const config_keys[config_size] = {
    &n_repo_root, &n_builtin_patterns, &n_extra_patterns, &n_ignore_mode,
    &n_use_gitignore, &n_use_velmorrowignore, &n_replace_builtin_patterns,
};
vmrt::ProcessRef config_template;

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
        // The copy of a combined table of str keys is a clone of its entries; anything
        // else is filled through the dict's own interface.
        const cpy::DictKeysHeader* keys = cpy::keys_of(dict_.get());
        entries_ = nullptr;
        if (cpy::split_values(dict_.get()) == nullptr && cpy::str_keys_only(keys) &&
            keys->dk_nentries == config_size) {
            entries_ = cpy::unicode_entries(keys);
            for (Py_ssize_t i = 0; i < config_size; ++i) {
                if (entries_[i].me_key != config_keys[i]->get()) {
                    entries_ = nullptr;
                    break;
                }
            }
        }
        // Its values hold lists: tracked by the collector, as a dict display is.
        if (entries_ != nullptr && !PyObject_GC_IsTracked(dict_.get())) {
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

// `list(patterns)`; only a list or tuple is copied without running code.
Ref new_list(const Ref& patterns, vmrt::RecursionGuard& guard) noexcept
{
    if (!patterns || (!PyList_CheckExact(patterns.get()) && !PyTuple_CheckExact(patterns.get()) &&
                      !guard.enter())) {
        return {};
    }
    return Ref::steal(PySequence_List(patterns.get()));
}

// Replacing the built-in patterns needs a core that can do it; the gate is imported only
// on this path, so a default configuration never touches the core.
bool check_capability(Function* function) noexcept
{
    Ref require = vmrt::import_from(n_featuregate.get(), n_require_capability.get(),
                                    function->globals);
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
    if (!config.make() || !config.put(0, Ref::steal(PyObject_Str(repo_path))) ||
        !config.put(1, new_list(setting(function, n_builtin_ignore_patterns, guard), guard)) ||
        !config.put(2, new_list(setting(function, n_extra_ignore_patterns, guard), guard)) ||
        !config.put(3, setting(function, n_ignore_mode, guard))) {
        return nullptr;
    }
    Ref mode = setting(function, n_ignore_mode, guard);
    Ref use_gitignore = mode ? Ref::steal(PyObject_RichCompare(mode.get(), n_git_mode.get(), Py_EQ)) : Ref();
    if (!config.put(4, use_gitignore) || !config.put(5, Ref::borrow(Py_True)) ||
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
