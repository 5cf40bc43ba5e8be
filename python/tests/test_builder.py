import inspect
import os
import pathlib
import random

import pytest

import halcyra
from halcyra_tools import parse as readers
from halcyra import Builder

FILES = ("index.hys", "index.hyf", "records.bin", "records.idx")


def read(out):
    data = {name: (out / name).read_bytes() for name in FILES}
    _, postings, _ = readers.ngram_index(data["index.hys"])
    _, facets = readers.facet_sidecar(data["index.hyf"])
    records = readers.record_store(data["records.idx"], data["records.bin"])
    return data, postings, facets, records


def test_signatures_and_docstrings():
    assert str(inspect.signature(Builder)) == "(gram_size=3, head_boundary=65536)"
    assert Builder.__doc__ == "Accumulates records, then writes a complete halcyra dataset."
    assert str(inspect.signature(Builder.add)) == "(self, /, rank, text, record, facets=None)"
    assert str(inspect.signature(Builder.add_many)) == "(self, /, rows)"
    assert str(inspect.signature(Builder.build)) == "(self, /, out_dir)"
    assert Builder.build.__doc__ == (
        "Builds the dataset into `out_dir`, writing `index.hys`, `index.hyf`,\n"
        "`records.idx`, and `records.bin`. Doc IDs are assigned in descending rank,\n"
        "text is tokenized into the index, and facet memberships become the sidecar."
    )
    assert Builder.add_many.__doc__.startswith(
        "Stages a batch of records in one call \u2014 each `rows` entry is\n"
        "`(rank, text, record, facets)` with the same meaning as [`add`](Self::add) (the trailing\n"
        "`facets` is optional)."
    )
    assert [m for m in ("add", "add_many", "build") if m in vars(Builder)] == ["add", "add_many", "build"]


def test_empty_dataset(tmp_path):
    stats = Builder().build(str(tmp_path / "out"))
    assert type(stats) is halcyra.BuildStats
    assert repr(stats) == "BuildStats(docs=0, ngrams=0, fields=0)"
    data, postings, facets, records = read(tmp_path / "out")
    assert data["index.hys"] == b"HYSI\x03\x00\x03\x00\x00\x00\x00\x00\x00\x02\x00\x00"
    assert data["index.hyf"] == b"HYSF\x01\x00\x00\x00" + bytes(16)
    assert data["records.bin"] == b""
    assert data["records.idx"] == b"HYSR\x01\x00\x00\x00" + bytes(16)


def test_single_document_file_bytes(tmp_path):
    b = Builder()
    b.add(1, "abc", b"payload")
    stats = b.build(str(tmp_path))
    assert (stats.docs, stats.ngrams, stats.fields) == (1, 1, 0)
    hys = (tmp_path / "index.hys").read_bytes()
    assert hys == (
        b"HYSI\x03\x00\x03\x00\x01\x00\x00\x00\x00\x02\x00\x00"
        + (0x616263).to_bytes(8, "little")
        + (0x616263).to_bytes(8, "little") + (44).to_bytes(8, "little") + (18).to_bytes(4, "little")
        + bytes.fromhex("3a300000010000000000000010000000 0000".replace(" ", ""))
    )
    assert len(hys) == 62


def test_rank_order_assigns_ids(tmp_path):
    b = Builder()
    for rank, name in [(5, b"a"), (9, b"b"), (5, b"c"), (-3, b"d"), (2**63 - 1, b"e"), (-(2**63), b"f")]:
        b.add(rank, "", name)
    assert len(b) == 6
    b.build(str(tmp_path))
    _, postings, _, records = read(tmp_path)
    assert records == [b"e", b"b", b"a", b"c", b"d", b"f"]
    assert postings == {}  # empty texts index nothing but still get ids


def test_postings_match_tokenize(tmp_path):
    rng = random.Random(5)
    words = ["alpha", "beta", "Gamma", "déjà", "жук", "x", "naïve", "e-mail", "2020"]
    texts = [" ".join(rng.choice(words) for _ in range(rng.randint(0, 6))) for _ in range(300)]
    b = Builder(gram_size=3)
    b.add_many([(rng.randint(-5, 5), t, t.encode(), None) for t in texts])
    stats = b.build(str(tmp_path))
    _, postings, _, records = read(tmp_path)
    expected = {}
    for doc_id, payload in enumerate(records):
        for key in halcyra.tokenize(payload.decode(), 3):
            expected.setdefault(key, []).append(doc_id)
    assert postings == expected
    assert stats.ngrams == len(expected) and stats.docs == 300


def test_same_text_twice_and_short_texts(tmp_path):
    b = Builder()
    b.add(2, "hello", b"1")
    b.add(1, "hello", b"2")
    b.add(0, "hi", b"3")
    b.build(str(tmp_path))
    _, postings, _, records = read(tmp_path)
    assert records == [b"1", b"2", b"3"]
    assert set(postings) == set(halcyra.tokenize("hello"))
    assert all(ids == [0, 1] for ids in postings.values())


def test_facets(tmp_path):
    b = Builder(head_boundary=65536)
    b.add(3, "a", b"", {"year": ["2020"], "type": ["article"]})
    b.add(2, "b", b"", {"year": ("2021", "2020"), "empty": []})
    b.add(1, "c", b"", {"type": ["B", "b"]})
    stats = b.build(str(tmp_path))
    assert stats.fields == 3
    case_sensitive, fields = readers.facet_sidecar((tmp_path / "index.hyf").read_bytes())
    assert not case_sensitive
    assert [f for f, _ in fields] == ["empty", "type", "year"]
    assert fields[0][1] == []
    cats = {f: {name: (key, head, tail) for name, key, head, tail, _ in c} for f, c in fields}
    assert cats["year"]["2020"][1:] == ([0, 1], [])
    assert cats["year"]["2021"][1:] == ([1], [])
    assert cats["type"]["article"][1:] == ([0], [])
    assert cats["type"]["B"][1:] == ([2], []) and cats["type"]["b"][1:] == ([2], [])
    for f, c in fields:
        keys = [key for _, key, _, _, _ in c]
        assert keys == sorted(keys)
        for name, key, _, _, _ in c:
            assert key == readers.facet_key(f, name)
    # B and b share a folded key and stay in byte order.
    assert [name for name, _, _, _, _ in fields[1][1] if name in ("B", "b")] == ["B", "b"]


def test_head_boundary_splits_facet_postings(tmp_path):
    b = Builder(head_boundary=0)  # 0 behaves like 65536
    b.add_many([(-i, "", b"", {"f": ["all"]}) for i in range(65536 + 3)])
    b.build(str(tmp_path))
    raw = (tmp_path / "index.hyf").read_bytes()
    _, fields = readers.facet_sidecar(raw)
    (_, key, head, tail, card) = fields[0][1][0]
    assert head == list(range(65536)) and tail == [65536, 65537, 65538] and card == 65539

    b2 = Builder(head_boundary=131072)
    b2.add_many([(-i, "", b"", {"f": ["all"]}) for i in range(65536 + 3)])
    b2.build(str(tmp_path / "wide"))
    _, fields = readers.facet_sidecar((tmp_path / "wide" / "index.hyf").read_bytes())
    assert fields[0][1][0][3] == []


def test_gram_size_zero_indexes_unigrams(tmp_path):
    b = Builder(gram_size=0)
    b.add(0, "ab", b"")
    b.build(str(tmp_path))
    header, postings, _ = readers.ngram_index((tmp_path / "index.hys").read_bytes())
    assert header["gram_size"] == 1
    assert postings == {0x61: [0], 0x62: [0]}


def test_rebuild_is_byte_identical_and_keeps_records(tmp_path):
    b = Builder()
    b.add(1, "the quick brown fox", b"\x00\xff\xfe", {"k": ["v"]})
    b.add(7, "jumps over", bytearray(b"x"))
    b.build(str(tmp_path / "one"))
    b.build(str(tmp_path / "one"))
    b.build(str(tmp_path / "two"))
    for name in FILES:
        assert (tmp_path / "one" / name).read_bytes() == (tmp_path / "two" / name).read_bytes()
    b.add(9, "new best", [1, 2, 3])
    stats = b.build(str(tmp_path / "three"))
    assert stats.docs == 3
    _, _, _, records = read(tmp_path / "three")
    assert records == [b"\x01\x02\x03", b"x", b"\x00\xff\xfe"]


def test_build_creates_missing_parents(tmp_path):
    out = tmp_path / "a" / "b" / "c"
    Builder().build(str(out))
    assert sorted(os.listdir(out)) == sorted(FILES)


def test_add_many_converts_all_rows_first():
    b = Builder()
    b.add_many([(1, "a", b"", None)])
    assert len(b) == 1
    with pytest.raises(TypeError) as e:
        b.add_many([(1, "a", b"", None), (2, "b", b"")])
    assert str(e.value) == "argument 'rows': expected tuple of length 4, but got tuple of length 3"
    with pytest.raises(TypeError):
        b.add_many([(1, "a", b"", None), [2, "b", b"", None]])
    with pytest.raises(TypeError) as e:
        b.add_many("rows")
    assert str(e.value) == "argument 'rows': Can't extract `str` to `Vec`"
    assert len(b) == 1


@pytest.mark.parametrize(
    "args, exc, message",
    [
        ((1, "t", "text"), TypeError, "argument 'record': Can't extract `str` to `Vec`"),
        ((1, "t", b"", {"year": "2020"}), TypeError, "argument 'facets': Can't extract `str` to `Vec`"),
        ((1, "t", b"", {"year": [2020]}), TypeError, "argument 'facets': 'int' object cannot be converted to 'PyString'"),
        ((1, "t", b"", [("year", ["2020"])]), TypeError, "argument 'facets': 'list' object cannot be converted to 'PyDict'"),
        ((1, "t", [256]), OverflowError, "argument 'record': int too big to convert"),
        ((2**63, "t", b""), OverflowError, "argument 'rank': int too big to convert"),
        (("1", "t", b""), TypeError, "argument 'rank': 'str' object cannot be interpreted as an integer"),
        ((1, b"t", b""), TypeError, "argument 'text': 'bytes' object cannot be converted to 'PyString'"),
        ((1, "t"), TypeError, "Builder.add() missing 1 required positional argument: 'record'"),
    ],
)
def test_add_rejects_bad_arguments(args, exc, message):
    b = Builder()
    with pytest.raises(exc) as e:
        b.add(*args)
    assert type(e.value) is exc and str(e.value) == message
    assert len(b) == 0


def test_constructor_checks():
    with pytest.raises(ValueError) as e:
        Builder(head_boundary=100)
    assert str(e.value) == "head_boundary must be a multiple of 65536, got 100"
    with pytest.raises(OverflowError):
        Builder(gram_size=65536)
    with pytest.raises(OverflowError):
        Builder(gram_size=-1)
    with pytest.raises(OverflowError):
        Builder(head_boundary=2**32)
    with pytest.raises(TypeError):
        Builder(gram_size="3")
    with pytest.raises(TypeError) as e:
        Builder(size=3)
    assert "unexpected keyword argument 'size'" in str(e.value)


def test_build_errors(tmp_path):
    b = Builder()
    with pytest.raises(TypeError) as e:
        b.build(pathlib.Path(tmp_path))
    assert str(e.value) == "argument 'out_dir': 'PosixPath' object cannot be converted to 'PyString'"
    blocker = tmp_path / "file"
    blocker.write_bytes(b"")
    with pytest.raises(IOError) as e:
        b.build(str(blocker / "out"))
    assert str(e.value) == "Not a directory (os error 20)"
    assert e.value.args == ("Not a directory (os error 20)",)


@pytest.mark.skipif(os.geteuid() == 0, reason="root ignores permission bits")
def test_permission_denied(tmp_path):
    locked = tmp_path / "locked"
    locked.mkdir(mode=0o500)
    with pytest.raises(IOError) as e:
        Builder().build(str(locked / "out"))
    assert str(e.value) == "Permission denied (os error 13)"


def test_reentrant_calls_are_refused(tmp_path):
    b = Builder()

    class AddsAgain:
        def __index__(self):
            b.add(0, "x", b"")
            return 1

    class Peeks:
        def __index__(self):
            len(b)
            return 1

    with pytest.raises(RuntimeError) as e:
        b.add(AddsAgain(), "x", b"")
    assert str(e.value) == "Already borrowed"
    with pytest.raises(RuntimeError) as e:
        b.add(Peeks(), "x", b"")
    assert str(e.value) == "Already mutably borrowed"
    assert len(b) == 0
    b.add(1, "fine", b"")
    assert len(b) == 1



def fortune_corpus(limit):
    import sys

    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "scripts"))
    import fortunes

    docs = fortunes.load(fortunes.ENGLISH)[:limit]
    assert len(docs) == limit, "the fortunes package provides the test corpus"
    return docs


def test_round_trip_on_real_text(tmp_path):
    rng = random.Random(11)
    rows = []
    for i, (source, text) in enumerate(fortune_corpus(3000)):
        facets = {"source": [source], "size": ["long" if len(text) > 200 else "short"]}
        if i % 7 == 0:
            facets["tag"] = ["seventh", "Seventh"]
        rows.append((rng.randint(-1000, 1000), text, text.encode() + b"\x00" + str(i).encode(), facets))
    b = Builder()
    b.add_many(rows)
    stats = b.build(str(tmp_path / "a"))
    b.build(str(tmp_path / "b"))
    for name in FILES:
        assert (tmp_path / "a" / name).read_bytes() == (tmp_path / "b" / name).read_bytes()

    _, postings, facets, records = read(tmp_path / "a")
    # DocIds follow rank, descending, ties in add order.
    order = sorted(range(len(rows)), key=lambda i: -rows[i][0])
    assert records == [rows[i][2] for i in order]
    expected = {}
    members = {}
    for doc_id, i in enumerate(order):
        for key in halcyra.tokenize(rows[i][1]):
            expected.setdefault(key, []).append(doc_id)
        for field, cats in rows[i][3].items():
            for cat in cats:
                members.setdefault(field, {}).setdefault(cat, []).append(doc_id)
    assert postings == expected
    got = {field: {name: head + tail for name, _, head, tail, _ in cats} for field, cats in facets}
    assert got == members
    assert (stats.docs, stats.ngrams, stats.fields) == (3000, len(expected), 3)
