"""Byte strings and vectors given as buffers are read from the buffer, with
the results and the errors of the items the sequence protocol gives."""

import array
import threading

import numpy as np
import pytest

from halcyra import Builder, SplitSetWriter, VectorBuilder, write_hyvi_from_faiss

# numpy warns of bools taken as ints.
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")


class Items:
    """The items of `o` through the sequence protocol alone: no buffer."""

    def __init__(self, o):
        self.o = o

    def __len__(self):
        return len(self.o)

    def __getitem__(self, i):
        return self.o[i]


class Doubled(np.ndarray):
    """An array whose items, as indexing gives them, are not its buffer's."""

    def __getitem__(self, i):
        return super().__getitem__(i) * 2


def outcome(f, x):
    try:
        return "ok", f(x)
    except Exception as e:  # noqa: BLE001 - the type and text are compared
        return type(e), str(e)


def same_as_items(f, x):
    assert outcome(f, x) == outcome(f, Items(x)), (type(x), x)


def byte_forms(raw):
    a = np.frombuffer(raw, np.uint8)
    forms = [bytearray(raw), memoryview(raw), memoryview(bytearray(raw)), a, a.copy(), a.astype(np.int64),
             a.astype(">u2"), array.array("B", raw), array.array("q", list(raw)), np.repeat(a, 2)[::2],
             memoryview(bytes(np.repeat(a, 3)))[1::3], list(raw)]
    if max(raw, default=0) < 128:
        forms += [a.astype(np.int8), array.array("b", list(raw))]
    return forms


def bad_byte_forms(rng):
    forms = [np.array([1, 300]), np.array([5, -1], np.int8), array.array("b", [3, -3]), np.array([1.0, 2.0]),
             np.zeros(2, np.float32), np.array([True, False]), memoryview(b"ab").cast("c"),
             np.zeros((3, 2), np.uint8)[:, :1], np.zeros((2, 2), np.int16), np.zeros(())]
    forms.append(np.arange(5, dtype=np.uint8).view(Doubled))
    for dtype in (np.int8, np.uint8, np.int16, np.int64, np.float64):
        forms.append(rng.integers(-3 if dtype != np.uint8 else 0, 260, 6).astype(dtype))
    return forms


def split_set():
    w = SplitSetWriter(name_prefix="p")
    for text in ("alpha beta", "gamma delta", "alpha"):
        w.add(text)
    n0, b0, _ = w.flush()
    w.add("beta gamma")
    n1, b1, manifest = w.flush()
    return (n0, b0), (n1, b1), manifest


def test_byte_strings_read_from_buffers(tmp_path):
    rng = np.random.default_rng(7)
    (n0, b0), (n1, b1), manifest = split_set()
    raws = [b"", bytes(range(256)), bytes(rng.integers(0, 128, 37, np.uint8)),
            bytes(rng.integers(0, 256, 99, np.uint8))]
    dirs = iter(range(10**6))

    def record(x):
        b = Builder()
        b.add(1, "text", x)
        b.add_many([(2, "more", x, None)])
        out = tmp_path / str(next(dirs))
        b.build(str(out))
        return (out / "records.bin").read_bytes()

    def resume(x):
        w = SplitSetWriter.resume(x, name_prefix="p")
        w.add("zeta")
        return w.doc_count(), w.flush()

    def compact(x):
        return SplitSetWriter.resume(manifest, name_prefix="p").compact([(n0, x), (n1, b1)])

    # A manifest or a split is parsed in place or copied: the same outcome,
    # also for bytes that are not one.
    cases = [(record, raws), (resume, raws + [manifest]), (compact, raws + [b0])]
    for f, inputs in cases:
        for raw in inputs:
            expected = outcome(f, raw)
            for x in byte_forms(raw):
                assert outcome(f, x) == expected, (f.__name__, type(x), raw[:8])
        for x in bad_byte_forms(rng):
            same_as_items(f, x)
    assert outcome(record, np.zeros((2, 3), np.uint8)) == outcome(record, bytes(6))  # C order, flattened


def test_vectors_read_from_buffers(tmp_path):
    rng = np.random.default_rng(11)
    x = rng.normal(size=(120, 8)) * 10.0 ** rng.integers(-3, 4, size=(120, 8))  # each rounds to float32
    x32 = x.astype(np.float32)

    def model(rows, name):
        b = VectorBuilder(8, 4, 2, nbits=4, seed=3)
        b.add_many(list(enumerate(rows[:60])))
        for i, row in enumerate(rows[60:], 60):
            b.add(i, row)
        b.build(str(tmp_path / name))
        return (tmp_path / name).read_bytes()

    expected = model(x.tolist(), "list")
    for dtype, rows in [(np.float64, x), (np.float32, x32)]:
        forms = [rows, [memoryview(r) for r in rows], [array.array("fd"[dtype == np.float64], r) for r in rows],
                 np.asfortranarray(rows), np.repeat(rows, 2, axis=1)[:, ::2], rows[:, ::-1].copy()[:, ::-1],
                 rows.astype(rows.dtype.newbyteorder())]
        for i, form in enumerate(forms):
            assert model(form, f"{i}") == expected, (dtype, i)
    assert model(x.astype(np.float16), "16") == model(x.astype(np.float16).tolist(), "16l")
    assert model([row.view(Doubled) for row in x32], "d") == model((x32 * 2).tolist(), "dl")

    b = VectorBuilder(8, 4, 2)
    for v in [x32[0, :7], x[0, :9], x32[:2], x32[0].astype(object), np.zeros(()), x32[0].astype(">f4")[:3],
              np.array([1e400] * 8, dtype=object), np.array(["a"] * 8), memoryview(b"12345678")]:
        same_as_items(lambda v: b.add(1, v), v)
        same_as_items(lambda v: b.add_many([(1, x[0]), (2, v)]), v)


def hyvi_parts():
    return dict(dim=4, nlist=1, m=2, nbits=2, centroids=np.array([1.0, -2.0, 0.5, 0.0], "<f4"),
                codebooks=np.arange(16, dtype="<f4"), ids=np.array([0x01020304, 7, 0xFFFFFFFF], "<u4"),
                assignments=np.zeros(3, "<u4"), codes=np.array([0, 1, 2, 3, 3, 0], np.uint8),
                opq=np.eye(4, dtype="<f4"))


def test_write_hyvi_from_faiss_reads_the_arrays_in_place(tmp_path):
    parts = hyvi_parts()

    def write(**arrays):
        path = tmp_path / "f.hyvi"
        write_hyvi_from_faiss(str(path), **{**parts, **arrays})
        return path.read_bytes()

    names = ["centroids", "codebooks", "ids", "assignments", "codes", "opq"]
    expected = write(**{n: parts[n].tobytes() for n in names})
    assert write(**{n: parts[n].view(np.uint8) for n in names}) == expected
    assert write(**{n: memoryview(parts[n]).cast("B") for n in names}) == expected
    assert write(**{n: bytearray(parts[n].tobytes()) for n in names}) == expected
    for n in names:
        for bad in [parts[n], parts[n].view(np.uint8)[:-1], parts[n].view(np.uint8)[::2]]:
            same_as_items(lambda x: write(**{n: x}), bad)


class Hook:
    """An int whose conversion runs `action` first."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __index__(self):
        self.action()
        return self.value


def test_buffers_stay_pinned_while_the_call_reads_them(tmp_path):
    parts = {n: a.tobytes() if isinstance(a, np.ndarray) else a for n, a in hyvi_parts().items()}
    centroids = bytearray(parts["centroids"])
    opq = list(parts["opq"])
    opq[0] = Hook(opq[0], lambda: centroids.extend(b"\0"))
    with pytest.raises(BufferError):
        write_hyvi_from_faiss(str(tmp_path / "f.hyvi"), **{**parts, "centroids": centroids, "opq": opq})
    assert centroids == parts["centroids"]

    # A memoryview read in place cannot be released, freeing its bytes.
    (n0, b0), (n1, b1), manifest = split_set()
    view = memoryview(bytes(b0))
    w = SplitSetWriter.resume(manifest, name_prefix="p")
    with pytest.raises(BufferError):
        w.compact([(n0, view), (n1, [Hook(b1[0], view.release), *b1[1:]])])
    assert view.tobytes() == b0


def test_writable_buffers_are_copied_before_the_lock_is_released():
    # Another thread scribbles over a bytearray while the compaction reads it
    # without the lock: it reads the bytes it was given.
    (n0, b0), (n1, b1), manifest = split_set()
    expected = SplitSetWriter.resume(manifest, name_prefix="p").compact([(n0, b0), (n1, b1)])
    split, stop = bytearray(b0), threading.Event()

    def scribble():
        junk = [bytes(len(b0)), b0[::-1]]
        while not stop.is_set():
            split[:] = junk[0]
            junk.reverse()

    thread = threading.Thread(target=scribble)
    try:
        got = SplitSetWriter.resume(manifest, name_prefix="p").compact(
            [(n0, split), (n1, [Hook(b1[0], thread.start), *b1[1:]])])
    finally:
        stop.set()
        thread.join()
    assert got == expected and split != b0
