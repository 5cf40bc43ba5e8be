"""Times staging 100,000 numpy vectors of dimension 64 into a VectorBuilder,
and measures the peak memory of write_hyvi_from_faiss over numpy parts.

    staging_bench.py AFTER_DIR [BEFORE_DIR]

Each directory holds a built halcyra module (<build>/python). BEFORE_DIR is a
build that converts buffers item by item (e.g. the previous commit's, built
in a scratch worktree); without it, "before" is the same build given the
rows as lists (.tolist()), which is what callers had to do.

Staging is timed whole the first time in a fresh process, the Python list of
pairs included: `add_many` of `[(i, row) for i, row in enumerate(x)]`, and
`add` in a loop over the rows, for float32 and float64 rows, and both again
over `.tolist()` rows (the conversion to lists included). Most of that first
time goes to the memory the builder keeps (25 MiB of floats, touched for the
first time) and to the Python objects of the pairs, alike for every build, so
the calls alone are timed too, over pairs made beforehand, into new builders
whose memory the process has touched before ("warm", the best of three).
Every figure is the median of ROUNDS fresh processes; the builds alternate
within each round.

The peak memory is the process's peak resident set during one
write_hyvi_from_faiss call less its resident set just before, over N_PARTS
vectors of M_PARTS code bytes: the parts as numpy arrays viewed as bytes
(no copy), or as `.tobytes()` copies made before the call.
"""

import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

N, DIM = 100_000, 64
ROUNDS = 3
N_PARTS, M_PARTS, NLIST, DIM_PARTS = 4_000_000, 32, 1024, 64
STAGING = [
    ("add_many", "float32"), ("add_many", "float64"), ("add", "float32"), ("add", "float64"),
    ("add_many", "float32 .tolist()"), ("add", "float32 .tolist()"),
]
PARTS = ["views", "tobytes"]


def stage(how, rows):
    """Seconds to stage the rows: the first time in the process, the Python
    pairs (and .tolist()) included; then the calls alone, warm."""
    import numpy as np

    import halcyra

    x = np.random.default_rng(5).normal(size=(N, DIM)).astype(rows.split()[0])

    def staged(x):
        b = halcyra.VectorBuilder(DIM, 256, 16)
        start = time.perf_counter()
        if rows.endswith(".tolist()"):
            x = x.tolist()
        if how == "add_many":
            b.add_many([(i, row) for i, row in enumerate(x)])
        else:
            for i, row in enumerate(x):
                b.add(i, row)
        seconds = time.perf_counter() - start
        assert len(b) == N
        return seconds

    first = staged(x)
    items = x.tolist() if rows.endswith(".tolist()") else list(x)
    pairs = list(enumerate(items))
    warm = []
    for _ in range(3):
        b = halcyra.VectorBuilder(DIM, 256, 16)
        start = time.perf_counter()
        if how == "add_many":
            b.add_many(pairs)
        else:
            for i, row in pairs:
                b.add(i, row)
        warm.append(time.perf_counter() - start)
        del b
    return first, min(warm)


def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def write_parts(form):
    """Bytes by which one call raises the process's peak resident set."""
    import numpy as np

    import halcyra

    rng = np.random.default_rng(9)
    arrays = dict(
        centroids=rng.normal(size=(NLIST, DIM_PARTS)).astype("<f4"),
        codebooks=rng.normal(size=(M_PARTS, 256, DIM_PARTS // M_PARTS)).astype("<f4"),
        ids=np.arange(N_PARTS, dtype="<u4"),
        assignments=rng.integers(0, NLIST, N_PARTS, dtype="<u4"),
        codes=rng.integers(0, 256, (N_PARTS, M_PARTS), dtype=np.uint8),
    )
    parts = {k: a.tobytes() if form == "tobytes" else a.reshape(-1).view(np.uint8) for k, a in arrays.items()}
    with tempfile.TemporaryDirectory() as out:
        before = resident()
        assert resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 <= before + (64 << 20)
        halcyra.write_hyvi_from_faiss(os.path.join(out, "parts.hyvi"), DIM_PARTS, NLIST, M_PARTS, nbits=8, **parts)
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 - before


def run(module_dir, *args):
    env = dict(os.environ, PYTHONPATH=os.path.abspath(module_dir))
    out = subprocess.run([sys.executable, __file__, "--one", *args], env=env, capture_output=True, text=True,
                         check=True)
    return [float(v) for v in out.stdout.split()]


def median(values):
    return statistics.median(values)


def main(after, before):
    builds = [("after", after)] + ([("before", before)] if before else [])
    print(f"{N:,} vectors of dimension {DIM}; median of {ROUNDS} rounds; "
          f"load average {os.getloadavg()[0]:.2f} on {os.cpu_count()} CPUs")
    times = {}
    for _ in range(ROUNDS):
        for how, rows in STAGING:
            for name, where in builds:
                times.setdefault((name, how, rows), []).append(run(where, "stage", how, rows))
    t = {key: [median(v[k] for v in values) for k in (0, 1)] for key, values in times.items()}
    for k, title in enumerate(["first staging, whole", "warm, the calls alone"]):
        print(f"{title:<28}" + "".join(f"{name:>10}" for name, _ in builds) + ("  before/after" if before else ""))
        for how, rows in STAGING:
            s = [t[(name, how, rows)][k] for name, _ in builds]
            print(f"  {how + ' ' + rows:<26}" + "".join(f"{v:9.3f}s" for v in s) +
                  (f"{s[1] / s[0]:13.1f}x" if before else ""))
        listed = t[("after", "add_many", "float32 .tolist()")][k]
        for rows in ("float32", "float64"):
            ratio = listed / t[("after", "add_many", rows)][k]
            print(f"  add_many of {rows} rows: {ratio:.1f}x as fast as of .tolist() rows")
    print()
    print(f"write_hyvi_from_faiss, {N_PARTS:,} vectors x {M_PARTS} code bytes "
          f"({N_PARTS * (M_PARTS + 8) / 2**20:.0f} MiB of parts): peak resident set raised by")
    for form in PARTS:
        for name, where in builds:
            if name == "before" and form == "views":
                continue  # item by item: minutes
            peak = median([run(where, "parts", form)[0] for _ in range(ROUNDS)])
            print(f"  {name:>6}, parts as {form:<8}: {peak / 2**20:7.0f} MiB")


if __name__ == "__main__":
    if len(sys.argv) >= 3 and sys.argv[1] == "--one":
        if sys.argv[2] == "stage":
            print(*stage(sys.argv[3], sys.argv[4]))
        else:
            print(write_parts(sys.argv[3]))
    elif len(sys.argv) in (2, 3):
        main(sys.argv[1], sys.argv[2] if len(sys.argv) == 3 else None)
    else:
        sys.exit(__doc__)
