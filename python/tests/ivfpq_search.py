"""The IVF-PQ search the vector tests compare with FAISS: halcyra_tools's
range reader over a file's bytes in memory."""

import numpy as np

from halcyra_tools.source import BytesSource
from halcyra_tools.vectors import VectorIndex


class IvfPqFile:
    def __init__(self, data):
        self.index = VectorIndex(BytesSource(data))

    def search(self, query, k, nprobe):
        """The ids of the k nearest vectors found in the nprobe nearest lists."""
        return np.array([i for i, _ in self.index.search(query, k, nprobe)], np.int64)
