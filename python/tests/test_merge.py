"""merge_split_sets: parts cut where one build cuts its splits give that
build's manifest byte for byte; one part gives back its bytes; ids that
cannot move stay first; what cannot be joined is refused, writing nothing.
(test_dask.py checks merged sets against one build query by query.)"""

import os
import random
import struct
import sys

import pytest

import halcyra
import halcyra_tools
from halcyra_tools import FormatError, MergeError, NotFound, merge_split_sets
from halcyra_tools import parse as readers
from halcyra_tools.merge import documents

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "scripts"))
import fortunes  # noqa: E402

LANGUAGES = [(fortunes.ENGLISH, "en"), (fortunes.GERMAN, "de"), (fortunes.SPANISH, "es"), (fortunes.ITALIAN, "it"),
             (fortunes.RUSSIAN, "ru")]


def load_corpus(step=40):
    """Every step-th fortune of each language, shuffled together; most are
    faceted by language and source file, every seventh is a bare text."""
    docs = []
    for directory, lang in LANGUAGES:
        docs += [(text, {"lang": [lang], "source": [source]}) for source, text in fortunes.load(directory)[::step]]
    assert len(docs) > 1500, "the fortunes packages provide the test corpus"
    random.Random(11).shuffle(docs)
    return [doc[0] if i % 7 == 3 else doc for i, doc in enumerate(docs)]


@pytest.fixture(scope="module")
def corpus():
    return load_corpus()


def build(kind, docs, out, manifest_name="index", **options):
    b = (halcyra.TermSplitSetBuilder if kind == "terms" else halcyra.SplitSetBuilder)(**options)
    for doc in docs:
        b.add(doc) if isinstance(doc, str) else b.add_faceted(*doc)
    b.build(str(out), manifest_name=manifest_name)
    return (out / (manifest_name + ".hyss")).read_bytes()


def streaming_set(out, batches, deletes=(), compact=False, name_prefix="live"):
    """A streaming writer's set in `out`: a flush per batch, one more after the deletes, maybe a compaction."""
    out.mkdir(parents=True, exist_ok=True)
    w = halcyra.SplitSetWriter(name_prefix=name_prefix)
    files = {}

    def flush():
        name, split, manifest = w.flush()
        files[name] = split
        return manifest

    for batch in batches:
        for text in batch:
            w.add(text)
        manifest = flush()
    for d in deletes:
        w.delete(d)
    if deletes:
        manifest = flush()
    if compact:
        name, split, manifest, removed = w.compact(list(files.items()))
        files = {n: s for n, s in files.items() if n not in removed} | {name: split}
    for name, split in files.items():
        (out / name).write_bytes(split)
    (out / "index.hyss").write_bytes(manifest)
    return manifest


@pytest.mark.parametrize("kind,options", [
    ("ngram", dict(byte_cap=64 << 10, sortcol=("rank", 3, True))),
    ("ngram", dict(byte_cap=64 << 10, policy="stable_key", case_sensitive=True, bloom_bits_per_key=0)),
    ("terms", dict(byte_cap=24 << 10, sortcol=("", 5, True))),
])
def test_parts_cut_at_the_splits_of_one_build_make_its_manifest(tmp_path, corpus, kind, options):
    # Each split's documents built alone make the same split file, and the merged manifest
    # is the one build's byte for byte but for the names (of equal length: same offsets).
    single = build(kind, corpus, tmp_path / "one", name_prefix="whole", **options)
    header, _, entries = readers.manifest(single)
    assert len(entries) >= 8
    parts, names = [], b""
    for i, e in enumerate(entries):
        parts.append(build(kind, corpus[e["first_id"] : e["last_id"] + 1], tmp_path, manifest_name=f"p{i}",
                           name_prefix=f"p{i:04d}", **options))
        (name,) = [s["name"] for s in readers.manifest(parts[-1])[2]]
        assert (tmp_path / name).read_bytes() == (tmp_path / "one" / e["name"]).read_bytes()
        names += name.encode()
    at = 64 + 56 * len(entries)
    expected = single[:at] + names + single[at + len(names):]
    assert merge_split_sets(parts) == expected
    merge_split_sets([tmp_path / f"p{i}.hyss" for i in range(len(parts))], tmp_path / "index.hyss")
    assert (tmp_path / "index.hyss").read_bytes() == expected
    assert halcyra_tools.verify(tmp_path) == []


def test_one_part_gives_back_its_bytes(tmp_path, corpus):
    sets = {
        "a": build("ngram", corpus[:300], tmp_path / "a", byte_cap=24 << 10, byte_cap_max=64 << 10, gram_size=4),
        "b": build("terms", corpus[:300], tmp_path / "b", byte_cap=24 << 10, language="english", policy="stable_key"),
        "c": build("ngram", [], tmp_path / "c", sortcol=("", 7, True)),
        "d": streaming_set(tmp_path / "d", [["a b c", "b c d"], ["c d e"]], deletes=[0, 2], compact=True),
    }
    for folder, data in sets.items():
        assert merge_split_sets([data]) == merge_split_sets([tmp_path / folder]) == data
        merge_split_sets([str(tmp_path / folder / "index.hyss")], str(tmp_path / "copy.hyss"))
        assert (tmp_path / "copy.hyss").read_bytes() == data
    # Written under a temporary name and renamed, with the umask's mode: nothing else beside it.
    assert sorted(os.listdir(tmp_path)) == ["a", "b", "c", "copy.hyss", "d"]
    umask = os.umask(0)
    os.umask(umask)
    assert os.stat(tmp_path / "copy.hyss").st_mode & 0o777 == 0o666 & ~umask
    # Empty parts move nothing and add nothing.
    a = build("ngram", corpus[:200], tmp_path, manifest_name="a", name_prefix="a")
    b = build("ngram", corpus[200:400], tmp_path, manifest_name="b", name_prefix="b")
    empty = build("ngram", [], tmp_path, manifest_name="e", name_prefix="e")
    assert (documents(empty), documents(a)) == (0, 200)
    assert merge_split_sets([empty, a, empty, b, empty]) == merge_split_sets([a, b])


def test_ids_that_cannot_move(tmp_path):
    # Ids 0..2, id 2 deleted, all compacted: the split's last id is 1, but its tombstone
    # names 2, so the next part starts at 3 and its first document stays visible.
    part = streaming_set(tmp_path, [["abc one", "abc two", "abc three"]], deletes=[2], compact=True)
    assert [(e["first_id"], e["last_id"], e["flags"]) for e in readers.manifest(part)[2]] == [(0, 1, 3)]
    assert documents(part) == 3
    plain = streaming_set(tmp_path, [["abc four"]], name_prefix="plain")
    merge_split_sets([part, plain], tmp_path / "index.hyss")
    assert halcyra_tools.verify(tmp_path) == []
    with halcyra_tools.open(tmp_path) as s:
        assert (s.search("abc"), s.search("four")) == ([0, 1, 3], [3])
    # Compacted splits and tombstones move nowhere: after another part, they are refused.
    tombstones = streaming_set(tmp_path / "t", [["abc"], ["abd"]], deletes=[0], name_prefix="t")
    empty = build("ngram", [], tmp_path / "e", name_prefix="empty", policy="stable_key")
    assert readers.manifest(merge_split_sets([empty, tombstones, plain]))[2] == readers.manifest(
        merge_split_sets([tombstones, plain]))[2]
    refused(tmp_path, [plain, part], MergeError,
            "input 1: split live-c00000.hys holds absolute ids (a compacted split); they cannot move up by 1")
    refused(tmp_path, [plain, empty, tombstones], MergeError,
            "input 2: split t-d00002.hys carries tombstones, which name absolute ids; they cannot move up by 1")

    # A batch set resumed by a streaming writer: base splits, then a delta. Last, it moves;
    # first, its delta would come between base splits.
    first = build("ngram", ["one abc", "two abc"], tmp_path, manifest_name="first", name_prefix="first",
                  policy="stable_key")
    base = build("ngram", ["three abc", "four abc"], tmp_path, manifest_name="base", name_prefix="base",
                 policy="stable_key")
    w = halcyra.SplitSetWriter.resume(base, name_prefix="base")
    w.add("five abc")
    name, split, resumed = w.flush()
    (tmp_path / name).write_bytes(split)
    header, _, entries = readers.manifest(merge_split_sets([first, resumed]))
    assert header["base_count"] == 2
    assert [(e["name"], e["first_id"], e["last_id"], e["epoch"]) for e in entries] == [
        ("first-s00000.hys", 0, 1, 0), ("base-s00000.hys", 2, 3, 0), ("base-d00000.hys", 4, 4, 1)]
    refused(tmp_path, [resumed, first], MergeError, "input 1: its base splits would follow the delta or compacted "
                                                    "splits of input 0; base splits lead a set")


def refused(tmp_path, parts, error, message):
    out = tmp_path / "refused.hyss"
    with pytest.raises(error) as e:
        merge_split_sets(parts, out)
    assert str(e.value) == message
    assert not out.exists() and not [n for n in os.listdir(tmp_path) if n.endswith(".tmp")]


def test_refusals(tmp_path):
    a = build("ngram", ["abc", "abd", "abe"], tmp_path / "a")
    for other, message in [
        (dict(gram_size=4), "gram size 4 differs from 3"),
        (dict(case_sensitive=True), "case folding case-sensitive differs from folded"),
        (dict(policy="stable_key"), "policy stable_key differs from tiered"),
        (dict(sortcol=("rank", 1, True)), "sortcol ('rank', 1, True) differs from None"),
        (dict(byte_cap=4096), "byte cap 4096 differs from 33554432"),
        ("terms", "body kind terms differs from ngram"),
    ]:
        b = build("terms", ["abc"], tmp_path / "b", name_prefix="b") if other == "terms" else \
            build("ngram", ["abc"], tmp_path / "b", name_prefix="b", **other)
        refused(tmp_path, [a, b], MergeError, f"input 1: {message} in input 0")
    # Facets and Bloom filters are no setting to agree on: their flags are OR'ed.
    c = build("ngram", [("abd", {"f": ["x"]})], tmp_path / "c", name_prefix="c", bloom_bits_per_key=0)
    assert readers.manifest(merge_split_sets([a, c]))[0]["flags"] == 0x3

    b = build("ngram", ["abf"], tmp_path / "b")
    two = build("ngram", ["cat", "cats", "dog"], tmp_path / "two", byte_cap=170)
    assert readers.manifest(two)[2][1]["summary_offset"] > 0
    shared, flagged, high = bytearray(two), bytearray(two), bytearray(b)
    struct.pack_into("<Q", shared, 64 + 56 + 40, 0)
    struct.pack_into("<H", flagged, 64 + 20, 0x4)
    struct.pack_into("<II", high, 64 + 12, 0xFFFFFFFD, 0xFFFFFFFD)
    missing = tmp_path / "nowhere" / "index.hyss"
    for parts, error, message in [
        ([a, b], MergeError, "split name split-s00000.hys is in both input 0 and input 1"),
        ([tmp_path / "a", tmp_path / "b" / "index.hyss"], MergeError,
         f"split name split-s00000.hys is in both {tmp_path}/a/index.hyss and {tmp_path}/b/index.hyss"),
        ([a, a[:100]], FormatError, "input 1: byte 100: manifest: 157 bytes needed, only 100 there"),
        ([a + b"\0\0"], FormatError, "input 0: byte 157: 2 bytes after the manifest's end"),
        ([b"HYSX" + a[4:]], FormatError, "input 0: byte 0: bad magic b'HYSX', expected b'HYSS'"),
        ([a, missing], NotFound, f"{missing}: no such file"),
        ([], MergeError, "no split sets to merge"),
        ([bytes(shared)], FormatError, "input 0: byte 208: entries share summary bytes"),
        ([bytes(flagged)], FormatError, "input 0: byte 84: split split-s00000.hys: unknown flags 0x4"),
        ([two.replace(b"split-s00000.hys", b"../lit-s0000.hys")], FormatError,
         "input 0: byte 64: split name '../lit-s0000.hys' is not a plain file name"),
        ([bytes(high), a], MergeError,
         "input 1: its ids would pass the 32-bit id space (4294967294 documents before it, 3 in it)"),
    ]:
        refused(tmp_path, parts, error, message)
    with pytest.raises(TypeError):
        merge_split_sets(str(tmp_path / "a"))
