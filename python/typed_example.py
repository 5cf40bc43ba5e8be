"""Indexes a small catalogue of books with every builder halcyra offers.

Everything is written into a temporary directory and removed on exit. The
program is fully annotated and checks cleanly with `mypy --strict` against
halcyra's type stubs:

    PYTHONPATH=build/python /usr/bin/python3 python/typed_example.py
"""

from __future__ import annotations

import json
import os
import random
import struct
import tempfile
from collections.abc import Sequence
from dataclasses import dataclass

import halcyra


@dataclass(frozen=True)
class Book:
    doc_id: int  # shared by every index: the position in rank order
    rank: int
    title: str
    year: str
    genres: tuple[str, ...]


BOOKS: list[Book] = [
    Book(0, 95, "The Quiet Harbour at Dawn", "2019", ("fiction", "sea")),
    Book(1, 90, "Harbour Lights and Northern Winds", "2020", ("fiction",)),
    Book(2, 84, "A Field Guide to Coastal Birds", "2018", ("nature", "sea")),
    Book(3, 77, "Winds of the Northern Isles", "2020", ("travel",)),
    Book(4, 70, "Cooking with Seaweed", "2021", ("food", "sea")),
    Book(5, 62, "The Lighthouse Keeper's Almanac", "2017", ("history",)),
]

DIM = 8


def embed(text: str) -> list[float]:
    """A stand-in embedding: reproducible pseudo-random floats seeded by the text."""
    rng = random.Random(text)
    return [rng.uniform(-1.0, 1.0) for _ in range(DIM)]


def facets_of(book: Book) -> dict[str, list[str]]:
    return {"year": [book.year], "genre": list(book.genres)}


def build_dataset(out_dir: str) -> halcyra.BuildStats:
    builder = halcyra.Builder(gram_size=3)
    first, *rest = BOOKS
    record = json.dumps({"title": first.title, "year": first.year}).encode()
    builder.add(first.rank, first.title, record, facets_of(first))
    rows: list[tuple[int, str, bytes, dict[str, list[str]] | None]] = [
        (b.rank, b.title, json.dumps({"title": b.title}).encode(), facets_of(b) if b.genres else None)
        for b in rest
    ]
    builder.add_many(rows)
    assert len(builder) == len(BOOKS)
    return builder.build(out_dir)


def build_vectors(out_path: str) -> halcyra.VectorBuildStats:
    builder = halcyra.VectorBuilder(dim=DIM, nlist=2, m=2, nbits=4, metric="l2", seed=7)
    builder.add(BOOKS[0].doc_id, embed(BOOKS[0].title))
    builder.add_many([(b.doc_id, embed(b.title)) for b in BOOKS[1:]])
    # Extra points so that every PQ codebook has something to learn from.
    builder.add_many([(100 + i, embed(f"filler {i}")) for i in range(32)])
    assert len(builder) == len(BOOKS) + 32
    return builder.build(out_path)


def le_f32(values: Sequence[float]) -> bytes:
    return struct.pack(f"<{len(values)}f", *values)


def le_u32(values: Sequence[int]) -> bytes:
    return struct.pack(f"<{len(values)}I", *values)


def write_pretrained_vectors(out_path: str) -> halcyra.VectorBuildStats:
    """Writes a vector index from parts trained elsewhere: 2 lists, 2 sub-quantizers of 2 bits."""
    dim, nlist, m, nbits = 4, 2, 2, 2
    ksub = 1 << nbits
    centroids = [0.0] * dim + [1.0] * dim
    codebooks = [float(k) / ksub for _ in range(m) for k in range(ksub) for _ in range(dim // m)]
    ids = [b.doc_id for b in BOOKS]
    assignments = [i % nlist for i in range(len(ids))]
    codes = bytearray((i + j) % ksub for i in range(len(ids)) for j in range(m))
    return halcyra.write_hyvi_from_faiss(
        out_path,
        dim,
        nlist,
        m,
        le_f32(centroids),
        le_f32(codebooks),
        le_u32(ids),
        le_u32(assignments),
        codes,
        nbits=nbits,
        metric="l2",
        opq=None,
    )


def build_term_indexes(out_dir: str) -> int:
    docs = [(b.doc_id, b.title) for b in BOOKS]
    halcyra.write_term_index(os.path.join(out_dir, "plain.hyt"), docs)

    builder = halcyra.TermBuilder(language="english", stopwords=True)
    builder.add_many(docs[:3])
    builder.add_many(docs[3:])
    terms = builder.term_count()
    builder.finish(os.path.join(out_dir, "stemmed.hyt"))
    return terms


def build_split_sets(out_dir: str) -> tuple[halcyra.SplitSetBuildStats, halcyra.SplitSetBuildStats]:
    ngrams = halcyra.SplitSetBuilder(byte_cap=4096, name_prefix="books", sortcol=("rank", 1, True))
    terms = halcyra.TermSplitSetBuilder(byte_cap=4096, name_prefix="terms", language="english")
    for book in BOOKS:
        if book.genres:
            doc_id = ngrams.add_faceted(book.title, facets_of(book))
        else:
            doc_id = ngrams.add(book.title)
        assert doc_id == terms.add(book.title) == book.doc_id
    assert ngrams.doc_count() == len(ngrams) == len(BOOKS)
    assert terms.doc_count() == len(terms) == len(BOOKS)
    return ngrams.build(os.path.join(out_dir, "ngram-splits")), terms.build(
        os.path.join(out_dir, "term-splits"), manifest_name="terms"
    )


class Store:
    """An object store kept in a directory: splits first, then the manifest."""

    def __init__(self, root: str) -> None:
        self.root = root
        os.makedirs(root, exist_ok=True)

    def put(self, name: str, data: bytes) -> None:
        with open(os.path.join(self.root, name), "wb") as f:
            f.write(data)

    def get(self, name: str) -> bytes:
        with open(os.path.join(self.root, name), "rb") as f:
            return f.read()

    def remove(self, name: str) -> None:
        os.remove(os.path.join(self.root, name))

    def commit(self, flushed: tuple[str, bytes, bytes] | None) -> str | None:
        if flushed is None:
            return None
        name, split, manifest = flushed
        self.put(name, split)
        self.put("index.hyss", manifest)
        return name


def stream_updates(store: Store) -> list[str]:
    writer = halcyra.SplitSetWriter(gram_size=3, name_prefix="live")
    assert store.commit(writer.flush()) is None  # nothing added yet
    for book in BOOKS[:3]:
        writer.add(book.title)
    assert writer.memtable_doc_count() == 3 and writer.memtable_bytes() > 0
    deltas = [name for name in [store.commit(writer.flush())] if name is not None]

    gone = writer.add("A title withdrawn before publication")
    for book in BOOKS[3:]:
        writer.add(book.title)
    writer.delete(gone)
    second = store.commit(writer.flush())
    assert second is not None
    deltas.append(second)

    name, split, manifest, removed = writer.compact([(d, store.get(d)) for d in deltas])
    store.put(name, split)
    store.put("index.hyss", manifest)
    for old in removed:
        store.remove(old)

    # Later, in another process: carry on from the stored manifest.
    resumed = halcyra.SplitSetWriter.resume(store.get("index.hyss"), gram_size=3, name_prefix="live")
    assert resumed.doc_count() == writer.doc_count() == len(BOOKS) + 1
    resumed.add("Tides: A Second Edition")
    store.commit(resumed.flush())
    return sorted(os.listdir(store.root))


def main() -> None:
    keys = halcyra.tokenize("Harbour")
    assert keys == halcyra.tokenize("HARBOUR", gram_size=3) and all(isinstance(k, int) for k in keys)

    with tempfile.TemporaryDirectory(prefix="halcyra-example-") as tmp:
        stats = build_dataset(os.path.join(tmp, "dataset"))
        print(f"dataset: {stats.docs} docs, {stats.ngrams} n-grams, {stats.fields} facet fields")

        vectors = build_vectors(os.path.join(tmp, "vectors", "books.hyvi"))
        print(f"vectors: {vectors.vectors} x {vectors.dim}, nlist={vectors.nlist}, m={vectors.m}, nbits={vectors.nbits}")
        imported = write_pretrained_vectors(os.path.join(tmp, "vectors", "imported.hyvi"))
        print(f"imported vectors: {imported.vectors} x {imported.dim}, nlist={imported.nlist}")

        terms = build_term_indexes(os.path.join(tmp, "terms"))
        print(f"term index: {terms} distinct stemmed terms")

        ngram_splits, term_splits = build_split_sets(tmp)
        for label, s in (("n-gram", ngram_splits), ("term", term_splits)):
            print(f"{label} split set: {s.splits} splits, {s.docs} docs, {s.total_bytes} bytes")

        files = stream_updates(Store(os.path.join(tmp, "live")))
        print(f"streamed split set: {', '.join(files)}")


if __name__ == "__main__":
    main()
