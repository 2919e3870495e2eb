"""The file list of `velmorrow embed DIR` on a large tree. Run by hand, not in CI:

    python bench/bench_walk.py [--rounds 15] [--copies 4] [--old-rev REV]

The tree is `--copies` copies of the interpreter's standard library (about 8,500 files
each) in one git repository, everything committed except `__pycache__`, which a
`.gitignore` leaves out. Each round lists it once through git and once with the walk
without git (and, with --old-rev, with the `_walk.py` of that git revision), the variants
interleaved. It prints the median wall time and CPU time (this process and its children,
git included) of each, and the median of the per-round ratios, since the machine may be
shared and noisy.
"""

from __future__ import annotations

import argparse
import importlib.util
import os
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
import warnings
from collections.abc import Callable, Iterable
from pathlib import Path

from velmorrow import _walk
from velmorrow.config import BUILTIN_IGNORE_PATTERNS

CONFIG = {
    "repo_root": "",
    "builtin_patterns": list(BUILTIN_IGNORE_PATTERNS),
    "extra_patterns": [],
    "ignore_mode": "git+velmorrow",
    "use_gitignore": True,
    "use_velmorrowignore": True,
    "replace_builtin_patterns": False,
}


def make_tree(root: Path, copies: int) -> None:
    stdlib = sysconfig.get_paths()["stdlib"]
    for n in range(copies):
        shutil.copytree(stdlib, root / f"lib{n}", symlinks=True, ignore_dangling_symlinks=True)
    (root / ".gitignore").write_text("__pycache__/\n")
    git = ["git", "-c", "user.name=bench", "-c", "user.email=bench@example.com"]
    subprocess.run([*git, "init", "-q"], cwd=root, check=True)
    subprocess.run([*git, "add", "-A"], cwd=root, check=True)
    subprocess.run([*git, "commit", "-q", "-m", "tree"], cwd=root, check=True)


def load_old(rev: str) -> Callable[..., Iterable[str]]:
    source = subprocess.run(
        ["git", "show", f"{rev}:src/velmorrow/_walk.py"], capture_output=True, check=True, text=True
    ).stdout
    directory = tempfile.mkdtemp()
    path = os.path.join(directory, "walk_old.py")
    Path(path).write_text(source)
    spec = importlib.util.spec_from_file_location("walk_old", path)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    sys.modules["walk_old"] = module  # its dataclasses look their module up
    spec.loader.exec_module(module)
    return module.walk  # type: ignore[no-any-return]


def without_git(root: str, config: dict[str, object], notes: _walk.Notes) -> Iterable[str]:
    _walk.GIT_COMMAND = "velmorrow-bench-no-git"
    try:
        return list(_walk.walk(root, config, notes))
    finally:
        _walk.GIT_COMMAND = "git"


def measure(walk: Callable[..., Iterable[str]], root: str) -> tuple[float, float, int]:
    before, started = os.times(), time.perf_counter()
    count = sum(1 for _ in walk(root, CONFIG, lambda note: None))
    wall, after = time.perf_counter() - started, os.times()
    cpu = sum(after[:4]) - sum(before[:4])
    return wall, cpu, count


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--copies", type=int, default=4)
    parser.add_argument("--old-rev", help="also time the walk of this git revision")
    args = parser.parse_args()
    variants: dict[str, Callable[..., Iterable[str]]] = {"git": _walk.walk, "own walk": without_git}
    if args.old_rev:
        warnings.simplefilter("ignore")
        variants["old"] = load_old(args.old_rev)
    with tempfile.TemporaryDirectory() as scratch:
        root = Path(scratch) / "tree"
        root.mkdir()
        make_tree(root, args.copies)
        files = sum(len(names) for _, _, names in os.walk(root / "lib0")) * args.copies
        print(f"{files} files, {args.rounds} rounds", file=sys.stderr)
        results: dict[str, list[tuple[float, float, int]]] = {name: [] for name in variants}
        for _ in range(args.rounds):
            for name, walk in variants.items():
                results[name].append(measure(walk, str(root)))
    base = results["git"]
    for name, rounds in results.items():
        walls, cpus, counts = zip(*rounds)
        line = f"{name:9} files {counts[0]:6}  wall {statistics.median(walls) * 1000:6.0f} ms  cpu {statistics.median(cpus) * 1000:6.0f} ms"
        if name != "git":
            ratio = statistics.median(b[0] / r[0] for b, r in zip(base, rounds))
            cpu_ratio = statistics.median(b[1] / max(r[1], 1e-9) for b, r in zip(base, rounds))
            line += f"  git/{name}: wall {ratio:.2f}x cpu {cpu_ratio:.2f}x"
        print(line)


if __name__ == "__main__":
    main()
