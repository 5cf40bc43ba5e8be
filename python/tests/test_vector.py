import inspect
import os
import random
import struct
import subprocess
import sys

import numpy as np
import pytest

import halcyra
from halcyra_tools import parse as readers
from halcyra import VectorBuilder, write_hyvi_from_faiss

MASK64 = (1 << 64) - 1
DEFAULT_SEED = 0x4851564948595649  # "HQVIHYVI"
ZERO_SEED_STATE = 0x9E3779B97F4A7C15
DIM_M = "need dim > 0, m > 0, and m to divide dim"


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def f32_bytes(values):
    return np.asarray(values, dtype="<f4").tobytes()


def u32_bytes(values):
    return np.asarray(values, dtype="<u4").tobytes()


def read_index(path):
    return readers.vector_index(open(path, "rb").read())


# ---------------------------------------------------------------------------
# The trainer restated with numpy single-precision arithmetic, one component
# at a time, so that every sum runs in the same order as the extension's.


class Rng:
    def __init__(self, seed):
        self.x = seed if seed != 0 else ZERO_SEED_STATE

    def draw(self, n):
        x = self.x
        x ^= x >> 12
        x ^= (x << 25) & MASK64
        x ^= x >> 27
        self.x = x
        return ((x * 0x2545F4914F6CDD1D) & MASK64) % n


def reference_assign(points, centroids):
    acc = np.zeros((len(points), len(centroids)), np.float32)
    for t in range(points.shape[1]):
        diff = points[:, t : t + 1] - centroids[None, :, t]
        acc += diff * diff
    # Strictly smaller wins from (+inf, cluster 0): NaN never wins, ties go low.
    acc[np.isnan(acc)] = np.inf
    return np.argmin(acc, axis=1)


def reference_kmeans(points, k, iters, rng):
    n = len(points)
    centroids = np.stack([points[rng.draw(n)] for _ in range(k)])
    for _ in range(iters):
        assignments = reference_assign(points, centroids)
        sums = np.zeros_like(centroids)
        counts = [0] * k
        for i, c in enumerate(assignments):
            sums[c] += points[i]
            counts[c] += 1
        for c in range(k):
            if counts[c]:
                centroids[c] = sums[c] * (np.float32(1) / np.float32(counts[c]))
            else:
                centroids[c] = points[rng.draw(n)]
    return centroids, reference_assign(points, centroids)


def reference_train(items, dim, nlist, m, nbits, metric, iters, seed):
    """Returns (centroids, codebooks, lists) as the file must hold them."""
    x = np.array([v for _, v in items], np.float32).reshape(len(items), dim)
    if metric == "ip":
        for row in x:
            s = np.float32(0)
            for v in row:
                s += v * v
            if s != 0:
                row[:] = row / np.sqrt(s)
    rng = Rng(seed)
    nlist = min(nlist, len(items))
    centroids, assign = reference_kmeans(x, nlist, max(1, iters), rng)
    residuals = x - centroids[assign]
    dsub = dim // m
    codebooks, codes = [], np.zeros((len(items), m), np.uint8)
    for j in range(m):
        book, codes[:, j] = reference_kmeans(np.ascontiguousarray(residuals[:, j * dsub : (j + 1) * dsub]), 1 << nbits, max(1, iters), rng)
        codebooks.append(book)
    lists = [([], bytearray()) for _ in range(nlist)]
    for i, (doc_id, _) in enumerate(items):
        lists[assign[i]][0].append(doc_id)
        lists[assign[i]][1].extend(codes[i].tobytes())
    return centroids, np.concatenate(codebooks), [(ids, bytes(c)) for ids, c in lists]


def random_items(n, dim, seed, ids=None):
    rng = random.Random(seed)
    return [(i if ids is None else ids[i], [rng.gauss(0, 1) for _ in range(dim)]) for i in range(n)]


# ---------------------------------------------------------------------------
# The Python surface


def test_signatures_and_docstrings():
    assert VectorBuilder.__text_signature__ == '(dim, nlist, m, nbits=8, metric="ip", kmeans_iters=25, seed=None)'
    assert str(inspect.signature(VectorBuilder)) == "(dim, nlist, m, nbits=8, metric='ip', kmeans_iters=25, seed=None)"
    assert VectorBuilder.__doc__ == (
        "Accumulates `(doc_id, vector)` pairs, then trains and writes an `HYVI`\n"
        "similarity (vector) index \u2014 the range-fetchable sibling of the `HYS` text\n"
        "index. `doc_id` must equal the text index's doc ID so hits map to the same\n"
        "records. Wraps the core IVFPQ trainer; see `VECTORS.md` for the byte layout."
    )
    assert str(inspect.signature(VectorBuilder.add)) == "(self, /, doc_id, vector)"
    assert VectorBuilder.add.__doc__ == (
        "Stages one vector under `doc_id`. `vector` must have length `dim` (any\n"
        "sequence of floats \u2014 a Python list, tuple, or numpy row via `.tolist()`)."
    )
    assert str(inspect.signature(VectorBuilder.add_many)) == "(self, /, items)"
    assert VectorBuilder.add_many.__doc__ == (
        "Stages many `(doc_id, vector)` pairs at once (one call instead of a Python\n"
        "loop). Every vector must have length `dim`."
    )
    assert str(inspect.signature(VectorBuilder.build)) == "(self, /, out_path)"
    assert VectorBuilder.build.__doc__ == (
        "Trains the IVFPQ index over the staged vectors and writes it to\n"
        "`out_path` (an `.hyvi` file; parent directories are created). Returns a\n"
        "[`VectorBuildStats`]. Raises `ValueError` for empty input or invalid params."
    )
    assert write_hyvi_from_faiss.__text_signature__ == (
        '(out_path, dim, nlist, m, centroids, codebooks, ids, assignments, codes, nbits=8, metric="ip", opq=None)'
    )
    assert write_hyvi_from_faiss.__doc__ == (
        "Writes an `HYVI` index from already-trained IVFPQ parts (e.g. a FAISS\n"
        "`OPQ,IVF,PQ` export) to `out_path`, without re-training.\n\n"
        "Arrays are passed as little-endian byte buffers (numpy `array.astype('<f4'or\n"
        "'<u4').tobytes()` / `codes.astype('uint8').tobytes()`) so the extension needs\n"
        "no numpy dependency:\n"
        "- `centroids`: `nlist*dim` f32 (coarse centroids, in the OPQ-rotated space)\n"
        "- `codebooks`: `m*(2^nbits)*(dim/m)` f32 (PQ codebooks)\n"
        "- `ids`: `n` u32 (doc IDs), `assignments`: `n` u32 (coarse cluster per vector)\n"
        "- `codes`: `n*m` u8 (PQ codes), `opq` (optional): `dim*dim` f32 (row-major `R`)\n\n"
        '`metric` is `"ip"`/`"cosine"` or `"l2"`. Returns [`VectorBuildStats`]; raises\n'
        "`ValueError` if any array length is inconsistent or an assignment/code is out\n"
        "of range."
    )
    assert [name for name in ("add", "add_many", "build") if name in vars(VectorBuilder)] == ["add", "add_many", "build"]


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((8, 4, 3), {}, DIM_M),
        ((0, 4, 1), {}, DIM_M),
        ((8, 4, 0), {}, DIM_M),
        # Each case also breaks every later check: the first failing one speaks.
        ((8, 0, 3), dict(nbits=9, metric="nope"), DIM_M),
        ((8, 4, 2), dict(nbits=9), "nbits must be in 1..=8"),
        ((8, 0, 2), dict(nbits=0, metric="nope"), "nbits must be in 1..=8"),
        ((8, 0, 2), dict(metric="nope"), "nlist must be >= 1"),
        ((8, 4, 2), dict(metric="Foo"), "unknown metric \"foo\"; use 'ip' (cosine) or 'l2'"),
        ((8, 4, 2), dict(metric=""), "unknown metric \"\"; use 'ip' (cosine) or 'l2'"),
        ((8, 4, 2), dict(metric='Say "Hi"\\\n\t\x01'), "unknown metric \"say \\\"hi\\\"\\\\\\n\\t\\u{1}\"; use 'ip' (cosine) or 'l2'"),
        # Lower-casing is ASCII only.
        ((8, 4, 2), dict(metric="\u00c9UCLIDEAN"), "unknown metric \"\u00c9uclidean\"; use 'ip' (cosine) or 'l2'"),
        ((8, 4, 2), dict(metric="l2 "), "unknown metric \"l2 \"; use 'ip' (cosine) or 'l2'"),
    ],
)
def test_constructor_checks_in_order(args, kwargs, message):
    with pytest.raises(ValueError) as e:
        VectorBuilder(*args, **kwargs)
    assert type(e.value) is ValueError and e.value.args == (message,)


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        (dict(dim=-1), OverflowError, "argument 'dim': can't convert negative int to unsigned"),
        (dict(nbits=256), OverflowError, "argument 'nbits': int too big to convert"),
        (dict(seed=2**64), OverflowError, "argument 'seed': int too big to convert"),
        (dict(seed=-1), OverflowError, "argument 'seed': can't convert negative int to unsigned"),
        (dict(metric=1), TypeError, "argument 'metric': 'int' object cannot be converted to 'PyString'"),
        (dict(kmeans_iters=2.0), TypeError, "argument 'kmeans_iters': 'float' object cannot be interpreted as an integer"),
    ],
)
def test_constructor_argument_conversion(kwargs, exc, message):
    args = dict(dim=4, nlist=2, m=2)
    args.update(kwargs)
    with pytest.raises(exc) as e:
        VectorBuilder(**args)
    assert type(e.value) is exc and str(e.value) == message


@pytest.mark.parametrize(
    "name, byte",
    [("ip", 0), ("IP", 0), ("dot", 0), ("Dot", 0), ("cosine", 0), ("COSINE", 0), ("inner_product", 0),
     ("Inner_Product", 0), ("l2", 1), ("L2", 1), ("euclidean", 1), ("Euclidean", 1), ("EUCLIDEAN", 1), ("eUcLiDeAn", 1)],
)
def test_metric_names_in_any_case(tmp_path, name, byte):
    b = VectorBuilder(2, 1, 1, nbits=1, metric=name, kmeans_iters=1)
    b.add(0, [3.0, 4.0])
    b.build(str(tmp_path / "v.hyvi"))
    header, _, centroids, _, _ = read_index(tmp_path / "v.hyvi")
    assert header["metric"] == byte
    # Inner product trains on the unit-scaled vector, L2 on the raw one.
    assert centroids == ((f32(0.6), f32(0.8)) if byte == 0 else (3.0, 4.0))


def test_add_checks_length_and_types():
    b = VectorBuilder(4, 2, 2)
    b.add(0, [1, 2, 3, 4])
    b.add(2**32 - 1, (0.5, -0.5, 1e30, 0.0))
    b.add(7, np.arange(4, dtype=np.float32).tolist())
    assert len(b) == 3
    with pytest.raises(ValueError) as e:
        b.add(1, [1.0, 2.0, 3.0])
    assert e.value.args == ("vector has length 3, expected dim 4",)
    with pytest.raises(ValueError) as e:
        b.add(1, [0.0] * 5)
    assert e.value.args == ("vector has length 5, expected dim 4",)
    with pytest.raises(ValueError) as e:
        b.add(1, [])
    assert e.value.args == ("vector has length 0, expected dim 4",)
    for args, exc, message in [
        ((2**32, [0.0] * 4), OverflowError, "argument 'doc_id': int too big to convert"),
        ((-1, [0.0] * 4), OverflowError, "argument 'doc_id': can't convert negative int to unsigned"),
        ((1, "abcd"), TypeError, "argument 'vector': Can't extract `str` to `Vec`"),
        ((1, [0.0, 0.0, 0.0, "x"]), TypeError, "argument 'vector': must be real number, not str"),
        ((1, 4), TypeError, "argument 'vector': 'int' object cannot be converted to 'Sequence'"),
    ]:
        with pytest.raises(exc) as e:
            b.add(*args)
        assert type(e.value) is exc and str(e.value) == message
    assert len(b) == 3


def test_add_many_stages_pairs_before_the_first_bad_one(tmp_path):
    b = VectorBuilder(2, 4, 1)
    good = [(10, [1.0, 0.0]), (11, [0.0, 1.0])]
    with pytest.raises(ValueError) as e:
        b.add_many(good + [(12, [1.0, 2.0, 3.0]), (13, [1.0, 1.0])])
    assert e.value.args == ("vector has length 3, expected dim 2",)
    assert len(b) == 2  # the pair after the bad one is dropped too
    b.build(str(tmp_path / "v.hyvi"))
    header, _, _, _, lists = read_index(tmp_path / "v.hyvi")
    assert header["n"] == 2 and sorted(i for ids, _ in lists for i in ids) == [10, 11]

    # A conversion failure anywhere stages nothing.
    for items, exc, message in [
        (good + [(12, "ab")], TypeError, "argument 'items': Can't extract `str` to `Vec`"),
        (good + [(12, [1.0, 2.0], 3)], TypeError, "argument 'items': expected tuple of length 2, but got tuple of length 3"),
        (good + [[12, [1.0, 2.0]]], TypeError, "argument 'items': 'list' object cannot be converted to 'PyTuple'"),
        (good + [(2**32, [1.0, 2.0])], OverflowError, "argument 'items': int too big to convert"),
        ("items", TypeError, "argument 'items': Can't extract `str` to `Vec`"),
    ]:
        with pytest.raises(exc) as e:
            b.add_many(items)
        assert type(e.value) is exc and str(e.value) == message
    assert len(b) == 2
    b.add_many([])
    b.add_many(tuple(good))
    assert len(b) == 4


def test_len_counts_duplicates_and_both_copies_are_listed(tmp_path):
    b = VectorBuilder(2, 1, 1, nbits=2, metric="l2", kmeans_iters=3)
    b.add(7, [1.0, 0.0])
    b.add(5, [10.0, 0.0])
    b.add(7, [1.0, 0.0])
    b.add_many([(3, [1.0, 0.1]), (7, [10.0, 0.1])])
    assert len(b) == 5
    stats = b.build(str(tmp_path / "v.hyvi"))
    assert stats.vectors == 5
    _, _, _, _, lists = read_index(tmp_path / "v.hyvi")
    ids, codes = lists[0]
    assert ids == [7, 5, 7, 3, 7]  # staging order, nothing merged
    assert codes[0] == codes[2]  # the same vector, the same code


def test_empty_build_raises_and_touches_nothing(tmp_path):
    b = VectorBuilder(4, 2, 2)
    out = tmp_path / "new" / "dir" / "v.hyvi"
    with pytest.raises(ValueError) as e:
        b.build(str(out))
    assert e.value.args == ("no input vectors",)
    assert not (tmp_path / "new").exists()
    # Training errors come before the file system: even an impossible path
    # reports the empty input.
    blocker = tmp_path / "file"
    blocker.write_bytes(b"x")
    with pytest.raises(ValueError):
        b.build(str(blocker / "v.hyvi"))
    assert os.listdir(tmp_path) == ["file"]


def test_build_errors_are_io_errors(tmp_path):
    b = VectorBuilder(2, 1, 1)
    b.add(0, [1.0, 2.0])
    blocker = tmp_path / "file"
    blocker.write_bytes(b"x")
    with pytest.raises(IOError) as e:
        b.build(str(blocker / "sub" / "v.hyvi"))
    assert e.value.args == ("Not a directory (os error 20)",)
    with pytest.raises(IOError) as e:
        b.build(str(tmp_path))
    assert e.value.args == ("Is a directory (os error 21)",)
    with pytest.raises(TypeError) as e:
        b.build(tmp_path / "v.hyvi")
    assert str(e.value) == "argument 'out_path': 'PosixPath' object cannot be converted to 'PyString'"


def test_build_creates_parents_truncates_and_repeats_identically(tmp_path):
    b = VectorBuilder(8, 4, 2, nbits=4, metric="cosine", kmeans_iters=5)
    b.add_many(random_items(50, 8, 1))
    first = tmp_path / "a" / "b" / "first.hyvi"
    stats = b.build(str(first))
    assert type(stats) is halcyra.VectorBuildStats
    assert repr(stats) == "VectorBuildStats(vectors=50, dim=8, nlist=4, m=2, nbits=4)"
    (tmp_path / "second.hyvi").write_bytes(b"\xff" * 100000)
    b.build(str(tmp_path / "second.hyvi"))
    assert first.read_bytes() == (tmp_path / "second.hyvi").read_bytes()
    assert len(first.read_bytes()) == 48 + 4 * 4 * 8 + 4 * 2 * 16 * 4 + 12 * 4 + (4 + 2) * 50
    # More input is a different model.
    b.add(50, [1.0] * 8)
    assert b.build(str(tmp_path / "third.hyvi")).vectors == 51
    assert (tmp_path / "third.hyvi").read_bytes() != first.read_bytes()


def test_nlist_is_clamped_to_the_vector_count(tmp_path):
    b = VectorBuilder(4, 100, 2, metric="l2", seed=3)
    b.add_many(random_items(5, 4, 2))
    stats = b.build(str(tmp_path / "v.hyvi"))
    assert (stats.vectors, stats.dim, stats.nlist, stats.m, stats.nbits) == (5, 4, 5, 2, 8)
    header, _, centroids, codebooks, lists = read_index(tmp_path / "v.hyvi")
    assert header == dict(version=1, metric=1, has_opq=0, dim=4, nlist=5, m=2, nbits=8, n=5)
    assert len(centroids) == 20 and len(codebooks) == 2 * 256 * 2 and len(lists) == 5


def test_single_vector_trains_as_its_unit_vector(tmp_path):
    b = VectorBuilder(2, 8, 2, nbits=2, metric="ip")
    b.add(42, [3.0, 4.0])
    stats = b.build(str(tmp_path / "v.hyvi"))
    assert stats.nlist == 1
    data = (tmp_path / "v.hyvi").read_bytes()
    header, opq, centroids, codebooks, lists = readers.vector_index(data)
    assert opq is None
    assert centroids == (f32(0.6), f32(0.8))
    assert data[48:56] == struct.pack("<2f", 0.6, 0.8)
    assert codebooks == (0.0,) * 8  # every residual is zero
    assert lists == [([42], b"\x00\x00")]

    # An all-zero vector stays zero under inner product.
    z = VectorBuilder(3, 1, 1, nbits=1, metric="ip")
    z.add(1, [0.0, 0.0, 0.0])
    z.build(str(tmp_path / "z.hyvi"))
    assert read_index(tmp_path / "z.hyvi")[2] == (0.0, 0.0, 0.0)


@pytest.mark.parametrize(
    "dim, nlist, m, nbits, metric, iters, seed, n",
    [
        (8, 4, 2, 3, "ip", 3, 99, 60),
        (6, 3, 3, 2, "l2", 2, 0, 40),
        (4, 10, 2, 8, "cosine", 2, DEFAULT_SEED, 10),  # more codewords than vectors
        (5, 7, 5, 1, "euclidean", 0, 5, 5),  # nlist clamped; iterations 0 run once
    ],
)
def test_file_matches_a_restatement_of_the_training(tmp_path, dim, nlist, m, nbits, metric, iters, seed, n):
    items = random_items(n, dim, n + dim, ids=[3 * i + 1 for i in range(n)])
    b = VectorBuilder(dim, nlist, m, nbits=nbits, metric=metric, kmeans_iters=iters, seed=seed)
    b.add_many(items)
    b.build(str(tmp_path / "v.hyvi"))
    header, _, centroids, codebooks, lists = read_index(tmp_path / "v.hyvi")
    want_centroids, want_codebooks, want_lists = reference_train(
        items, dim, nlist, m, nbits, "ip" if metric in ("ip", "cosine") else "l2", iters, seed
    )
    assert header["nlist"] == min(nlist, n) and header["n"] == n
    assert np.asarray(centroids, np.float32).tobytes() == want_centroids.tobytes()
    assert np.asarray(codebooks, np.float32).tobytes() == want_codebooks.tobytes()
    assert lists == want_lists


def test_seed_and_iteration_defaults(tmp_path):
    items = random_items(80, 6, 4)

    def build(name, **kwargs):
        b = VectorBuilder(6, 5, 3, nbits=3, metric="l2", **kwargs)
        b.add_many(items)
        b.build(str(tmp_path / name))
        return (tmp_path / name).read_bytes()

    # seed None is the builder's constant; seed 0 is the trainer's replacement state.
    assert build("none.hyvi", kmeans_iters=4) == build("default.hyvi", kmeans_iters=4, seed=DEFAULT_SEED)
    assert build("zero.hyvi", seed=0, kmeans_iters=4) == build("golden.hyvi", seed=ZERO_SEED_STATE, kmeans_iters=4)
    assert build("zero.hyvi", seed=0, kmeans_iters=4) != build("none.hyvi", kmeans_iters=4)
    assert build("one.hyvi", seed=1) != build("two.hyvi", seed=2)
    assert build("max.hyvi", seed=2**64 - 1)
    # kmeans_iters 0 runs one iteration, and more iterations change the model.
    assert build("i0.hyvi", kmeans_iters=0) == build("i1.hyvi", kmeans_iters=1)
    assert build("i1.hyvi", kmeans_iters=1) != build("i25.hyvi")
    assert build("i25.hyvi") == build("i25b.hyvi", kmeans_iters=25)


DETERMINISM_SCRIPT = """
import random, sys
import halcyra
rng = random.Random(20240607)
b = halcyra.VectorBuilder(24, 12, 6, nbits=5, metric="cosine", kmeans_iters=6)
b.add_many([(rng.randrange(2**32), [rng.gauss(0, 1) for _ in range(24)]) for _ in range(400)])
b.build(sys.argv[1])
b.build(sys.argv[2])
"""


def test_identical_files_in_one_process_and_across_processes(tmp_path):
    paths = [str(tmp_path / f"{name}.hyvi") for name in ("a", "b", "c", "d")]
    old_argv = sys.argv
    try:
        sys.argv = ["-"] + paths[:2]
        exec(DETERMINISM_SCRIPT, {})
    finally:
        sys.argv = old_argv
    env = dict(os.environ, PYTHONPATH=os.path.dirname(halcyra.__file__))
    subprocess.run([sys.executable, "-c", DETERMINISM_SCRIPT] + paths[2:], env=env, check=True)
    files = [open(p, "rb").read() for p in paths]
    assert len(files[0]) == 48 + 4 * 12 * 24 + 4 * 32 * 24 + 12 * 12 + (4 + 6) * 400
    assert files[1] == files[0] and files[2] == files[0] and files[3] == files[0]


# ---------------------------------------------------------------------------
# write_hyvi_from_faiss

# dim 4, m 2, nbits 2, nlist 1, three vectors.
SMALL = dict(
    dim=4,
    nlist=1,
    m=2,
    centroids=f32_bytes([1.0, -2.0, 0.5, 0.0]),
    codebooks=f32_bytes(range(16)),
    ids=u32_bytes([0x01020304, 7, 0xFFFFFFFF]),
    assignments=u32_bytes([0, 0, 0]),
    codes=bytes([0, 1, 2, 3, 3, 0]),
    nbits=2,
)


def write(tmp_path, name="f.hyvi", **parts):
    args = dict(SMALL)
    args.update(parts)
    path = str(tmp_path / name)
    stats = write_hyvi_from_faiss(path, **args)
    return stats, open(path, "rb").read()


def test_worked_example_byte_for_byte(tmp_path):
    stats, data = write(tmp_path, metric="L2")
    assert repr(stats) == "VectorBuildStats(vectors=3, dim=4, nlist=1, m=2, nbits=2)"
    expected = (
        b"HYVI" + b"\x01\x00" + b"\x01\x00"  # magic, version 1, metric L2, no OPQ
        + b"\x04\x00\x00\x00" + b"\x01\x00\x00\x00" + b"\x02\x00\x00\x00"  # dim, nlist, m
        + b"\x02\x00\x00\x00"  # nbits, reserved
        + b"\x03\x00\x00\x00\x00\x00\x00\x00" + bytes(16)  # n, reserved
        + b"\x00\x00\x80\x3f\x00\x00\x00\xc0\x00\x00\x00\x3f\x00\x00\x00\x00"  # centroid 1, -2, 0.5, 0
        + b"".join(struct.pack("<f", float(i)) for i in range(16))  # 2 sub-spaces x 4 codewords x 2
        + b"\x8c\x00\x00\x00\x00\x00\x00\x00\x03\x00\x00\x00"  # the list at 140, 3 vectors
        + b"\x04\x03\x02\x01\x07\x00\x00\x00\xff\xff\xff\xff"  # ids
        + b"\x00\x01\x02\x03\x03\x00"  # codes, m bytes per vector
    )
    assert len(expected) == 158
    assert data == expected
    # Inner product differs in the metric byte only.
    assert write(tmp_path, "ip.hyvi")[1] == expected[:6] + b"\x00" + expected[7:]


def test_opq_shifts_every_later_section(tmp_path):
    rotation = np.arange(16, dtype=np.float32) * 0.5 - 3.0
    _, plain = write(tmp_path, metric="l2")
    stats, data = write(tmp_path, "opq.hyvi", metric="l2", opq=f32_bytes(rotation))
    assert stats.vectors == 3
    assert len(data) == 158 + 64
    assert data[7] == 1 and plain[7] == 0
    assert data[48:112] == rotation.astype("<f4").tobytes()  # stored unchanged
    assert data[:7] == plain[:7] and data[8:48] == plain[8:48]
    assert data[112:192] == plain[48:128]  # centroids and codebooks, shifted
    assert struct.unpack_from("<QI", data, 192) == (140 + 64, 3)
    assert data[204:] == plain[140:]
    header, opq, _, _, _ = readers.vector_index(data)
    assert header["has_opq"] == 1 and opq == tuple(rotation.tolist())


def test_lists_follow_assignments_in_input_order(tmp_path):
    stats, data = write(
        tmp_path,
        nlist=3,
        centroids=f32_bytes(range(12)),
        ids=u32_bytes([30, 10, 20, 40]),
        assignments=u32_bytes([2, 0, 2, 2]),
        codes=bytes([0, 1, 2, 3, 3, 0, 1, 1]),
    )
    assert stats.nlist == 3 and stats.vectors == 4
    header, _, centroids, _, lists = readers.vector_index(data)
    assert centroids == tuple(float(i) for i in range(12))
    assert lists == [([10], b"\x02\x03"), ([], b""), ([30, 20, 40], b"\x00\x01\x03\x00\x01\x01")]
    # The directory: list 1 is empty and has the offset of list 2.
    first = 48 + 48 + 64 + 36
    assert [struct.unpack_from("<QI", data, 160 + 12 * c) for c in range(3)] == [(first, 1), (first + 6, 0), (first + 6, 3)]


def test_no_vectors_is_a_valid_file(tmp_path):
    stats, data = write(tmp_path, nlist=3, centroids=f32_bytes([0.0] * 12), ids=b"", assignments=b"", codes=b"")
    assert (stats.vectors, stats.nlist) == (0, 3)
    assert len(data) == 48 + 48 + 64 + 36
    header, _, _, _, lists = readers.vector_index(data)
    assert header["n"] == 0 and lists == [([], b"")] * 3
    assert [struct.unpack_from("<QI", data, 160 + 12 * c) for c in range(3)] == [(len(data), 0)] * 3


def test_nlist_is_kept_as_given(tmp_path):
    stats, _ = write(tmp_path, nlist=5, centroids=f32_bytes([0.0] * 20), ids=b"", assignments=b"", codes=b"")
    assert stats.nlist == 5


def test_code_range_is_checked_below_eight_bits(tmp_path):
    # nbits 4: codes up to 15 pass, 16 does not.
    four = dict(nbits=4, codebooks=f32_bytes([0.0] * 64))
    assert write(tmp_path, codes=bytes([15, 0, 0, 15, 3, 9]), **four)[0].vectors == 3
    with pytest.raises(ValueError) as e:
        write(tmp_path, codes=bytes([15, 0, 0, 16, 3, 9]), **four)
    assert e.value.args == ("bad params: a code >= ksub (1<<nbits)",)
    # nbits 8: every byte value is a code.
    eight = dict(nbits=8, codebooks=f32_bytes([0.0] * 1024))
    _, data = write(tmp_path, codes=bytes([255, 128, 0, 200, 17, 254]), **eight)
    assert readers.vector_index(data)[4] == [([0x01020304, 7, 0xFFFFFFFF], bytes([255, 128, 0, 200, 17, 254]))]


@pytest.mark.parametrize(
    "parts, message",
    [
        (dict(codes=bytes(5)), "bad params: codes length != ids length * m"),
        (dict(codes=bytes(7)), "bad params: codes length != ids length * m"),
        (dict(assignments=u32_bytes([0, 1, 0])), "bad params: an assignment >= nlist"),
        (dict(assignments=u32_bytes([0, 0, 2**32 - 1])), "bad params: an assignment >= nlist"),
        (dict(assignments=u32_bytes([0, 0])), "bad params: assignments length != ids length"),
        (dict(ids=u32_bytes([1, 2])), "bad params: assignments length != ids length"),
        # Length checks come before range checks.
        (dict(assignments=u32_bytes([0, 1, 0]), codes=bytes(5)), "bad params: codes length != ids length * m"),
        (dict(assignments=u32_bytes([0, 1, 0]), codes=bytes([0, 0, 0, 0, 0, 9])), "bad params: an assignment >= nlist"),
        (dict(centroids=bytes(17)), "centroids: expected 16 bytes (4 f32), got 17"),
        (dict(centroids=b""), "centroids: expected 16 bytes (4 f32), got 0"),
        (dict(codebooks=bytes(60)), "codebooks: expected 64 bytes (16 f32), got 60"),
        (dict(opq=bytes(60)), "opq: expected 64 bytes (16 f32), got 60"),
        (dict(ids=bytes(5)), "ids: byte length 5 is not a multiple of 4"),
        (dict(assignments=bytes(13)), "assignments: byte length 13 is not a multiple of 4"),
        # A centroid buffer one byte long is refused before any later buffer is read.
        (
            dict(centroids=bytes(17), codebooks=bytes(1), opq=bytes(1), ids=bytes(1), assignments=bytes(1), codes=b""),
            "centroids: expected 16 bytes (4 f32), got 17",
        ),
        (dict(codebooks=bytes(1), opq=bytes(1), ids=bytes(1)), "codebooks: expected 64 bytes (16 f32), got 1"),
        (dict(opq=bytes(1), ids=bytes(1), assignments=bytes(1)), "opq: expected 64 bytes (16 f32), got 1"),
        (dict(ids=bytes(1), assignments=bytes(1), codes=b""), "ids: byte length 1 is not a multiple of 4"),
        (dict(assignments=bytes(1), codes=b""), "assignments: byte length 1 is not a multiple of 4"),
        # The shared parameter checks come first of all.
        (dict(m=3, centroids=b""), DIM_M),
        (dict(nbits=9, centroids=b""), "nbits must be in 1..=8"),
        (dict(nlist=0, centroids=b""), "nlist must be >= 1"),
        (dict(metric="Cos", centroids=b""), "unknown metric \"cos\"; use 'ip' (cosine) or 'l2'"),
    ],
)
def test_write_hyvi_from_faiss_errors(tmp_path, parts, message):
    with pytest.raises(ValueError) as e:
        write(tmp_path, **parts)
    assert type(e.value) is ValueError and e.value.args == (message,)
    assert not (tmp_path / "f.hyvi").exists()


def test_centroid_size_error_for_large_shapes(tmp_path):
    with pytest.raises(ValueError) as e:
        write_hyvi_from_faiss(str(tmp_path / "f.hyvi"), 2**31, 2**31, 1, b"\x00" * 5, b"", b"", b"", b"")
    assert e.value.args == ("centroids: expected 18446744073709551616 bytes (4611686018427387904 f32), got 5",)


def test_byte_buffer_types(tmp_path):
    # Any sequence of integers 0..255 is a buffer; str is not.
    stats, data = write(tmp_path, codes=[0, 1, 2, 3, 3, 0], ids=bytearray(SMALL["ids"]), metric="l2")
    assert len(data) == 158 and data == write(tmp_path, "b.hyvi", metric="l2")[1]
    for parts, exc, message in [
        (dict(codes="\x00\x01\x02\x03\x03\x00"), TypeError, "argument 'codes': Can't extract `str` to `Vec`"),
        (dict(centroids="abcdefghijklmnop"), TypeError, "argument 'centroids': Can't extract `str` to `Vec`"),
        (dict(opq="x" * 64), TypeError, "argument 'opq': Can't extract `str` to `Vec`"),
        (dict(codes=[0, 1, 2, 3, 3, 256]), OverflowError, "argument 'codes': int too big to convert"),
        (dict(codes=[0, 1, 2, 3, 3, -1]), OverflowError, "argument 'codes': can't convert negative int to unsigned"),
        (dict(ids=5), TypeError, "argument 'ids': 'int' object cannot be converted to 'Sequence'"),
        (dict(nbits=256), OverflowError, "argument 'nbits': int too big to convert"),
    ]:
        with pytest.raises(exc) as e:
            write(tmp_path, "bad.hyvi", **parts)
        assert type(e.value) is exc and str(e.value) == message
    assert not (tmp_path / "bad.hyvi").exists()


def test_write_hyvi_from_faiss_file_system(tmp_path):
    stats, data = write(tmp_path, "x/y/z.hyvi")
    assert len(data) == 158
    (tmp_path / "blocker").write_bytes(b"")
    with pytest.raises(IOError) as e:
        write(tmp_path, "blocker/z.hyvi")  # the parent exists, as a file
    assert e.value.args == ("File exists (os error 17)",)
    with pytest.raises(IOError) as e:
        write(tmp_path, "blocker/sub/z.hyvi")
    assert e.value.args == ("Not a directory (os error 20)",)
    with pytest.raises(IOError) as e:
        write(tmp_path, "x")
    assert e.value.args == ("Is a directory (os error 21)",)
