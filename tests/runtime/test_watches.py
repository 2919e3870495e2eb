"""The native routes hear of changes to what they rely on through one dict watcher and one
type watcher. Every way of changing a watched dict or class must show at the next call;
without a watcher slot the plain calls must run; a snapshot that lets go must take its
watch off and leave no reference behind. Each case runs in a fresh interpreter, as
watchers and the routes are process-wide."""

from __future__ import annotations

import pytest

HARNESS = r'''
import ctypes, dataclasses, gc, importlib, json, sys, tracemalloc, types
import velmorrow.sparse as sparse

ANSWER = '{"indices": ["abcdefghij"], "values": [0.5], "truncated": false}'


class Core(types.ModuleType):
    def __init__(self):
        super().__init__("velmorrow_core_py")
        self.answer = ANSWER
        self.texts_json = None

    def sparse_embed_single(self, text, profile):
        return self.answer

    def sparse_embed_batch(self, texts_json, profile):
        self.texts_json = texts_json
        return '{"embeddings": [' + self.answer + ']}'


core = Core()
sparse.velmorrow_core_py = core
service = sparse.SparseEmbeddingService()


def native():
    """(decoded natively, encoded natively) for one call of each path."""
    tracemalloc.start()
    try:
        core.answer = ANSWER
        made = service.embed_single("t").indices[0]
        service.embed_batch(["x" * 64])
        return (not tracemalloc.get_object_traceback(made)[0].filename.endswith("decoder.py"),
                not tracemalloc.get_object_traceback(core.texts_json)[0].filename.endswith("encoder.py"))
    finally:
        tracemalloc.stop()


def fields(record):
    return type(record), list(vars(record).items())


def expected():
    """What plain code makes of the answers."""
    decoded = json.loads(ANSWER)
    record = sparse.SparseResult(indices=decoded["indices"], values=decoded["values"],
                                 truncated=decoded["truncated"], original_chars=None, used_chars=None)
    return fields(record), [fields(record)], json.dumps(["x", "\u00e9"])


def results():
    core.answer = ANSWER
    single = fields(service.embed_single("t"))
    batch = [fields(r) for r in service.embed_batch(["x", "\u00e9"])]
    return single, batch, core.texts_json


def watcher_bits(d):
    """The low byte of the dict's version tag: which watchers watch it (pycore_dict.h)."""
    return ctypes.c_uint64.from_address(id(d) + 3 * ctypes.sizeof(ctypes.c_ssize_t)).value & 0xFF
'''


def run(python, code: str) -> None:
    assert python(HARNESS + code).stdout.strip().endswith("ok")


@pytest.mark.parametrize("kind", ["dict", "type"])
def test_no_watcher_slot_left_takes_the_plain_route(python, kind):
    """Another extension has taken every watcher slot before the first call: the plain
    calls run and give the same; once a slot is free, the native route comes back."""
    run(python, f"""
import _testcapi
taken = []
while True:
    try:
        taken.append(_testcapi.add_{kind}_watcher(0))
    except RuntimeError:
        break
assert taken
for _ in range(3):
    assert native() == (False, False)
    assert results() == expected(), (results(), expected())
_testcapi.clear_{kind}_watcher(taken.pop())
for _ in range(300):  # a refused route is looked at again now and then
    results()
assert native() == (True, True)
assert results() == expected()
print("ok")
""")


def test_every_kind_of_dict_change_is_seen(python):
    """json's namespace and its default decoder's attributes changed through each dict
    operation: seen at the next call, and the native route back once it is undone. (A
    clone into a dict needs it empty, and no route accepts an empty dict it watches.)"""
    run(python, r"""
calls = []
def shadow(*args):
    calls.append(args)
    return isinstance(*args)

namespace = vars(json)
attributes = vars(json._default_decoder)
saved = dict(namespace)
scan = json._default_decoder.scan_once

def scan_once(text, index):
    calls.append(index)
    return scan(text, index)

def undo():
    for name in ("isinstance", "len"):
        namespace.pop(name, None)
    namespace.update(saved)
    attributes["scan_once"] = scan

changes = {
    "set": lambda: namespace.__setitem__("isinstance", shadow),
    "setdefault": lambda: namespace.setdefault("isinstance", shadow),
    "update": lambda: namespace.update(isinstance=shadow),
    "merge": lambda: namespace.__ior__({"isinstance": shadow}),
    "delete": lambda: namespace.__delitem__("_default_decoder"),
    "pop": lambda: namespace.pop("_default_decoder"),
    "clear": lambda: (namespace.clear(), namespace.update({k: v for k, v in saved.items() if k != "_default_decoder"})),
    "instance update": lambda: attributes.update(scan_once=scan_once),
}
assert native() == (True, True)
for label, change in changes.items():
    calls.clear()
    change()
    core.answer = ANSWER
    try:
        service.embed_single("t")
    except NameError:
        pass  # json.loads itself ran, and found its namespace changed
    else:
        assert calls, label
    undo()
    assert native() == (True, True), label
    assert results() == expected(), label
print("ok")
""")


def test_change_to_a_base_class_is_seen(python):
    """A record class whose base gains a __setattr__: the change reaches the watched class
    through its base, and __init__ runs it for every field."""
    run(python, r"""
class Base:
    pass

@dataclasses.dataclass
class Record(Base):
    indices: object
    values: object
    truncated: object = None
    original_chars: object = None
    used_chars: object = None

sparse.SparseResult = Record
service.embed_single("t")
service.embed_single("t")
seen = []
def hook(self, name, value):
    seen.append(name)
    object.__setattr__(self, name, value)
Base.__setattr__ = hook
record = service.embed_single("t")
assert seen == ["indices", "values", "truncated", "original_chars", "used_chars"], seen
del Base.__setattr__
assert fields(service.embed_single("t")) == (Record, list(vars(Record(["abcdefghij"], [0.5], False)).items()))
print("ok")
""")


def test_watch_taken_off_and_references_given_back(python):
    """json reloaded again and again: each recapture lets the old snapshots go, which
    takes our watch off their dicts and gives back every reference they held."""
    run(python, r"""
assert native() == (True, True)
old_kwdefaults = json.loads.__kwdefaults__
old_attributes = vars(json._default_decoder)
assert watcher_bits(old_kwdefaults) and watcher_bits(old_attributes)

def cycle():
    importlib.reload(json)
    assert native() == (True, True)

cycle()
assert watcher_bits(old_kwdefaults) == 0 and watcher_bits(old_attributes) == 0
assert watcher_bits(json.loads.__kwdefaults__) and watcher_bits(vars(json._default_decoder))
namespace_refs = sys.getrefcount(vars(json))
decoder_refs = sys.getrefcount(json.decoder.JSONDecoder)
for _ in range(20):
    cycle()
gc.collect()
assert sys.getrefcount(vars(json)) == namespace_refs
assert sys.getrefcount(json.decoder.JSONDecoder) == decoder_refs

# The record route lets a class go once another is captured in its place.
@dataclasses.dataclass
class Record:
    indices: object
    values: object
    truncated: object = None
    original_chars: object = None
    used_chars: object = None

original = sparse.SparseResult
record_refs = sys.getrefcount(Record)
for _ in range(20):
    sparse.SparseResult = Record
    assert type(service.embed_single("t")) is Record
    sparse.SparseResult = original
    assert type(service.embed_single("t")) is original
gc.collect()
assert sys.getrefcount(Record) == record_refs, (sys.getrefcount(Record), record_refs)
print("ok")
""")
