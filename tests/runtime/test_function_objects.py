"""The function objects of the three extension modules: introspection, binding as methods,
argument binding errors, traceback entries, and how they behave as ordinary objects."""

from __future__ import annotations

import copy
import functools
import gc
import importlib
import inspect
import itertools
import operator
import pickle
import pydoc
import sys
import traceback
import types
import weakref
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import pytest


@dataclass(frozen=True)
class Expected:
    module: str  # short module name
    path: str  # attribute path from the module
    qualname: str
    documented: bool
    params: tuple[str, ...]
    annotations: tuple[tuple[str, str], ...]
    signature: str
    defaults: tuple[Any, ...] | None = None
    varnames: tuple[str, ...] | None = None  # exact, where the local names are fixed

    @property
    def name(self) -> str:
        return self.qualname.rpartition(".")[2]

    @property
    def full_name(self) -> str:
        return f"velmorrow.{self.module}.{self.qualname}"

    def resolve(self) -> Any:
        return operator.attrgetter(self.path)(importlib.import_module(f"velmorrow.{self.module}"))


FUNCTIONS = [
    Expected("sparse", "SparseEmbeddingService.__init__", "SparseEmbeddingService.__init__", False,
             ("self",), (("return", "None"),), "(self) -> 'None'"),
    Expected("sparse", "SparseEmbeddingService.profile_version.fget", "SparseEmbeddingService.profile_version",
             True, ("self",), (("return", "str"),), "(self) -> 'str'"),
    Expected("sparse", "SparseEmbeddingService.embed_single", "SparseEmbeddingService.embed_single", True,
             ("self", "text"), (("text", "str"), ("return", "SparseResult")),
             "(self, text: 'str') -> 'SparseResult'"),
    Expected("sparse", "SparseEmbeddingService.embed_batch", "SparseEmbeddingService.embed_batch", True,
             ("self", "texts"), (("texts", "list[str]"), ("return", "list[SparseResult]")),
             "(self, texts: 'list[str]') -> 'list[SparseResult]'"),
    Expected("sparse", "SparseEmbeddingService.embed_batch_list", "SparseEmbeddingService.embed_batch_list",
             True, ("self", "texts", "batch_size"),
             (("texts", "list[str]"), ("batch_size", "int | None"), ("return", "list[SparseResult]")),
             "(self, texts: 'list[str]', batch_size: 'int | None' = None) -> 'list[SparseResult]'",
             defaults=(None,)),
    Expected("sparse", "get_sparse_service", "get_sparse_service", True, (),
             (("return", "SparseEmbeddingService"),), "() -> 'SparseEmbeddingService'"),
    Expected("sparse", "reset_sparse_service", "reset_sparse_service", True, (),
             (("return", "None"),), "() -> 'None'"),
    Expected("featuregate", "_load_capabilities", "_load_capabilities", False, (),
             (("return", "set[str]"),), "() -> 'set[str]'", varnames=("velmorrow_core_py", "resp")),
    Expected("featuregate", "require_capability", "require_capability", True, ("name", "context"),
             (("name", "str"), ("context", "str"), ("return", "None")),
             "(name: 'str', context: 'str') -> 'None'", varnames=("name", "context", "caps")),
    Expected("scanrules", "build_scan_config", "build_scan_config", True, ("repo_path",),
             (("repo_path", "Path"), ("return", "dict[str, object]")),
             "(repo_path: 'Path') -> 'dict[str, object]'", varnames=("repo_path", "require_capability")),
]
BY_QUALNAME = {expected.qualname: expected for expected in FUNCTIONS}


def by_id(expected: Expected) -> str:
    return f"{expected.module}.{expected.qualname}"


each_function = pytest.mark.parametrize("expected", FUNCTIONS, ids=by_id)


def own_entries(exc: BaseException) -> list[tuple[str, str]]:
    """The traceback entries that the extension modules added."""
    return [(f.name, f.filename) for f in traceback.extract_tb(exc.__traceback__)
            if f.filename.startswith("src/velmorrow/")]


# ---- introspection ------------------------------------------------------------------------


class TestAttributes:
    @each_function
    def test_names_and_module(self, expected):
        function = expected.resolve()
        assert function.__name__ == expected.name
        assert function.__qualname__ == expected.qualname
        assert function.__module__ == f"velmorrow.{expected.module}"

    @each_function
    def test_defaults_and_annotations(self, expected):
        function = expected.resolve()
        assert function.__defaults__ == expected.defaults
        assert function.__kwdefaults__ is None
        assert type(function.__annotations__) is dict
        assert tuple(function.__annotations__.items()) == expected.annotations
        assert all(type(value) is str for value in function.__annotations__.values())

    @each_function
    def test_globals_are_the_module_namespace(self, expected):
        function = expected.resolve()
        assert function.__globals__ is vars(importlib.import_module(f"velmorrow.{expected.module}"))

    @each_function
    def test_code_object(self, expected):
        code = expected.resolve().__code__
        assert type(code) is types.CodeType
        assert code.co_filename == f"src/velmorrow/{expected.module}"
        assert code.co_name == expected.name
        assert code.co_argcount == len(expected.params)
        assert (code.co_posonlyargcount, code.co_kwonlyargcount) == (0, 0)
        assert not code.co_flags & (inspect.CO_VARARGS | inspect.CO_VARKEYWORDS)
        assert code.co_varnames[: code.co_argcount] == expected.params
        if expected.varnames is not None:
            assert code.co_varnames == expected.varnames
        # asyncio and executors ask this of any callable they are given
        assert not inspect.iscoroutinefunction(expected.resolve())
        assert not inspect.isgeneratorfunction(expected.resolve())

    @each_function
    def test_signature(self, expected):
        signature = inspect.signature(expected.resolve())
        assert str(signature) == expected.signature
        assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in signature.parameters.values())

    @each_function
    def test_repr(self, expected):
        function = expected.resolve()
        assert repr(function) == f"<function {expected.qualname} at {id(function):#x}>"

    # The string annotations resolving in the module globals: test_ecosystem, with typing.


def module_attribute(module: str, path: str = "") -> Callable[[], Any]:
    def resolve() -> Any:
        found = importlib.import_module(f"velmorrow.{module}")
        return operator.attrgetter(path)(found) if path else found
    return resolve


# Every function above, and the modules, classes and property that carry a docstring too.
DOCSTRINGS = [
    *((by_id(expected), expected.resolve, expected.documented) for expected in FUNCTIONS),
    *((f"velmorrow.{name}", module_attribute(name), True) for name in ("sparse", "featuregate", "scanrules")),
    ("sparse.SparseResult", module_attribute("sparse", "SparseResult"), True),
    ("sparse.SparseEmbeddingService", module_attribute("sparse", "SparseEmbeddingService"), True),
    ("sparse.SparseEmbeddingService.profile_version property",
     lambda: vars(importlib.import_module("velmorrow.sparse").SparseEmbeddingService)["profile_version"], True),
]


@pytest.mark.parametrize(("resolve", "documented"), [row[1:] for row in DOCSTRINGS],
                         ids=[row[0] for row in DOCSTRINGS])
def test_docstrings_reach_doc_inspect_and_pydoc(resolve, documented):
    target = resolve()
    text = pydoc.render_doc(target, renderer=pydoc.plaintext)
    if callable(target) and not isinstance(target, type):
        assert f"{target.__name__}{inspect.signature(target)}" in text
    doc = target.__doc__
    if not documented:
        assert doc is None
        return
    assert type(doc) is str and doc.strip()
    assert inspect.getdoc(target) == inspect.cleandoc(doc)
    assert inspect.cleandoc(doc).splitlines()[0] in text


# ---- binding as methods -----------------------------------------------------------------


@pytest.fixture
def service(sparse, fake_core, recording_settings):
    sparse.settings = recording_settings()
    sparse.velmorrow_core_py = fake_core()
    return sparse.SparseEmbeddingService()


class TestMethodBinding:
    def test_class_access_gives_the_function(self, sparse):
        function = vars(sparse.SparseEmbeddingService)["embed_single"]
        assert sparse.SparseEmbeddingService.embed_single is function
        assert function.__get__(None, sparse.SparseEmbeddingService) is function

    def test_instance_access_gives_a_bound_method(self, sparse, service):
        function = sparse.SparseEmbeddingService.embed_single
        method = service.embed_single
        assert type(method) is types.MethodType
        assert method.__self__ is service and method.__func__ is function
        direct = function.__get__(service, sparse.SparseEmbeddingService)
        assert direct.__self__ is service and direct.__func__ is function
        assert str(inspect.signature(method)) == "(text: 'str') -> 'SparseResult'"

    def test_call_paths_pass_the_instance_as_self(self, sparse, service):
        core = sparse.velmorrow_core_py
        expected = sparse.SparseResult(indices=[1], values=[0.5])
        function = sparse.SparseEmbeddingService.embed_single
        assert service.embed_single("a") == expected
        assert getattr(service, "embed_single")("b") == expected
        assert service.embed_single.__func__(service, "c") == expected
        assert function(service, text="d") == expected
        assert functools.partial(function, service)("e") == expected
        assert list(map(service.embed_single, ["f", "g"])) == [expected, expected]
        assert [args[0] for _, args in core.calls] == list("abcdefg")
        assert {args[1] for _, args in core.calls} == {service._profile_json}

    def test_repeated_method_calls_through_the_specialised_call_path(self, sparse, service):
        # The interpreter specialises a call site after a few runs; both paths must agree.
        results = [service.embed_single("hot") for _ in range(64)]
        assert all(r == sparse.SparseResult(indices=[1], values=[0.5]) for r in results)
        assert len(sparse.velmorrow_core_py.calls) == 64

    def test_batch_list_by_keyword(self, sparse, service):
        records = service.embed_batch_list(texts=["x", "y"], batch_size=2)
        assert [r.indices for r in records] == [[0], [1]]

    def test_functions_bind_in_any_class(self, sparse):
        class Holder:
            embed = sparse.SparseEmbeddingService.embed_single
            get = sparse.get_sparse_service

        holder = Holder()
        assert holder.embed.__self__ is holder
        with pytest.raises(TypeError) as info:
            holder.get()
        assert str(info.value) == "get_sparse_service() takes no arguments (1 given)"

    def test_property_getter_runs_on_access(self, sparse, service):
        sparse.settings.sparse_profile_version = "v9"
        assert service.profile_version == "v9"


# ---- binding errors ---------------------------------------------------------------------

SELF = object()  # binding fails before any body runs, so any object serves as self

BINDING_ERRORS = [
    ("SparseEmbeddingService.embed_single", (), {},
     "embed_single() takes exactly 2 positional arguments (0 given)"),
    ("SparseEmbeddingService.embed_single", (SELF,), {},
     "embed_single() takes exactly 2 positional arguments (1 given)"),
    ("SparseEmbeddingService.embed_single", (SELF, "a", "b"), {},
     "embed_single() takes exactly 2 positional arguments (3 given)"),
    ("SparseEmbeddingService.embed_single", (), {"text": "a"},
     "embed_single() takes exactly 2 positional arguments (0 given)"),
    ("SparseEmbeddingService.embed_single", (SELF,), {"txt": "a"},
     "embed_single() got an unexpected keyword argument 'txt'"),
    ("SparseEmbeddingService.embed_single", (SELF, "a"), {"text": "b"},
     "embed_single() got multiple values for keyword argument 'text'"),
    ("SparseEmbeddingService.embed_single", (SELF, "a", "b"), {"bogus": 1},
     "embed_single() takes exactly 2 positional arguments (3 given)"),
    ("SparseEmbeddingService.embed_batch_list", (SELF,), {},
     "embed_batch_list() takes at least 2 positional arguments (1 given)"),
    ("SparseEmbeddingService.embed_batch_list", (), {},
     "embed_batch_list() takes at least 2 positional arguments (0 given)"),
    ("SparseEmbeddingService.embed_batch_list", (SELF, [], 1, 2), {},
     "embed_batch_list() takes at most 3 positional arguments (4 given)"),
    ("SparseEmbeddingService.embed_batch_list", (SELF,), {"batch_size": 1},
     "embed_batch_list() takes at least 2 positional arguments (1 given)"),
    ("SparseEmbeddingService.embed_batch_list", (), {"texts": [], "batch_size": 1},
     "embed_batch_list() takes at least 2 positional arguments (0 given)"),
    ("SparseEmbeddingService.embed_batch_list", (SELF, [], 1), {"batch_size": 2},
     "embed_batch_list() got multiple values for keyword argument 'batch_size'"),
    ("SparseEmbeddingService.__init__", (), {},
     "__init__() takes exactly 1 positional argument (0 given)"),
    ("SparseEmbeddingService.__init__", (SELF, SELF), {},
     "__init__() takes exactly 1 positional argument (2 given)"),
    ("SparseEmbeddingService.profile_version", (), {"me": SELF},
     "profile_version() got an unexpected keyword argument 'me'"),
    ("require_capability", ("a",), {},
     "require_capability() takes exactly 2 positional arguments (1 given)"),
    ("require_capability", (), {"context": "c"},
     "require_capability() takes exactly 2 positional arguments (0 given)"),
    ("require_capability", (), {"name": "a"},
     "require_capability() takes exactly 2 positional arguments (1 given)"),
    ("require_capability", ("a", "b", "c"), {},
     "require_capability() takes exactly 2 positional arguments (3 given)"),
    ("require_capability", ("a", "b"), {"extra": 1, "name": "x"},
     "require_capability() got an unexpected keyword argument 'extra'"),
    ("require_capability", ("a", "b"), {"name": "x", "extra": 1},
     "require_capability() got multiple values for keyword argument 'name'"),
    ("build_scan_config", (), {}, "build_scan_config() takes exactly 1 positional argument (0 given)"),
    ("build_scan_config", (".", "."), {"mode": 1},
     "build_scan_config() takes exactly 1 positional argument (2 given)"),
    ("build_scan_config", (), {"mode": 1, "other": 2},
     "build_scan_config() got an unexpected keyword argument 'mode'"),
    ("build_scan_config", (".",), {"repo_path": "."},
     "build_scan_config() got multiple values for keyword argument 'repo_path'"),
    ("require_capability", (), {}, "require_capability() takes exactly 2 positional arguments (0 given)"),
    ("require_capability", ("a", "b", "c"), {"bogus": 1},
     "require_capability() takes exactly 2 positional arguments (3 given)"),
    ("require_capability", (), {"name": "a", "ctx": "c", "zz": 1},
     "require_capability() got an unexpected keyword argument 'ctx'"),
    ("require_capability", ("a", "b"), {"context": "c"},
     "require_capability() got multiple values for keyword argument 'context'"),
    ("build_scan_config", ("/a", "/b", "/c"), {"mode": 1},
     "build_scan_config() takes exactly 1 positional argument (3 given)"),
    ("build_scan_config", ("/a",), {"mode": 1}, "build_scan_config() got an unexpected keyword argument 'mode'"),
    ("build_scan_config", (), {"repo_path": "/a", "zz": 1, "mode": 2},
     "build_scan_config() got an unexpected keyword argument 'zz'"),
    ("SparseEmbeddingService.embed_single", (), {"self": SELF},
     "embed_single() takes exactly 2 positional arguments (1 given)"),
]


def call_by_qualname(qualname: str, args: tuple[Any, ...], kwargs: dict[str, Any]) -> BaseException:
    expected = BY_QUALNAME[qualname]
    with pytest.raises(BaseException) as info:
        expected.resolve()(*args, **kwargs)
    return info.value


@pytest.fixture
def tripwires(sparse, featuregate, scanrules, fake_core, recording_settings, monkeypatch):
    """Records whatever a body would touch: the settings, the core, the handshake."""
    core = fake_core()
    monkeypatch.setitem(sys.modules, "velmorrow_core_py", core)
    sparse.velmorrow_core_py = core
    sparse.settings = scanrules.settings = recording_settings(builtin_ignore_replace=True)
    featuregate._cached_capabilities = None
    return core, sparse.settings, featuregate


@pytest.mark.parametrize(("qualname", "args", "kwargs", "message"), BINDING_ERRORS)
def test_binding_errors_and_their_traceback_entry(tripwires, qualname, args, kwargs, message):
    exc = call_by_qualname(qualname, args, kwargs)
    assert type(exc) is TypeError
    assert str(exc) == message
    expected = BY_QUALNAME[qualname]
    assert own_entries(exc) == [(expected.full_name, f"src/velmorrow/{expected.module}")]
    core, settings, featuregate = tripwires
    # Binding fails before the body reads anything.
    assert (core.calls, settings.reads, featuregate._cached_capabilities) == ([], [], None)


NO_PARAMETER_ERRORS = [
    ("get_sparse_service", (1,), {}, "get_sparse_service() takes no arguments (1 given)"),
    ("get_sparse_service", (1, 2, 3), {}, "get_sparse_service() takes no arguments (3 given)"),
    ("reset_sparse_service", (), {"x": 1}, "reset_sparse_service() takes no keyword arguments"),
    ("reset_sparse_service", (1,), {"x": 1}, "reset_sparse_service() takes no keyword arguments"),
    ("_load_capabilities", (None,), {}, "_load_capabilities() takes no arguments (1 given)"),
    ("_load_capabilities", (1, 2), {"x": 1}, "_load_capabilities() takes no keyword arguments"),
    ("_load_capabilities", (1, 2), {}, "_load_capabilities() takes no arguments (2 given)"),
    ("_load_capabilities", (), {"x": 1}, "_load_capabilities() takes no keyword arguments"),
]


@pytest.mark.parametrize(("qualname", "args", "kwargs", "message"), NO_PARAMETER_ERRORS)
def test_functions_without_parameters_refuse_arguments_without_an_entry(tripwires, qualname, args, kwargs, message):
    exc = call_by_qualname(qualname, args, kwargs)
    assert type(exc) is TypeError
    assert str(exc) == message
    assert own_entries(exc) == []
    core, settings, featuregate = tripwires
    assert (core.calls, settings.reads, featuregate._cached_capabilities) == ([], [], None)


class MyStr(str):
    pass


class MyList(list):
    pass


SERVICE = "SparseEmbeddingService."

# (function, arguments, the refused parameter, expected type, actual type, note expected)
ARGUMENT_TYPE_ERRORS = [
    (SERVICE + "embed_single", (SELF, None), "text", "str", "NoneType", False),
    (SERVICE + "embed_single", (SELF, b"x"), "text", "str", "bytes", False),
    (SERVICE + "embed_single", (SELF, MyStr("x")), "text", "str", "MyStr", True),
    (SERVICE + "embed_batch", (SELF, ("x",)), "texts", "list", "tuple", False),
    (SERVICE + "embed_batch", (SELF, None), "texts", "list", "NoneType", False),
    (SERVICE + "embed_batch", (SELF, MyList()), "texts", "list", "MyList", True),
    (SERVICE + "embed_batch_list", (SELF, MyList(), 3), "texts", "list", "MyList", True),
    ("require_capability", (None, "c"), "name", "str", "NoneType", False),
    ("require_capability", (MyStr("a"), None), "name", "str", "MyStr", True),
    ("require_capability", ("a", MyStr("c")), "context", "str", "MyStr", True),
    ("require_capability", (1, 2), "name", "str", "int", False),
    (SERVICE + "embed_single", (SELF, 5), "text", "str", "int", False),
    (SERVICE + "embed_batch", (SELF, "ab"), "texts", "list", "str", False),
    ("require_capability", ("a", None), "context", "str", "NoneType", False),
    ("require_capability", (b"a", "c"), "name", "str", "bytes", False),
    ("require_capability", (None, 1), "name", "str", "NoneType", False),
    ("require_capability", (1, MyStr("c")), "name", "str", "int", False),
]


def type_message(parameter: str, expected: str, actual: str) -> str:
    return f"Argument '{parameter}' has incorrect type (expected {expected}, got {actual})"


@pytest.mark.parametrize(
    ("qualname", "args", "parameter", "expected", "actual", "noted"), ARGUMENT_TYPE_ERRORS
)
def test_argument_type_errors(tripwires, qualname, args, parameter, expected, actual, noted):
    exc = call_by_qualname(qualname, args, {})
    assert type(exc) is TypeError
    assert str(exc) == type_message(parameter, expected, actual)
    notes = getattr(exc, "__notes__", [])
    if noted:
        assert len(notes) == 1
        assert "subclass" in notes[0].lower() and "reject" in notes[0].lower()
    else:
        assert notes == []
    assert own_entries(exc) == []
    core, settings, featuregate = tripwires
    # Checked before the body reads anything.
    assert (core.calls, settings.reads, featuregate._cached_capabilities) == ([], [], None)


def test_argument_type_errors_after_keyword_binding():
    exc = call_by_qualname("require_capability", (), {"context": None, "name": "a"})
    assert str(exc) == type_message("context", "str", "NoneType")
    assert own_entries(exc) == []
    # Parameters are checked in their own order, not in the keywords' order.
    exc = call_by_qualname("require_capability", (), {"context": None, "name": None})
    assert str(exc) == type_message("name", "str", "NoneType")


def test_batch_size_is_coerced_before_texts_are_checked():
    exc = call_by_qualname("SparseEmbeddingService.embed_batch_list", (SELF, None, "many"), {})
    assert str(exc) == type_message("batch_size", "int", "str")
    assert getattr(exc, "__notes__", []) == []
    assert own_entries(exc) == [("velmorrow.sparse.SparseEmbeddingService.embed_batch_list",
                                 "src/velmorrow/sparse")]


# ---- traceback entries of errors raised in bodies ----------------------------------------


class TestBodyErrors:
    def test_one_entry_for_an_error_in_a_body(self, sparse):
        bare = object.__new__(sparse.SparseEmbeddingService)
        with pytest.raises(AttributeError) as info:
            bare.embed_single("text")
        assert own_entries(info.value) == [
            ("velmorrow.sparse.SparseEmbeddingService.embed_single", "src/velmorrow/sparse")
        ]

    def test_nested_calls_add_one_entry_each_outermost_first(self, sparse, recording_settings):
        sparse.settings = recording_settings(sparse_max_text_chars=KeyError("unset"))
        with pytest.raises(KeyError) as info:
            sparse.get_sparse_service()
        assert own_entries(info.value) == [
            ("velmorrow.sparse.get_sparse_service", "src/velmorrow/sparse"),
            ("velmorrow.sparse.SparseEmbeddingService.__init__", "src/velmorrow/sparse"),
        ]

    def test_method_calling_a_method(self, sparse):
        bare = object.__new__(sparse.SparseEmbeddingService)
        with pytest.raises(AttributeError) as info:
            bare.embed_batch_list(["text"])
        assert [name for name, _ in own_entries(info.value)] == [
            "velmorrow.sparse.SparseEmbeddingService.embed_batch_list",
            "velmorrow.sparse.SparseEmbeddingService.embed_batch",
        ]

    def test_entry_sits_between_caller_and_python_callee(self, sparse, service):
        def failing(*args):
            raise OSError("core down")

        sparse.velmorrow_core_py.sparse_embed_single = failing
        with pytest.raises(OSError) as info:
            service.embed_single("x")
        names = [f.name for f in traceback.extract_tb(info.value.__traceback__)]
        assert names[-2:] == ["velmorrow.sparse.SparseEmbeddingService.embed_single", "failing"]

    def test_featuregate_and_scanrules_bodies(self, featuregate, scanrules, recording_settings):
        featuregate._cached_capabilities = ["not", "a", "set"]
        with pytest.raises(TypeError) as info:
            featuregate.require_capability("a", "b")
        assert str(info.value) == "Expected set, got list"
        assert own_entries(info.value) == [
            ("velmorrow.featuregate.require_capability", "src/velmorrow/featuregate"),
            ("velmorrow.featuregate._load_capabilities", "src/velmorrow/featuregate"),
        ]
        scanrules.settings = recording_settings(builtin_ignore_replace=ValueError("unreadable"))
        with pytest.raises(ValueError) as info:
            scanrules.build_scan_config(".")
        assert own_entries(info.value) == [
            ("velmorrow.scanrules.build_scan_config", "src/velmorrow/scanrules")
        ]


# ---- a deleted module global ------------------------------------------------------------

PROFILE_READS = ["sparse_profile_version", "sparse_max_text_chars", "code_pretokenize"]

# Every global that each body reads: (function, global, the core calls and settings reads
# made before the failing read). The read happens at the call, so deleting the global
# afterwards gives NameError, with the body's own traceback entry.
DELETED_GLOBALS = [
    ("SparseEmbeddingService.__init__", "json", [], []),
    ("SparseEmbeddingService.__init__", "settings", [], []),
    ("SparseEmbeddingService.__init__", "logger", [], PROFILE_READS),
    ("SparseEmbeddingService.profile_version", "settings", [], []),
    ("SparseEmbeddingService.embed_single", "velmorrow_core_py", [], []),
    ("SparseEmbeddingService.embed_single", "json", ["sparse_embed_single"], []),
    ("SparseEmbeddingService.embed_single", "SparseResult", ["sparse_embed_single"], []),
    ("SparseEmbeddingService.embed_batch", "json", [], []),
    ("SparseEmbeddingService.embed_batch", "velmorrow_core_py", [], []),
    ("SparseEmbeddingService.embed_batch", "SparseResult", ["sparse_embed_batch"], []),
    ("get_sparse_service", "_sparse_service", [], []),
    ("get_sparse_service", "SparseEmbeddingService", [], []),
    ("require_capability", "_load_capabilities", [], []),
    ("_load_capabilities", "_cached_capabilities", [], []),
    ("_load_capabilities", "json", [], []),
    ("build_scan_config", "settings", [], []),
]

DELETED_GLOBAL_CALLS: dict[str, Callable[[types.SimpleNamespace], Any]] = {
    "SparseEmbeddingService.__init__": lambda at: at.Service(),
    "SparseEmbeddingService.profile_version": lambda at: at.service.profile_version,
    "SparseEmbeddingService.embed_single": lambda at: at.service.embed_single("text"),
    "SparseEmbeddingService.embed_batch": lambda at: at.service.embed_batch(["text"]),
    "get_sparse_service": lambda at: at.sparse.get_sparse_service(),
    "require_capability": lambda at: at.featuregate.require_capability("cap", "why"),
    "_load_capabilities": lambda at: at.featuregate._load_capabilities(),
    "build_scan_config": lambda at: at.scanrules.build_scan_config("/repo"),
}


@pytest.mark.parametrize(("qualname", "name", "calls", "reads"), DELETED_GLOBALS,
                         ids=[f"{row[0]}-{row[1]}" for row in DELETED_GLOBALS])
def test_deleted_global_is_a_name_error(tripwires, sparse, featuregate, scanrules, qualname, name, calls, reads):
    core, settings, _ = tripwires
    sparse._sparse_service = None
    service = sparse.SparseEmbeddingService()
    del settings.reads[:]
    expected = BY_QUALNAME[qualname]
    module = importlib.import_module(f"velmorrow.{expected.module}")
    delattr(module, name)
    at = types.SimpleNamespace(sparse=sparse, featuregate=featuregate, scanrules=scanrules,
                               Service=type(service), service=service)
    with pytest.raises(NameError) as info:
        DELETED_GLOBAL_CALLS[qualname](at)
    assert str(info.value) == f"name '{name}' is not defined"
    assert own_entries(info.value) == [(expected.full_name, f"src/velmorrow/{expected.module}")]
    assert [call[0] for call in core.calls] == calls
    assert settings.reads == reads
    # Nothing was half set: not the name itself, the singleton or the capability cache.
    assert name not in vars(module)
    assert vars(sparse).get("_sparse_service") is None
    assert vars(featuregate).get("_cached_capabilities") is None


# ---- the function objects as Python objects --------------------------------------------

PICKLABLE = [expected for expected in FUNCTIONS if not expected.path.endswith(".fget")]


class TestObjectProtocols:
    @pytest.mark.parametrize("expected", PICKLABLE, ids=by_id)
    @pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
    def test_pickled_by_reference(self, expected, protocol):
        function = expected.resolve()
        assert pickle.loads(pickle.dumps(function, protocol)) is function

    @each_function
    def test_copies_are_the_object_itself(self, expected):
        function = expected.resolve()
        assert copy.copy(function) is function
        assert copy.deepcopy(function) is function
        assert copy.deepcopy({"f": [function]})["f"][0] is function

    @each_function
    def test_weak_references(self, expected):
        function = expected.resolve()
        assert weakref.ref(function)() is function
        assert weakref.proxy(function).__name__ == expected.name

    @each_function
    def test_garbage_collector_sees_what_the_function_holds(self, expected):
        # As for a Python function: what tools walking gc.get_referents() must find.
        function = expected.resolve()
        held = [function.__code__, function.__globals__, function.__name__, function.__qualname__,
                function.__module__, function.__doc__, function.__annotations__, function.__dict__]
        if function.__defaults__ is not None:
            held.append(function.__defaults__)
        referents = gc.get_referents(function)
        assert [any(referent is value for referent in referents) for value in held] == [True] * len(held)

    def test_hash_and_equality_by_identity(self, sparse):
        functions = {sparse.get_sparse_service: 1, sparse.reset_sparse_service: 2}
        assert functions[sparse.get_sparse_service] == 1
        assert sparse.get_sparse_service != sparse.reset_sparse_service

    @each_function
    def test_functools_wraps_copies_the_metadata(self, expected):
        original = expected.resolve()

        @functools.wraps(original)
        def wrapper(*args, **kwargs):
            return original(*args, **kwargs)

        assert (wrapper.__name__, wrapper.__qualname__) == (expected.name, expected.qualname)
        assert wrapper.__module__ == f"velmorrow.{expected.module}"
        for name in functools.WRAPPER_ASSIGNMENTS:
            assert getattr(wrapper, name) == getattr(original, name), name
        assert tuple(wrapper.__annotations__.items()) == expected.annotations
        assert wrapper.__wrapped__ is original
        assert str(inspect.signature(wrapper)) == expected.signature

    def test_reference_cycle_through_dict_is_collected(self, python):
        python("""
            import gc, weakref
            import velmorrow.sparse, velmorrow.featuregate
            for module, name in ((velmorrow.sparse, "reset_sparse_service"),
                                 (velmorrow.featuregate, "require_capability")):
                function = vars(module).pop(name)
                function.itself = function
                function.__dict__["loop"] = [function]
                ref = weakref.ref(function)
                del function
                gc.collect()
                assert ref() is None, name
        """)


# ---- attribute setters and read-only attributes, as for Python functions ----------------


def python_function(name: str, context: str) -> None:
    """A Python function, the model of what each attribute operation does."""


def restored(function: Any) -> dict[str, Any]:
    return {"__name__": function.__name__, "__qualname__": function.__qualname__, "__doc__": function.__doc__,
            "__module__": function.__module__, "__annotations__": dict(function.__annotations__),
            "__dict__": dict(function.__dict__)}


def restore(function: Any, saved: dict[str, Any]) -> None:
    for name, value in saved.items():
        setattr(function, name, value)


def attribute_outcome(operation: Any, function: Any) -> tuple[Any, ...]:
    try:
        result = operation(function)
    except Exception as error:  # noqa: BLE001 - the exception is the outcome
        # Read-only members and getters word their refusal differently; the type decides.
        message = str(error).replace("velmorrow.function", "function")
        read_only = "readonly" in message or "not writable" in message
        return ("raised", type(error), None if read_only else message)
    return ("ok", result)


def assign(name: str, value: Any) -> Any:
    def operation(function: Any) -> Any:
        setattr(function, name, value)
        return getattr(function, name)
    return operation


def delete(name: str) -> Any:
    def operation(function: Any) -> Any:
        delattr(function, name)
        return getattr(function, name)
    return operation


def qualname_in_repr(function: Any) -> bool:
    function.__qualname__ = "Other.thing"
    return repr(function).startswith("<function Other.thing at ")


def arbitrary_attribute(function: Any) -> Any:
    function.note = 1
    seen = (function.note, function.__dict__)
    del function.note
    return seen + (hasattr(function, "note"),)


ATTRIBUTE_OPERATIONS = {
    "__name__ set": assign("__name__", "renamed"),
    "__name__ set non-ASCII": assign("__name__", "\u00e9t\u00e9"),
    "__name__ set to a non-str": assign("__name__", 1),
    "__name__ deleted": delete("__name__"),
    "__qualname__ set": assign("__qualname__", "Other.thing"),
    "__qualname__ in repr": qualname_in_repr,
    "__qualname__ set to a non-str": assign("__qualname__", None),
    "__qualname__ deleted": delete("__qualname__"),
    "__doc__ set": assign("__doc__", "new doc"),
    "__doc__ set to any object": assign("__doc__", 7),
    "__doc__ deleted": delete("__doc__"),
    "__module__ set": assign("__module__", "elsewhere"),
    "__module__ deleted": delete("__module__"),
    "__dict__ set": assign("__dict__", {"a": 1}),
    "__dict__ set to a non-dict": assign("__dict__", 1),
    "__dict__ deleted": delete("__dict__"),
    "arbitrary attribute": arbitrary_attribute,
    "missing attribute deleted": delete("never_set"),
    "__annotations__ set": assign("__annotations__", {"x": "int"}),
    "__annotations__ set to None": assign("__annotations__", None),
    "__annotations__ set to a non-dict": assign("__annotations__", [1]),
    "__annotations__ deleted": delete("__annotations__"),
    "__globals__ set": assign("__globals__", {}),
    "__globals__ deleted": delete("__globals__"),
    "__closure__ set": assign("__closure__", None),
}


@each_function
@pytest.mark.parametrize("operation", ATTRIBUTE_OPERATIONS)
def test_attribute_operations_as_for_python_functions(expected, operation):
    function = expected.resolve()
    saved, model_saved = restored(function), restored(python_function)
    try:
        actual = attribute_outcome(ATTRIBUTE_OPERATIONS[operation], function)
        model = attribute_outcome(ATTRIBUTE_OPERATIONS[operation], python_function)
    finally:
        restore(function, saved)
        restore(python_function, model_saved)
    assert actual == model
    assert restored(function) == saved


# Python functions let these be rebound; these functions' bodies are fixed, so they do not.
READ_ONLY = ["__code__", "__defaults__", "__kwdefaults__", "__type_params__"]


@each_function
@pytest.mark.parametrize("name", READ_ONLY)
def test_fixed_attributes_are_read_only(expected, name):
    function = expected.resolve()
    before = getattr(function, name)
    for operation in (assign(name, getattr(python_function, name)), delete(name)):
        with pytest.raises(AttributeError) as info:
            operation(function)
        assert str(info.value) == f"attribute '{name}' of 'velmorrow.function' objects is not writable"
    assert getattr(function, name) is before or getattr(function, name) == before


@each_function
def test_no_builtins_attribute(expected):
    # Module-level names fall back to the builtins module itself, not to a per-function copy.
    assert not hasattr(expected.resolve(), "__builtins__")


@each_function
def test_no_type_parameters(expected):
    # As for a Python function defined without a type parameter list.
    assert expected.resolve().__type_params__ == python_function.__type_params__ == ()


@pytest.mark.parametrize("order", list(itertools.permutations(["sparse", "featuregate", "scanrules"])))
def test_modules_share_one_function_type_whatever_loads_first(python, order):
    """One runtime per process: the first module to load makes the function type, and the
    others find it, so every function of every module is of that one type."""
    result = python(
        f"""
import importlib
modules = [importlib.import_module("velmorrow." + name) for name in {list(order)!r}]
import velmorrow.featuregate as featuregate, velmorrow.scanrules as scanrules, velmorrow.sparse as sparse
function_type = type(sparse.get_sparse_service)
print(isinstance(featuregate.require_capability, function_type),
      isinstance(scanrules.build_scan_config, function_type),
      type(featuregate._load_capabilities) is type(scanrules.build_scan_config) is function_type,
      function_type.__module__, function_type.__name__)
"""
    )
    assert result.stdout.split() == ["True", "True", "True", "velmorrow", "function"]


@pytest.mark.parametrize("foreign", ["capsule of another layout", "not a capsule"])
def test_modules_of_another_build_keep_a_runtime_of_their_own(python, foreign):
    """A runtime left by modules of another build, or anything else under its key, is not
    shared: each module makes its own, and all of them still work."""
    result = python(
        f"""
import ctypes
api = ctypes.pythonapi
api.PyInterpreterState_Get.restype = ctypes.c_void_p
api.PyInterpreterState_GetDict.restype = ctypes.py_object
api.PyInterpreterState_GetDict.argtypes = [ctypes.c_void_p]
api.PyCapsule_New.restype = ctypes.py_object
api.PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
key = b"velmorrow.runtime.v1"
layout = ctypes.create_string_buffer(256)  # all sizes zero: a layout this build does not know
stored = api.PyCapsule_New(ctypes.addressof(layout), key, None) if {foreign!r} == "capsule of another layout" else 42
api.PyInterpreterState_GetDict(api.PyInterpreterState_Get())[key.decode()] = stored
import velmorrow.featuregate as featuregate, velmorrow.scanrules as scanrules, velmorrow.sparse as sparse
print(type(featuregate.require_capability) is type(sparse.get_sparse_service),
      type(scanrules.build_scan_config) is type(sparse.get_sparse_service))
print(featuregate.require_capability("ignore_builtin_replace", "check"),
      scanrules.build_scan_config("/repo")["repo_root"],
      sparse.get_sparse_service().embed_single("fooBar").indices == sparse.get_sparse_service().embed_batch(["fooBar"])[0].indices)
"""
    )
    assert result.stdout.split() == ["False", "False", "None", "/repo", "True"]
