"""The demo: indexes Debian's fortune corpus with halcyra and answers a query
from the files it wrote, through the small reader in the test tree."""

import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "python", "tests"))

import fortunes  # noqa: E402
import halcyra  # noqa: E402
import readers  # noqa: E402

OUT = os.path.normpath(os.path.join(HERE, "..", "demo-out", "fortunes"))
QUERY = "open source"


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

    def read(name):
        with open(os.path.join(OUT, name), "rb") as f:
            return f.read()

    _, postings, _ = readers.ngram_index(read("index.hys"))
    records = readers.record_store(read("records.idx"), read("records.bin"))
    hits = None
    for key in halcyra.tokenize(phrase):
        ids = set(postings.get(key, ()))
        hits = ids if hits is None else hits & ids
    hits = sorted(hits or ())
    # N-gram hits are candidates; a reader confirms the phrase in the record.
    confirmed = [d for d in hits if phrase in records[d].decode().lower()]
    print(f"\nQuery {phrase!r}: {len(hits)} documents hold all its keys, {len(confirmed)} contain the phrase.")
    for doc_id in confirmed[:3]:
        print(f"--- doc {doc_id}")
        print(records[doc_id].decode().rstrip())
    _, facets = readers.facet_sidecar(read("index.hyf"))
    sources = {name: len(head) + len(tail) for field, cats in facets for name, _, head, tail, _ in cats}
    top = sorted(sources.items(), key=lambda kv: -kv[1])[:5]
    print("\nLargest facet categories (source): " + ", ".join(f"{n} ({c})" for n, c in top))


def main():
    print("halcyra exports:", ", ".join(halcyra.__all__))
    print("\nN-gram keys (ASCII trigrams are packed bytes; other windows are hashed):")
    for text in ["Hello, World!", "Straße", "жук"]:
        show_keys(text)
    print()
    build_dataset()
    query(QUERY)


if __name__ == "__main__":
    main()
