"""Hostile input at every entry point. Each property runs the module and a plain Python
model of the documented behaviour on the same input: both must return equal results or
raise the same exception type with the same message, and the module must never crash,
return a partial result or leave its singleton or cache in an undocumented state. The
model is the plain-Python version of the adapters that the benchmark measures against,
`bench/plain_adapters.py`, run with its globals pointed at each example's objects."""

from __future__ import annotations

import contextlib
import ctypes
import importlib.util
import json
import math
import os
import sys
import types
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from velmorrow.config import Settings

# The module fixtures restore the module globals once per test; every example sets what
# it needs itself, so sharing the fixture between examples is safe. A deeper search by hand:
# VELMORROW_HYPOTHESIS_EXAMPLES=5000.
PROPERTY = settings(
    max_examples=int(os.environ.get("VELMORROW_HYPOTHESIS_EXAMPLES", "150")),
    deadline=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)

CAPABILITY = "ignore_builtin_replace"


# ---- outcomes ---------------------------------------------------------------------------


def outcome(call: Callable[[], Any]) -> tuple[Any, ...]:
    """What a call did: ("ok", result) or ("raised", type, message)."""
    try:
        return ("ok", call())
    except BaseException as error:  # every kind, KeyboardInterrupt included, is compared
        return ("raised", type(error), str(error))


def type_name(value: Any) -> str:
    """The C-level name of the value's type, as the interpreter's own messages give it:
    "decimal.Decimal" for a type defined in C, the bare name for a Python class."""
    header = 3 * ctypes.sizeof(ctypes.c_void_p)  # refcount, type and size precede tp_name
    raw = ctypes.c_char_p.from_address(id(type(value)) + header).value
    assert raw is not None
    return raw.decode()


def same_repr(actual: tuple[Any, ...], expected: tuple[Any, ...]) -> None:
    """Compares outcomes by repr: decoded JSON may hold NaN, which is unequal to itself."""
    assert actual[0] == expected[0], (actual, expected)
    if actual[0] == "ok":
        assert type(actual[1]) is type(expected[1])
        assert repr(actual[1]) == repr(expected[1])
    else:
        assert actual[1:] == expected[1:]


@contextlib.contextmanager
def core_module(module: Any) -> Iterator[None]:
    """Puts `module` in sys.modules as the native core for the duration of the block."""
    missing = object()
    saved = sys.modules.get("velmorrow_core_py", missing)
    sys.modules["velmorrow_core_py"] = module
    try:
        yield
    finally:
        if saved is missing:
            sys.modules.pop("velmorrow_core_py", None)
        else:
            sys.modules["velmorrow_core_py"] = saved


# ---- the model -------------------------------------------------------------------------

PLAIN_ADAPTERS = Path(__file__).resolve().parents[2] / "bench" / "plain_adapters.py"


def load_plain_adapters() -> types.ModuleType:
    # Registered under its own name: its build_scan_config imports the gate from itself.
    spec = importlib.util.spec_from_file_location("plain_adapters", PLAIN_ADAPTERS)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    sys.modules["plain_adapters"] = module
    spec.loader.exec_module(module)
    return module


plain = load_plain_adapters()
MISSING = object()
# A `self` for the plain members that need nothing but a profile.
PROFILED = types.SimpleNamespace(_profile_json="{}")


@contextlib.contextmanager
def plain_globals(**values: Any) -> Iterator[None]:
    """Runs the plain adapters with these globals (MISSING: absent), then puts the old back."""
    namespace = vars(plain)

    def put(items: dict[str, Any]) -> None:
        for name, value in items.items():
            if value is MISSING:
                namespace.pop(name, None)
            else:
                namespace[name] = value

    saved = {name: namespace.get(name, MISSING) for name in values}
    put(values)
    try:
        yield
    finally:
        put(saved)


# ---- hostile values ---------------------------------------------------------------------


class StrSubclass(str):
    pass


class ListSubclass(list):
    pass


class Unprintable:
    """str() fails; no other protocol is supported."""

    def __str__(self) -> str:
        raise RuntimeError("no str for you")

    def __repr__(self) -> str:
        return "Unprintable()"


class StrReturnsInt:
    def __str__(self) -> Any:
        return 42

    def __repr__(self) -> str:
        return "StrReturnsInt()"


class BadBool:
    def __bool__(self) -> bool:
        raise ValueError("no truth")

    def __repr__(self) -> str:
        return "BadBool()"


class BoolReturnsInt:
    def __bool__(self) -> Any:
        return 1

    def __repr__(self) -> str:
        return "BoolReturnsInt()"


class BadEq:
    def __eq__(self, other: object) -> bool:
        raise KeyError("no equality")

    __hash__ = object.__hash__

    def __repr__(self) -> str:
        return "BadEq()"


class OddEq:
    """Equality answers with an object that is not a bool."""

    answer = object()

    def __eq__(self, other: object) -> Any:
        return self.answer

    __hash__ = object.__hash__

    def __repr__(self) -> str:
        return "OddEq()"


class BadIndex:
    def __index__(self) -> int:
        raise OverflowError("no index")


class IndexReturnsStr:
    def __index__(self) -> Any:
        return "7"


class OnlyFloat:
    def __float__(self) -> float:
        return 2.5


class Fresh:
    """A value made anew at every read, for one-shot objects such as iterators."""

    def __init__(self, make: Callable[[], Any], label: str) -> None:
        self.make = make
        self.label = label

    def __repr__(self) -> str:
        return f"Fresh({self.label})"


class Raise:
    """A read that raises a new exception of the given type."""

    def __init__(self, error: type[BaseException], message: str = "boom") -> None:
        self.error = error
        self.message = message

    def __repr__(self) -> str:
        return f"Raise({self.error.__name__})"


def failing_iterator(items: tuple[Any, ...]) -> Iterator[Any]:
    yield from items
    raise LookupError("iteration broke")


weird_chars = st.one_of(
    st.characters(),
    st.characters(categories=["Cs"]),  # lone surrogates
    st.sampled_from(["\x00", "\u3000", "\U0010ffff", "_", "A"]),
)
odd_text = st.one_of(
    st.text(weird_chars, max_size=40),
    st.sampled_from(["", "\x00", "a\x00b", "\ud800", "\udfff\ud800", "fooBar_baz9", "HTTPServer"]),
    st.builds(lambda piece, times: piece * times, st.text(weird_chars, min_size=1, max_size=4),
              st.integers(1000, 20000)),
)
json_scalars = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(), st.text(weird_chars, max_size=8)
)
json_values = st.recursive(
    json_scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=4),
        st.dictionaries(st.text(weird_chars, max_size=6), inner, max_size=4),
    ),
    max_leaves=12,
)
any_object = st.one_of(
    json_values,
    odd_text,
    odd_text.map(StrSubclass),
    st.lists(odd_text, max_size=3).map(ListSubclass),
    st.lists(odd_text, max_size=3).map(tuple),
    st.binary(max_size=10),
    st.binary(max_size=10).map(bytearray),
    st.complex_numbers(),
    st.decimals(),
    st.fractions(),
    st.sampled_from([object(), Unprintable(), BadBool(), BadEq(), BadIndex(), IndexReturnsStr(),
                     OnlyFloat(), frozenset({"a"}), {"a"}, range(3), type, len, ...]),
)


# ---- argument binding, every function ---------------------------------------------------


def model_binding(name: str, params: list[str], optional: int, args: list[Any], kwargs: dict[str, Any]) -> None:
    """The binding rules of every function: raises the documented TypeError or returns."""
    if not params:
        if kwargs:
            raise TypeError(f"{name}() takes no keyword arguments")
        if args:
            raise TypeError(f"{name}() takes no arguments ({len(args)} given)")
        return
    required = len(params) - optional

    def count_error(given: int) -> TypeError:
        too_few = given < required
        expected = required if too_few else len(params)
        wording = "exactly" if not optional else ("at least" if too_few else "at most")
        plural = "" if expected == 1 else "s"
        return TypeError(f"{name}() takes {wording} {expected} positional argument{plural} ({given} given)")

    if len(args) > len(params) or (not kwargs and len(args) < required):
        raise count_error(len(args))
    bound = set(params[: len(args)])
    for keyword in kwargs:
        if keyword not in params:
            raise TypeError(f"{name}() got an unexpected keyword argument '{keyword}'")
        if keyword in bound:
            raise TypeError(f"{name}() got multiple values for keyword argument '{keyword}'")
        bound.add(keyword)
    for position, param in enumerate(params[:required]):
        if param not in bound:
            raise count_error(position)


BINDING_FORMS = ("takes ", "got an unexpected keyword argument", "got multiple values for keyword")
FUNCTIONS = [
    # (module, attribute path, parameters, how many trailing ones are optional)
    ("sparse", "SparseEmbeddingService.__init__", ["self"], 0),
    ("sparse", "SparseEmbeddingService.profile_version.fget", ["self"], 0),
    ("sparse", "SparseEmbeddingService.embed_single", ["self", "text"], 0),
    ("sparse", "SparseEmbeddingService.embed_batch", ["self", "texts"], 0),
    ("sparse", "SparseEmbeddingService.embed_batch_list", ["self", "texts", "batch_size"], 1),
    ("sparse", "get_sparse_service", [], 0),
    ("sparse", "reset_sparse_service", [], 0),
    ("featuregate", "_load_capabilities", [], 0),
    ("featuregate", "require_capability", ["name", "context"], 0),
    ("scanrules", "build_scan_config", ["repo_path"], 0),
]
argument_values = st.sampled_from(["service", "text", ["a"], None, 3])
keywords = st.sampled_from(["self", "text", "texts", "batch_size", "name", "context", "repo_path", "mode",
                            "\ud800", "a\x00b", ""])


class TestBinding:
    @PROPERTY
    @given(function=st.sampled_from(FUNCTIONS), args=st.lists(argument_values, max_size=4),
           kwargs=st.dictionaries(keywords, argument_values, max_size=3))
    def test_every_function_binds_as_documented(
        self, sparse, featuregate, scanrules, fake_core, function, args, kwargs
    ):
        module_name, path, params, optional = function
        sparse.settings = scanrules.settings = Settings(environ={})
        sparse.velmorrow_core_py = fake_core()
        featuregate._cached_capabilities = {CAPABILITY}
        service = sparse.SparseEmbeddingService()
        target: Any = {"sparse": sparse, "featuregate": featuregate, "scanrules": scanrules}[module_name]
        for part in path.split("."):
            target = getattr(target, part)

        def resolve(value: Any) -> Any:
            return service if value == "service" else value

        call_args = [resolve(value) for value in args]
        call_kwargs = {key: resolve(value) for key, value in kwargs.items()}
        expected = outcome(lambda: model_binding(target.__name__, params, optional, call_args, call_kwargs))
        actual = outcome(lambda: target(*call_args, **call_kwargs))
        if expected[0] == "raised":
            assert actual == expected
        elif actual[0] == "raised" and actual[1] is TypeError:
            assert not any(form in actual[2] for form in BINDING_FORMS), actual


# ---- velmorrow.sparse -------------------------------------------------------------------


def model_embed_single(record_class: type, answer: Any) -> Any:
    core = types.SimpleNamespace(sparse_embed_single=lambda *args: answer)
    with plain_globals(SparseResult=record_class, velmorrow_core_py=core):
        return plain.SparseEmbeddingService.embed_single(PROFILED, "text")


def model_embed_batch(record_class: type, answer: Any) -> list[Any]:
    core = types.SimpleNamespace(sparse_embed_batch=lambda *args: answer)
    with plain_globals(SparseResult=record_class, velmorrow_core_py=core):
        return plain.SparseEmbeddingService.embed_batch(PROFILED, ["text"])


embedding_objects = st.fixed_dictionaries(
    {},
    optional={
        "indices": st.one_of(st.lists(st.integers(0, 2**20), max_size=6), json_values),
        "values": st.one_of(st.lists(st.floats(), max_size=6), json_values),
        "truncated": json_values,
        "original_chars": json_values,
        "used_chars": json_values,
        "unrelated": json_values,
    },
)


def encoded(value: Any, how: str) -> Any:
    text = json.dumps(value)
    if how == "str":
        return text
    if how == "bytearray":
        return bytearray(text.encode("utf-8", "surrogatepass"))
    return text.encode(how, "surrogatepass")


encodings = st.sampled_from(["str", "utf-8", "utf-16", "utf-32", "bytearray"])
not_json = st.one_of(
    st.text(weird_chars, max_size=20),
    st.binary(max_size=20),
    st.sampled_from(["", "{", "nul", "[1,]", '{"indices": [1]', "\ufeff{}", b"\xef\xbb\xbf{}", b"\xff\xfe"]),
)
not_text = st.one_of(st.none(), st.integers(), st.lists(st.integers(), max_size=2), st.just(object()))
single_answers = st.one_of(
    st.builds(encoded, st.one_of(embedding_objects, json_values), encodings),
    not_json,
    not_text,
)
batch_answers = st.one_of(
    st.builds(
        encoded,
        st.one_of(
            st.fixed_dictionaries(
                {"embeddings": st.lists(st.one_of(embedding_objects, json_values), max_size=6)},
                optional={"unrelated": json_values},
            ),
            st.fixed_dictionaries({"embeddings": json_values}),
            json_values,
        ),
        encodings,
    ),
    not_json,
    not_text,
)


def notes_of(call: Callable[[], Any]) -> list[str] | None:
    try:
        call()
    except TypeError as error:
        return getattr(error, "__notes__", None)
    raise AssertionError("no TypeError")


def standard_service(sparse: types.ModuleType, core: Any) -> Any:
    sparse.settings = Settings(environ={})
    sparse.velmorrow_core_py = core
    sparse.reset_sparse_service()
    return sparse.get_sparse_service()


class TestSparseArguments:
    @PROPERTY
    @given(text=any_object)
    def test_embed_single_takes_exactly_str(self, sparse, fake_core, text):
        core = fake_core()
        service = standard_service(sparse, core)
        result = outcome(lambda: service.embed_single(text))
        if type(text) is str:
            assert result == ("ok", sparse.SparseResult(indices=[1], values=[0.5]))
            assert core.calls == [("sparse_embed_single", (text, service._profile_json))]
            assert core.calls[0][1][0] is text
            return
        assert result == (
            "raised",
            TypeError,
            f"Argument 'text' has incorrect type (expected str, got {type_name(text)})",
        )
        # Only an instance of a subclass gets the note that explains the refusal.
        notes = notes_of(lambda: service.embed_single(text))
        assert (notes is not None and len(notes) == 1) is isinstance(text, str)
        assert core.calls == []

    @PROPERTY
    @given(texts=any_object)
    def test_embed_batch_takes_exactly_list(self, sparse, fake_core, texts):
        core = fake_core()
        service = standard_service(sparse, core)
        result = outcome(lambda: service.embed_batch(texts))
        if type(texts) is not list:
            assert result == (
                "raised",
                TypeError,
                f"Argument 'texts' has incorrect type (expected list, got {type_name(texts)})",
            )
            notes = notes_of(lambda: service.embed_batch(texts))
            assert (notes is not None and len(notes) == 1) is isinstance(texts, list)
            assert core.calls == []
            return
        if not texts:
            assert result == ("ok", [])
            assert core.calls == []
            return
        expected = outcome(lambda: json.dumps(texts))
        if expected[0] == "raised":
            assert result == expected
            assert core.calls == []  # the core never sees texts that do not encode
            return
        assert result[0] == "ok"
        assert result[1] == [sparse.SparseResult(indices=[i], values=[1.0]) for i in range(len(texts))]
        assert core.calls == [("sparse_embed_batch", (expected[1], service._profile_json))]

    @PROPERTY
    @given(texts=st.one_of(st.lists(odd_text, max_size=3), any_object), batch_size=any_object)
    def test_embed_batch_list_coerces_batch_size_then_checks_texts(
        self, sparse, fake_core, texts, batch_size
    ):
        core = fake_core()
        service = standard_service(sparse, core)

        def model() -> Any:
            numeric = hasattr(type(batch_size), "__index__") or hasattr(type(batch_size), "__int__") \
                or hasattr(type(batch_size), "__float__") or isinstance(batch_size, complex)
            if batch_size is not None and type(batch_size) is not int:
                if not numeric:
                    raise TypeError(
                        "Argument 'batch_size' has incorrect type "
                        f"(expected int, got {type_name(batch_size)})"
                    )
                int(batch_size)
            if type(texts) is not list:
                raise TypeError(
                    f"Argument 'texts' has incorrect type (expected list, got {type_name(texts)})"
                )
            return [sparse.SparseResult(indices=[i], values=[1.0]) for i in range(len(texts))]

        same_repr(outcome(lambda: service.embed_batch_list(texts, batch_size)), outcome(model))
        same_repr(outcome(lambda: service.embed_batch_list(texts, batch_size=batch_size)), outcome(model))


class TestSparseCoreAnswers:
    @PROPERTY
    @given(answer=single_answers)
    def test_single_answer_of_any_shape(self, sparse, fake_core, answer):
        service = standard_service(sparse, fake_core(answer=lambda: answer))
        same_repr(
            outcome(lambda: service.embed_single("text")),
            outcome(lambda: model_embed_single(sparse.SparseResult, answer)),
        )

    @PROPERTY
    @given(answer=batch_answers, texts=st.lists(odd_text, min_size=1, max_size=3))
    def test_batch_answer_of_any_shape(self, sparse, fake_core, answer, texts):
        service = standard_service(sparse, fake_core(batch_answer=lambda: answer))
        actual = outcome(lambda: service.embed_batch(texts))
        same_repr(actual, outcome(lambda: model_embed_batch(sparse.SparseResult, answer)))
        if actual[0] == "ok":
            assert all(type(record) is sparse.SparseResult for record in actual[1])
        listed = outcome(lambda: service.embed_batch_list(texts))
        same_repr(listed, actual)

    def test_huge_batch_answer_with_bad_last_element_returns_nothing(self, sparse, fake_core):
        good = {"indices": list(range(100)), "values": [0.5] * 100}
        answer = json.dumps({"embeddings": [good] * 5000 + [{"indices": []}]})
        service = standard_service(sparse, fake_core(batch_answer=answer))
        with pytest.raises(KeyError, match="values"):
            service.embed_batch(["x"])
        complete = json.dumps({"embeddings": [good] * 5000})
        service = standard_service(sparse, fake_core(batch_answer=complete))
        records = service.embed_batch(["x"])
        assert len(records) == 5000
        assert records[-1].indices == list(range(100))

    def test_huge_single_answer(self, sparse, fake_core):
        answer = json.dumps({"indices": list(range(200_000)), "values": [0.25] * 200_000})
        service = standard_service(sparse, fake_core(answer=answer))
        record = service.embed_single("x")
        assert len(record.indices) == len(record.values) == 200_000


profile_values = st.one_of(
    json_values,
    any_object,
    st.sampled_from([math.nan, math.inf, 10**5000, Fresh(lambda: {(1, 2): 3}, "tuple key"),
                     Fresh(lambda: (lambda cyclic: cyclic.append(cyclic) or cyclic)([]), "cyclic")]),
)
read_errors = st.sampled_from([AttributeError, ValueError, KeyError, RuntimeError, TypeError,
                               ImportError, RecursionError, LookupError])


def script_entries(values: st.SearchStrategy[Any]) -> st.SearchStrategy[list[Any]]:
    """One to three answers for successive reads of an attribute; they repeat cyclically."""
    return st.lists(st.one_of(values, read_errors.map(Raise)), min_size=1, max_size=3)


class ScriptedSettings:
    """Answers each attribute read from a script, so that values can change between reads;
    a missing entry is a missing attribute. `rewind` makes the next run see the same."""

    def __init__(self, script: dict[str, list[Any]]) -> None:
        object.__setattr__(self, "_script", script)
        object.__setattr__(self, "reads", [])

    def rewind(self) -> None:
        self.reads.clear()

    def __getattr__(self, name: str) -> Any:
        if name.startswith("__"):
            raise AttributeError(name)
        self.reads.append(name)
        if name not in self._script:
            raise AttributeError(name)
        answers = self._script[name]
        answer = answers[(self.reads.count(name) - 1) % len(answers)]
        if isinstance(answer, Raise):
            raise answer.error(answer.message)
        if isinstance(answer, Fresh):
            return answer.make()
        return answer


def scripts(**values: st.SearchStrategy[Any]) -> st.SearchStrategy[dict[str, list[Any]]]:
    return st.fixed_dictionaries({}, optional={name: script_entries(v) for name, v in values.items()})


def model_profile_json(settings_object: Any) -> str:
    with plain_globals(settings=settings_object):
        return plain.SparseEmbeddingService()._profile_json


class TestSparseSettings:
    @PROPERTY
    @given(
        script=scripts(
            sparse_profile_version=profile_values,
            sparse_max_text_chars=profile_values,
            code_pretokenize=profile_values,
        )
    )
    def test_service_construction_with_hostile_settings(self, sparse, fake_core, script):
        hostile = ScriptedSettings(script)
        expected = outcome(lambda: model_profile_json(hostile))
        expected_reads = list(hostile.reads)
        hostile.rewind()

        sparse.settings = hostile
        sparse.velmorrow_core_py = fake_core()
        sparse.reset_sparse_service()
        actual = outcome(sparse.get_sparse_service)
        assert hostile.reads == expected_reads
        if expected[0] == "raised":
            assert actual == expected
            # A failed construction leaves the singleton empty.
            assert sparse._sparse_service is None
            return
        assert actual[0] == "ok"
        service = actual[1]
        assert type(service) is sparse.SparseEmbeddingService
        assert sparse._sparse_service is service
        assert service._profile_json == expected[1]
        assert sparse.get_sparse_service() is service

    @PROPERTY
    @given(script=scripts(sparse_profile_version=profile_values))
    def test_profile_version_returns_str_or_none_only(self, sparse, script):
        hostile = ScriptedSettings(script)
        service = sparse.SparseEmbeddingService.__new__(sparse.SparseEmbeddingService)
        sparse.settings = hostile

        def model() -> Any:
            value = hostile.sparse_profile_version
            if value is not None and type(value) is not str:
                raise TypeError(f"Expected str, got {type_name(value)}")
            return value

        for _ in range(3):  # successive reads may differ
            expected = outcome(model)
            hostile.reads.pop()
            actual = outcome(lambda: service.profile_version)
            assert actual[0] == expected[0]
            if actual[0] == "ok":
                assert actual[1] is expected[1] or actual[1] == expected[1]
            else:
                assert actual[1:] == expected[1:]


class TestSparseWithStandInCore:
    """The real stand-in core: any text, however odd, embeds or fails cleanly."""

    @PROPERTY
    @given(texts=st.lists(odd_text, min_size=1, max_size=4), max_chars=st.integers(0, 5000),
           pretokenize=st.booleans())
    def test_any_text_embeds_consistently(self, sparse, texts, max_chars, pretokenize):
        import velmorrow_core_py

        sparse.settings = Settings(environ={}, sparse_max_text_chars=max_chars,
                                   code_pretokenize=pretokenize)
        sparse.velmorrow_core_py = velmorrow_core_py
        service = sparse.SparseEmbeddingService()
        batch = service.embed_batch(texts)
        assert type(batch) is list and len(batch) == len(texts)
        for text, record in zip(texts, batch, strict=True):
            assert record == service.embed_single(text)
            assert record.original_chars == len(text)
            assert record.used_chars == min(len(text), max_chars)
            assert record.truncated is (len(text) > max_chars)
            assert len(record.indices) == len(record.values)
            assert record.indices == sorted(set(record.indices))
            assert all(0.0 < value <= 1.0 + 1e-12 for value in record.values)

    @PROPERTY
    @given(texts=st.lists(st.one_of(odd_text, json_values, any_object), min_size=1, max_size=4))
    def test_non_text_elements_fail_before_or_inside_the_core(self, sparse, texts):
        import velmorrow_core_py

        service = standard_service(sparse, velmorrow_core_py)
        result = outcome(lambda: service.embed_batch(texts))
        encodable = outcome(lambda: json.dumps(texts))
        if encodable[0] == "raised":
            assert result == encodable
        elif all(isinstance(text, str) for text in texts):
            assert result[0] == "ok" and len(result[1]) == len(texts)
        else:
            # Encodable, but not all strings: the core refuses the texts JSON.
            assert result[0] == "raised" and result[1] is ValueError
            assert result[2].startswith("texts JSON: item ")


profile_fields = st.fixed_dictionaries(
    {},
    optional={
        "max_text_chars": st.one_of(st.integers(-3, 10**20), st.none(), st.booleans(), st.floats(),
                                    st.text(max_size=3)),
        "min_token_len": st.one_of(st.integers(-3, 10**20), st.none(), st.booleans(), st.floats()),
        "code_pretokenize": json_values,
        "version": json_values,
    },
)
profile_jsons = st.one_of(
    profile_fields.map(json.dumps),
    json_values.map(json.dumps),
    st.text(weird_chars, max_size=20),
    st.binary(max_size=10),
    st.none(),
    st.integers(),
)
service_selves = st.one_of(
    profile_jsons.map(lambda profile: types.SimpleNamespace(_profile_json=profile)),
    any_object,
)


class TestSparseMembersWithAnySelf:
    """The members looked up on the class take any `self`: one without a profile fails
    before the core is called, and the stand-in core judges whatever profile it carries."""

    @PROPERTY
    @given(self_object=service_selves, texts=st.lists(odd_text, min_size=1, max_size=3))
    def test_embed_batch(self, sparse, self_object, texts):
        import velmorrow_core_py

        sparse.velmorrow_core_py = velmorrow_core_py

        def model() -> Any:
            with plain_globals(SparseResult=sparse.SparseResult, velmorrow_core_py=velmorrow_core_py):
                return plain.SparseEmbeddingService.embed_batch(self_object, texts)

        embed_batch = sparse.SparseEmbeddingService.embed_batch
        same_repr(outcome(lambda: embed_batch(self_object, texts)), outcome(model))

    @PROPERTY
    @given(self_object=service_selves, text=odd_text)
    def test_embed_single(self, sparse, self_object, text):
        import velmorrow_core_py

        sparse.velmorrow_core_py = velmorrow_core_py

        def model() -> Any:
            with plain_globals(SparseResult=sparse.SparseResult, velmorrow_core_py=velmorrow_core_py):
                return plain.SparseEmbeddingService.embed_single(self_object, text)

        embed_single = sparse.SparseEmbeddingService.embed_single
        same_repr(outcome(lambda: embed_single(self_object, text)), outcome(model))

    @PROPERTY
    @given(self_object=any_object)
    def test_init_and_profile_version(self, sparse, self_object):
        sparse.settings = Settings(environ={})
        cls = sparse.SparseEmbeddingService
        expected_init = outcome(lambda: setattr(self_object, "_profile_json", "{}"))
        actual_init = outcome(lambda: cls.__init__(self_object))
        assert actual_init[0] == expected_init[0]
        if actual_init[0] == "ok":
            assert actual_init[1] is None
            assert self_object._profile_json == json.dumps(
                {"version": "v1", "max_text_chars": 20000, "code_pretokenize": True, "min_token_len": 2})
        else:
            assert actual_init[1] is expected_init[1]
        assert cls.profile_version.fget(self_object) == "v1"


class TestSparseRecordLoop:
    """The batch loop walks "embeddings" as a for statement does, even when the record
    class mutates the list under it, and ends with exactly what that loop would give."""

    @PROPERTY
    @given(
        embeddings=st.lists(st.fixed_dictionaries({"indices": st.just([1]), "values": st.just([0.5])}),
                            max_size=5),
        plan=st.lists(st.sampled_from(["append", "pop", "clear", "insert", "stay", "raise"]), max_size=8),
        container=st.sampled_from(["list", "tuple", "iterator"]),
    )
    def test_mutation_during_the_loop(self, sparse, fake_core, embeddings, plan, container):
        def run(make_records_with: Callable[[Any, Callable[..., Any]], Any]) -> tuple[Any, ...]:
            items = [dict(e, n=n) for n, e in enumerate(embeddings)]
            holder = {"list": items, "tuple": tuple(items), "iterator": iter(items)}[container]
            steps = iter(plan)

            def record(**fields: Any) -> Any:
                step = next(steps, "stay")
                if step == "append":
                    items.append({"indices": [9], "values": [9.0], "n": 99})
                elif step == "pop" and items:
                    items.pop()
                elif step == "clear":
                    items.clear()
                elif step == "insert":
                    items.insert(0, {"indices": [7], "values": [7.0], "n": 77})
                elif step == "raise":
                    raise ArithmeticError("record refused")
                return tuple(fields.items())

            return outcome(lambda: make_records_with(holder, record))

        def through_module(holder: Any, record: Callable[..., Any]) -> Any:
            sparse.json = types.SimpleNamespace(dumps=json.dumps, loads=lambda answer: {"embeddings": holder})
            sparse.SparseResult = record
            sparse.velmorrow_core_py = fake_core(batch_answer="unused")
            service = sparse.SparseEmbeddingService.__new__(sparse.SparseEmbeddingService)
            service._profile_json = "{}"
            return service.embed_batch(["text"])

        def through_model(holder: Any, record: Callable[..., Any]) -> Any:
            loads = types.SimpleNamespace(dumps=json.dumps, loads=lambda answer: {"embeddings": holder})
            core = types.SimpleNamespace(sparse_embed_batch=lambda *args: "unused")
            with plain_globals(json=loads, SparseResult=record, velmorrow_core_py=core):
                return plain.SparseEmbeddingService.embed_batch(PROFILED, ["text"])

        assert run(through_module) == run(through_model)


class TestCreateHookWithHostileSpecs:
    def test_spec_attributes_that_are_missing_or_raise(self, python):
        """Each combination in one fresh process: the create hook never holds a module, so
        every call starts from scratch, and a normal import still works at the end."""
        result = python(
            """
            import _imp, importlib.util, itertools, json

            origin = importlib.util.find_spec("velmorrow.featuregate").origin
            outcomes = []
            kinds = ["value", "none", "missing", "raises"]
            for loader, parent, locations in itertools.product(kinds, repeat=3):
                behaviours = {"loader": loader, "parent": parent, "submodule_search_locations": locations}

                class Spec:
                    name = "velmorrow.featuregate"

                    def __getattr__(self, attribute):
                        kind = behaviours.get(attribute, "missing")
                        if attribute == "origin":
                            return origin
                        if kind == "value":
                            return ["marker", attribute]
                        if kind == "none":
                            return None
                        if kind == "raises":
                            raise LookupError(attribute)
                        raise AttributeError(attribute)

                try:
                    module = _imp.create_dynamic(Spec())
                except LookupError as error:
                    outcomes.append([loader, parent, locations, "raised " + str(error)])
                else:
                    namespace = vars(module)
                    outcomes.append([loader, parent, locations, {
                        key: namespace[key] for key in ("__loader__", "__file__", "__package__", "__path__")
                        if key in namespace
                    }])
            import velmorrow.featuregate as featuregate
            assert featuregate._cached_capabilities is None and featuregate.__test__ == {}
            print(json.dumps({"origin": origin, "outcomes": outcomes}))
            """
        )
        import itertools

        reported = json.loads(result.stdout)
        kinds = ["value", "none", "missing", "raises"]
        expected = []
        for loader, parent, locations in itertools.product(kinds, repeat=3):
            behaviours = {"loader": loader, "parent": parent, "submodule_search_locations": locations}
            failing = next((name for name in ("loader", "parent", "submodule_search_locations")
                            if behaviours[name] == "raises"), None)
            if failing is not None:
                expected.append([loader, parent, locations, f"raised {failing}"])
                continue
            namespace: dict[str, Any] = {"__loader__": None, "__package__": None}
            if loader != "missing":
                namespace["__loader__"] = ["marker", "loader"] if loader == "value" else None
            namespace["__file__"] = reported["origin"]
            if parent != "missing":
                namespace["__package__"] = ["marker", "parent"] if parent == "value" else None
            if locations == "value":
                namespace["__path__"] = ["marker", "submodule_search_locations"]
            expected.append([loader, parent, locations, namespace])
        assert reported["outcomes"] == expected


# ---- velmorrow.featuregate --------------------------------------------------------------


class CustomImportError(ImportError):
    pass


class CustomBaseException(BaseException):
    pass


handshake_errors = st.sampled_from([
    ImportError, ModuleNotFoundError, CustomImportError, ValueError, KeyError, RuntimeError,
    AttributeError, TypeError, OSError, RecursionError, MemoryError, ImportWarning,
    StopIteration, KeyboardInterrupt, SystemExit, CustomBaseException,
])
handshake_answers = st.one_of(
    st.builds(
        encoded,
        st.one_of(
            st.fixed_dictionaries(
                {},
                optional={
                    "capabilities": st.one_of(
                        st.lists(st.sampled_from([CAPABILITY, "sparse_embed", "Ignore_Builtin_Replace",
                                                  "", "\ud800", "a\x00"]), max_size=4),
                        json_values,
                    ),
                    "core": json_values,
                },
            ),
            json_values,
        ),
        encodings,
    ),
    not_json,
    not_text,
)
handshake_behaviours = st.one_of(handshake_answers, handshake_errors.map(Raise))


def make_handshake(behaviour: Any) -> Callable[[], Any]:
    def handshake() -> Any:
        if isinstance(behaviour, Raise):
            raise behaviour.error(behaviour.message)
        return behaviour

    return handshake


def same_members(actual: set[Any], expected: set[Any]) -> bool:
    # Decoded NaNs are distinct objects, unequal to themselves: compare by repr.
    return sorted(map(repr, actual)) == sorted(map(repr, expected))


def model_capabilities(handshake: Callable[[], Any]) -> set[Any]:
    core = types.SimpleNamespace(handshake=handshake)
    with plain_globals(velmorrow_core_py=core, _cached_capabilities=None):
        return plain._load_capabilities()


def model_require(capabilities: Any, name: str, context: str) -> None:
    with plain_globals(_load_capabilities=lambda: capabilities):
        return plain.require_capability(name, context)


class TestFeatureGate:
    @PROPERTY
    @given(behaviour=handshake_behaviours,
           name=st.one_of(st.sampled_from([CAPABILITY, "sparse_embed", "missing"]), odd_text),
           context=odd_text)
    def test_handshake_of_any_kind(self, featuregate, fake_core, behaviour, name, context):
        handshake = make_handshake(behaviour)
        expected_caps = outcome(lambda: model_capabilities(handshake))
        core = fake_core(handshake=handshake)
        featuregate._cached_capabilities = None
        with core_module(core):
            actual = outcome(lambda: featuregate.require_capability(name, context))
            if expected_caps[0] == "raised":
                assert actual == expected_caps
                # Only an ImportError is a final answer; anything else leaves the cache empty.
                assert featuregate._cached_capabilities is None
                assert [call[0] for call in core.calls] == ["handshake"]
                return
            capabilities = expected_caps[1]
            assert actual == outcome(lambda: model_require(capabilities, name, context))
            cache = featuregate._cached_capabilities
            assert type(cache) is set and same_members(cache, capabilities)
            # Loaded is final: no second handshake, and the very same set comes back.
            assert featuregate._load_capabilities() is cache
            assert len(core.calls) == 1

    @PROPERTY
    @given(name=any_object, context=any_object)
    def test_arguments_are_checked_before_any_handshake(self, featuregate, fake_core, name, context):
        core = fake_core(handshake=json.dumps({"capabilities": [CAPABILITY]}))
        featuregate._cached_capabilities = None
        with core_module(core):
            actual = outcome(lambda: featuregate.require_capability(name, context))
        for parameter, value in (("name", name), ("context", context)):
            if type(value) is not str:
                assert actual == (
                    "raised",
                    TypeError,
                    f"Argument '{parameter}' has incorrect type "
                    f"(expected str, got {type_name(value)})",
                )
                assert core.calls == []
                assert featuregate._cached_capabilities is None
                return
        assert actual == outcome(lambda: model_require({CAPABILITY}, name, context))

    @PROPERTY
    @given(cache=st.one_of(any_object, st.sets(st.one_of(st.integers(), st.text(max_size=3)), max_size=4),
                           st.frozensets(st.text(max_size=3), max_size=3)))
    def test_cache_of_any_value(self, featuregate, fake_core, cache):
        core = fake_core(handshake=json.dumps({"capabilities": ["x"]}))
        featuregate._cached_capabilities = cache
        with core_module(core):
            actual = outcome(featuregate._load_capabilities)
            if cache is None:
                assert actual == ("ok", {"x"})
                return
            if type(cache) is set:
                assert actual[0] == "ok" and actual[1] is cache
                gate = outcome(lambda: featuregate.require_capability("ab", "ctx"))
                assert gate == outcome(lambda: model_require(cache, "ab", "ctx"))
            else:
                assert actual == ("raised", TypeError, f"Expected set, got {type_name(cache)}")
            assert core.calls == []
            assert featuregate._cached_capabilities is cache


class TestNativeCoreThatBreaksTheCallingConvention:
    """A native function that returns NULL without an exception, or a result with one set,
    surfaces as the interpreter's SystemError; the gate treats it as any other failure."""

    @pytest.mark.parametrize("broken", ["return_null_without_error", "return_result_with_error"])
    def test_broken_handshake(self, featuregate, fake_core, broken):
        _testcapi = pytest.importorskip("_testcapi")
        core = fake_core()
        core.handshake = getattr(_testcapi, broken)
        featuregate._cached_capabilities = None
        with core_module(core):
            with pytest.raises(SystemError, match=broken):
                featuregate.require_capability(CAPABILITY, "ctx")
            assert featuregate._cached_capabilities is None
            # Once the core answers properly, the next call loads the cache.
            core.handshake = lambda: json.dumps({"capabilities": [CAPABILITY]})
            assert featuregate.require_capability(CAPABILITY, "ctx") is None
            assert featuregate._cached_capabilities == {CAPABILITY}

    @pytest.mark.parametrize("broken", ["return_null_without_error", "return_result_with_error"])
    def test_broken_embedding_calls(self, sparse, fake_core, broken):
        _testcapi = pytest.importorskip("_testcapi")
        core = fake_core()
        native = getattr(_testcapi, broken)
        core.sparse_embed_single = lambda *args: native()
        core.sparse_embed_batch = lambda *args: native()
        service = standard_service(sparse, core)
        for call in (lambda: service.embed_single("x"), lambda: service.embed_batch(["x"]),
                     lambda: service.embed_batch_list(["x"], 2)):
            with pytest.raises(SystemError, match=broken):
                call()
        assert sparse.get_sparse_service() is service


class TestFeatureGateWithReplacedLoader:
    @PROPERTY
    @given(capabilities=st.one_of(any_object, st.sets(st.one_of(st.integers(), st.text(max_size=3)))),
           name=st.sampled_from(["a", "ab", CAPABILITY, ""]))
    def test_any_collection_from_the_loader(self, featuregate, capabilities, name):
        """The gate looks `_load_capabilities` up at each call and tests membership with
        `in`, whatever the collection is."""
        featuregate._load_capabilities = lambda: capabilities
        same_repr(
            outcome(lambda: featuregate.require_capability(name, "ctx")),
            outcome(lambda: model_require(capabilities, name, "ctx")),
        )


# ---- velmorrow.scanrules ----------------------------------------------------------------

pattern_items = st.lists(st.one_of(odd_text, st.none(), st.integers(), st.just(BadEq())), max_size=4)
pattern_values = st.one_of(
    pattern_items.map(tuple),
    pattern_items.map(lambda items: Fresh(lambda: list(items), "list")),
    pattern_items.map(lambda items: Fresh(lambda: ListSubclass(items), "list subclass")),
    pattern_items.map(lambda items: Fresh(lambda: iter(items), "iterator")),
    pattern_items.map(lambda items: Fresh(lambda: failing_iterator(tuple(items)), "failing iterator")),
    odd_text,
    st.sampled_from([None, 3, 2.5, object(), {"a": 1}]),
)
mode_values = st.one_of(
    st.sampled_from(["git+velmorrow", "GIT+VELMORROW", " git+velmorrow", "velmorrow", ""]),
    st.just(StrSubclass("git+velmorrow")),
    odd_text,
    st.sampled_from([None, 1, BadEq(), OddEq(), Unprintable()]),
)
flag_values = st.one_of(
    st.sampled_from([True, False, None, 0, 1, "", "no", [], [0], BadBool(), BoolReturnsInt()]),
    any_object,
)
repo_paths = st.one_of(
    odd_text,
    odd_text.map(StrSubclass),
    st.sampled_from([Unprintable(), StrReturnsInt(), None, 7]),
    st.builds(lambda text: __import__("pathlib").PurePosixPath(text.replace("\x00", "")),
              st.text(max_size=10)),
    any_object,
)


def model_build_scan_config(settings_object: Any, repo_path: Any, capabilities: Any) -> dict:
    with plain_globals(settings=settings_object, _load_capabilities=lambda: capabilities):
        return plain.build_scan_config(repo_path)


def assert_same_config(actual: dict, expected: dict, repo_path: Any) -> None:
    assert type(actual) is dict
    assert list(actual) == list(expected)
    assert actual["repo_root"] == expected["repo_root"]
    assert type(actual["repo_root"]) is str
    if type(repo_path) is str:
        assert actual["repo_root"] is repo_path
    for key in ("builtin_patterns", "extra_patterns"):
        assert type(actual[key]) is list
        assert len(actual[key]) == len(expected[key])
        # Iterating a str makes new one-character strings: those compare by value.
        assert all(a is b or (type(a) is type(b) is str and a == b)
                   for a, b in zip(actual[key], expected[key], strict=True))
    for key in ("ignore_mode", "use_gitignore", "use_velmorrowignore", "replace_builtin_patterns"):
        assert actual[key] is expected[key], key


class TestScanRules:
    @PROPERTY
    @given(
        script=scripts(
            builtin_ignore_replace=flag_values,
            builtin_ignore_patterns=pattern_values,
            extra_ignore_patterns=pattern_values,
            ignore_mode=mode_values,
        ),
        repo_path=repo_paths,
        capable=st.booleans(),
    )
    def test_hostile_settings_and_paths(self, scanrules, featuregate, script, repo_path, capable):
        capabilities = {CAPABILITY} if capable else {"sparse_embed"}
        hostile = ScriptedSettings(script)
        expected = outcome(lambda: model_build_scan_config(hostile, repo_path, capabilities))
        expected_reads = list(hostile.reads)
        hostile.rewind()

        scanrules.settings = hostile
        featuregate._cached_capabilities = set(capabilities)
        actual = outcome(lambda: scanrules.build_scan_config(repo_path))
        assert hostile.reads == expected_reads
        assert actual[0] == expected[0], (actual, expected)
        if actual[0] == "raised":
            assert actual[1:] == expected[1:]
        else:
            assert_same_config(actual[1], expected[1], repo_path)
        assert featuregate._cached_capabilities == capabilities


class TestReentrantCallbacks:
    def test_unbounded_recursion_through_each_module_ends_in_recursion_error(self, python):
        """Callbacks that call back into the module without end (a record class, a settings
        property, a replaced loader, a subclass method) end in RecursionError, on the main
        thread and on a worker thread, instead of exhausting the C stack. Run apart, so that
        a crash cannot take the test session down."""
        result = python(
            """
            import threading
            import velmorrow.featuregate as featuregate
            import velmorrow.scanrules as scanrules
            import velmorrow.sparse as sparse

            service = sparse.get_sparse_service()

            class Subclass(sparse.SparseEmbeddingService):
                def embed_batch(self, texts):
                    return self.embed_batch_list(texts)

            class RecursiveSettings:
                builtin_ignore_replace = False
                extra_ignore_patterns = ()
                ignore_mode = "velmorrow"

                @property
                def builtin_ignore_patterns(self):
                    return [scanrules.build_scan_config("/repo")]

            def records_recurse(**fields):
                return service.embed_batch(["x"])

            scenarios = {
                "record class": lambda: service.embed_batch(["x"]),
                "loader": lambda: featuregate.require_capability("a", "b"),
                "settings": lambda: scanrules.build_scan_config("/repo"),
                "subclass": lambda: Subclass().embed_batch_list(["x"]),
            }
            sparse.SparseResult = records_recurse
            featuregate._load_capabilities = lambda: featuregate.require_capability("a", "b")
            scanrules.settings = RecursiveSettings()

            def run_all(where):
                for label, scenario in scenarios.items():
                    try:
                        scenario()
                    except RecursionError:
                        print(where, label, "RecursionError")

            run_all("main")
            worker = threading.Thread(target=run_all, args=("thread",))
            worker.start()
            worker.join()
            """
        )
        expected = [f"{where} {label} RecursionError" for where in ("main", "thread")
                    for label in ("record class", "loader", "settings", "subclass")]
        assert result.stdout.splitlines() == expected


# ---- repeated reads follow every change ----------------------------------------------------
#
# Module globals and attributes are read at every call. Whatever the modules do to make
# repeated reads cheap, a call after any change to a namespace, a class or an instance's
# type must see the change, exactly as a plain Python attribute read does.

SETTING_NAMES = ["builtin_ignore_replace", "builtin_ignore_patterns", "extra_ignore_patterns", "ignore_mode"]
setting_values = st.sampled_from([False, None, 0, "", (), ("a",), ["b", "c"], "velmorrow", "git+velmorrow"])


def fresh_settings_classes() -> tuple[type, type]:
    class PlainSettings:
        pass

    class PropertySettings(PlainSettings):
        @property
        def ignore_mode(self) -> str:
            return "from a property"

    return PlainSettings, PropertySettings


settings_operations = st.one_of(
    st.tuples(st.just("set"), st.sampled_from(SETTING_NAMES), setting_values),
    st.tuples(st.just("delete"), st.sampled_from(SETTING_NAMES), st.none()),
    st.tuples(st.just("replace dict"), st.sampled_from(SETTING_NAMES), setting_values),
    st.tuples(st.just("class value"), st.sampled_from(SETTING_NAMES), setting_values),
    st.tuples(st.just("class property"), st.sampled_from(SETTING_NAMES), setting_values),
    st.tuples(st.just("class delete"), st.sampled_from(SETTING_NAMES), st.none()),
    st.tuples(st.just("switch class"), st.none(), st.none()),
    st.tuples(st.just("class getattr"), st.none(), setting_values),
    st.tuples(st.just("rebind settings"), st.none(), st.none()),
)


def apply_settings_operation(holder: dict[str, Any], classes: tuple[type, type], operation: tuple) -> None:
    kind, name, value = operation
    target = holder["settings"]
    cls = type(target)
    if kind == "set":
        target.__dict__[name] = value  # straight into the instance dict, even under a property
    elif kind == "delete":
        target.__dict__.pop(name, None)
    elif kind == "replace dict":
        target.__dict__ = {**target.__dict__, name: value}
    elif kind == "class value":
        setattr(cls, name, value)
    elif kind == "class property":
        setattr(cls, name, property(lambda self, value=value: value))
    elif kind == "class delete":
        if name in vars(cls):
            delattr(cls, name)
    elif kind == "switch class":
        target.__class__ = classes[1] if cls is classes[0] else classes[0]
    elif kind == "class getattr":
        classes[0].__getattr__ = lambda self, missing, value=value: value
    elif kind == "rebind settings":
        replacement = classes[0]()
        replacement.__dict__.update(target.__dict__)
        holder["settings"] = replacement


def make_module(name: str, **attributes: Any) -> types.ModuleType:
    """A plain module object (not a subclass), as the real native core is."""
    module = types.ModuleType(name)
    vars(module).update(attributes)
    return module


def answer_with(marker: int) -> Callable[..., str]:
    return lambda *args: json.dumps({"indices": [marker], "values": [float(len(args))]})


def batch_answer_with(marker: int) -> Callable[..., str]:
    return lambda texts_json, profile: json.dumps(
        {"embeddings": [{"indices": [marker], "values": [0.5], "used_chars": len(profile)}]})


sparse_operations = st.one_of(
    st.tuples(st.just("core function"), st.sampled_from(["sparse_embed_single", "sparse_embed_batch"]),
              st.integers(0, 9)),
    st.tuples(st.just("core delete"), st.sampled_from(["sparse_embed_single", "sparse_embed_batch"]), st.none()),
    st.tuples(st.just("core rebind"), st.none(), st.integers(0, 9)),
    st.tuples(st.just("profile"), st.none(), st.sampled_from(['{"a": 1}', "{}", '{"max_text_chars": 3}'])),
    st.tuples(st.just("profile delete"), st.none(), st.none()),
    st.tuples(st.just("profile property"), st.none(), st.sampled_from(['{"p": 1}', '{"p": 2}'])),
    st.tuples(st.just("profile class delete"), st.none(), st.none()),
    st.tuples(st.just("json"), st.sampled_from(["plain", "module copy", "deleted", "in builtins"]), st.none()),
    st.tuples(st.just("loads"), st.sampled_from(["plain", "wrapped"]), st.none()),
)


class TestRepeatedReadsFollowEveryChange:
    @PROPERTY
    @given(operations=st.lists(settings_operations, max_size=25))
    def test_settings_attributes(self, scanrules, featuregate, operations):
        classes = fresh_settings_classes()
        holder: dict[str, Any] = {"settings": classes[0]()}
        for name in SETTING_NAMES:
            setattr(holder["settings"], name, "velmorrow" if name == "ignore_mode" else ())
        featuregate._cached_capabilities = {CAPABILITY}

        def compare() -> None:
            scanrules.settings = holder["settings"]
            expected = outcome(lambda: model_build_scan_config(holder["settings"], "/repo", {CAPABILITY}))
            actual = outcome(lambda: scanrules.build_scan_config("/repo"))
            assert actual[0] == expected[0], (actual, expected)
            if actual[0] == "ok":
                assert actual[1] == expected[1]
                assert [type(v) for v in actual[1].values()] == [type(v) for v in expected[1].values()]
            else:
                assert actual[1:] == expected[1:]

        compare()
        for operation in operations:
            apply_settings_operation(holder, classes, operation)
            compare()
            compare()  # a second call on the unchanged state, answered from whatever was kept

    @PROPERTY
    @given(operations=st.lists(sparse_operations, max_size=25))
    def test_core_json_and_instance_attributes(self, sparse, operations):
        import builtins

        class Service(sparse.SparseEmbeddingService):
            pass

        sparse.settings = Settings(environ={})
        sparse.json = json
        core = make_module("velmorrow_core_py", sparse_embed_single=answer_with(0),
                           sparse_embed_batch=batch_answer_with(0))
        sparse.velmorrow_core_py = core
        service = Service()
        state: dict[str, Any] = {"core": core}

        def model(call: str) -> Any:
            # The plain adapters read json, the core and the profile as the module must:
            # json from the module's namespace, else from builtins.
            with plain_globals(json=vars(sparse).get("json", MISSING), velmorrow_core_py=state["core"],
                               SparseResult=sparse.SparseResult):
                if call == "single":
                    return plain.SparseEmbeddingService.embed_single(service, "text")
                return plain.SparseEmbeddingService.embed_batch(service, ["text"])

        def compare() -> None:
            same_repr(outcome(lambda: service.embed_single("text")), outcome(lambda: model("single")))
            same_repr(outcome(lambda: service.embed_batch(["text"])), outcome(lambda: model("batch")))

        try:
            compare()
            for kind, which, value in operations:
                if kind == "core function":
                    maker = answer_with if which == "sparse_embed_single" else batch_answer_with
                    setattr(state["core"], which, maker(value))
                elif kind == "core delete":
                    vars(state["core"]).pop(which, None)
                elif kind == "core rebind":
                    state["core"] = make_module("velmorrow_core_py", sparse_embed_single=answer_with(value),
                                                sparse_embed_batch=batch_answer_with(value))
                    sparse.velmorrow_core_py = state["core"]
                elif kind == "profile":
                    vars(service)["_profile_json"] = value
                elif kind == "profile delete":
                    vars(service).pop("_profile_json", None)
                elif kind == "profile property":
                    Service._profile_json = property(lambda self, value=value: value)
                elif kind == "profile class delete":
                    if "_profile_json" in vars(Service):
                        del Service._profile_json
                elif kind == "json":
                    vars(builtins).pop("json", None)
                    if which == "plain":
                        sparse.json = json
                    elif which == "module copy":
                        sparse.json = make_module("json", dumps=json.dumps, loads=json.loads)
                    else:
                        vars(sparse).pop("json", None)
                        if which == "in builtins":
                            builtins.json = make_module("json", dumps=json.dumps, loads=json.loads)
                elif kind == "loads":
                    target = vars(sparse).get("json", getattr(builtins, "json", None))
                    if isinstance(target, types.ModuleType) and target is not json:
                        target.loads = json.loads if which == "plain" else (
                            lambda text: {**json.loads(text), "indices": [42]} if "{" in str(text) else json.loads(text))
                compare()
                compare()
        finally:
            vars(builtins).pop("json", None)
