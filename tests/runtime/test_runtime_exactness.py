"""Where the function type and the name lookups must match the interpreter exactly: call
cycles that run only through C code, keyword objects with their own equality, lookups that
a cached answer could get wrong, instance layout, and the submodule fallback of
`from X import Y`. Each case is checked against plain Python doing the same."""

from __future__ import annotations

import functools
import gc
import json
import os
import re
import sys
import types
from typing import Any

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import run_python


def outcome(call: Any) -> tuple[Any, ...]:
    try:
        return ("ok", call())
    except Exception as error:  # noqa: BLE001 - the exception is the outcome
        return ("raised", type(error), str(error))


# ---- call cycles through C code only ---------------------------------------------------------

CYCLES = {
    "featuregate": """
        import functools
        import velmorrow.featuregate as featuregate
        featuregate._load_capabilities = functools.partial(featuregate.require_capability, "a", "b")
        run = lambda: featuregate.require_capability("a", "b")
    """,
    "sparse": """
        import functools
        import velmorrow.sparse as sparse
        service = sparse.get_sparse_service()
        service.embed_batch = functools.partial(sparse.SparseEmbeddingService.embed_batch_list, service)
        run = lambda: service.embed_batch_list(["x"])
    """,
    "scanrules": """
        import velmorrow.scanrules as scanrules

        class Settings:
            # The property calls the function itself, which reads the property again.
            builtin_ignore_replace = property(scanrules.build_scan_config)

        scanrules.settings = Settings()
        run = lambda: scanrules.build_scan_config("/repo")
    """,
    # The warm path takes no guard; constructing the service does.
    "sparse singleton": """
        import functools
        import velmorrow.sparse as sparse
        sparse._sparse_service = None
        sparse.SparseEmbeddingService = functools.partial(sparse.get_sparse_service)
        run = sparse.get_sparse_service
    """,
    # Settings read from their instance run no code; iterating the patterns and the
    # truth test of the flag may, and here call the function again.
    "scanrules patterns": """
        import functools, types
        import velmorrow.scanrules as scanrules

        class Patterns:
            __iter__ = functools.partial(scanrules.build_scan_config, "/repo")

        scanrules.settings = types.SimpleNamespace(
            builtin_ignore_replace=False, builtin_ignore_patterns=Patterns(),
            extra_ignore_patterns=(), ignore_mode="git+velmorrow")
        run = lambda: scanrules.build_scan_config("/repo")
    """,
    "scanrules flag": """
        import functools, types
        import velmorrow.scanrules as scanrules

        class Flag:
            __bool__ = functools.partial(scanrules.build_scan_config, "/repo")

        scanrules.settings = types.SimpleNamespace(
            builtin_ignore_replace=Flag(), builtin_ignore_patterns=(),
            extra_ignore_patterns=(), ignore_mode="git+velmorrow")
        run = lambda: scanrules.build_scan_config("/repo")
    """,
}
CYCLE_CHECK = """
import threading
def report(where):
    try:
        run()
    except RecursionError:
        print(where, "RecursionError")
report("main")
worker = threading.Thread(target=report, args=("thread",))
worker.start()
worker.join()
"""


def sanitizer_reports_in(directory: Any) -> dict[str, str]:
    """Under the sanitizer run, the environment that sends a subprocess's reports to
    `directory`: a crash there fails this test by its exit status, with the report in the
    message, rather than the whole run."""
    if os.environ.get("VELMORROW_SANITIZED") != "1":
        return {}
    return {variable: re.sub(r"log_path=[^:]*", f"log_path={directory}/{tool}", os.environ.get(variable, ""))
            for variable, tool in (("ASAN_OPTIONS", "asan"), ("UBSAN_OPTIONS", "ubsan"))}


@pytest.mark.parametrize("module", list(CYCLES))
def test_c_only_call_cycle_ends_in_recursion_error(tmp_path, module):
    import textwrap

    result = run_python(textwrap.dedent(CYCLES[module]) + CYCLE_CHECK, check=False,
                        env=sanitizer_reports_in(tmp_path) or None)
    reports = "".join(report.read_text()[-1500:] for report in tmp_path.iterdir())
    assert (result.returncode, result.stdout.splitlines(), reports) == (
        0, ["main RecursionError", "thread RecursionError"], ""), result.stderr[-1500:]


# ---- keyword matching ------------------------------------------------------------------------


class Keyword(str):
    """A keyword whose own equality decides which parameter it names."""

    def __new__(cls, text: str, equal: Any) -> Keyword:
        keyword = super().__new__(cls, text)
        keyword.equal = equal
        return keyword

    def __eq__(self, other: object) -> bool:
        if isinstance(self.equal, BaseException):
            raise self.equal
        return self.equal(other)

    __hash__ = str.__hash__


def plain_require_capability(name: str, context: str) -> None:
    raise RuntimeError(f"Rust core capability '{name}' required for {context} but not found.")


KEYWORD_CASES = {
    # (positional arguments, keyword arguments)
    "names a parameter it is not equal to by value":
        (("cap",), {Keyword("whatever", lambda o: o == "context"): "why"}),
    "equal to every parameter, the first is free":
        ((), {Keyword("x", lambda o: True): "cap", "context": "why"}),
    "equal to every parameter, the first is taken": (("cap",), {Keyword("x", lambda o: True): "why"}),
    "refuses the parameter of its own value": (("cap",), {Keyword("context", lambda o: False): "why"}),
    "raising in its comparison": (("cap",), {Keyword("context", LookupError("no comparison")): "why"}),
}


def binding_outcome(call: Any) -> tuple[Any, ...]:
    """What was bound where (the gate's message names both arguments), or which binding
    error, or the exception of the keyword's comparison."""
    result = outcome(call)
    if result[0] == "raised" and result[1] is RuntimeError:
        return ("bound", result[2].split(" but ")[0])
    if result[0] == "raised" and result[1] is TypeError:
        forms = ("multiple values", "unexpected keyword", "missing", "takes")
        return ("binding error", next((form for form in forms if form in result[2]), result[2]))
    return result


@pytest.mark.parametrize("case", KEYWORD_CASES)
def test_keyword_matching_follows_the_interpreter(featuregate, case):
    args, kwargs = KEYWORD_CASES[case]
    featuregate._cached_capabilities = set()
    expected = binding_outcome(lambda: plain_require_capability(*args, **kwargs))
    actual = binding_outcome(lambda: featuregate.require_capability(*args, **kwargs))
    if expected == ("binding error", "missing") and actual == ("binding error", "takes"):
        return  # the same error in the function type's own wording
    assert actual == expected


# Every function with parameters: (module, attribute path, parameters, valid arguments).
SIGNATURES = [
    ("sparse", "SparseEmbeddingService.embed_single", ("self", "text"), ("service", "a")),
    ("sparse", "SparseEmbeddingService.embed_batch", ("self", "texts"), ("service", [])),
    ("sparse", "SparseEmbeddingService.embed_batch_list", ("self", "texts", "batch_size"), ("service", [], None)),
    ("sparse", "SparseEmbeddingService.__init__", ("self",), ("service",)),
    ("featuregate", "require_capability", ("name", "context"), ("cap", "why")),
    ("scanrules", "build_scan_config", ("repo_path",), ("/r",)),
]
KEYWORD_KINDS = {
    "equal to the last parameter by its own comparison only": lambda last: Keyword("zz", lambda o: o == last),
    "refusing the last parameter it has the value of": lambda last: Keyword(last, lambda o: False),
    "raising in its comparison": lambda last: Keyword(last, LookupError("no comparison")),
}


def model_of(params: tuple[str, ...]) -> Any:
    """A Python function with the same parameters; `batch_size` is the one with a default."""
    namespace: dict[str, Any] = {}
    declared = ", ".join(f"{name}=None" if name == "batch_size" else name for name in params)
    exec(f"def model({declared}):\n    return 'bound'", namespace)
    return namespace["model"]


def binding_of(call: Any) -> Any:
    """'bound' once the arguments are bound (whatever the body then does), else the
    binding error or the comparison's own exception."""
    try:
        call()
    except TypeError as error:
        text = str(error)
        for form in ("unexpected keyword", "multiple values"):
            if form in text:
                return form
        return "bound" if "positional argument" not in text else "missing"
    except LookupError as error:
        return ("raised", str(error))
    except Exception:  # noqa: BLE001 - an error of the body: binding succeeded
        return "bound"
    return "bound"


def function_and_arguments(signature, modules, fake_core, recording_settings) -> tuple[Any, Any, list[Any]]:
    """The function a signature row names, its parameters, and arguments that bind it."""
    sparse, featuregate, scanrules = modules
    module_name, path, params, values = signature
    sparse.velmorrow_core_py = fake_core()
    sparse.settings = scanrules.settings = recording_settings()
    featuregate._cached_capabilities = {"cap"}
    service = sparse.SparseEmbeddingService()
    target: Any = {"sparse": sparse, "featuregate": featuregate, "scanrules": scanrules}[module_name]
    for part in path.split("."):
        target = getattr(target, part)
    return target, params, [service if value == "service" else value for value in values]


@pytest.mark.parametrize("kind", KEYWORD_KINDS)
@pytest.mark.parametrize("signature", SIGNATURES, ids=lambda s: s[1])
def test_keyword_objects_bind_as_in_python_for_every_function(
        sparse, featuregate, scanrules, fake_core, recording_settings, signature, kind):
    target, params, args = function_and_arguments(
        signature, (sparse, featuregate, scanrules), fake_core, recording_settings)
    keyword = KEYWORD_KINDS[kind](params[-1])
    expected = binding_of(lambda: model_of(params)(*args[:-1], **{keyword: args[-1]}))
    assert binding_of(lambda: target(*args[:-1], **{keyword: args[-1]})) == expected


PARAMETER_NAMES = sorted({name for _, _, params, _ in SIGNATURES for name in params}) + ["zz"]
# How a keyword object compares: by value, equal to one named text, to everything, to
# nothing, or raising.
equalities = st.one_of(
    st.just("value"), st.sampled_from(PARAMETER_NAMES), st.just("always"), st.just("never"), st.just("raise"))


def keyword_object(text: str, equality: str) -> Keyword:
    if equality == "value":
        return Keyword(text, lambda other: str.__eq__(text, other))
    if equality in ("always", "never"):
        return Keyword(text, lambda other: equality == "always")
    if equality == "raise":
        return Keyword(text, LookupError("no comparison"))
    return Keyword(text, lambda other: other == equality)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(signature=st.sampled_from(SIGNATURES), positional=st.integers(0, 3),
       keywords=st.lists(st.tuples(st.sampled_from(PARAMETER_NAMES), equalities), max_size=3))
def test_any_keyword_objects_bind_as_in_python(
        sparse, featuregate, scanrules, fake_core, recording_settings, signature, positional, keywords):
    target, params, args = function_and_arguments(
        signature, (sparse, featuregate, scanrules), fake_core, recording_settings)
    args = args[:positional]
    # Distinct objects, so that one keyword never replaces another in the dict.
    kwargs = {keyword_object(text + "\u200b" * i, equality): "a" for i, (text, equality) in enumerate(keywords)}
    expected = binding_of(lambda: model_of(params)(*args, **kwargs))
    assert binding_of(lambda: target(*args, **kwargs)) == expected


def test_plain_keywords_bind_whatever_object_holds_the_text(featuregate):
    featuregate._cached_capabilities = {"cap"}
    keywords = {"".join(["na", "me"]): "cap", "".join(["con", "text"]): "why"}
    assert featuregate.require_capability(**keywords) is None


# ---- lookups that a cached answer could get wrong --------------------------------------------


class SwitchingKey(str):
    """A namespace key that is equal to its text only while `matches` is true."""

    matches = True

    def __eq__(self, other: object) -> bool:
        return type(self).matches and str.__eq__(self, other)

    __hash__ = str.__hash__


def rekey(namespace: dict[str, Any], name: str) -> type[SwitchingKey]:
    """Stores the entry `name` of `namespace` again under a switching key."""
    key_type = type("Key", (SwitchingKey,), {})
    value = namespace.pop(name)
    namespace[key_type(name)] = value
    return key_type


GLOBAL_READS = {
    # module: (the global, a call that reads it)
    "featuregate": ("_load_capabilities", lambda m: m.require_capability("cap", "why")),
    "sparse": ("_sparse_service", lambda m: m.get_sparse_service()),
    "scanrules": ("settings", lambda m: m.build_scan_config("/r")),
}


@pytest.mark.parametrize("where", ["module", "builtins"])
@pytest.mark.parametrize("module_name", GLOBAL_READS)
def test_global_under_a_switching_key(request, fake_core, recording_settings, module_name, where):
    import builtins

    module = request.getfixturevalue(module_name)
    name, call = GLOBAL_READS[module_name]
    if module_name == "featuregate":
        module._cached_capabilities = {"cap"}
    elif module_name == "sparse":
        module.velmorrow_core_py = fake_core()
        module.settings = recording_settings()
        module.get_sparse_service()
    else:
        module.settings = recording_settings()
    namespace = vars(module) if where == "module" else vars(builtins)
    if where == "builtins":
        builtins.__dict__[name] = vars(module).pop(name)
    key = rekey(namespace, name)
    try:
        call(module)
        call(module)
        key.matches = False
        expected = outcome(lambda: eval(name, vars(module)))
        assert expected[:2] == ("raised", NameError)
        assert outcome(lambda: call(module)) == expected
    finally:
        for stored in [k for k in namespace if type(k) is key]:
            value = namespace.pop(stored)
            if where == "module":
                namespace[name] = value
        if where == "builtins":
            # Rebuilt, so that the builtins get back their table of str keys only.
            saved = dict(namespace)
            namespace.clear()
            namespace.update(saved)


def test_record_class_under_a_counting_key_is_compared_as_often_as_plain_json_does(sparse, fake_core, recording_settings):
    """The record class is looked up once per record, on the native JSON route as on the
    plain one: a key that counts its comparisons tells any extra lookup."""
    sparse.velmorrow_core_py = fake_core()
    sparse.settings = recording_settings()
    service = sparse.SparseEmbeddingService()
    key_type = rekey(vars(sparse), "SparseResult")
    comparisons = []
    key_type.__eq__ = lambda self, other: comparisons.append(other) or str.__eq__(self, other)

    def compared_during(texts: list[str]) -> int:
        comparisons.clear()
        assert [record.indices for record in service.embed_batch(texts)] == [[i] for i in range(len(texts))]
        return len(comparisons)

    native = compared_during(["a", "b", "c"])
    # The same calls through functions the native route does not take for json's own.
    sparse.json = types.SimpleNamespace(loads=functools.partial(json.loads), dumps=functools.partial(json.dumps))
    assert native == compared_during(["a", "b", "c"])


def test_core_module_attribute_under_a_switching_key(sparse, fake_core, recording_settings):
    core = types.ModuleType("velmorrow_core_py")
    core.sparse_embed_single = lambda text, profile: json.dumps({"indices": [1], "values": [1.0]})
    sparse.velmorrow_core_py = core
    sparse.settings = recording_settings()
    service = sparse.SparseEmbeddingService()
    key = rekey(vars(core), "sparse_embed_single")
    assert service.embed_single("a").indices == [1]
    key.matches = False
    expected = outcome(lambda: core.sparse_embed_single)
    assert expected[:2] == ("raised", AttributeError)
    assert outcome(lambda: service.embed_single("a"))[:2] == expected[:2]


def test_instance_attribute_under_a_switching_key(sparse, recording_settings):
    sparse.settings = recording_settings()
    sparse.velmorrow_core_py = types.ModuleType("velmorrow_core_py")
    sparse.velmorrow_core_py.sparse_embed_single = lambda text, profile: json.dumps(
        {"indices": [len(profile)], "values": [1.0]})
    service = sparse.SparseEmbeddingService()
    key = rekey(vars(service), "_profile_json")
    assert service.embed_single("a").indices == [len(service._profile_json)]
    key.matches = False
    expected = outcome(lambda: service._profile_json)
    assert expected[:2] == ("raised", AttributeError)
    assert outcome(lambda: service.embed_single("a"))[:2] == expected[:2]


def plain_settings(**values: Any) -> Any:
    settings_class = type("Settings", (), {})
    settings = settings_class()
    for name, value in {"builtin_ignore_replace": False, "builtin_ignore_patterns": (),
                        "extra_ignore_patterns": (), "ignore_mode": "velmorrow", **values}.items():
        setattr(settings, name, value)
    return settings


def plain_build_scan_config(settings: Any, repo_path: Any) -> dict[str, object]:
    # getattr() reads as the attribute protocol does, whatever the call site specialised to.
    assert not getattr(settings, "builtin_ignore_replace")
    return {
        "repo_root": str(repo_path),
        "builtin_patterns": list(getattr(settings, "builtin_ignore_patterns")),
        "extra_patterns": list(getattr(settings, "extra_ignore_patterns")),
        "ignore_mode": getattr(settings, "ignore_mode"),
        "use_gitignore": getattr(settings, "ignore_mode") == "git+velmorrow",
        "use_velmorrowignore": True,
        "replace_builtin_patterns": getattr(settings, "builtin_ignore_replace"),
    }


def test_settings_attribute_under_a_switching_key(scanrules):
    settings = plain_settings()
    scanrules.settings = settings
    key = rekey(vars(settings), "ignore_mode")
    assert scanrules.build_scan_config("/r")["ignore_mode"] == "velmorrow"
    key.matches = False
    expected = outcome(lambda: plain_build_scan_config(settings, "/r"))
    assert expected[:2] == ("raised", AttributeError)
    assert outcome(lambda: scanrules.build_scan_config("/r"))[:2] == expected[:2]


def test_lookup_that_changes_the_settings_class_meanwhile(scanrules):
    """The key's comparison adds a property to the settings class during the first read of
    `ignore_mode`; the second read, straight after, must find the property."""

    def make() -> Any:
        settings = plain_settings()
        settings_class = type(settings)

        class ClassChangingKey(str):
            changed = False

            def __eq__(self, other: object) -> bool:
                if not ClassChangingKey.changed:
                    ClassChangingKey.changed = True
                    settings_class.ignore_mode = property(lambda self: "git+velmorrow")
                return str.__eq__(self, other)

            __hash__ = str.__hash__

        vars(settings)[ClassChangingKey("ignore_mode")] = vars(settings).pop("ignore_mode")
        return settings

    expected = plain_build_scan_config(make(), "/r")
    assert (expected["ignore_mode"], expected["use_gitignore"]) == ("velmorrow", True)
    scanrules.settings = make()
    assert scanrules.build_scan_config("/r") == expected


def has_materialised_dict(instance: object) -> bool:
    # An instance whose attributes live inline reports them one by one to the collector;
    # once its __dict__ exists, it reports that dict instead.
    return any(type(referent) is dict for referent in gc.get_referents(instance))


def test_calls_leave_inline_attributes_inline(sparse, scanrules, recording_settings):
    settings = plain_settings(builtin_ignore_patterns=(), extra_ignore_patterns=())
    assert not has_materialised_dict(settings)
    scanrules.settings = settings
    scanrules.build_scan_config("/r")
    sparse.settings = recording_settings()
    sparse.velmorrow_core_py = types.ModuleType("velmorrow_core_py")
    sparse.velmorrow_core_py.sparse_embed_single = lambda text, profile: '{"indices": [], "values": []}'
    service = sparse.SparseEmbeddingService()
    assert not has_materialised_dict(service)
    service.embed_single("a")
    assert (has_materialised_dict(settings), has_materialised_dict(service)) == (False, False)


def test_the_layout_check_sees_a_materialised_dict():
    settings = plain_settings()
    assert not has_materialised_dict(settings)
    vars(settings)
    assert has_materialised_dict(settings)


# ---- instance attribute reads against plain attribute access ---------------------------------
#
# Settings reads are answered from where instances of the settings type keep the attribute.
# Each step below changes the object, its dict or its class in a way that must change the
# answer (or must not); after every step the extension reads exactly what getattr() reads.

SETTING_NAMES = ("builtin_ignore_replace", "builtin_ignore_patterns", "extra_ignore_patterns", "ignore_mode")
SETTING_VALUES = {"builtin_ignore_replace": False, "builtin_ignore_patterns": ("a", "b"),
                  "extra_ignore_patterns": [], "ignore_mode": "git+velmorrow"}


class PlainKey(str):
    """A str subclass key: equal to the plain name, but a dict holding it runs its code."""

    __hash__ = str.__hash__

    def __eq__(self, other: object) -> bool:
        return str.__eq__(self, other)


def heap_shape(**class_attributes: Any) -> Any:
    base = type("Base", (), {})
    settings_class = type("Settings", (base,), dict(class_attributes))
    settings = settings_class()
    for name, value in SETTING_VALUES.items():
        setattr(settings, name, value)
    # A sibling of the same layout, for __class__ assignment.
    settings_class.sibling = type("Sibling", (base,), {"ignore_mode": property(lambda self: "sibling")})
    return settings


def many_attributes_shape() -> Any:
    settings = heap_shape()
    for i in range(40):  # more than instances of one class keep inline
        setattr(settings, f"extra{i}", i)
    return settings


def slots_shape() -> Any:
    settings_class = type("Slotted", (), {"__slots__": SETTING_NAMES})
    settings = settings_class()
    for name, value in SETTING_VALUES.items():
        setattr(settings, name, value)
    return settings


def namespace_subclass_shape() -> Any:
    return type("Namespace", (types.SimpleNamespace,), {})(**SETTING_VALUES)


def function_shape() -> Any:
    def settings() -> None:
        pass

    vars(settings).update(SETTING_VALUES)
    return settings


def module_shape() -> Any:
    module = types.ModuleType("settings_module")
    vars(module).update(SETTING_VALUES)
    return module


SETTINGS_SHAPES = {
    "inline values": heap_shape,
    "materialised dict": lambda: (lambda settings: (vars(settings), settings)[1])(heap_shape()),
    "class defaults": lambda: heap_shape(ignore_mode="class default"),
    "too many for inline": many_attributes_shape,
    "slots": slots_shape,
    "namespace": lambda: types.SimpleNamespace(**SETTING_VALUES),
    "namespace subclass": namespace_subclass_shape,
    "function": function_shape,
    "module": module_shape,
}


def _set_base_property(settings: Any) -> None:
    type(settings).__mro__[1].ignore_mode = property(lambda self: "from the base")


def _swap_str_key(settings: Any) -> None:
    namespace = vars(settings)
    namespace[PlainKey("ignore_mode")] = namespace.pop("ignore_mode")


def _shadow_with_a_str_subclass_key(settings: Any) -> None:
    """Puts a key ahead of "ignore_mode" that equals it only from now on, so that a lookup
    finds it first, and the entry holding the name itself is no longer the answer."""

    class Shadow(str):
        matches = False
        __hash__ = str.__hash__

        def __eq__(self, other: object) -> bool:
            return Shadow.matches and str.__eq__(self, other)

    namespace = vars(settings)
    value = namespace.pop("ignore_mode")
    namespace[Shadow("ignore_mode")] = "shadow"
    namespace["ignore_mode"] = value
    Shadow.matches = True


SETTINGS_STEPS = {
    "set": lambda s: setattr(s, "ignore_mode", "velmorrow"),
    "set back": lambda s: setattr(s, "ignore_mode", "git+velmorrow"),
    "delete": lambda s: delattr(s, "ignore_mode"),
    "delete patterns": lambda s: delattr(s, "builtin_ignore_patterns"),
    "class attribute": lambda s: setattr(type(s), "ignore_mode", "from the class"),
    "class property": lambda s: setattr(type(s), "ignore_mode", property(lambda self: "property")),
    "class attribute removed": lambda s: delattr(type(s), "ignore_mode"),
    "base property": _set_base_property,
    # The hooks answer a false flag, so that no capability check comes into it.
    "__getattr__ added": lambda s: setattr(
        type(s), "__getattr__", lambda self, name: "" if name == "builtin_ignore_replace" else f"hook {name}"),
    "__getattribute__ added": lambda s: setattr(
        type(s), "__getattribute__",
        lambda self, name: "intercepted" if name == "ignore_mode" else object.__getattribute__(self, name)),
    "hooks removed": lambda s: [delattr(type(s), hook) for hook in ("__getattr__", "__getattribute__")
                                if hook in vars(type(s))],
    "__class__ assigned": lambda s: setattr(s, "__class__", type(s).sibling),
    "dict materialised": vars,
    "non-str key": lambda s: vars(s).__setitem__(1, "one"),
    "str subclass key": _swap_str_key,
    "shadowing key": _shadow_with_a_str_subclass_key,
    "dict replaced": lambda s: setattr(s, "__dict__", dict(vars(s))),
    "dict cleared": lambda s: vars(s).clear(),
    "dict refilled": lambda s: vars(s).update(SETTING_VALUES),
    "many attributes": lambda s: [setattr(s, f"more{i}", i) for i in range(40)],
}


def check_steps(scanrules: Any, settings: Any, steps: list[str]) -> None:
    other = heap_shape()
    for step in ["start", *steps]:
        # Reads of another type in between leave nothing that answers for this one; the
        # last read before each change is of `settings` itself.
        scanrules.settings = other
        scanrules.build_scan_config("/r")
        scanrules.settings = settings
        outcome(lambda: scanrules.build_scan_config("/r"))
        if step != "start":
            try:
                SETTINGS_STEPS[step](settings)
            except (AttributeError, TypeError, KeyError, ValueError):
                pass  # a step the object's state does not allow changes nothing
        expected = outcome(lambda: plain_build_scan_config(settings, "/r"))
        # A changed type gets its new version tag at its next lookup: the first read may
        # find none, the second fill what the third is answered from.
        for _ in range(3):
            assert outcome(lambda: scanrules.build_scan_config("/r")) == expected, (step, steps)


@pytest.mark.parametrize("step", SETTINGS_STEPS)
@pytest.mark.parametrize("shape", SETTINGS_SHAPES)
def test_settings_reads_follow_each_change(scanrules, shape, step):
    check_steps(scanrules, SETTINGS_SHAPES[shape](), [step, "set", "dict refilled", "set back"])


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(shape=st.sampled_from(sorted(SETTINGS_SHAPES)),
       steps=st.lists(st.sampled_from(sorted(SETTINGS_STEPS)), max_size=8))
def test_settings_reads_follow_any_sequence_of_changes(scanrules, shape, steps):
    check_steps(scanrules, SETTINGS_SHAPES[shape](), steps)


def test_deleted_setting_raises_the_plain_attribute_error(scanrules):
    settings = heap_shape()
    scanrules.settings = settings
    scanrules.build_scan_config("/r")
    del settings.extra_ignore_patterns
    expected = outcome(lambda: plain_build_scan_config(settings, "/r"))
    assert expected == ("raised", AttributeError, "'Settings' object has no attribute 'extra_ignore_patterns'")
    assert outcome(lambda: scanrules.build_scan_config("/r")) == expected


# ---- from X import Y ---------------------------------------------------------------------------


def plain_from_import() -> Any:
    from velmorrow.featuregate import require_capability

    return require_capability


def test_submodule_fallback_binds_a_none_entry(featuregate, scanrules, monkeypatch):
    monkeypatch.delattr(featuregate, "require_capability")
    monkeypatch.setitem(sys.modules, "velmorrow.featuregate.require_capability", None)
    assert plain_from_import() is None
    scanrules.settings = plain_settings(builtin_ignore_replace=True)
    bound = plain_from_import()
    expected = outcome(lambda: bound("ignore_builtin_replace", "builtin_ignore_replace=True"))
    assert outcome(lambda: scanrules.build_scan_config("/r")) == expected


def test_module_body_binds_a_none_submodule_entry():
    result = run_python("""
        import sys, types
        config = types.ModuleType("velmorrow.config")
        sys.modules["velmorrow.config"] = config
        sys.modules["velmorrow.config.settings"] = None
        from velmorrow.config import settings
        assert settings is None  # plain Python
        import velmorrow.scanrules
        print(velmorrow.scanrules.settings)
    """, check=False)
    assert (result.returncode, result.stdout) == (0, "None\n"), result.stderr[-800:]
