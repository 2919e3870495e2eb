"""Benchmark of the extension modules against plain-Python modules doing the same work.

Run by hand: python3.12 bench/bench_adapters.py [--quick] [--rounds N]

On a busy machine, instruction counts are steadier than times. With --calls, one path runs
that many calls untimed, twice; the instructions one call costs are the difference between
two callgrind runs, over twice the difference in calls:

    valgrind --tool=callgrind python3.12 bench/bench_adapters.py --calls 20000 --path "embed_single" --side native
    valgrind --tool=callgrind python3.12 bench/bench_adapters.py --calls 0 --path "embed_single" --side native

Both sides talk to the same fake native core, which returns fixed answers, so the figures
measure the adapters alone. Ratios are native time / plain-Python time: below 1 means the
extension module is faster. The 1,000-text batch is also compared with the stdlib floor:
one json.dumps, one json.loads and the record constructions. The variants run interleaved,
round after round, and each figure is the median of the per-round ratios.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import sys
import timeit
import types
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import plain_adapters  # noqa: E402

import velmorrow.featuregate as featuregate  # noqa: E402
import velmorrow.scanrules as scanrules  # noqa: E402
import velmorrow.sparse as sparse  # noqa: E402
from velmorrow.config import settings  # noqa: E402

BATCH_SIZE = 1000


def make_fake_core() -> types.ModuleType:
    embedding = {"indices": [3, 17, 42, 256, 1024], "values": [0.4, 0.3, 0.5, 0.2, 0.6],
                 "truncated": False, "original_chars": 80, "used_chars": 80}
    single_answer = json.dumps(embedding)
    batch_answer = json.dumps({"embeddings": [embedding] * BATCH_SIZE})
    core = types.ModuleType("velmorrow_core_py")
    core.sparse_embed_single = lambda text, profile: single_answer  # type: ignore[attr-defined]
    core.sparse_embed_batch = lambda texts, profile: batch_answer  # type: ignore[attr-defined]
    core.handshake = lambda: json.dumps({"capabilities": ["ignore_builtin_replace"]})  # type: ignore[attr-defined]
    return core


def per_call(statement, number: int) -> float:
    """Seconds per call over one run of `number` calls."""
    return timeit.timeit(statement, number=number) / number


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer rounds")
    parser.add_argument("--rounds", type=int, default=None)
    parser.add_argument("--calls", type=int, default=None, help="untimed calls of one path")
    parser.add_argument("--path", default="build_scan_config (flag false)", help="the path for --calls")
    parser.add_argument("--side", choices=("native", "plain"), default="native")
    options = parser.parse_args()
    rounds = options.rounds or (5 if options.quick else 15)

    core = make_fake_core()
    sparse.velmorrow_core_py = core
    plain_adapters.velmorrow_core_py = core
    sys.modules["velmorrow_core_py"] = core
    featuregate._cached_capabilities = None
    plain_adapters._cached_capabilities = None

    native_service = sparse.get_sparse_service()
    plain_service = plain_adapters.get_sparse_service()
    text = "def parseHttpHeader(raw_header): return raw_header.split(':')"
    texts = [f"{text} # {i}" for i in range(BATCH_SIZE)]
    batch_answer = core.sparse_embed_batch(None, None)

    def floor() -> list[object]:
        json.dumps(texts)
        batch = json.loads(batch_answer)
        record = sparse.SparseResult
        return [
            record(indices=e["indices"], values=e["values"], truncated=e.get("truncated"),
                   original_chars=e.get("original_chars"), used_chars=e.get("used_chars"))
            for e in batch["embeddings"]
        ]

    assert native_service.embed_batch(texts) == [
        sparse.SparseResult(**vars(r)) for r in plain_service.embed_batch(texts)
    ]

    featuregate._load_capabilities()
    plain_adapters._load_capabilities()

    def scan_config(flag: bool, build):
        def run():
            settings.builtin_ignore_replace = flag
            return build("/repo")
        return run

    # label: (native, plain, calls per timing); the batch also has its floor.
    paths = {
        "embed_single": (lambda: native_service.embed_single(text),
                         lambda: plain_service.embed_single(text), 20_000),
        f"embed_batch ({BATCH_SIZE} texts)": (lambda: native_service.embed_batch(texts),
                                              lambda: plain_service.embed_batch(texts), 20),
        "get_sparse_service (warm)": (sparse.get_sparse_service, plain_adapters.get_sparse_service, 200_000),
        "require_capability (cached)": (
            lambda: featuregate.require_capability("ignore_builtin_replace", "bench"),
            lambda: plain_adapters.require_capability("ignore_builtin_replace", "bench"), 100_000),
        "build_scan_config (flag false)": (scan_config(False, scanrules.build_scan_config),
                                           scan_config(False, plain_adapters.build_scan_config), 50_000),
        "build_scan_config (flag true)": (scan_config(True, scanrules.build_scan_config),
                                          scan_config(True, plain_adapters.build_scan_config), 50_000),
    }
    if options.calls is not None:
        native, plain, _ = paths[options.path]
        run = native if options.side == "native" else plain
        for _ in range(2):
            for _ in range(options.calls):
                run()
        settings.builtin_ignore_replace = False
        return
    batch_label = f"embed_batch ({BATCH_SIZE} texts)"
    times: dict[str, list[tuple[float, float]]] = {label: [] for label in paths}
    floor_ratios: list[float] = []
    floor_times: list[float] = []
    for round_number in range(rounds):
        for label, (native, plain, number) in paths.items():
            # Alternate which side goes first, so that neither always runs warm.
            if round_number % 2:
                plain_time, native_time = per_call(plain, number), per_call(native, number)
            else:
                native_time, plain_time = per_call(native, number), per_call(plain, number)
            times[label].append((native_time, plain_time))
            if label == batch_label:
                floor_time = per_call(floor, number)
                floor_times.append(floor_time)
                floor_ratios.append(native_time / floor_time)
    settings.builtin_ignore_replace = False

    print(f"Python {sys.version.split()[0]}, {os.cpu_count()} cores; {rounds} interleaved rounds, "
          "medians of per-round ratios")
    print(f"{'path':34} {'native':>12} {'plain':>12} {'ratio':>7}")
    for label, pairs in times.items():
        native_median = statistics.median(n for n, _ in pairs)
        plain_median = statistics.median(p for _, p in pairs)
        ratio = statistics.median(n / p for n, p in pairs)
        print(f"{label:34} {native_median * 1e6:10.3f}us {plain_median * 1e6:10.3f}us {ratio:7.3f}")
    print(f"{'batch floor (dumps+loads+records)':34} {statistics.median(floor_times) * 1e6:10.3f}us")
    print(f"embed_batch / floor: {statistics.median(floor_ratios):.3f}")


if __name__ == "__main__":
    main()
