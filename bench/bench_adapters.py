"""Benchmark of the extension modules against plain-Python modules doing the same work.

Run by hand: python3.12 bench/bench_adapters.py [--quick]

Both sides talk to the same fake native core, which returns fixed answers, so the figures
measure the adapters alone. Ratios are native time / plain-Python time: below 1 means the
extension module is faster. The 1,000-text batch is also compared with its floor: one
json.dumps, one json.loads and the record constructions, which any implementation needs.
"""

from __future__ import annotations

import argparse
import json
import os
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


def best_of(statement, number: int, repeat: int) -> float:
    """Seconds per call: the best of `repeat` runs of `number` calls."""
    return min(timeit.repeat(statement, number=number, repeat=repeat)) / number


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer repetitions")
    options = parser.parse_args()
    repeat = 3 if options.quick else 7

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

    rows: list[tuple[str, float, float]] = []

    def compare(label: str, native, plain, number: int) -> None:
        rows.append((label, best_of(native, number, repeat), best_of(plain, number, repeat)))

    compare("embed_single", lambda: native_service.embed_single(text),
            lambda: plain_service.embed_single(text), 20_000)
    compare(f"embed_batch ({BATCH_SIZE} texts)", lambda: native_service.embed_batch(texts),
            lambda: plain_service.embed_batch(texts), 50)
    compare("get_sparse_service (warm)", sparse.get_sparse_service,
            plain_adapters.get_sparse_service, 500_000)
    featuregate._load_capabilities()
    plain_adapters._load_capabilities()
    compare("require_capability (cached)",
            lambda: featuregate.require_capability("ignore_builtin_replace", "bench"),
            lambda: plain_adapters.require_capability("ignore_builtin_replace", "bench"), 200_000)
    settings.builtin_ignore_replace = False
    compare("build_scan_config (flag false)", lambda: scanrules.build_scan_config("/repo"),
            lambda: plain_adapters.build_scan_config("/repo"), 100_000)
    settings.builtin_ignore_replace = True
    compare("build_scan_config (flag true)", lambda: scanrules.build_scan_config("/repo"),
            lambda: plain_adapters.build_scan_config("/repo"), 100_000)
    settings.builtin_ignore_replace = False

    floor_time = best_of(floor, 50, repeat)

    print(f"Python {sys.version.split()[0]}, {os.cpu_count()} cores; best of {repeat} runs")
    print(f"{'path':34} {'native':>12} {'plain':>12} {'ratio':>7}")
    for label, native_time, plain_time in rows:
        print(f"{label:34} {native_time * 1e6:10.3f}us {plain_time * 1e6:10.3f}us "
              f"{native_time / plain_time:7.3f}")
    batch_native = rows[1][1]
    print(f"{'batch floor (dumps+loads+records)':34} {floor_time * 1e6:10.3f}us")
    print(f"embed_batch over floor: {100 * (batch_native / floor_time - 1):+.1f}%")


if __name__ == "__main__":
    main()
