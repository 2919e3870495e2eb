#!/usr/bin/env python3
"""Mutation runner for the C++ runtime: how many small source changes does the suite notice?

Each mutant changes one line of one runtime source, rebuilds incrementally and runs the
suite's native part; a failure, crash or timeout kills it. A mutant the suite misses is
also tried against an older suite (a commit whose tests/ is extracted to a temporary
folder, only its tests that pass on the unmutated build), to see whether it was killed
before. The source file is restored after every mutant, whatever happens.

Run from the repository root, in a virtualenv holding the build tools and the test
requirements (scikit-build-core, cmake, ninja, pytest, hypothesis); the package is
installed into that virtualenv, built in $MUTANTS_BUILD_DIR (default build/mutants, which git ignores)
so that a mutant recompiles only what includes the changed file:

    python .ci/mutants.py --count 80 --log /tmp/mutants.jsonl      # sample and run
    python .ci/mutants.py --list                                   # the sample only
    python .ci/mutants.py --only src/runtime/record.cpp:120        # re-run mutants on a line
    python .ci/mutants.py --only src/runtime/record.cpp:120 --no-old --tests tests/json
    python .ci/mutants.py --report /tmp/mutants.jsonl              # table from a log

The log has one JSON line per mutant, so a run can be watched, stopped and reported on.
"""

from __future__ import annotations

import argparse
import dataclasses
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# Sampled groups and their share of the mutants: the guards and the runtime proper are
# weighted up, as the test reorganisation moved most of their tests.
GROUPS: dict[str, tuple[float, list[str]]] = {
    "guards": (0.32, ["src/runtime/guards/*"]),
    "runtime": (
        0.36,
        ["src/runtime/record.cpp", "src/runtime/runtime.cpp", "src/runtime/function.cpp", "src/runtime/names.cpp"],
    ),
    "json": (0.18, ["src/runtime/json/*"]),
    "sparse": (0.14, ["src/velmorrow/sparse.cpp"]),
}
TEST_DIRS = ["tests/runtime", "tests/json", "tests/modules", "tests/resources"]
OLD_COMMIT = "9f1436c"
BUILD_DIR = os.environ.get("MUTANTS_BUILD_DIR", "build/mutants")

SWAPS = [
    ("==", " == ", " != "),
    ("!=", " != ", " == "),
    ("<", " < ", " <= "),
    ("<=", " <= ", " < "),
    (">", " > ", " >= "),
    (">=", " >= ", " > "),
    ("&&", " && ", " || "),
    ("||", " || ", " && "),
]
CALL_OR_ASSIGN = re.compile(
    r"^\s*(?:"
    r"[\w.\->\[\]*:]+\s*(?:=|\+=|-=|\|=|&=|\^=|<<=|>>=)\s*[^=].*"  # target = value
    r"|(?:\+\+|--)?[\w.\->\[\]*:]+(?:\+\+|--)?"  # ++x / x++
    r"|[\w.\->:<>, ]*\w\s*\(.*\)"  # a call
    r");\s*$"
)
DECLARATION_START = re.compile(r"^\s*(?:return|const|auto|static|constexpr|using|typedef|goto|case|delete|throw)\b")


@dataclasses.dataclass(frozen=True)
class Mutant:
    path: str
    line: int  # 1-based
    operator: str
    before: str
    after: str

    @property
    def key(self) -> str:
        return f"{self.path}:{self.line}:{self.operator}"


def code_mask(lines: list[str]) -> list[str | None]:
    """Each line with comments and string contents blanked, or None for a line not to touch."""
    out: list[str | None] = []
    in_block = False
    raw_end: str | None = None
    for text in lines:
        if raw_end is not None:
            out.append(None)
            if raw_end in text:
                raw_end = None
            continue
        stripped = text.strip()
        if in_block:
            out.append(None)
            if "*/" in text:
                in_block = False
            continue
        if stripped.startswith("#") or "static_assert" in text or stripped.startswith("//"):
            out.append(None)
            continue
        raw = re.search(r'R"([^(\s]*)\(', text)
        if raw and (")" + raw.group(1) + '"') not in text[raw.end():]:
            raw_end = ")" + raw.group(1) + '"'
            out.append(None)
            continue
        if stripped.startswith("/*"):
            out.append(None)
            in_block = "*/" not in text
            continue
        masked = re.sub(r'"(?:\\.|[^"\\])*"', lambda m: '"' + "_" * (len(m.group()) - 2) + '"', text)
        masked = re.sub(r"'(?:\\.|[^'\\])'", lambda m: "'" + "_" * (len(m.group()) - 2) + "'", masked)
        cut = masked.find("//")
        if cut >= 0:
            masked = masked[:cut] + " " * (len(masked) - cut)
        out.append(masked)
    return out


def mutants_of(path: str) -> list[Mutant]:
    lines = (ROOT / path).read_text().splitlines(keepends=True)
    masks = code_mask(lines)
    found: list[Mutant] = []

    def add(index: int, operator: str, after: str) -> None:
        found.append(Mutant(path, index + 1, operator, lines[index], after))

    for i, mask in enumerate(masks):
        if mask is None:
            continue
        text = lines[i]
        for name, old, new in SWAPS:
            for m in re.finditer(re.escape(old), mask):
                add(i, f"{name}#{m.start()}", text[: m.start()] + new + text[m.end():])
        for m in re.finditer(r"(?<![!=<>\w])!(?!=)", mask):
            add(i, f"drop!#{m.start()}", text[: m.start()] + text[m.end():])
        for a, b in (("true", "false"), ("false", "true")):
            for m in re.finditer(rf"\breturn {a};", mask):
                add(i, f"return-{a}", text[: m.start()] + f"return {b};" + text[m.end():])
        for m in re.finditer(r"(?<![\w.])(\d+)(?![\w.'])", mask):
            value = int(m.group(1))
            for delta in (1, -1):
                if value + delta < 0:
                    continue
                add(i, f"const{delta:+d}#{m.start()}", text[: m.start()] + str(value + delta) + text[m.end():])
        stripped = mask.strip()
        previous = next((m for m in reversed(masks[:i]) if m is not None and m.strip()), "")
        if (
            stripped.endswith(";")
            and CALL_OR_ASSIGN.match(mask)
            and not DECLARATION_START.match(mask)
            and mask.count("(") == mask.count(")")
            and previous.rstrip().endswith((";", "{", "}"))
        ):
            indent = text[: len(text) - len(text.lstrip())]
            add(i, "delete-statement", indent + ";\n")
        early = re.search(r"\breturn (?:false|\{\});", mask)
        if early:
            if re.match(r"^\s*if\s*\(.*\)\s*return (?:false|\{\});\s*$", mask):
                add(i, "drop-early-return", text[: early.start()] + "{}" + text[early.end():])
            elif stripped in ("return false;", "return {};") and re.search(r"^\s*(?:if|else if)\b.*[){]\s*$", previous):
                indent = text[: len(text) - len(text.lstrip())]
                add(i, "drop-early-return", indent + "{}\n")
    return found


def sample(count: int, seed: int) -> list[Mutant]:
    rng = random.Random(seed)
    chosen: list[Mutant] = []
    for share, patterns in GROUPS.values():
        files = sorted({str(p.relative_to(ROOT)) for pattern in patterns for p in ROOT.glob(pattern)})
        # One mutant per line at most, so that a sample spreads over the code.
        by_line: dict[tuple[str, int], list[Mutant]] = {}
        for path in files:
            for mutant in mutants_of(path):
                by_line.setdefault((mutant.path, mutant.line), []).append(mutant)
        keys = sorted(by_line)
        picked = rng.sample(keys, min(len(keys), round(count * share)))
        chosen.extend(rng.choice(by_line[k]) for k in picked)
    rng.shuffle(chosen)
    return chosen


def run(cmd: list[str], timeout: float, cwd: Path = ROOT) -> tuple[str, str]:
    """("ok" | "failed" | "timeout", last lines of output)."""
    try:
        done = subprocess.run(cmd, cwd=cwd, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return "timeout", ""
    tail = "\n".join((done.stdout + done.stderr).strip().splitlines()[-6:])
    return ("ok" if done.returncode == 0 else "failed"), tail


def build() -> tuple[str, str]:
    cmd = [sys.executable, "-m", "pip", "install", "-q", ".", "--no-build-isolation", "--no-deps",
           "-C", f"build-dir={BUILD_DIR}"]
    return run(cmd, timeout=600)


def pytest_cmd(paths: list[str], extra: list[str]) -> list[str]:
    return [sys.executable, "-m", "pytest", *paths, "-x", "-q", "-p", "no:cacheprovider", *extra]


class OldSuite:
    """The older suite's native tests in a temporary folder, less those failing unmutated."""

    def __init__(self, commit: str, timeout: float) -> None:
        self.folder = Path(tempfile.mkdtemp(prefix="mutants-old-"))
        archive = subprocess.run(["git", "archive", commit, "tests"], cwd=ROOT, capture_output=True, check=True)
        subprocess.run(["tar", "-x", "-C", str(self.folder)], input=archive.stdout, check=True)
        for stale in (self.folder / "tests").glob("test_cli*.py"):
            stale.unlink()
        self.timeout = timeout
        self.deselect: list[str] | None = None

    def prepare(self) -> None:
        """Run once unmutated; what fails there is left out of every later run."""
        done = subprocess.run(
            [sys.executable, "-m", "pytest", "tests", "-q", "-p", "no:cacheprovider", "-rf", "--tb=no"],
            cwd=self.folder, capture_output=True, text=True, timeout=self.timeout * 3,
        )
        failing = re.findall(r"^(?:FAILED|ERROR) (\S+)", done.stdout, re.MULTILINE)
        self.deselect = [arg for node in failing for arg in ("--deselect", node.split(" - ")[0])]
        print(f"old suite: {len(failing)} tests fail unmutated and are left out", flush=True)

    def kills(self) -> tuple[str, str]:
        assert self.deselect is not None
        return run(pytest_cmd(["tests"], self.deselect), self.timeout, cwd=self.folder)

    def close(self) -> None:
        shutil.rmtree(self.folder, ignore_errors=True)


def try_mutant(mutant: Mutant, timeout: float, old: OldSuite | None) -> dict[str, object]:
    source = ROOT / mutant.path
    original = source.read_bytes()
    lines = original.decode().splitlines(keepends=True)
    assert lines[mutant.line - 1] == mutant.before, f"{mutant.key}: source changed"
    result: dict[str, object] = {"key": mutant.key, "before": mutant.before.strip(), "after": mutant.after.strip()}
    started = time.monotonic()
    try:
        lines[mutant.line - 1] = mutant.after
        source.write_text("".join(lines))
        built, tail = build()
        if built != "ok":
            result["outcome"] = "unbuilt"
            return result
        new, tail = run(pytest_cmd(TEST_DIRS, []), timeout)
        result["new"] = new
        result["new_tail"] = tail if new == "failed" else ""
        if new == "ok" and old is not None:
            result["old"], old_tail = old.kills()
            result["old_tail"] = old_tail if result["old"] == "failed" else ""
        result["outcome"] = "killed" if new != "ok" else ("old-only" if result.get("old") not in (None, "ok") else "survived")
        return result
    finally:
        source.write_bytes(original)
        result["seconds"] = round(time.monotonic() - started, 1)


def report(results: list[dict[str, object]]) -> None:
    print(f"\n{'file:line':<44} {'operator':<22} outcome")
    for r in results:
        path, line, operator = str(r["key"]).rsplit(":", 2)
        print(f"{path + ':' + line:<44} {operator:<22} {r['outcome']}")
    built = [r for r in results if r["outcome"] != "unbuilt"]
    killed_new = sum(r["outcome"] == "killed" for r in built)
    old_only = sum(r["outcome"] == "old-only" for r in built)
    survived = sum(r["outcome"] == "survived" for r in built)
    print(f"\nbuilt {len(built)} of {len(results)}; killed by the current suite {killed_new}; "
          f"missed by it but killed by the old suite {old_only}; survived both {survived}")
    if built:
        print(f"kill rate of the current suite: {killed_new / len(built):.1%}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--count", type=int, default=80)
    parser.add_argument("--seed", type=int, default=20261208)
    parser.add_argument("--timeout", type=float, default=240, help="seconds per test run; a timeout kills")
    parser.add_argument("--log", type=Path, help="append one JSON line per mutant; mutants already logged are skipped")
    parser.add_argument("--list", action="store_true", help="print the sample and stop")
    parser.add_argument("--only", help="path:line[:operator] - run the mutants of that line, sampled or not")
    parser.add_argument("--no-old", action="store_true", help="do not try survivors against the old suite")
    parser.add_argument("--tests", nargs="+", help="test paths or node ids to run instead of the native part")
    parser.add_argument("--report", type=Path, help="print the table of a log and stop")
    args = parser.parse_args()

    if args.tests:
        TEST_DIRS[:] = args.tests
    if args.report:
        report([json.loads(line) for line in args.report.read_text().splitlines() if line.strip()])
        return 0
    if args.only:
        path, line, *operator = args.only.split(":", 2)
        mutants = [m for m in mutants_of(path) if m.line == int(line) and (not operator or m.operator == operator[0])]
    else:
        mutants = sample(args.count, args.seed)
    if args.list:
        for m in mutants:
            print(f"{m.key:<60} {m.after.strip()}")
        return 0

    done: dict[str, dict[str, object]] = {}
    if args.log and args.log.exists() and not args.only:
        done = {r["key"]: r for r in map(json.loads, args.log.read_text().splitlines()) if r}
    old = None if args.no_old else OldSuite(OLD_COMMIT, args.timeout)
    results: list[dict[str, object]] = []
    try:
        if build()[0] != "ok":
            print("the unmutated tree does not build", file=sys.stderr)
            return 2
        if old is not None:
            old.prepare()
        for n, mutant in enumerate(mutants, 1):
            if mutant.key in done:
                results.append(done[mutant.key])
                continue
            result = try_mutant(mutant, args.timeout, old)
            results.append(result)
            print(f"[{n}/{len(mutants)}] {mutant.key} {result['outcome']} ({result['seconds']} s): "
                  f"{result['after']}", flush=True)
            if args.log:
                with args.log.open("a") as log:
                    log.write(json.dumps(result) + "\n")
    finally:
        if old is not None:
            old.close()
        # Leave the unmutated build installed.
        build()
    report(results)
    return 0


if __name__ == "__main__":
    sys.exit(main())
