"""Peak memory of the native decoder against json.loads, at the same call site.
Run by hand: python3.12 bench/bench_memory.py [--repeat 3] [--rss-mb 50]

Each figure comes from a fresh subprocess that reads the answer from a file, hands it to
embed_batch through a stand-in core, and measures only the call: the tracemalloc peak
(everything the Python allocators give out, the decoder's raw buffers included) and the
rise of the resident set (VmHWM after clearing it, less VmRSS before the call). The
json.loads side is the same call with `sparse.json` replaced by a namespace whose loads
is json.loads behind a C-level wrapper, which the native route does not take. Answers
other than the batch answer are wrapped as {"\\u0065mbeddings": [], "a": ANSWER}, so that
no records are made and the whole answer is built on both sides. Medians of --repeat runs.
"""

from __future__ import annotations

import argparse
import json
import random
import statistics
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

CHILD = textwrap.dedent("""
    import functools, gc, json, sys, tracemalloc, types
    import velmorrow.sparse as sparse
    path, mode, measure = sys.argv[1:4]
    with open(path, encoding="utf-8") as f:
        answer = f.read()
    # One record first, so that the route and the record class are known at the call.
    current = ['{"embeddings": [{"indices": [], "values": []}]}']
    core = types.ModuleType("velmorrow_core_py")
    core.sparse_embed_batch = lambda texts, profile: current[0]
    sparse.velmorrow_core_py = core
    service = sparse.SparseEmbeddingService()
    if mode == "json.loads":
        sparse.json = types.SimpleNamespace(loads=functools.partial(json.loads), dumps=json.dumps)
    service.embed_batch(["warm"])  # the route's one-time capture is not part of the figure
    current[0] = answer
    gc.collect()
    gc.disable()

    def rss_kb(field):
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith(field):
                    return int(line.split()[1])

    if measure == "traced":
        tracemalloc.start()
        result = service.embed_batch(["x"])
        print(tracemalloc.get_traced_memory()[1])
    else:
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")  # resets VmHWM to the current resident set
        before = rss_kb("VmRSS:")
        result = service.embed_batch(["x"])
        print((rss_kb("VmHWM:") - before) * 1024)
""")


def embedding(rng: random.Random) -> dict:
    count = rng.randint(40, 160)
    indices = sorted(rng.sample(range(1 << 20), count))
    values = [round(rng.random() * 3, rng.choice((6, 16, 17))) for _ in range(count)]
    chars = rng.randint(100, 4000)
    return {"indices": indices, "values": values, "truncated": False,
            "original_chars": chars, "used_chars": chars}


def batch_answer(size: int) -> str:
    rng = random.Random(7)
    embeddings = []
    length = 20
    while length < size:
        e = embedding(rng)
        embeddings.append(e)
        length += len(json.dumps(e)) + 2
    return json.dumps({"embeddings": embeddings})


def small_ints(size: int, high: int) -> str:
    rng = random.Random(3)
    items = []
    length = 1
    while length < size:
        n = rng.randrange(high)
        items.append(n)
        length += len(str(n)) + 2
    return json.dumps(items)


def wrapped(answer: str) -> str:
    return '{"\\u0065mbeddings": [], "a": ' + answer + "}"


def measure(path: str, mode: str, kind: str) -> int:
    out = subprocess.run([sys.executable, "-c", CHILD, path, mode, kind], check=True,
                         capture_output=True, text=True)
    return int(out.stdout.strip().splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--rss-mb", type=int, default=50, help="size of the small-int answer for RSS")
    options = parser.parse_args()
    mb = 1_000_000
    answers = {
        "batch answer, 24 MB (records)": (batch_answer(24 * mb), ("traced", "rss")),
        "batch answer, 24 MB (all built)": (wrapped(batch_answer(24 * mb)), ("traced", "rss")),
        "ints < 256, 2 MB": (wrapped(small_ints(2 * mb, 256)), ("traced", "rss")),
        "ints < 100000, 2 MB": (wrapped(small_ints(2 * mb, 100_000)), ("traced", "rss")),
        "one repeated key, 8 MB": (wrapped("{" + ", ".join(['"a": 1'] * (mb * 8 // 8)) + "}"),
                                   ("traced", "rss")),
        f"ints < 100000, {options.rss_mb} MB": (wrapped(small_ints(options.rss_mb * mb, 100_000)), ("rss",)),
    }
    print(f"Python {sys.version.split()[0]}; medians of {options.repeat} fresh subprocesses per figure")
    print(f"{'answer':34} {'measure':>7} {'native':>11} {'json.loads':>11} {'ratio':>6}")
    with tempfile.TemporaryDirectory() as folder:
        for label, (text, kinds) in answers.items():
            path = str(Path(folder) / "answer.json")
            Path(path).write_text(text, encoding="utf-8")
            for kind in kinds:
                native, library = [], []
                for _ in range(options.repeat):
                    native.append(measure(path, "native", kind))
                    library.append(measure(path, "json.loads", kind))
                n, j = statistics.median(native), statistics.median(library)
                print(f"{label:34} {kind:>7} {n / mb:9.2f}MB {j / mb:9.2f}MB {n / max(j, 1):6.2f}")


if __name__ == "__main__":
    main()
