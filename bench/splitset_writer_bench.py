"""The streaming SplitSetWriter on the 64 MB English corpus of builder_bench.py,
beside SplitSetBuilder on the same documents, each measurement in a fresh
process (median of 3; the two add measurements median of 7, alternating):

- add: every document into one memtable (no flush), against SplitSetBuilder.add
  with a cap it never reaches, so that neither seals; only the add calls are
  timed, in MB/s of text, with the process's peak RSS;
- flush: one memtable of about 32 MB (memtable_bytes; the whole corpus makes
  about 25 MB, so it is added again until the memtable is that large),
  sealed into a delta split, in MB/s of split bytes, with the peak RSS;
- compact: 16 delta splits of 8000 documents each (the last one less), the
  whole corpus (one id in 100 deleted before each flush), merged into one,
  in MB/s of input split bytes.
"""

import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from builder_bench import RUNS, batches, corpus, rss_mb, write_corpus  # noqa: E402

FLUSH_BYTES = 32 << 20
DOCS_PER_DELTA = 8000  # the corpus has 127085 documents: 16 deltas
DELTAS = 16


def texts(docs):
    """The corpus in batches of texts, read before any timing starts."""
    for batch in batches(docs):
        yield [text for _, text, _, _ in batch]


def timed_adds(add, docs):
    secs = 0.0
    for batch in texts(docs):
        start = time.perf_counter()
        for text in batch:
            add(text)
        secs += time.perf_counter() - start
    return secs


def run_builder_add(docs, again):
    import halcyra

    b = halcyra.SplitSetBuilder(policy="stable_key", byte_cap=1 << 50, name_prefix="bench")
    return dict(secs=timed_adds(b.add, docs))


def run_writer_add(docs, again):
    import halcyra

    w = halcyra.SplitSetWriter(name_prefix="bench")
    secs = timed_adds(w.add, docs)
    return dict(secs=secs, memtable_mb=w.memtable_bytes() / 1e6)


def run_flush(docs, again):
    import halcyra

    w = halcyra.SplitSetWriter(name_prefix="bench")
    while w.memtable_bytes() < FLUSH_BYTES:
        for batch in texts(docs):
            for text in batch:
                w.add(text)
            if w.memtable_bytes() >= FLUSH_BYTES:
                break
        docs = again()
    estimate = w.memtable_bytes()
    start = time.perf_counter()
    name, split, manifest = w.flush()
    secs = time.perf_counter() - start
    return dict(secs=secs, split_mb=len(split) / 1e6, estimate_mb=estimate / 1e6)


def run_compact(docs, again):
    import halcyra

    w = halcyra.SplitSetWriter(name_prefix="bench")
    inputs = []
    manifest = None
    for batch in texts(docs):
        for text in batch:
            doc_id = w.add(text)
            if doc_id % 100 == 99:
                w.delete(doc_id - 50)
            if w.memtable_doc_count() == DOCS_PER_DELTA:
                name, split, manifest = w.flush()
                inputs.append((name, split))
    if w.memtable_doc_count():
        name, split, manifest = w.flush()
        inputs.append((name, split))
    assert len(inputs) == DELTAS
    input_mb = sum(len(split) for _, split in inputs) / 1e6
    # The process's first compaction, then the same one again from a writer
    # resumed in the same state: the first touches fresh memory (a page fault
    # per page), the second reuses what the allocator kept from the first.
    secs, output_mb = [], 0
    for _ in range(2):
        writer = halcyra.SplitSetWriter.resume(manifest, name_prefix="bench")
        start = time.perf_counter()
        _, split, _, removed = writer.compact(inputs)
        secs.append(time.perf_counter() - start)
        assert removed == [name for name, _ in inputs]
        output_mb = len(split) / 1e6
        del split
    return dict(secs=secs[0], again_secs=secs[1], input_mb=input_mb, output_mb=output_mb)


RUNNERS = {"builder-add": run_builder_add, "writer-add": run_writer_add, "flush": run_flush,
           "compact": run_compact}


def child(which, path):
    stats = {"bytes": 0, "docs": 0}
    docs = corpus(path, stats)
    before = rss_mb()
    row = RUNNERS[which](docs, lambda: corpus(path, {"bytes": 0, "docs": 0}))
    row.update(mb=stats["bytes"] / 1e6, docs=stats["docs"], peak=rss_mb(), before=before)
    print(json.dumps(row))


# The two add measurements take about a second each and are compared with
# each other, so they run more often, alternating, to keep the ratio steady.
ADD_RUNS = 7


def run_once(which, path):
    out = subprocess.run([sys.executable, __file__, which, path], capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def summarize(results):
    """The first run's figures with the median of every timing and of the peak RSS."""
    r = dict(results[0])
    for field in ("secs", "again_secs", "peak"):
        if field in r:
            r[field] = statistics.median(x[field] for x in results)
    r["all_secs"] = [x["secs"] for x in results]
    return r


def measure(which, path):
    """Runs `which` RUNS times, each in a fresh process."""
    return summarize([run_once(which, path) for _ in range(RUNS)])


def measure_adds(path):
    """Both add measurements, ADD_RUNS fresh processes each, alternating."""
    results = {"builder-add": [], "writer-add": []}
    for _ in range(ADD_RUNS):
        for which, runs in results.items():
            runs.append(run_once(which, path))
    return {which: summarize(runs) for which, runs in results.items()}


def main():
    with tempfile.TemporaryDirectory(prefix="hy-corpus-") as tmp:
        path = os.path.join(tmp, "corpus.txt")
        write_corpus(path)
        rows = measure_adds(path)
        rows.update({name: measure(name, path) for name in ("flush", "compact")})
    b, a, f, c = rows["builder-add"], rows["writer-add"], rows["flush"], rows["compact"]
    print(f"corpus: {b['mb']:.1f} MB of text, {b['docs']} documents (medians of {ADD_RUNS} alternating runs for the "
          f"adds, {RUNS} for the rest; fresh processes)")
    print(f"{'measurement':<40} {'MB/s':>8} {'peak RSS MB':>12} {'runs (s)':>22}")

    def line(label, mb, r):
        runs = " ".join(f"{x:.2f}" for x in r["all_secs"])
        print(f"{label:<40} {mb / r['secs']:8.1f} {r['peak']:12.0f}  {runs}")

    line("SplitSetBuilder.add (MB of text)", b["mb"], b)
    line("SplitSetWriter.add (MB of text)", a["mb"], a)
    line(f"flush of a {f['estimate_mb']:.1f} MB memtable (MB of split)", f["split_mb"], f)
    line(f"compact of {DELTAS} deltas, {c['input_mb']:.1f} MB (MB of input)", c["input_mb"], c)
    print(f"{'  the same compaction again in the process':<40} {c['input_mb'] / c['again_secs']:8.1f}")
    print(f"writer memtable after every add: {a['memtable_mb']:.1f} MB (memtable_bytes); "
          f"flushed split {f['split_mb']:.1f} MB from an estimate of {f['estimate_mb']:.1f} MB; "
          f"compacted split {c['output_mb']:.1f} MB")
    print(f"SplitSetWriter.add / SplitSetBuilder.add throughput: {b['secs'] / a['secs']:.2f}x (target >= 1)")
    print(f"compaction: {c['input_mb'] / c['secs']:.0f} MB/s of input splits, {c['input_mb'] / c['again_secs']:.0f} MB/s "
          f"when repeated in the process (target >= 200)")


if __name__ == "__main__":
    if len(sys.argv) > 1:
        child(sys.argv[1], sys.argv[2])
    else:
        main()
