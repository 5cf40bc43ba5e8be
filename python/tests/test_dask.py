"""build_split_set on a cluster of two worker processes: the set it writes is
the merge of its partitions built apart, byte for byte, and answers every
query as one builder over the whole corpus; a failure anywhere leaves no
index.hyss."""

import logging
import os
import random
import re
import socket

import dask
import dask.bag
import pytest
from dask.distributed import Client, LocalCluster

import halcyra
import halcyra_tools
from halcyra_tools import merge_split_sets
from halcyra_tools import parse as readers
from halcyra_tools.dask import BuildError, _build_partition, _commit, build_split_set
from test_merge import build, load_corpus

# distributed 2022.12 on this tornado starts its loops the deprecated way.
pytestmark = pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")


@pytest.fixture(scope="module")
def client():
    logging.getLogger("distributed").setLevel(logging.ERROR)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with Client(cluster) as c:
            yield c


def queries(docs, kind, count, rng):
    """(text, facets, limit): substrings with n-gram keys, or words, of the
    corpus; some filtered (often by the document's own categories), some limited."""
    out = []
    while len(out) < count:
        doc = rng.choice(docs)
        text = doc if isinstance(doc, str) else doc[0]
        if kind == "terms":
            words = text.split()
            query = " ".join(rng.sample(words, min(len(words), rng.choice([1, 2]))))
        else:
            at, n = rng.randrange(len(text)), rng.choice([3, 4, 6, 10, 16])
            query = text[at : at + n]
        if not (halcyra.tokenize(query) if kind == "ngram" else any(c.isalpha() for c in query)):
            continue
        facets = None
        if rng.random() < 0.4:
            facets = rng.choice([{"lang": ["en"]} if isinstance(doc, str) else doc[1], {"lang": ["ru", "de"]},
                                 {"lang": ["en"], "source": ["fortunes", "linux"]}])
        out.append((query, facets, rng.choice([None, None, 5])))
    return out


@pytest.mark.parametrize("kind", ["ngram", "terms"])
def test_a_cluster_builds_the_set_of_one_builder(tmp_path, client, kind):
    corpus = load_corpus()
    options = dict(byte_cap=96 << 10, sortcol=("rank", 2, True))  # a tuple reaches the builder as it is
    if kind == "terms":
        options["language"] = "german"
    chunks = [corpus[:300], [], corpus[300:700], corpus[700:1400], corpus[1400:]]
    bag = dask.bag.from_delayed([dask.delayed(list, pure=True)(chunk) for chunk in chunks])
    out = tmp_path / "cluster"
    stats = build_split_set(bag, out, kind=kind, name_prefix="fortunes", **options)

    # Each partition built here under the name it gets on the cluster, then joined: the
    # same manifest, the same files, nothing else.
    apart = tmp_path / "apart"
    manifests = [build(kind, chunk, apart, manifest_name=f"m{p}", name_prefix=f"fortunes-p{p:05d}", **options)
                 for p, chunk in enumerate(chunks)]
    assert (out / "index.hyss").read_bytes() == merge_split_sets(manifests)
    names = sorted(n for n in os.listdir(apart) if not n.endswith(".hyss"))
    assert sorted(os.listdir(out)) == sorted(names + ["index.hyss"])
    assert all(re.fullmatch(r"fortunes-p0000[02-4]-s\d{5}\.hy[stf]", n) for n in names)
    assert all((out / n).read_bytes() == (apart / n).read_bytes() for n in names)
    assert (stats.docs, stats.splits) == (len(corpus), sum(len(readers.manifest(m)[2]) for m in manifests))
    assert stats.total_bytes == sum(os.path.getsize(apart / n) for n in names)
    assert [(p.partition, p.docs) for p in stats.partitions] == [(p, len(c)) for p, c in enumerate(chunks)]
    assert all(p.seconds > 0 and p.worker != f"{socket.gethostname()}:{os.getpid()}" for p in stats.partitions)

    # Every query answers as one builder over the whole corpus.
    assert halcyra_tools.verify(out) == []
    build(kind, corpus, tmp_path / "single", **options)
    found = [0, 0]
    with halcyra_tools.open(out) as merged, halcyra_tools.open(tmp_path / "single") as single:
        for text, facets, limit in queries(corpus, kind, 150, random.Random(kind)):
            expected = single.search(text, facets=facets, limit=limit)
            assert merged.search(text, facets=facets, limit=limit) == expected, (text, facets, limit)
            found[facets is not None] += bool(expected)
    assert found[0] > 70 and found[1] > 15


def test_failures_leave_no_manifest(tmp_path, client):
    out = tmp_path / "out"
    out.mkdir()
    (out / "index.hyss").write_bytes(b"the previous set")
    # Items a builder cannot take: every partition runs to its end, then each failure is named.
    bag = dask.bag.from_sequence(["abc", "abd", 7, "abe", ("abf", {"f": ["x"]}), ("abg", "x")], npartitions=3)
    with pytest.raises(BuildError) as e:
        build_split_set(bag, out, name_prefix="bad")
    assert str(e.value) == (
        "2 of 3 partitions failed: partition 1: TypeError: item 0 (int) is not a text or a (text, facets) pair; "
        "partition 2: TypeError: argument 'facets': 'str' object cannot be converted to 'PyDict'")
    assert sorted(os.listdir(out)) == ["bad-p00000-s00000.hys", "index.hyss"]  # partition 0's manifest went home
    # A partition whose input fails before the builder sees it.
    bag = dask.bag.from_sequence(["abc", "poison", "abd"], npartitions=3).map(lambda d: 1 // 0 if d == "poison" else d)
    with pytest.raises(BuildError) as e:
        build_split_set(bag, out, name_prefix="bad")
    assert str(e.value) == ("the build stopped before every partition finished: "
                            "ZeroDivisionError: integer division or modulo by zero")
    # Settings refused before any worker is asked.
    bag = dask.bag.from_sequence(["abc"], npartitions=1)
    for kwargs, error, message in [
        (dict(kind="vectors"), ValueError, "kind is one of ngram, terms, not 'vectors'"),
        (dict(manifest_name="a/b"), ValueError, "manifest_name 'a/b' is not a plain file name"),
        (dict(gram_size=3, language="english"), TypeError, None),
        (dict(name_prefix="a/b"), ValueError, None),
    ]:
        with pytest.raises(error) as e:
            build_split_set(bag, out, **kwargs)
        assert message is None or str(e.value) == message
    with pytest.raises(TypeError, match="^docs is a dask.bag.Bag, not a list$"):
        build_split_set(["abc"], out)
    assert (out / "index.hyss").read_bytes() == b"the previous set"
    assert [n for n in os.listdir(out) if n.endswith(".hyss")] == ["index.hyss"]


def test_parts_missing_or_damaged_on_the_driver(tmp_path):
    # Partitions that finished on workers whose files the driver does not see as their
    # manifests say (a folder that is not shared, a file cut short): no manifest.
    def results():
        return [_build_partition(chunk, p, str(tmp_path), "ngram", dict(byte_cap=4096), f"x-p{p:05d}")
                for p, chunk in enumerate([["abc one", "abc two"], [("abc three", {"f": ["y"]})]])]

    good = results()
    split, sidecar = tmp_path / "x-p00001-s00000.hys", tmp_path / "x-p00001-s00000.hyf"
    size = split.stat().st_size
    for damage, message in [
        (split.unlink, f"partition 1: {split} is missing"),
        (lambda: split.write_bytes(split.read_bytes()[:-1]), f"partition 1: {split} is {size - 1} bytes, its "
                                                              f"manifest says {size}"),
        (sidecar.unlink, f"partition 1: {sidecar} is missing"),
    ]:
        results()  # every file as the partitions wrote it
        damage()
        with pytest.raises(BuildError) as e:
            _commit(str(tmp_path), good, "index")
        assert str(e.value) == message + " (is the output folder shared by every worker?)"
        assert not (tmp_path / "index.hyss").exists()
    results()
    with pytest.raises(halcyra_tools.FormatError, match="^partition 1: byte 70: manifest: "):
        _commit(str(tmp_path), [good[0], dict(good[1], manifest=good[1]["manifest"][:70])], "index")
    assert not (tmp_path / "index.hyss").exists()
    _commit(str(tmp_path), good, "index")
    assert halcyra_tools.verify(tmp_path) == []
