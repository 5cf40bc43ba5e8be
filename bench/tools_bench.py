"""halcyra_tools over the 64 MB English corpus of builder_bench.py, built as a
dataset, as a split set (4 MiB cap, Bloom filters, source facets) and as a
stemmed term index:

- queries over HTTP, the files served by nginx on loopback: for each query a
  fresh reader, and its requests and bytes against the bytes the query
  needed (the headers and tables it must read, the dictionary blocks of its
  keys or terms, their postings); goals: a term query on the .hyt in at most
  4 requests, an n-gram query on the split set in the manifest plus at most
  3 requests per split that the Bloom filters leave;
- verify throughput on the local files (goal: 100 MB/s of index bytes).
"""

import os
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, ".."))

from builder_bench import batches, corpus, write_corpus  # noqa: E402

import halcyra_tools  # noqa: E402
from halcyra_tools.formats import NGRAM_ENTRY  # noqa: E402
from halcyra_tools.nginx import Nginx  # noqa: E402

BYTE_CAP = 4 << 20
TERM_QUERIES = ["computer", "love", "klingon", "wisdom", "programmer"]
NGRAM_QUERIES = ["open source", "Klingon", "programmer", "the meaning of life", "zebra", "quixotic zeppelin"]
VERIFY_RUNS = 3


def build(path, out):
    import halcyra

    stats = {"bytes": 0, "docs": 0}
    dataset = halcyra.Builder()
    splits = halcyra.SplitSetBuilder(byte_cap=BYTE_CAP, name_prefix="bench")
    terms = halcyra.TermBuilder(language="english", stopwords=True)
    doc_id = 0
    for batch in batches(corpus(path, stats)):
        dataset.add_many([(rank, text, payload, {"source": [src]}) for rank, text, payload, src in batch])
        for _, text, _, src in batch:
            splits.add_faceted(text, {"source": [src]})
        terms.add_many([(doc_id + i, text) for i, (_, text, _, _) in enumerate(batch)])
        doc_id += len(batch)
    dataset.build(os.path.join(out, "dataset"))
    splits.build(os.path.join(out, "splits"))
    terms.finish(os.path.join(out, "terms.hyt"))
    return stats


def folder_bytes(path):
    if os.path.isfile(path):
        return os.path.getsize(path)
    return sum(os.path.getsize(os.path.join(path, n)) for n in os.listdir(path))


def needed_term(local, word):
    """Bytes a term query cannot do without: header, router, the term's
    block, its postings record."""
    index = local.index
    h = index.header
    terms = local.terms(word)
    total = 40 + h.router_length
    blocks = set()
    for term in terms:
        found = index.fst.lower_bound(term)
        if found:
            blocks.add(found[1])
    total += sum(v & 0xFFFFFF for v in blocks)
    for record, _, length in index.locate(terms).values():
        total += length
    return total


def needed_ngram(local, text):
    """Bytes an n-gram query on a split set cannot do without: the manifest,
    and for each split the Bloom filters leave: header and block index, the
    dictionary blocks of the keys, their postings."""
    keys = local.query(text)
    total = local.manifest.size
    for i in local.candidates(keys, None):
        reader = local.reader(i)
        h = reader.header
        total += h.dict_at
        blocks = set(int(b) for b in np.searchsorted(reader.block_keys(), keys, "right") - 1 if b >= 0)
        total += sum(NGRAM_ENTRY.itemsize * min(h.stride, h.count - b * h.stride) for b in blocks)
        total += sum(length for _, length in reader.entries(keys).values())
    return total


def query_figures(server, out):
    print("\nqueries over HTTP (nginx on loopback), each from a fresh reader:")
    print(f"  {'query':<32} {'hits':>6} {'requests':>9} {'goal':>5} {'bytes read':>11} {'needed':>9} "
          f"{'splits searched/total':>22}")
    local = halcyra_tools.open(os.path.join(out, "terms.hyt"))
    for word in TERM_QUERIES:
        with halcyra_tools.open(server.url + "terms.hyt") as index:
            hits = index.search(word)
            s = index.stats
        assert hits == local.search(word)
        print(f"  {'.hyt ' + repr(word):<32} {len(hits):>6} {s.requests:>9} {4:>5} {s.bytes:>11,} "
              f"{needed_term(local, word):>9,} {'-':>22}")
    local = halcyra_tools.open(os.path.join(out, "splits"))
    for text in NGRAM_QUERIES:
        with halcyra_tools.open(server.url + "splits/") as index:
            hits = index.search(text)
            s = index.stats
        assert hits == local.search(text)
        goal = 1 + 3 * s.splits_searched
        print(f"  {'split set ' + repr(text):<32} {len(hits):>6} {s.requests:>9} {goal:>5} {s.bytes:>11,} "
              f"{needed_ngram(local, text):>9,} {f'{s.splits_searched}/{s.splits_total}':>22}")
    local = halcyra_tools.open(os.path.join(out, "dataset"))
    for text in NGRAM_QUERIES[:3]:
        with halcyra_tools.open(server.url + "dataset/") as index:
            hits = index.search(text, facets={"source": ["computers"]})
            s = index.stats
        assert hits == local.search(text, facets={"source": ["computers"]})
        print(f"  {'dataset ' + repr(text) + ' computers':<32} {len(hits):>6} {s.requests:>9} {'':>5} "
              f"{s.bytes:>11,} {'':>9} {'-':>22}")


def verify_figures(out):
    print(f"\nverify on local files (best of {VERIFY_RUNS}):")
    for name in ("dataset", "splits", "terms.hyt"):
        path = os.path.join(out, name)
        best = None
        for _ in range(VERIFY_RUNS):
            start = time.perf_counter()
            report = halcyra_tools.check(path)
            secs = time.perf_counter() - start
            assert not report.problems, report.problems[:3]
            best = secs if best is None else min(best, secs)
        mb = report.bytes_checked / 1e6
        print(f"  {name:<10} {folder_bytes(path) / 1e6:8.1f} MB on disk, {mb:8.1f} MB checked in {best:6.2f} s: "
              f"{mb / best:6.0f} MB/s")


def main():
    # An output folder given as argument is kept, and reused when it is there.
    keep = sys.argv[1] if len(sys.argv) > 1 else None
    with tempfile.TemporaryDirectory(prefix="hy-tools-bench-") as tmp:
        out = keep or os.path.join(tmp, "out")
        if not os.path.exists(os.path.join(out, "terms.hyt")):
            path = os.path.join(tmp, "corpus.txt")
            write_corpus(path)
            start = time.perf_counter()
            stats = build(path, out)
            print(f"corpus: {stats['bytes'] / 1e6:.1f} MB of text, {stats['docs']} documents, built in "
                  f"{time.perf_counter() - start:.0f} s")
        print(f"dataset {folder_bytes(os.path.join(out, 'dataset')) / 1e6:.0f} MB, split set "
              f"{folder_bytes(os.path.join(out, 'splits')) / 1e6:.0f} MB "
              f"({len(os.listdir(os.path.join(out, 'splits')))} files), term index "
              f"{folder_bytes(os.path.join(out, 'terms.hyt')) / 1e6:.0f} MB")
        with Nginx(out) as server:
            query_figures(server, out)
        verify_figures(out)


if __name__ == "__main__":
    main()
