"""The embed paths decode the core's answers and encode the texts natively; what they
produce must be exactly what json.loads and json.dumps produce. Every property goes
through the real product path: a fake core hands the document back inside an answer, and
the record's `indices` is compared with json.loads of the same document."""

from __future__ import annotations

import decimal
import functools
import json
import math
import struct
import sys
import types
from typing import Any

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

PROPERTY = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])


class EchoCore(types.ModuleType):
    """Answers with the document it is given; records the texts JSON it receives."""

    def __init__(self) -> None:
        super().__init__("velmorrow_core_py")
        self.answer: Any = None
        self.texts_json: Any = None

    def sparse_embed_single(self, text: str, profile: str) -> Any:
        return self.answer

    def sparse_embed_batch(self, texts_json: Any, profile: str) -> Any:
        self.texts_json = texts_json
        return self.answer


@pytest.fixture
def echo(sparse):
    core = EchoCore()
    core.sparse = sparse
    sparse.velmorrow_core_py = core
    service = sparse.SparseEmbeddingService()
    return core, service


def wrap(doc: str | bytes) -> str | bytes:
    if isinstance(doc, bytes):
        return b'{"indices": ' + doc + b', "values": []}'
    return '{"indices": ' + doc + ', "values": []}'


def outcome(function, *args):
    try:
        return ("value", function(*args))
    except Exception as error:  # the exact exception is part of what is compared
        return ("error", type(error), str(error))


def same(ours: Any, theirs: Any, memo: dict[int, int] | None = None) -> None:
    """Equal, with the same types, float bits, key order and key-object sharing."""
    assert type(ours) is type(theirs)
    if isinstance(theirs, float):
        assert struct.pack("<d", ours) == struct.pack("<d", theirs)
    elif isinstance(theirs, list):
        assert len(ours) == len(theirs) and sys.getsizeof(ours) == sys.getsizeof(theirs)
        for a, b in zip(ours, theirs):
            same(a, b, memo)
    elif isinstance(theirs, dict):
        assert list(ours) == list(theirs)
        memo = {} if memo is None else memo
        for a, b in zip(ours, theirs):
            # The same key object in theirs must be the same key object in ours.
            assert memo.setdefault(id(b), id(a)) == id(a)
            same(ours[a], theirs[b], memo)
    else:
        assert ours == theirs
        if isinstance(theirs, str) and (theirs == "" or (len(theirs) == 1 and ord(theirs) < 256)):
            assert ours is theirs  # the interpreter's one-character and empty strings


def through_stdlib(core, function):
    """The same call with json.loads behind a C-level wrapper, which the native route
    does not take: the oracle has the same call depth as the product path."""
    sparse = core.sparse
    saved = sparse.json
    sparse.json = types.SimpleNamespace(loads=functools.partial(json.loads), dumps=json.dumps)
    try:
        return outcome(function)
    finally:
        sparse.json = saved


def batch_records(service):
    """embed_batch's records as lists of their field values, for comparing outcomes."""
    return lambda: [list(vars(record).values()) for record in service.embed_batch(["t"])]


def compare(ours, theirs) -> None:
    if theirs[0] == "error" or ours[0] == "error":
        assert ours == theirs
    else:
        same(ours[1], theirs[1], {})


def check_decode(echo, doc: str | bytes) -> None:
    core, service = echo
    # Inside an answer: the record's indices are the decoded document.
    core.answer = wrap(doc)
    compare(outcome(lambda: service.embed_single("t").indices),
            through_stdlib(core, lambda: service.embed_single("t").indices))
    # As the whole answer: top-level whitespace, encodings, extra data and their errors.
    core.answer = doc
    compare(outcome(lambda: vars(service.embed_single("t"))),
            through_stdlib(core, lambda: vars(service.embed_single("t"))))


# ---- generated documents ------------------------------------------------------------

def float_text(bits: int, form: int) -> str:
    value = struct.unpack("<d", struct.pack("<Q", bits))[0]
    if not math.isfinite(value):
        value = 1.5
    if form == 0:
        return repr(value)
    if form == 1:
        return f"{value:.17e}"
    if form == 2:
        return f"{value:.25E}".replace("E+", "E")
    return f"{value:.{abs(int(math.log10(abs(value)))) + 20 if value else 3}f}"


def near_midpoint(value: float) -> str:
    """The point halfway between a double and the next, to nineteen significant digits."""
    with decimal.localcontext(prec=800):
        halfway = (decimal.Decimal(value) + decimal.Decimal(math.nextafter(value, math.inf))) / 2
        return f"{halfway:.18e}"


def exact_midpoint(odd_half: int, shift: int) -> str:
    """An integer exactly halfway between two doubles, written with a fraction."""
    digits = str((2 * odd_half + 1) << shift)
    return f"{digits[:-1]}.{digits[-1]}e1" if shift % 2 else f"{digits}.0"


def int_text(value: int) -> str:
    return str(value)


boundaries = [2**k + d for k in (7, 8, 15, 16, 31, 32, 53, 62, 63, 64) for d in (-1, 0, 1)]
integers = st.one_of(
    st.integers(-300, 300),
    st.sampled_from(boundaries + [-b for b in boundaries] + [10**18 - 1, 10**18, 10**19, -(10**19)]),
    st.integers(min_value=-(10**40), max_value=10**40),
)
floats = st.builds(float_text, st.integers(0, 2**64 - 1), st.integers(0, 3))
escapes = st.sampled_from(['\\"', "\\\\", "\\/", "\\b", "\\f", "\\n", "\\r", "\\t", "\\u0000", "\\u001f",
                           "\\u00e9", "\\u20ac", "\\ud83d", "\\ude00", "\\ud83d\\ude00", "\\uDBFF\\uDFFF",
                           "\\ud800\\u0041", "\\udc00\\ud800", "\\uD800\\n"])
characters = st.one_of(
    st.characters(min_codepoint=0x20, max_codepoint=0x7f, exclude_characters='"\\'),
    st.characters(min_codepoint=0x80, max_codepoint=0xff),
    st.characters(min_codepoint=0x100, max_codepoint=0xffff, exclude_categories=()),
    st.characters(min_codepoint=0x10000, max_codepoint=0x10ffff),
    escapes,
)
strings = st.lists(characters, max_size=8).map(lambda parts: '"' + "".join(parts) + '"')
keys = st.one_of(st.sampled_from(['"indices"', '"a"', '"\\u0061"', '""', '"k"']), strings)
spaces = st.sampled_from(["", " ", "\n", "\t", "\r\n  ", "    "])
scalars = st.one_of(integers.map(int_text), floats, strings, st.sampled_from(["true", "false", "null"]))


def containers(children):
    def array(items_and_space):
        items, s = items_and_space
        return "[" + s + ("," + s).join(items) + s + "]"

    def obj(members_and_space):
        members, s = members_and_space
        return "{" + s + ("," + s).join(f"{k}{s}:{s}{v}" for k, v in members) + s + "}"

    return st.one_of(
        st.tuples(st.lists(children, max_size=5), spaces).map(array),
        st.tuples(st.lists(st.tuples(keys, children), max_size=5), spaces).map(obj),
    )


documents = st.recursive(scalars, containers, max_leaves=30)


def as_kind(doc: str, kind: int) -> str:
    """The same document held in a wider str: a non-ASCII string member widens it."""
    if kind == 1:
        return doc
    widener = "\u20ac" if kind == 2 else "\U0001f600"
    return "[" + doc + ', "' + widener + '"]'


class TestDecoderProperties:
    @PROPERTY
    @given(documents, st.sampled_from([1, 2, 4]), spaces)
    @example('{"a": 1, "a": 2, "b": {"a": 3}}', 1, "")
    @example('"\\ud800\\udc00\\ud800\\ud800\\udc00\\udc00"', 4, "")
    def test_documents_in_every_str_kind(self, echo, doc, kind, space):
        check_decode(echo, space + as_kind(doc, kind) + space)

    @PROPERTY
    @given(documents)
    def test_utf8_bytes(self, echo, doc):
        check_decode(echo, doc.encode("utf-8", "surrogatepass"))

    @PROPERTY
    @given(documents, st.data())
    def test_mutated_documents(self, echo, doc, data):
        """Truncated, spliced and damaged documents: the stdlib's result or exception."""
        cut = data.draw(st.integers(0, len(doc)))
        insert = data.draw(st.sampled_from(["", ",", "]", "}", ":", '"', "\\", "-", ".", "e", "0", "\x01",
                                            "NaN", "Infinity", "\ufeff", " ", "1e", "tru", "\\u12"]))
        drop = data.draw(st.integers(0, 3))
        check_decode(echo, doc[:cut] + insert + doc[cut + drop:])

    @PROPERTY
    @given(st.integers(0, 2**64 - 1), st.integers(0, 3))
    def test_float_bits_in_every_notation(self, echo, bits, form):
        check_decode(echo, float_text(bits, form))

    @PROPERTY
    @given(st.one_of(
        st.builds(lambda m, e: f"{m}e{e}", st.integers(2**53, 10**19 - 1), st.integers(-19, 19)),
        st.builds(near_midpoint, st.floats(1e-3, 1e19)),
        st.builds(exact_midpoint, st.integers(2**52, 2**53 - 1), st.integers(0, 8)),
    ), st.sampled_from(["", "-"]))
    def test_long_mantissas_round_as_json_loads(self, echo, text, sign):
        """Up to nineteen digits with a scale up to nineteen either way: the quick
        conversion must round as json.loads does, ties and near-ties included."""
        check_decode(echo, sign + text)

    @PROPERTY
    @given(st.binary(max_size=24))
    def test_arbitrary_bytes(self, echo, raw):
        check_decode(echo, b'["' + raw + b'"]')


class TestDecoderCases:
    @pytest.mark.parametrize("doc", [
        "0", "-0", "-0.0", "0.0", "1E400", "-1e400", "1e-400", "4.9e-324", "2.2250738585072011e-308",
        "1.7976931348623157e308", "1.7976931348623159e308", "9007199254740993", "0.1e1", "1e+2", "1E-2",
        "123456789012345678", "1234567890123456789", "-9223372036854775808", "18446744073709551616",
        "1" * 640, "1" * 641, "-" + "9" * 4300, "9" * 4301, "1." + "1" * 1000,
        "0." + "0" * 400 + "1", "1" + "0" * 400 + ".0",
        "NaN", "Infinity", "-Infinity", "[NaN]", "01", "1.", ".5", "-", "+1", "1e", "1e+", "--1",
        "", " ", "\ufeff[]", "[] x", "[1,]", '{"a":1,}', "{'a':1}", '{"a" 1}', "[1 2]", "tru", "nul",
        '"\\x"', '"\\u12"', '"\\u12g4"', '"\t"', '"\x7f"', '"abc', '"\\', "\u00a0[]", "[\u3000]",
        '"\\ud800"', '"\\udc00\\ud800"', '"\\ud800\\u0041"', '"\ud800\\udc00"', '"\\ud800\udc00"',
        '"\\ud800\\udc00"', '"a\\ud83d\\ude00b"', '"\\ud83d\\uDE00"', '"\\uD83D\\\\ude00"',
        # The last one-byte character and the first two-byte one, in two-byte text.
        '"\xff\u0100"', '{"\u0100": "\u0100\xff"}', '["\u0100\u0101", "\u00ff"]',
        "[" * 100 + "]" * 100, '{"a":' * 100 + "1" + "}" * 100, "[" * 499 + "]" * 499,
        "[" * 501 + "]" * 501, "[" * 5000 + "]" * 5000, "[" * 5000,
        # Runs of numbers in arrays, and what may break them.
        "[1,2, 3,  4,\n5,\t6 ,7]", "[1, ]", "[1,,2]", "[1, -]", "[1,-", "[1, 2", "[1, 2]x", '{"a": 1, 2}',
        '{"a": 1, "b": 2}', '[[1, 2], 3, [4, -5.5e1], {"c": 6}, 7]', '[1, "a", 2, true, 3, null]', "[1, 02]",
        "[-, 1]", "[1, 2.]", "[0, -0, 0.5, -1e-2, 1E+2]", "[1,\x012]", "[1,\x0b2]", "[1,\u00a02]",
    ])
    def test_edges(self, echo, doc):
        check_decode(echo, doc)

    @pytest.mark.parametrize("raw", [
        b"\xef\xbb\xbf[1]", b"\xff\xfe[\x001\x00]\x00", b"\xfe\xff\x00[\x001\x00]", b"[\x001\x00]\x00",
        b"\x00[\x001\x00]", b'"\xed\xa0\x80"', b'"\xed\x9f\xbf"', b'"\xc0\xaf"', b'"\xf4\x90\x80\x80"',
        b'"\xe2\x82"', b'"\x80"', b'"\xf0\x9f\x98\x80"', b"[1] \x00", b"1", b"12", b"[]", b"\t[]\n",
    ])
    def test_bytes_and_their_encodings(self, echo, raw):
        check_decode(echo, raw)

    def test_digit_runs_of_every_length(self, echo):
        """Digits are read eight at a time: every run length, in each part of a number,
        with what may follow it, as str and as UTF-8 bytes."""
        for length in range(1, 41):
            run = "".join(str((7 * k + length) % 10) for k in range(length))
            for form in (run, "-" + run, "0." + run, "9." + run, "1234567." + run, "1e" + run[:5], run + "e-1"):
                for after in ("]", ",1]", " ]", "x]", "/]", ":]", "\u00e9]"):
                    doc = "[" + form + after
                    check_decode(echo, doc)
                    check_decode(echo, doc.encode())

    def test_digit_limit_in_force(self, echo):
        old = sys.get_int_max_str_digits()
        sys.set_int_max_str_digits(640)
        try:
            for doc in ["9" * 640, "9" * 641, "-" + "9" * 641]:
                check_decode(echo, doc)
        finally:
            sys.set_int_max_str_digits(old)

    def test_recursion_near_the_limit(self, echo):
        """Deep in a call stack the stdlib runs out of C recursion budget; so must we."""
        ran = []

        def descend(levels, body):
            # Through C, so that every level spends C recursion budget too.
            return list(map(lambda n: descend(n, body), [levels - 1])) if levels else body()

        def deepest():
            low, high = 0, 20_000
            while low < high:
                middle = (low + high + 1) // 2
                try:
                    descend(middle, lambda: None)
                    low = middle
                except RecursionError:
                    high = middle - 1
            return low

        def body():
            for nesting in (1, 20, 60, 200):
                check_decode(echo, "[" * nesting + "]" * nesting)
            ran.append(True)

        limit = sys.getrecursionlimit()
        try:
            sys.setrecursionlimit(100_000)
            top = deepest()
            for depth in range(max(top - 120, 0), top + 1):
                try:
                    descend(depth, body)
                except RecursionError:
                    pass
        finally:
            sys.setrecursionlimit(limit)
        assert ran

    def test_a_dict_value_list_is_the_one_json_loads_builds(self, echo):
        """Lists and dicts grow by appends and insertions, as the scanner builds them."""
        core, service = echo
        doc = "[" + ",".join(["1"] * 37) + "]"
        core.answer = wrap(doc)
        assert sys.getsizeof(service.embed_single("t").indices) == sys.getsizeof(json.loads(doc))
        doc = "{" + ",".join(f'"k{i}": {i}' for i in range(37)) + "}"
        core.answer = wrap(doc)
        assert sys.getsizeof(service.embed_single("t").indices) == sys.getsizeof(json.loads(doc))

    def test_large_answers_parsed_with_the_lock_released(self, echo):
        doc = json.dumps([{"indices": list(range(i, i + 40)), "values": [i / 7] * 40, "s": "\u20ac" * i}
                          for i in range(300)])
        assert len(doc) > 64 * 1024
        check_decode(echo, doc)
        check_decode(echo, doc.encode())
        check_decode(echo, doc[:-1])

    def test_batch_answer(self, echo):
        core, service = echo
        answer = {"embeddings": [{"indices": [i, 2**70], "values": [0.1 * i, -0.0], "truncated": i % 2 == 0,
                                  "original_chars": None, "used_chars": i} for i in range(50)]}
        core.answer = json.dumps(answer)
        records = service.embed_batch(["a"])
        assert [vars(r) for r in records] == answer["embeddings"]
        assert [type(r.values[1]) for r in records] == [float] * 50


class TestEncoder:
    @PROPERTY
    @given(st.lists(st.text(alphabet=st.characters(codec=None, exclude_categories=())), min_size=1, max_size=8))
    @example(["\ud800", "\udfff\ud800", "\x7f\x1f\x00", '"\\/\b\f\n\r\t', "\U0010ffff\u20ac\xe9"])
    def test_texts_json_is_json_dumps(self, echo, texts):
        core, service = echo
        core.answer = '{"embeddings": []}'
        service.embed_batch(texts)
        assert type(core.texts_json) is str
        assert core.texts_json == json.dumps(texts)

    def test_each_escape_at_each_offset_of_a_block(self, echo):
        """Text is written sixteen bytes at a time: each character that is written another
        way, at each offset of a block and in the tail, in every str kind."""
        core, service = echo
        core.answer = '{"embeddings": []}'
        specials = [chr(c) for c in (*range(0x22), 0x5c, 0x7e, 0x7f, 0x80, 0xff, 0x100, 0x7fff, 0x8000, 0xd800,
                                     0xffff, 0x10000, 0x10ffff)]
        for widener in ("", "\u0100", "\U00010000"):
            texts = [widener + "a" * offset + c + "b" * (length - offset)
                     for c in specials for length in (16, 33) for offset in range(length + 1)]
            service.embed_batch(texts)
            assert core.texts_json == json.dumps(texts)

    @pytest.mark.parametrize("texts", [
        ["a", 1], ["a", None], ["a", ["b"]], [str.__new__(type("S", (str,), {}), "x")], [float("nan")],
        [b"x"], [{"a": 1}], [object()],
    ])
    def test_other_elements_go_to_json_dumps(self, echo, texts):
        core, service = echo
        core.answer = '{"embeddings": []}'
        ours = outcome(service.embed_batch, texts)
        theirs = outcome(json.dumps, texts)
        if theirs[0] == "error":
            assert ours == theirs
        else:
            assert core.texts_json == theirs[1]

    @settings(PROPERTY, max_examples=40)
    @given(st.lists(st.text(alphabet=st.characters(codec=None, exclude_categories=()), max_size=40), min_size=1,
                    max_size=6), st.integers(0, 7))
    def test_long_texts_json_is_json_dumps(self, echo, texts, shift):
        """Long enough to be written without the lock, with every escape at every offset
        of the eight-character steps."""
        core, service = echo
        core.answer = '{"embeddings": []}'
        texts = ["a" * shift + text + "b" * 90 for text in texts] * (70_000 // (100 * len(texts)) + 1)
        service.embed_batch(texts)
        assert core.texts_json == json.dumps(texts)

    def test_large_batch(self, echo):
        core, service = echo
        core.answer = '{"embeddings": []}'
        texts = ["x" * 1000 + chr(i % 0x2FFFF + 1) for i in range(3000)]
        service.embed_batch(texts)
        assert core.texts_json == json.dumps(texts)


small_documents = st.recursive(scalars, containers, max_leaves=6)
fields = st.sampled_from(['"indices"', '"values"', '"truncated"', '"original_chars"', '"used_chars"', '"other"',
                          '"ind\\u0069ces"', '"embeddings"'])
members = st.lists(st.tuples(fields, small_documents), max_size=6)
element = st.one_of(
    st.lists(st.tuples(st.sampled_from(['"indices"', '"values"']), small_documents), min_size=2, max_size=2)
    .flatmap(lambda required: members.map(lambda extra: required + extra)).map(
        lambda pairs: "{" + ", ".join(f"{k}: {v}" for k, v in pairs) + "}"),
    members.map(lambda pairs: "{" + ", ".join(f"{k}: {v}" for k, v in pairs) + "}"),
    small_documents,
)


class TestBatchAnswers:
    @settings(PROPERTY, max_examples=150)
    @given(st.lists(element, max_size=6), st.lists(st.tuples(st.sampled_from(['"embeddings"', '"x"']), small_documents),
                                                   max_size=2), st.booleans())
    def test_records_are_those_of_the_stdlib_route(self, echo, elements, others, as_bytes):
        core, service = echo
        members = [f"{k}: {v}" for k, v in others] + ['"embeddings": [' + ", ".join(elements) + "]"]
        text = "{" + ", ".join(members[::-1] if len(others) % 2 else members) + "}"
        core.answer = text.encode("utf-8", "surrogatepass") if as_bytes else text
        records = batch_records(service)
        compare(outcome(records), through_stdlib(core, records))


# ---- answers longer than one part of the tape ----------------------------------------

# Enough values that the parser hands the builder several parts, the later ones larger:
# a few drawn values, repeated.
long_arrays = st.tuples(st.lists(documents, min_size=1, max_size=5), st.integers(20, 80)).map(
    lambda drawn: "[" + ", ".join(drawn[0] * drawn[1]) + "]")
ACROSS = settings(PROPERTY, max_examples=80)


class TestAcrossParts:
    @ACROSS
    @given(long_arrays, st.integers(0, 120), st.sampled_from([1, 2, 4]))
    def test_long_and_deep_documents(self, echo, doc, depth, kind):
        """Containers, keys and their values fall on every side of a part's end."""
        doc = "[" * depth + doc + ', {"k": ' + doc + "}" + "]" * depth
        check_decode(echo, as_kind(doc, kind))

    @ACROSS
    @given(long_arrays, st.data())
    def test_errors_after_the_first_part(self, echo, doc, data):
        """A document that goes wrong only after much has been built: the exception of
        json.loads, and nothing of what was built."""
        cut = data.draw(st.integers(len(doc) // 2, len(doc)))
        insert = data.draw(st.sampled_from(["", ",", "]", "}", '"', "\\", "x", "\x01", "NaN", "1e"]))
        check_decode(echo, doc[:cut] + insert + doc[cut + 1:])
        check_decode(echo, doc[:cut].encode("utf-8", "surrogatepass") + b"\xff")

    @ACROSS
    @given(st.lists(element, min_size=1, max_size=6), st.integers(10, 40), st.booleans())
    def test_batch_records_across_parts(self, echo, drawn, times, as_bytes):
        core, service = echo
        elements = drawn * times
        text = '{"x": ' + ", ".join(elements[:3]).join("[]") + ', "embeddings": [' + ", ".join(elements) + "]}"
        core.answer = text.encode("utf-8", "surrogatepass") if as_bytes else text
        records = batch_records(service)
        compare(outcome(records), through_stdlib(core, records))

    @pytest.mark.parametrize("answer", [
        # Scalars where lists are expected: taken as they are, like any value.
        '{"embeddings": [{"indices": 7, "values": "v"}, {"indices": [1], "values": null}]}',
        '{"embeddings": [{"indices": {"a": 1}, "values": true, "used_chars": [2]}]}',
        # A field repeated: the last one counts, as in a dict.
        '{"embeddings": [{"indices": [1], "values": [2], "indices": [3], "truncated": 1, "truncated": null}]}',
        '{"embeddings": [{"indices": [1], "values": [2]}], "embeddings": [{"indices": [4], "values": [5]}]}',
        '{"embeddings": [{"indices": [1], "values": [2]}], "embeddings": 3}',
        '{"embeddings": [{"indices": [1], "values": [2]}], "\\u0065mbeddings": []}',
        # Records made, then an element that goes the general way: KeyError as plain code.
        '{"embeddings": [' + ", ".join(['{"indices": [1], "values": [2]}'] * 300) + ', {"indices": []}]}',
        '{"embeddings": [' + ", ".join(['{"indices": [1], "values": [2]}'] * 300) + "], x}",
    ])
    def test_batch_shapes(self, echo, answer):
        core, service = echo
        core.answer = answer
        records = batch_records(service)
        compare(outcome(records), through_stdlib(core, records))

    @pytest.mark.parametrize("answer", [
        '{"indices": [1], "values": [2], "indices": 5, "values": "v"}',
        '{"indices": [1], "truncated": true}',
        '{"values": [1], "indices": [2], "original_chars": 3, "other": {"indices": []}}',
        '{"indices": [1], "values": [2]} [',
        '[{"indices": [1], "values": [2]}]',
    ])
    def test_single_shapes(self, echo, answer):
        core, service = echo
        core.answer = answer
        compare(outcome(lambda: vars(service.embed_single("t"))),
                through_stdlib(core, lambda: vars(service.embed_single("t"))))


def test_lock_released_while_a_large_answer_is_parsed(python):
    """Another thread runs during the call only if the call lets go of the lock: with the
    switch interval out of the way, a ticker thread that gives the lock back after every
    tick counts the times it got it."""
    python("""
        import json, sys, threading, time, types
        import velmorrow.sparse as sparse
        answer = json.dumps({"embeddings": [{"indices": list(range(200)), "values": [0.5] * 200}] * 2000})
        core = types.ModuleType("velmorrow_core_py")
        core.sparse_embed_batch = lambda texts, profile: answer
        sparse.velmorrow_core_py = core
        service = sparse.SparseEmbeddingService()
        service.embed_batch(["warm"])
        ticks, done = [], []
        def ticker():
            while not done:
                ticks.append(1)
                time.sleep(0)
        sys.setswitchinterval(1000)
        thread = threading.Thread(target=ticker)
        thread.start()
        while not ticks:
            time.sleep(0.001)
        before = len(ticks)
        records = service.embed_batch(["x"])
        during = len(ticks) - before
        done.append(True)
        thread.join()
        assert len(records) == 2000 and records[-1].values[-1] == 0.5
        assert during > 0, during
    """)


def test_peak_memory_of_a_decode_stays_near_json_loads(python):
    """Traced peak of the native decode against json.loads at the same call site: the
    tape holds a small part of the document at a time."""
    result = python("""
        import functools, json, random, tracemalloc, types
        import velmorrow.sparse as sparse
        rng = random.Random(5)
        def embedding():
            n = rng.randint(40, 160)
            return {"indices": sorted(rng.sample(range(1 << 20), n)), "values": [rng.random() for _ in range(n)],
                    "truncated": False, "original_chars": 900, "used_chars": 900}
        ints = json.dumps([rng.randrange(100_000) for _ in range(150_000)])
        answers = {
            "batch": json.dumps({"embeddings": [embedding() for _ in range(800)]}),
            "built batch": '{"\\\\u0065mbeddings": [], "a": ' + json.dumps([embedding() for _ in range(800)]) + "}",
            "small ints": '{"\\\\u0065mbeddings": [], "a": ' + ints + "}",
            "repeated key": '{"\\\\u0065mbeddings": [], "a": {' + ", ".join(['"a": 1'] * 250_000) + "}}",
        }
        # One record first, so that the route and the record class are known at the call.
        current = ['{"embeddings": [{"indices": [], "values": []}]}']
        core = types.ModuleType("velmorrow_core_py")
        core.sparse_embed_batch = lambda texts, profile: current[0]
        sparse.velmorrow_core_py = core
        service = sparse.SparseEmbeddingService()
        stdlib = types.SimpleNamespace(loads=functools.partial(json.loads), dumps=json.dumps)
        def peak(module):
            sparse.json = module
            warm = current[0]
            current[0] = '{"embeddings": [{"indices": [], "values": []}]}'
            service.embed_batch(["x"])
            current[0] = warm
            tracemalloc.start()
            service.embed_batch(["x"])
            peak = tracemalloc.get_traced_memory()[1]
            tracemalloc.stop()
            sparse.json = json
            return peak
        for label, answer in answers.items():
            current[0] = answer
            native, library = peak(json), peak(stdlib)
            print(label, native, library)
            assert native <= 1.2 * library, (label, native, library)
            if label == "small ints":
                # The tape's parts, mapped from the system when large, count as the raw
                # allocator's blocks would: the same objects are built on both sides.
                assert native - library >= 64 * 1024, (native, library)
    """)
    assert "repeated key" in result.stdout
