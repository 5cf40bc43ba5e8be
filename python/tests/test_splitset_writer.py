import inspect
import os
import random
import struct
import sys

import pytest

import halcyra
from halcyra_tools import parse as readers
from halcyra import SplitSetWriter

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "scripts"))
import fortunes  # noqa: E402

SIGNATURE = (
    '(gram_size=3, byte_cap=33554432, name_prefix="split", policy="stable_key", head_boundary=0, stride=0, '
    'tier_count=0, sortcol=None, bloom_bits_per_key=10, case_sensitive=False)'
)
RESUME_SIGNATURE = '(manifest, gram_size=3, head_boundary=0, stride=0, name_prefix="split", bloom_bits_per_key=10)'

# Manifest header flags and split entry flags.
BLOOM, FACETS, TOMBSTONES, CASE_SENSITIVE = 0x1, 0x2, 0x8, 0x10
SPLIT_TOMBSTONES, SPLIT_ABSOLUTE = 0x1, 0x2

EMPTY_BITMAP = bytes.fromhex("3A30000000000000")


# ---------------------------------------------------------------------------
# Hand-made inputs: portable Roaring bitmaps, flat n-gram splits and
# manifests, written from the byte layouts.


def roaring_bytes(ids):
    """The portable serialization of sorted distinct ids, array containers only."""
    groups = {}
    for i in ids:
        groups.setdefault(i >> 16, []).append(i & 0xFFFF)
    out = struct.pack("<II", 12346, len(groups))
    for key, lows in groups.items():
        out += struct.pack("<HH", key, len(lows) - 1)
    offset = 8 + 8 * len(groups)
    for lows in groups.values():
        out += struct.pack("<I", offset)
        offset += 2 * len(lows)
    for lows in groups.values():
        out += struct.pack(f"<{len(lows)}H", *lows)
    return out


def split_bytes(postings, gram_size=3, stride=512, raw_postings=None):
    """A flat n-gram index of {key: ids} (or {key: posting bytes} in raw_postings)."""
    raw = raw_postings or {k: roaring_bytes(v) for k, v in postings.items()}
    keys = sorted(raw)
    blocks = (len(keys) + stride - 1) // stride
    out = b"HYSI" + struct.pack("<HHII", 3, gram_size, len(keys), stride)
    out += b"".join(struct.pack("<Q", k) for k in keys[::stride])
    offset = 16 + 8 * blocks + 20 * len(keys)
    for k in keys:
        out += struct.pack("<QQI", k, offset, len(raw[k]))
        offset += len(raw[k])
    return out + b"".join(raw[k] for k in keys)


def record(tag, payload):
    return struct.pack("<BI", tag, len(payload)) + payload


def manifest_bytes(splits, flags=0, policy=1, body_kind=0, tier_count=0, base_count=0, byte_cap=1 << 25,
                   gram_size=3):
    """A manifest of split dicts (name, summary, docs, first_id, last_id, flags, byte_size, epoch, tier)."""
    names = b"".join(s["name"].encode() for s in splits)
    summaries = b"".join(s.get("summary", b"") for s in splits)
    out = b"HYSS" + struct.pack("<HHBBHIIIQQIHHBH", 1, flags, policy, body_kind, tier_count, len(splits), base_count,
                                len(names), len(summaries), byte_cap, 0, 0, 0, 0, gram_size) + bytes(13)
    name_at = summary_at = 0
    for s in splits:
        name, summary = s["name"].encode(), s.get("summary", b"")
        out += struct.pack("<IHHIIIHHQQQII", name_at, len(name), s.get("tier", 0), s["docs"], s["first_id"],
                           s["last_id"], s.get("flags", 0), 0, s.get("byte_size", 0), s.get("epoch", 0),
                           summary_at if summary else 0, len(summary), 0)
        name_at += len(name)
        summary_at += len(summary)
    return out + names + summaries


def entry(name, docs, first_id, epoch=0, **extra):
    return dict(name=name, docs=docs, first_id=first_id, last_id=first_id + max(docs, 1) - 1, epoch=epoch, **extra)


# ---------------------------------------------------------------------------
# Reading what the writer returns


def parse(manifest):
    """(header, splits) of manifest bytes, checked for the writer's invariants."""
    header, sortcol, splits = readers.manifest(manifest)
    assert header["size"] == len(manifest)
    assert header["reserved"] == bytes(13)
    assert header["body_kind"] == 0
    for s in splits:
        records = readers.summary_records(s["summary"])
        tags = [tag for tag, _ in records]
        assert tags in ([], [1], [4], [1, 4], [2], [1, 2])
        s["records"] = dict(records)
        s["tombstones"] = readers.roaring_exact(s["records"][4]) if 4 in s["records"] else []
        assert bool(s["flags"] & SPLIT_TOMBSTONES) == (4 in s["records"])
    assert bool(header["flags"] & TOMBSTONES) == any(s["flags"] & SPLIT_TOMBSTONES for s in splits)
    header["sortcol"] = sortcol
    return header, splits


def global_postings(split_entry, body):
    """{key: global ids} of a split body, by its entry's first id unless it holds absolute ids."""
    _, postings, _ = readers.ngram_index(body)
    shift = 0 if split_entry["flags"] & SPLIT_ABSOLUTE else split_entry["first_id"]
    return {k: [shift + i for i in ids] for k, ids in postings.items()}


def bloom_bits(keys, bits_per_key=10):
    return max(64, -(-bits_per_key * max(keys, 1) // 8) * 8)


def flush(w):
    out = w.flush()
    assert out is not None
    name, body, manifest = out
    assert isinstance(name, str) and isinstance(body, bytes) and isinstance(manifest, bytes)
    return name, body, manifest


# ---------------------------------------------------------------------------
# The class


def test_signatures_and_docstrings():
    # The text signatures as written, with double quotes; inspect renders them with single ones.
    assert SplitSetWriter.__text_signature__ == SIGNATURE
    assert SplitSetWriter.resume.__text_signature__ == RESUME_SIGNATURE
    assert str(inspect.signature(SplitSetWriter)) == SIGNATURE.replace('"', "'")
    assert str(inspect.signature(SplitSetWriter.resume)) == RESUME_SIGNATURE.replace('"', "'")
    assert isinstance(inspect.getattr_static(SplitSetWriter, "resume"), staticmethod)
    doc = SplitSetWriter.__doc__
    assert doc.startswith(
        "A pure `HYSS` ingestion writer \u2014 the streaming base+delta lifecycle. `add`/`delete` into an\n"
        "in-RAM memtable; [`flush`](Self::flush) seals it into one immutable delta split plus a new\n"
        "manifest, **returned as bytes** so the caller owns transport and durability (PUT the split,\n"
        "then the manifest = atomic cutover). [`compact`](Self::compact) merges delta splits into one.\n\n"
        "```python\n"
    )
    assert "SplitSetWriter.resume(" in doc and "memtable_bytes()" in doc and '"index.hyss"' in doc
    methods = ["resume", "add", "delete", "memtable_bytes", "memtable_doc_count", "doc_count", "flush", "compact"]
    defined = [name for name in SplitSetWriter.__dict__ if name in methods]
    assert defined == methods
    for name in methods[1:]:
        sig = str(inspect.signature(getattr(SplitSetWriter, name)))
        assert sig.startswith("(self"), (name, sig)
        assert getattr(SplitSetWriter, name).__doc__
    assert str(inspect.signature(SplitSetWriter.compact)) == "(self, /, inputs)"
    assert str(inspect.signature(SplitSetWriter.delete)) == "(self, /, doc_id)"


def test_argument_conversion():
    with pytest.raises(ValueError) as e:
        SplitSetWriter(policy="Tier")
    assert str(e.value) == "unknown policy \"tier\"; use 'tiered' or 'stable_key'"
    with pytest.raises(OverflowError):
        SplitSetWriter(gram_size=-1)
    with pytest.raises(TypeError):
        SplitSetWriter(name_prefix=b"x")
    with pytest.raises(TypeError) as e:
        SplitSetWriter.resume("HYSS")
    assert str(e.value) == "argument 'manifest': Can't extract `str` to `Vec`"
    w = SplitSetWriter()
    with pytest.raises(TypeError) as e:
        w.compact([("x", "not bytes")])
    assert str(e.value) == "argument 'inputs': Can't extract `str` to `Vec`"
    with pytest.raises(OverflowError):
        w.delete(-1)
    with pytest.raises(OverflowError):
        w.delete(1 << 32)
    # Byte strings may be any sequence of ints: a list manifest resumes like bytes.
    manifest = manifest_bytes([])
    assert SplitSetWriter.resume(list(manifest)).doc_count() == 0
    assert SplitSetWriter.resume(bytearray(manifest)).doc_count() == 0


# ---------------------------------------------------------------------------
# Memtable and flush


def test_memtable_bytes():
    w = SplitSetWriter()
    assert w.memtable_bytes() == 20
    assert w.add("abc") == 0
    # One key (posting {0}: 18 bytes): 20 + 24 + 8 + (18 + 8).
    assert w.memtable_bytes() == 78
    assert (w.memtable_doc_count(), w.doc_count()) == (1, 1)


@pytest.mark.parametrize("stride", [1, 3, 512])
def test_memtable_bytes_follows_the_postings(stride):
    # The estimate charges exactly the serialized postings flush writes.
    w = SplitSetWriter(stride=stride, gram_size=2)
    rng = random.Random(stride)
    for n in range(1, 300):
        w.add("".join(rng.choice("abcdefghij ") for _ in range(rng.randrange(0, 30))))
        if n % 97 == 0:
            expected = w.memtable_bytes()
            _, body, _ = flush(w)
            header, postings, _ = readers.ngram_index(body)
            k = header["count"]
            posting_bytes = len(body) - 16 - 8 * -(-k // stride) - 20 * k
            assert expected == 20 + 32 * k + 8 * -(-k // stride) + posting_bytes
            assert w.memtable_bytes() == 20


def test_memtable_bytes_across_containers():
    # A key in 68000 documents spans two containers, the first a bitmap.
    w = SplitSetWriter(gram_size=1)
    for _ in range(68000):
        w.add("a")
    expected = w.memtable_bytes()
    _, body, _ = flush(w)
    _, postings, _ = readers.ngram_index(body)
    assert postings[halcyra.tokenize("a", 1)[0]] == list(range(68000))
    posting = len(body) - 16 - 8 - 20
    assert posting == 8 + 8 * 2 + 8192 + 2 * (68000 - 65536)
    assert expected == 20 + 24 + 8 + posting + 8


def test_flush_of_nothing():
    w = SplitSetWriter(name_prefix="corpus")
    assert w.flush() is None
    w.add("hello")
    assert flush(w)[0] == "corpus-d00000.hys"  # the empty flush consumed no number


def test_successive_flushes():
    w = SplitSetWriter(name_prefix="corpus", byte_cap=1000, tier_count=7, sortcol=("rank", 3, True), policy="tiered")
    texts = ["first document", "second one", "", "third"]
    ids = [w.add(texts[0]), w.add(texts[1])]
    name0, body0, _ = flush(w)
    ids += [w.add(texts[2]), w.add(texts[3])]
    name1, body1, manifest = flush(w)
    assert ids == [0, 1, 2, 3]
    assert (name0, name1) == ("corpus-d00000.hys", "corpus-d00001.hys")
    header, splits = parse(manifest)
    assert header["flags"] == BLOOM
    assert (header["policy"], header["tier_count"], header["base_count"], header["byte_cap"]) == (0, 7, 0, 1000)
    assert header["gram_size"] == 3 and header["sortcol"] == ("rank", 3, True)
    assert [(s["name"], s["epoch"], s["docs"], s["first_id"], s["last_id"], s["tier"], s["flags"]) for s in splits] == [
        ("corpus-d00000.hys", 1, 2, 0, 1, 0, 0),
        ("corpus-d00001.hys", 2, 2, 2, 3, 0, 0),
    ]
    assert [s["byte_size"] for s in splits] == [len(body0), len(body1)]
    # Postings hold memtable-local numbers; the empty text still took id 2.
    _, postings1, _ = readers.ngram_index(body1)
    assert set(postings1) == set(halcyra.tokenize("third"))
    assert all(ids == [1] for ids in postings1.values())
    # The Bloom filter knows every key of its split.
    keys = set(halcyra.tokenize(texts[0])) | set(halcyra.tokenize(texts[1]))
    bloom = readers.bloom(splits[0]["records"][1])
    assert all(bloom.may_contain(k) for k in keys)
    assert (bloom.k, bloom.m) == (7, bloom_bits(len(keys)))


def test_tombstone_only_split():
    w = SplitSetWriter(name_prefix="corpus")
    for i in range(8):
        w.add(f"document {i}")
    flush(w)
    w.delete(7)
    name, body, manifest = flush(w)
    assert name == "corpus-d00001.hys"
    header, splits = parse(manifest)
    s = splits[1]
    assert (s["docs"], s["first_id"], s["last_id"], s["flags"]) == (0, 8, 8, SPLIT_TOMBSTONES)
    # Tag 4, payload length 18, the portable bitmap {7}; no Bloom record.
    assert s["summary"] == bytes.fromhex("04 12 00 00 00 3A 30 00 00 01 00 00 00 00 00 00 00 10 00 00 00 07 00")
    assert header["flags"] == BLOOM | TOMBSTONES
    assert readers.ngram_index(body)[0]["count"] == 0
    assert len(body) == 16


def test_delete_of_a_memtable_document():
    w = SplitSetWriter()
    w.add("keep me")
    w.add("drop me")
    w.delete(1)
    _, body, manifest = flush(w)
    _, splits = parse(manifest)
    assert splits[0]["tombstones"] == [1]
    assert list(splits[0]["records"]) == [1, 4]  # Bloom first
    _, postings, _ = readers.ngram_index(body)
    assert postings[halcyra.tokenize("dro")[0]] == [1]  # still written; hidden by the tombstone


def test_bloom_off_gram_and_stride_defaults_case_sensitive():
    w = SplitSetWriter(bloom_bits_per_key=0, gram_size=0, stride=0, case_sensitive=True)
    w.add("AbC")
    _, body, manifest = flush(w)
    header, splits = parse(manifest)
    assert header["flags"] == CASE_SENSITIVE and header["gram_size"] == 1
    assert splits[0]["summary"] == b""
    index, postings, _ = readers.ngram_index(body)
    assert (index["gram_size"], index["stride"], index["case_sensitive"]) == (1, 512, True)
    assert sorted(postings) == sorted([ord("A"), ord("b"), ord("C")])


def test_delete_of_an_unassigned_id():
    w = SplitSetWriter()
    with pytest.raises(ValueError) as e:
        w.delete(0)
    assert str(e.value) == "doc id 0 has not been assigned (next id is 0)"
    w.add("x")
    w.add("y")
    with pytest.raises(ValueError) as e:
        w.delete(5)
    assert str(e.value) == "doc id 5 has not been assigned (next id is 2)"
    w.delete(1)
    assert parse(flush(w)[2])[1][0]["tombstones"] == [1]


# ---------------------------------------------------------------------------
# Resume


def test_resume_continues_ids_epochs_and_names():
    base = manifest_bytes(
        [dict(entry("corpus-s00000.hys", 100, 0, summary=record(2, struct.pack("<IQ", 1, 42))), last_id=99)]
        + [entry(n, 0, 99, epoch=e) for n, e in [("corpus-d00004.hys", 3), ("corpus-c00001.hys", 5),
                                                ("other-d00009.hys", 2)]],
        flags=BLOOM | FACETS, base_count=1, policy=0, tier_count=4, gram_size=3)
    w = SplitSetWriter.resume(base, name_prefix="corpus")
    assert w.doc_count() == 100
    assert [w.add(t) for t in ["kkk one", "two", "kkk three"]] == [100, 101, 102]
    name, body, manifest = flush(w)
    assert name == "corpus-d00005.hys"
    header, splits = parse(manifest)
    # The facets flag is never set by the writer; the carried summaries stay byte for byte.
    assert header["flags"] == BLOOM
    assert (header["policy"], header["tier_count"], header["base_count"]) == (0, 4, 1)
    assert splits[0]["summary"] == record(2, struct.pack("<IQ", 1, 42))
    new = splits[-1]
    assert (new["first_id"], new["last_id"], new["docs"], new["epoch"]) == (100, 102, 3, 6)
    _, postings, _ = readers.ngram_index(body)
    assert postings[halcyra.tokenize("kkk")[0]] == [0, 2]
    assert sorted({i for ids in postings.values() for i in ids}) == [0, 1, 2]
    compacted = w.compact([])
    assert compacted[0] == "corpus-c00002.hys"


def test_resume_of_an_empty_manifest_and_plus_numbers():
    w = SplitSetWriter.resume(manifest_bytes([entry("p-d+7.hys", 0, 0), entry("p-d12x.hys", 0, 0)]), name_prefix="p")
    assert w.doc_count() == 0
    w.add("a")
    name, _, manifest = flush(w)
    assert name == "p-d00008.hys"
    assert parse(manifest)[1][-1]["epoch"] == 1  # largest epoch 0, plus 1
    w = SplitSetWriter.resume(manifest_bytes([]))
    w.add("a")
    assert parse(flush(w)[2])[1][0]["epoch"] == 1


def test_resume_counts_tombstoned_ids():
    # Ids 0-9 were flushed, then 10-14 added and all deleted, and the split
    # holding them compacted away: only the tombstone record remembers them.
    tomb = record(4, roaring_bytes([3, 14]))
    m = manifest_bytes([entry("split-d00000.hys", 10, 0), entry("split-c00000.hys", 0, 0, flags=3, summary=tomb)],
                       flags=TOMBSTONES)
    w = SplitSetWriter.resume(m)
    assert w.doc_count() == 15
    assert w.add("new") == 15


def test_resume_refuses_a_different_gram_size_or_term_splits():
    m = manifest_bytes([], gram_size=3)
    with pytest.raises(ValueError) as e:
        SplitSetWriter.resume(m, gram_size=4)
    assert str(e.value) == "gram_size 4 does not match the manifest's gram size 3"
    with pytest.raises(ValueError) as e:
        SplitSetWriter.resume(manifest_bytes([], gram_size=1), gram_size=0)  # 0 means 1: accepted
        SplitSetWriter.resume(m, gram_size=0)
    assert str(e.value) == "gram_size 1 does not match the manifest's gram size 3"
    with pytest.raises(ValueError) as e:
        SplitSetWriter.resume(manifest_bytes([], body_kind=1, gram_size=0))
    assert str(e.value) == "manifest describes term splits (body kind 1), not n-gram splits (body kind 0)"


RESUME_FAILURES = [
    (lambda m: m[:63], "malformed index: short HYSS header"),
    (lambda m: m[:-1], "malformed index: short HYSS body"),
    (lambda m: b"HYSX" + m[4:], "bad magic [72, 89, 83, 88], expected HYSI"),
    (lambda m: m[:4] + b"\x02\x00" + m[6:], "unsupported version 2"),
    (lambda m: m[:8] + b"\x07" + m[9:], "malformed index: HYSS unknown policy code"),
]


@pytest.mark.parametrize("corrupt,message", RESUME_FAILURES)
def test_resume_of_a_malformed_manifest(corrupt, message):
    w = SplitSetWriter(name_prefix="x")
    w.add("hello")
    _, _, m = flush(w)
    with pytest.raises(ValueError) as e:
        SplitSetWriter.resume(corrupt(m), name_prefix="x")
    assert str(e.value) == message


@pytest.mark.parametrize("payload,message", [
    (b"\x3a\x30", "roaring deserialize: bitmap shorter than its cookie"),
    (struct.pack("<II", 12345, 0), "roaring deserialize: unknown bitmap cookie 12345"),
    (struct.pack("<IIHHIHH", 12346, 1, 0, 1, 16, 5, 5), "roaring deserialize: array container not strictly ascending"),
    (struct.pack("<IIHHHHIIHH", 12346, 2, 1, 0, 0, 0, 24, 26, 1, 1),
     "roaring deserialize: container keys not strictly ascending"),
    (struct.pack("<IIHHIH", 12346, 1, 0, 1, 16, 5), "roaring deserialize: array container truncated"),
    (struct.pack("<IBHHHHH", 12347, 1, 0, 9, 1, 0, 5), "roaring deserialize: run container cardinality does not match its runs"),
    (struct.pack("<IBHHHHHHH", 12347, 1, 0, 9, 2, 0, 5, 3, 4), "roaring deserialize: runs overlap or are out of order"),
    (struct.pack("<IBHHHHH", 12347, 1, 0, 0, 1, 65535, 1), "roaring deserialize: run passes the end of its container"),
    (struct.pack("<IIHHI", 12346, 1, 0, 5000, 16) + bytes(8192),
     "roaring deserialize: bitmap container cardinality does not match its set bits"),
    (struct.pack("<II", 12346, 70000), "roaring deserialize: bitmap claims more than 65536 containers"),
])
def test_corrupt_tombstone_records(payload, message):
    m = manifest_bytes([entry("split-d00000.hys", 0, 0, flags=1, summary=record(4, payload))])
    with pytest.raises(ValueError) as e:
        SplitSetWriter.resume(m)
    assert str(e.value) == message


def test_valid_run_and_bitmap_tombstones():
    bits = bytearray(8192)
    for i in range(0, 10000, 2):
        bits[i >> 3] |= 1 << (i & 7)
    payload = struct.pack("<IIHHI", 12346, 1, 0, 4999, 16) + bytes(bits)
    m = manifest_bytes([entry("split-d00000.hys", 0, 0, flags=1, summary=record(4, payload))])
    assert SplitSetWriter.resume(m).doc_count() == 9999
    runs = struct.pack("<IBHHHHHHH", 12347, 1, 2, 9, 2, 0, 4, 10, 4)  # ids (2 << 16) + 0..4 and 10..14
    m = manifest_bytes([entry("split-d00000.hys", 0, 0, flags=1, summary=record(4, runs))])
    assert SplitSetWriter.resume(m).doc_count() == (2 << 16) + 15


def test_ids_are_never_exhausted_silently():
    m = manifest_bytes([dict(entry("split-d00000.hys", 1, 4294967294))])
    w = SplitSetWriter.resume(m)
    assert w.doc_count() == 4294967295
    with pytest.raises(ValueError) as e:
        w.add("one more")
    assert str(e.value) == "doc id space exhausted: ids 0 to 4294967294 have all been assigned"
    assert w.memtable_doc_count() == 0 and w.memtable_bytes() == 20
    w = SplitSetWriter.resume(manifest_bytes([entry("split-d00000.hys", 1, 4294967293)]))
    assert w.add("last") == 4294967294
    with pytest.raises(ValueError):
        w.add("one more")
    name, body, manifest = flush(w)
    assert parse(manifest)[1][-1]["last_id"] == 4294967294


# ---------------------------------------------------------------------------
# Compaction


def two_deltas(prefix="split"):
    """A writer resumed at id 100 with two flushed delta splits: ids 100-102
    (key kkk in 100 and 102) and 103-104 (kkk in 104)."""
    base = manifest_bytes([dict(entry(f"{prefix}-s00000.hys", 100, 0), last_id=99)], base_count=1)
    w = SplitSetWriter.resume(base, name_prefix=prefix)
    flushed = []
    for texts in (["kkk", "mmm", "kkk"], ["nnn", "kkk"]):
        for t in texts:
            w.add(t)
        flushed.append(flush(w))
    return w, flushed


def test_compaction_into_absolute_ids():
    w, [(n0, b0, _), (n1, b1, m1)] = two_deltas()
    _, splits = parse(m1)
    assert [(s["first_id"], s["last_id"]) for s in splits[1:]] == [(100, 102), (103, 104)]
    name, body, manifest, removed = w.compact([(n0, b0), (n1, b1)])
    assert (name, removed) == ("split-c00000.hys", [n0, n1])
    header, splits = parse(manifest)
    assert [s["name"] for s in splits] == ["split-s00000.hys", name]
    c = splits[-1]
    assert (c["first_id"], c["last_id"], c["docs"], c["flags"], c["epoch"]) == (100, 104, 5, SPLIT_ABSOLUTE, 2)
    assert type(body) is bytes and c["byte_size"] == len(body)
    _, postings, _ = readers.ngram_index(body)
    assert postings[halcyra.tokenize("kkk")[0]] == [100, 102, 104]
    assert postings[halcyra.tokenize("mmm")[0]] == [101]
    assert list(c["records"]) == [1]
    # A compacted split compacts again with its ids unchanged.
    name2, body2, manifest2, removed2 = w.compact([(name, body)])
    assert name2 == "split-c00001.hys" and removed2 == [name]
    assert readers.ngram_index(body2)[1] == postings


def test_compaction_drops_tombstoned_documents():
    w, [(n0, b0, _), (n1, b1, _)] = two_deltas()
    w.delete(101)  # the only mmm document
    w.delete(104)
    w.delete(50)   # a base document: outside this compaction, still carried
    n2, b2, _ = flush(w)
    name, body, manifest, removed = w.compact([(n0, b0), (n1, b1), (n2, b2)])
    _, splits = parse(manifest)
    c = splits[-1]
    assert [s["name"] for s in splits] == ["split-s00000.hys", name]
    assert c["tombstones"] == [50, 101, 104]
    assert (c["first_id"], c["last_id"], c["docs"], c["flags"]) == (100, 103, 3, SPLIT_ABSOLUTE | SPLIT_TOMBSTONES)
    _, postings, _ = readers.ngram_index(body)
    assert postings[halcyra.tokenize("kkk")[0]] == [100, 102]
    assert halcyra.tokenize("mmm")[0] not in postings
    bloom = readers.bloom(c["records"][1])
    assert bloom.m == bloom_bits(len(postings))  # sized for the keys left
    assert all(bloom.may_contain(k) for k in postings)


def test_compaction_of_only_deleted_documents():
    w, [(n0, b0, _), _] = two_deltas()
    for i in (100, 101, 102):
        w.delete(i)
    n2, b2, _ = flush(w)
    name, body, manifest, _ = w.compact([(n0, b0), (n2, b2)])
    c = parse(manifest)[1][-1]
    assert (c["docs"], c["first_id"], c["last_id"], c["flags"]) == (0, 0, 0, 3)
    assert list(c["records"]) == [4]
    assert readers.ngram_index(body)[0]["count"] == 0


def test_compaction_of_nothing():
    w, _ = two_deltas()
    name, body, manifest, removed = w.compact([])
    assert (name, removed) == ("split-c00000.hys", [])
    c = parse(manifest)[1][-1]
    assert (c["docs"], c["first_id"], c["last_id"], c["flags"], c["epoch"]) == (0, 0, 0, 2, 3)
    assert c["summary"] == b""
    assert w.compact([])[0] == "split-c00001.hys"


def test_compaction_leaves_the_memtable_alone():
    w, [(n0, b0, _), _] = two_deltas()
    w.add("pending")
    w.delete(100)
    before = (w.memtable_bytes(), w.memtable_doc_count(), w.doc_count())
    w.compact([(n0, b0)])
    assert (w.memtable_bytes(), w.memtable_doc_count(), w.doc_count()) == before
    _, _, manifest = flush(w)
    assert parse(manifest)[1][-1]["tombstones"] == [100]


def test_compaction_past_the_last_id():
    # Posting number 10 from first id 4294967290 would pass 4294967295.
    m = manifest_bytes([entry("split-d00000.hys", 11, 4294967284)])
    w = SplitSetWriter.resume(m)
    ok = split_bytes({7: [0, 10]})
    assert w.compact([("split-d00000.hys", ok)])[2]
    w = SplitSetWriter.resume(manifest_bytes([entry("split-d00000.hys", 5, 4294967290)]))
    with pytest.raises(OSError) as e:
        w.compact([("split-d00000.hys", ok)])
    assert str(e.value) == ("HYSS compact: split-d00000.hys holds posting number 10, which from first id 4294967290 "
                            "passes the last id 4294967295")


# Every failure of compact, each leaving the writer as it was.
def bad_inputs(n0, b0, n1, b1):
    # Three entries claimed, two present (both on one empty posting), no block index.
    trunc_dict = b"HYSI" + struct.pack("<HHII", 3, 3, 3, 0)
    trunc_dict += struct.pack("<QQI", 1, 56, 8) + struct.pack("<QQI", 2, 56, 8) + EMPTY_BITMAP
    out_of_range = bytearray(b0)
    struct.pack_into("<Q", out_of_range, 16 + 8 + 8, len(b0))  # entry 0's posting offset at the end
    struct.pack_into("<I", out_of_range, 16 + 8 + 16, 1)
    corrupt_posting = bytearray(b0)
    (first_posting,) = struct.unpack_from("<Q", b0, 16 + 8 + 8)
    corrupt_posting[first_posting] = 0x39  # cookie 12345
    return [
        ([("split-d00077.hys", b0)], "HYSS compact: split-d00077.hys not in manifest"),
        ([(n0, b0), ("split-s00000.hys", b"")], "HYSS compact: base splits need a full rebuild, not minor compaction"),
        ([(n0, b"HYSI" + bytes(11))], "HYSS compact: input is not an HYS split"),
        ([(n0, b"HYSX" + b0[4:])], "HYSS compact: input is not an HYS split"),
        ([(n1, b1), (n0, trunc_dict)], "HYSS compact: truncated dictionary"),
        ([(n0, bytes(out_of_range))], "HYSS compact: posting out of range"),
        ([(n0, bytes(corrupt_posting))], "roaring deserialize: unknown bitmap cookie 12345"),
    ]


def test_every_compaction_failure_leaves_the_writer_unchanged():
    w, [(n0, b0, _), (n1, b1, _)] = two_deltas()
    twin, _ = two_deltas()
    w.add("in the memtable")
    twin.add("in the memtable")
    for inputs, message in bad_inputs(n0, b0, n1, b1):
        with pytest.raises(OSError) as e:
            w.compact(inputs)
        assert str(e.value) == message
    assert (w.memtable_bytes(), w.memtable_doc_count(), w.doc_count()) == (
        twin.memtable_bytes(), twin.memtable_doc_count(), twin.doc_count())
    assert w.compact([(n0, b0), (n1, b1)]) == twin.compact([(n0, b0), (n1, b1)])
    assert w.flush() == twin.flush()


def test_resume_checks_every_summary():
    corrupt = record(4, struct.pack("<IIHHIHH", 12346, 1, 0, 1, 16, 9, 2))
    m = manifest_bytes([entry("split-d00000.hys", 1, 0, flags=1, summary=corrupt)])
    with pytest.raises(ValueError):
        SplitSetWriter.resume(m)  # refused at resume already
    # A summary record running past its end is refused the same way.
    m = manifest_bytes([entry("split-d00000.hys", 1, 0, summary=struct.pack("<BI", 1, 99))])
    with pytest.raises(ValueError) as e:
        SplitSetWriter.resume(m)
    assert str(e.value) == "malformed index: HYSS summary TLV out of range"


def test_manifest_limit_failures_change_nothing():
    # Names of 65536 bytes or more cannot be written; the flush fails before
    # anything changes, so the memtable and tombstones are still there.
    w = SplitSetWriter(name_prefix="x" * 65525)
    for t in ["alpha", "beta"]:
        w.add(t)
    w.delete(0)
    before = (w.memtable_bytes(), w.memtable_doc_count(), w.doc_count())
    for _ in range(2):
        with pytest.raises(OSError) as e:
            w.flush()
        assert str(e.value) == "HYSS name exceeds the 16-bit length limit"
        assert (w.memtable_bytes(), w.memtable_doc_count(), w.doc_count()) == before
    with pytest.raises(OSError) as e:
        w.compact([])
    assert str(e.value) == "HYSS name exceeds the 16-bit length limit"

    # A prefix 1 byte shorter fits: 65524 + len("-d00000.hys") = 65535.
    w = SplitSetWriter(name_prefix="x" * 65524)
    w.add("alpha")
    name, body, manifest = flush(w)
    assert len(name) == 65535
    # The 100000th delta number needs one more digit, which no longer fits;
    # compaction names, still short, work, and the memtable survives.
    m = manifest_bytes([entry("x" * 65524 + "-d99999.hys", 1, 0)])
    w = SplitSetWriter.resume(m, name_prefix="x" * 65524)
    w.add("beta")
    with pytest.raises(OSError) as e:
        w.flush()
    assert str(e.value) == "HYSS name exceeds the 16-bit length limit"
    assert w.memtable_doc_count() == 1
    assert w.compact([])[0] == "x" * 65524 + "-c00000.hys"
    assert w.memtable_doc_count() == 1


# ---------------------------------------------------------------------------
# Randomized corruption: resume and compact either work or raise their
# errors, never anything else.


def test_randomized_corruption_of_resume_and_compact_inputs():
    w, [(n0, b0, _), (n1, b1, m1)] = two_deltas()
    w.delete(101)
    n2, b2, m2 = flush(w)
    rng = random.Random(20240601)
    for _ in range(600):
        m = bytearray(m2)
        for _ in range(rng.randrange(1, 6)):
            m[rng.randrange(len(m))] = rng.randrange(256)
        if rng.random() < 0.2:
            m = m[: rng.randrange(len(m) + 1)]
        try:
            r = SplitSetWriter.resume(bytes(m))
        except ValueError:
            continue
        r.add("after corruption")
        try:
            r.flush()
        except OSError:
            pass
    for _ in range(600):
        target = rng.choice([(n0, b0), (n1, b1), (n2, b2)])
        b = bytearray(target[1])
        for _ in range(rng.randrange(1, 6)):
            b[rng.randrange(len(b))] = rng.randrange(256)
        if rng.random() < 0.2:
            b = b[: rng.randrange(len(b) + 1)]
        fresh, _ = two_deltas()
        fresh.delete(101)
        flush(fresh)
        try:
            fresh.compact([(target[0], bytes(b))])
        except OSError:
            pass


# ---------------------------------------------------------------------------
# A writer's life on real text, checked against a brute-force model.


@pytest.fixture(scope="module")
def corpus():
    return [text for _, text in fortunes.load(fortunes.ENGLISH)[::7]][:1500]


def check_set(manifest, bodies, live, deleted, gram_size):
    """Every live document is found under its global id in exactly one split,
    under exactly its keys; every deleted id is hidden by a tombstone."""
    header, splits = parse(manifest)
    assert header["gram_size"] == gram_size
    found = {}  # global id -> set of keys, over all splits
    owner = {}
    hidden = set()
    for s in splits:
        body = bodies[s["name"]]
        assert s["byte_size"] == len(body)
        hidden.update(s["tombstones"])
        ids_in_split = set()
        for key, ids in global_postings(s, body).items():
            for i in ids:
                found.setdefault(i, set()).add(key)
                ids_in_split.add(i)
        for i in ids_in_split:
            assert owner.setdefault(i, s["name"]) == s["name"], f"id {i} in two splits"
            if not s["flags"] & SPLIT_ABSOLUTE:
                assert s["first_id"] <= i <= s["last_id"]
        if 1 in s["records"]:
            bloom = readers.bloom(s["records"][1])
            assert all(bloom.may_contain(k) for k in global_postings(s, body))
    for doc_id, text in live.items():
        keys = set(halcyra.tokenize(text, gram_size))
        assert found.get(doc_id, set()) == keys, doc_id
        assert doc_id not in hidden
    for doc_id in deleted:
        assert doc_id in hidden
    # Nothing else is visible.
    assert {i for i in found if i not in hidden} == {i for i, t in live.items() if halcyra.tokenize(t, gram_size)}


def test_a_writers_life_on_fortunes(corpus):
    gram = 3
    rng = random.Random(5)
    w = SplitSetWriter(name_prefix="fortune", gram_size=gram, stride=64)
    live, deleted, bodies = {}, set(), {}
    texts = iter(corpus)
    manifest = None

    def add_some(writer, n):
        for _ in range(n):
            text = next(texts)
            live[writer.add(text)] = text

    def delete_some(writer, n):
        for doc_id in rng.sample(sorted(live), n):
            writer.delete(doc_id)
            deleted.add(doc_id)
            del live[doc_id]

    def do_flush(writer):
        name, body, m = flush(writer)
        bodies[name] = body
        return m

    for _ in range(3):
        add_some(w, 150)
        delete_some(w, 10)
        manifest = do_flush(w)
    check_set(manifest, bodies, live, deleted, gram)

    # A new process continues from the manifest bytes alone.
    w = SplitSetWriter.resume(manifest, name_prefix="fortune", gram_size=gram, stride=64)
    assert w.doc_count() == 450
    for _ in range(3):
        add_some(w, 200)
        delete_some(w, 15)
        manifest = do_flush(w)
    check_set(manifest, bodies, live, deleted, gram)
    names = [s["name"] for s in parse(manifest)[1]]
    assert names == [f"fortune-d{i:05}.hys" for i in range(6)]

    # Compact four of the six deltas; their deletes travel with the result.
    chosen = names[1:5]
    name, body, manifest, removed = w.compact([(n, bodies[n]) for n in chosen])
    assert removed == chosen
    bodies[name] = body
    _, splits = parse(manifest)
    assert [s["name"] for s in splits] == [names[0], names[5], name]
    check_set(manifest, bodies, live, deleted, gram)

    # And once more after a resume: the compacted split with the rest.
    w = SplitSetWriter.resume(manifest, name_prefix="fortune", gram_size=gram, stride=64)
    add_some(w, 100)
    delete_some(w, 20)
    manifest = do_flush(w)
    names = [s["name"] for s in parse(manifest)[1]]
    assert names[-1] == "fortune-d00006.hys"
    name, body, manifest, _ = w.compact([(n, bodies[n]) for n in names])
    bodies[name] = body
    assert name == "fortune-c00001.hys"
    _, splits = parse(manifest)
    assert [s["name"] for s in splits] == [name]
    check_set(manifest, bodies, live, deleted, gram)
    # Everything deleted so far is gone from the postings themselves.
    c = splits[0]
    assert set(c["tombstones"]) == deleted
    assert not any(set(ids) & deleted for ids in global_postings(c, body).values())
    assert c["docs"] == sum(1 for t in live.values() if halcyra.tokenize(t, gram))
