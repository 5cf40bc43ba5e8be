"""Builds on several threads: the same bytes for every HALCYRA_THREADS, the
interpreter lock released meanwhile, and Ctrl-C stopping a long call."""

import os
import random
import signal
import sys
import threading
import time

import pytest

import halcyra

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "scripts"))
import fortunes  # noqa: E402

THREAD_COUNTS = ["1", "2", "3", "8"]


@pytest.fixture(scope="module")
def corpus():
    docs = [text for _, text in fortunes.load(fortunes.ENGLISH)] + [text for _, text in fortunes.load(fortunes.RUSSIAN)]
    random.Random(3).shuffle(docs)
    return docs


@pytest.fixture
def threads():
    """Sets HALCYRA_THREADS for the calls that follow; restored after."""
    before = os.environ.get("HALCYRA_THREADS")
    yield lambda n: os.environ.__setitem__("HALCYRA_THREADS", n)
    if before is None:
        os.environ.pop("HALCYRA_THREADS", None)
    else:
        os.environ["HALCYRA_THREADS"] = before


def files(directory):
    return {name: (directory / name).read_bytes() for name in sorted(os.listdir(directory)) if (directory / name).is_file()}


def test_every_builder_writes_the_same_bytes_on_any_number_of_threads(corpus, threads, tmp_path):
    rng = random.Random(5)
    vectors = [(i, [rng.gauss(0, 1) for _ in range(16)]) for i in range(3000)]
    outputs = {}
    for count in THREAD_COUNTS:
        threads(count)
        out = tmp_path / count
        b = halcyra.Builder()
        b.add_many([(len(corpus) - i, text, text[:16].encode(), {"n": [str(i % 7)]}) for i, text in enumerate(corpus)])
        b.build(str(out / "dataset"))
        # Batches analyzed in slices on several threads, joined when counted and when
        # written; the last batch files more text under ids of the first.
        t = halcyra.TermBuilder(language="english", stopwords=True)
        half = len(corpus) // 2
        t.add_many(list(enumerate(corpus[:half])))
        t.add_many([(half + i, text) for i, text in enumerate(corpus[half:])])
        counted = t.term_count()
        t.add_many([(i * 7 % half, text) for i, text in enumerate(corpus[half:half + 3000])])
        assert t.term_count() >= counted
        t.finish(str(out / "terms.hyt"))
        halcyra.write_term_index(str(out / "plain.hyt"), list(enumerate(corpus)))
        s = halcyra.SplitSetBuilder(byte_cap=1 << 20)
        ts = halcyra.TermSplitSetBuilder(byte_cap=1 << 20, language="english")
        for i, text in enumerate(corpus):
            s.add_faceted(text, {"n": [str(i % 7)]})
            ts.add(text)
        s.build(str(out / "splits"))
        ts.build(str(out / "term-splits"))
        w = halcyra.SplitSetWriter()
        deltas = []
        for part in range(3):
            for text in corpus[part * 2000:(part + 1) * 2000]:
                w.add(text)
            w.delete(part * 977)
            name, split, _ = w.flush()
            deltas.append((name, split))
        _, compacted, manifest, _ = w.compact(deltas)
        (out / "compacted").write_bytes(compacted + manifest)
        v = halcyra.VectorBuilder(dim=16, nlist=32, m=4, metric="l2")
        v.add_many(vectors)
        v.build(str(out / "vectors.hyvi"))
        outputs[count] = [files(out / d) for d in ("dataset", "splits", "term-splits")] + [files(out)]
    for count in THREAD_COUNTS[1:]:
        assert outputs[count] == outputs["1"], count


def long_build(corpus):
    b = halcyra.Builder()
    b.add_many([(0, text, b"", None) for text in corpus * 6])
    return b


def test_other_threads_run_during_a_build(corpus, tmp_path):
    b = long_build(corpus)
    ticks, stop = [], threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.001)

    t = threading.Thread(target=ticker)
    t.start()
    started = time.monotonic()
    b.build(str(tmp_path / "out"))
    took = time.monotonic() - started
    stop.set()
    t.join()
    during = [x for x in ticks if started <= x <= started + took]
    longest = max(b - a for a, b in zip(during, during[1:]))
    # Without the lock released the ticker would stand still for the whole build.
    assert took > 0.3 and len(during) > 50 and longest < took / 3, (took, len(during), longest)


def interrupted(call):
    """Runs call() with a SIGINT sent 0.2 s in: it must stop with KeyboardInterrupt
    within 5 s."""
    timer = threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        call()
    assert time.monotonic() - started < 5
    timer.join()


@pytest.fixture
def ctrl_c():
    """Python's own SIGINT handler, whatever the test run inherited (a job started in
    the background of a shell has SIGINT ignored)."""
    before = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, before)


def test_ctrl_c_stops_a_long_call_and_leaves_its_object_usable(corpus, tmp_path, ctrl_c):
    b = long_build(corpus)
    interrupted(lambda: b.build(str(tmp_path / "first")))
    assert len(b) == len(corpus) * 6  # the staged records are still there
    rng = random.Random(7)
    vectors = [(i, [rng.gauss(0, 1) for _ in range(32)]) for i in range(20000)]
    # Interrupted in the coarse k-means, then (one list) in the sub-spaces'.
    for nlist in (256, 1):
        v = halcyra.VectorBuilder(dim=32, nlist=nlist, m=8, kmeans_iters=200)
        v.add_many(vectors)
        interrupted(lambda: v.build(str(tmp_path / "v.hyvi")))
        assert len(v) == 20000
