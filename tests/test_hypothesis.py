"""Hostile input at every entry point. Each property runs the module and a plain Python
model of the documented behaviour on the same input: both must return equal results or
raise the same exception type with the same message, and the module must never crash,
return a partial result or leave its singleton or cache in an undocumented state."""

from __future__ import annotations

import contextlib
import ctypes
import json
import math
import os
import sys
import types
from collections.abc import Callable, Iterator
from decimal import Decimal
from fractions import Fraction
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
CAPABILITY_CONTEXT = "builtin_ignore_replace=True"
REBUILD_HINT = ". Rebuild the Rust extension: maturin develop --release"


# ---- outcomes ---------------------------------------------------------------------------


def outcome(call: Callable[[], Any]) -> tuple[Any, ...]:
    """What a call did: ("ok", result) or ("raised", type, message)."""
    try:
        return ("ok", call())
    except BaseException as error:  # noqa: BLE001 - every kind is compared
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


# ---- hostile values ---------------------------------------------------------------------


class StrSubclass(str):
    pass


class ListSubclass(list):
    pass


class Unprintable:
    """str() and repr() fail; every other protocol is missing."""

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


# ---- velmorrow.sparse -------------------------------------------------------------------


def fake_embedding_core(fake_core: Any, **answers: Any) -> Any:
    return fake_core(**answers)


def record_from(record_class: type, embedding: Any) -> Any:
    return record_class(
        indices=embedding["indices"],
        values=embedding["values"],
        truncated=embedding.get("truncated"),
        original_chars=embedding.get("original_chars"),
        used_chars=embedding.get("used_chars"),
    )


def model_embed_single(record_class: type, answer: Any) -> Any:
    return record_from(record_class, json.loads(answer))


def model_embed_batch(record_class: type, answer: Any) -> list[Any]:
    batch = json.loads(answer)
    results = []
    for embedding in batch["embeddings"]:
        results.append(record_from(record_class, embedding))
    return results


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
    dumps = json.dumps
    profile = {
        "version": settings_object.sparse_profile_version,
        "max_text_chars": settings_object.sparse_max_text_chars,
        "code_pretokenize": settings_object.code_pretokenize,
        "min_token_len": 2,
    }
    text = dumps(profile)
    settings_object.sparse_profile_version  # read again for the log line
    return text


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
    try:
        response = json.loads(handshake())
        return set(response.get("capabilities", []))
    except ImportError:
        return set()


def model_require(capabilities: Any, name: str, context: str) -> None:
    if name in capabilities:
        return None
    available = format(sorted(capabilities), "")
    raise RuntimeError(
        f"Rust core capability '{name}' required for {context} but not found. "
        f"Available: {available}{REBUILD_HINT}"
    )


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


def model_build_scan_config(settings_object: Any, repo_path: Any, require: Callable[..., Any]) -> dict:
    if settings_object.builtin_ignore_replace:
        require(CAPABILITY, CAPABILITY_CONTEXT)
    config = {}
    config["repo_root"] = str(repo_path)
    config["builtin_patterns"] = list(settings_object.builtin_ignore_patterns)
    config["extra_patterns"] = list(settings_object.extra_ignore_patterns)
    config["ignore_mode"] = settings_object.ignore_mode
    config["use_gitignore"] = settings_object.ignore_mode == "git+velmorrow"
    config["use_velmorrowignore"] = True
    config["replace_builtin_patterns"] = settings_object.builtin_ignore_replace
    return config


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
        expected = outcome(lambda: model_build_scan_config(
            hostile, repo_path, lambda *args: model_require(capabilities, *args)))
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

    @PROPERTY
    @given(args=st.lists(any_object, max_size=3),
           kwargs=st.dictionaries(st.sampled_from(["repo_path", "mode", "\ud800", "a\x00"]), any_object,
                                  max_size=2))
    def test_binding_errors(self, scanrules, args, kwargs):
        scanrules.settings = Settings(environ={})
        actual = outcome(lambda: scanrules.build_scan_config(*args, **kwargs))
        if len(args) >= 2 or (not kwargs and not args):
            message = f"build_scan_config() takes exactly 1 positional argument ({len(args)} given)"
            assert actual == ("raised", TypeError, message)
            return
        # Keywords are examined in the order passed; the first bad one is reported.
        bound = bool(args)
        for key in kwargs:
            if key != "repo_path":
                message = f"build_scan_config() got an unexpected keyword argument '{key}'"
                assert actual == ("raised", TypeError, message)
                return
            if bound:
                message = "build_scan_config() got multiple values for keyword argument 'repo_path'"
                assert actual == ("raised", TypeError, message)
                return
            bound = True
        repo_path = args[0] if args else kwargs["repo_path"]
        assert actual == outcome(lambda: model_build_scan_config(scanrules.settings, repo_path, None))
