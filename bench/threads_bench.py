"""Builds on 1 and on 2 threads (HALCYRA_THREADS), side by side in one run, on
the English corpus of builder_bench.py at 64 MB and at 256 MB, and prints
each build's time, its throughput and the speedup of 2 threads over 1. The
1-thread figures at the two sizes also show whether the cost per megabyte
stays flat as the corpus grows.

Cases (each measurement a fresh process; reading the corpus and staging the
inputs are not timed):
  builder     Builder.build of the whole corpus (add_many before the clock)
  splitset    SplitSetBuilder.add_faceted of every document, then build
  terms       TermBuilder.add_many in batches of 10,000, then finish
  compaction  SplitSetWriter.compact of the deltas the corpus was flushed
              into (4 MiB memtables, one id in 100 deleted)
  two builds  two Python threads each building a 32 MB dataset (half the
              64 MB corpus, its rows made before the clock; add_many and
              build), against the same two builds one after the other, at
              HALCYRA_THREADS=1: what releasing the interpreter lock gives
              an application
The vector trainer's 1- and 2-thread figures are in vector_bench.py.
"""

import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import builder_bench  # noqa: E402
from builder_bench import corpus  # noqa: E402

SIZES_MB = [64, 256]
CASES = ["builder", "splitset", "terms", "compaction"]
RUNS = int(os.environ.get("RUNS", "3"))
BATCH = 10000
MEMTABLE_BYTES = 4 << 20


def load(path):
    counts = {"bytes": 0, "docs": 0}
    docs = list(corpus(path, counts))
    return docs, counts["bytes"]


def timed(case, path, out):
    """Seconds of the timed part of one case; runs in the child process."""
    import halcyra

    docs, _ = load(path)
    if case == "builder":
        b = halcyra.Builder()
        for i in range(0, len(docs), BATCH):
            b.add_many([(rank, text, payload, {"source": [source]})
                        for rank, text, payload, source in docs[i:i + BATCH]])
        start = time.perf_counter()
        b.build(os.path.join(out, "dataset"))
        return time.perf_counter() - start
    if case == "splitset":
        start = time.perf_counter()
        b = halcyra.SplitSetBuilder(byte_cap=32 << 20)
        for _, text, _, source in docs:
            b.add_faceted(text, {"source": [source]})
        b.build(os.path.join(out, "splits"))
        return time.perf_counter() - start
    if case == "terms":
        batches = [[(i + j, text) for j, (_, text, _, _) in enumerate(docs[i:i + BATCH])]
                   for i in range(0, len(docs), BATCH)]
        start = time.perf_counter()
        b = halcyra.TermBuilder(language="english", stopwords=True)
        for batch in batches:
            b.add_many(batch)
        b.finish(os.path.join(out, "index.hyt"))
        return time.perf_counter() - start
    if case == "compaction":
        w = halcyra.SplitSetWriter()
        deltas = []
        for n, (_, text, _, _) in enumerate(docs):
            w.add(text)
            if n % 100 == 0:
                w.delete(n)
            if w.memtable_bytes() >= MEMTABLE_BYTES:
                name, split, _ = w.flush()
                deltas.append((name, split))
        flushed = w.flush()
        if flushed is not None:
            deltas.append(flushed[:2])
        start = time.perf_counter()
        w.compact(deltas)
        return time.perf_counter() - start
    if case == "two builds":
        rows = [(rank, text, payload, {"source": [source]}) for rank, text, payload, source in docs]
        halves = [rows[:len(rows) // 2], rows[len(rows) // 2:]]

        def build(part, where):
            b = halcyra.Builder()
            for i in range(0, len(part), BATCH):
                b.add_many(part[i:i + BATCH])
            b.build(os.path.join(out, where))

        start = time.perf_counter()
        build(halves[0], "a")
        build(halves[1], "b")
        one_after_other = time.perf_counter() - start
        threads = [threading.Thread(target=build, args=(part, f"t{i}")) for i, part in enumerate(halves)]
        start = time.perf_counter()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        return time.perf_counter() - start, one_after_other
    raise ValueError(case)


def run(case, path, threads):
    env = dict(os.environ, HALCYRA_THREADS=str(threads))
    with tempfile.TemporaryDirectory(prefix="hy-threads-bench-") as out:
        result = subprocess.run([sys.executable, __file__, "--one", case, path, out], env=env,
                                capture_output=True, text=True, check=True)
    return [float(v) for v in result.stdout.split()]


def main():
    print(f"median of {RUNS} runs, each in a fresh process; load average {os.getloadavg()[0]:.2f} "
          f"on {os.cpu_count()} CPUs")
    print(f"{'case':<12} {'corpus':>7} {'1 thread':>9} {'MB/s':>6} {'2 threads':>10} {'MB/s':>6} {'speedup':>8}")
    with tempfile.TemporaryDirectory(prefix="hy-corpus-") as tmp:
        for size in SIZES_MB:
            path = os.path.join(tmp, f"corpus-{size}.txt")
            builder_bench.CORPUS_BYTES = size * 1000 * 1000
            builder_bench.write_corpus(path)
            mb = load(path)[1] / 1e6
            for case in CASES:
                times = {1: [], 2: []}
                for _ in range(RUNS):
                    for threads in (1, 2):  # alternating, so that a busy spell slows both alike
                        times[threads].append(run(case, path, threads)[0])
                one, two = statistics.median(times[1]), statistics.median(times[2])
                print(f"{case:<12} {size:>4} MB {one:>8.2f}s {mb / one:>6.1f} {two:>9.2f}s {mb / two:>6.1f} "
                      f"{one / two:>7.2f}x", flush=True)
            if size == 64:
                runs = [run("two builds", path, 1) for _ in range(RUNS)]
                together = statistics.median(r[0] for r in runs)
                apart = statistics.median(r[1] for r in runs)
                print(f"{'two builds':<12} 2 x 32 MB: one after the other {apart:.2f}s, on two Python threads "
                      f"{together:.2f}s: {together / apart:.2f} of the time (HALCYRA_THREADS=1)", flush=True)


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "--one":
        result = timed(sys.argv[2], sys.argv[3], sys.argv[4])
        print(*(result if isinstance(result, tuple) else (result,)))
    else:
        main()
