"""The demo: indexes Debian's fortune corpus with halcyra and answers a query
from the files it wrote with halcyra_tools; builds the corpus as a split set,
and as a streaming split set with deltas, a resume and a compaction; builds a
stemmed term index of the same corpus and answers a query through it; builds
a vector index of scikit-learn's handwritten digits and looks up the nearest
neighbours of one digit in it; finally serves everything it wrote with nginx
on a loopback port and answers the same queries over HTTP, counting the
requests and bytes each one took, and verifies the files over HTTP."""

import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, ".."))

import fortunes  # noqa: E402
import halcyra  # noqa: E402
import halcyra_tools  # noqa: E402
from halcyra_tools import nginx, parse  # noqa: E402

OUT = os.path.normpath(os.path.join(HERE, "..", "demo-out", "fortunes"))
QUERY = "open source"
VECTORS_OUT = os.path.normpath(os.path.join(HERE, "..", "demo-out", "digits.hyvi"))
DIGIT = 42  # the row whose neighbours are looked up


def show_keys(text, gram_size=3):
    keys = halcyra.tokenize(text, gram_size)
    shown = []
    for k in keys[:6]:
        if k < 1 << 24:
            shown.append(f"{k:#08x} '{k.to_bytes(3, 'big').decode()}'")
        else:
            shown.append(f"{k:#018x}")
    print(f"  tokenize({text!r}): " + ", ".join(shown) + (" ..." if len(keys) > 6 else ""))


def build_dataset():
    docs = fortunes.load(fortunes.ENGLISH)
    builder = halcyra.Builder()
    # Rank: shorter fortunes first; the record is the text itself; facet: the source file.
    builder.add_many([(-len(text), text, text.encode(), {"source": [source]}) for source, text in docs])
    start = time.perf_counter()
    stats = builder.build(OUT)
    secs = time.perf_counter() - start
    size = sum(len(t.encode()) for _, t in docs)
    print(f"Built {OUT} from {len(docs)} fortunes ({size / 1e6:.1f} MB) in {secs:.2f} s:")
    print(f"  {stats!r}")
    for name in ("index.hys", "index.hyf", "records.bin", "records.idx"):
        print(f"  {name:<12} {os.path.getsize(os.path.join(OUT, name)):>10,} bytes")


def query(phrase):
    """Documents holding every n-gram key of the phrase, best ranked first."""
    index = halcyra_tools.open(OUT)
    hits = index.search(phrase)
    # N-gram hits are candidates; a reader confirms the phrase in the record.
    confirmed = [d for d, record in zip(hits, index.records(hits)) if phrase in record.decode().lower()]
    print(f"\nQuery {phrase!r}: {len(hits)} documents hold all its keys, {len(confirmed)} contain the phrase.")
    for doc_id, record in zip(confirmed[:3], index.records(confirmed[:3])):
        print(f"--- doc {doc_id}")
        print(record.decode().rstrip())
    sources = index.describe()["facets"]["fields"]["source"]
    top = sorted(sources.items(), key=lambda kv: -kv[1])[:5]
    print("\nLargest facet categories (source): " + ", ".join(f"{n} ({c})" for n, c in top))
    s = index.stats
    print(f"Read from the folder with {s.requests} range reads, {s.bytes:,} bytes.")


def build_split_set(phrase, byte_cap=256 << 10):
    """The same corpus as a split set of byte-capped n-gram indexes, and the
    splits a reader can skip for one phrase on the manifest's Bloom filters alone."""
    out = os.path.normpath(os.path.join(OUT, "..", "splits"))
    docs = fortunes.load(fortunes.ENGLISH)
    builder = halcyra.SplitSetBuilder(byte_cap=byte_cap, name_prefix="fortunes")
    start = time.perf_counter()
    for source, text in docs:
        builder.add_faceted(text, {"source": [source]})
    stats = builder.build(out)
    secs = time.perf_counter() - start
    print(f"\nBuilt the split set {out} with a {byte_cap >> 10} KiB cap in {secs:.2f} s:")
    print(f"  {stats!r}")
    index = halcyra_tools.open(out)
    splits = index.describe()["splits"]
    print(f"  index.hyss   {index.manifest.size:>10,} bytes, {len(splits)} splits")
    print(f"  {'split':<22} {'docs':>5} {'bytes':>9}  ids")
    shown = splits if len(splits) <= 8 else splits[:4] + [None] + splits[-3:]
    for s in shown:
        if s is None:
            print("  ...")
            continue
        print(f"  {s['name']:<22} {s['docs']:>5} {s['bytes']:>9,}  {s['first_id']}..{s['last_id']}")

    hits = index.search(phrase)
    s = index.stats
    print(f"Query {phrase!r} ({len(index.query(phrase))} keys): the Bloom filters let a reader skip "
          f"{s.splits_skipped_bloom} of {s.splits_total} splits; of the {s.splits_searched} it searched, "
          f"{len(hits)} documents hold every key.")
    before = index.stats
    index.search(phrase, facets={"source": ["startrek"]})
    s = index.stats - before
    print(f"Filter source=startrek: the facet-presence lists let a reader skip {s.splits_skipped_facets} more of "
          f"the {s.splits_total - s.splits_skipped_bloom} splits the Bloom filters leave.")


def term_index(phrase):
    """The corpus as one term index with English stemming and stop words; the
    query is analyzed the same way and its terms looked up through the router."""
    path = os.path.normpath(os.path.join(OUT, "..", "fortunes.hyt"))
    docs = fortunes.load(fortunes.ENGLISH)
    builder = halcyra.TermBuilder(language="english", stopwords=True)
    start = time.perf_counter()
    builder.add_many([(doc_id, text) for doc_id, (_, text) in enumerate(docs)])
    terms = builder.term_count()
    builder.finish(path)
    secs = time.perf_counter() - start
    index = halcyra_tools.open(path)
    print(f"\nBuilt the term index {path} ({terms} terms, {len(index.index.router())} dictionary blocks, "
          f"{os.path.getsize(path):,} bytes) in {secs:.2f} s")
    query_terms = index.terms(phrase)
    for term, (head, tail) in index.index.records(query_terms).items():
        print(f"  term {term.decode()!r}: {len(head) + len(tail)} documents")
    hits = index.search(phrase)
    print(f"Query {phrase!r} -> terms {[t.decode() for t in query_terms]}: {len(hits)} documents hold them all.")
    for doc_id in hits[:2]:
        print(f"--- doc {doc_id}")
        print(docs[doc_id][1].rstrip())


def writer_life(phrase):
    """A streaming split set: documents arrive in batches, some are deleted,
    each flush returns a delta split and a new manifest that are stored as
    files (split first, manifest second); a new writer resumes from the
    stored manifest; finally the deltas are compacted into one split."""
    out = os.path.normpath(os.path.join(OUT, "..", "stream"))
    os.makedirs(out, exist_ok=True)
    for name in os.listdir(out):
        os.remove(os.path.join(out, name))

    def store(name, data):
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)

    docs = [text for _, text in fortunes.load(fortunes.ENGLISH)]
    batches = [docs[i : i + 2000] for i in range(0, 8000, 2000)]
    writer = halcyra.SplitSetWriter(name_prefix="stream")
    print(f"\nA streaming split set in {out}:")
    for i, batch in enumerate(batches):
        if i == 2:
            # Another process takes over from the stored manifest alone.
            with open(os.path.join(out, "index.hyss"), "rb") as f:
                writer = halcyra.SplitSetWriter.resume(f.read(), name_prefix="stream")
            print(f"  resumed from index.hyss: next id {writer.doc_count()}")
        for text in batch:
            writer.add(text)
        writer.delete(writer.doc_count() - 1)  # the batch's last document is retracted
        memtable = writer.memtable_bytes()
        name, split, manifest = writer.flush()
        store(name, split)
        store("index.hyss", manifest)  # the atomic switch to the new set
        print(f"  flushed {name}: {len(batch)} documents, {len(split):,} bytes (memtable estimate {memtable:,})")
    with open(os.path.join(out, "index.hyss"), "rb") as f:
        _, _, splits = parse.manifest(f.read())
    inputs = []
    for s in splits:
        with open(os.path.join(out, s["name"]), "rb") as f:
            inputs.append((s["name"], f.read()))
    name, split, manifest, removed = writer.compact(inputs)
    store(name, split)
    store("index.hyss", manifest)
    for old in removed:
        os.remove(os.path.join(out, old))
    index = halcyra_tools.open(out)
    (c,) = index.describe()["splits"]
    print(f"  compacted {len(removed)} deltas into {name}: {c['docs']} live documents (ids {c['first_id']}.."
          f"{c['last_id']}), {len(split):,} bytes, {index.describe()['tombstones']} deleted ids carried as tombstones")
    hits = index.search(phrase)
    print(f"  query {phrase!r}: {len(hits)} documents hold all its keys, ids global in the compacted split")


def vectors():
    """Every 8 x 8 digit image is a 64-component vector; its row number is its doc id."""
    from sklearn.datasets import load_digits

    digits = load_digits()
    builder = halcyra.VectorBuilder(64, 16, 8, metric="l2")
    builder.add_many(list(enumerate(digits.data.tolist())))
    start = time.perf_counter()
    stats = builder.build(VECTORS_OUT)
    secs = time.perf_counter() - start
    print(f"\nBuilt {VECTORS_OUT} from {len(digits.data)} handwritten digits in {secs:.2f} s:")
    print(f"  {stats!r}, {os.path.getsize(VECTORS_OUT):,} bytes")

    index = halcyra_tools.open(VECTORS_OUT)
    query = digits.data[DIGIT]
    print(f"\nDigit #{DIGIT}, labelled {digits.target[DIGIT]}:")
    for row in query.reshape(8, 8):
        print("  " + "".join(" .:-=+*#%@"[int(v) * 9 // 16] * 2 for v in row))
    hits = [i for i, _ in index.search(query, k=6, nprobe=4) if i != DIGIT][:5]
    print("Its 5 nearest neighbours in the index (IVF-PQ, 4 of 16 lists probed):")
    print("  " + ", ".join(f"#{i} (a {digits.target[i]})" for i in hits))


def over_http(phrase, term_phrase):
    """The same files served by nginx on a loopback port: each query from a
    fresh reader, with the requests and bytes it took."""
    root = os.path.normpath(os.path.join(OUT, ".."))
    if nginx.find() is None:
        print("\nnginx is not installed (scripts/install-deps installs it): no HTTP queries.")
        return
    with nginx.Nginx(root) as server:
        print(f"\nServing {root} with nginx at {server.url}:")
        for where, text, kwargs in [("fortunes/", phrase, {}),
                                    ("fortunes/", phrase, {"facets": {"source": ["cookie", "linux"]}}),
                                    ("splits/", "Klingon", {}),
                                    ("stream/", "Klingon", {}),
                                    ("fortunes.hyt", term_phrase, {})]:
            with halcyra_tools.open(server.url + where) as index:
                hits = index.search(text, **kwargs)
                s = index.stats
            extra = f", {s.splits_searched} of {s.splits_total} splits searched" if s.splits_total else ""
            facets = f" {kwargs['facets']}" if kwargs else ""
            print(f"  {where + ' ' + repr(text) + facets:<55} {len(hits):>5} hits: {s.requests:>2} requests, "
                  f"{s.bytes:>9,} bytes{extra}")
        with halcyra_tools.open(server.url + "digits.hyvi") as index:
            index.search(load_digit(), k=5, nprobe=4)
            s = index.stats
        print(f"  {'digits.hyvi nearest to #' + str(DIGIT):<55} {5:>5} hits: {s.requests:>2} requests, "
              f"{s.bytes:>9,} bytes")
        start = time.perf_counter()
        report = halcyra_tools.check(server.url + "splits/")
        secs = time.perf_counter() - start
        print(f"  verify splits/ over HTTP: {len(report.problems)} problems in {report.bytes_checked:,} bytes "
              f"({report.requests} requests, {secs:.2f} s)")
    print("nginx stopped.")


def load_digit():
    from sklearn.datasets import load_digits

    return load_digits().data[DIGIT]


def main():
    print("halcyra exports:", ", ".join(halcyra.__all__))
    print("\nN-gram keys (ASCII trigrams are packed bytes; other windows are hashed):")
    for text in ["Hello, World!", "Straße", "жук"]:
        show_keys(text)
    print()
    build_dataset()
    query(QUERY)
    build_split_set("Klingon")
    writer_life("Klingon")
    term_index("The running of the computers")
    vectors()
    over_http(QUERY, "The running of the computers")


if __name__ == "__main__":
    main()
