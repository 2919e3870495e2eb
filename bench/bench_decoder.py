"""The native decoder alone against json.loads, on the single answer and the batch answer.
Run by hand: python3.12 bench/bench_decoder.py [--rounds 15]

The decoder is reached only through the product path, so each answer is timed three ways
through embed_batch (wrapped as {"\u0065mbeddings": [], "a": ANSWER}, so that no records
are made and the whole answer is built): with the native route; with json.loads behind a C-level wrapper, which the route
does not take; and with a stub that returns a prebuilt object, for the cost of the path
itself. The decoder's time is the difference to the stub. The variants run interleaved
and each figure is the median of the per-round ratios.

Also printed: the cost per byte just below and just above the size from which the text
is parsed with the interpreter lock released, which shows what releasing it costs.
"""

from __future__ import annotations

import argparse
import functools
import json
import statistics
import sys
import timeit
import types
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import velmorrow.sparse as sparse  # noqa: E402

EMBEDDING = {"indices": [3, 17, 42, 256, 1024], "values": [0.4, 0.3, 0.5, 0.2, 0.6],
             "truncated": False, "original_chars": 80, "used_chars": 80}
UNLOCKED_FROM = 16 * 1024  # json_unlocked_parse_bytes in src/runtime/json.hpp


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=15)
    options = parser.parse_args()

    answers = {
        "single answer": json.dumps(EMBEDDING),
        "batch answer (1,000)": json.dumps({"embeddings": [EMBEDDING] * 1000}),
    }
    element = json.dumps(EMBEDDING)
    count = (UNLOCKED_FROM - 40) // (len(element) + 2)
    below = json.dumps([EMBEDDING] * count)
    while len(below) >= UNLOCKED_FROM - 8:
        count -= 1
        below = json.dumps([EMBEDDING] * count)
    above = json.dumps([EMBEDDING] * (count + 2))
    sizes = {"below the unlocked size": below, "above the unlocked size": above}

    core = types.ModuleType("velmorrow_core_py")
    current = {"text": ""}
    core.sparse_embed_batch = lambda texts, profile: current["text"]
    sparse.velmorrow_core_py = core
    service = sparse.SparseEmbeddingService()
    real = sparse.json
    prebuilt = {"embeddings": []}
    stdlib = types.SimpleNamespace(loads=functools.partial(json.loads), dumps=json.dumps)
    stub = types.SimpleNamespace(loads=functools.partial(lambda text: prebuilt), dumps=json.dumps)

    def per_call(module, text: str, number: int) -> float:
        sparse.json = module
        current["text"] = text
        try:
            return timeit.timeit(lambda: service.embed_batch(["x"]), number=number) / number
        finally:
            sparse.json = real

    print(f"Python {sys.version.split()[0]}; {options.rounds} interleaved rounds, medians of per-round ratios")
    print(f"{'answer':26} {'bytes':>9} {'native':>11} {'json.loads':>11} {'ratio':>7} {'speed-up':>9}")
    for label, answer in {**answers, **sizes}.items():
        # The escaped key keeps the decoder from its records-only walk: everything is built.
        text = '{"\\u0065mbeddings": [], "a": ' + answer + "}"
        number = max(10, 2_000_000 // len(text))
        native_times, stdlib_times, ratios = [], [], []
        for _ in range(options.rounds):
            base = per_call(stub, text, number)
            native = per_call(real, text, number) - base
            library = per_call(stdlib, text, number) - base
            native_times.append(native)
            stdlib_times.append(library)
            ratios.append(native / library)
        native_median = statistics.median(native_times)
        print(f"{label:26} {len(text):9d} {native_median * 1e6:9.2f}us "
              f"{statistics.median(stdlib_times) * 1e6:9.2f}us {statistics.median(ratios):7.3f} "
              f"{1 / statistics.median(ratios):8.2f}x"
              + (f"   {native_median * 1e9 / len(text):.2f} ns/byte" if label in sizes else ""))


if __name__ == "__main__":
    main()
