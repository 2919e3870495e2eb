"""The load-time surface of velmorrow.sparse, and the load rules that all three extension
modules share. Anything that depends on a first import runs in a fresh interpreter."""

from __future__ import annotations

import builtins
import dataclasses
import importlib
import inspect
import json
import logging
import sys

import pytest

STANDARD_ATTRIBUTES = [
    "__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__builtins__",
]

# Per module: the names its body binds (in order), and an import its body makes that a
# test can break.
MODULES = {
    "sparse": (
        ["json", "logging", "dataclass", "velmorrow_core_py", "settings", "logger", "SparseResult",
         "SparseEmbeddingService", "_sparse_service", "get_sparse_service", "reset_sparse_service",
         "__test__"],
        ["json", "logging", "dataclasses", "velmorrow_core_py", "velmorrow.config"],
    ),
    "featuregate": (
        ["json", "logging", "logger", "_cached_capabilities", "_load_capabilities",
         "require_capability", "__test__"],
        ["json", "logging"],
    ),
    "scanrules": (
        ["Path", "settings", "build_scan_config", "__test__"],
        ["pathlib", "velmorrow.config"],
    ),
}
SHORT_NAMES = list(MODULES)
# Every module the body imports, each to be made to fail in turn.
BODY_IMPORTS = [(short_name, imported) for short_name, (_, imports) in MODULES.items() for imported in imports]

# Per module: what else holds right after a first import in a fresh interpreter (the imports
# bound are the real objects; the gate and the core load only when first used).
FRESH_CHECKS = {
    "sparse": [],
    "featuregate": [
        "import json, logging, sys",
        "assert module.json is json and module.logging is logging",
        "assert module.logger is logging.getLogger('velmorrow.featuregate')",
        "assert 'velmorrow_core_py' not in sys.modules",
    ],
    "scanrules": [
        "import pathlib, sys, velmorrow.config",
        "assert module.Path is pathlib.Path and module.settings is velmorrow.config.settings",
        "assert not {'velmorrow.featuregate', 'velmorrow_core_py'} & set(sys.modules)",
    ],
}

PUBLIC_NAMES = {
    "json", "logging", "dataclass", "velmorrow_core_py", "settings", "logger", "SparseResult",
    "SparseEmbeddingService", "get_sparse_service", "reset_sparse_service",
}


# ---- the module as imported -----------------------------------------------------------


class TestSparseNamespace:
    def test_builtins_is_the_module_not_its_dict(self, sparse):
        assert sparse.__builtins__ is builtins

    def test_import_attributes(self, sparse):
        assert sparse.__name__ == sparse.__spec__.name == "velmorrow.sparse"
        assert sparse.__file__ == sparse.__spec__.origin
        assert sparse.__loader__ is sparse.__spec__.loader
        assert sparse.__package__ == sparse.__spec__.parent == "velmorrow"

    def test_no_path_all_or_module_annotations(self, sparse):
        namespace = vars(sparse)
        assert "__path__" not in namespace
        assert "__all__" not in namespace
        assert "__annotations__" not in namespace

    def test_imports_are_the_real_objects(self, sparse):
        import velmorrow.config

        assert sparse.json is json
        assert sparse.logging is logging
        assert sparse.dataclass is dataclasses.dataclass
        assert sparse.velmorrow_core_py is sys.modules["velmorrow_core_py"]
        assert sparse.settings is velmorrow.config.settings

    def test_logger_bears_the_full_module_name(self, sparse):
        assert sparse.logger.name == "velmorrow.sparse"
        assert sparse.logger is logging.getLogger("velmorrow.sparse")

    def test_star_import_binds_exactly_the_public_names(self, sparse):
        namespace: dict[str, object] = {}
        exec("from velmorrow.sparse import *", namespace)
        del namespace["__builtins__"]
        assert set(namespace) == PUBLIC_NAMES
        assert all(namespace[name] is getattr(sparse, name) for name in PUBLIC_NAMES)


@pytest.mark.parametrize("short_name", SHORT_NAMES)
def test_fresh_namespace_order_and_values(python, short_name):
    body_names, _ = MODULES[short_name]
    # A fresh import gives the docstring that this process's import gave.
    doc = importlib.import_module(f"velmorrow.{short_name}").__doc__
    extra_checks = "\n        ".join(FRESH_CHECKS[short_name])
    python(f"""
        import builtins, importlib
        module = importlib.import_module("velmorrow.{short_name}")
        assert list(vars(module)) == {STANDARD_ATTRIBUTES + body_names!r}, list(vars(module))
        assert module.__doc__ == {doc!r}
        assert module.__builtins__ is builtins
        assert type(module.__test__) is dict and module.__test__ == {{}}
        assert not hasattr(module, "__path__") and not hasattr(module, "__all__")
        if "_sparse_service" in vars(module):
            assert module._sparse_service is None
        if "_cached_capabilities" in vars(module):
            assert module._cached_capabilities is None
        {extra_checks}
    """)


# ---- SparseResult -----------------------------------------------------------------------


class TestSparseResult:
    FIELDS = [
        ("indices", "list[int]"),
        ("values", "list[float]"),
        ("truncated", "bool | None"),
        ("original_chars", "int | None"),
        ("used_chars", "int | None"),
    ]

    def test_class_identity(self, sparse):
        record = sparse.SparseResult
        assert type(record) is type
        assert record.__bases__ == (object,)
        assert record.__module__ == "velmorrow.sparse"
        assert record.__qualname__ == record.__name__ == "SparseResult"

    def test_namespace_order_as_written_by_the_body(self, sparse):
        assert list(vars(sparse.SparseResult))[:6] == [
            "__module__", "__doc__", "__annotations__", "truncated", "original_chars", "used_chars",
        ]

    def test_fields_annotations_and_defaults(self, sparse):
        record = sparse.SparseResult
        fields = dataclasses.fields(record)
        assert [(f.name, f.type) for f in fields] == self.FIELDS
        assert [f.default for f in fields] == [dataclasses.MISSING, dataclasses.MISSING, None, None, None]
        assert list(record.__annotations__.items()) == self.FIELDS
        assert all(type(value) is str for value in record.__annotations__.values())
        assert record.truncated is record.original_chars is record.used_chars is None

    def test_dataclass_parameters(self, sparse):
        params = sparse.SparseResult.__dataclass_params__
        assert (params.init, params.repr, params.eq) == (True, True, True)
        assert (params.order, params.frozen, params.unsafe_hash) == (False, False, False)
        assert sparse.SparseResult.__match_args__ == tuple(name for name, _ in self.FIELDS)
        assert "__slots__" not in vars(sparse.SparseResult)

    def test_init_signature(self, sparse):
        assert str(inspect.signature(sparse.SparseResult)) == (
            "(indices: 'list[int]', values: 'list[float]', truncated: 'bool | None' = None, "
            "original_chars: 'int | None' = None, used_chars: 'int | None' = None) -> None"
        )

    def test_defaults_and_repr(self, sparse):
        result = sparse.SparseResult(indices=[1], values=[0.5])
        assert (result.truncated, result.original_chars, result.used_chars) == (None, None, None)
        assert repr(result) == (
            "SparseResult(indices=[1], values=[0.5], truncated=None, original_chars=None, used_chars=None)"
        )
        full = sparse.SparseResult([2, 3], [0.25, 0.75], True, 10, 4)
        assert repr(full) == (
            "SparseResult(indices=[2, 3], values=[0.25, 0.75], truncated=True, original_chars=10, used_chars=4)"
        )

    def test_values_are_stored_as_given(self, sparse):
        indices = (1, 2)
        values = ["not", "checked"]
        result = sparse.SparseResult(indices, values, truncated="yes", original_chars=1.5)
        assert result.indices is indices
        assert result.values is values
        assert (result.truncated, result.original_chars) == ("yes", 1.5)

    def test_equality_field_by_field(self, sparse):
        record = sparse.SparseResult
        assert record([1], [0.5]) == record(indices=[1], values=[0.5], truncated=None)
        assert record([1], [0.5]) != record([1], [0.5], truncated=False)
        assert record([1], [0.5]) != ([1], [0.5], None, None, None)
        assert record.__eq__(record([1], [0.5]), object()) is NotImplemented

    def test_unhashable_and_unordered(self, sparse):
        result = sparse.SparseResult([1], [0.5])
        assert sparse.SparseResult.__hash__ is None
        with pytest.raises(TypeError):
            hash(result)
        with pytest.raises(TypeError):
            result < result  # noqa: B015

    def test_mutable_with_instance_dict(self, sparse):
        result = sparse.SparseResult([1], [0.5])
        result.values = [1.0]
        result.extra = "kept"
        assert vars(result) == {
            "indices": [1], "values": [1.0], "truncated": None, "original_chars": None,
            "used_chars": None, "extra": "kept",
        }

    def test_match_args_drive_positional_patterns(self, sparse):
        match sparse.SparseResult([7], [0.5], True):
            case sparse.SparseResult(indices, values, truncated):
                assert (indices, values, truncated) == ([7], [0.5], True)
            case _:
                pytest.fail("positional pattern did not match")


# ---- SparseEmbeddingService as a class object -------------------------------------------

MEMBERS = ["__init__", "profile_version", "embed_single", "embed_batch", "embed_batch_list"]


class TestServiceClass:
    def test_class_identity_and_doc(self, sparse):
        service = sparse.SparseEmbeddingService
        assert type(service) is type
        assert service.__bases__ == (object,)
        assert service.__module__ == "velmorrow.sparse"
        assert service.__qualname__ == service.__name__ == "SparseEmbeddingService"
        # Kept as written, indentation and all, as Python 3.12 keeps a class docstring.
        assert service.__doc__.startswith("\n    ") and service.__doc__.endswith("\n    ")

    def test_namespace_order(self, sparse):
        namespace = vars(sparse.SparseEmbeddingService)
        assert list(namespace)[:7] == ["__module__", "__doc__", *MEMBERS]
        assert "__slots__" not in namespace
        assert "__annotations__" not in namespace

    def test_instances_have_a_dict(self, sparse):
        instance = object.__new__(sparse.SparseEmbeddingService)
        instance.anything = 1
        assert vars(instance) == {"anything": 1}

    def test_profile_version_is_a_read_only_property(self, sparse):
        prop = vars(sparse.SparseEmbeddingService)["profile_version"]
        assert type(prop) is property
        assert sparse.SparseEmbeddingService.profile_version is prop
        assert prop.fget.__name__ == "profile_version"
        assert prop.fget.__qualname__ == "SparseEmbeddingService.profile_version"
        assert prop.fset is None and prop.fdel is None
        assert prop.__doc__ is prop.fget.__doc__
        instance = object.__new__(sparse.SparseEmbeddingService)
        with pytest.raises(AttributeError, match="has no setter"):
            instance.profile_version = "v2"
        with pytest.raises(AttributeError):
            del instance.profile_version
        assert "profile_version" not in vars(instance)

# ---- load rules, each in a fresh interpreter --------------------------------------------


def test_package_import_loads_none_of_the_extension_modules_and_needs_no_core(python):
    python("""
        import sys
        import velmorrow
        loaded = {"velmorrow.sparse", "velmorrow.featuregate", "velmorrow.scanrules"} & set(sys.modules)
        assert not loaded, loaded
        # Neither of the other two needs the native core to load.
        sys.modules["velmorrow_core_py"] = None
        import velmorrow.featuregate, velmorrow.scanrules
        assert "velmorrow.sparse" not in sys.modules
        assert velmorrow.featuregate._cached_capabilities is None
    """)


def test_missing_native_core_fails_then_a_later_import_succeeds(python):
    python("""
        import sys, traceback
        sys.modules["velmorrow_core_py"] = None
        try:
            import velmorrow.sparse
        except ModuleNotFoundError as exc:
            entries = [(f.name, f.filename) for f in traceback.extract_tb(exc.__traceback__)]
            assert ("init velmorrow.sparse", "src/velmorrow/sparse") in entries, entries
        else:
            raise AssertionError("import succeeded without a native core")
        assert "velmorrow.sparse" not in sys.modules
        del sys.modules["velmorrow_core_py"]
        import velmorrow.sparse as sparse
        import velmorrow_core_py
        assert sparse.velmorrow_core_py is velmorrow_core_py
        assert sparse.SparseEmbeddingService.__module__ == "velmorrow.sparse"
        assert sparse._sparse_service is None and sparse.__test__ == {}
    """)


@pytest.mark.parametrize("short_name, broken", BODY_IMPORTS)
def test_failed_body_is_forgotten_and_the_next_import_starts_afresh(python, short_name, broken):
    body_names, _ = MODULES[short_name]
    python(f"""
        import builtins, importlib, sys, traceback
        FULL, SHORT, BROKEN = "velmorrow.{short_name}", "{short_name}", "{broken}"
        seen = []

        class Breaker:
            @staticmethod
            def find_spec(name, path=None, target=None):
                if name == BROKEN:
                    seen.append(sys.modules.get(FULL))
                    raise ModuleNotFoundError(f"No module named {{name!r}}", name=name)
                return None

        sys.modules.pop(BROKEN, None)
        sys.meta_path.insert(0, Breaker)
        try:
            importlib.import_module(FULL)
        except ModuleNotFoundError as exc:
            assert exc.name == BROKEN
            entries = [(f.name, f.filename) for f in traceback.extract_tb(exc.__traceback__)
                       if f.filename.startswith("src/")]
            assert entries == [("init " + FULL, "src/velmorrow/" + SHORT)], entries
        else:
            raise AssertionError("import succeeded")
        assert FULL not in sys.modules
        [failed] = seen
        # The body had started (__builtins__ is set before its first statement), not finished.
        assert failed.__builtins__ is builtins and "__test__" not in vars(failed)

        sys.meta_path.remove(Breaker)
        module = importlib.import_module(FULL)
        assert module is not failed and sys.modules[FULL] is module
        assert list(vars(module))[7:] == {body_names!r}
    """)


# Each case: code that breaks the load, the exception expected, and code that repairs it.
SPARSE_BODY_FAILURES = {
    "missing property builtin": (
        "saved = builtins.property; del builtins.property",
        NameError, "name 'property' is not defined",
        "builtins.property = saved",
    ),
    "logging without getLogger": (
        "sys.modules['logging'] = types.ModuleType('logging')",
        AttributeError, "module 'logging' has no attribute 'getLogger'",
        "del sys.modules['logging']",
    ),
    "dataclasses without dataclass": (
        "sys.modules['dataclasses'] = types.ModuleType('dataclasses')",
        ImportError, "cannot import name dataclass",
        "del sys.modules['dataclasses']",
    ),
    "dataclass decorator raises": (
        "fake = sys.modules['dataclasses'] = types.ModuleType('dataclasses')\n"
        "def refuse(cls): raise LookupError(cls.__name__)\n"
        "fake.dataclass = refuse",
        LookupError, "SparseResult",
        "del sys.modules['dataclasses']",
    ),
}


@pytest.mark.parametrize("case", list(SPARSE_BODY_FAILURES))
def test_sparse_body_failures(python, case):
    breaking, error, message, repairing = SPARSE_BODY_FAILURES[case]
    breaking = breaking.replace("\n", "\n        ")  # kept at the indentation of the code below
    python(f"""
        import builtins, importlib, sys, traceback, types
        {breaking}
        try:
            importlib.import_module("velmorrow.sparse")
        except {error.__name__} as exc:
            assert str(exc) == {message!r}, str(exc)
            names = [f.name for f in traceback.extract_tb(exc.__traceback__)]
            assert names.count("init velmorrow.sparse") == 1, names
        else:
            raise AssertionError("import succeeded")
        assert "velmorrow.sparse" not in sys.modules
        {repairing}
        module = importlib.import_module("velmorrow.sparse")
        assert module.__test__ == {{}} and module.logger.name == "velmorrow.sparse"
        assert type(vars(module.SparseEmbeddingService)["profile_version"]) is property
    """)


@pytest.mark.parametrize("short_name", SHORT_NAMES)
def test_one_module_object_per_process(python, short_name):
    python(f"""
        import importlib.util, traceback
        FULL, SHORT = "velmorrow.{short_name}", "{short_name}"
        found = importlib.util.find_spec(FULL)
        first = importlib.util.module_from_spec(found)
        second = importlib.util.module_from_spec(found)
        assert first is not second  # nothing is held before an exec
        found.loader.exec_module(first)
        assert importlib.util.module_from_spec(found) is first
        try:
            found.loader.exec_module(second)
        except RuntimeError as exc:
            assert str(exc) == (f"Module '{{SHORT}}' has already been imported. "
                                "Re-initialisation is not supported."), str(exc)
            assert not [f for f in traceback.extract_tb(exc.__traceback__) if f.filename.startswith("src/")]
        else:
            raise AssertionError("second module object executed")
        assert "__test__" not in vars(second)
        marker = first.__test__
        found.loader.exec_module(first)  # the held object again: nothing runs
        assert first.__test__ is marker
    """)


@pytest.mark.parametrize(
    ("short_name", "global_name"),
    [("sparse", "_sparse_service"), ("featuregate", "_cached_capabilities"), ("scanrules", "settings")],
)
def test_reimport_and_reload_keep_every_global(python, short_name, global_name):
    python(f"""
        import importlib, logging, sys
        FULL = "velmorrow.{short_name}"
        module = importlib.import_module(FULL)
        marker = object()
        setattr(module, "{global_name}", marker)
        before = dict(vars(module))
        calls = []
        logging.getLogger = lambda *args: calls.append(args)

        del sys.modules[FULL]
        again = importlib.import_module(FULL)
        assert again is module and sys.modules[FULL] is module
        assert importlib.reload(module) is module

        assert getattr(module, "{global_name}") is marker
        assert calls == []
        body_names = list(before)[list(before).index("__builtins__"):]
        assert all(vars(module)[name] is before[name] for name in body_names)
        assert list(vars(module)) == list(before)
    """)


@pytest.mark.parametrize("short_name", ["sparse", "scanrules"])
def test_configuration_without_settings(python, short_name):
    python(f"""
        import sys, traceback, types
        FULL, SHORT = "velmorrow.{short_name}", "{short_name}"
        config = types.ModuleType("velmorrow.config")
        sys.modules["velmorrow.config"] = config
        try:
            __import__(FULL)
        except ImportError as exc:
            assert type(exc) is ImportError and str(exc) == "cannot import name settings", repr(exc)
            assert exc.__cause__ is None and exc.__context__ is None
            names = [f.name for f in traceback.extract_tb(exc.__traceback__)]
            assert names.count("init " + FULL) == 1, names
        else:
            raise AssertionError("import succeeded without settings")

        # Reading the attribute fails otherwise than with AttributeError: the same error.
        def refuse(name):
            raise ValueError(name)
        config.__getattr__ = refuse
        try:
            __import__(FULL)
        except ImportError as exc:
            assert str(exc) == "cannot import name settings", repr(exc)
        else:
            raise AssertionError("import succeeded")

        # A submodule entry of that name stands in for the missing attribute.
        del config.__getattr__
        stand_in = types.ModuleType("velmorrow.config.settings")
        sys.modules["velmorrow.config.settings"] = stand_in
        module = __import__(FULL, fromlist=["settings"])
        assert module.settings is stand_in
    """)


def test_body_imports_go_through_builtins_import(python):
    python("""
        import builtins, sys, types
        preloaded = {name for name in ("json", "logging", "dataclasses") if name in sys.modules}
        core = types.ModuleType("velmorrow_core_py")
        sys.modules["velmorrow_core_py"] = core
        original_import = builtins.__import__
        calls = []

        def recording_import(name, globals=None, locals=None, fromlist=(), level=0):
            if globals is not None and globals.get("__name__") == "velmorrow.sparse":
                assert locals == {} and locals is not globals
                calls.append((name, None if fromlist is None else list(fromlist), level))
            return original_import(name, globals, locals, fromlist, level)

        builtins.__import__ = recording_import
        try:
            import velmorrow.sparse as sparse
        finally:
            builtins.__import__ = original_import
        expected = [("json", None, 0), ("logging", None, 0), ("dataclasses", ["dataclass"], 0),
                    ("velmorrow.config", ["settings"], 0)]
        assert calls == [call for call in expected if call[0] not in preloaded], calls
        assert sparse.velmorrow_core_py is core
    """)


def test_create_hook_copies_the_import_details(python):
    doc = importlib.import_module("velmorrow.sparse").__doc__
    python(f"""
        import _imp, importlib.util, sys, types
        origin = importlib.util.find_spec("velmorrow.sparse").origin

        class BareDetails:
            name = "alias.sparse"
            origin = origin

        bare = _imp.create_dynamic(BareDetails())
        assert list(vars(bare)) == {STANDARD_ATTRIBUTES[:6]!r}, list(vars(bare))
        assert bare.__name__ == "alias.sparse" and bare.__file__ == origin
        assert bare.__loader__ is None and bare.__package__ is None
        assert bare.__doc__ == {doc!r}

        class PackageDetails:
            name = "pkg.sparse"
            origin = origin
            loader = "the loader"
            parent = "pkg"
            submodule_search_locations = ["somewhere"]

        package = _imp.create_dynamic(PackageDetails())
        assert list(vars(package)) == {STANDARD_ATTRIBUTES[:6]!r} + ["__path__"], list(vars(package))
        assert (package.__loader__, package.__package__, package.__path__) == (
            "the loader", "pkg", ["somewhere"])

        class UnreadableParent:
            name = "broken.sparse"
            origin = origin
            @property
            def parent(self):
                raise ValueError("unreadable parent")

        try:
            _imp.create_dynamic(UnreadableParent())
        except ValueError as exc:
            assert str(exc) == "unreadable parent"
        else:
            raise AssertionError("a failing attribute read was ignored")

        # Executed, the module enters sys.modules under its full name, whatever its own.
        assert "velmorrow.sparse" not in sys.modules
        assert _imp.exec_dynamic(bare) == 0
        assert sys.modules["velmorrow.sparse"] is bare
        assert bare.logger.name == "alias.sparse"
        assert bare.SparseResult.__module__ == "velmorrow.sparse"
        assert importlib.import_module("velmorrow.sparse") is bare
    """)


def test_existing_sys_modules_entry_is_left_alone(python):
    python("""
        import _imp, importlib.util, sys, types
        module = _imp.create_dynamic(importlib.util.find_spec("velmorrow.sparse"))
        placeholder = types.ModuleType("placeholder")
        sys.modules["velmorrow.sparse"] = placeholder
        _imp.exec_dynamic(module)
        assert sys.modules["velmorrow.sparse"] is placeholder
        assert module.__test__ == {}
    """)


@pytest.mark.parametrize("warning_filter", ["error::RuntimeWarning", "error"])
def test_no_version_warning_on_the_running_interpreter(python, warning_filter):
    assert sys.version_info[:2] == (3, 12)
    python("""
        import warnings
        with warnings.catch_warnings(record=True) as caught:  # keeps the -W filter
            import velmorrow.sparse, velmorrow.featuregate, velmorrow.scanrules
        assert caught == [], [str(w.message) for w in caught]
    """, "-W", warning_filter)
