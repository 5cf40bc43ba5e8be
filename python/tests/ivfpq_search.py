"""A plain IVF-PQ search over a vector-index file, as a reader would run it:
rotate the query (when the file holds a rotation), pick the nprobe nearest
coarse centroids, and rank the vectors of those lists by asymmetric distance
to their PQ codes. Squared L2 only."""

import numpy as np

import readers


class IvfPqFile:
    def __init__(self, data):
        header, opq, centroids, codebooks, lists = readers.vector_index(data)
        self.header = header
        dim, m = header["dim"], header["m"]
        ksub = 1 << header["nbits"]
        self.m = m
        self.rotation = None if opq is None else np.array(opq, np.float64).reshape(dim, dim)
        self.centroids = np.array(centroids, np.float64).reshape(-1, dim)
        self.codebooks = np.array(codebooks, np.float64).reshape(m, ksub, dim // m)
        self.lists = [(np.array(ids, np.int64), np.frombuffer(codes, np.uint8).reshape(-1, m)) for ids, codes in lists]

    def search(self, query, k, nprobe):
        """The ids of the k nearest vectors found in the nprobe nearest lists."""
        q = np.asarray(query, np.float64)
        if self.rotation is not None:
            q = self.rotation @ q
        coarse = ((self.centroids - q) ** 2).sum(axis=1)
        found_ids, found_distances = [], []
        for c in np.argsort(coarse, kind="stable")[:nprobe]:
            ids, codes = self.lists[c]
            residual = (q - self.centroids[c]).reshape(self.m, 1, -1)
            table = ((self.codebooks - residual) ** 2).sum(axis=2)  # m x ksub
            found_distances.append(table[np.arange(self.m), codes].sum(axis=1))
            found_ids.append(ids)
        distances = np.concatenate(found_distances)
        return np.concatenate(found_ids)[np.argsort(distances, kind="stable")[:k]]
