"""Throughput of halcyra.tokenize from Python, one call per document, beside a
real peer doing comparable work on the same text: SQLite FTS5's trigram
tokenizer indexing the documents into an in-memory table."""

import os
import sqlite3
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "scripts"))

import fortunes  # noqa: E402
import halcyra  # noqa: E402

RUNS = 5


def median_seconds(fn):
    times = []
    for _ in range(RUNS):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def tokenize_all(texts):
    tokenize = halcyra.tokenize
    for t in texts:
        tokenize(t)


def fts5_trigram(texts):
    db = sqlite3.connect(":memory:")
    db.execute("CREATE VIRTUAL TABLE t USING fts5(body, tokenize='trigram')")
    with db:
        db.executemany("INSERT INTO t(body) VALUES (?)", ((t,) for t in texts))
    db.close()


def main():
    print(f"{'corpus':<10} {'MB':>6} {'docs':>7} {'halcyra MB/s':>13} {'FTS5 trigram MB/s':>18} {'ratio':>7}")
    for label, directory in [("english", fortunes.ENGLISH), ("russian", fortunes.RUSSIAN)]:
        texts = [t for _, t in fortunes.load(directory)]
        if not texts:
            print(f"{label:<10} no documents in {directory}")
            continue
        mb = sum(len(t.encode()) for t in texts) / 1e6
        ours = mb / median_seconds(lambda: tokenize_all(texts))
        peer = mb / median_seconds(lambda: fts5_trigram(texts))
        print(f"{label:<10} {mb:6.2f} {len(texts):7d} {ours:13.1f} {peer:18.1f} {ours / peer:6.1f}x")
    print(f"(median of {RUNS} runs; FTS5 also builds its index, halcyra.tokenize only keys the text)")


if __name__ == "__main__":
    main()
