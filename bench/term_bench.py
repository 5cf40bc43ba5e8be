"""Builds a whole-term index of the 64 MB English corpus of builder_bench.py
three ways, each in a fresh process: halcyra's TermBuilder (English stemming
and stop words), SQLite FTS5 with the porter/unicode61 tokenizer and
detail=none (document sets only, like a term index), and Xapian's
TermGenerator with the English stemmer, without positions, committed once.
Prints throughput, peak RSS, output size and halcyra's ratios against both.
The total time covers streaming the corpus from its file; a second column
counts only the time spent inside the indexing calls. HALCYRA_BENCH_ENGINES
(e.g. "halcyra,fts5") limits the run to some engines while iterating.
"""

import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from builder_bench import batches, corpus, dir_bytes, rss_mb, write_corpus  # noqa: E402

RUNS = 3


class Clock:
    """Sums the time spent inside the indexing calls."""

    def __init__(self):
        self.secs = 0.0

    def __enter__(self):
        self.start = time.perf_counter()

    def __exit__(self, *exc):
        self.secs += time.perf_counter() - self.start


def run_halcyra(docs, out, clock):
    import halcyra

    with clock:
        b = halcyra.TermBuilder(language="english", stopwords=True)
    doc_id = 0
    for batch in batches(docs):
        rows = [(doc_id + i, text) for i, (_, text, _, _) in enumerate(batch)]
        with clock:
            b.add_many(rows)
        doc_id += len(batch)
    with clock:
        b.finish(os.path.join(out, "index.hyt"))
    return dir_bytes(out)


def run_fts5(docs, out, clock):
    import sqlite3

    with clock:
        db = sqlite3.connect(os.path.join(out, "fts.db"))
        db.execute("PRAGMA journal_mode=OFF")
        db.execute("CREATE VIRTUAL TABLE t USING fts5(body, tokenize='porter unicode61', detail=none)")
    doc_id = 0
    for batch in batches(docs):
        rows = [(doc_id + i, text) for i, (_, text, _, _) in enumerate(batch)]
        with clock:
            db.executemany("INSERT INTO t(rowid, body) VALUES (?, ?)", rows)
        doc_id += len(batch)
    with clock:
        db.commit()  # the inserts ran in one implicit transaction
        db.close()
    return dir_bytes(out)


def run_xapian(docs, out, clock):
    import xapian

    with clock:
        db = xapian.WritableDatabase(os.path.join(out, "xapian"), xapian.DB_CREATE_OR_OVERWRITE)
        tg = xapian.TermGenerator()
        tg.set_stemmer(xapian.Stem("english"))
    for _, text, _, _ in docs:
        with clock:
            doc = xapian.Document()
            tg.set_document(doc)
            tg.index_text_without_positions(text)
            db.add_document(doc)
    with clock:
        db.commit()  # the inserts ran in one implicit transaction
        db.close()
    return dir_bytes(out)


RUNNERS = {"halcyra": run_halcyra, "fts5": run_fts5, "xapian": run_xapian}
ENGINES = [e for e in os.environ.get("HALCYRA_BENCH_ENGINES", ",".join(RUNNERS)).split(",") if e]


def child(which, path):
    stats = {"bytes": 0, "docs": 0}
    docs = corpus(path, stats)
    before = rss_mb()
    out = tempfile.mkdtemp(prefix="hy-bench-")
    clock = Clock()
    try:
        start = time.perf_counter()
        size = RUNNERS[which](docs, out, clock)
        secs = time.perf_counter() - start
    finally:
        shutil.rmtree(out)
    print(json.dumps(dict(mb=stats["bytes"] / 1e6, docs=stats["docs"], secs=secs, index_secs=clock.secs,
                          peak=rss_mb(), before=before, size=size)))


def measure(which, path):
    """RUNS fresh processes; medians of time and peak RSS."""
    results = []
    for _ in range(RUNS):
        out = subprocess.run([sys.executable, __file__, which, path], capture_output=True, text=True, check=True)
        results.append(json.loads(out.stdout))
    r = dict(results[0])
    r["secs"] = statistics.median(x["secs"] for x in results)
    r["index_secs"] = statistics.median(x["index_secs"] for x in results)
    r["peak"] = statistics.median(x["peak"] for x in results)
    r["all_secs"] = [round(x["secs"], 2) for x in results]
    return r


def main():
    with tempfile.TemporaryDirectory(prefix="hy-corpus-") as tmp:
        path = os.path.join(tmp, "corpus.txt")
        write_corpus(path)
        rows = {name: measure(name, path) for name in ENGINES}
    h = rows["halcyra"]
    print(f"corpus: {h['mb']:.1f} MB of text, {h['docs']} documents (median of {RUNS} runs each)")
    print(f"{'build':<28} {'MB/s':>7} {'index MB/s':>11} {'peak RSS MB':>12} {'output MB':>10} "
          f"{'halcyra speedup':>16} {'(indexing only)':>16}  runs (s)")
    for name, label in [("halcyra", "halcyra TermBuilder"), ("fts5", "FTS5 porter unicode61 none"),
                        ("xapian", "Xapian, no positions")]:
        if name not in rows:
            continue
        r = rows[name]
        print(f"{label:<28} {r['mb'] / r['secs']:7.1f} {r['mb'] / r['index_secs']:11.1f} {r['peak']:12.0f} "
              f"{r['size'] / 1e6:10.1f} {r['secs'] / h['secs']:15.1f}x {r['index_secs'] / h['index_secs']:15.1f}x"
              f"  {r['all_secs']}")
    for name, label in [("fts5", "FTS5's"), ("xapian", "Xapian's")]:
        if name in rows:
            print(f"halcyra peak RSS: {h['peak'] / rows[name]['peak']:.2f}x {label}")
    print(f"(the halcyra process held {h['before']:.0f} MB before its first document)")


if __name__ == "__main__":
    if len(sys.argv) > 1:
        child(sys.argv[1], sys.argv[2])
    else:
        main()
