"""Every public path of the three extension modules, on success and on failure, as a
repeatable action. The leak tests import this in a fresh interpreter and hand `run` their
own way of counting what one run leaves behind."""

import contextlib
import importlib
import json
import pathlib
import sys
import types

DELETE = object()


def measure(label, action, runs=None, tolerance=None):
    raise RuntimeError("run() sets the measure")


def fails(error, function, *args, **kwargs):
    def action():
        try:
            function(*args, **kwargs)
        except error:
            return
        raise AssertionError(f"{function!r}{args!r} raised no {error!r}")
    return action


def fresh(text):
    """A new str object on every call, so that a leaked reference to it costs a block."""
    return "".join(list(text))


def raiser(error, message):
    def raise_it(*_):
        raise error(fresh(message))
    return raise_it


@contextlib.contextmanager
def patched(target, name, value):
    """Rebinds an attribute, or a key of a dict, for the duration of one scenario."""
    is_dict = isinstance(target, dict)
    missing = object()
    old = target.get(name, missing) if is_dict else getattr(target, name, missing)
    def put(new):
        if new is DELETE or new is missing:
            if is_dict:
                target.pop(name, None)
            elif hasattr(target, name):
                delattr(target, name)
        elif is_dict:
            target[name] = new
        else:
            setattr(target, name, new)
    put(value)
    try:
        yield
    finally:
        put(old)


class Settings:
    def __init__(self, **values):
        self.values = values

    def __getattr__(self, name):
        try:
            value = self.values[name]
        except KeyError:
            raise AttributeError(name) from None
        return value() if callable(value) else value


SETTINGS = Settings(
    sparse_profile_version=lambda: fresh("v1"),
    sparse_max_text_chars=lambda: int("20000"),
    code_pretokenize=True,
    builtin_ignore_replace=False,
    builtin_ignore_patterns=lambda: (fresh(".git/"), fresh("*.pyc")),
    extra_ignore_patterns=lambda: [fresh("*.log")],
    ignore_mode=lambda: fresh("git+velmorrow"),
)

EMBEDDING = {"indices": [1, 2], "values": [0.5, 0.5], "truncated": False, "original_chars": 3, "used_chars": 3}
core = types.ModuleType("velmorrow_core_py")
core.single = lambda: json.dumps(EMBEDDING)
core.batch = lambda texts_json: json.dumps({"embeddings": [EMBEDDING] * len(json.loads(texts_json))})
core.caps = lambda: json.dumps({"capabilities": ["ignore_builtin_replace", "other"]})
core.sparse_embed_single = lambda text, profile: core.single()
core.sparse_embed_batch = lambda texts_json, profile: core.batch(texts_json)
core.handshake = lambda: core.caps()


class DecodedAs:
    """A json stand-in whose loads hands out a new object made by `make`."""
    def __init__(self, make):
        self.dumps, self.make = json.dumps, make

    def loads(self, text):
        return self.make()


class MappingLike:
    def __getitem__(self, key):
        return [fresh(key)]

    def get(self, key):
        return fresh(key)


class Text(str):
    pass


class Texts(list):
    pass


def sparse_paths(sparse):
    Service = sparse.SparseEmbeddingService
    svc = Service()
    values = SETTINGS.values
    measure("SparseEmbeddingService()", Service)
    measure("__init__ again", svc.__init__)
    for key in ("sparse_profile_version", "code_pretokenize"):
        with patched(values, key, lambda: object()):
            measure(f"__init__ unencodable {key}", fails(TypeError, Service))
        with patched(values, key, DELETE):
            measure(f"__init__ missing {key}", fails(AttributeError, Service))
    with patched(sparse, "settings", DELETE):
        measure("__init__ settings deleted", fails(NameError, Service))
    measure("__init__ binding error", fails(TypeError, Service, 1))

    measure("profile_version", lambda: svc.profile_version)
    for label, value, error in [("int", lambda: int("70000"), TypeError), ("None", None, None),
                                ("str subclass", lambda: Text("v1"), TypeError), ("missing", DELETE, AttributeError)]:
        with patched(values, "sparse_profile_version", value):
            measure(f"profile_version {label}", fails(error, getattr, svc, "profile_version") if error
                    else (lambda: svc.profile_version))

    single = lambda: svc.embed_single(fresh("fooBar"))
    measure("embed_single", single)
    with patched(core, "single", lambda: json.dumps(EMBEDDING).encode()):
        measure("embed_single bytes answer", single)
    with patched(sparse, "json", DecodedAs(MappingLike)):
        measure("embed_single mapping-like answer", single)
    for label, answer, error in [
        ("missing indices", lambda: json.dumps({"values": [1.0]}), KeyError),
        ("missing values", lambda: json.dumps({"indices": [1]}), KeyError),
        ("non-JSON", lambda: fresh("not json"), json.JSONDecodeError),
        ("answer not text", lambda: [1, 2], TypeError),
        ("JSON list", lambda: json.dumps([1, 2]), TypeError),
        ("core raising", raiser(RuntimeError, "core failed"), RuntimeError),
    ]:
        with patched(core, "single", answer):
            measure(f"embed_single {label}", fails(error, single))
    for name, error in [("SparseResult", NameError), ("velmorrow_core_py", NameError), ("json", NameError)]:
        with patched(sparse, name, DELETE):
            measure(f"embed_single {name} deleted", fails(error, single))
    measure("embed_single without _profile_json", fails(AttributeError, Service.__new__(Service).embed_single, "ab"))
    measure("embed_single None", fails(TypeError, svc.embed_single, None))
    measure("embed_single str subclass", lambda: fails(TypeError, svc.embed_single, Text(fresh("ab")))())
    measure("embed_single no text", fails(TypeError, svc.embed_single))
    measure("embed_single text twice", lambda: fails(TypeError, svc.embed_single, fresh("ab"), text=fresh("cd"))())
    measure("embed_single unknown keyword", lambda: fails(TypeError, svc.embed_single, txt=fresh("ab"))())

    batch = lambda: svc.embed_batch([fresh("ab"), fresh("cd"), fresh("ef")])
    measure("embed_batch", batch)
    measure("embed_batch empty", lambda: svc.embed_batch([]))
    measure("embed_batch tuple", lambda: fails(TypeError, svc.embed_batch, (fresh("ab"),))())
    measure("embed_batch list subclass", lambda: fails(TypeError, svc.embed_batch, Texts([fresh("ab")]))())
    measure("embed_batch unencodable text", lambda: fails(TypeError, svc.embed_batch, [fresh("ab"), object()])())
    for label, make in [("tuple", lambda: {"embeddings": (dict(EMBEDDING), dict(EMBEDDING))}),
                        ("generator", lambda: {"embeddings": (dict(EMBEDDING) for _ in range(3))})]:
        with patched(sparse, "json", DecodedAs(make)):
            measure(f"embed_batch {label} embeddings", batch)

    def broken_stream():
        yield dict(EMBEDDING)
        raise LookupError(fresh("stream broke"))

    with patched(sparse, "json", DecodedAs(lambda: {"embeddings": broken_stream()})):
        measure("embed_batch iteration raising", fails(LookupError, batch))
    for label, answer, error in [
        ("missing embeddings", lambda _: json.dumps({"other": []}), KeyError),
        ("element missing values", lambda _: json.dumps({"embeddings": [EMBEDDING, {"indices": [1]}]}), KeyError),
        ("embeddings not iterable", lambda _: json.dumps({"embeddings": 5}), TypeError),
        ("non-JSON", lambda _: fresh("nope"), json.JSONDecodeError),
        ("core raising", raiser(ValueError, "bad texts"), ValueError),
    ]:
        with patched(core, "batch", answer):
            measure(f"embed_batch {label}", fails(error, batch))

    texts = lambda: [fresh("ab"), fresh("cd")]
    for label, size in [("None", None), ("int", 5), ("float", 3.7), ("True", True)]:
        measure(f"embed_batch_list batch_size {label}", lambda: svc.embed_batch_list(texts(), size))
    for label, size, error in [("str", "5", TypeError), ("NaN", float("nan"), ValueError),
                               ("inf", float("inf"), OverflowError), ("complex", 1j, TypeError)]:
        measure(f"embed_batch_list batch_size {label}", lambda: fails(error, svc.embed_batch_list, texts(), size)())
    measure("embed_batch_list bad texts and size", fails(TypeError, svc.embed_batch_list, ("ab",), "5"))
    measure("embed_batch_list tuple texts", fails(TypeError, svc.embed_batch_list, ("ab",), 2))
    for label, make, error in [("tuple result", lambda: (fresh("ab"),), TypeError), ("None result", lambda: None, None)]:
        subclass = type("Overriding", (Service,), {"embed_batch": lambda self, texts: make()})
        other = subclass()
        measure(f"embed_batch_list {label}", fails(error, other.embed_batch_list, ["ab"]) if error
                else (lambda: other.embed_batch_list(texts())))
    other = Service()
    other.embed_batch = lambda texts: list(texts)
    measure("embed_batch_list instance override", lambda: other.embed_batch_list(texts()))

    measure("get_sparse_service cached", sparse.get_sparse_service)
    measure("reset + get_sparse_service", lambda: (sparse.reset_sparse_service(), sparse.get_sparse_service()))
    with patched(values, "sparse_max_text_chars", DELETE):
        sparse.reset_sparse_service()
        measure("get_sparse_service construction failing", fails(AttributeError, sparse.get_sparse_service))
    with patched(sparse, "_sparse_service", DELETE):
        measure("get_sparse_service slot deleted", fails(NameError, sparse.get_sparse_service))
    with patched(sparse, "_sparse_service", object()):
        measure("get_sparse_service foreign value", sparse.get_sparse_service)
    measure("get_sparse_service(1)", fails(TypeError, sparse.get_sparse_service, 1))
    measure("reset_sparse_service(x=1)", fails(TypeError, sparse.reset_sparse_service, x=1))


def featuregate_paths(fg):
    def uncached():
        fg._cached_capabilities = None
        return fg._load_capabilities()

    measure("_load_capabilities uncached", uncached)
    measure("_load_capabilities cached", fg._load_capabilities)
    with patched(sys.modules, "velmorrow_core_py", None):
        measure("_load_capabilities core unimportable", uncached)
    with patched(core, "caps", raiser(ImportError, "no handshake")):
        measure("_load_capabilities handshake ImportError", uncached)
    with patched(core, "handshake", DELETE):
        measure("_load_capabilities no handshake", fails(AttributeError, uncached))
    for label, answer, error in [
        ("handshake raising", raiser(RuntimeError, "handshake failed"), RuntimeError),
        ("non-JSON", lambda: fresh("nope"), json.JSONDecodeError),
        ("answer not text", lambda: [1], TypeError),
        ("JSON list", lambda: json.dumps([1]), AttributeError),
        ("unhashable capabilities", lambda: json.dumps({"capabilities": [[1]]}), TypeError),
        ("null capabilities", lambda: json.dumps({"capabilities": None}), TypeError),
    ]:
        with patched(core, "caps", answer):
            measure(f"_load_capabilities {label}", fails(error, uncached))
    with patched(fg, "_cached_capabilities", frozenset()):
        measure("_load_capabilities frozenset cache", fails(TypeError, fg._load_capabilities))
    with patched(fg, "_cached_capabilities", DELETE):
        measure("_load_capabilities cache deleted", fails(NameError, fg._load_capabilities))
    measure("_load_capabilities(1)", fails(TypeError, fg._load_capabilities, 1))
    measure("_load_capabilities(x=1)", fails(TypeError, fg._load_capabilities, x=1))

    require = fg.require_capability
    uncached()
    measure("require_capability found", lambda: require(fresh("ignore_builtin_replace"), fresh("ctx")))
    measure("require_capability by keyword", lambda: require(context=fresh("ctx"), name=fresh("ignore_builtin_replace")))
    measure("require_capability missing", lambda: fails(RuntimeError, require, fresh("absent"), fresh("ctx"))())
    with patched(fg, "_cached_capabilities", None):
        measure("require_capability uncached failing", lambda: (setattr(fg, "_cached_capabilities", None),
                fails(RuntimeError, require, fresh("absent"), fresh("ctx"))()))
    with patched(fg, "_cached_capabilities", {1, "a"}):
        measure("require_capability unorderable", fails(TypeError, require, "absent", "ctx"))
    for label, args, kwargs in [("name None", (None, "ctx"), {}), ("name subclass", (Text("ab"), "ctx"), {}),
                                ("context int", ("ab", 1), {}), ("one argument", ("ab",), {}),
                                ("three arguments", ("ab", "cd", "ef"), {}),
                                ("name twice", ("ab",), {"name": "cd"}), ("unknown keyword", ("ab",), {"ctx": "cd"})]:
        measure(f"require_capability {label}", fails(TypeError, require, *args, **kwargs))


def scanrules_paths(sr, fg):
    build = lambda: sr.build_scan_config(fresh("/repo"))
    sr.settings = SETTINGS
    values = SETTINGS.values
    measure("build_scan_config", build)
    measure("build_scan_config Path", lambda: sr.build_scan_config(pathlib.Path(fresh("repo"))))
    with patched(values, "builtin_ignore_replace", True):
        fg._cached_capabilities = None
        measure("build_scan_config flag true", build)
        measure("build_scan_config flag true, cache miss", lambda: (setattr(fg, "_cached_capabilities", None), build()))
        with patched(fg, "_cached_capabilities", set()):
            measure("build_scan_config capability missing", fails(RuntimeError, build))
        with patched(fg, "require_capability", DELETE):
            measure("build_scan_config no require_capability", fails(ImportError, build))
        with patched(sys.modules, "velmorrow.featuregate", None):
            measure("build_scan_config featuregate unimportable", fails(ImportError, build))
    with patched(sr, "settings", DELETE):
        measure("build_scan_config settings deleted", fails(NameError, build))
    with patched(values, "ignore_mode", DELETE):
        measure("build_scan_config missing setting", fails(AttributeError, build))
    with patched(values, "extra_ignore_patterns", lambda: int("5000")):
        measure("build_scan_config patterns not iterable", fails(TypeError, build))
    with patched(values, "builtin_ignore_replace", type("Flag", (), {"__bool__": raiser(ValueError, "no")})()):
        measure("build_scan_config truth test raising", fails(ValueError, build))
    unprintable = type("Unprintable", (), {"__str__": raiser(ValueError, "no str")})()
    measure("build_scan_config str raising", fails(ValueError, sr.build_scan_config, unprintable))
    for label, args, kwargs in [("no argument", (), {}), ("two arguments", ("a", "b"), {}),
                                ("repo_path twice", ("a",), {"repo_path": "b"}), ("unknown keyword", (), {"mode": "a"})]:
        measure(f"build_scan_config {label}", fails(TypeError, sr.build_scan_config, *args, **kwargs))


def load_paths():
    RUNS_LOAD = 300

    def failing_import(name, error):
        def action():
            try:
                importlib.import_module(name)
            except error:
                return
            raise AssertionError(f"{name} imported")
        return action

    dataclasses_stand_in = types.ModuleType("dataclasses")
    dataclasses_stand_in.dataclass = raiser(RuntimeError, "no dataclass")
    for label, module, blocked, value, error in [
        ("sparse body, core unimportable", "velmorrow.sparse", "velmorrow_core_py", None, ImportError),
        ("sparse body, dataclass raising", "velmorrow.sparse", "dataclasses", dataclasses_stand_in, RuntimeError),
        ("featuregate body, logging unimportable", "velmorrow.featuregate", "logging", None, ImportError),
        ("scanrules body, config unimportable", "velmorrow.scanrules", "velmorrow.config", None, ImportError),
    ]:
        # Each attempt makes new classes and functions; the type and import caches they
        # pass through settle more slowly than one object per attempt would grow.
        with patched(sys.modules, blocked, value):
            measure(label, failing_import(module, error), runs=RUNS_LOAD, tolerance=RUNS_LOAD // 2)
    for name in ("velmorrow.sparse", "velmorrow.featuregate", "velmorrow.scanrules"):
        module = importlib.import_module(name)

        def reimport():
            del sys.modules[name]
            assert importlib.import_module(name) is module

        measure(f"{name} import after removal", reimport, runs=RUNS_LOAD)
        measure(f"{name} reload", lambda: importlib.reload(module), runs=RUNS_LOAD)


def real_core_paths():
    import velmorrow_core_py
    import velmorrow.featuregate as fg
    import velmorrow.scanrules as sr
    import velmorrow.sparse as sparse

    sparse.settings = sr.settings = SETTINGS
    svc = sparse.SparseEmbeddingService()
    assert sparse.velmorrow_core_py is velmorrow_core_py
    measure("real core embed_single", lambda: svc.embed_single(fresh("parseHttpHeader")))
    measure("real core embed_batch", lambda: svc.embed_batch([fresh("fooBar"), fresh("snake_case")]))
    measure("real core embed_batch_list", lambda: svc.embed_batch_list([fresh("fooBar")], 2))
    with patched(SETTINGS.values, "sparse_max_text_chars", -1):
        bad = sparse.SparseEmbeddingService()
    measure("real core rejecting profile", lambda: fails(ValueError, bad.embed_single, fresh("ab"))())
    with patched(SETTINGS.values, "builtin_ignore_replace", True):
        measure("real core handshake + build_scan_config", lambda: (
            setattr(fg, "_cached_capabilities", None), sr.build_scan_config(fresh("/repo"))))


def fake_core_paths():
    sys.modules["velmorrow_core_py"] = core
    import velmorrow.featuregate as fg
    import velmorrow.scanrules as sr
    import velmorrow.sparse as sparse

    sparse.velmorrow_core_py = core
    sparse.settings = SETTINGS
    sparse_paths(sparse)
    featuregate_paths(fg)
    scanrules_paths(sr, fg)


SECTIONS = {"load": load_paths, "fake core": fake_core_paths, "real core": real_core_paths}


def run(section, measure_path):
    """Runs every path of `section` through `measure_path(label, action, runs=None,
    tolerance=None)`, which repeats the action and checks whatever it counts."""
    global measure
    measure = measure_path
    SECTIONS[section]()
