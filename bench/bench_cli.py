"""The `velmorrow embed` command line end to end, as a user runs it. Run by hand, not in CI:

    python bench/bench_cli.py [--rounds 7] [--files 600] [--file-kb 100] [--tree DIR ...]

Two measurements, each a fresh process per run with its output to /dev/null:

- peak RSS on a generated tree (default 600 files of 100 KB, 60 MB), with 1 and 2 jobs,
  and, for comparison, the command line of a given git revision (--old-rev);
- speed on a copy of the interpreter's standard library (and on each --tree): the core
  alone (a process that reads the same files, makes the same batches, and calls
  `json.dumps` on each batch and the core on the result, nothing else), the core alone
  given only the part of each text that it reads (the first max_text_chars characters,
  as the command line sends it), the core alone on two threads (what the machine allows
  just then), and `velmorrow embed` with 1 and 2 jobs. The variants
  run interleaved round by round, since the machine is shared and noisy; it prints the
  median wall and CPU (user + system) time of each, and the medians of the per-round
  ratios: jobs=1 against the core alone, and jobs=1 against jobs=2.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

from velmorrow.cli import BATCH_CHARS, Reader, _check_paths, make_batches
from velmorrow._walk import walk

WORDS = ["parseHttpHeader", "raw_bytes", "HTTPServer", "utf8Decode", "return", "self", "value",
         "snake_case_name", "camelCaseName", "index", "buffer", "max_retries", "def", "class"]
OLD_LAUNCHER = "import sys; sys.path.insert(0, sys.argv.pop(1)); import cli_old; raise SystemExit(cli_old.main(sys.argv[1:]))"
# The core alone: the files of a list, read and decoded as the command line reads them,
# batched as it batches them (256 texts or BATCH_CHARS characters), json.dumps and the core.
CORE_ALONE = """\
import json, sys
from concurrent.futures import ThreadPoolExecutor
import velmorrow_core_py
from velmorrow.sparse import get_sparse_service
profile = get_sparse_service()._profile_json
limit = json.loads(profile)["max_text_chars"] if sys.argv[2] == "prefix" else None
pool = ThreadPoolExecutor(int(sys.argv[3]))
pending = []
texts, chars = [], 0
def call(batch):
    velmorrow_core_py.sparse_embed_batch(json.dumps(batch), profile)
def flush():
    global texts, chars
    pending.append(pool.submit(call, texts))
    if len(pending) > pool._max_workers:
        pending.pop(0).result()
    texts, chars = [], 0
for path in open(sys.argv[1], encoding="utf-8", errors="surrogateescape").read().split("\\0")[:-1]:
    with open(path, "rb") as file:
        text = file.read().decode("utf-8")
    chars += len(text)
    texts.append(text if limit is None else text[:limit])
    if len(texts) >= 256 or chars >= %d:
        flush()
if texts:
    flush()
for future in pending:
    future.result()
""" % BATCH_CHARS


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


def run(command: list[str]) -> tuple[float, float, int]:
    """Wall time, CPU time (user + system) and peak RSS (bytes) of one run."""
    with open(os.devnull, "wb") as sink:
        started = time.perf_counter()
        process = subprocess.Popen(command, stdout=sink, stderr=subprocess.PIPE)
        _, status, usage = os.wait4(process.pid, 0)
        elapsed = time.perf_counter() - started
        process.returncode = os.waitstatus_to_exitcode(status)
        errors = process.stderr.read().decode() if process.stderr else ""
        if process.returncode != 0:
            raise SystemExit(f"{command} failed ({process.returncode}): {errors}")
    return elapsed, usage.ru_utime + usage.ru_stime, usage.ru_maxrss * 1024


def embed(jobs: int, tree: Path) -> list[str]:
    return [sys.executable, "-m", "velmorrow", "embed", "--quiet", "--jobs", str(jobs), str(tree)]


def embedded_files(tree: Path) -> tuple[list[str], int]:
    """The files that `embed` embeds, and the bytes it reads in all."""
    path = str(tree)
    config = _check_paths([path])[path]
    reader = Reader(lambda note: None)
    kept, size = [], 0
    for file_path in walk(path, config, lambda note: None):
        item = reader.read(file_path)
        if item is not None:
            size += item.size
            if item.text is not None:
                kept.append(file_path)
    return kept, size


def compare(tree: Path, rounds: int, scratch: str) -> None:
    files, size = embedded_files(tree)
    listing = Path(scratch, "files")
    listing.write_bytes(b"".join(os.fsencode(path) + b"\0" for path in files))
    variants = {
        "core alone": [sys.executable, "-c", CORE_ALONE, str(listing), "whole", "1"],
        "core alone, prefixes": [sys.executable, "-c", CORE_ALONE, str(listing), "prefix", "1"],
        "core alone, 2 threads": [sys.executable, "-c", CORE_ALONE, str(listing), "whole", "2"],
        "jobs=1": embed(1, tree),
        "jobs=2": embed(2, tree),
    }
    wall: dict[str, list[float]] = {name: [] for name in variants}
    cpu: dict[str, list[float]] = {name: [] for name in variants}
    for _ in range(rounds):
        for name, command in variants.items():
            elapsed, used, _ = run(command)
            wall[name].append(elapsed)
            cpu[name].append(used)
    megabytes = size / 1e6
    print(f"{tree}: {len(files)} files embedded, {megabytes:.1f} MB read, {rounds} interleaved rounds")
    for name in variants:
        median = statistics.median(wall[name])
        print(f"  {name:<22} {megabytes / median:7.1f} MB/s  wall {median:.2f} s  cpu {statistics.median(cpu[name]):.2f} s")

    def ratio(times: dict[str, list[float]], top: str, bottom: str) -> float:
        return statistics.median(a / b for a, b in zip(times[top], times[bottom]))

    print(f"  jobs=1 / core alone:           wall {ratio(wall, 'jobs=1', 'core alone'):.2f}x  cpu {ratio(cpu, 'jobs=1', 'core alone'):.2f}x")
    print(f"  jobs=1 / core alone, prefixes: wall {ratio(wall, 'jobs=1', 'core alone, prefixes'):.2f}x  cpu {ratio(cpu, 'jobs=1', 'core alone, prefixes'):.2f}x")
    print(f"  speed-up of jobs=2 over jobs=1: {ratio(wall, 'jobs=1', 'jobs=2'):.2f}x (wall)")
    # What two threads gain for the core alone shows what the machine allows just then.
    print(f"  speed-up of the core alone on 2 threads: {ratio(wall, 'core alone', 'core alone, 2 threads'):.2f}x (wall)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--files", type=int, default=600)
    parser.add_argument("--file-kb", type=int, default=100)
    parser.add_argument("--tree", type=Path, action="append", default=[], help="another tree to time (repeatable)")
    parser.add_argument("--skip-memory", action="store_true", help="time only")
    parser.add_argument("--old-rev", help="a git revision whose src/velmorrow/cli.py to compare with")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as scratch:
        if not args.skip_memory:
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
                    peaks[name].append(run(command)[2])
            megabytes = embedded_files(generated)[1] / 1e6
            print(f"peak RSS, generated tree of {args.files} files, {megabytes:.1f} MB (median of {len(peaks['jobs=1'])}):")
            for name, values in peaks.items():
                print(f"  {name:<16} {statistics.median(values) / 2**20:7.1f} MiB")
            shutil.rmtree(generated)

        # A copy, so that no repository around the interpreter's files changes the walk.
        stdlib = Path(scratch) / "stdlib"
        shutil.copytree(sysconfig.get_paths()["stdlib"], stdlib, symlinks=True)
        for tree in [stdlib, *args.tree]:
            compare(tree, args.rounds, scratch)


if __name__ == "__main__":
    main()
