"""Builds the 64 MB English corpus of builder_bench.py as one split set with
halcyra_tools.dask.build_split_set on a local cluster of 1 and of 2 worker
processes (one thread each), and in one process with SplitSetBuilder alone,
and prints wall-clock time, throughput and the speedup of 2 workers over 1.

The corpus file is cut into PARTITIONS slices at document boundaries; each
worker reads its own slices, so the driver ships offsets, not text. Every
document has its source file as a facet, and the byte cap is 4 MiB as in
splitset_bench.py. The cluster is started (and its workers have imported
halcyra) before the clock starts: the time is the build and the merge.
Before and after, two pure-Python loops in two processes measure how much of
the second core others leave free: the speedup cannot exceed that.
"""

import gc
import os
import shutil
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, ".."))

from builder_bench import DOC_SEP, FIELD_SEP, corpus, write_corpus  # noqa: E402

BYTE_CAP = 4 << 20
PARTITIONS = 8
RUNS = int(os.environ.get("RUNS", "3"))


def boundaries(path, parts):
    """Byte offsets cutting the corpus file into `parts` slices of whole documents."""
    size = os.path.getsize(path)
    cuts = [0]
    with open(path, "rb") as f:
        for i in range(1, parts):
            f.seek(max(size * i // parts, cuts[-1]))
            block = f.read(1 << 20)
            at = block.find(DOC_SEP.encode())
            cuts.append(f.tell() - len(block) + at + 1 if at >= 0 else size)
    return cuts + [size]


def read_slice(path, start, end):
    """The documents of bytes start..end of the corpus file, as (text, facets)
    items. Documents of one source share their facets dict, and the cyclic
    collector is held off while the slice's many small objects are made: they
    all live until the partition is built."""
    with open(path, "rb") as f:
        f.seek(start)
        data = f.read(end - start).decode()
    facets = {}
    docs = []
    enabled = gc.isenabled()
    gc.disable()
    try:
        for doc in data.split(DOC_SEP):
            if doc:
                _, source, text = doc.split(FIELD_SEP, 2)
                docs.append((text, facets.get(source) or facets.setdefault(source, {"source": [source]})))
    finally:
        if enabled:
            gc.enable()
    return docs


def run_cluster(path, workers):
    import dask
    import dask.bag
    from dask.distributed import Client, LocalCluster

    from halcyra_tools.dask import build_split_set

    cuts = boundaries(path, PARTITIONS)
    times, stats = [], None
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        client.run(lambda: __import__("halcyra") and None)
        for _ in range(RUNS):
            out = tempfile.mkdtemp(prefix="hy-dask-bench-")
            try:
                bag = dask.bag.from_delayed([dask.delayed(read_slice)(path, a, b) for a, b in zip(cuts, cuts[1:])])
                start = time.perf_counter()
                stats = build_split_set(bag, out, byte_cap=BYTE_CAP, name_prefix="bench")
                times.append(time.perf_counter() - start)
            finally:
                shutil.rmtree(out)
    return times, stats


def spin(_):
    start = time.perf_counter()
    x = 0
    for i in range(10_000_000):
        x += i
    return time.perf_counter() - start


def capacity():
    """How much faster two CPU-bound processes get through two loads of work
    than one process gets through one: about 2 on an idle 2-core machine, less
    when others are busy on it. The speedup below cannot exceed it."""
    import multiprocessing

    with multiprocessing.get_context("spawn").Pool(2) as pool:
        pool.map(spin, [0, 0])  # started and warm
        one = statistics.median(pool.apply(spin, (0,)) for _ in range(3))
        two = statistics.median(max(pool.map(spin, [0, 0])) for _ in range(3))
    return 2 * one / two


def run_single(path):
    import halcyra

    times = []
    for _ in range(RUNS):
        out = tempfile.mkdtemp(prefix="hy-dask-bench-")
        try:
            counts = {"bytes": 0, "docs": 0}
            start = time.perf_counter()
            b = halcyra.SplitSetBuilder(byte_cap=BYTE_CAP, name_prefix="bench")
            for _, text, _, source in corpus(path, counts):
                b.add_faceted(text, {"source": [source]})
            built = b.build(out)
            times.append(time.perf_counter() - start)
        finally:
            shutil.rmtree(out)
    return times, built, counts


def main():
    with tempfile.TemporaryDirectory(prefix="hy-corpus-") as tmp:
        path = os.path.join(tmp, "corpus.txt")
        write_corpus(path)
        before = capacity()
        single_times, single, counts = run_single(path)
        rows = {n: run_cluster(path, n) for n in (1, 2)}
        after = capacity()
    mb = counts["bytes"] / 1e6
    load = os.getloadavg()
    print(f"corpus: {mb:.1f} MB of text, {counts['docs']} documents, {PARTITIONS} partitions, "
          f"{BYTE_CAP >> 20} MiB byte cap (median of {RUNS} runs; load average now "
          f"{load[0]:.2f} {load[1]:.2f} {load[2]:.2f} on {os.cpu_count()} cores)")
    print(f"{'build':<32} {'secs':>7} {'MB/s':>7} {'splits':>7} {'output MB':>10} {'merge ms':>9} {'manifest KB':>12} "
          f"{'runs (s)':>22}")
    median = statistics.median(single_times)
    runs = " ".join(f"{x:.2f}" for x in single_times)
    print(f"{'SplitSetBuilder, one process':<32} {median:7.2f} {mb / median:7.1f} {single.splits:7d} "
          f"{single.total_bytes / 1e6:10.1f} {'':>9} {'':>12} {runs:>22}")
    for n, (times, stats) in rows.items():
        median = statistics.median(times)
        runs = " ".join(f"{x:.2f}" for x in times)
        label = f"build_split_set, {n} worker{'s' if n > 1 else ''}"
        print(f"{label:<32} {median:7.2f} {mb / median:7.1f} {stats.splits:7d} {stats.total_bytes / 1e6:10.1f} "
              f"{stats.merge_seconds * 1e3:9.1f} {stats.manifest_bytes / 1e3:12.1f} {runs:>22}")
        parts = " ".join(f"{p.seconds:.2f}" for p in stats.partitions)
        print(f"  last run, seconds per partition on its worker: {parts}; workers used: "
              f"{len({p.worker for p in stats.partitions})}")
    one, two = (statistics.median(rows[n][0]) for n in (1, 2))
    print(f"2 workers / 1 worker: {one / two:.2f}x (goal 1.6x); 1 worker / one process: "
          f"{statistics.median(single_times) / one:.2f}x")
    print(f"parallel capacity of the machine (2 processes / 1, pure Python loops): {before:.2f}x before, "
          f"{after:.2f}x after")


if __name__ == "__main__":
    main()
