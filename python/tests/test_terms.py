import inspect
import os
import pathlib
import sys

import pytest

import halcyra
from halcyra_tools import parse as readers
from halcyra import TermBuilder, TermSplitSetBuilder, write_term_index

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "scripts"))
import fortunes  # noqa: E402

EMPTY = b"\x3a\x30\x00\x00\x00\x00\x00\x00"  # the serialized empty bitmap
STEMMED, STOPWORDS, CASE_SENSITIVE = 0x1, 0x2, 0x4
NEED_LANGUAGE = "stemming and stop-word removal require a language (pass language=...)"

LANGUAGES = [
    (fortunes.ENGLISH, "english"),
    (fortunes.GERMAN, "german"),
    (fortunes.SPANISH, "spanish"),
    (fortunes.ITALIAN, "italian"),
    (fortunes.RUSSIAN, "russian"),
]


def index(path):
    return readers.TermIndex(pathlib.Path(path).read_bytes())


def built(tmp_path, docs, name="t.hyt", **kwargs):
    b = TermBuilder(**kwargs)
    b.add_many(docs)
    b.finish(str(tmp_path / name))
    return index(tmp_path / name)


def corpus(directory, limit=None):
    if not os.path.isdir(directory):
        pytest.skip(f"{directory} is not installed")
    docs = [text for _, text in fortunes.load(directory)]
    return docs[:limit] if limit else docs


# ---------------------------------------------------------------------------
# Signatures and docstrings


def test_signatures_and_docstrings():
    assert str(inspect.signature(write_term_index)) == "(path, docs, head_boundary=None)"
    assert write_term_index.__doc__.startswith("Writes an `HYTI` term index of `docs`")
    assert TermBuilder.__text_signature__ == (
        "(head_boundary=None, language=None, stem=None, stopwords=False, block_cap=None, case_sensitive=False)")
    assert TermBuilder.__doc__ == (
        "A streaming `HYTI` term-index builder for corpora too large to hold in memory.\n"
        "Construct with a head boundary and optional Snowball stemming / stop-word removal,\n"
        "feed `(doc_id, text)` documents in chunks with `add_many` (each is tokenized and the\n"
        "text discarded \u2014 only the postings grow), then `finish(path)` writes the `.hyt`. Doc\n"
        "IDs should be the shared rank-order IDs so the index composes with the others.")
    assert [m for m in vars(TermBuilder) if not m.startswith("__")] == ["add_many", "term_count", "finish"]
    assert str(inspect.signature(TermBuilder.add_many)) == "(self, /, docs)"
    assert str(inspect.signature(TermBuilder.term_count)) == "(self, /)"
    assert str(inspect.signature(TermBuilder.finish)) == "(self, /, path)"
    with pytest.raises(TypeError):
        len(TermBuilder())

    assert TermSplitSetBuilder.__text_signature__ == (
        '(policy="tiered", byte_cap=33554432, head_boundary=0, name_prefix="split", sortcol=None, language=None, '
        'stem=None, stopwords=False, byte_cap_max=0, case_sensitive=False)')
    assert TermSplitSetBuilder.__doc__ == (
        "The term/FST (`HYTI`) analogue of [`SplitSetBuilder`]: each sealed split is a term index\n"
        "rather than a trigram `HYS`, for a head-to-head comparison over the same corpus. `language`\n"
        "enables Snowball stemming (`\"english\"`); `stopwords` drops stop words. There is no\n"
        "`gram_size`/`bloom_bits_per_key` \u2014 the body tokenizes whole terms and term-Bloom pruning is\n"
        "deferred. Splits are named `\u2039prefix\u203a-s00000.hyt`.")
    assert [m for m in vars(TermSplitSetBuilder) if m in ("add", "add_faceted", "doc_count", "build")] == [
        "add", "add_faceted", "doc_count", "build"]
    assert str(inspect.signature(TermSplitSetBuilder.build)) == "(self, /, out_dir, manifest_name='index')"


# ---------------------------------------------------------------------------
# write_term_index


def test_write_term_index_example(tmp_path):
    path = tmp_path / "out" / "sub" / "t.hyt"  # parents are created
    assert write_term_index(str(path), [(5, "The Cat"), (9, "cat")]) is None
    t = index(path)
    assert (t.flags, t.term_count, t.head_boundary, t.block_cap, t.language) == (0, 2, 65536, 4096, 0)
    assert t.terms() == ["cat", "the"]
    assert t.postings("cat") == [5, 9]
    assert t.postings("the") == [5]
    assert t.postings("dog") is None
    assert t.router() == [("the", 0, 14)]


def test_write_term_index_head_boundary(tmp_path):
    docs = [(1, "a b"), (70000, "a"), (3, "c")]
    write_term_index(str(tmp_path / "z.hyt"), docs, head_boundary=0)
    z = index(tmp_path / "z.hyt")
    assert z.head_boundary == 0
    assert [z.head_tail(t) for t in z.terms()] == [([], [1, 70000]), ([], [1]), ([], [3])]
    write_term_index(str(tmp_path / "d.hyt"), docs, None)
    d = index(tmp_path / "d.hyt")
    assert d.head_boundary == 65536
    assert d.head_tail("a") == ([1], [70000])
    head = d.data[d.postings_at + 4: d.postings_at + 4 + 18]
    tail_len = int.from_bytes(d.data[d.postings_at: d.postings_at + 4], "little")
    assert tail_len == 18 and len(head) == 18


@pytest.mark.parametrize(
    "docs, exc, message",
    [
        ("text", TypeError, "argument 'docs': Can't extract `str` to `Vec`"),
        ([(1, "a", 2)], TypeError, "argument 'docs': expected tuple of length 2, but got tuple of length 3"),
        ([(1, b"a")], TypeError, "argument 'docs': 'bytes' object cannot be converted to 'PyString'"),
        ([(-1, "a")], OverflowError, None),
        ([(2**32, "a")], OverflowError, None),
        ([[1, "a"]], TypeError, None),
        ([(1, "a \udc80 b")], UnicodeEncodeError, None),
        (5, TypeError, None),
    ],
)
def test_docs_conversion(tmp_path, docs, exc, message):
    with pytest.raises(exc) as e:
        write_term_index(str(tmp_path / "x.hyt"), docs)
    if message is not None:
        assert str(e.value) == message
    assert not (tmp_path / "x.hyt").exists()  # converted before the file is created
    b = TermBuilder()
    with pytest.raises(exc):
        b.add_many([(0, "fine")] + docs if isinstance(docs, list) else docs)
    assert b.term_count() == 0  # nothing of the batch was added


def test_texts_stay_alive_while_the_batch_is_added(tmp_path):
    # add_many reads the texts in place. A conversion that drops the batch
    # list's references to texts already converted must not free them before
    # they are analyzed.
    batch = []

    class Id:
        def __index__(self):
            batch.clear()
            return 2

    batch += [(0, "".join(["Grüße aus Köln ", "eins"])), (1, "".join(["plain ", "words"])), (Id(), "Zwei")]
    b = TermBuilder()
    b.add_many(batch)
    assert batch == [] and b.term_count() == 7
    b.finish(str(tmp_path / "x.hyt"))
    write_term_index(str(tmp_path / "y.hyt"), [(0, "Grüße aus Köln eins"), (1, "plain words"), (2, "Zwei")])
    assert (tmp_path / "x.hyt").read_bytes() == (tmp_path / "y.hyt").read_bytes()


def test_path_is_a_str(tmp_path):
    with pytest.raises(TypeError) as e:
        write_term_index(tmp_path / "x.hyt", [])
    assert str(e.value) == "argument 'path': 'PosixPath' object cannot be converted to 'PyString'"


# ---------------------------------------------------------------------------
# TermBuilder


def test_settings_and_header(tmp_path):
    t = built(tmp_path, [(0, "The running dogs")], language="english")  # stems, keeps stop words
    assert (t.flags, t.language) == (STEMMED, 1)
    assert t.terms() == ["dog", "run", "the"]
    t = built(tmp_path, [(0, "The running dogs")], language=" EN ", stem=False, stopwords=True)
    assert (t.flags, t.language) == (STOPWORDS, 1)
    assert t.terms() == ["dogs", "running"]
    t = built(tmp_path, [(0, "The running dogs")], language="de", stem=False)
    assert (t.flags, t.language) == (0, 0)  # a language alone is not recorded
    t = built(tmp_path, [(0, "Apple apple \u00c9COLE")], case_sensitive=True, block_cap=16, head_boundary=0)
    assert (t.flags, t.block_cap, t.head_boundary) == (CASE_SENSITIVE, 16, 0)
    assert t.terms() == ["Apple", "apple", "\u00c9COLE"]
    t = built(tmp_path, [(0, "z a Z \u00e9")], case_sensitive=True)
    assert t.terms() == ["Z", "a", "z", "\u00e9"]  # raw byte order


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        (dict(stopwords=True), ValueError, NEED_LANGUAGE),
        (dict(stem=True), ValueError, NEED_LANGUAGE),
        (dict(language="eng"), ValueError,
         'unknown stemmer language eng; use a Snowball name or ISO-639-1 code (e.g. "english"/"en", "french"/"fr")'),
        (dict(block_cap=2**32), ValueError, "block_cap must be at most 4294967295, got 4294967296"),
        (dict(block_cap=-1), OverflowError, None),
        (dict(head_boundary=2**32), OverflowError, None),
        (dict(stem=1), TypeError, "argument 'stem': 'int' object cannot be converted to 'PyBool'"),
        (dict(language=b"en"), TypeError, None),
    ],
)
def test_refused_arguments(kwargs, exc, message):
    with pytest.raises(exc) as e:
        TermBuilder(**kwargs)
    assert type(e.value) is exc
    if message is not None:
        assert str(e.value) == message


def test_batches_ids_and_consumption(tmp_path):
    b = TermBuilder()
    b.add_many([(70000, "b a"), (3, "a")])
    b.add_many(((70000, "c c"), (1, "a b")))  # any sequence; a repeated id merges
    b.add_many([])
    assert b.term_count() == 3
    path = tmp_path / "out" / "sub" / "idx.hyt"
    assert b.finish(str(path)) is None
    t = index(path)
    assert t.head_tail("a") == ([1, 3], [70000])
    assert t.postings("b") == [1, 70000]
    assert t.postings("c") == [70000]
    assert b.term_count() == 0
    for call in (lambda: b.finish(str(tmp_path / "again.hyt")), lambda: b.add_many([(1, "x")])):
        with pytest.raises(ValueError) as e:
            call()
        assert str(e.value) == "TermBuilder already finished"
    assert not (tmp_path / "again.hyt").exists()


def test_empty_finish_and_failures(tmp_path):
    t = built(tmp_path, [])
    assert (t.term_count, t.terms(), t.router()) == (0, [], [])
    assert len(t.data) == 40 + 39  # header and the empty FST

    (tmp_path / "file").write_text("x")
    b = TermBuilder()
    with pytest.raises(IOError) as e:
        b.finish(str(tmp_path / "file" / "idx.hyt"))
    assert str(e.value) == "File exists (os error 17)"
    with pytest.raises(ValueError):
        b.finish(str(tmp_path / "idx.hyt"))  # a failed finish consumes too

    # A format limit leaves the created file empty.
    b = TermBuilder()
    b.add_many([(0, "q" * ((1 << 24) - 7))])
    with pytest.raises(IOError) as e:
        b.finish(str(tmp_path / "big.hyt"))
    assert str(e.value) == "dict block exceeds the 24-bit block-length limit"
    assert (tmp_path / "big.hyt").read_bytes() == b""


@pytest.mark.parametrize("directory, language", LANGUAGES)
def test_fortunes_index_every_document(tmp_path, directory, language):
    docs = corpus(directory)
    b = TermBuilder(language=language, stopwords=True, head_boundary=1024)
    for start in range(0, len(docs), 500):
        b.add_many([(i, docs[i]) for i in range(start, min(start + 500, len(docs)))])
    count = b.term_count()
    b.finish(str(tmp_path / "f.hyt"))
    t = index(tmp_path / "f.hyt")
    assert (t.flags, t.term_count, t.head_boundary) == (STEMMED | STOPWORDS, count, 1024)
    terms = t.terms()
    assert len(terms) == count > 1000
    assert terms == sorted(terms, key=lambda s: s.encode())
    # Each document's terms, as the library analyzes them one document at a
    # time, are exactly the terms whose postings hold that document.
    for i in range(0, len(docs), max(1, len(docs) // 40)):
        one = TermBuilder(language=language, stopwords=True)
        one.add_many([(0, docs[i])])
        one.finish(str(tmp_path / "one.hyt"))
        for term in index(tmp_path / "one.hyt").terms():
            head, tail = t.head_tail(term)
            assert i in (head if i < 1024 else tail), term


# ---------------------------------------------------------------------------
# TermSplitSetBuilder


def read_term_set(out, manifest_name="index"):
    header, sortcol, splits = readers.manifest((out / (manifest_name + ".hyss")).read_bytes())
    for s in splits:
        body = (out / s["name"]).read_bytes()
        assert s["byte_size"] == len(body)
        s["index"] = readers.TermIndex(body)
        records = dict(readers.summary_records(s["summary"]))
        assert readers.SUMMARY_BLOOM not in records
        s["facet_keys"] = readers.facet_presence(records[2]) if 2 in records else None
        sidecar = out / (s["name"][: -len(".hyt")] + ".hyf")
        s["sidecar"] = readers.facet_sidecar(sidecar.read_bytes()) if sidecar.exists() else None
        assert (s["sidecar"] is None) == (s["facet_keys"] is None)
    return header, sortcol, splits


@pytest.mark.parametrize("directory, language", LANGUAGES)
def test_split_set_holds_the_single_index(tmp_path, directory, language):
    docs = corpus(directory, 1000)
    b = TermSplitSetBuilder(byte_cap=12000, byte_cap_max=24000, language=language, stopwords=True,
                            name_prefix="corpus")
    ids = [b.add(text) for text in docs]
    assert ids == list(range(len(docs))) and len(b) == b.doc_count() == len(docs)
    stats = b.build(str(tmp_path / "set"))
    header, sortcol, splits = read_term_set(tmp_path / "set")
    assert len(splits) > 3
    assert (stats.splits, stats.docs) == (len(splits), len(docs))
    assert stats.total_bytes == sum(s["byte_size"] for s in splits)
    assert sorted(os.listdir(tmp_path / "set")) == sorted([s["name"] for s in splits] + ["index.hyss"])
    assert [s["name"] for s in splits] == [f"corpus-s{i:05d}.hyt" for i in range(len(splits))]
    assert (header["body_kind"], header["gram_size"], header["flags"], header["policy"]) == (1, 0, 0, 0)
    assert (header["tier_count"], header["base_count"], header["byte_cap"]) == (len(splits), len(splits), 12000)
    assert [s["tier"] for s in splits] == list(range(len(splits)))
    assert sortcol is None

    whole = TermBuilder(language=language, stopwords=True)
    whole.add_many(list(enumerate(docs)))
    whole.finish(str(tmp_path / "whole.hyt"))
    reference = index(tmp_path / "whole.hyt")

    merged, next_first = {}, 0
    for s in splits:
        assert s["first_id"] == next_first and s["last_id"] == s["first_id"] + s["docs"] - 1
        next_first = s["last_id"] + 1
        t = s["index"]
        assert (t.flags, t.language, t.head_boundary, t.block_cap) == (
            reference.flags, reference.language, 65536, 4096)
        for term in t.terms():
            local = t.postings(term)
            assert all(n < s["docs"] for n in local)
            merged.setdefault(term, []).extend(s["first_id"] + n for n in local)
    assert next_first == len(docs)
    assert sorted(merged, key=lambda s: s.encode()) == reference.terms()
    for term, ids in merged.items():
        assert ids == reference.postings(term), term


def test_split_set_facets_policy_and_case(tmp_path):
    b = TermSplitSetBuilder(policy="Stable", byte_cap=500, head_boundary=7, case_sensitive=True,
                            sortcol=("rank", 3, True))
    assert b.add_faceted("Alpha beta", {"year": ["2020"], "kind": []}) == 0
    assert b.add("gamma") == 1
    assert b.add("x" * 300 + " one") == 2  # passes the cap: a second split
    assert b.add_faceted("one", {"year": []}) == 3  # no category: no facets
    stats = b.build(str(tmp_path), manifest_name="set")
    header, sortcol, splits = read_term_set(tmp_path, "set")
    assert [s["docs"] for s in splits] == [2, 2]
    assert [s["tier"] for s in splits] == [0, 0]
    assert (header["policy"], header["tier_count"], header["flags"]) == (1, 0, 0x2 | 0x10)
    assert sortcol == ("rank", 3, True)
    assert splits[0]["facet_keys"] == [readers.facet_key("year", "2020", fold_case=False)]
    assert splits[1]["sidecar"] is None
    assert stats.total_bytes == sum(s["byte_size"] for s in splits) + (tmp_path / "split-s00000.hyf").stat().st_size
    first = splits[0]["index"]
    assert (first.flags, first.head_boundary) == (CASE_SENSITIVE, 7)
    assert first.terms() == ["Alpha", "beta", "gamma"]


def test_split_set_consumed_and_refused(tmp_path):
    b = TermSplitSetBuilder(language="english", stopwords=True)
    assert b.add("the and of") == 0  # only stop words: still a document
    b.build(str(tmp_path / "a"))
    assert b.doc_count() == 0 and len(b) == 0
    for call in (lambda: b.add("x"), lambda: b.add_faceted("x", {}), lambda: b.build(str(tmp_path / "b"))):
        with pytest.raises(ValueError) as e:
            call()
        assert str(e.value) == "TermSplitSetBuilder already built"
    (_, _, (split,)) = read_term_set(tmp_path / "a")
    assert split["docs"] == 1 and split["index"].terms() == []

    with pytest.raises(ValueError) as e:
        TermSplitSetBuilder(policy="tier", stopwords=True)  # settings are checked first
    assert str(e.value) == NEED_LANGUAGE
    with pytest.raises(ValueError) as e:
        TermSplitSetBuilder(policy="tier")
    assert str(e.value) == "unknown policy \"tier\"; use 'tiered' or 'stable_key'"
    with pytest.raises(TypeError):
        TermSplitSetBuilder(gram_size=3)


def test_split_set_single_document_over_cap(tmp_path):
    b = TermSplitSetBuilder(byte_cap=100, name_prefix="corpus")
    for text in ("a", "b", "c"):
        b.add(text)
    with pytest.raises(IOError) as e:
        b.build(str(tmp_path / "out"))
    write_term_index(str(tmp_path / "a.hyt"), [(0, "a")])  # the first split's body
    size = (tmp_path / "a.hyt").stat().st_size
    assert str(e.value) == (f"HYSS term split corpus-s00000.hyt: a single document's postings ({size} B) "
                            "exceed the byte cap (100 B)")
    assert not (tmp_path / "out").exists()
    with pytest.raises(ValueError):
        b.add("d")
