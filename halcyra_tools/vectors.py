"""Range reader and IVF-PQ search of a vector index (`.hyvi`): the header, then
the model (rotation, centroids, codebooks, list directory) in one read, then
only the lists a query probes.

A search rotates the query when the file holds a rotation, ranks the coarse
centroids, and scores every vector of the `nprobe` best lists from its codes
with one lookup table per sub-space (asymmetric distance):
- L2: squared distance to centroid + codewords, smallest first;
- inner product: the query scaled to unit length (as the builder scales the
  vectors), inner product with centroid + codewords, largest first."""

import numpy as np

from .errors import FormatError, QueryError
from .formats import VECTOR_LIST, VectorHeader
from .ngram import PREFIX


class VectorIndex:
    def __init__(self, source):
        self.source = source
        self.header = h = VectorHeader(source.read_upto(0, PREFIX), source.location)
        model = source.read(48, h.lists_at - 48)
        f32 = np.dtype("<f4")
        at = 0
        self.rotation = None
        if h.has_opq:
            self.rotation = np.frombuffer(model, f32, h.dim * h.dim, at).astype(np.float64).reshape(h.dim, h.dim)
            at += 4 * h.dim * h.dim
        self.centroids = np.frombuffer(model, f32, h.nlist * h.dim, at).astype(np.float64).reshape(h.nlist, h.dim)
        at += 4 * h.nlist * h.dim
        self.codebooks = np.frombuffer(model, f32, h.m * h.ksub * h.dsub, at).astype(np.float64).reshape(
            h.m, h.ksub, h.dsub)
        at += 4 * h.m * h.ksub * h.dsub
        self.directory = np.frombuffer(model, VECTOR_LIST, h.nlist, at)

    def query_vector(self, vector):
        h = self.header
        try:
            q = np.asarray(vector, np.float64).reshape(-1)
        except (TypeError, ValueError):
            raise QueryError("a vector query is a sequence of numbers") from None
        if len(q) != h.dim:
            raise QueryError(f"the query has {len(q)} components, the index {h.dim}")
        if h.metric == 0:
            norm = np.linalg.norm(q)
            if norm > 0:
                q = q / norm
        if self.rotation is not None:
            q = self.rotation @ q
        return q

    def lists(self, clusters):
        """{cluster: (ids, codes)} of the given clusters, read in one go."""
        h = self.header
        want = [int(c) for c in clusters if int(self.directory[c]["count"])]
        ranges = []
        for c in want:
            offset, count = int(self.directory[c]["offset"]), int(self.directory[c]["count"])
            ranges.append((offset, (4 + h.m) * count))
        out = {}
        for c, data, (offset, _) in zip(want, self.source.read_many(ranges), ranges):
            count = int(self.directory[c]["count"])
            ids = np.frombuffer(data, "<u4", count)
            codes = np.frombuffer(data, np.uint8, h.m * count, 4 * count).reshape(count, h.m)
            if codes.size and int(codes.max()) >= h.ksub:
                raise FormatError(self.source.location, offset + 4 * count,
                                  f"code {int(codes.max())} in list {c}, but there are {h.ksub} codewords")
            out[c] = (ids, codes)
        return out

    def search(self, vector, k=10, nprobe=8):
        """The k best (id, distance) pairs found in the nprobe best lists; the
        distance is the squared L2 distance (L2 indexes) or the inner product
        (inner-product indexes, largest first)."""
        h = self.header
        if k <= 0 or nprobe <= 0:
            raise QueryError("k and nprobe must be positive")
        q = self.query_vector(vector)
        l2 = h.metric == 1
        if h.nlist == 0:
            return []
        if l2:
            coarse = ((self.centroids - q) ** 2).sum(axis=1)
        else:
            coarse = -(self.centroids @ q)
        probe = np.argsort(coarse, kind="stable")[: min(nprobe, h.nlist)]
        found = self.lists(probe)
        ids_parts, score_parts = [], []
        rows = np.arange(h.m)
        for c in probe:
            if int(c) not in found:
                continue
            ids, codes = found[int(c)]
            if l2:
                residual = (q - self.centroids[c]).reshape(h.m, 1, h.dsub)
                tables = ((self.codebooks - residual) ** 2).sum(axis=2)  # m x ksub
                score_parts.append(tables[rows, codes].sum(axis=1))
            else:
                tables = (self.codebooks * q.reshape(h.m, 1, h.dsub)).sum(axis=2)
                score_parts.append(-(float(self.centroids[c] @ q) + tables[rows, codes].sum(axis=1)))
            ids_parts.append(ids)
        if not ids_parts:
            return []
        ids = np.concatenate(ids_parts)
        scores = np.concatenate(score_parts)
        order = np.argsort(scores, kind="stable")[:k]
        sign = 1.0 if l2 else -1.0
        return [(int(ids[i]), sign * float(scores[i])) for i in order]

    def describe(self):
        return dict(self.header.describe(), size=self.source.size())
