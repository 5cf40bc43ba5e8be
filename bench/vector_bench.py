"""Times VectorBuilder.build against FAISS's IVF-PQ training plus adding, on
the same seeded synthetic vectors and the same model shape: 256 coarse
clusters, 16 sub-quantisers of 8 bits, 25 k-means iterations, L2.

Every measurement runs in a fresh process, and the tools alternate within
each round so that a busy machine slows all of them alike. halcyra runs with
HALCYRA_THREADS=1 and 2; FAISS with one thread (OpenMP and BLAS alike), and
once more with two; its OpenMP
threads wait passively, which on a machine shared with other work is far
faster than spinning. The figures are medians over the rounds.

FAISS trains each k-means on a sample of at most 256 points per centroid
(65,536 here); VectorBuilder trains on every vector, so on the larger case it
does about three times the work.
"""

import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

CASES = [(100_000, 64), (200_000, 128)]
NLIST, M, NBITS, ITERS = 256, 16, 8, 25
ROUNDS = int(os.environ.get("RUNS", "3"))
TOOLS = [("halcyra", 1), ("halcyra", 2), ("faiss", 1), ("faiss", 2)]


def vectors(n, dim):
    """n vectors around 1000 seeded Gaussian centers, unit noise."""
    rng = np.random.default_rng(20240611 + dim)
    centers = rng.normal(size=(1000, dim)) * 3
    return (centers[rng.integers(0, 1000, n)] + rng.normal(size=(n, dim))).astype(np.float32)


def measure(tool, n, dim, threads):
    """Seconds for one build; runs in the child process."""
    x = vectors(n, dim)
    if tool == "halcyra":
        import halcyra

        builder = halcyra.VectorBuilder(dim, NLIST, M, nbits=NBITS, metric="l2", kmeans_iters=ITERS)
        builder.add_many(list(enumerate(x.tolist())))  # staging is not timed
        with tempfile.TemporaryDirectory() as out:
            start = time.perf_counter()
            builder.build(os.path.join(out, "bench.hyvi"))
            return time.perf_counter() - start
    import faiss

    faiss.omp_set_num_threads(threads)
    index = faiss.index_factory(dim, f"IVF{NLIST},PQ{M}x{NBITS}np")  # np: no polysemous training
    ivf = faiss.downcast_index(faiss.extract_index_ivf(index))
    ivf.cp.niter = ITERS
    ivf.pq.cp.niter = ITERS
    start = time.perf_counter()
    index.train(x)
    index.add(x)
    return time.perf_counter() - start


def run(tool, n, dim, threads):
    env = dict(os.environ, OMP_NUM_THREADS=str(threads), OPENBLAS_NUM_THREADS=str(threads), OMP_WAIT_POLICY="PASSIVE",
               HALCYRA_THREADS=str(threads))
    out = subprocess.run(
        [sys.executable, __file__, "--one", tool, str(n), str(dim), str(threads)],
        env=env, capture_output=True, text=True, check=True,
    )
    return float(out.stdout.split()[-1])


def main():
    print(f"IVF{NLIST}, PQ{M}x{NBITS}, {ITERS} iterations, L2; median of {ROUNDS} rounds; "
          f"load average {os.getloadavg()[0]:.2f} on {os.cpu_count()} CPUs")
    times = {(tool, threads, n, dim): [] for tool, threads in TOOLS for n, dim in CASES}
    for r in range(ROUNDS):
        for n, dim in CASES:
            for tool, threads in TOOLS:
                seconds = run(tool, n, dim, threads)
                times[(tool, threads, n, dim)].append(seconds)
                print(f"  round {r + 1}: {n:,} x {dim} {tool} ({threads} thread{'s' if threads > 1 else ''}): "
                      f"{seconds:.2f} s", flush=True)
    print()
    print(f"{'vectors':>16}  {'halcyra 1t':>10}  {'halcyra 2t':>10}  {'speedup':>7}  {'faiss 1t':>9}  {'faiss 2t':>9}"
          f"  {'vs 1t':>6}  {'vs 2t':>6}")
    for n, dim in CASES:
        ours1, ours2, one, two = (statistics.median(times[(tool, threads, n, dim)]) for tool, threads in TOOLS)
        print(f"{f'{n:,} x {dim}':>16}  {ours1:9.2f}s  {ours2:9.2f}s  {ours1 / ours2:6.2f}x  {one:8.2f}s  {two:8.2f}s"
              f"  {ours1 / one:5.2f}x  {ours2 / two:5.2f}x")
    print("(speedup = halcyra 1 thread / 2 threads; vs = halcyra time / FAISS time with as many threads; below 1 is faster)")


if __name__ == "__main__":
    if len(sys.argv) == 6 and sys.argv[1] == "--one":
        print(measure(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])))
    else:
        main()
