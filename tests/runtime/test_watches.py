"""The native routes hear of changes through one dict watcher and one type watcher: every
way of changing a watched dict or class shows at the next call, no free watcher slot
means the plain calls, and a snapshot that lets go takes its watch off and gives back its
references. In fresh interpreters, as watchers and routes are process-wide."""

from __future__ import annotations

import pytest

HARNESS = r'''
import ctypes, dataclasses, gc, importlib, json, sys, tracemalloc, types
import velmorrow.sparse as sparse

ANSWER = '{"indices": ["abcdefghij"], "values": [0.5], "truncated": false}'
core = types.ModuleType("velmorrow_core_py")
core.sparse_embed_single = lambda text, profile: ANSWER
core.sparse_embed_batch = lambda texts, profile: (setattr(core, "texts", texts), '{"embeddings": [%s]}' % ANSWER)[1]
sparse.velmorrow_core_py = core
service = sparse.SparseEmbeddingService()

def native():
    """(decoded natively, encoded natively), and the results as plain code has them."""
    tracemalloc.start()
    single, batch = service.embed_single("t"), service.embed_batch(["x" * 64])
    routes = (not tracemalloc.get_object_traceback(single.indices[0])[0].filename.endswith("decoder.py"),
              not tracemalloc.get_object_traceback(core.texts)[0].filename.endswith("encoder.py"))
    tracemalloc.stop()
    plain = sparse.SparseResult(**json.loads(ANSWER), original_chars=None, used_chars=None)
    assert [vars(r) for r in (single, *batch)] == [vars(plain)] * 2 and core.texts == json.dumps(["x" * 64])
    return routes

@dataclasses.dataclass
class Record(type("Base", (), {})):
    indices: object
    values: object
    truncated: object = None
    original_chars: object = None
    used_chars: object = None

def watched(d):
    """The watcher bits in the low byte of the dict's version tag (pycore_dict.h)."""
    return ctypes.c_uint64.from_address(id(d) + 3 * ctypes.sizeof(ctypes.c_ssize_t)).value & 0xFF
'''


def run(python, code: str) -> None:
    assert python(HARNESS + code).stdout.strip() == "ok"


@pytest.mark.parametrize("kind", ["dict", "type"])
def test_no_watcher_slot_left_takes_the_plain_route(python, kind):
    run(python, f"""
import _testcapi
taken = []
while len(taken) < 8:
    try:
        taken.append(_testcapi.add_{kind}_watcher(0))
    except RuntimeError:
        break
assert native() == (False, False)
assert native() == (False, False)
_testcapi.clear_{kind}_watcher(taken.pop())
for _ in range(300):  # a refused route is looked at again now and then
    native()
assert native() == (True, True)
print("ok")
""")


def test_every_kind_of_dict_change_is_seen(python):
    """json's namespace and its decoder's attributes changed through each dict operation.
    (A clone needs an empty dict, and no route accepts an empty dict it watches.)"""
    run(python, r"""
calls = []
def shadow(*args):
    calls.append(args)
    return isinstance(*args)
namespace, attributes = vars(json), vars(json._default_decoder)
saved, scan = dict(namespace), json._default_decoder.scan_once
changes = {
    "set": lambda: namespace.__setitem__("isinstance", shadow),
    "setdefault": lambda: namespace.setdefault("isinstance", shadow),
    "update": lambda: namespace.update(isinstance=shadow),
    "merge": lambda: namespace.__ior__({"isinstance": shadow}),
    "delete": lambda: namespace.__delitem__("_default_decoder"),
    "pop": lambda: namespace.pop("_default_decoder"),
    "clear": lambda: (namespace.clear(), namespace.update({k: v for k, v in saved.items() if k != "_default_decoder"})),
    "instance": lambda: attributes.update(scan_once=lambda s, i: (calls.append(i), scan(s, i))[1]),
}
assert native() == (True, True)
for label, change in changes.items():
    calls.clear()
    change()
    try:
        service.embed_single("t")
        assert calls, label
    except NameError:
        pass  # json.loads itself ran, and missed its decoder
    namespace.pop("isinstance", None)
    namespace.update(saved)
    attributes["scan_once"] = scan
    assert native() == (True, True), label
print("ok")
""")


def test_change_to_a_base_class_is_seen(python):
    """The record class's base gains a __setattr__: the watcher hears of it through the
    base, and __init__ runs it for every field."""
    run(python, r"""
sparse.SparseResult = Record
service.embed_single("t")
seen = []
Record.__base__.__setattr__ = lambda self, name, value: (seen.append(name), object.__setattr__(self, name, value))
service.embed_single("t")
assert seen == ["indices", "values", "truncated", "original_chars", "used_chars"], seen
print("ok")
""")


def test_watch_taken_off_and_references_given_back(python):
    run(python, r"""
assert native() == (True, True)
old = [json.loads.__kwdefaults__, vars(json._default_decoder)]
assert all(map(watched, old))
importlib.reload(json)
assert native() == (True, True)
assert not any(map(watched, old)) and watched(json.loads.__kwdefaults__)
original = sparse.SparseResult
counted = [vars(json), json.decoder.JSONDecoder, Record, original]
before = [sys.getrefcount(o) for o in counted]
for _ in range(20):
    importlib.reload(json)
    sparse.SparseResult = Record
    assert type(service.embed_single("t")) is Record
    sparse.SparseResult = original
    assert native() == (True, True)
gc.collect()
assert [sys.getrefcount(o) for o in counted] == before, ([sys.getrefcount(o) for o in counted], before)
print("ok")
""")


def test_a_decoder_class_under_its_own_metaclass_is_not_watched(python):
    """A metaclass's mro() can change the class (here, a new base that shadows an
    attribute) without the type watcher hearing of it: such a class takes the plain route."""
    result = python("""
        import json, json.decoder, types
        import velmorrow.sparse as sparse
        calls = []

        class Mixin:
            @property
            def scan_once(self):
                calls.append(1)
                return vars(self)["scan_once"]

        class Meta(type):
            extra = False

            def mro(cls):
                order = super().mro()
                return [order[0], Mixin, *order[1:]] if Meta.extra else order

        class Decoder(json.JSONDecoder, metaclass=Meta):
            __module__ = "json.decoder"
            decode = json.JSONDecoder.decode
            raw_decode = json.JSONDecoder.raw_decode

        json.JSONDecoder = json.decoder.JSONDecoder = Decoder
        json._default_decoder = Decoder(object_hook=None, object_pairs_hook=None)
        core = types.ModuleType("velmorrow_core_py")
        core.sparse_embed_single = lambda t, p: '{"indices": [1], "values": []}'
        sparse.velmorrow_core_py = core
        service = sparse.SparseEmbeddingService()
        service.embed_single("t")
        Meta.extra = True
        Decoder.__bases__ = Decoder.__bases__
        service.embed_single("t")
        print(len(calls))
    """)
    assert result.stdout.strip() == "1"
