"""Term analyzer throughput beside real peers on the same English text (the
Debian fortunes, one call per document).

Runs the C++ benchmark given as the first argument (build/bench/analyzer_bench),
reads its figure for english stemming with stop-word removal, then times:
  - Xapian's TermGenerator with the Snowball english stemmer, every term
    stemmed (STEM_ALL), the same 31 stop words dropped (STOP_ALL), no
    positions: the closest peer, doing the same work through Python;
  - SQLite FTS5 with the porter tokenizer indexing the documents into an
    in-memory table (no stop words; also builds its index).
"""

import os
import sqlite3
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "scripts"))

import fortunes  # noqa: E402

RUNS = 7
TARGET_ROW = "english stem+stop words"
ENGLISH_STOP_WORDS = (
    "a an and are as at be but by for from had has have he in is it its of on or "
    "that the this to was were which will with"
).split()


def median_seconds(fn):
    times = []
    for _ in range(RUNS):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def ours(binary):
    out = subprocess.run([binary], check=True, capture_output=True, text=True).stdout
    print(out, end="")
    for line in out.splitlines():
        if line.startswith(TARGET_ROW):
            return float(line.split()[-1])
    raise SystemExit(f"no '{TARGET_ROW}' row in the output of {binary}")


def xapian_runner(texts):
    import xapian

    stopper = xapian.SimpleStopper()
    for w in ENGLISH_STOP_WORDS:
        stopper.add(w)
    tg = xapian.TermGenerator()
    tg.set_stemmer(xapian.Stem("english"))
    tg.set_stemming_strategy(xapian.TermGenerator.STEM_ALL)
    tg.set_stopper(stopper)
    tg.set_stopper_strategy(xapian.TermGenerator.STOP_ALL)

    def run(batch=texts):
        for t in batch:
            tg.set_document(xapian.Document())
            tg.index_text_without_positions(t)

    return run


def fts5_porter(texts):
    db = sqlite3.connect(":memory:")
    db.execute("CREATE VIRTUAL TABLE t USING fts5(body, tokenize='porter unicode61', detail=none)")
    with db:
        db.executemany("INSERT INTO t(body) VALUES (?)", ((t,) for t in texts))
    db.close()


def main():
    if len(sys.argv) != 2:
        raise SystemExit("usage: analyzer_peers.py ANALYZER_BENCH_BINARY")
    halcyra_mbps = ours(sys.argv[1])

    texts = [t for _, t in fortunes.load(fortunes.ENGLISH)]
    mb = sum(len(t.encode()) for t in texts) / 1e6
    xapian = xapian_runner(texts)
    xapian_secs = median_seconds(xapian)
    xapian_mbps = mb / xapian_secs
    # What the same loop costs on empty texts: the Python and binding share.
    empty = [""] * len(texts)
    overhead = median_seconds(lambda: xapian(empty))
    fts5_mbps = mb / median_seconds(lambda: fts5_porter(texts))

    print()
    print(f"english stemming + stop words, {mb:.2f} MB in {len(texts)} documents")
    print(f"{'':<34} {'MB/s':>8} {'halcyra / peer':>15}")
    print(f"{'halcyra Analyzer (C++)':<34} {halcyra_mbps:8.1f}")
    print(f"{'Xapian TermGenerator (Python)':<34} {xapian_mbps:8.1f} {halcyra_mbps / xapian_mbps:14.2f}x")
    xapian_net = mb / max(xapian_secs - overhead, 1e-9)
    print(f"{'  less empty-call overhead':<34} {xapian_net:8.1f} {halcyra_mbps / xapian_net:14.2f}x")
    print(f"{'SQLite FTS5 porter (Python)':<34} {fts5_mbps:8.1f} {halcyra_mbps / fts5_mbps:14.2f}x")
    print(f"(medians of {RUNS} runs each; Xapian empty-call overhead {overhead * 1e3:.1f} ms per pass)")


if __name__ == "__main__":
    main()
