import inspect
import os
import pathlib
import random
import sys

import pytest

import halcyra
from halcyra_tools import parse as readers
from halcyra import SplitSetBuilder

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "scripts"))
import fortunes  # noqa: E402

SIGNATURE = (
    '(policy="tiered", byte_cap=33554432, gram_size=3, head_boundary=0, stride=0, name_prefix="split", '
    'sortcol=None, bloom_bits_per_key=10, byte_cap_max=0, case_sensitive=False)'
)

# Manifest header flags.
BLOOM, FACETS, CASE_SENSITIVE = 0x1, 0x2, 0x10

ALREADY_BUILT = "SplitSetBuilder already built"


def cap_of(i, byte_cap, byte_cap_max):
    """Byte cap of split i: doubling from byte_cap up to max(byte_cap, byte_cap_max) when growth is on."""
    if byte_cap_max == 0:
        return byte_cap
    return min(max(byte_cap, byte_cap_max), byte_cap * 2 ** min(i, 63))


def replay_seals(texts, byte_cap, byte_cap_max=0, stride=512, gram_size=3):
    """The greedy seal replayed from the documents' keys: the document indices
    of every split. Before a document joins a non-empty open split, the bound
    64 (K + N) + 2 D + P + 8 ceil(K / stride) + 20 is compared with the
    split's cap (K keys and P = 2 x postings so far, the document's D keys,
    N of them new)."""
    splits, docs, keys, posting_bytes = [], [], set(), 0
    for i, text in enumerate(texts):
        doc_keys = halcyra.tokenize(text, max(gram_size, 1))
        if docs:
            k = len(keys)
            estimate = 64 * (k + len(set(doc_keys) - keys)) + 2 * len(doc_keys) + posting_bytes
            estimate += 8 * -(-k // stride) + 20
            if estimate > cap_of(len(splits), byte_cap, byte_cap_max):
                splits.append(docs)
                docs, keys, posting_bytes = [], set(), 0
        docs.append(i)
        keys.update(doc_keys)
        posting_bytes += 2 * len(doc_keys)
    if docs:
        splits.append(docs)
    return splits


def read_set(out, manifest_name="index"):
    """The manifest of a built set, checked against the files beside it, with
    each split's index header and postings, Bloom filter, facet keys and
    sidecar added to its entry."""
    data = (out / (manifest_name + ".hyss")).read_bytes()
    header, sortcol, splits = readers.manifest(data)
    assert header["size"] == len(data)
    assert header["reserved"] == bytes(13)
    # Names in entry order, then the sortcol name; summaries back to back.
    names = b"".join(s["name"].encode() for s in splits)
    assert header["strings"] == names + (sortcol[0].encode() if sortcol else b"")
    assert header["summaries_len"] == sum(len(s["summary"]) for s in splits)
    offset = 0
    for s in splits:
        assert s["summary_offset"] == (offset if s["summary"] else 0)
        offset += len(s["summary"])
        body = (out / s["name"]).read_bytes()
        assert s["byte_size"] == len(body)
        s["index"], s["postings"], _ = readers.ngram_index(body)
        records = readers.summary_records(s["summary"])
        assert [tag for tag, _ in records] in ([], [1], [2], [1, 2])
        by_tag = dict(records)
        s["bloom"] = readers.bloom(by_tag[1]) if 1 in by_tag else None
        s["facet_keys"] = readers.facet_presence(by_tag[2]) if 2 in by_tag else None
        sidecar = out / (s["name"][: -len(".hys")] + ".hyf")
        s["sidecar"] = readers.facet_sidecar(sidecar.read_bytes()) if sidecar.exists() else None
        assert (s["sidecar"] is None) == (s["facet_keys"] is None)
    return header, sortcol, splits


def listing(out):
    return sorted(os.listdir(out))


def build(texts, out, **kwargs):
    b = SplitSetBuilder(**kwargs)
    for t in texts:
        b.add(t)
    stats = b.build(str(out))
    return stats, read_set(out)


# ---------------------------------------------------------------------------
# The class and its arguments


def test_signatures_and_docstrings():
    assert SplitSetBuilder.__text_signature__ == SIGNATURE
    params = inspect.signature(SplitSetBuilder).parameters
    assert list(params) == ["policy", "byte_cap", "gram_size", "head_boundary", "stride", "name_prefix", "sortcol",
                            "bloom_bits_per_key", "byte_cap_max", "case_sensitive"]
    assert [p.default for p in params.values()] == ["tiered", 33554432, 3, 0, 0, "split", None, 10, 0, False]
    doc = SplitSetBuilder.__doc__
    assert doc.startswith(
        "A byte-capped `HYSS` split-set builder \u2014 the batch greedy seal. Feed documents with\n"
        "[`add`](Self::add) (rank order for the tiered policy, ingest order for stable-key); each is\n"
        "tokenized into n-gram keys and accumulated into the open split, which is sealed into an\n"
        "immutable `HYS` when an upper-bound size estimate nears `byte_cap`. [`build`](Self::build)\n"
        "writes the manifest and every split file to a directory."
    )
    example = doc[doc.index("```python") :]
    for part in ("import halcyra as hy", 'policy="tiered"', "byte_cap=32 << 20", "gram_size=3",
                 'name_prefix="corpus"', 'b.build("out/")', "out/index.hyss", "out/corpus-s00000.hys"):
        assert part in example
    assert str(inspect.signature(SplitSetBuilder.add)) == "(self, /, text)"
    assert str(inspect.signature(SplitSetBuilder.add_faceted)) == "(self, /, text, facets)"
    assert str(inspect.signature(SplitSetBuilder.doc_count)) == "(self, /)"
    assert str(inspect.signature(SplitSetBuilder.build)) == "(self, /, out_dir, manifest_name='index')"
    methods = [m for m in vars(SplitSetBuilder) if m in ("add", "add_faceted", "doc_count", "build")]
    assert methods == ["add", "add_faceted", "doc_count", "build"]
    assert SplitSetBuilder.__module__ == "halcyra"


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        (dict(policy=3), TypeError, "argument 'policy': 'int' object cannot be converted to 'PyString'"),
        (dict(name_prefix=pathlib.PurePosixPath("p")), TypeError,
         "argument 'name_prefix': 'PurePosixPath' object cannot be converted to 'PyString'"),
        (dict(byte_cap=-1), OverflowError, None),
        (dict(byte_cap=2**64), OverflowError, None),
        (dict(byte_cap="1"), TypeError, None),
        (dict(byte_cap=1.0), TypeError, None),
        (dict(gram_size=65536), OverflowError, None),
        (dict(gram_size=-1), OverflowError, None),
        (dict(head_boundary=2**32), OverflowError, None),
        (dict(stride=-1), OverflowError, None),
        (dict(bloom_bits_per_key=2**32), OverflowError, None),
        (dict(byte_cap_max=-1), OverflowError, None),
        (dict(case_sensitive=1), TypeError, "argument 'case_sensitive': 'int' object cannot be converted to 'PyBool'"),
        (dict(sortcol=("a", 1)), TypeError, "argument 'sortcol': expected tuple of length 3, but got tuple of length 2"),
        (dict(sortcol=["a", 1, True]), TypeError, None),
        (dict(sortcol=("a", 65536, True)), OverflowError, None),
        (dict(sortcol=(1, 1, True)), TypeError, None),
        (dict(bogus=1), TypeError, None),
    ],
)
def test_constructor_argument_types(kwargs, exc, message):
    with pytest.raises(exc) as e:
        SplitSetBuilder(**kwargs)
    assert type(e.value) is exc
    if message is not None:
        assert str(e.value) == message


def test_positional_and_index_arguments(tmp_path):
    class Index:
        def __index__(self):
            return 4096

    b = SplitSetBuilder("stable", Index(), True, 0, Index(), "p", ("rank", 7, True), 10, 0, True)
    b.add("Abcd")
    b.build(str(tmp_path))
    header, sortcol, (split,) = read_set(tmp_path)
    assert (header["policy"], header["byte_cap"], header["gram_size"]) == (1, 4096, 1)
    assert header["flags"] == BLOOM | CASE_SENSITIVE
    assert sortcol == ("rank", 7, True)
    assert split["name"] == "p-s00000.hys"
    assert split["index"]["stride"] == 4096 and split["index"]["gram_size"] == 1
    assert sorted(split["postings"]) == [ord(c) for c in "Abcd"]  # unigrams, case kept


@pytest.mark.parametrize(
    "name, code",
    [("tiered", 0), ("rank", 0), ("Rank_Tiered", 0), ("TIERED", 0),
     ("stable_key", 1), ("Stable_Key", 1), ("ingest", 1), ("STABLE", 1), ("stablekey", 1)],
)
def test_policy_names_and_tiers(tmp_path, name, code):
    # Key-less documents estimate 20 B, over a cap of 16, so each is alone; a 16-byte body fits.
    (stats, (header, _, splits)) = build(["", "", ""], tmp_path, policy=name, byte_cap=16)
    assert stats.splits == 3
    assert header["policy"] == code
    assert header["tier_count"] == (3 if code == 0 else 0)
    assert [s["tier"] for s in splits] == ([0, 1, 2] if code == 0 else [0, 0, 0])
    assert (header["base_count"], header["count"], header["body_kind"]) == (3, 3, 0)
    assert all((s["epoch"], s["flags"]) == (0, 0) for s in splits)


@pytest.mark.parametrize(
    "name, shown",
    [("tier", "tier"), ("Tier", "tier"), ("", ""), ("STÄBLE", "stÄble"), ('a"b\\c', 'a\\"b\\\\c')],
)
def test_unknown_policy(name, shown):
    with pytest.raises(ValueError) as e:
        SplitSetBuilder(policy=name)
    assert type(e.value) is ValueError
    assert str(e.value) == f'unknown policy "{shown}"; use \'tiered\' or \'stable_key\''


# ---------------------------------------------------------------------------
# Adding, building, consuming


def test_empty_build_writes_only_the_manifest(tmp_path):
    out = tmp_path / "a" / "b"  # parents are created
    b = SplitSetBuilder()
    assert b.doc_count() == 0 and len(b) == 0
    stats = b.build(str(out))
    assert type(stats) is halcyra.SplitSetBuildStats
    assert (stats.splits, stats.docs, stats.total_bytes) == (0, 0, 0)
    assert repr(stats) == "SplitSetBuildStats(splits=0, docs=0, total_bytes=0)"
    assert listing(out) == ["index.hyss"]
    data = (out / "index.hyss").read_bytes()
    # Bloom requested, tiered, n-gram bodies, no splits, a 32 MiB cap, gram size 3.
    assert data == (b"HYSS\x01\x00\x01\x00\x00\x00\x00\x00" + bytes(20) + (33554432).to_bytes(8, "little")
                    + bytes(9) + b"\x03\x00" + bytes(13))
    header, sortcol, splits = readers.manifest(data)
    assert (header["count"], header["base_count"], header["tier_count"], sortcol, splits) == (0, 0, 0, None, [])


def test_ids_doc_count_and_split_files(tmp_path):
    texts = [f"document number {i} about {w}" for i, w in enumerate(["cats", "dogs", "birds", "fish"] * 25)]
    b = SplitSetBuilder(byte_cap=2048, name_prefix="corpus")
    ids = []
    for i, text in enumerate(texts):
        ids.append(b.add(text))
        assert b.doc_count() == len(b) == i + 1
    assert ids == list(range(100))
    stats = b.build(str(tmp_path), manifest_name="set")
    expected = replay_seals(texts, 2048)
    assert len(expected) >= 4
    names = [f"corpus-s{i:05d}.hys" for i in range(len(expected))]
    assert listing(tmp_path) == sorted(names + ["set.hyss"])
    header, _, splits = read_set(tmp_path, "set")
    assert [s["name"] for s in splits] == names
    assert [list(range(s["first_id"], s["last_id"] + 1)) for s in splits] == expected
    assert all(s["docs"] == s["last_id"] - s["first_id"] + 1 for s in splits)
    assert (stats.splits, stats.docs) == (len(expected), 100)
    assert stats.total_bytes == sum(s["byte_size"] for s in splits)
    assert (header["count"], header["base_count"], header["byte_cap"], header["gram_size"]) == (
        len(expected), len(expected), 2048, 3)
    assert header["flags"] == BLOOM  # no facets, folded case
    for s, docs in zip(splits, expected):
        local = {}
        for n, d in enumerate(docs):
            for key in halcyra.tokenize(texts[d]):
                local.setdefault(key, []).append(n)
        assert s["postings"] == local


def test_split_names_pad_to_five_digits_at_least(tmp_path):
    stats, _ = build(["", "", ""], tmp_path, byte_cap=16, name_prefix="p")
    assert stats.splits == 3 and stats.total_bytes == 48  # three 16-byte empty index files
    assert listing(tmp_path) == ["index.hyss", "p-s00000.hys", "p-s00001.hys", "p-s00002.hys"]
    _, (_, _, splits) = build(["", ""], tmp_path / "e", byte_cap=16, name_prefix="")
    assert [s["name"] for s in splits] == ["-s00000.hys", "-s00001.hys"]
    assert [(s["first_id"], s["last_id"], s["docs"]) for s in splits] == [(0, 0, 1), (1, 1, 1)]


def test_consumed_after_build(tmp_path):
    b = SplitSetBuilder()
    b.add("hello")
    b.build(str(tmp_path))
    assert b.doc_count() == 0 and len(b) == 0
    for call in (lambda: b.add("x"), lambda: b.add_faceted("x", {"f": ["a"]}), lambda: b.build(str(tmp_path))):
        with pytest.raises(ValueError) as e:
            call()
        assert type(e.value) is ValueError and str(e.value) == ALREADY_BUILT
    assert listing(tmp_path) == ["index.hyss", "split-s00000.hys"]


def test_consumed_after_failed_build(tmp_path):
    (tmp_path / "file").write_bytes(b"")
    b = SplitSetBuilder()
    b.add("hello")
    with pytest.raises(IOError) as e:
        b.build(str(tmp_path / "file" / "out"))
    assert str(e.value) == "Not a directory (os error 20)"
    assert b.doc_count() == 0 and len(b) == 0
    for call in (lambda: b.add("x"), lambda: b.add_faceted("x", {}), lambda: b.build(str(tmp_path / "other"))):
        with pytest.raises(ValueError) as e:
            call()
        assert str(e.value) == ALREADY_BUILT
    assert not (tmp_path / "other").exists()


def test_argument_errors_change_nothing(tmp_path):
    b = SplitSetBuilder()
    b.add("first")
    cases = [
        (lambda: b.add(b"bytes"), TypeError, "argument 'text': 'bytes' object cannot be converted to 'PyString'"),
        (lambda: b.add_faceted("x", {"f": "abc"}), TypeError, "argument 'facets': Can't extract `str` to `Vec`"),
        (lambda: b.add_faceted("x", [("f", ["a"])]), TypeError, None),
        (lambda: b.add_faceted("x", {"f": ["a", 1]}), TypeError, None),
        (lambda: b.add_faceted("x", {1: ["a"]}), TypeError, None),
        (lambda: b.add_faceted("x"), TypeError, None),
        (lambda: b.add(), TypeError, None),
        (lambda: b.doc_count(1), TypeError, None),
        (lambda: b.build(pathlib.PurePosixPath(tmp_path)), TypeError,
         "argument 'out_dir': 'PurePosixPath' object cannot be converted to 'PyString'"),
        (lambda: b.build(str(tmp_path), manifest_name=None), TypeError, None),
    ]
    for call, exc, message in cases:
        with pytest.raises(exc) as e:
            call()
        if message:
            assert str(e.value) == message
    # Nothing was added, and a build refused at argument conversion does not consume the builder.
    assert b.doc_count() == 1
    assert b.add("second") == 1
    stats = b.build(str(tmp_path))
    assert stats.docs == 2 and listing(tmp_path) == ["index.hyss", "split-s00000.hys"]
    _, _, (split,) = read_set(tmp_path)
    assert sorted({d for ids in split["postings"].values() for d in ids}) == [0, 1]


def test_single_oversize_document(tmp_path):
    big = " ".join(f"w{i:05d}" for i in range(2000))  # thousands of distinct trigrams
    _, (_, _, (probe,)) = build([big], tmp_path / "probe")
    size = probe["byte_size"]

    cap = size // 4
    b = SplitSetBuilder(byte_cap=cap, byte_cap_max=2 * cap, name_prefix="corpus")
    assert [b.add(t) for t in ("small text", big, "another small text")] == [0, 1, 2]
    out = tmp_path / "out"
    with pytest.raises(IOError) as e:
        b.build(str(out))
    assert type(e.value) is OSError
    # The oversize document sits alone in split 1, whose grown cap is 2 x cap.
    assert str(e.value) == (
        f"HYSS split corpus-s00001.hys: a single document's postings ({size} B) exceed the byte cap ({2 * cap} B)"
    )
    assert not out.exists()  # nothing written
    with pytest.raises(ValueError):
        b.add("x")

    # The same document fits once its split's cap has grown past it: split 1 gets 2 x half.
    half = size // 2 + 1
    stats, (_, _, splits) = build(["small text", big], out, byte_cap=half, byte_cap_max=8 * half)
    assert [s["docs"] for s in splits] == [1, 1] and stats.splits == 2
    assert splits[1]["byte_size"] == size

    # A first document is never preceded by a seal: alone in split 0 it fails against the fixed cap.
    b = SplitSetBuilder(byte_cap=cap)
    b.add(big)
    with pytest.raises(IOError) as e:
        b.build(str(tmp_path / "first"))
    assert str(e.value) == (
        f"HYSS split split-s00000.hys: a single document's postings ({size} B) exceed the byte cap ({cap} B)"
    )
    assert not (tmp_path / "first").exists()


def test_seal_only_above_the_cap(tmp_path):
    # Key-less documents estimate exactly 20 B: a cap of 20 keeps them together.
    stats, _ = build([""] * 5, tmp_path / "five", byte_cap=20)
    assert stats.splits == 1
    # 'abc' repeated estimates 64 + 2 + 2n + 8 + 20 with n documents open, so a cap of 100 takes four.
    _, (_, _, splits) = build(["abc"] * 9, tmp_path / "abc", byte_cap=100)
    assert [(s["first_id"], s["docs"]) for s in splits] == [(0, 4), (4, 4), (8, 1)]
    assert [s["postings"] for s in splits] == [{0x616263: [0, 1, 2, 3]}] * 2 + [{0x616263: [0]}]


# ---------------------------------------------------------------------------
# Growing caps


def test_byte_cap_max_schedule(tmp_path):
    rng = random.Random(7)
    words = ["".join(rng.choice("abcdefghijklmnop") for _ in range(rng.randint(3, 9))) for _ in range(3000)]
    texts = [" ".join(rng.choice(words) for _ in range(rng.randint(1, 30))) for _ in range(1500)]
    cap, cap_max = 4000, 30000
    _, (header, _, splits) = build(texts, tmp_path, byte_cap=cap, byte_cap_max=cap_max)
    expected = replay_seals(texts, cap, cap_max)
    assert [s["docs"] for s in splits] == [len(d) for d in expected]
    assert len(splits) >= 8
    assert header["byte_cap"] == cap  # the argument, not a grown cap
    caps = [cap_of(i, cap, cap_max) for i in range(len(splits))]
    assert caps[:5] == [4000, 8000, 16000, 30000, 30000]
    assert all(s["byte_size"] <= c for s, c in zip(splits, caps))
    assert splits[0]["byte_size"] < splits[1]["byte_size"] < splits[2]["byte_size"] < splits[3]["byte_size"]
    # The same documents under the fixed cap make many more, smaller splits.
    assert len(replay_seals(texts, cap)) > len(splits) + 10


@pytest.mark.parametrize("cap_max", [1, 1000, 3999, 4000])
def test_byte_cap_max_not_above_byte_cap_is_byte_cap(tmp_path, cap_max):
    texts = [f"text {i} of the set {i * 7919}" for i in range(300)]
    counts = []
    for m in (0, cap_max):
        _, (_, _, splits) = build(texts, tmp_path / str(m), byte_cap=4000, byte_cap_max=m)
        counts.append([s["docs"] for s in splits])
    assert counts[0] == counts[1] == [len(d) for d in replay_seals(texts, 4000)]
    assert len(counts[0]) > 3


def test_many_splits_stay_at_the_maximum(tmp_path):
    # 'abc' repeated estimates 94 + 2n with n documents open, so caps 100, 150, 150, ...
    # take 4 documents, then 29 per split, past split 64 where byte_cap x 2^i leaves 64 bits.
    _, (_, _, splits) = build(["abc"] * 2000, tmp_path, byte_cap=100, byte_cap_max=150)
    assert [s["docs"] for s in splits] == [4] + [29] * 68 + [24]
    assert [s["docs"] for s in splits] == [len(d) for d in replay_seals(["abc"] * 2000, 100, 150)]
    assert [s["tier"] for s in splits] == list(range(70))


# ---------------------------------------------------------------------------
# Facets


def test_empty_memberships_add_nothing(tmp_path):
    b = SplitSetBuilder()
    assert b.add_faceted("abc", {}) == 0
    assert b.add_faceted("abd", {"year": []}) == 1
    assert b.add_faceted("abe", {"year": (), "type": []}) == 2
    assert b.doc_count() == 3
    b.build(str(tmp_path))
    header, _, (split,) = read_set(tmp_path)
    assert header["flags"] == BLOOM
    assert listing(tmp_path) == ["index.hyss", "split-s00000.hys"]
    assert [tag for tag, _ in readers.summary_records(split["summary"])] == [1]


def test_facets_per_split(tmp_path):
    b = SplitSetBuilder(byte_cap=16, head_boundary=65536)  # key-less documents: one per split
    b.add_faceted("", {"year": ["2020"], "type": ["article"]})
    b.add("")
    b.add_faceted("", {"year": ["2020", "2021"], "none": []})
    b.add_faceted("", {"type": ["B", "b"]})
    stats = b.build(str(tmp_path))
    files = [f"split-s0000{i}.hys" for i in range(4)] + [f"split-s0000{i}.hyf" for i in (0, 2, 3)]
    assert listing(tmp_path) == sorted(["index.hyss"] + files)
    assert stats.total_bytes == sum(os.path.getsize(tmp_path / n) for n in files)
    header, _, splits = read_set(tmp_path)
    assert header["flags"] == BLOOM | FACETS
    key = readers.facet_key
    assert splits[0]["facet_keys"] == sorted([key("year", "2020"), key("type", "article")])
    assert splits[0]["sidecar"] == (False, [("type", [("article", key("type", "article"), [0], [], 1)]),
                                            ("year", [("2020", key("year", "2020"), [0], [], 1)])])
    assert splits[1]["facet_keys"] is None and splits[1]["sidecar"] is None
    assert splits[2]["facet_keys"] == sorted([key("year", "2020"), key("year", "2021")])
    assert [f for f, _ in splits[2]["sidecar"][1]] == ["year"]  # a field without categories is not filed
    # B and b fold to one key; the sidecar keeps both names, in byte order.
    assert splits[3]["facet_keys"] == [key("type", "b")]
    assert splits[3]["sidecar"] == (False, [("type", [("B", key("type", "b"), [0], [], 1),
                                                      ("b", key("type", "b"), [0], [], 1)])])


def test_facet_presence_record_bytes(tmp_path):
    b = SplitSetBuilder(bloom_bits_per_key=0)
    b.add_faceted("x", {"year": ["2020"]})
    b.build(str(tmp_path))
    header, _, (split,) = read_set(tmp_path)
    assert header["flags"] == FACETS
    # One field with one category: a 12-byte payload framed as 17 bytes, and no Bloom record.
    key = readers.facet_key("year", "2020")
    assert split["summary"] == b"\x02\x0c\x00\x00\x00\x01\x00\x00\x00" + key.to_bytes(8, "little")


def test_case_sensitive(tmp_path):
    for case_sensitive in (False, True):
        out = tmp_path / str(case_sensitive)
        b = SplitSetBuilder(case_sensitive=case_sensitive)
        b.add_faceted("ABC abc", {"Type": ["B", "b"]})
        b.build(str(out))
        header, _, (split,) = read_set(out)
        assert header["flags"] == BLOOM | FACETS | (CASE_SENSITIVE if case_sensitive else 0)
        assert split["index"]["version"] == (4 if case_sensitive else 3)
        keys = {0x414243, 0x616263} if case_sensitive else {0x616263}
        assert split["postings"] == {k: [0] for k in keys}
        assert all(split["bloom"].may_contain(k) for k in keys)
        flag, fields = split["sidecar"]
        assert flag == case_sensitive
        facet_keys = {readers.facet_key("Type", c, fold_case=not case_sensitive) for c in ("B", "b")}
        assert len(facet_keys) == (2 if case_sensitive else 1)
        assert split["facet_keys"] == sorted(facet_keys)
        assert sorted(key for _, cats in fields for _, key, _, _, _ in cats) == sorted(
            readers.facet_key("Type", c, fold_case=not case_sensitive) for c in ("B", "b"))


def test_sidecar_head_boundary(tmp_path):
    # 0 means 65536; any other value is used as it is, multiple of 65536 or not.
    for boundary, head_size in ((0, 65536), (10, 10), (131072, 65539)):
        b = SplitSetBuilder(head_boundary=boundary)
        for _ in range(65539):
            b.add_faceted("", {"f": ["all"]})
        out = tmp_path / str(boundary)
        b.build(str(out))
        _, _, (split,) = read_set(out)
        (_, [(_, [(_, _, head, tail, card)])]) = split["sidecar"]
        assert head == list(range(head_size)) and tail == list(range(head_size, 65539)) and card == 65539


def test_recorded_and_replaced_arguments(tmp_path):
    _, (header, sortcol, (split,)) = build(["ab"], tmp_path / "a", gram_size=0, stride=0, sortcol=("rank", 7, True))
    assert header["gram_size"] == 1 and split["index"]["gram_size"] == 1
    assert split["index"]["stride"] == 512
    assert split["postings"] == {ord("a"): [0], ord("b"): [0]}
    assert sortcol == ("rank", 7, True)
    # A sortcol with an empty name reads back as none.
    _, (header, sortcol, _) = build(["ab"], tmp_path / "b", sortcol=("", 7, True))
    assert sortcol is None and header["strings"] == b"split-s00000.hys"
    _, (_, _, (split,)) = build(["abcdefg"], tmp_path / "c", stride=2)
    assert split["index"]["stride"] == 2 and split["index"]["count"] == 5


@pytest.mark.parametrize(
    "bits_per_key, text, k, m",
    [
        (10, "", 7, 64),  # no keys: sized as for one, no bit set
        (10, "abc", 7, 64),
        (10, "abcdefghi", 7, 72),  # 7 keys, 70 bits rounded up
        (1, "abcdefghi", 1, 64),
        (2, "abc", 1, 64),
        (3, "abc", 2, 64),
        (23, "abc", 16, 64),
        (100, "abcdefghi", 16, 704),
    ],
)
def test_bloom_shape(tmp_path, bits_per_key, text, k, m):
    _, (header, _, (split,)) = build([text], tmp_path, bloom_bits_per_key=bits_per_key)
    assert header["flags"] == BLOOM
    bloom = split["bloom"]
    assert (bloom.k, bloom.m) == (k, m)
    keys = list(split["postings"])
    assert len(keys) == len(halcyra.tokenize(text))
    assert all(bloom.may_contain(key) for key in keys)
    expected = {j for key in keys for j in bloom.positions(key)}
    assert bloom.popcount() == len(expected)


def test_reader_mix_is_splitmix64():
    # The first two outputs of the SplitMix64 generator seeded with 0.
    assert readers.splitmix64_mix(0x9E3779B97F4A7C15) == 0xE220A8397B1DCDAF
    assert readers.splitmix64_mix(2 * 0x9E3779B97F4A7C15 % 2**64) == 0x6E789E6AA1B965F4


def test_bloom_off(tmp_path):
    _, (header, _, (split,)) = build(["abc"], tmp_path, bloom_bits_per_key=0)
    assert header["flags"] == 0 and split["summary"] == b"" and split["summary_offset"] == 0


# ---------------------------------------------------------------------------
# Real text through the reader


@pytest.fixture(scope="module")
def fortune_docs():
    return fortunes.load(fortunes.ENGLISH)[::5]


UNFACETED = ("definitions", "people")  # sources added without facets


def test_fortunes_read_back(tmp_path, fortune_docs):
    cap = 96 << 10
    b = SplitSetBuilder(byte_cap=cap, name_prefix="fortunes")
    for i, (source, text) in enumerate(fortune_docs):
        if source in UNFACETED:
            assert b.add(text) == i
        else:
            assert b.add_faceted(text, {"source": [source], "lines": [str(text.count("\n"))]}) == i
    assert len(b) == len(fortune_docs)
    stats = b.build(str(tmp_path))
    header, _, splits = read_set(tmp_path)
    texts = [text for _, text in fortune_docs]
    expected = replay_seals(texts, cap)
    assert len(splits) == len(expected) == stats.splits >= 10
    assert stats.docs == len(fortune_docs)
    assert header["flags"] == BLOOM | FACETS
    # Ids chain: each split starts right after the previous one ends.
    assert splits[0]["first_id"] == 0 and splits[-1]["last_id"] == len(texts) - 1
    for prev, s in zip(splits, splits[1:]):
        assert s["first_id"] == prev["last_id"] + 1
    with_sidecar = 0
    rng = random.Random(3)
    false_positives = probes = 0
    for s, docs in zip(splits, expected):
        assert list(range(s["first_id"], s["last_id"] + 1)) == docs
        assert s["byte_size"] <= cap
        # Postings of the split hold exactly its documents' keys, by local number: every
        # document lies whole in one split.
        postings, facets = {}, {}
        for n, d in enumerate(docs):
            for key in halcyra.tokenize(texts[d]):
                postings.setdefault(key, []).append(n)
            source = fortune_docs[d][0]
            if source not in UNFACETED:
                facets.setdefault("lines", {}).setdefault(str(texts[d].count("\n")), []).append(n)
                facets.setdefault("source", {}).setdefault(source, []).append(n)
        assert s["postings"] == postings
        # Every key tests positive; the filter sets no bit beyond its keys' probes.
        bloom = s["bloom"]
        assert (bloom.k, bloom.m) == (7, max(64, -(-10 * len(postings) // 8) * 8))
        assert all(bloom.may_contain(key) for key in postings)
        assert bloom.popcount() == len({j for key in postings for j in bloom.positions(key)})
        for _ in range(200):
            key = rng.getrandbits(64)
            if key not in postings:
                probes += 1
                false_positives += bloom.may_contain(key)
        # Facet memberships sit in the split's own sidecar, by local number.
        if not facets:
            assert s["sidecar"] is None and s["facet_keys"] is None
            continue
        with_sidecar += 1
        folded, fields = s["sidecar"]
        assert not folded
        assert [f for f, _ in fields] == sorted(facets)
        for field, cats in fields:
            assert {name: head + tail for name, _, head, tail, _ in cats} == facets[field]
            assert all(tail == [] for _, _, _, tail, _ in cats)
            assert [key for _, key, _, _, _ in cats] == sorted(readers.facet_key(field, n) for n, _, _, _, _ in cats)
        assert s["facet_keys"] == sorted({readers.facet_key(f, c) for f in facets for c in facets[f]})
    assert 0 < with_sidecar < len(splits)
    assert false_positives < probes * 0.03  # about 0.8 % expected at 10 bits per key
    assert stats.total_bytes == sum(os.path.getsize(tmp_path / n) for n in os.listdir(tmp_path) if n != "index.hyss")
