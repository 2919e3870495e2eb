"""Reference-leak checks: a leaked reference to an object that already exists (a module
function, `settings`, `json.loads`) allocates nothing, so block counts cannot see it. Each
path of leak_paths runs many times in a fresh interpreter while the reference counts of the
long-lived objects, and their sum over every object the collector tracks, are compared
before and after."""

from __future__ import annotations

import json
import pathlib

import pytest

TESTS = pathlib.Path(__file__).parent

HARNESS = r'''
import builtins, gc, json, logging, sys
sys.path.insert(0, TESTS)
import leak_paths

RUNS = 200
WARMUP = 20
leaks, measured = [], []
LONG_LIVED_MODULES = ("velmorrow.sparse", "velmorrow.featuregate", "velmorrow.scanrules",
                      "velmorrow.config", "velmorrow_core_py", "json", "logging", "pathlib",
                      "dataclasses", "builtins", "sys", "leak_paths")


def long_lived():
    """The modules the paths use, their globals, the members of their classes, the
    settings objects and their values, and the modules' loggers."""
    found, seen = [], set()

    def add(value):
        if id(value) not in seen:
            seen.add(id(value))
            found.append(value)

    for name in LONG_LIVED_MODULES:
        module = sys.modules.get(name)
        if module is None:
            continue
        add(module)
        for value in list(vars(module).values()):
            add(value)
            if isinstance(value, type):
                for member in list(vars(value).values()):
                    add(member)
                    if isinstance(member, property):
                        add(member.fget)
    for settings in (leak_paths.SETTINGS, getattr(sys.modules.get("velmorrow.config"), "settings", None)):
        if settings is None:
            continue
        add(settings)
        for value in list(getattr(settings, "values", vars(settings)).values()):
            add(value)
    for name in ("velmorrow.sparse", "velmorrow.featuregate"):
        add(logging.getLogger(name))
    return found


def collected_total():
    # Every reference to a collector-tracked object counts, also one from a leaked C pointer.
    total = sum(map(sys.getrefcount, gc.get_objects()))
    return total + (sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0)


def measure(label, action, runs=None, tolerance=None):
    runs = RUNS if runs is None else runs // 4
    tolerance = runs // 2 if tolerance is None else tolerance // 4
    for _ in range(WARMUP):
        action()
    measured.append(label)
    objects = long_lived()
    # One leaked reference per run adds `runs` to a count in every round; a cache that
    # fills once grows in one round only.
    for _ in range(3):
        gc.collect()
        before = [sys.getrefcount(value) for value in objects]
        total_before = collected_total()
        for _ in range(runs):
            action()
        gc.collect()
        total_growth = collected_total() - total_before
        grown = [(repr(value)[:80], sys.getrefcount(value) - count)
                 for value, count in zip(objects, before) if sys.getrefcount(value) - count >= tolerance]
        if not grown and total_growth < tolerance:
            return
    leaks.append(f"{label}: {grown} of long-lived objects, {total_growth} in all over {runs} runs")


leak_paths.run(SECTION, measure)
print(json.dumps({"measured": measured, "leaks": leaks}))
'''


@pytest.mark.parametrize(("section", "minimum_paths"), [("load", 10), ("fake core", 100), ("real core", 5)])
def test_no_reference_growth_per_run(python, section, minimum_paths):
    result = python(f"TESTS = {str(TESTS)!r}\nSECTION = {section!r}\n{HARNESS}")
    report = json.loads(result.stdout.splitlines()[-1])
    assert len(report["measured"]) >= minimum_paths, report["measured"]
    assert report["leaks"] == [], "paths that leak references:\n" + "\n".join(report["leaks"])


def test_the_count_sees_a_leaked_reference_to_an_existing_object(python):
    """The harness itself: one extra reference to a module function per run is reported,
    although it allocates no memory block."""
    code = f"TESTS = {str(TESTS)!r}\nSECTION = 'none'\n" + HARNESS.replace(
        "leak_paths.run(SECTION, measure)",
        "import ctypes, velmorrow.featuregate as fg\n"
        "incref = ctypes.pythonapi.Py_IncRef\n"
        "incref.argtypes = [ctypes.py_object]\n"
        "measure('leaky', lambda: (incref(fg.require_capability), fg._load_capabilities()))\n"
        "measure('clean', fg._load_capabilities)\n"
        # An object outside the long-lived set shows in the sum over all tracked objects.
        "hidden = [[]]\n"
        "measure('leaky elsewhere', lambda: (incref(hidden[0]), fg._load_capabilities()))",
    )
    report = json.loads(python(code).stdout.splitlines()[-1])
    assert report["measured"] == ["leaky", "clean", "leaky elsewhere"]
    assert [line.split(":")[0] for line in report["leaks"]] == ["leaky", "leaky elsewhere"]
    assert "require_capability" in report["leaks"][0]
    assert report["leaks"][1].startswith("leaky elsewhere: [] of long-lived objects")
