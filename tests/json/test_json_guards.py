"""The native JSON route is taken only while nothing could tell it from the call it
replaces. Each patch below must take effect at the next call, and the native route must
come back once the patch is undone."""

from __future__ import annotations

import json
import json.decoder
import json.encoder
import pathlib
import re
import sys
import threading
import time
import traceback
import tracemalloc
import types
from collections.abc import Callable
from typing import Any

import pytest

ANSWER = '{"indices": ["abcdefghij"], "values": []}'
BATCH = '{"embeddings": [{"indices": ["abcdefghij"], "values": []}]}'
# Where the json package's own frames live (these tests sit in a folder named json too).
JSON_PACKAGE = pathlib.Path(json.__file__).parent


class Core(types.ModuleType):
    def __init__(self) -> None:
        super().__init__("velmorrow_core_py")
        self.answer: Any = ANSWER
        self.texts_json: Any = None

    def sparse_embed_single(self, text, profile):
        return self.answer

    def sparse_embed_batch(self, texts_json, profile):
        self.texts_json = texts_json
        return BATCH


@pytest.fixture
def service(sparse):
    core = Core()
    sparse.velmorrow_core_py = core
    made = sparse.SparseEmbeddingService()
    made.core = core
    return made


def made_in_json(obj: object) -> bool:
    """Whether `obj` was allocated under the json package's own frames."""
    frame = tracemalloc.get_object_traceback(obj)
    assert frame is not None
    return pathlib.Path(frame[0].filename).parent == JSON_PACKAGE


def routes(service) -> tuple[bool, bool]:
    """(decoded by json.loads, encoded by json.dumps) for one call of each path."""
    tracemalloc.start()
    try:
        decoded = service.embed_single("t").indices[0]
        service.embed_batch(["x" * 64])
        return made_in_json(decoded), made_in_json(service.core.texts_json)
    finally:
        tracemalloc.stop()


def test_native_route_without_patches(service):
    assert routes(service) == (False, False)
    service.core.answer = ANSWER.encode()
    assert routes(service) == (False, False)


class Recorder:
    def __init__(self, result: Callable[..., Any]) -> None:
        self.calls: list[tuple[Any, ...]] = []
        self.result = result

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        self.calls.append(args)
        return self.result(*args, **kwargs)


real_loads = json.loads
real_dumps = json.dumps


def method_recorder(original):
    """A recorder that binds as a method, for patching a class."""
    calls = []

    def method(self, *args, **kwargs):
        calls.append(args)
        return original(self, *args, **kwargs)

    method.calls = calls
    return method


def patched_code(*args: Any, **kwargs: Any) -> Any:
    raise LookupError("patched code")


def decoder_patches():
    """(name, install(monkeypatch, sparse) -> check(service))"""

    def recorder_check(recorder):
        def check(service):
            service.embed_single("t")
            assert recorder.calls

        return check

    def module_replaced(mp, sparse):
        recorder = Recorder(real_loads)
        mp.setattr(sparse, "json", types.SimpleNamespace(loads=recorder, dumps=real_dumps))
        return recorder_check(recorder)

    def loads_patched(mp, sparse):
        recorder = Recorder(real_loads)
        mp.setattr(json, "loads", recorder)
        return recorder_check(recorder)

    def code_replaced(mp, sparse):
        mp.setattr(json.loads, "__code__", patched_code.__code__)

        def check(service):
            with pytest.raises(LookupError, match="patched code"):
                service.embed_single("t")

        return check

    def kwdefaults_changed(mp, sparse):
        mp.setitem(json.loads.__kwdefaults__, "parse_int", str)

        def check(service):
            service.core.answer = '{"indices": [12], "values": []}'
            assert service.embed_single("t").indices == ["12"]

        return check

    def default_decoder_replaced(mp, sparse):
        decoder = json.JSONDecoder()
        recorder = Recorder(decoder.decode)
        mp.setattr(decoder, "decode", recorder)
        mp.setattr(json, "_default_decoder", decoder)
        return recorder_check(recorder)

    def instance_method(mp, sparse):
        recorder = Recorder(json._default_decoder.decode)
        mp.setattr(json._default_decoder, "decode", recorder)
        return recorder_check(recorder)

    def scanner_replaced(mp, sparse):
        recorder = Recorder(json._default_decoder.scan_once)
        mp.setattr(json._default_decoder, "scan_once", recorder)
        return recorder_check(recorder)

    def class_decode(mp, sparse):
        recorder = method_recorder(json.JSONDecoder.decode)
        mp.setattr(json.JSONDecoder, "decode", recorder)
        return recorder_check(recorder)

    def class_raw_decode(mp, sparse):
        recorder = method_recorder(json.JSONDecoder.raw_decode)
        mp.setattr(json.JSONDecoder, "raw_decode", recorder)
        return recorder_check(recorder)

    def decode_code_replaced(mp, sparse):
        mp.setattr(json.JSONDecoder.decode, "__code__", patched_code.__code__)

        def check(service):
            with pytest.raises(LookupError, match="patched code"):
                service.embed_single("t")

        return check

    def whitespace_default(mp, sparse):
        recorder = Recorder(re.compile(r"[ \t\n\r]*").match)
        mp.setattr(json.JSONDecoder.decode, "__defaults__", (recorder,))
        return recorder_check(recorder)

    def shadowed_builtin(mp, sparse):
        recorder = Recorder(isinstance)
        mp.setattr(json, "isinstance", recorder, raising=False)
        return recorder_check(recorder)

    def builtins_changed(mp, sparse):
        import builtins

        recorder = Recorder(len)
        mp.setattr(builtins, "len", recorder)
        return recorder_check(recorder)

    def detect_encoding(mp, sparse):
        recorder = Recorder(json.detect_encoding)
        mp.setattr(json, "detect_encoding", recorder)

        def check(service):
            service.core.answer = ANSWER.encode()
            service.embed_single("t")
            assert recorder.calls

        return check

    def codecs_replaced(mp, sparse):
        import codecs

        read = []

        class Codecs:
            def __getattr__(self, name):
                read.append(name)
                return getattr(codecs, name)

        mp.setattr(json, "codecs", Codecs())

        def check(service):
            service.core.answer = ANSWER.encode()
            service.embed_single("t")
            assert read

        return check

    return [module_replaced, loads_patched, code_replaced, kwdefaults_changed, default_decoder_replaced,
            instance_method, scanner_replaced, class_decode, class_raw_decode, decode_code_replaced,
            whitespace_default, shadowed_builtin, builtins_changed, detect_encoding, codecs_replaced]


def encoder_patches():
    def recorder_check(recorder):
        def check(service):
            service.embed_batch(["x", "é"])
            assert recorder.calls

        return check

    def output_check(expected):
        def check(service):
            service.embed_batch(["x", "é"])
            assert service.core.texts_json == expected

        return check

    def module_replaced(mp, sparse):
        recorder = Recorder(real_dumps)
        mp.setattr(sparse, "json", types.SimpleNamespace(loads=real_loads, dumps=recorder))
        return recorder_check(recorder)

    def dumps_patched(mp, sparse):
        recorder = Recorder(real_dumps)
        mp.setattr(json, "dumps", recorder)
        return recorder_check(recorder)

    def kwdefaults_changed(mp, sparse):
        mp.setitem(json.dumps.__kwdefaults__, "ensure_ascii", False)
        return output_check('["x", "é"]')

    def default_encoder_replaced(mp, sparse):
        mp.setattr(json, "_default_encoder", json.JSONEncoder(separators=(";", ":")))
        return output_check('["x";"\\u00e9"]')

    def instance_option(mp, sparse):
        mp.setattr(json._default_encoder, "indent", 1)
        return output_check('[\n "x", \n "\\u00e9"\n]')

    def class_separator(mp, sparse):
        mp.setattr(json.JSONEncoder, "item_separator", ",")
        return output_check('["x","\\u00e9"]')

    def class_encode(mp, sparse):
        recorder = method_recorder(json.JSONEncoder.encode)
        mp.setattr(json.JSONEncoder, "encode", recorder)
        return recorder_check(recorder)

    def class_iterencode(mp, sparse):
        recorder = method_recorder(json.JSONEncoder.iterencode)
        mp.setattr(json.JSONEncoder, "iterencode", recorder)
        return recorder_check(recorder)

    def escaper(mp, sparse):
        recorder = Recorder(json.encoder.encode_basestring_ascii)
        mp.setattr(json.encoder, "encode_basestring_ascii", recorder)
        return recorder_check(recorder)

    def c_encoder_off(mp, sparse):
        mp.setattr(json.encoder, "c_make_encoder", None)
        recorder = Recorder(json.encoder._make_iterencode)
        mp.setattr(json.encoder, "_make_iterencode", recorder)
        return recorder_check(recorder)

    def iterencode_code(mp, sparse):
        mp.setattr(json.JSONEncoder.iterencode, "__code__", patched_code.__code__)

        def check(service):
            with pytest.raises(LookupError, match="patched code"):
                service.embed_batch(["x"])

        return check

    return [module_replaced, dumps_patched, kwdefaults_changed, default_encoder_replaced, instance_option,
            class_separator, class_encode, class_iterencode, escaper, c_encoder_off, iterencode_code]


@pytest.mark.parametrize("patch", decoder_patches() + encoder_patches(), ids=lambda p: p.__qualname__)
def test_patch_takes_effect_at_the_next_call(service, sparse, monkeypatch, patch):
    assert routes(service) == (False, False)  # captured and native before the patch
    check = patch(monkeypatch, sparse)
    check(service)
    monkeypatch.undo()
    service.core.answer = ANSWER
    assert routes(service) == (False, False)


@pytest.mark.parametrize("hook", [sys.settrace, sys.setprofile, threading.setprofile_all_threads])
def test_trace_and_profile_functions_see_the_calls(service, hook):
    seen = []

    def watcher(frame, event, arg):
        if event in ("call", "c_call"):
            seen.append(frame.f_code.co_name)
        return None

    hook(watcher)
    try:
        service.embed_single("t")
        service.embed_batch(["x"])
    finally:
        hook(None)
        if hook is threading.setprofile_all_threads:
            threading.setprofile_all_threads(None)
    assert {"loads", "decode", "raw_decode", "dumps", "encode", "iterencode", "__init__"} <= set(seen)
    assert routes(service) == (False, False)


def test_patched_before_first_use_is_never_taken(python):
    """A decoder patched before the first call is refused until it is put back."""
    python("""
        import json, types, tracemalloc
        import velmorrow.sparse as sparse
        core = types.ModuleType("velmorrow_core_py")
        core.sparse_embed_single = lambda t, p: '{"indices": ["abcdefghij"], "values": []}'
        sparse.velmorrow_core_py = core
        service = sparse.SparseEmbeddingService()
        real = json._default_decoder
        calls = []
        class Decoder(json.JSONDecoder):
            def decode(self, s):
                calls.append(s)
                return super().decode(s)
        json._default_decoder = Decoder()
        for _ in range(300):
            service.embed_single("t")
        assert len(calls) == 300
        json._default_decoder = real
        tracemalloc.start()
        made = [service.embed_single("t").indices[0] for _ in range(300)]
        where = {tracemalloc.get_object_traceback(s)[0].filename.endswith("decoder.py") for s in made}
        assert where == {True, False}, where  # looked at again after a while, then native
    """)


# A fresh process's service over a core with a one-index answer, its route captured.
FRESH_SERVICE = """
        import json, types
        import velmorrow.sparse as sparse
        core = types.ModuleType("velmorrow_core_py")
        core.sparse_embed_single = lambda t, p: '{"indices": [1], "values": []}'
        sparse.velmorrow_core_py = core
        service = sparse.SparseEmbeddingService()
        service.embed_single("t")
        calls = []
"""


def test_code_replaced_at_the_address_of_the_captured_code(python):
    """The route keeps the code it captured alive: were it freed, a new code object could
    take its address and pass for it."""
    python(FRESH_SERVICE + """
        class Decoder(json.JSONDecoder):
            def decode(self, s):
                calls.append(s)
                return super().decode(s)
        json._patched_decoder = Decoder()
        names = tuple("_patched_decoder" if n == "_default_decoder" else n for n in json.loads.__code__.co_names)
        template = json.loads.__code__.replace(co_names=names)
        json.loads.__code__ = template
        # Same size as the code just replaced: the allocator hands back its block if it is free.
        json.loads.__code__ = template.replace()
        service.embed_single("t")
        assert len(calls) == 1, calls
    """)


@pytest.mark.parametrize("scope", ["global", "local"])
def test_monitoring_tools_see_the_calls(service, sparse, scope):
    """sys.monitoring events for all code, or for the skipped functions' own code, see
    json.loads, json.dumps and the record's __init__ run."""
    monitoring = sys.monitoring
    tool = next(i for i in range(6) if monitoring.get_tool(i) is None)
    monitoring.use_tool_id(tool, "probe")
    seen = []
    codes = [json.loads.__code__, json.dumps.__code__, json.JSONDecoder.decode.__code__,
             sparse.SparseResult.__init__.__code__]
    try:
        monitoring.register_callback(tool, monitoring.events.PY_START, lambda code, offset: seen.append(code))
        if scope == "global":
            monitoring.set_events(tool, monitoring.events.PY_START)
        else:
            for code in codes:
                monitoring.set_local_events(tool, code, monitoring.events.PY_START)
        service.embed_single("t")
        service.embed_batch(["x"])
    finally:
        if scope == "global":
            monitoring.set_events(tool, 0)
        else:
            for code in codes:
                monitoring.set_local_events(tool, code, 0)
        monitoring.register_callback(tool, monitoring.events.PY_START, None)
        monitoring.free_tool_id(tool)
    assert all(code in seen for code in codes), [c.co_name for c in seen]
    assert routes(service) == (False, False)


def record_patches():
    def init_replaced(mp, sparse):
        original = sparse.SparseResult.__init__
        recorder = method_recorder(original)
        mp.setattr(sparse.SparseResult, "__init__", recorder)
        return lambda: recorder.calls

    def init_code(mp, sparse):
        mp.setattr(sparse.SparseResult.__init__, "__code__", patched_code.__code__)
        return None

    def setattr_hook(mp, sparse):
        calls = []

        def hook(self, name, value):
            calls.append(name)
            object.__setattr__(self, name, value)

        mp.setattr(sparse.SparseResult, "__setattr__", hook)
        return lambda: calls

    def other_class(mp, sparse):
        calls = []

        class Other:
            def __init__(self, **fields):
                calls.append(fields)

        mp.setattr(sparse, "SparseResult", Other)
        return lambda: calls

    return [init_replaced, init_code, setattr_hook, other_class]


@pytest.mark.parametrize("patch", record_patches(), ids=lambda p: p.__name__)
def test_record_patch_takes_effect_at_the_next_call(service, sparse, monkeypatch, patch):
    service.embed_batch(["x"])
    calls = patch(monkeypatch, sparse)
    for call in (lambda: service.embed_single("t"), lambda: service.embed_batch(["x"])):
        if calls is None:
            with pytest.raises(LookupError, match="patched code"):
                call()
        else:
            before = len(calls())
            call()
            assert len(calls()) > before
    monkeypatch.undo()
    record = service.embed_single("t")
    assert type(record) is sparse.SparseResult
    expected = sparse.SparseResult(indices=record.indices, values=[], truncated=None, original_chars=None,
                                   used_chars=None)
    assert list(vars(record).items()) == list(vars(expected).items())
    assert sys.getsizeof(record) == sys.getsizeof(expected)


def test_record_new_takes_effect(python):
    """A __new__ on the class (in a fresh process: it cannot be cleanly taken off again)."""
    python(FRESH_SERVICE + """
        def new(cls, **fields):
            calls.append(fields)
            return object.__new__(cls)
        sparse.SparseResult.__new__ = new
        service.embed_single("t")
        assert calls == [{"indices": [1], "values": [], "truncated": None, "original_chars": None,
                          "used_chars": None}], calls
    """)


def test_first_use_imports_nothing(python):
    """Looking at json's own modules on first use must not show an import to import hooks."""
    python("""
        import builtins, json, types
        import velmorrow.sparse as sparse
        core = types.ModuleType("velmorrow_core_py")
        core.sparse_embed_single = lambda t, p: '{"indices": [1], "values": []}'
        core.sparse_embed_batch = lambda t, p: '{"embeddings": [{"indices": [2], "values": []}]}'
        sparse.velmorrow_core_py = core
        service = sparse.SparseEmbeddingService()
        imports = []
        real_import = builtins.__import__
        def recording_import(name, *args, **kwargs):
            imports.append(name)
            return real_import(name, *args, **kwargs)
        builtins.__import__ = recording_import
        try:
            assert service.embed_single("t").indices == [1]
            assert service.embed_batch(["t"])[0].indices == [2]
        finally:
            builtins.__import__ = real_import
        assert imports == [], imports
    """)


# ---- instrumentation the caller's frame does not show ---------------------------------

class Probe:
    """A sys.monitoring tool that records the names of the code objects it sees start."""

    def __init__(self) -> None:
        self.monitoring = sys.monitoring
        self.tool = next(i for i in range(6) if self.monitoring.get_tool(i) is None)
        self.seen: list[str] = []
        self.local: list[types.CodeType] = []

    def __enter__(self) -> Probe:
        self.monitoring.use_tool_id(self.tool, "probe")
        self.monitoring.register_callback(self.tool, self.monitoring.events.PY_START,
                                          lambda code, offset: self.seen.append(code.co_name))
        return self

    def everywhere(self) -> None:
        self.monitoring.set_events(self.tool, self.monitoring.events.PY_START)

    def on(self, code: types.CodeType) -> None:
        self.local.append(code)
        self.monitoring.set_local_events(self.tool, code, self.monitoring.events.PY_START)

    def __exit__(self, *exc: object) -> None:
        self.monitoring.set_events(self.tool, 0)
        for code in self.local:
            self.monitoring.set_local_events(self.tool, code, 0)
        self.monitoring.register_callback(self.tool, self.monitoring.events.PY_START, None)
        self.monitoring.free_tool_id(self.tool)


def run_without_frame(service, method: str, argument) -> None:
    """`service.<method>(argument)` on a new thread that has no Python frame at all,
    started on the bound method itself; returns once that thread has ended."""
    import _thread

    core_name = {"embed_single": "sparse_embed_single", "embed_batch": "sparse_embed_batch"}[method]
    real = getattr(service.core, core_name)
    entered = threading.Event()

    def core_call(*args):
        entered.set()
        return real(*args)

    setattr(service.core, core_name, core_call)
    try:
        before = _thread._count()
        _thread.start_new_thread(getattr(service, method), (argument,))
        assert entered.wait(30)  # the thread counts from now until it ends
        while _thread._count() > before:
            time.sleep(0.001)
    finally:
        delattr(service.core, core_name)


def run_on_host_thread(service, method: str, argument) -> None:
    """`service.<method>(argument)` as a host application calls in from a thread of its
    own: a native thread that takes the lock with PyGILState_Ensure (here through a
    ctypes callback) and calls the bound method directly."""
    import ctypes
    import ctypes.util
    import functools

    libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6")
    # A start routine that takes no argument: the host calls it with one, which is ignored.
    start = ctypes.CFUNCTYPE(None)(functools.partial(getattr(service, method), argument))
    thread = ctypes.c_ulong()
    assert libc.pthread_create(ctypes.byref(thread), None, start, None) == 0
    assert libc.pthread_join(thread, None) == 0  # ctypes releases the lock meanwhile


@pytest.mark.parametrize("run", [run_without_frame, run_on_host_thread], ids=["_thread", "host thread"])
def test_global_events_seen_from_a_thread_without_frames(service, run):
    if run is run_on_host_thread and not sys.platform.startswith("linux"):
        pytest.skip("needs pthreads through ctypes")
    with Probe() as probe:
        probe.everywhere()
        run(service, "embed_single", "t")
        run(service, "embed_batch", ["x"])
    assert {"loads", "decode", "raw_decode", "__init__", "dumps", "encode", "iterencode"} <= set(probe.seen)
    assert routes(service) == (False, False)


def test_events_on_detect_encoding_seen_for_bytes(service):
    service.core.answer = ANSWER.encode()
    with Probe() as probe:
        probe.on(json.detect_encoding.__code__)
        service.embed_single("t")
        service.core.answer = ANSWER
        service.embed_single("t")
    assert probe.seen == ["detect_encoding"]  # plain code runs it for bytes only


@pytest.mark.parametrize("switch_on", ["profile", "monitoring"])
def test_instrumentation_switched_on_while_the_lock_is_released(service, switch_on):
    """Another thread switches a profiler or monitoring on while a large answer is parsed
    without the lock: json.loads, decode and raw_decode must then be seen returning, as
    they would be in plain code, which was inside them at that moment."""
    answer = '{"indices": [' + ", ".join(["12345"] * 400_000) + '], "values": []}'
    service.core.answer = answer
    seen: list[str] = []

    def profiler(frame, event, arg):
        if event == "return":
            seen.append(frame.f_code.co_name)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(30)  # the switch comes from the lock release alone
    try:
        for _ in range(5):  # until the other thread gets its turn inside the window
            seen.clear()
            calling = threading.Event()
            inside: list[bool] = []
            state = {"in_call": False}

            def switcher():
                calling.wait()
                inside.append(state["in_call"])
                if switch_on == "profile":
                    threading.setprofile_all_threads(profiler)
                else:
                    probe.monitoring.set_events(probe.tool, probe.monitoring.events.PY_RETURN)

            def answer_now(text, profile):
                state["in_call"] = True
                calling.set()
                return answer

            service.core.sparse_embed_single = answer_now
            with Probe() as probe:
                probe.monitoring.register_callback(probe.tool, probe.monitoring.events.PY_START, None)
                probe.monitoring.register_callback(probe.tool, probe.monitoring.events.PY_RETURN,
                                                   lambda code, offset, value: seen.append(code.co_name))
                other = threading.Thread(target=switcher)
                other.start()
                try:
                    record = service.embed_single("t")
                    state["in_call"] = False
                finally:
                    other.join()
                    threading.setprofile_all_threads(None)
                    probe.monitoring.set_events(probe.tool, 0)
                    probe.monitoring.register_callback(probe.tool, probe.monitoring.events.PY_RETURN, None)
            if inside == [True]:
                break
        else:
            pytest.fail("the other thread never ran while the answer was parsed")
    finally:
        sys.setswitchinterval(interval)
    assert {"loads", "decode", "raw_decode"} <= set(seen), seen
    assert record.indices == json.loads(answer)["indices"]


# ---- signals ------------------------------------------------------------------------

class Interrupted(Exception):
    pass


def interrupted_run(embed, arguments):
    """`list(map(embed, arguments))`, a caller without Python frames, while another thread
    sends SIGUSR1 to this one as soon as it can run: while the native core computes
    without the lock. Returns the call during which the signal was sent, the calls made
    when the handler's exception came out, and that exception's traceback."""
    import operator
    import signal

    def handler(signum, frame):
        raise Interrupted

    pending = iter(arguments)
    go = threading.Event()
    sent: list[int] = []

    def sender():
        go.wait()
        sent.append(len(arguments) - operator.length_hint(pending))
        signal.pthread_kill(threading.main_thread().ident, signal.SIGUSR1)

    previous = signal.signal(signal.SIGUSR1, handler)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(30)  # the sender runs when the core releases the lock
    other = threading.Thread(target=sender)
    other.start()
    try:
        go.set()
        with pytest.raises(Interrupted) as caught:
            list(map(embed, pending))
    finally:
        other.join()
        sys.setswitchinterval(interval)
        signal.signal(signal.SIGUSR1, previous)
    made = len(arguments) - operator.length_hint(pending)
    return sent[0], made, [entry.name for entry in traceback.extract_tb(caught.value.__traceback__)]


@pytest.mark.skipif(not hasattr(__import__("signal"), "pthread_kill"), reason="needs signal.pthread_kill")
@pytest.mark.parametrize("path", ["embed_single", "embed_batch"])
def test_signal_handler_runs_where_json_loads_would(sparse, path):
    """The handler's exception stops the call during which the signal arrived, in
    json.loads, as with plain code; the native route does not run on to the last call."""
    import functools
    import importlib

    sparse.velmorrow_core_py = importlib.import_module("velmorrow_core_py")
    # Texts the core takes whole: each call computes long enough for the sender to run.
    sparse.settings = types.SimpleNamespace(sparse_profile_version="v1", sparse_max_text_chars=10**9,
                                            code_pretokenize=True)
    service = sparse.SparseEmbeddingService()
    text = "parseHttpHeader readValue " * 40_000
    arguments = [text] * 8 if path == "embed_single" else [[text]] * 8
    embed = getattr(service, path)
    getattr(service, path)(arguments[0])  # captured and warm
    sent, made, where = interrupted_run(embed, arguments)
    assert made == sent, (sent, made)
    assert where[-2:] == ["loads", "handler"], where
    # The same with json.loads behind a C-level call, which the native route never takes.
    real = sparse.json
    sparse.json = types.SimpleNamespace(loads=functools.partial(json.loads), dumps=json.dumps)
    try:
        sent, made, plain_where = interrupted_run(embed, arguments)
    finally:
        sparse.json = real
    assert made == sent
    assert plain_where == where


# ---- the record class and the recursion limit -----------------------------------------

FIELDS = ["indices", "values", "truncated", "original_chars", "used_chars"]


def embedding_calls(service):
    return [lambda: service.embed_single("t"), lambda: list(map(service.embed_single, ["t"]))[0],
            lambda: service.embed_batch(["x"])[0]]


def test_init_code_with_other_constants(service, sparse, monkeypatch):
    """A generated __init__ whose code differs only in its constants is another __init__:
    here it returns 1, which plain construction refuses."""
    for call in embedding_calls(service):
        call()
    init = sparse.SparseResult.__init__
    constants = tuple(1 if constant is None else constant for constant in init.__code__.co_consts)
    monkeypatch.setattr(init, "__code__", init.__code__.replace(co_consts=constants))
    with pytest.raises(TypeError) as plain:
        sparse.SparseResult(indices=[], values=[], truncated=None, original_chars=None, used_chars=None)
    for call in embedding_calls(service):
        with pytest.raises(TypeError) as caught:
            call()
        assert str(caught.value) == str(plain.value) == "__init__() should return None, not 'int'"


def test_setattr_added_after_first_use_runs_for_every_field(service, sparse, monkeypatch):
    for call in embedding_calls(service):
        call()
    stored = []

    def setattr_hook(self, name, value):
        stored.append(name)
        object.__setattr__(self, name, value)

    monkeypatch.setattr(sparse.SparseResult, "__setattr__", setattr_hook, raising=False)
    sparse.SparseResult(indices=[], values=[])
    assert stored == FIELDS
    for call in embedding_calls(service):
        stored.clear()
        call()
        assert stored == FIELDS


def outcome(action):
    try:
        return ("value", action())
    except Exception as error:  # the exception itself is what is compared
        return ("error", type(error), str(error))


def with_frames_left(left, action):
    """`action()` called where about `left` Python frames remain below the recursion limit."""
    depth = 0
    frame = sys._getframe()
    while frame is not None:
        depth += 1
        frame = frame.f_back

    def dive(n):
        return outcome(action) if n <= 0 else dive(n - 1)

    return dive(sys.getrecursionlimit() - depth - left)


@pytest.mark.parametrize("path", ["embed_single", "embed_batch"])
def test_near_the_recursion_limit(service, sparse, path):
    """With only a few Python frames left, each path ends as json.loads and json.dumps
    behind a C-level call (the same depth) end: the same exception, or the same record."""
    import functools

    argument = "t" if path == "embed_single" else ["x"]
    embed = getattr(service, path)

    def action():
        made = embed(argument)
        return [vars(record) for record in (made if isinstance(made, list) else [made])]

    action()
    real = sparse.json
    oracle = types.SimpleNamespace(loads=functools.partial(json.loads), dumps=functools.partial(json.dumps))
    kinds = set()
    for left in range(3, 16):
        ours = with_frames_left(left, action)
        sparse.json = oracle
        try:
            theirs = with_frames_left(left, action)
        finally:
            sparse.json = real
        assert ours == theirs, left
        kinds.add(ours[0])
    assert kinds == {"value", "error"}  # the sweep reaches the limit and gets past it


class LookupFailed(Exception):
    pass


class Collider:
    """A namespace key that a lookup of `name` must compare with, and whose comparison fails."""

    def __init__(self, name: str) -> None:
        self.name = name

    def __hash__(self) -> int:
        return hash(self.name)

    def __eq__(self, other: object) -> bool:
        raise LookupFailed(self.name)


@pytest.mark.parametrize(
    ("namespace", "name", "plain_outcome"),
    [(json, "isinstance", LookupFailed), (json.decoder, "float", (True, False)), (json.encoder, "len", (False, True))],
)
def test_failed_namespace_lookup_takes_the_plain_route(service, namespace, name, plain_outcome):
    """A lookup that raises is no proof that a name is unbound: the call goes the plain way."""
    assert routes(service) == (False, False)
    key = Collider(name)
    vars(namespace)[key] = None
    try:
        if plain_outcome is LookupFailed:
            # json.loads itself fails the same lookup, so the call must fail as it does.
            with pytest.raises(LookupFailed):
                service.embed_single("t")
        else:
            assert routes(service) == plain_outcome
    finally:
        del vars(namespace)[key]
    assert routes(service) == (False, False)


def test_failed_builtins_lookup_takes_the_plain_route(python):
    """The same for a builtin the guards check (id, which json does not use), in a fresh
    interpreter: a key put ahead of the name breaks every lookup of it."""
    python("""
        import builtins, json, tracemalloc, types
        import velmorrow.sparse as sparse
        class Collider:
            armed = False
            def __hash__(self):
                return hash("id")
            def __eq__(self, other):
                if self.armed:
                    raise LookupError("id")
                return False
        core = types.ModuleType("velmorrow_core_py")
        core.sparse_embed_single = lambda t, p: '{"indices": ["abcdefghij"], "values": []}'
        sparse.velmorrow_core_py = core
        service = sparse.SparseEmbeddingService()
        service.embed_single("t")
        real = builtins.id
        del builtins.id
        key = Collider()
        vars(builtins)[key] = None
        builtins.id = real
        key.armed = True
        tracemalloc.start()
        made = service.embed_single("t").indices[0]
        assert tracemalloc.get_object_traceback(made)[0].filename.endswith("decoder.py")
    """)
