"""Range readers of the n-gram side: the n-gram index (`.hys`), the facet
sidecar (`.hyf`) and the record store (`records.idx` + `records.bin`).

An n-gram lookup costs three reads: the header with the block index (one
prefix read when the block index is small), the dictionary slices of the
blocks that can hold the keys, and the postings."""

import numpy as np

from . import roaring
from .errors import FormatError, QueryError
from .formats import NGRAM_ENTRY, FacetHeader, FacetMeta, NgramHeader, RecordsHeader

# The first read of a file asks for this much, so that its header and the
# small tables after it come in the same request.
PREFIX = 4 << 10


def intersect(sets):
    """The ids present in every one of `sets` (ascending uint32 arrays)."""
    if not sets:
        return np.zeros(0, np.uint32)
    sets = sorted(sets, key=len)
    out = sets[0]
    for s in sets[1:]:
        if len(out) == 0:
            break
        out = np.intersect1d(out, s, assume_unique=True)
    return out


def union(sets):
    sets = [s for s in sets if len(s)]
    if not sets:
        return np.zeros(0, np.uint32)
    return np.unique(np.concatenate(sets)).astype(np.uint32)


class NgramIndex:
    """One n-gram index file read by ranges."""

    def __init__(self, source, prefix=PREFIX):
        self.source = source
        self.header = NgramHeader(source.read_upto(0, max(prefix, 18)), source.location)
        self._block_keys = None

    def block_keys(self):
        if self._block_keys is None:
            h = self.header
            data = self.source.read(h.block_index_at, 8 * h.blocks) if h.blocks else b""
            self._block_keys = np.frombuffer(data, "<u8", h.blocks)
        return self._block_keys

    def entries(self, keys):
        """{key: (posting offset, length)} for the keys of `keys` the index holds."""
        h = self.header
        keys = np.unique(np.asarray(keys, np.uint64))
        if h.count == 0 or len(keys) == 0:
            return {}
        blocks = np.searchsorted(self.block_keys(), keys, "right") - 1
        wanted = sorted(set(int(b) for b in blocks if b >= 0))
        ranges = []
        for b in wanted:
            first = b * h.stride
            count = min(h.stride, h.count - first)
            ranges.append((h.dict_at + NGRAM_ENTRY.itemsize * first, NGRAM_ENTRY.itemsize * count))
        slices = dict(zip(wanted, self.source.read_many(ranges)))
        found = {}
        for key, b in zip(keys, blocks):
            if b < 0:
                continue
            entries = np.frombuffer(slices[int(b)], NGRAM_ENTRY)
            i = int(np.searchsorted(entries["key"], key))
            if i < len(entries) and entries["key"][i] == key:
                found[int(key)] = (int(entries["offset"][i]), int(entries["length"][i]))
        return found

    def postings(self, keys):
        """{key: ids} for the keys the index holds (ids as stored: split-local
        or global, ascending uint32)."""
        found = self.entries(keys)
        names = list(found)
        datas = self.source.read_many([found[k] for k in names])
        return {k: roaring.decode_exact(d, self.source.location, found[k][0]) for k, d in zip(names, datas)}

    def search_keys(self, keys):
        """The ids holding every key (all keys must be present)."""
        keys = np.unique(np.asarray(keys, np.uint64))
        if len(keys) == 0:
            raise QueryError("the query has no n-gram keys (shorter than the gram size?)")
        found = self.entries(keys)
        if len(found) < len(keys):
            return np.zeros(0, np.uint32)
        names = list(found)
        datas = self.source.read_many([found[k] for k in names])
        return intersect([roaring.decode_exact(d, self.source.location, found[k][0]) for k, d in zip(names, datas)])

    def describe(self):
        return dict(self.header.describe(), size=self.source.size())


class FacetSidecar:
    """A facet sidecar read by ranges: the header and metadata (one read when
    they fit the prefix), then the postings of the selected categories."""

    def __init__(self, source):
        self.source = source
        head = source.read_upto(0, PREFIX)
        self.header = FacetHeader(head, source.location)
        meta = source.read(24, self.header.meta_length)
        self.meta = FacetMeta(self.header, meta, source.location)

    def _matches(self, stored, wanted):
        if self.header.case_sensitive:
            return stored == wanted
        return stored == wanted or stored.lower() == wanted.lower()

    def select(self, facets):
        """The ids in every field's selected categories (OR within a field,
        AND across fields), as stored (split-local or global)."""
        meta = self.meta
        names = meta.field_names()
        wanted = []  # per requested field, its category indexes
        for field, categories in facets.items():
            chosen = []
            for f, name in enumerate(names):
                if self._matches(name, field):
                    chosen.extend(c for c in meta.categories_of(f)
                                  if any(self._matches(meta.category_name(c), w) for w in categories))
            if not chosen:
                return np.zeros(0, np.uint32)
            wanted.append(chosen)
        every = sorted(set(c for chosen in wanted for c in chosen))
        ranges = [(int(meta.categories[c]["offset"]), int(meta.categories[c]["head"]) + int(meta.categories[c]["tail"]))
                  for c in every]
        ids = {}
        for c, data, (offset, _) in zip(every, self.source.read_many(ranges), ranges):
            head_length = int(meta.categories[c]["head"])
            head = roaring.decode_exact(data[:head_length], self.source.location, offset)
            tail = roaring.decode_exact(data[head_length:], self.source.location, offset + head_length)
            ids[c] = np.concatenate([head, tail])
        return intersect([union([ids[c] for c in chosen]) for chosen in wanted])

    def describe(self):
        meta = self.meta
        fields = {}
        for f, name in enumerate(meta.field_names()):
            fields[name] = {meta.category_name(c): int(meta.categories[c]["cardinality"]) for c in meta.categories_of(f)}
        return dict(case_sensitive=self.header.case_sensitive, fields=fields)


class RecordStore:
    """records.idx and records.bin read by ranges: the offsets of the wanted
    records, then their bytes."""

    def __init__(self, idx, bin):
        self.idx, self.bin = idx, bin
        self.header = RecordsHeader(idx.read_upto(0, PREFIX), idx.location)

    def get(self, ids):
        ids = [int(i) for i in ids]
        for i in ids:
            if not 0 <= i < self.header.count:
                raise QueryError(f"record {i} does not exist ({self.header.count} records)")
        pairs = self.idx.read_many([(16 + 8 * i, 16) for i in ids])
        ranges = []
        for i, pair in zip(ids, pairs):
            start, end = int.from_bytes(pair[:8], "little"), int.from_bytes(pair[8:], "little")
            if end < start:
                raise FormatError(self.idx.location, 16 + 8 * i, f"record {i} ends before it starts")
            ranges.append((start, end - start))
        return self.bin.read_many(ranges)
