"""Trains a FAISS IVF-PQ index (optionally behind an OPQ rotation) and exports
the parts write_hyvi_from_faiss takes, together with FAISS's own answers.

Run as a script, in a process of its own: `faiss_parts.py job.npz out.npz`.
The job holds the vectors `x`, the `queries`, the index `factory` string,
`nprobe`, and the training iterations `opq_niter` and `kmeans_iters` (0 keeps
FAISS's default). The output holds the parts as numpy arrays (`opq` empty when
there is no rotation), FAISS's top-10 ids for the queries (`faiss_top`),
and, for checking the export, the queries as FAISS rotates them (`rotated`)
and FAISS's own decoding of every vector's PQ code in list order (`decoded`).
"""

import sys

import numpy as np


def unpack_codes(packed, m, nbits):
    """FAISS packs the m codes of a vector into a little-endian bit stream,
    nbits per code; the vector-index file holds one byte per code."""
    if nbits == 8:
        return packed
    bits = np.unpackbits(packed, axis=1, bitorder="little")[:, : m * nbits].reshape(len(packed), m, nbits)
    return (bits.astype(np.uint32) << np.arange(nbits, dtype=np.uint32)).sum(axis=2).astype(np.uint8)


def export(index):
    """(parts, packed codes) of a trained `IVF,PQ` or `OPQ,IVF,PQ` index."""
    import faiss

    opq = None
    if isinstance(index, faiss.IndexPreTransform):
        rotation = faiss.downcast_VectorTransform(index.chain.at(0))
        assert not rotation.have_bias
        opq = faiss.vector_to_array(rotation.A).reshape(rotation.d_out, rotation.d_in)  # y = R x
        index = index.index
    ivf = faiss.downcast_index(index)
    assert ivf.by_residual
    pq, invlists = ivf.pq, ivf.invlists
    ids, assignments, packed = [], [], []
    for c in range(ivf.nlist):
        size = invlists.list_size(c)
        ids.append(faiss.rev_swig_ptr(invlists.get_ids(c), size).copy())
        codes = faiss.rev_swig_ptr(invlists.get_codes(c), size * invlists.code_size)
        packed.append(codes.copy().reshape(size, invlists.code_size))
        assignments.append(np.full(size, c))
    packed = np.concatenate(packed)
    parts = dict(
        dim=ivf.d,
        nlist=ivf.nlist,
        m=pq.M,
        nbits=pq.nbits,
        centroids=ivf.quantizer.reconstruct_n(0, ivf.nlist),  # in the rotated space
        codebooks=faiss.vector_to_array(pq.centroids),  # m x ksub x dsub
        ids=np.concatenate(ids),
        assignments=np.concatenate(assignments),
        codes=unpack_codes(packed, pq.M, pq.nbits),
        opq=opq,
    )
    return parts, packed


def main(job_path, out_path):
    import faiss

    faiss.omp_set_num_threads(1)
    job = np.load(job_path)
    x, queries = job["x"], job["queries"]
    index = faiss.index_factory(x.shape[1], str(job["factory"]))
    if isinstance(index, faiss.IndexPreTransform) and int(job["opq_niter"]):
        faiss.downcast_VectorTransform(index.chain.at(0)).niter = int(job["opq_niter"])
    ivf = faiss.downcast_index(faiss.extract_index_ivf(index))
    if int(job["kmeans_iters"]):
        ivf.cp.niter = int(job["kmeans_iters"])
        ivf.pq.cp.niter = int(job["kmeans_iters"])
    index.train(x)
    index.add(x)
    ivf.nprobe = int(job["nprobe"])
    _, top = index.search(queries, 10)

    parts, packed = export(index)
    rotated = queries if parts["opq"] is None else index.chain.at(0).apply(queries)
    out = dict(parts, faiss_top=top, rotated=rotated, decoded=ivf.pq.decode(packed))
    if parts["opq"] is None:
        out["opq"] = np.zeros(0, np.float32)
    np.savez(out_path, **out)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
