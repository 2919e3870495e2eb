"""The `velmorrow embed` command line end to end, as a user runs it. Run by hand, not in CI:

    python bench/bench_cli.py [--rounds 5] [--files 600] [--file-kb 100] [--tree DIR]

Two measurements, each a fresh `python -m velmorrow embed DIR > /dev/null` per run:

- peak RSS on a generated tree (default 600 files of 100 KB, 60 MB), with 1 and 2 jobs,
  and, for comparison, the command line of a given git revision (--old-rev) that read the
  whole tree before embedding anything;
- MB/s on a large source tree (default: the interpreter's standard library) with 1 and 2
  jobs, the variants interleaved round by round; it prints the median of each and the
  median of the per-round ratios, since the machine is shared and noisy.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

from velmorrow.cli import _check_paths, measure_inputs

WORDS = ["parseHttpHeader", "raw_bytes", "HTTPServer", "utf8Decode", "return", "self", "value",
         "snake_case_name", "camelCaseName", "index", "buffer", "max_retries", "def", "class"]
OLD_LAUNCHER = "import sys; sys.path.insert(0, sys.argv.pop(1)); import cli_old; raise SystemExit(cli_old.main(sys.argv[1:]))"


def make_tree(root: Path, files: int, size: int) -> None:
    """Deterministic code-like files of `size` bytes, 20 to a directory."""
    for n in range(files):
        words, length, k = [], 0, n
        while length < size:
            word = WORDS[k % len(WORDS)] + str(k % 89)
            words.append(word)
            length += len(word) + 1
            k = (k * 1103515245 + 12345) % 2**31
        lines = [" ".join(words[i : i + 10]) for i in range(0, len(words), 10)]
        path = root / f"pkg{n // 20:03}" / f"module{n:04}.py"
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text("\n".join(lines)[:size])


def run(command: list[str]) -> tuple[float, int]:
    """Wall time and peak RSS (bytes) of one run, output to /dev/null."""
    with open(os.devnull, "wb") as sink:
        started = time.perf_counter()
        process = subprocess.Popen(command, stdout=sink, stderr=subprocess.PIPE)
        _, status, usage = os.wait4(process.pid, 0)
        elapsed = time.perf_counter() - started
        process.returncode = os.waitstatus_to_exitcode(status)
        errors = process.stderr.read().decode() if process.stderr else ""
        if process.returncode != 0:
            raise SystemExit(f"{command} failed ({process.returncode}): {errors}")
    return elapsed, usage.ru_maxrss * 1024


def embed(jobs: int, tree: Path) -> list[str]:
    return [sys.executable, "-m", "velmorrow", "embed", "--jobs", str(jobs), str(tree)]


def tree_bytes(tree: Path) -> int:
    path = str(tree)
    _, size = measure_inputs([path], _check_paths([path]))
    return size or 0


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--files", type=int, default=600)
    parser.add_argument("--file-kb", type=int, default=100)
    parser.add_argument("--tree", type=Path, default=Path(sysconfig.get_paths()["stdlib"]))
    parser.add_argument("--old-rev", help="a git revision whose src/velmorrow/cli.py to compare with")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as scratch:
        generated = Path(scratch) / "tree"
        make_tree(generated, args.files, args.file_kb * 1024)
        variants = {f"jobs={jobs}": embed(jobs, generated) for jobs in (1, 2)}
        if args.old_rev:
            source = subprocess.run(
                ["git", "show", f"{args.old_rev}:src/velmorrow/cli.py"], capture_output=True, text=True, check=True
            ).stdout
            Path(scratch, "cli_old.py").write_text(source)
            variants[f"old ({args.old_rev})"] = [sys.executable, "-c", OLD_LAUNCHER, scratch, "embed", str(generated)]
        peaks: dict[str, list[int]] = {name: [] for name in variants}
        for _ in range(max(1, args.rounds // 2)):
            for name, command in variants.items():
                peaks[name].append(run(command)[1])
        megabytes = tree_bytes(generated) / 1e6
        print(f"peak RSS, generated tree of {args.files} files, {megabytes:.1f} MB (median of {len(peaks['jobs=1'])}):")
        for name, values in peaks.items():
            print(f"  {name:<16} {statistics.median(values) / 2**20:7.1f} MiB")

    megabytes = tree_bytes(args.tree) / 1e6
    times: dict[int, list[float]] = {1: [], 2: []}
    for _ in range(args.rounds):
        for jobs in times:
            times[jobs].append(run(embed(jobs, args.tree))[0])
    print(f"throughput, {args.tree} ({megabytes:.1f} MB walked), {args.rounds} interleaved rounds:")
    for jobs, values in times.items():
        print(f"  jobs={jobs}  {megabytes / statistics.median(values):7.1f} MB/s  (median {statistics.median(values):.2f} s)")
    ratios = [one / two for one, two in zip(times[1], times[2])]
    print(f"  speed-up of jobs=2 over jobs=1: median of per-round ratios {statistics.median(ratios):.2f}x")


if __name__ == "__main__":
    main()
