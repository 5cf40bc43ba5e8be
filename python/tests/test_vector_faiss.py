"""Interoperability with FAISS and search quality against it.

FAISS runs in a child process (faiss_parts.py): away from the sanitizer
runtime some test runs preload into this interpreter, and with its thread
pools held to one thread on a shared machine."""

import os
import subprocess
import sys

import numpy as np
import pytest
from sklearn.datasets import load_digits

import halcyra
from halcyra_tools import parse as readers
from ivfpq_search import IvfPqFile

HERE = os.path.dirname(os.path.abspath(__file__))


def run_faiss(tmp_path, x, queries, factory, nprobe, opq_niter=0, kmeans_iters=0):
    job, out = tmp_path / "job.npz", tmp_path / "faiss.npz"
    np.savez(job, x=x, queries=queries, factory=factory, nprobe=nprobe, opq_niter=opq_niter, kmeans_iters=kmeans_iters)
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    env.update(OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    r = subprocess.run([sys.executable, os.path.join(HERE, "faiss_parts.py"), str(job), str(out)], env=env,
                       capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    with np.load(out) as parts:
        return {name: parts[name] for name in parts.files}


def clustered(seed, n, dim, centers, spread, queries):
    """n points and some queries around seeded Gaussian centers, unit noise."""
    rng = np.random.default_rng(seed)
    middle = rng.normal(size=(centers, dim)) * spread
    x = middle[rng.integers(0, centers, n)] + rng.normal(size=(n, dim))
    q = middle[rng.integers(0, centers, queries)] + rng.normal(size=(queries, dim))
    return x.astype(np.float32), q.astype(np.float32)


def dataset(name):
    if name == "digits":  # 1797 scanned digits, 8 x 8 pixels of 0..16
        x = load_digits().data.astype(np.float32)
        return x, x[::9]
    return clustered(seed=3, n=5000, dim=32, centers=50, spread=4, queries=200)


def write_parts(path, parts, metric="l2"):
    opq = parts["opq"]
    return halcyra.write_hyvi_from_faiss(
        str(path),
        int(parts["dim"]),
        int(parts["nlist"]),
        int(parts["m"]),
        parts["centroids"].astype("<f4").tobytes(),
        parts["codebooks"].astype("<f4").tobytes(),
        parts["ids"].astype("<u4").tobytes(),
        parts["assignments"].astype("<u4").tobytes(),
        parts["codes"].astype("uint8").tobytes(),
        nbits=int(parts["nbits"]),
        metric=metric,
        opq=opq.astype("<f4").tobytes() if opq.size else None,
    )


@pytest.mark.parametrize(
    "name, factory, nbits, nprobe",
    [("digits", "OPQ8,IVF32,PQ8x4np", 4, 4), ("synthetic", "OPQ8,IVF32,PQ8np", 8, 4)],
)
def test_faiss_opq_ivf_pq_export(tmp_path, name, factory, nbits, nprobe):
    x, queries = dataset(name)
    n, dim = x.shape
    parts = run_faiss(tmp_path, x, queries, factory, nprobe, opq_niter=5)
    m, nlist, rotation = int(parts["m"]), int(parts["nlist"]), parts["opq"]
    assert (m, nlist, int(parts["nbits"]), rotation.shape) == (8, 32, nbits, (dim, dim))

    # The export means what the docstring says: FAISS rotates a query q into
    # R q with R row-major, and each code byte picks the codeword FAISS's own
    # decoder picks.
    np.testing.assert_allclose(queries.astype(np.float64) @ rotation.T, parts["rotated"], rtol=1e-4, atol=1e-3)
    books = parts["codebooks"].reshape(m, 1 << nbits, dim // m)
    assert np.array_equal(books[np.arange(m), parts["codes"]].reshape(n, dim), parts["decoded"])

    path = tmp_path / f"{name}.hyvi"
    stats = write_parts(path, parts)
    assert (stats.vectors, stats.dim, stats.nlist, stats.m, stats.nbits) == (n, dim, nlist, m, nbits)
    data = path.read_bytes()

    # The file holds exactly the exported parts.
    header, opq, centroids, codebooks, lists = readers.vector_index(data)
    assert header == dict(version=1, metric=1, has_opq=1, dim=dim, nlist=nlist, m=m, nbits=nbits, n=n)
    assert np.array(opq, np.float32).tobytes() == rotation.astype(np.float32).tobytes()
    assert np.array(centroids, np.float32).tobytes() == parts["centroids"].astype(np.float32).tobytes()
    assert np.array(codebooks, np.float32).tobytes() == parts["codebooks"].astype(np.float32).tobytes()
    assert len(lists) == nlist
    for c, (ids, codes) in enumerate(lists):
        in_list = parts["assignments"] == c
        assert ids == parts["ids"][in_list].tolist()
        assert codes == parts["codes"][in_list].tobytes()
    assert sorted(i for ids, _ in lists for i in ids) == list(range(n))
    assert len(data) == 48 + 4 * dim * dim + 4 * nlist * dim + 4 * (1 << nbits) * dim + 12 * nlist + (4 + m) * n

    # A plain search over the file answers as FAISS does.
    index = IvfPqFile(data)
    same = sum(
        set(index.search(q, 10, nprobe).tolist()) == set(top.tolist()) for q, top in zip(queries, parts["faiss_top"])
    )
    assert same >= 0.95 * len(queries), f"{same} of {len(queries)} top-10 sets agree"


def exact_top10(x, queries):
    x64, q64 = x.astype(np.float64), queries.astype(np.float64)
    distances = (q64**2).sum(1)[:, None] + (x64**2).sum(1)[None, :] - 2 * q64 @ x64.T
    return np.argsort(distances, axis=1)[:, :10]


def recall_at_10(found, exact):
    return float(np.mean([len(set(f.tolist()) & set(e.tolist())) / 10 for f, e in zip(found, exact)]))


def test_recall_is_on_par_with_faiss(tmp_path):
    dim, nlist, m, nbits, nprobe, iters = 16, 16, 8, 8, 4, 10
    x, queries = clustered(seed=1, n=6000, dim=dim, centers=100, spread=2, queries=500)
    exact = exact_top10(x, queries)

    b = halcyra.VectorBuilder(dim, nlist, m, nbits=nbits, metric="l2", kmeans_iters=iters)
    b.add_many(list(enumerate(x.tolist())))
    b.build(str(tmp_path / "ours.hyvi"))
    ours = IvfPqFile((tmp_path / "ours.hyvi").read_bytes())
    ours_recall = recall_at_10([ours.search(q, 10, nprobe) for q in queries], exact)

    parts = run_faiss(tmp_path, x, queries, f"IVF{nlist},PQ{m}x{nbits}np", nprobe, kmeans_iters=iters)
    faiss_recall = recall_at_10(parts["faiss_top"], exact)

    # FAISS's model, written to a file and searched the same way, scores what
    # FAISS scores: the comparison measures the models, not the searches.
    write_parts(tmp_path / "faiss.hyvi", parts)
    theirs = IvfPqFile((tmp_path / "faiss.hyvi").read_bytes())
    assert abs(recall_at_10([theirs.search(q, 10, nprobe) for q in queries], exact) - faiss_recall) < 0.01

    assert faiss_recall > 0.75
    assert ours_recall >= faiss_recall - 0.03, (ours_recall, faiss_recall)
