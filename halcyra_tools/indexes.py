"""`open(location)`: recognise what a location holds by its magic bytes and
return a searchable index over byte-range reads.

- a dataset folder: index.hys + index.hyf + records.idx + records.bin
- a split-set manifest (.hyss; a folder holding index.hyss): n-gram or term
  splits beside it, delta and compacted splits, tombstones
- a single n-gram index or split (.hys), a term index (.hyt), a vector
  index (.hyvi)

Every index has `search(...)`, `describe()` and `stats` (requests and bytes
read, splits in the set and splits skipped by their summaries)."""

import numpy as np

from . import analysis, roaring
from .errors import FormatError, NotFound, QueryError, SourceError
from .formats import (
    BODY_NGRAM, MAGICS, MANIFEST_BLOOM, SPLIT_ABSOLUTE_IDS, SUMMARY_BLOOM, SUMMARY_FACETS, SUMMARY_TOMBSTONES,
    Bloom, Manifest, facet_key, facet_presence, summary_records,
)
from .ngram import PREFIX, FacetSidecar, NgramIndex, RecordStore, union
from .source import DEFAULT_TIMEOUT, Client, check_name, child, is_folder
from .terms import TermIndex
from .vectors import VectorIndex

class Stats:
    """Traffic and split counts so far (cumulative over the index's life)."""

    FIELDS = ("requests", "bytes", "splits_total", "splits_searched", "splits_skipped_bloom",
              "splits_skipped_facets", "splits_skipped_empty", "splits_skipped_limit")

    def __init__(self, **values):
        for name in self.FIELDS:
            setattr(self, name, values.get(name, 0))

    def as_dict(self):
        return {name: getattr(self, name) for name in self.FIELDS}

    def __sub__(self, other):
        return Stats(**{name: getattr(self, name) - getattr(other, name) for name in self.FIELDS})

    def __repr__(self):
        return "Stats(" + ", ".join(f"{k}={v}" for k, v in self.as_dict().items()) + ")"


def _facets(facets):
    """{field: [category, ...]} checked; a bare string counts as one category."""
    if facets is None:
        return None
    if not isinstance(facets, dict):
        raise QueryError("facets are a dict of field -> list of categories")
    out = {}
    for field, categories in facets.items():
        if isinstance(categories, str):
            categories = [categories]
        categories = list(categories)
        if not isinstance(field, str) or not all(isinstance(c, str) for c in categories):
            raise QueryError("facet fields and categories are strings")
        out[field] = categories
    return out or None


def _limit(ids, limit):
    if limit is None:
        return ids
    if limit < 0:
        raise QueryError("limit must not be negative")
    return ids[:limit]


class Index:
    kind = "?"

    def __init__(self, client, location):
        self.client = client
        self.location = location
        self._counts = Stats()

    @property
    def stats(self):
        s = Stats(**self._counts.as_dict())
        s.requests, s.bytes = self.client.counters.requests, self.client.counters.bytes
        return s

    def close(self):
        self.client.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _sidecar_beside(self, source):
        stem = source.name.rsplit(".", 1)[0]
        sidecar = source.sibling(stem + ".hyf")
        try:
            return FacetSidecar(sidecar)
        except SourceError as e:
            raise QueryError(f"no facet sidecar beside {source.location}: {e}") from None


class NgramFile(Index):
    """A single n-gram index (a dataset's index.hys or one split file);
    facets come from the sidecar of the same name, when there is one."""

    kind = "ngram"

    def __init__(self, client, source):
        super().__init__(client, source.location)
        self.source = source
        self.index = NgramIndex(source)
        self._sidecar = None

    def keys(self, text):
        h = self.index.header
        return analysis.ngram_keys(text, h.gram_size, h.case_sensitive)

    def search(self, text, facets=None, limit=None):
        facets = _facets(facets)
        ids = self.index.search_keys(self.keys(text))
        if facets and len(ids):
            if self._sidecar is None:
                self._sidecar = self._sidecar_beside(self.source)
            ids = np.intersect1d(ids, self._sidecar.select(facets), assume_unique=True)
        return _limit(ids, limit).tolist()

    def describe(self):
        return dict(kind=self.kind, location=self.location, index=self.index.describe())


class Dataset(NgramFile):
    kind = "dataset"

    def __init__(self, client, folder):
        super().__init__(client, client.source(child(folder, "index.hys")))
        self.location = folder
        self.folder = folder
        self._records = None

    @property
    def sidecar(self):
        if self._sidecar is None:
            self._sidecar = FacetSidecar(self.source.sibling("index.hyf"))
        return self._sidecar

    @property
    def record_store(self):
        if self._records is None:
            self._records = RecordStore(self.source.sibling("records.idx"), self.source.sibling("records.bin"))
        return self._records

    def search(self, text, facets=None, limit=None):
        facets = _facets(facets)
        ids = self.index.search_keys(self.keys(text))
        if facets and len(ids):
            ids = np.intersect1d(ids, self.sidecar.select(facets), assume_unique=True)
        return _limit(ids, limit).tolist()

    def records(self, ids):
        """The record bytes of each id."""
        return self.record_store.get(ids)

    def describe(self):
        return dict(kind=self.kind, location=self.location, index=self.index.describe(),
                    facets=self.sidecar.describe(), records=self.record_store.header.count)


class TermFile(Index):
    kind = "terms"

    def __init__(self, client, source):
        super().__init__(client, source.location)
        self.source = source
        self.index = TermIndex(source)
        self._sidecar = None

    def terms(self, text):
        return analysis.terms(text, self.index.header.analyzer)

    def search(self, text, facets=None, limit=None):
        facets = _facets(facets)
        ids = self.index.search_terms(self.terms(text))
        if facets and len(ids):
            if self._sidecar is None:
                self._sidecar = self._sidecar_beside(self.source)
            ids = np.intersect1d(ids, self._sidecar.select(facets), assume_unique=True)
        return _limit(ids, limit).tolist()

    def describe(self):
        return dict(kind=self.kind, location=self.location, index=self.index.describe())


class VectorFile(Index):
    kind = "vectors"

    def __init__(self, client, source):
        super().__init__(client, source.location)
        self.index = VectorIndex(source)

    def search(self, vector, k=10, nprobe=8):
        return self.index.search(vector, k, nprobe)

    def describe(self):
        return dict(kind=self.kind, location=self.location, index=self.index.describe())


class SplitSet(Index):
    """A split set read through its manifest: per query, the splits whose
    summaries cannot rule them out are searched, their ids made global, and
    every tombstoned id dropped."""

    kind = "splitset"

    def __init__(self, client, source):
        super().__init__(client, source.location)
        self.source = source
        # Every summary is needed to choose the splits: the whole file, one request.
        self.manifest = m = Manifest(source.read_rest(0), source.location)
        self.terms_body = m.header.body_kind != BODY_NGRAM
        self.splits = m.splits
        self._readers = {}
        self._sidecars = {}
        self._summaries = []
        dead = []
        for s in self.splits:
            check_name(s["name"], source.location, s["entry_at"])
            records = {}
            for tag, payload, at in summary_records(s["summary"], source.location, s["summary_at"]):
                records.setdefault(tag, (payload, at))
            self._summaries.append(records)
            if SUMMARY_TOMBSTONES in records:
                payload, at = records[SUMMARY_TOMBSTONES]
                dead.append(roaring.decode_exact(payload, source.location, at))
        self.tombstones = union(dead)
        self._blooms = {}
        self._analyzer = None

    def reader(self, i):
        s = self.splits[i]
        if i not in self._readers:
            sub = self.source.sibling(s["name"], s["byte_size"])
            if self.terms_body:
                self._readers[i] = TermIndex(sub)
            else:
                # Header and block index in the first read: a key takes 20 dictionary bytes and a
                # posting of 18 or more, so a stride-512 block index is under size / 2400 bytes.
                self._readers[i] = NgramIndex(sub, prefix=min(PREFIX, 32 + s["byte_size"] // 2400))
        return self._readers[i]

    def sidecar(self, i):
        if i not in self._sidecars:
            name = self.splits[i]["name"].rsplit(".", 1)[0] + ".hyf"
            self._sidecars[i] = FacetSidecar(self.source.sibling(name))
        return self._sidecars[i]

    def bloom(self, i):
        if i not in self._blooms:
            found = self._summaries[i].get(SUMMARY_BLOOM)
            self._blooms[i] = None if found is None else Bloom(found[0], self.source.location, found[1])
        return self._blooms[i]

    def query(self, text):
        """The keys (n-gram sets) or terms (term sets) of a query text."""
        if not self.terms_body:
            h = self.manifest.header
            return analysis.ngram_keys(text, h.gram_size, h.case_sensitive)
        if not self.splits:
            return []
        if self._analyzer is None:  # every split of a set shares its analyzer settings
            self._analyzer = self.reader(0).header.analyzer
        return analysis.terms(text, self._analyzer)

    def candidates(self, query, facets):
        """Split indexes that may hold hits, counting the ones skipped."""
        out = []
        fold = not self.manifest.header.case_sensitive
        wanted = None
        if facets:
            wanted = [np.array(sorted({facet_key(f, c, fold) for c in cats}), np.uint64) for f, cats in facets.items()]
        for i, s in enumerate(self.splits):
            self._counts.splits_total += 1
            if s["docs"] == 0:
                self._counts.splits_skipped_empty += 1
                continue
            if not self.terms_body and self.manifest.header.flags & MANIFEST_BLOOM:
                bloom = self.bloom(i)
                if bloom is not None and len(bloom.missing(query)):
                    self._counts.splits_skipped_bloom += 1
                    continue
            if wanted is not None:
                found = self._summaries[i].get(SUMMARY_FACETS)
                present = np.zeros(0, np.uint64) if found is None else facet_presence(
                    found[0], self.source.location, found[1])
                if not all(np.isin(keys, present).any() for keys in wanted):
                    self._counts.splits_skipped_facets += 1
                    continue
            out.append(i)
        return out

    def search(self, text, facets=None, limit=None):
        facets = _facets(facets)
        query = self.query(text)
        if len(query) == 0:
            raise QueryError("the query has no " + ("terms (only stop words or no letters?)" if self.terms_body
                                                    else "n-gram keys (shorter than the gram size?)"))
        order = sorted(self.candidates(query, facets), key=lambda i: self.splits[i]["first_id"])
        found = []
        best = None  # with a limit: the limit-th smallest id found so far
        for n, i in enumerate(order):
            s = self.splits[i]
            if best is not None and s["first_id"] > best:
                self._counts.splits_skipped_limit += len(order) - n
                break
            self._counts.splits_searched += 1
            reader = self.reader(i)
            ids = reader.search_terms(query) if self.terms_body else reader.search_keys(query)
            if facets and len(ids):
                ids = np.intersect1d(ids, self.sidecar(i).select(facets), assume_unique=True)
            if not s["flags"] & SPLIT_ABSOLUTE_IDS:
                ids = ids.astype(np.int64) + s["first_id"]
                if len(ids) and ids[-1] > 0xFFFFFFFF:
                    raise FormatError(self.source.location, s["entry_at"],
                                      f"{s['name']} holds ids past the 32-bit id space from first id {s['first_id']}")
            found.append(ids.astype(np.uint32))
            if limit is not None:
                live = np.setdiff1d(union(found), self.tombstones, assume_unique=True)
                if len(live) >= limit:
                    best = int(live[limit - 1]) if limit else -1
        ids = np.setdiff1d(union(found), self.tombstones, assume_unique=True)
        return _limit(ids, limit).tolist()

    def describe(self):
        m = self.manifest
        h = m.header
        splits = []
        for i, s in enumerate(self.splits):
            splits.append(dict(name=s["name"], docs=s["docs"], first_id=s["first_id"], last_id=s["last_id"],
                               bytes=s["byte_size"], epoch=s["epoch"], tier=s["tier"],
                               absolute_ids=bool(s["flags"] & SPLIT_ABSOLUTE_IDS),
                               summary=sorted(self._summaries[i])))
        return dict(kind=self.kind, location=self.location, manifest_bytes=m.size,
                    body="terms" if self.terms_body else "ngram", flags=h.flags, policy=h.policy,
                    gram_size=h.gram_size, case_sensitive=h.case_sensitive, byte_cap=h.byte_cap,
                    base_count=h.base_count, tombstones=len(self.tombstones), splits=splits)


def open_index(location, timeout=DEFAULT_TIMEOUT):
    """The index at `location` (a path, a file:// URL or an http(s):// URL; a
    folder or a URL ending in '/' names a dataset or a split-set folder)."""
    client = Client(timeout)
    try:
        return _open(client, location)
    except BaseException:
        client.close()
        raise


def _open(client, location):
    location = str(location)
    if is_folder(location):
        # A split set's manifest, else a dataset.
        manifest = client.source(child(location, "index.hyss"))
        try:
            return SplitSet(client, manifest)
        except NotFound:
            pass
        try:
            return Dataset(client, location)
        except NotFound:
            raise SourceError(location, "the folder holds neither a split-set manifest (index.hyss) "
                                        "nor a dataset (index.hys)") from None
    source = client.source(location)
    head = source.read_upto(0, PREFIX)
    kind = MAGICS.get(bytes(head[:4]))
    if kind == "manifest":
        return SplitSet(client, source)
    if kind == "ngram":
        return NgramFile(client, source)
    if kind == "terms":
        return TermFile(client, source)
    if kind == "vectors":
        return VectorFile(client, source)
    if kind in ("facets", "records"):
        raise FormatError(source.location, 0, f"a {kind} file on its own: open the dataset folder that holds it")
    raise FormatError(source.location, 0, f"not a halcyra file: unknown magic {bytes(head[:4])!r}")
