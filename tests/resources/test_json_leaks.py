"""Leak checks of the native JSON route: no reference to a long-lived object and no block
may be left behind, on success or on any fallback, nor when an allocation fails."""

from __future__ import annotations

import gc
import json
import json.decoder
import os
import sys
import types

import pytest

SINGLE = '{"indices": [1, 2, 3], "values": [0.5, 1e400], "truncated": false, "k": "\\u00e9x"}'


class Core(types.ModuleType):
    def __init__(self) -> None:
        super().__init__("velmorrow_core_py")
        self.answer: object = SINGLE

    def sparse_embed_single(self, text, profile):
        return self.answer

    batch_answer: object = None

    def sparse_embed_batch(self, texts_json, profile):
        return self.batch_answer or '{"embeddings": [' + SINGLE + "]}"


def paths(sparse, service, core):
    """(label, action): the native route and each way off it."""

    def single(answer):
        def action():
            core.answer = answer
            try:
                service.embed_single("t")
            except (ValueError, KeyError, TypeError, RecursionError):
                pass

        return action

    def batch(texts):
        def action():
            try:
                service.embed_batch(texts)
            except TypeError:
                pass

        return action

    def profiled(action):
        def run():
            sys.setprofile(lambda *_: None)
            try:
                action()
            finally:
                sys.setprofile(None)

        return run

    big = "[" + ",".join([SINGLE] * 400) + "]"
    records = '{"embeddings": [' + ",".join([SINGLE] * 300)

    def batch_answer(answer):
        def action():
            core.batch_answer = answer
            try:
                service.embed_batch(["t"])
            except (ValueError, KeyError):
                pass
            finally:
                core.batch_answer = None

        return action

    return [
        ("native str", single(SINGLE)),
        ("native bytes", single(SINGLE.encode())),
        ("native, unlocked parse", single('{"indices": ' + big + ', "values": []}')),
        ("invalid", single(SINGLE[:-1])),
        ("invalid after much was built", single('{"indices": ' + big[:-1] + ', "values": []}')),
        ("records, then invalid", batch_answer(records + ", x]}")),
        ("records, then the general way", batch_answer(records + ', {"indices": []}]}')),
        ("records, unlocked parts", batch_answer(records + "]}")),
        ("NaN", single('{"indices": [NaN], "values": []}')),
        ("BOM", single(b"\xef\xbb\xbf" + SINGLE.encode())),
        ("deep", single('{"indices": ' + "[" * 600 + "]" * 600 + ', "values": []}')),
        ("long int", single('{"indices": [' + "7" * 700 + '], "values": []}')),
        ("str subclass", single(type("S", (str,), {})(SINGLE))),
        ("not text", single(42)),
        ("profiled", profiled(single(SINGLE))),
        ("encode native", batch(["a", "\u00e9\U0001f600", "b" * 100])),
        ("encode other element", batch(["a", 1])),
        ("encode unencodable", batch(["a", object()])),
        ("encode profiled", profiled(batch(["a"]))),
    ]


def long_lived(sparse):
    objects = [json.loads, json.dumps, json._default_decoder, json._default_encoder, json.JSONDecoder.decode,
               json.JSONDecoder.raw_decode, json.JSONEncoder.encode, json.JSONEncoder.iterencode,
               json._default_decoder.scan_once, json.JSONDecoder, json.JSONEncoder, json.detect_encoding,
               sparse.SparseResult, sparse.SparseEmbeddingService, sparse.SparseEmbeddingService.embed_single,
               sparse.SparseEmbeddingService.embed_batch, json.loads.__kwdefaults__, json.loads.__code__]
    return objects + list(vars(json._default_decoder).values()) + list(vars(json._default_encoder).values())


def test_reference_counts_do_not_grow(sparse):
    core = Core()
    sparse.velmorrow_core_py = core
    service = sparse.SparseEmbeddingService()
    watched = long_lived(sparse)
    for label, action in paths(sparse, service, core):
        for _ in range(20):
            action()
        gc.collect()
        before = [sys.getrefcount(o) for o in watched]
        for _ in range(200):
            action()
        gc.collect()
        after = [sys.getrefcount(o) for o in watched]
        grown = [(repr(o)[:60], b, a) for o, b, a in zip(watched, before, after) if a != b]
        assert not grown, (label, grown)


@pytest.mark.skipif(os.environ.get("VELMORROW_SANITIZED") == "1", reason="no block counts without pymalloc")
def test_blocks_do_not_grow(sparse):
    core = Core()
    sparse.velmorrow_core_py = core
    service = sparse.SparseEmbeddingService()
    for label, action in paths(sparse, service, core):
        for _ in range(50):
            action()
        growth = []
        for _ in range(3):
            gc.collect()
            before = sys.getallocatedblocks()
            for _ in range(300):
                action()
            gc.collect()
            growth.append(sys.getallocatedblocks() - before)
        assert min(growth) < 100, (label, growth)


def test_allocation_failures_everywhere_on_the_native_route(python):
    """Every allocation of a decode or an encode fails in turn: MemoryError or a correct
    answer, never a crash, and the route still works afterwards."""
    result = python("""
        import _testcapi, json, types
        import velmorrow.sparse as sparse
        single = '{"indices": [1, 2, 99999999999999999999], "values": [0.5, 1e400], "k": "\\\\u00e9", "k": []}'
        big = '{"indices": [' + ",".join([single] * 200) + '], "values": []}'
        core = types.ModuleType("velmorrow_core_py")
        core.answer = single
        core.sparse_embed_single = lambda t, p: core.answer
        core.sparse_embed_batch = lambda t, p: '{"embeddings": [' + single + ', ' + single + ']}'
        sparse.velmorrow_core_py = core
        service = sparse.SparseEmbeddingService()
        texts = ["a", "\\u00e9\\U0001f600", "b" * 50]
        expected = vars(service.embed_single("t"))
        service.embed_batch(texts)
        failures = {}
        for label, answer in (("single", single), ("bytes", single.encode()), ("big", big)):
            core.answer = answer
            want = vars(service.embed_single("t"))
            n, seen = 0, 0
            while True:
                _testcapi.set_nomemory(n, n + 1)
                try:
                    got = vars(service.embed_single("t"))
                except MemoryError:
                    got = None
                finally:
                    _testcapi.remove_mem_hooks()
                if got is not None:
                    assert got == want, (label, n)
                    seen += 1
                    if seen > 30:
                        break
                n += 1
            failures[label] = n
        n, seen = 0, 0
        while seen <= 30:
            _testcapi.set_nomemory(n, n + 1)
            try:
                service.embed_batch(texts)
                seen += 1
            except MemoryError:
                pass
            finally:
                _testcapi.remove_mem_hooks()
            n += 1
        core.answer = single
        assert vars(service.embed_single("t")) == expected
        print(failures, n)
    """)
    assert "single" in result.stdout


@pytest.mark.skipif(os.environ.get("VELMORROW_SANITIZED") == "1", reason="no block counts without pymalloc")
def test_a_failure_part_way_through_a_list_leaves_nothing(python):
    """Lists are filled straight from the tape; an allocation that fails on the k-th item
    must drop the k items made before it. Each failure is repeated, so that a leak shows
    in the block count above the noise of the interpreter's free lists."""
    result = python("""
        import _testcapi, gc, sys, types
        import velmorrow.sparse as sparse
        core = types.ModuleType("velmorrow_core_py")
        core.sparse_embed_single = lambda t, p: '{"indices": [' + ", ".join(["123456789012"] * 8) + '], "values": []}'
        sparse.velmorrow_core_py = core
        service = sparse.SparseEmbeddingService()
        service.embed_single("t")
        gc.collect()
        before = sys.getallocatedblocks()
        for n in range(40):
            for _ in range(50):
                _testcapi.set_nomemory(n, n + 1)
                try:
                    service.embed_single("t")
                except MemoryError:
                    pass
                finally:
                    _testcapi.remove_mem_hooks()
        gc.collect()
        print(sys.getallocatedblocks() - before)
    """)
    assert int(result.stdout) < 50, result.stdout


@pytest.mark.skipif(os.environ.get("VELMORROW_SANITIZED") == "1", reason="the sanitizers reserve address space")
def test_address_space_running_out_during_a_large_decode(python):
    """Large tape parts are mapped from the system, past the allocators that the failure
    injection reaches: with the address space cut at each megabyte above what the process
    has, a large decode gives MemoryError or the right answer, and leaves nothing held."""
    result = python("""
        import json, resource, sys, types
        import velmorrow.sparse as sparse
        answer = '{"\\\\u0065mbeddings": [], "a": ' + json.dumps(list(range(1000, 400000))) + "}"
        current = ['{"embeddings": [{"indices": [], "values": []}]}']
        core = types.ModuleType("velmorrow_core_py")
        core.sparse_embed_batch = lambda texts, profile: current[0]
        sparse.velmorrow_core_py = core
        service = sparse.SparseEmbeddingService()
        service.embed_batch(["warm"])
        current[0] = answer
        assert service.embed_batch(["x"]) == []
        held = sys.getrefcount(answer)

        def address_space():
            with open("/proc/self/status") as status:
                for line in status:
                    if line.startswith("VmSize:"):
                        return int(line.split()[1]) * 1024

        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        outcomes = set()
        for megabytes in range(48):
            resource.setrlimit(resource.RLIMIT_AS, (address_space() + (megabytes << 20), hard))
            try:
                outcomes.add(service.embed_batch(["x"]) == [])
            except MemoryError:
                outcomes.add("MemoryError")
            finally:
                resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        assert service.embed_batch(["x"]) == []
        assert sys.getrefcount(answer) == held
        print(sorted(map(str, outcomes)))
    """)
    assert result.stdout.split("\n")[0] == "['MemoryError', 'True']"
