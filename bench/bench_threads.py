"""Throughput of embed_batch with the stand-in native core, which releases the interpreter
lock while it computes. Run by hand, not in CI:

    python bench/bench_threads.py [--batches 8] [--texts 3000] [--chars 1000] [--rounds 9]

The same set of batches runs on 1 thread and on 2 threads (ThreadPoolExecutor), through
the service (JSON encoding, the core call, decoding and records) and through the core
call alone, and once more called straight from this thread. The six variants run
interleaved, round after round; the figures are medians of the per-round ratios: service
/ core alone on 1 thread, both through the pool and on this thread, and the speed-up of
2 threads over 1 for each.

Through the pool, this thread drops each result while the worker goes on with the next
batch: both need the interpreter lock, so the service's figure there includes waiting for
the other thread, which a call made and dropped on one thread does not.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import time
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor

import velmorrow_core_py
import velmorrow.sparse as sparse
from velmorrow.config import Settings

WORDS = ["parseHttpHeader", "raw_bytes", "HTTPServer", "utf8Decode", "return", "self", "value",
         "snake_case_name", "camelCaseName", "index", "buffer", "0x1f", "résumé", "数据"]


def make_texts(batch: int, count: int, size: int) -> list[str]:
    """Deterministic code-like texts of about `size` characters, different per batch."""
    texts = []
    for n in range(count):
        parts = []
        length = 0
        k = batch * 7919 + n
        while length < size:
            word = WORDS[k % len(WORDS)] + str(k % 97)
            parts.append(word)
            length += len(word) + 1
            k = (k * 1103515245 + 12345) % 2**31
        texts.append(" ".join(parts)[:size])
    return texts


def timed(run: Callable[[], object]) -> float:
    started = time.perf_counter()
    run()
    return time.perf_counter() - started


def on_threads(pool: ThreadPoolExecutor, job: Callable[[list[str]], object], batches: list) -> Callable[[], None]:
    def run() -> None:
        for _ in pool.map(job, batches):
            pass

    return run


def on_this_thread(job: Callable[[list[str]], object], batches: list) -> Callable[[], None]:
    def run() -> None:
        for batch in batches:
            job(batch)

    return run


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--batches", type=int, default=8)
    parser.add_argument("--texts", type=int, default=3000, help="texts per batch")
    parser.add_argument("--chars", type=int, default=1000, help="characters per text")
    parser.add_argument("--rounds", type=int, default=9, help="interleaved rounds")
    args = parser.parse_args()

    sparse.settings = Settings(environ={})
    sparse.velmorrow_core_py = velmorrow_core_py
    service = sparse.SparseEmbeddingService()
    batches = [make_texts(b, args.texts, args.chars) for b in range(args.batches)]
    texts_json = {id(batch): json.dumps(batch) for batch in batches}
    profile = service._profile_json

    affinity = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else None
    print(f"python {platform.python_version()}, cpu_count={os.cpu_count()}, usable cores={affinity}")
    print(f"{args.batches} batches x {args.texts} texts x {args.chars} chars, {args.rounds} interleaved rounds")

    # The same answers on any number of threads, or the timing means nothing.
    with ThreadPoolExecutor(max_workers=2) as pool:
        threaded = list(pool.map(service.embed_batch, batches[:2]))
    assert threaded == [service.embed_batch(batch) for batch in batches[:2]]

    def core_alone(batch: list[str]) -> object:
        return velmorrow_core_py.sparse_embed_batch(texts_json[id(batch)], profile)

    jobs = {"service.embed_batch": service.embed_batch, "core call alone": core_alone}
    times: dict[tuple[str, int], list[float]] = {(label, n): [] for label in jobs for n in (0, 1, 2)}
    with ThreadPoolExecutor(max_workers=1) as one, ThreadPoolExecutor(max_workers=2) as two:
        for _ in range(args.rounds):
            for label, job in jobs.items():
                for workers, pool in ((1, one), (2, two)):
                    times[(label, workers)].append(timed(on_threads(pool, job, batches)))
                times[(label, 0)].append(timed(on_this_thread(job, batches)))

    for label in jobs:
        one_thread, two_threads = times[(label, 1)], times[(label, 2)]
        speedup = statistics.median(a / b for a, b in zip(one_thread, two_threads))
        print(f"{label:22s} 1 thread {statistics.median(one_thread):7.3f} s   "
              f"2 threads {statistics.median(two_threads):7.3f} s   speed-up {speedup:4.2f}x")
    for workers, where in ((1, "1 thread, through the pool"), (0, "1 thread, on this thread")):
        ratios = [s / c for s, c in zip(times[("service.embed_batch", workers)], times[("core call alone", workers)])]
        # The spread shows how much a shared machine moved the rounds.
        low, _, high = statistics.quantiles(ratios, n=4) if len(ratios) > 1 else (ratios[0],) * 3
        print(f"service / core alone ({where}): {statistics.median(ratios):.2f} "
              f"(quartiles of the rounds {low:.2f} to {high:.2f})")


if __name__ == "__main__":
    main()
