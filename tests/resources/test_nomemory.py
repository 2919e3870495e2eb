"""Allocation failures: every public path runs once for each allocation it makes, with that
one allocation failing (`_testcapi.set_nomemory(n, n + 1)`). Each run ends in success or a
MemoryError (possibly as the cause or context of another exception), never in a crash or
another error; the singleton and the capability cache are never left half set; and the path
works again afterwards. Run apart, so that a crash shows as a failed subprocess."""

from __future__ import annotations

import json

import pytest

pytest.importorskip("_testcapi")

SWEEP = 300  # the allocations each call path is tried with; the module bodies get more
IMPORT_SWEEP = 800

HARNESS = r'''
import functools, gc, json, os, pathlib, sys, types
import _testcapi

faults = []
paths = []
hits = {}  # per path, the runs that an injected failure reached


def caused_by_memory(error, strict=False):
    # The interpreter's own loop loses the MemoryError of a failed traceback entry, for a
    # plain Python function just the same; a C function that loses one shows as
    # "... returned NULL without setting an exception" instead. A strict sweep calls the
    # path straight from C and allows no such loss.
    if not strict and type(error) is SystemError and (
            str(error) == "error return without exception set" or
            str(error).startswith("<function _find_and_load at ")):
        return True
    seen = set()
    while error is not None and id(error) not in seen:
        if isinstance(error, MemoryError):
            return True
        seen.add(id(error))
        error = error.__cause__ or error.__context__
    return False


def attempt(action, n):
    os.write(2, f"{n} ".encode())  # the last number before a crash names the allocation
    _testcapi.set_nomemory(n, n + 1)
    try:
        action()
    except BaseException as caught:
        error = caught
    else:
        error = None
    finally:
        _testcapi.remove_mem_hooks()
    return error


def sweep(label, action, expected=None, setup=None, check=None, count=SWEEP, strict=False):
    """`expected`: the exception the path raises without injection, or None."""
    os.write(2, f"\n{label}: ".encode())
    paths.append(label)
    hits[label] = 0
    for n in range(count):
        if setup is not None:
            setup()
        error = attempt(action, n)
        hits[label] += error is not None and caused_by_memory(error, strict)
        if error is not None and not caused_by_memory(error, strict) and not (
                expected is not None and type(error) is expected):
            faults.append(f"{label}, allocation {n}: {type(error).__name__}: {error}")
            break
        if check is not None:
            problem = check()
            if problem:
                faults.append(f"{label}, allocation {n}: {problem}")
                break
    # And the path still works.
    if setup is not None:
        setup()
    try:
        action()
    except BaseException as error:
        if expected is None or type(error) is not expected:
            faults.append(f"{label} afterwards: {type(error).__name__}: {error}")
    else:
        if expected is not None:
            faults.append(f"{label} afterwards: no {expected.__name__}")


def fails(function, *args, **kwargs):
    return lambda: function(*args, **kwargs)


class StandInJson:
    """json.dumps of CPython 3.12 crashes when an allocation fails; these answers are
    computed beforehand."""

    def __init__(self):
        self.answers = {}

    def dumps(self, value):
        return '["ab", "cd"]' if isinstance(value, list) else PROFILE

    def loads(self, text):
        return json.loads(text)


PROFILE = '{"version": "v1", "max_text_chars": 100, "code_pretokenize": true, "min_token_len": 2}'
EMBEDDING = {"indices": [1, 2], "values": [0.5, 0.5], "truncated": False, "original_chars": 3,
             "used_chars": 3}
SINGLE = json.dumps(EMBEDDING)
BATCH = json.dumps({"embeddings": [EMBEDDING, EMBEDDING]})
CAPS = json.dumps({"capabilities": ["ignore_builtin_replace", "other"]})

core = types.ModuleType("velmorrow_core_py")
core.sparse_embed_single = lambda text, profile: SINGLE
core.sparse_embed_batch = lambda texts, profile: BATCH
core.handshake = lambda: CAPS
sys.modules["velmorrow_core_py"] = core


class Settings:
    sparse_profile_version = "v1"
    sparse_max_text_chars = 100
    code_pretokenize = True
    builtin_ignore_replace = False
    builtin_ignore_patterns = (".git/", "*.pyc")
    extra_ignore_patterns = ["*.log"]
    ignore_mode = "git+velmorrow"


class Text(str):
    pass


def sparse_paths():
    import velmorrow.sparse as sparse
    sparse.json = StandInJson()
    sparse.settings = Settings()
    Service = sparse.SparseEmbeddingService
    service = Service()

    def reset():
        sparse._sparse_service = None

    def singleton_whole():
        value = sparse._sparse_service
        if value is not None and (type(value) is not Service or vars(value).get("_profile_json") != PROFILE):
            return f"half-set singleton {value!r} {vars(value)!r}"

    sweep("get_sparse_service, constructing", sparse.get_sparse_service, setup=reset, check=singleton_whole)
    sweep("get_sparse_service, cached", sparse.get_sparse_service, check=singleton_whole)
    sweep("reset_sparse_service", sparse.reset_sparse_service)
    sweep("SparseEmbeddingService()", Service)
    sweep("profile_version", lambda: service.profile_version)
    sweep("embed_single", lambda: service.embed_single("fooBar"))
    sweep("embed_single by keyword", lambda: service.embed_single(text="fooBar"))
    sweep("embed_batch", lambda: service.embed_batch(["ab", "cd"]))
    sweep("embed_batch empty", lambda: service.embed_batch([]))
    sweep("embed_batch_list", lambda: service.embed_batch_list(["ab", "cd"], 2.5))
    sweep("embed_single refusing a str subclass", fails(service.embed_single, Text("ab")), TypeError)
    sweep("embed_single unexpected keyword", fails(service.embed_single, txt="ab"), TypeError)
    sweep("embed_batch_list bad batch size", fails(service.embed_batch_list, [], "5"), TypeError)
    sweep("get_sparse_service(1)", fails(sparse.get_sparse_service, 1), TypeError)
    settings = sparse.settings
    del sparse.settings
    sweep("SparseEmbeddingService() without settings", Service, NameError)
    sparse.settings = settings
    core.sparse_embed_single = lambda text, profile: '{"values": []}'
    sweep("embed_single, answer without indices", lambda: service.embed_single("ab"), KeyError)
    core.sparse_embed_single = lambda text, profile: SINGLE
    native_json_paths(sparse, service)


def native_json_paths(sparse, service):
    """The embedding paths with json itself: its native decoder and encoder stand in for
    json.loads and json.dumps, captured before the sweep (the stdlib's own encoder, which
    crashes CPython 3.12.1 when an allocation fails, is then never called)."""
    import tracemalloc
    sparse.json = json
    # Over the size parsed without the lock, in few objects, so that the sweep gets through.
    big = json.dumps({"indices": ["x" * 17000, 1234, "\u00e9"], "values": [0.5, -1e300], "truncated": None})
    answers = [("", SINGLE), (", bytes", SINGLE.encode()), (", unlocked", big)]
    for label, answer in answers:
        core.sparse_embed_single = lambda text, profile, answer=answer: answer
        service.embed_single("ab")
        sweep("embed_single, native decoder" + label, functools.partial(service.embed_single, "ab"), strict=True)
    core.sparse_embed_single = lambda text, profile: SINGLE
    sweep("embed_batch, native encoder and decoder",
          functools.partial(service.embed_batch, ["ab", "c\u00e9\U0001f600"]), strict=True)
    core.sparse_embed_batch = lambda texts, profile: '{"embeddings": [' + big + ', ' + big + ']}'
    sweep("embed_batch, native decoder unlocked", functools.partial(service.embed_batch, ["ab"]), strict=True)
    # Still the native route after all that: nothing was made by json's own modules.
    marked = '{"indices": ["abcdefghij"], "values": []}'
    core.sparse_embed_single = lambda text, profile: marked
    core.sparse_embed_batch = lambda texts, profile: '{"embeddings": [' + marked + ']}'
    tracemalloc.start()
    made = [service.embed_single("ab").indices[0], service.embed_batch(["ab"])[0].indices[0]]
    where = [tracemalloc.get_object_traceback(obj)[0].filename for obj in made]
    tracemalloc.stop()
    core.sparse_embed_single = lambda text, profile: SINGLE
    core.sparse_embed_batch = lambda texts, profile: BATCH
    if any(name.endswith(("decoder.py", "__init__.py")) for name in where):
        faults.append(f"native json route not taken after the sweep: {where}")
    sparse.json = StandInJson()


def featuregate_paths():
    import velmorrow.featuregate as fg

    def reset():
        fg._cached_capabilities = None

    def cache_whole():
        value = fg._cached_capabilities
        if value is not None and type(value) is not set:
            return f"half-set cache {value!r}"

    sweep("require_capability, cache miss", lambda: fg.require_capability("ignore_builtin_replace", "ctx"),
          setup=reset, check=cache_whole)
    sweep("require_capability, cached", lambda: fg.require_capability("ignore_builtin_replace", "ctx"),
          check=cache_whole)
    sweep("require_capability, missing", lambda: fg.require_capability("absent", "ctx"), RuntimeError)
    sweep("require_capability by keyword", lambda: fg.require_capability(context="c", name="other"))
    sweep("require_capability(None, ...)", fails(fg.require_capability, None, "c"), TypeError)
    sweep("_load_capabilities, cache miss", fg._load_capabilities, setup=reset, check=cache_whole)
    sys.modules["velmorrow_core_py"] = None
    sweep("_load_capabilities, core unimportable", fg._load_capabilities, setup=reset, check=cache_whole)
    sys.modules["velmorrow_core_py"] = core
    reset()


def scanrules_paths():
    import velmorrow.featuregate as fg
    import velmorrow.scanrules as sr
    settings = sr.settings = Settings()
    repo = pathlib.Path("/repo")

    def reset():
        fg._cached_capabilities = None

    sweep("build_scan_config", lambda: sr.build_scan_config(repo))
    settings.builtin_ignore_replace = True
    sweep("build_scan_config, flag true, cache miss", lambda: sr.build_scan_config("/repo"), setup=reset,
          check=lambda: None if fg._cached_capabilities is None or type(fg._cached_capabilities) is set
          else f"half-set cache {fg._cached_capabilities!r}")
    sweep("build_scan_config, flag true, cached", lambda: sr.build_scan_config("/repo"))
    fg._cached_capabilities = set()
    sweep("build_scan_config, capability missing", lambda: sr.build_scan_config("/repo"), RuntimeError)
    require = fg.require_capability
    del fg.require_capability
    sweep("build_scan_config, gate without require_capability", lambda: sr.build_scan_config("/repo"),
          ImportError)
    fg.require_capability = require
    sweep("build_scan_config(repo_path=, mode=)", fails(sr.build_scan_config, repo_path="/", mode=1), TypeError)


def real_core_paths():
    """The installed native core stand-in behind the modules."""
    del sys.modules["velmorrow_core_py"]
    import velmorrow_core_py
    import velmorrow.featuregate as fg
    import velmorrow.sparse as sparse
    sparse.velmorrow_core_py = velmorrow_core_py
    sparse.json = StandInJson()
    sparse.settings = Settings()
    service = sparse.SparseEmbeddingService()

    def reset():
        fg._cached_capabilities = None

    sweep("real core embed_single", lambda: service.embed_single("parseHttpHeader"))
    sweep("real core embed_batch", lambda: service.embed_batch(["ab", "cd"]))
    sweep("real core handshake", lambda: fg.require_capability("ignore_builtin_replace", "ctx"), setup=reset,
          check=lambda: None if fg._cached_capabilities is None or type(fg._cached_capabilities) is set
          else f"half-set cache {fg._cached_capabilities!r}")


def import_paths(name, start):
    """The first import of `name`: its create and exec slots, as the import system calls
    them, once per allocation until the module loads; prints where that happened."""
    import _imp, importlib.util
    import logging, velmorrow.config  # what the bodies import, loaded already
    # CPython 3.12's own dataclass decorator crashes when an allocation fails; this one
    # gives the record class a plain keyword constructor.
    def record_init(self, indices, values, truncated=None, original_chars=None, used_chars=None):
        self.indices, self.values = indices, values

    def dataclass(cls):
        cls.__init__ = record_init
        return cls

    sys.modules["dataclasses"] = types.ModuleType("dataclasses")
    sys.modules["dataclasses"].dataclass = dataclass
    spec = importlib.util.find_spec(name)
    paths.append(f"import {name}")
    loaded_at = None

    def load():
        module = _imp.create_dynamic(spec)
        _imp.exec_dynamic(module)
        return module

    for n in range(start, start + COUNT):
        error = attempt(load, n)
        if error is None:
            loaded_at = n
            break
        if sys.modules.get(name) is not None and not hasattr(sys.modules[name], "__test__"):
            del sys.modules[name]  # what the import system does after a failed body
        if not caused_by_memory(error):
            faults.append(f"import {name}, allocation {n}: {type(error).__name__}: {error}")
            break
    module = load() if loaded_at is None else sys.modules[name]
    assert vars(module)["__test__"] == {}
    if name == "velmorrow.sparse":
        module.json = StandInJson()
        module.settings = Settings()
        module.get_sparse_service().embed_single("ab")
    elif name == "velmorrow.featuregate":
        module.require_capability("other", "ctx")
    else:
        module.build_scan_config("/repo")
    return loaded_at


section = SECTION
if section.startswith("import "):
    loaded_at = import_paths(section.split()[1], START)
else:
    loaded_at = None
    {"sparse": sparse_paths, "featuregate": featuregate_paths, "scanrules": scanrules_paths,
     "real core": real_core_paths}[section]()
print(json.dumps({"paths": paths, "faults": faults, "loaded_at": loaded_at, "hits": hits}))
'''


def run_sweep(python, section, start=0, count=SWEEP):
    code = f"SECTION = {section!r}\nSTART = {start}\nCOUNT = {count}\nSWEEP = {SWEEP}\n{HARNESS}"
    result = python(code, check=False)
    assert result.returncode == 0, f"crashed after: {result.stderr[-2000:]}"
    return json.loads(result.stdout.splitlines()[-1])


@pytest.mark.parametrize(("section", "minimum_paths"),
                         [("sparse", 21), ("featuregate", 7), ("scanrules", 6), ("real core", 3)])
def test_every_call_path_survives_each_failed_allocation(python, section, minimum_paths):
    report = run_sweep(python, section)
    assert len(report["paths"]) >= minimum_paths, report["paths"]
    assert report["faults"] == [], "\n".join(report["faults"])
    # The injection reaches the paths that allocate (a cached read may allocate nothing).
    assert sum(count > 0 for count in report["hits"].values()) >= minimum_paths // 2, report["hits"]


@pytest.mark.parametrize("module", ["velmorrow.sparse", "velmorrow.featuregate", "velmorrow.scanrules"])
def test_first_import_survives_each_failed_allocation(python, module):
    # A failed body leaves nothing behind, so one interpreter tries again and again until
    # the module loads; an allocation failure that the body survives ends that interpreter's
    # sweep, and a fresh one goes on from the next allocation.
    # Once the failing allocation lies past the body's last one, every fresh interpreter
    # loads at once; three in a row end the sweep.
    start, loaded_at_once = 0, 0
    while start < IMPORT_SWEEP and loaded_at_once < 3:
        report = run_sweep(python, f"import {module}", start, IMPORT_SWEEP - start)
        assert report["faults"] == [], "\n".join(report["faults"])
        if report["loaded_at"] is None:
            break
        loaded_at_once = loaded_at_once + 1 if report["loaded_at"] == start else 0
        start = report["loaded_at"] + 1
