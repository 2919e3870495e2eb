"""The modules keep process-wide load state, so they refuse a second interpreter of the
process; the refusal must leave the interpreter that loaded them working. Also: the
modules run cleanly in the interpreter's development mode with warnings as errors."""

from __future__ import annotations

import pytest

MODULES = ["velmorrow.sparse", "velmorrow.featuregate", "velmorrow.scanrules"]
REFUSAL = "Interpreter change detected - this module can only be loaded into one interpreter per process."

# Runs `code` in a new subinterpreter; the code reports back by calling report(text), which
# writes to a pipe, since the subinterpreter shares no objects with the caller.
SUBINTERPRETER_HELPERS = r'''
import os
import textwrap
import _xxsubinterpreters as interpreters

def run_in_subinterpreter(code, isolated):
    read_end, write_end = os.pipe()
    interpreter = interpreters.create(isolated=isolated)
    prelude = (
        "import os\n"
        f"def report(text):\n    os.write({write_end}, (str(text) + '\\n').encode('utf-8', 'backslashreplace'))\n"
    )
    try:
        interpreters.run_string(interpreter, prelude + textwrap.dedent(code))
    finally:
        interpreters.destroy(interpreter)
        os.close(write_end)
    with os.fdopen(read_end, encoding="utf-8") as reports:
        return reports.read().splitlines()

IMPORT_AND_REPORT = """
import importlib
for name in NAMES:
    try:
        importlib.import_module(name)
    except BaseException as error:
        report(f"{name}: {type(error).__name__}: {error}")
    else:
        report(f"{name}: loaded")
"""

# Uses each module in the interpreter that runs this, and reports what came back.
EXERCISE = """
import velmorrow.featuregate as featuregate
import velmorrow.scanrules as scanrules
import velmorrow.sparse as sparse
featuregate._cached_capabilities = None
report(featuregate.require_capability("ignore_builtin_replace", "check"))
report(scanrules.build_scan_config("/repo")["repo_root"])
sparse.reset_sparse_service()
report(sparse.get_sparse_service().embed_batch(["fooBar"])[0].indices == sparse.get_sparse_service().embed_single("fooBar").indices)
"""
'''

EXERCISED = ["None", "/repo", "True"]


def check_output(python, code: str) -> list[str]:
    result = python(SUBINTERPRETER_HELPERS + code)
    return result.stdout.splitlines()


@pytest.mark.parametrize("name", MODULES)
def test_shared_interpreter_is_refused_after_the_main_one_loaded(python, name):
    lines = check_output(
        python,
        f"""
import importlib, sys
module = importlib.import_module({name!r})
print("\\n".join(run_in_subinterpreter(IMPORT_AND_REPORT.replace("NAMES", repr([{name!r}])), isolated=False)))
# The main interpreter keeps the very same module object, and it still works.
assert sys.modules[{name!r}] is module
assert importlib.import_module({name!r}) is module
def report(text):
    print(text)
exec(EXERCISE)
""",
    )
    assert lines == [f"{name}: ImportError: {REFUSAL}", *EXERCISED]


def test_refusal_is_repeatable_and_covers_every_module(python):
    lines = check_output(
        python,
        """
import velmorrow.featuregate, velmorrow.scanrules, velmorrow.sparse
code = IMPORT_AND_REPORT.replace("NAMES", repr(["velmorrow.sparse", "velmorrow.featuregate", "velmorrow.scanrules"]))
for _ in range(2):
    print("\\n".join(run_in_subinterpreter(code, isolated=False)))
def report(text):
    print(text)
exec(EXERCISE)
""",
    )
    refusals = [f"{name}: ImportError: {REFUSAL}" for name in MODULES]
    assert lines == refusals + refusals + EXERCISED


def test_subinterpreter_that_loads_first_keeps_the_modules(python):
    """The first interpreter to load a module owns it for the life of the process, even
    when that is a subinterpreter: the main interpreter is refused afterwards."""
    lines = check_output(
        python,
        """
import importlib
print("\\n".join(run_in_subinterpreter(EXERCISE, isolated=False)))
for name in ["velmorrow.sparse", "velmorrow.featuregate", "velmorrow.scanrules"]:
    try:
        importlib.import_module(name)
    except ImportError as error:
        print(f"{name}: {type(error).__name__}: {error}")
    else:
        print(f"{name}: loaded")
""",
    )
    assert lines == EXERCISED + [f"{name}: ImportError: {REFUSAL}" for name in MODULES]


@pytest.mark.parametrize("order", ["main first", "subinterpreter first"])
def test_interpreter_with_its_own_lock_is_refused_by_the_import_system(python, order):
    """Process-wide state cannot serve interpreters that run in parallel: the modules do
    not claim support for a per-interpreter lock, so such an interpreter cannot load them,
    whichever loads first, and the main interpreter is unaffected."""
    load_first = "import velmorrow.sparse, velmorrow.featuregate, velmorrow.scanrules" if order == "main first" else ""
    lines = check_output(
        python,
        f"""
{load_first}
code = IMPORT_AND_REPORT.replace("NAMES", repr(["velmorrow.sparse", "velmorrow.featuregate", "velmorrow.scanrules"]))
print("\\n".join(run_in_subinterpreter(code, isolated=True)))
def report(text):
    print(text)
exec(EXERCISE)
""",
    )
    assert [line.split(": ")[:2] for line in lines[:3]] == [[name, "ImportError"] for name in MODULES]
    assert all("subinterpreters" in line for line in lines[:3])
    assert lines[3:] == EXERCISED


# ---- development mode, warnings as errors ---------------------------------------------

DEV_MODE = ["-X", "dev", "-W", "error"]


def test_every_path_runs_clean_in_development_mode(python):
    """Imports, calls, failures, reload and shutdown: no warning (each would be an
    error) and nothing written to stderr, where development mode reports problems."""
    result = python(
        """
        import gc, importlib, json, sys, types
        assert sys.flags.dev_mode
        import velmorrow.featuregate as featuregate
        import velmorrow.scanrules as scanrules
        import velmorrow.sparse as sparse

        service = sparse.get_sparse_service()
        assert len(service.embed_batch(["fooBar", "", "\\ud800"])) == 3
        assert service.embed_single("snake_case").indices
        assert service.embed_batch_list([], 3.7) == []
        featuregate.require_capability("ignore_builtin_replace", "dev mode")
        scanrules.settings.builtin_ignore_replace = True
        assert scanrules.build_scan_config("/repo")["replace_builtin_patterns"] is True

        def fails(error, call):
            try:
                call()
            except error:
                return
            raise AssertionError(call)

        fails(TypeError, lambda: service.embed_single(None))
        fails(TypeError, lambda: service.embed_batch(("a",)))
        fails(ValueError, lambda: service.embed_batch_list(["a"], float("nan")))
        fails(RuntimeError, lambda: featuregate.require_capability("absent", "dev mode"))
        fails(TypeError, lambda: scanrules.build_scan_config())
        broken = types.ModuleType("velmorrow_core_py")
        broken.handshake = lambda: "{not json"
        broken.sparse_embed_batch = lambda *args: b'{"embeddings": [{"indices": []}]}'
        real_core, sys.modules["velmorrow_core_py"] = sys.modules["velmorrow_core_py"], broken
        featuregate._cached_capabilities = None
        fails(json.JSONDecodeError, lambda: featuregate._load_capabilities())
        sparse.velmorrow_core_py = broken
        fails(KeyError, lambda: service.embed_batch(["a"]))
        sys.modules["velmorrow_core_py"] = real_core
        sparse.velmorrow_core_py = real_core

        for name in ("velmorrow.sparse", "velmorrow.featuregate", "velmorrow.scanrules"):
            module = sys.modules.pop(name)
            assert importlib.import_module(name) is module
            assert importlib.reload(module) is module
        sparse.reset_sparse_service()
        featuregate._cached_capabilities = None
        gc.collect()
        print("done")
        """,
        *DEV_MODE,
    )
    assert result.stdout == "done\n"
    assert result.stderr == ""

