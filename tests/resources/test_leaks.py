"""Allocation-leak checks: each public path of leak_paths, success and failure alike, runs
many times in a fresh interpreter while the allocated memory blocks are counted before and
after. test_refcounts counts the references that allocate nothing."""

from __future__ import annotations

import json
import pathlib

import pytest

TESTS = pathlib.Path(__file__).parent

HARNESS = r'''
import gc, json, sys
sys.path.insert(0, TESTS)
import leak_paths

RUNS = 2000
WARMUP = 100
leaks, measured = [], []


def measure(label, action, runs=None, tolerance=None):
    runs = RUNS if runs is None else runs
    tolerance = runs // 4 if tolerance is None else tolerance
    for _ in range(WARMUP):
        action()
    measured.append(label)
    growths = []
    # One leaked object per run shows as at least `runs` blocks in every round; caches that
    # settle late (type caches, free lists) grow in one round only.
    for _ in range(3):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(runs):
            action()
        gc.collect()
        growths.append(sys.getallocatedblocks() - before)
        if growths[-1] < tolerance:
            return
    leaks.append(f"{label}: +{growths} blocks over {runs} runs per round")


leak_paths.run(SECTION, measure)
print(json.dumps({"measured": measured, "leaks": leaks}))
'''


@pytest.mark.parametrize(("section", "minimum_paths"), [("load", 10), ("fake core", 100), ("real core", 5)])
def test_no_allocation_growth_per_run(python, section, minimum_paths):
    # Block counts need the interpreter's own allocator, also where the sanitizer run
    # switches it off for everything else.
    code = f"TESTS = {str(TESTS)!r}\nSECTION = {section!r}\n{HARNESS}"
    result = python(code, env={"PYTHONMALLOC": "pymalloc"})
    report = json.loads(result.stdout.splitlines()[-1])
    assert len(report["measured"]) >= minimum_paths, report["measured"]
    assert report["leaks"] == [], "paths that leak:\n" + "\n".join(report["leaks"])
