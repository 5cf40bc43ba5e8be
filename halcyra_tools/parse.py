"""Whole files parsed into plain Python values: lists of ids, dicts of
header fields. For round-trip tests and small tools that hold a file's bytes
already; each parser checks the file as `verify` does and raises the first
problem as a `FormatError`."""

import numpy as np

from . import roaring as _roaring
from .errors import FormatError
from .formats import (
    NGRAM_ENTRY, VECTOR_LIST, SUMMARY_BLOOM, SUMMARY_FACETS, SUMMARY_TOMBSTONES, Bloom, FacetHeader, FacetMeta, Manifest,
    VectorHeader, facet_key, fnv1a64, splitmix64_mix,
)
from .formats import facet_presence as _facet_presence
from .formats import summary_records as _summary_records
from .formats import term_block
from .source import BytesSource, Client
from .terms import TermIndex as _TermIndex
from .verify import Checker

__all__ = ["roaring", "roaring_exact", "ngram_index", "facet_sidecar", "record_store", "manifest", "summary_records",
           "bloom", "facet_presence", "vector_index", "TermIndex", "Bloom", "facet_key", "fnv1a64", "splitmix64_mix",
           "SUMMARY_BLOOM", "SUMMARY_FACETS", "SUMMARY_TOMBSTONES"]


def _strict(method, data, *args):
    """Runs one of the verifier's checks; its first problem is raised."""
    checker = Checker(Client())
    result = getattr(checker, method)("<bytes>", data, *args)
    problems = checker.finish()
    if problems:
        p = problems[0]
        raise FormatError(p.file, p.offset, p.message)
    return checker, result


def roaring(data):
    """One bitmap at the front of data: (sorted ids, bytes it occupies)."""
    ids, end = _roaring.decode(bytes(data))
    return ids.tolist(), end


def roaring_exact(data):
    return _roaring.decode_exact(bytes(data)).tolist()


def ngram_index(data):
    """An n-gram index: (header dict, {key: [ids]}, [block keys])."""
    data = bytes(data)
    _, (h, keys) = _strict("ngram", data)
    entries = np.frombuffer(data, NGRAM_ENTRY, h.count, h.dict_at)
    postings = {int(e["key"]): _roaring.decode_exact(data[int(e["offset"]) : int(e["offset"]) + int(e["length"])])
                .tolist() for e in entries}
    block_keys = np.frombuffer(data, "<u8", h.blocks, h.block_index_at).tolist()
    header = dict(version=h.version, gram_size=h.gram_size, count=h.count, stride=h.stride,
                  case_sensitive=h.case_sensitive)
    return header, postings, block_keys


def facet_sidecar(data):
    """(case_sensitive, [(field, [(category, key, head ids, tail ids, cardinality)])])."""
    data = bytes(data)
    _strict("facets", data)
    h = FacetHeader(data, "<bytes>")
    meta = FacetMeta(h, data[24 : h.postings_at], "<bytes>")
    fields = []
    for f, name in enumerate(meta.field_names()):
        cats = []
        for c in meta.categories_of(f):
            row = meta.categories[c]
            at, head = int(row["offset"]), int(row["head"])
            cats.append((meta.category_name(c), int(row["key"]), roaring_exact(data[at : at + head]),
                         roaring_exact(data[at + head : at + head + int(row["tail"])]), int(row["cardinality"])))
        fields.append((name, cats))
    return h.case_sensitive, fields


def record_store(idx, bin_data):
    """The payloads of records.idx + records.bin, in id order."""
    idx = bytes(idx)
    checker = Checker(Client())
    count = checker.records("<bytes>", idx, len(bin_data))
    problems = checker.finish()
    if problems:
        raise FormatError(problems[0].file, problems[0].offset, problems[0].message)
    offsets = np.frombuffer(idx, "<u8", count + 1, 16).tolist()
    return [bytes(bin_data[offsets[i] : offsets[i + 1]]) for i in range(count)]


def manifest(data):
    """(header dict, sortcol or None, [split entry dicts])."""
    m = Manifest(bytes(data), "<bytes>")
    h = m.header
    header = dict(flags=h.flags, policy=h.policy, body_kind=h.body_kind, tier_count=h.tier_count, count=h.count,
                  base_count=h.base_count, byte_cap=h.byte_cap, gram_size=h.gram_size, strings=m.strings,
                  summaries_len=h.summaries_length, size=h.size, reserved=h.reserved)
    keep = ("name", "tier", "docs", "first_id", "last_id", "flags", "byte_size", "epoch", "summary",
            "summary_offset", "name_offset")
    return header, m.sortcol, [{k: s[k] for k in keep} for s in m.splits]


def summary_records(summary):
    """[(tag, payload)] of a split summary."""
    return [(tag, payload) for tag, payload, _ in _summary_records(summary)]


def bloom(payload):
    return Bloom(payload)


def facet_presence(payload):
    return _facet_presence(payload).tolist()


def vector_index(data):
    """(header dict, rotation or None, centroids, codebooks, [(ids, code bytes)]),
    the float sections as flat tuples in file order."""
    data = bytes(data)
    _strict("vectors", data)
    h = VectorHeader(data, "<bytes>")
    f32 = np.dtype("<f4")
    opq = tuple(np.frombuffer(data, f32, h.dim * h.dim, 48).tolist()) if h.has_opq else None
    centroids = tuple(np.frombuffer(data, f32, h.nlist * h.dim, h.centroids_at).tolist())
    codebooks = tuple(np.frombuffer(data, f32, h.m * h.ksub * h.dsub, h.codebooks_at).tolist())
    lists = []
    for offset, count in np.frombuffer(data, VECTOR_LIST, h.nlist, h.directory_at).tolist():
        lists.append((np.frombuffer(data, "<u4", count, offset).tolist(),
                      data[offset + 4 * count : offset + (4 + h.m) * count]))
    header = dict(version=1, metric=h.metric, has_opq=h.has_opq, dim=h.dim, nlist=h.nlist, m=h.m, nbits=h.nbits,
                  n=h.n)
    return header, opq, centroids, codebooks, lists


class TermIndex(_TermIndex):
    """A whole term index in memory, read through its router as a range
    reader would; terms are str and ids lists."""

    def __init__(self, data):
        self.data = bytes(data)
        super().__init__(BytesSource(self.data))
        h = self.header
        if h.postings_at > len(self.data):
            raise FormatError("<bytes>", len(self.data), "file ends before its postings region")
        self.flags, self.term_count, self.head_boundary = h.flags, h.term_count, h.head_boundary
        self.block_cap, self.language = h.block_cap, h.language
        self.dict_at, self.dict_len, self.postings_at = h.dict_at, h.dict_length, h.postings_at

    def router(self):
        """Every block as (last term, offset in the dictionary, length)."""
        return [(k.decode(), o, n) for k, o, n in super().router()]

    def block(self, offset, length):
        """The entries of one block: [(term, record offset, head length)]."""
        if offset + length > self.dict_len:
            raise FormatError("<bytes>", self.dict_at + offset, "block runs past the dictionary")
        at = self.dict_at
        return [(t.decode(), r, n) for t, r, n in term_block(self.data, "<bytes>", 0, at + offset, at + offset + length)]

    def terms(self):
        """Every term in byte order, checking that the blocks tile the dictionary."""
        out, expected = [], 0
        for last, offset, length in self.router():
            if offset != expected:
                raise FormatError("<bytes>", self.dict_at + offset, "blocks do not tile the dictionary")
            entries = self.block(offset, length)
            if entries[-1][0] != last:
                raise FormatError("<bytes>", self.dict_at + offset, "router key is not the block's last term")
            out.extend(t for t, _, _ in entries)
            expected += length
        if expected != self.dict_len:
            raise FormatError("<bytes>", self.dict_at + expected, "blocks do not cover the dictionary")
        return out

    def head_tail(self, term):
        found = self.records([term.encode()])
        if not found:
            return None
        head, tail = found[term.encode()]
        return head.tolist(), tail.tolist()

    def postings(self, term):
        found = self.head_tail(term)
        return None if found is None else found[0] + found[1]
