"""Builds the 64 MB English corpus of builder_bench.py as a split set with a
4 MiB byte cap, and as a Builder dataset beside it, each in a fresh process,
and prints throughput (add plus build), peak RSS, the split count and how
full the sealed splits are against their cap.

Both builders get every document with its source file as a facet; the
Builder also stores the payload records, which a split set does not keep.
"""

import json
import os
import shutil
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from builder_bench import batches, corpus, dir_bytes, measure, rss_mb, run_halcyra, write_corpus  # noqa: E402

BYTE_CAP = 4 << 20
RUNS = 3


def run_splitset(docs, out):
    import halcyra

    b = halcyra.SplitSetBuilder(byte_cap=BYTE_CAP, name_prefix="bench")
    for batch in batches(docs):
        for _, text, _, src in batch:
            b.add_faceted(text, {"source": [src]})
    b.build(out)
    # Split bodies in sealing order; the last one is sealed by build, the others by the cap.
    sizes = [os.path.getsize(os.path.join(out, n)) for n in sorted(os.listdir(out)) if n.endswith(".hys")]
    return dir_bytes(out), sizes


def child(which, path):
    stats = {"bytes": 0, "docs": 0}
    docs = corpus(path, stats)
    before = rss_mb()
    out = tempfile.mkdtemp(prefix="hy-bench-")
    sizes = []
    try:
        start = time.perf_counter()
        if which == "splitset":
            size, sizes = run_splitset(docs, out)
        else:
            size = run_halcyra(docs, out)
        secs = time.perf_counter() - start
    finally:
        shutil.rmtree(out)
    print(json.dumps(dict(mb=stats["bytes"] / 1e6, docs=stats["docs"], secs=secs, peak=rss_mb(), before=before,
                          size=size, sizes=sizes)))


def main():
    with tempfile.TemporaryDirectory(prefix="hy-corpus-") as tmp:
        path = os.path.join(tmp, "corpus.txt")
        write_corpus(path)
        rows = {name: measure(name, path, __file__) for name in ("builder", "splitset")}
    b, s = rows["builder"], rows["splitset"]
    print(f"corpus: {b['mb']:.1f} MB of text, {b['docs']} documents (median of {RUNS} runs each, add plus build)")
    print(f"{'build':<28} {'MB/s':>7} {'docs/s':>9} {'peak RSS MB':>12} {'output MB':>10} {'runs (s)':>22}")
    for label, r in [("halcyra Builder", b), (f"SplitSetBuilder {BYTE_CAP >> 20} MiB cap", s)]:
        runs = " ".join(f"{x:.2f}" for x in r["all_secs"])
        print(f"{label:<28} {r['mb'] / r['secs']:7.1f} {r['docs'] / r['secs']:9.0f} {r['peak']:12.0f} "
              f"{r['size'] / 1e6:10.1f} {runs:>22}")
    sizes = s["sizes"]
    fill = sorted(n / BYTE_CAP for n in sizes[:-1])
    print(f"splits: {len(sizes)}; sealed at the cap: {len(fill)}, size / cap "
          f"min {fill[0]:.3f}, median {statistics.median(fill):.3f}, max {fill[-1]:.3f}; "
          f"last split (sealed by build) {sizes[-1] / BYTE_CAP:.3f}")
    print(f"SplitSetBuilder / Builder throughput: {b['secs'] / s['secs']:.2f}x")


if __name__ == "__main__":
    if len(sys.argv) > 1:
        child(sys.argv[1], sys.argv[2])
    else:
        main()
