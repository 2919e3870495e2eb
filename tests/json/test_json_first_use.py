"""json as the application left it before the first embedding call: the native JSON route
takes the stdlib's state as it is then, so whatever differs from the stdlib's own (a
default, a function's code, the default decoder or encoder) must send the calls to json
itself. Each case runs in a fresh interpreter, where that first call is still to come,
and compares the embedding paths with json.loads/json.dumps called from plain Python."""

from __future__ import annotations

import pytest

HARNESS = r'''
import decimal, importlib, inspect, json, json.decoder, json.encoder, textwrap, tracemalloc, types
import velmorrow.sparse as sparse

ANSWER = '{"indices": [1, "\u00e9"], "values": [0.5, 1e400], "truncated": false, "used_chars": 3}'
TEXTS = ["x", "\u00e9", "\U0001f600"]


class Core(types.ModuleType):
    def __init__(self):
        super().__init__("velmorrow_core_py")
        self.answer = ANSWER
        self.texts_json = None

    def sparse_embed_single(self, text, profile):
        return self.answer

    def batch_answer(self):
        if isinstance(self.answer, str):
            return '{"embeddings": [' + self.answer + ']}'
        return b'{"embeddings": [' + self.answer + b']}'

    def sparse_embed_batch(self, texts_json, profile):
        self.texts_json = texts_json
        return self.batch_answer()


def fields(record):
    return {name: (type(value), value) for name, value in vars(record).items()}


def expected_fields(decoded):
    """What plain code makes of a decoded answer: the record of its five fields."""
    record = sparse.SparseResult(indices=decoded["indices"], values=decoded["values"],
                                 truncated=decoded.get("truncated"), original_chars=decoded.get("original_chars"),
                                 used_chars=decoded.get("used_chars"))
    return fields(record)


def recompiled(function, old, new):
    """`function`'s code compiled from its own source with `old` replaced by `new`, under
    json's file name: the same name, the same file, another behaviour."""
    source = inspect.getsource(function)
    assert old in source
    source = textwrap.dedent(source).replace(old, new)
    namespace = {}
    exec(compile(source, function.__code__.co_filename, "exec"), function.__globals__, namespace)
    return namespace[function.__name__].__code__


PATCH

core = Core()
sparse.velmorrow_core_py = core
service = sparse.SparseEmbeddingService()
for answer in (ANSWER, ANSWER.encode()):
    core.answer = answer
    expected = expected_fields(json.loads(answer))
    expected_batch = [expected_fields(e) for e in json.loads(core.batch_answer())["embeddings"]]
    # Twice each: the first call captures, the second uses what was captured.
    for _ in range(2):
        assert fields(service.embed_single("t")) == expected, (fields(service.embed_single("t")), expected)
        assert fields(list(map(service.embed_single, ["t"]))[0]) == expected
        assert [fields(r) for r in service.embed_batch(TEXTS)] == expected_batch
        assert core.texts_json == json.dumps(TEXTS), (core.texts_json, json.dumps(TEXTS))
CHECK
print("ok")
'''

PATCHES = {
    "loads parse_float default": ('json.loads.__kwdefaults__["parse_float"] = decimal.Decimal', ""),
    "loads parse_int default": ('json.loads.__kwdefaults__["parse_int"] = float', ""),
    "dumps ensure_ascii default": ('json.dumps.__kwdefaults__["ensure_ascii"] = False', ""),
    "dumps indent default": ('json.dumps.__kwdefaults__["indent"] = 1', ""),
    "encoder item separator": ('json.JSONEncoder.item_separator = ","', ""),
    "encoder key separator": ('json.JSONEncoder.key_separator = ":"', ""),
    "detect_encoding replaced": (
        """
        calls = []
        real_detect = json.detect_encoding
        def detect_encoding(b):
            calls.append(b)
            return real_detect(b)
        json.detect_encoding = detect_encoding
        """,
        "assert len(calls) == 2 + 3 * 2, len(calls)  # plain code, then the three paths twice",
    ),
    "detect_encoding code": (
        "json.detect_encoding.__code__ = recompiled(json.detect_encoding, \"return 'utf-8'\", \"return 'latin-1'\")",
        "",
    ),
    "loads code": (
        "json.loads.__code__ = recompiled(json.loads, 'return _default_decoder.decode(s)',"
        " 'return _default_decoder.decode(s.replace(\"0.5\", \"2.5\"))')",
        "assert service.embed_single('t').values[0] == 2.5",
    ),
    "dumps code": (
        "json.dumps.__code__ = recompiled(json.dumps, 'return _default_encoder.encode(obj)',"
        " 'return _default_encoder.encode(obj).upper()')",
        "assert core.texts_json == '[\"X\", \"\\\\U00E9\", \"\\\\UD83D\\\\UDE00\"]', core.texts_json",
    ),
    "decode code": (
        "json.JSONDecoder.decode.__code__ = recompiled(json.JSONDecoder.decode, 'return obj',"
        " 'return {**obj, \"values\": [\"patched\"]}')",
        "assert service.embed_single('t').values == ['patched']",
    ),
    "iterencode code": (
        "json.JSONEncoder.iterencode.__code__ = recompiled(json.JSONEncoder.iterencode, 'return _iterencode(o, 0)',"
        " 'return [chunk.upper() for chunk in _iterencode(o, 0)]')",
        "",
    ),
    "default decoder with object_hook": (
        """
        json._default_decoder = json.JSONDecoder(object_hook=lambda d: {**d, "values": ["hooked"]})
        """,
        "assert service.embed_single('t').values == ['hooked']",
    ),
    "default encoder without ensure_ascii": (
        "json._default_encoder = json.JSONEncoder(ensure_ascii=False)",
        "assert core.texts_json == '[\"x\", \"\u00e9\", \"\U0001f600\"]'",
    ),
}


@pytest.mark.parametrize("name", PATCHES)
def test_json_patched_before_first_use(python, name):
    import textwrap

    patch, check = PATCHES[name]
    code = HARNESS.replace("PATCH", textwrap.dedent(patch)).replace("CHECK", check)
    assert python(code).stdout.strip() == "ok"


def test_unpatched_json_takes_the_native_route(python):
    """The checks of first use pass the stdlib itself: the values are not json's."""
    python(HARNESS.replace("PATCH", "").replace("CHECK", """
tracemalloc.start()
core.answer = '{"indices": ["abcdefghij"], "values": []}'
made = service.embed_single("t").indices[0]
assert not tracemalloc.get_object_traceback(made)[0].filename.endswith("decoder.py")
service.embed_batch(["x" * 64])
assert not tracemalloc.get_object_traceback(core.texts_json)[0].filename.endswith("encoder.py")
"""))


def test_reloaded_json_is_captured_again(python):
    """importlib.reload(json) gives json new functions of its own: after it, the
    native route is taken again, and it still gives what json gives."""
    python(HARNESS.replace("PATCH", "").replace("CHECK", """
def native():
    tracemalloc.start()
    try:
        core.answer = '{"indices": ["abcdefghij"], "values": []}'
        made = service.embed_single("t").indices[0]
        service.embed_batch(["x" * 64])
        return (not tracemalloc.get_object_traceback(made)[0].filename.endswith("decoder.py"),
                not tracemalloc.get_object_traceback(core.texts_json)[0].filename.endswith("encoder.py"))
    finally:
        tracemalloc.stop()

assert native() == (True, True)
old_loads = json.loads
importlib.reload(json)
assert json.loads is not old_loads
assert native() == (True, True)
core.answer = ANSWER
assert fields(service.embed_single("t")) == expected_fields(json.loads(ANSWER))
# Reloaded with a default changed at once: refused as before.
importlib.reload(json)
json.loads.__kwdefaults__["parse_float"] = decimal.Decimal
assert service.embed_single("t").values[0] == decimal.Decimal("0.5")
"""))
