"""Builds one 64 MB English corpus with halcyra's Builder and with SQLite FTS5's
trigram tokenizer, each in a fresh process, and prints throughput, peak RSS,
output size and the ratios.

The corpus is Debian's fortunes recombined deterministically into unique
documents of three fortunes each, with a rank, a small JSON payload and the
source file as a facet. It is generated once into a file that both builds
stream from, so that neither pays for generating it nor holds it whole.
"""

import json
import os
import resource
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "scripts"))

import fortunes  # noqa: E402

CORPUS_BYTES = 64 * 1000 * 1000
RUNS = 3
BATCH = 10000


DOC_SEP, FIELD_SEP = "\x1e", "\x1f"  # never in the fortunes' text


def write_corpus(path):
    """Writes the corpus: documents separated by DOC_SEP, each rank, source and
    text separated by FIELD_SEP. Deterministic; every text is unique."""
    import random

    base = fortunes.load(fortunes.ENGLISH)
    rng = random.Random(20261208)
    seen = set()
    total = 0
    with open(path, "w", encoding="utf-8") as f:
        while total < CORPUS_BYTES:
            picks = [rng.randrange(len(base)) for _ in range(3)]
            combination = (picks[0] * len(base) + picks[1]) * len(base) + picks[2]
            if combination in seen:
                continue
            seen.add(combination)
            text = "\n".join(base[p][1] for p in picks)
            assert DOC_SEP not in text and FIELD_SEP not in text
            total += len(text.encode())
            f.write(f"{rng.randrange(1 << 20)}{FIELD_SEP}{base[picks[0]][0]}{FIELD_SEP}{text}{DOC_SEP}")


def corpus(path, stats):
    """Streams (rank, text, payload, source) from the corpus file, counting into stats."""
    rest = ""
    with open(path, encoding="utf-8") as f:
        while True:
            block = f.read(1 << 20)
            docs = (rest + block).split(DOC_SEP)
            rest = docs.pop()
            for doc in docs:
                rank, source, text = doc.split(FIELD_SEP, 2)
                stats["bytes"] += len(text.encode())
                stats["docs"] += 1
                yield int(rank), text, b'{"id": %d}' % stats["docs"], source
            if not block:
                return


def batches(docs):
    batch = []
    for doc in docs:
        batch.append(doc)
        if len(batch) == BATCH:
            yield batch
            batch = []
    if batch:
        yield batch


def rss_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def dir_bytes(path):
    return sum(os.path.getsize(os.path.join(d, f)) for d, _, files in os.walk(path) for f in files)


def run_halcyra(docs, out):
    import halcyra

    b = halcyra.Builder()
    for batch in batches(docs):
        b.add_many([(rank, text, payload, {"source": [src]}) for rank, text, payload, src in batch])
    b.build(out)
    return dir_bytes(out)


def run_fts5(docs, out, detail):
    path = os.path.join(out, "fts.db")
    db = sqlite3.connect(path)
    db.execute("PRAGMA journal_mode=OFF")
    db.execute("CREATE TABLE records(id INTEGER PRIMARY KEY, rank INTEGER, payload BLOB, source TEXT)")
    db.execute(f"CREATE VIRTUAL TABLE t USING fts5(body, tokenize='trigram', detail={detail})")
    with db:
        for batch in batches(docs):
            first = db.execute("SELECT count(*) FROM records").fetchone()[0]
            db.executemany("INSERT INTO records VALUES (?, ?, ?, ?)",
                           ((first + i, rank, payload, src) for i, (rank, _, payload, src) in enumerate(batch)))
            db.executemany("INSERT INTO t(rowid, body) VALUES (?, ?)",
                           ((first + i, text) for i, (_, text, _, _) in enumerate(batch)))
    db.close()
    return dir_bytes(out)


def child(which, path):
    stats = {"bytes": 0, "docs": 0}
    docs = corpus(path, stats)
    before = rss_mb()
    out = tempfile.mkdtemp(prefix="hy-bench-")
    try:
        start = time.perf_counter()
        if which == "halcyra":
            size = run_halcyra(docs, out)
        else:
            size = run_fts5(docs, out, which.split("-")[1])
        secs = time.perf_counter() - start
    finally:
        shutil.rmtree(out)
    print(json.dumps(dict(mb=stats["bytes"] / 1e6, docs=stats["docs"], secs=secs, peak=rss_mb(), before=before,
                          size=size)))


def measure(which, path, script=__file__):
    """Runs `script which path` RUNS times, each in a fresh process; the first
    run's figures with the median time and peak RSS (and every run's time)."""
    results = []
    for _ in range(RUNS):
        out = subprocess.run([sys.executable, script, which, path], capture_output=True, text=True, check=True)
        results.append(json.loads(out.stdout))
    r = dict(results[0])
    r["secs"] = statistics.median(x["secs"] for x in results)
    r["peak"] = statistics.median(x["peak"] for x in results)
    r["all_secs"] = [x["secs"] for x in results]
    return r


def main():
    with tempfile.TemporaryDirectory(prefix="hy-corpus-") as tmp:
        path = os.path.join(tmp, "corpus.txt")
        write_corpus(path)
        rows = {name: measure(name, path) for name in ("halcyra", "fts5-none", "fts5-full")}
    h = rows["halcyra"]
    print(f"corpus: {h['mb']:.1f} MB of text, {h['docs']} documents (median of {RUNS} runs each)")
    print(f"{'build':<20} {'MB/s':>7} {'docs/s':>9} {'peak RSS MB':>12} {'output MB':>10} {'halcyra speedup':>16}")
    for name, label in [("halcyra", "halcyra Builder"), ("fts5-none", "FTS5 trigram none"), ("fts5-full", "FTS5 trigram full")]:
        r = rows[name]
        print(
            f"{label:<20} {r['mb'] / r['secs']:7.1f} {r['docs'] / r['secs']:9.0f} {r['peak']:12.0f} "
            f"{r['size'] / 1e6:10.1f} {r['secs'] / h['secs']:15.1f}x"
        )
    print(f"halcyra peak RSS / corpus size: {h['peak'] / h['mb']:.2f}x "
          f"(the process held {h['before']:.0f} MB before its first document)")


if __name__ == "__main__":
    if len(sys.argv) > 1:
        child(sys.argv[1], sys.argv[2])
    else:
        main()
