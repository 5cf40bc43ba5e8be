"""Builds a whole-term index of the 64 MB English corpus of builder_bench.py
three ways, each in a fresh process: halcyra's TermBuilder (English stemming
and stop words), SQLite FTS5 with the porter/unicode61 tokenizer and
detail=none (document sets only, like a term index), and Xapian's
TermGenerator with the English stemmer, without positions, committed once.
Prints throughput, peak RSS, output size and halcyra's ratios against both.
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


def run_halcyra(docs, out):
    import halcyra

    b = halcyra.TermBuilder(language="english", stopwords=True)
    doc_id = 0
    for batch in batches(docs):
        b.add_many([(doc_id + i, text) for i, (_, text, _, _) in enumerate(batch)])
        doc_id += len(batch)
    b.finish(os.path.join(out, "index.hyt"))
    return dir_bytes(out)


def run_fts5(docs, out):
    import sqlite3

    db = sqlite3.connect(os.path.join(out, "fts.db"))
    db.execute("PRAGMA journal_mode=OFF")
    db.execute("CREATE VIRTUAL TABLE t USING fts5(body, tokenize='porter unicode61', detail=none)")
    doc_id = 0
    with db:
        for batch in batches(docs):
            db.executemany("INSERT INTO t(rowid, body) VALUES (?, ?)",
                           ((doc_id + i, text) for i, (_, text, _, _) in enumerate(batch)))
            doc_id += len(batch)
    db.close()
    return dir_bytes(out)


def run_xapian(docs, out):
    import xapian

    db = xapian.WritableDatabase(os.path.join(out, "xapian"), xapian.DB_CREATE_OR_OVERWRITE)
    tg = xapian.TermGenerator()
    tg.set_stemmer(xapian.Stem("english"))
    for _, text, _, _ in docs:
        doc = xapian.Document()
        tg.set_document(doc)
        tg.index_text_without_positions(text)
        db.add_document(doc)
    db.commit()
    db.close()
    return dir_bytes(out)


RUNNERS = {"halcyra": run_halcyra, "fts5": run_fts5, "xapian": run_xapian}


def child(which, path):
    stats = {"bytes": 0, "docs": 0}
    docs = corpus(path, stats)
    before = rss_mb()
    out = tempfile.mkdtemp(prefix="hy-bench-")
    try:
        start = time.perf_counter()
        size = RUNNERS[which](docs, out)
        secs = time.perf_counter() - start
    finally:
        shutil.rmtree(out)
    print(json.dumps(dict(mb=stats["bytes"] / 1e6, docs=stats["docs"], secs=secs, peak=rss_mb(), before=before,
                          size=size)))


def measure(which, path):
    """RUNS fresh processes; medians of time and peak RSS."""
    results = []
    for _ in range(RUNS):
        out = subprocess.run([sys.executable, __file__, which, path], capture_output=True, text=True, check=True)
        results.append(json.loads(out.stdout))
    r = dict(results[0])
    r["secs"] = statistics.median(x["secs"] for x in results)
    r["peak"] = statistics.median(x["peak"] for x in results)
    r["all_secs"] = [round(x["secs"], 2) for x in results]
    return r


def main():
    with tempfile.TemporaryDirectory(prefix="hy-corpus-") as tmp:
        path = os.path.join(tmp, "corpus.txt")
        write_corpus(path)
        rows = {name: measure(name, path) for name in RUNNERS}
    h = rows["halcyra"]
    print(f"corpus: {h['mb']:.1f} MB of text, {h['docs']} documents (median of {RUNS} runs each)")
    print(f"{'build':<28} {'MB/s':>7} {'peak RSS MB':>12} {'output MB':>10} {'halcyra speedup':>16}  runs (s)")
    for name, label in [("halcyra", "halcyra TermBuilder"), ("fts5", "FTS5 porter unicode61 none"),
                        ("xapian", "Xapian, no positions")]:
        r = rows[name]
        print(f"{label:<28} {r['mb'] / r['secs']:7.1f} {r['peak']:12.0f} {r['size'] / 1e6:10.1f} "
              f"{r['secs'] / h['secs']:15.1f}x  {r['all_secs']}")
    f, x = rows["fts5"], rows["xapian"]
    print(f"halcyra peak RSS: {h['peak'] / f['peak']:.2f}x FTS5's, {h['peak'] / x['peak']:.2f}x Xapian's "
          f"(the process held {h['before']:.0f} MB before its first document)")


if __name__ == "__main__":
    if len(sys.argv) > 1:
        child(sys.argv[1], sys.argv[2])
    else:
        main()
