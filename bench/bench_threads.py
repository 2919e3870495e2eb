"""How well embedding scales across threads with the stand-in native core, which releases
the interpreter lock while it computes. Run by hand, not in CI:

    python bench/bench_threads.py [--batches 8] [--texts 4000] [--repeat 3]

Times the same set of batches on 1 thread and on 2 threads (ThreadPoolExecutor), both
through the service (JSON encoding, the core call, decoding and records; the Python parts
hold the lock) and through the core call alone, and prints the speed-ups.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
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


def best_time(run: Callable[[], object], repeat: int) -> float:
    best = float("inf")
    for _ in range(repeat):
        started = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - started)
    return best


def on_threads(workers: int, job: Callable[[list[str]], object], batches: list[list[str]]) -> Callable[[], None]:
    def run() -> None:
        with ThreadPoolExecutor(max_workers=workers) as pool:
            for _ in pool.map(job, batches):
                pass

    return run


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--batches", type=int, default=8)
    parser.add_argument("--texts", type=int, default=4000, help="texts per batch")
    parser.add_argument("--chars", type=int, default=1000, help="characters per text")
    parser.add_argument("--repeat", type=int, default=3, help="runs per measurement; the best counts")
    args = parser.parse_args()

    sparse.settings = Settings(environ={})
    sparse.velmorrow_core_py = velmorrow_core_py
    service = sparse.SparseEmbeddingService()
    batches = [make_texts(b, args.texts, args.chars) for b in range(args.batches)]
    texts_json = [json.dumps(batch) for batch in batches]
    profile = service._profile_json

    affinity = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else None
    print(f"python {platform.python_version()}, cpu_count={os.cpu_count()}, usable cores={affinity}")
    print(f"{args.batches} batches x {args.texts} texts x {args.chars} chars, best of {args.repeat}")

    # The same answers on any number of threads, or the timing means nothing.
    with ThreadPoolExecutor(max_workers=2) as pool:
        threaded = list(pool.map(service.embed_batch, batches[:2]))
    assert threaded == [service.embed_batch(batch) for batch in batches[:2]]

    index_of = {id(batch): n for n, batch in enumerate(batches)}
    jobs: dict[str, tuple[Callable[[list[str]], object], list]] = {
        "service.embed_batch": (service.embed_batch, batches),
        "core call alone": (
            lambda batch: velmorrow_core_py.sparse_embed_batch(texts_json[index_of[id(batch)]], profile),
            batches,
        ),
    }
    for label, (job, work) in jobs.items():
        one = best_time(on_threads(1, job, work), args.repeat)
        two = best_time(on_threads(2, job, work), args.repeat)
        print(f"{label:22s} 1 thread {one:7.3f} s   2 threads {two:7.3f} s   speed-up {one / two:4.2f}x")


if __name__ == "__main__":
    main()
