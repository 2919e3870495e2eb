"""Tests of velmorrow.featuregate: the handshake cache and the capability gate."""

from __future__ import annotations

import builtins
import json
import sys
import traceback
import types

import pytest

CORE = "velmorrow_core_py"
SOURCE = "src/velmorrow/featuregate"
LOAD_ENTRY = "velmorrow.featuregate._load_capabilities"
REQUIRE_ENTRY = "velmorrow.featuregate.require_capability"
REBUILD_HINT = ". Rebuild the Rust extension: maturin develop --release"


def missing_message(name: str, context: str, available: str) -> str:
    return f"Rust core capability '{name}' required for {context} but not found. Available: {available}{REBUILD_HINT}"


def gate_entries(error: BaseException) -> list[str]:
    """The traceback entries this module added, outermost first."""
    return [frame.name for frame in traceback.extract_tb(error.__traceback__) if frame.filename == SOURCE]


def handshakes(core) -> int:
    return core.calls.count(("handshake", ()))


class SetSubclass(set):
    pass


@pytest.fixture
def gate(featuregate):
    """The module with an empty (unloaded) cache; the fixture puts the old cache back."""
    featuregate._cached_capabilities = None
    return featuregate


@pytest.fixture
def install_core(monkeypatch, fake_core):
    def install(**answers):
        core = fake_core(**answers)
        monkeypatch.setitem(sys.modules, CORE, core)
        return core

    return install


# ---- the module surface ---------------------------------------------------------------


def test_import_and_first_use_without_any_core(python):
    result = python(
        """
        import sys
        sys.modules["velmorrow_core_py"] = None
        import velmorrow.featuregate as gate
        assert gate._cached_capabilities is None
        first = gate._load_capabilities()
        assert type(first) is set and first == set() and gate._load_capabilities() is first
        try:
            gate.require_capability("ignore_builtin_replace", "builtin_ignore_replace=True")
        except RuntimeError as error:
            print(error)
        """
    )
    assert result.stdout.strip() == missing_message("ignore_builtin_replace", "builtin_ignore_replace=True", "[]")


def test_logger_and_no_core_global(featuregate):
    assert featuregate.logger.name == "velmorrow.featuregate"
    assert CORE not in vars(featuregate)
    assert "__all__" not in vars(featuregate) and "__annotations__" not in vars(featuregate)


# ---- loading the cache --------------------------------------------------------------


@pytest.mark.parametrize(
    "answer, expected",
    [
        ('{"capabilities": ["b", "a", "b"]}', {"a", "b"}),
        ("{}", set()),
        ('{"capabilities": [], "core": "x", "version": [1, 2]}', set()),
        ('{"capabilities": "ab"}', {"a", "b"}),
        ('{"capabilities": {"x": 1, "y": [2]}}', {"x", "y"}),
        ('{"capabilities": [" Ignore ", "ignore", 2, 2.5, null]}', {" Ignore ", "ignore", 2, 2.5, None}),
        (b'{"capabilities": ["a"]}', {"a"}),
        (bytearray(b'{"capabilities": ["a"]}'), {"a"}),
    ],
    ids=["duplicates", "empty-object", "other-keys", "string", "object", "as-decoded", "bytes", "bytearray"],
)
def test_handshake_answer_becomes_the_cached_set(gate, install_core, answer, expected):
    core = install_core(handshake=answer)
    loaded = gate._load_capabilities()
    assert type(loaded) is set and loaded == expected
    assert gate._cached_capabilities is loaded
    # Loaded, even when empty: the handshake does not run again.
    assert gate._load_capabilities() is loaded
    for member in expected:
        if type(member) is str:
            assert gate.require_capability(member, "c") is None
    assert handshakes(core) == 1


def test_handshake_runs_once_then_the_cache_answers(gate, install_core):
    core = install_core(handshake='{"capabilities": ["a"]}')
    for _ in range(3):
        assert gate.require_capability("a", "any context") is None
    assert handshakes(core) == 1 and gate._cached_capabilities == {"a"}


def test_assigning_none_resets_the_cache(gate, install_core):
    first_core = install_core(handshake='{"capabilities": ["a"]}')
    first = gate._load_capabilities()
    gate._cached_capabilities = None
    second_core = install_core(handshake='{"capabilities": ["b"]}')
    second = gate._load_capabilities()
    assert (first, second) == ({"a"}, {"b"}) and first is not second
    assert handshakes(first_core) == handshakes(second_core) == 1


def test_a_set_put_in_the_cache_is_returned_as_is(gate, install_core):
    core = install_core()
    mine = {"x"}
    gate._cached_capabilities = mine
    assert gate._load_capabilities() is mine
    assert gate.require_capability("x", "c") is None
    assert handshakes(core) == 0


def test_the_answer_goes_through_the_json_global_of_the_moment(gate, monkeypatch, install_core):
    answer = object()
    core = install_core(handshake=lambda: answer)
    seen = []

    class Response:
        def get(self, *args):
            seen.append(args)
            return ["via-get"]

    def loads(*args, **kwargs):
        seen.append((args, kwargs))
        return Response()

    monkeypatch.setattr(gate, "json", types.SimpleNamespace(loads=loads))
    assert gate._load_capabilities() == {"via-get"}
    (loads_args, loads_kwargs), get_args = seen
    assert loads_args[0] is answer and len(loads_args) == 1 and loads_kwargs == {}
    assert get_args[0] == "capabilities" and type(get_args[1]) is list and get_args[1] == []
    assert handshakes(core) == 1


def test_loads_is_read_afresh_from_a_module_json(gate, monkeypatch, install_core):
    install_core()
    decoder = types.ModuleType("decoder")
    decoder.loads = lambda answer: {"capabilities": ["first"]}
    monkeypatch.setattr(gate, "json", decoder)
    assert gate._load_capabilities() == {"first"}
    decoder.loads = lambda answer: {"capabilities": ["second"]}
    gate._cached_capabilities = None
    assert gate._load_capabilities() == {"second"}
    del decoder.loads
    gate._cached_capabilities = None
    with pytest.raises(AttributeError, match="has no attribute 'loads'"):
        gate._load_capabilities()


@pytest.mark.parametrize(
    "raised",
    [ImportError("no core"), ModuleNotFoundError("no core"), type("CoreLinkError", (ImportError,), {})("x"),
     type("CoreMissing", (ModuleNotFoundError,), {})("x")],
    ids=["ImportError", "ModuleNotFoundError", "ImportError-subclass", "ModuleNotFoundError-subclass"],
)
def test_import_error_inside_the_handshake_means_no_capabilities(gate, install_core, raised):
    core = install_core(handshake=raised)
    loaded = gate._load_capabilities()
    assert type(loaded) is set and loaded == set() and gate._cached_capabilities is loaded
    with pytest.raises(RuntimeError):
        gate.require_capability("a", "c")
    assert gate._load_capabilities() is loaded and handshakes(core) == 1


def test_import_error_inside_json_loads_means_no_capabilities(gate, monkeypatch, install_core):
    def loads(_answer):
        raise ImportError("decoder unavailable")

    core = install_core(handshake='{"capabilities": ["a"]}')
    monkeypatch.setattr(gate, "json", types.SimpleNamespace(loads=loads))
    assert gate._load_capabilities() == set() and gate._cached_capabilities == set()
    assert handshakes(core) == 1


def test_unimportable_core_is_tried_once(gate, monkeypatch):
    attempts = []

    class NoCore:
        @staticmethod
        def find_spec(name, path=None, target=None):
            if name == CORE:
                attempts.append(name)
                raise ModuleNotFoundError(f"No module named {name!r}", name=name)
            return None

    monkeypatch.delitem(sys.modules, CORE, raising=False)
    monkeypatch.setattr(sys, "meta_path", [NoCore(), *sys.meta_path])
    loaded = gate._load_capabilities()
    assert type(loaded) is set and loaded == set()
    assert gate._load_capabilities() is loaded and attempts == [CORE]


def test_none_entry_in_sys_modules_means_no_capabilities(gate, monkeypatch):
    monkeypatch.setitem(sys.modules, CORE, None)
    assert gate._load_capabilities() == set() and gate._cached_capabilities == set()


@pytest.mark.parametrize("failure", [ImportError, RuntimeError])
def test_core_whose_own_initialisation_fails(python, tmp_path, failure):
    (tmp_path / f"{CORE}.py").write_text(f"raise type('CoreInitFailure', ({failure.__name__},), {{}})('init failed')\n")
    result = python(
        f"""
        import sys
        sys.path.insert(0, {str(tmp_path)!r})
        import velmorrow.featuregate as gate
        try:
            print(sorted(gate._load_capabilities()))
        except Exception as error:
            print(type(error).__name__, error)
        print(gate._cached_capabilities)
        """
    )
    if failure is ImportError:
        assert result.stdout.split("\n")[:2] == ["[]", "set()"]
    else:
        assert result.stdout.split("\n")[:2] == ["CoreInitFailure init failed", "None"]


# ---- failures that propagate --------------------------------------------------------


@pytest.mark.parametrize(
    "answer, error_type, text",
    [
        ("not json", json.JSONDecodeError, "Expecting value: line 1 column 1 (char 0)"),
        (lambda: None, TypeError, "the JSON object must be str, bytes or bytearray, not NoneType"),
        (42, TypeError, "the JSON object must be str, bytes or bytearray, not int"),
        ('["ignore_builtin_replace"]', AttributeError, "'list' object has no attribute 'get'"),
        ('"text"', AttributeError, "'str' object has no attribute 'get'"),
        ("3", AttributeError, "'int' object has no attribute 'get'"),
        ("null", AttributeError, "'NoneType' object has no attribute 'get'"),
        ('{"capabilities": null}', TypeError, "'NoneType' object is not iterable"),
        ('{"capabilities": 5}', TypeError, "'int' object is not iterable"),
        ('{"capabilities": [["a"]]}', TypeError, "unhashable type: 'list'"),
        ('{"capabilities": ["a", {"b": 1}]}', TypeError, "unhashable type: 'dict'"),
    ],
)
def test_bad_answers_propagate_and_leave_the_cache_unloaded(gate, install_core, answer, error_type, text):
    core = install_core(handshake=answer)
    with pytest.raises(error_type) as load_error:
        gate._load_capabilities()
    assert str(load_error.value) == text and gate._cached_capabilities is None
    with pytest.raises(error_type) as require_error:
        gate.require_capability("a", "c")
    assert str(require_error.value) == text and gate._cached_capabilities is None
    assert handshakes(core) == 2
    assert gate_entries(load_error.value) == [LOAD_ENTRY]
    assert gate_entries(require_error.value) == [REQUIRE_ENTRY, LOAD_ENTRY]


@pytest.mark.parametrize("raised", [ValueError("boom"), OSError(5, "io"), KeyboardInterrupt()])
def test_other_handshake_exceptions_propagate_unchanged(gate, install_core, raised):
    core = install_core(handshake=raised)
    with pytest.raises(type(raised)) as caught:
        gate.require_capability("a", "c")
    assert caught.value is raised and gate._cached_capabilities is None
    assert gate_entries(caught.value) == [REQUIRE_ENTRY, LOAD_ENTRY]
    # Unloaded: the next call asks again.
    core.handshake_answer = '{"capabilities": ["a"]}'
    assert gate.require_capability("a", "c") is None and handshakes(core) == 2


def test_core_without_handshake_is_not_a_missing_core(gate, monkeypatch):
    monkeypatch.setitem(sys.modules, CORE, types.ModuleType(CORE))
    with pytest.raises(AttributeError, match="handshake"):
        gate._load_capabilities()
    with pytest.raises(AttributeError, match="handshake"):
        gate.require_capability("a", "c")
    assert gate._cached_capabilities is None


def test_loads_is_looked_up_after_the_import_and_before_the_handshake(gate, monkeypatch, install_core):
    core = install_core()
    monkeypatch.setattr(gate, "json", types.SimpleNamespace())
    with pytest.raises(AttributeError, match="loads"):
        gate._load_capabilities()
    assert handshakes(core) == 0 and gate._cached_capabilities is None
    # Without a core the decoder is never looked at.
    monkeypatch.setitem(sys.modules, CORE, None)
    assert gate._load_capabilities() == set()


@pytest.mark.parametrize(
    "foreign, type_name",
    [(["a"], "list"), (frozenset({"a"}), "frozenset"), (SetSubclass({"a"}), "SetSubclass"), ({"a": 1}, "dict")],
)
def test_cache_holding_something_other_than_a_set(gate, install_core, foreign, type_name):
    core = install_core()
    gate._cached_capabilities = foreign
    for call in (gate._load_capabilities, lambda: gate.require_capability("a", "c")):
        with pytest.raises(TypeError, match=rf"^Expected set, got {type_name}$") as caught:
            call()
        assert LOAD_ENTRY in gate_entries(caught.value)
    assert gate._cached_capabilities is foreign and handshakes(core) == 0


def test_deleted_cache_is_looked_up_in_the_builtins(gate, install_core, monkeypatch):
    core = install_core()
    del gate._cached_capabilities
    fallback, replaced, own = {"from-builtins"}, {"replaced"}, {"own"}
    monkeypatch.setattr(builtins, "_cached_capabilities", fallback, raising=False)
    assert gate._load_capabilities() is fallback and gate._load_capabilities() is fallback
    builtins._cached_capabilities = replaced
    assert gate._load_capabilities() is replaced
    gate._cached_capabilities = own
    assert gate._load_capabilities() is own and gate.require_capability("own", "c") is None
    assert handshakes(core) == 0


# ---- require_capability -------------------------------------------------------------


@pytest.mark.parametrize(
    "cache, name, context, available",
    [
        (set(), "ignore_builtin_replace", "builtin_ignore_replace=True", "[]"),
        ({"b", "a"}, "c", "ctx", "['a', 'b']"),
        ({"ignore_builtin_replace"}, "IGNORE_BUILTIN_REPLACE", "x", "['ignore_builtin_replace']"),
        ({"a"}, " a", "x", "['a']"),
        ({"it's", "z"}, "q", "flag = 1, {braces} %s", "[\"it's\", 'z']"),
        (set(), "", "", "[]"),
    ],
    ids=["empty", "sorted", "case-sensitive", "blank-sensitive", "repr", "empty-strings"],
)
def test_missing_capability_message(gate, cache, name, context, available):
    gate._cached_capabilities = cache
    with pytest.raises(RuntimeError) as caught:
        gate.require_capability(name, context)
    assert caught.value.args == (missing_message(name, context, available),)
    assert gate_entries(caught.value) == [REQUIRE_ENTRY]
    assert gate._cached_capabilities is cache


def test_full_message_for_the_one_capability_the_system_asks_for(gate):
    gate._cached_capabilities = set()
    with pytest.raises(RuntimeError) as caught:
        gate.require_capability("ignore_builtin_replace", "builtin_ignore_replace=True")
    assert str(caught.value) == (
        "Rust core capability 'ignore_builtin_replace' required for builtin_ignore_replace=True "
        "but not found. Available: []. Rebuild the Rust extension: maturin develop --release"
    )
    # The fixed pieces alone, around an empty name, context and list part.
    with pytest.raises(RuntimeError) as bare:
        gate.require_capability("", "")
    assert len(str(bare.value)) == 119 + len("[]")


def test_present_capability_returns_none(gate):
    gate._cached_capabilities = {"b", "a"}
    assert gate.require_capability("a", "c") is None
    assert gate.require_capability(name="b", context="c") is None


def test_members_that_cannot_be_compared(gate):
    gate._cached_capabilities = {1, "a"}
    with pytest.raises(TypeError, match="not supported between instances of") as caught:
        gate.require_capability("b", "c")
    assert not isinstance(caught.value, RuntimeError) and gate_entries(caught.value) == [REQUIRE_ENTRY]
    assert gate.require_capability("a", "c") is None


def test_rebinding_load_capabilities_is_honoured(gate):
    gate._load_capabilities = lambda: ["b", "a"]
    assert gate.require_capability("a", "c") is None
    with pytest.raises(RuntimeError) as caught:
        gate.require_capability("z", "c")
    assert str(caught.value) == missing_message("z", "c", "['a', 'b']")


# ---- with the installed stand-in core ------------------------------------------------


def test_real_stand_in_core_reports_the_replace_capability(gate):
    loaded = gate._load_capabilities()
    assert type(loaded) is set and "ignore_builtin_replace" in loaded
    assert all(type(name) is str for name in loaded)
    assert gate.require_capability("ignore_builtin_replace", "builtin_ignore_replace=True") is None
    assert gate._load_capabilities() is loaded
