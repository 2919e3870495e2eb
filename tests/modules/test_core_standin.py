"""Tests for the installed development stand-in of the native core."""

import json
import math
import threading
import time

import pytest

import velmorrow_core_py as core

PROFILE = {"version": "v1", "max_text_chars": 20000, "code_pretokenize": True, "min_token_len": 2}


def profile(**overrides):
    return json.dumps({**PROFILE, **overrides})


def embed(text, **overrides):
    return json.loads(core.sparse_embed_single(text, profile(**overrides)))


def indices(text, **overrides):
    return embed(text, **overrides)["indices"]


def test_handshake():
    text = core.handshake()
    assert isinstance(text, str)
    assert json.loads(text) == {
        "capabilities": ["ignore_builtin_replace", "sparse_embed"],
        "core": "velmorrow-core-standin",
        "version": "0.1.0",
    }
    assert core.handshake() == text
    assert "stand-in" in core.__doc__


def test_single_shape_and_determinism():
    raw = core.sparse_embed_single("def parseHttpHeader(raw_bytes): return 42", profile())
    assert raw == core.sparse_embed_single("def parseHttpHeader(raw_bytes): return 42", profile())
    emb = json.loads(raw)
    assert list(emb) == ["indices", "values", "truncated", "original_chars", "used_chars"]
    assert len(emb["indices"]) == len(emb["values"]) > 0
    assert all(type(i) is int for i in emb["indices"])
    assert all(type(v) is float for v in emb["values"])
    assert emb["truncated"] is False
    assert emb["original_chars"] == emb["used_chars"] == 41


def test_batch_matches_singles():
    texts = ["fooBar", "", "snake_case_name", "x" * 50, "naïve café"]
    out = json.loads(core.sparse_embed_batch(json.dumps(texts), profile(max_text_chars=10)))
    assert list(out) == ["embeddings"]
    assert out["embeddings"] == [embed(t, max_text_chars=10) for t in texts]
    assert json.loads(core.sparse_embed_batch("[]", profile())) == {"embeddings": []}


@pytest.mark.parametrize(
    ("joined", "split"),
    [
        ("fooBar", "foo bar"),
        ("foo_bar", "foo bar"),
        ("HTTPServer", "http server"),
        ("parseHTTPResponse", "parse http response"),
        ("utf8Encoder", "utf 8 encoder"),
        ("v2beta", "v 2 beta"),
    ],
)
def test_code_pretokenize(joined, split):
    assert indices(joined, min_token_len=1) == indices(split, min_token_len=1)
    assert indices(joined, min_token_len=1, code_pretokenize=False) != indices(split, min_token_len=1)


def test_pretokenize_off_keeps_underscore_and_truthiness():
    assert len(indices("foo_bar", code_pretokenize=False)) == 1
    assert indices("foo_bar", code_pretokenize=0) == indices("foo_bar", code_pretokenize=False)
    assert indices("fooBar", code_pretokenize="yes") == indices("foo bar")
    no_flag = {k: v for k, v in PROFILE.items() if k != "code_pretokenize"}
    assert json.loads(core.sparse_embed_single("fooBar", json.dumps(no_flag)))["indices"] == indices("foo bar")


def test_lower_cases_ascii_only():
    assert indices("FOO Bar") == indices("foo bar")
    assert indices("Éa") != indices("éa")  # non-ASCII case is kept
    assert indices("ÉA") == indices("Éa")


def test_min_token_len():
    assert len(indices("a bb ccc dddd", min_token_len=1)) == 4
    assert len(indices("a bb ccc dddd")) == 3
    assert len(indices("a bb ccc dddd", min_token_len=4)) == 1
    assert indices("a bb", min_token_len=10**30) == []
    no_min = {k: v for k, v in PROFILE.items() if k != "min_token_len"}
    assert json.loads(core.sparse_embed_single("a bb", json.dumps(no_min)))["indices"] == indices("bb")


def test_truncation():
    emb = embed("abcdef ghijkl", max_text_chars=3)
    assert (emb["truncated"], emb["original_chars"], emb["used_chars"]) == (True, 13, 3)
    assert emb["indices"] == indices("abc")
    emb = embed("😀😀😀 abc", max_text_chars=2)  # code points, not UTF-16 units
    assert (emb["truncated"], emb["original_chars"], emb["used_chars"]) == (True, 7, 2)
    assert embed("abc", max_text_chars=0)["indices"] == []
    for limit in (None, 3, 10**40):
        emb = embed("abc", max_text_chars=limit)
        assert (emb["truncated"], emb["original_chars"], emb["used_chars"]) == (False, 3, 3)
    no_limit = {k: v for k, v in PROFILE.items() if k != "max_text_chars"}
    assert not json.loads(core.sparse_embed_single("a" * 30000, json.dumps(no_limit)))["truncated"]


def test_vector_properties():
    emb = embed("the quick brown fox jumps over the lazy dog the end " * 3 + "fooBar_baz Qux42")
    idx, vals = emb["indices"], emb["values"]
    assert idx == sorted(set(idx))
    assert all(0 <= i < 2**20 for i in idx)
    assert math.isclose(math.fsum(v * v for v in vals), 1.0, rel_tol=1e-12)
    assert all(v > 0 for v in vals)
    # log-TF: "foo" twice vs "bar" once.
    emb = embed("foo bar foo")
    by_index = dict(zip(emb["indices"], emb["values"]))
    (foo,), (bar,) = indices("foo"), indices("bar")
    assert math.isclose(by_index[foo] / by_index[bar], 1 + math.log(2), rel_tol=1e-12)


def test_empty_and_separator_only():
    for text in ("", "   ", "!!! ... ---", "\u3000\u00a0\u2028"):
        emb = embed(text)
        assert emb["indices"] == [] and emb["values"] == []
        assert emb["original_chars"] == emb["used_chars"] == len(text)


def test_lone_surrogates_nul_and_unicode_spaces():
    emb = embed("ab\ud800cd\x00ef\udfff")
    assert emb["indices"] == indices("ab cd ef")
    assert emb["original_chars"] == 9
    assert indices("foo\u3000bar\u2009baz") == indices("foo bar baz")
    assert len(indices("naïve")) == 1
    batch = core.sparse_embed_batch(json.dumps(["\ud800", "x\x00yz"]), profile())  # escapes in JSON
    assert [e["indices"] for e in json.loads(batch)["embeddings"]] == [[], indices("yz")]


@pytest.mark.parametrize("bad", ["", "not json", "{", "[" * 100000, "\ufeff{}"])
def test_undecodable_json(bad):
    with pytest.raises(ValueError, match=r"^invalid profile JSON: ") as info:
        core.sparse_embed_single("x", bad)
    assert info.value.__cause__ is not None
    with pytest.raises(ValueError, match=r"^invalid texts JSON: "):
        core.sparse_embed_batch(bad, profile())


@pytest.mark.parametrize(
    ("prof", "message"),
    [
        ([], "expected an object, got array"),
        ("v1", "expected an object, got string"),
        ({"max_text_chars": "abc"}, "'max_text_chars' must be a non-negative integer, got 'abc'"),
        ({"max_text_chars": -1}, "'max_text_chars' must be a non-negative integer, got -1"),
        ({"max_text_chars": True}, "'max_text_chars' must be a non-negative integer, got True"),
        ({"max_text_chars": 1.5}, "'max_text_chars' must be a non-negative integer, got 1.5"),
        ({"min_token_len": 0}, "'min_token_len' must be a positive integer, got 0"),
        ({"min_token_len": False}, "'min_token_len' must be a positive integer, got False"),
        ({"min_token_len": None}, "'min_token_len' must be a positive integer, got None"),
    ],
)
def test_bad_profile(prof, message):
    with pytest.raises(ValueError, match=r"^profile JSON: ") as info:
        core.sparse_embed_single("x", json.dumps(prof))
    assert message in str(info.value)
    with pytest.raises(ValueError, match=r"^profile JSON: "):
        core.sparse_embed_batch("[]", json.dumps(prof))


@pytest.mark.parametrize(
    ("texts", "message"),
    [('{"a": 1}', "got object"), ("[1]", "item 0 must be a string, got number"), ('["a", null]', "item 1")],
)
def test_bad_texts(texts, message):
    with pytest.raises(ValueError, match=r"^texts JSON: ") as info:
        core.sparse_embed_batch(texts, profile())
    assert message in str(info.value)


def test_argument_errors():
    class S(str):
        pass

    with pytest.raises(TypeError, match=r"sparse_embed_single\(\) argument 1 must be str, not int"):
        core.sparse_embed_single(1, profile())
    with pytest.raises(TypeError, match=r"argument 2 must be str, not dict"):
        core.sparse_embed_single("x", {})
    with pytest.raises(TypeError, match=r"sparse_embed_batch\(\) argument 1 must be str, not bytes"):
        core.sparse_embed_batch(b"[]", profile())
    with pytest.raises(TypeError, match=r"must be str, not S"):
        core.sparse_embed_single(S("x"), profile())
    with pytest.raises(TypeError, match="takes exactly 2 arguments"):
        core.sparse_embed_single("x")
    with pytest.raises(TypeError, match="takes exactly 2 arguments"):
        core.sparse_embed_batch("[]", profile(), "extra")
    with pytest.raises(TypeError):
        core.sparse_embed_single(text="x", profile_json=profile())
    with pytest.raises(TypeError):
        core.handshake(1)


def test_threads_give_same_results():
    texts = json.dumps([f"item{i} someValue_{i % 7} HTTPThing" * 50 for i in range(200)])
    expected = core.sparse_embed_batch(texts, profile())
    results: list[str | None] = [None] * 4

    def work(k):
        results[k] = core.sparse_embed_batch(texts, profile())

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [expected] * 4


def test_gil_released_during_batch():
    # A sleeping ticker can only tick while the long call has let go of the GIL;
    # if it held the GIL throughout, the ticker would advance at most once or twice.
    ticks = 0
    stop = threading.Event()
    running = threading.Event()

    def ticker():
        nonlocal ticks
        running.set()
        while not stop.is_set():
            time.sleep(0.001)
            ticks += 1

    thread = threading.Thread(target=ticker)
    thread.start()
    running.wait()
    try:
        texts = ["parseHttpHeader utf8Value snake_case_name x " * 5000] * 4
        for _ in range(8):  # grow until one call lasts long enough to judge
            payload = json.dumps(texts)
            before, start = ticks, time.perf_counter()
            core.sparse_embed_batch(payload, profile(max_text_chars=None))
            elapsed, advanced = time.perf_counter() - start, ticks - before
            if elapsed >= 0.2:
                break
            texts = texts * 2
    finally:
        stop.set()
        thread.join()
    assert elapsed >= 0.2
    assert advanced >= 20
