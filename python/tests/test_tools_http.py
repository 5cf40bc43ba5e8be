"""halcyra_tools end to end: every kind of output built from the fortune
corpus is queried from its folder and over HTTP (nginx on loopback), and
every answer must equal a brute-force model of the corpus."""

import os
import sys

import numpy as np
import pytest

import halcyra
import halcyra_tools
from halcyra_tools import analysis, nginx
from halcyra_tools import parse as readers

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "scripts"))
import fortunes  # noqa: E402

TEXTS = ["Linux", "Captain", "love", "Computer", "Star Trek", "the meaning of", "zebra", "qqxqq", "program",
         "Mister", "Linux kernel", "Kirk", "a"]
FACETS = [None, {"source": ["startrek"]}, {"source": ["computers", "linux"]},
          {"source": ["computers", "linux", "science"], "size": ["long"]}]


def corpus():
    every = fortunes.load(fortunes.ENGLISH)
    docs = [(source, text) for source, text in every[:: max(1, len(every) // 2400)] if text.strip()]
    return [dict(text=text, facets={"source": [source], "size": ["long" if len(text) > 300 else "short"]})
            for source, text in docs[:2400]]


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    root = tmp_path_factory.mktemp("tools")
    docs = corpus()
    out = dict(root=root, docs=docs, models={})

    # A dataset: ids follow rank; rank = -position keeps the corpus order.
    b = halcyra.Builder()
    b.add_many([(-i, d["text"], d["text"].encode(), d["facets"]) for i, d in enumerate(docs)])
    b.build(str(root / "dataset"))

    s = halcyra.SplitSetBuilder(byte_cap=96 << 10, name_prefix="fortunes")
    for d in docs:
        s.add_faceted(d["text"], d["facets"])
    s.build(str(root / "splits"))

    cs = halcyra.SplitSetBuilder(byte_cap=128 << 10, case_sensitive=True)
    for d in docs:
        cs.add(d["text"])
    cs.build(str(root / "cased"))

    # A streaming set: flushes with deletes, the first two deltas compacted.
    stream = root / "stream"
    stream.mkdir()
    w = halcyra.SplitSetWriter(name_prefix="live")
    deleted = set()
    for start in range(0, len(docs), 600):
        for d in docs[start : start + 600]:
            w.add(d["text"])
        for doc_id in range(start + 7, w.doc_count(), 97):
            w.delete(doc_id)
            deleted.add(doc_id)
        name, split, manifest = w.flush()
        (stream / name).write_bytes(split)
        (stream / "index.hyss").write_bytes(manifest)
    _, _, splits = readers.manifest((stream / "index.hyss").read_bytes())
    inputs = [(s["name"], (stream / s["name"]).read_bytes()) for s in splits[:2]]
    name, split, manifest, removed = w.compact(inputs)
    (stream / name).write_bytes(split)
    (stream / "index.hyss").write_bytes(manifest)
    for old in removed:
        (stream / old).unlink()
    out["deleted"] = deleted

    t = halcyra.TermSplitSetBuilder(byte_cap=96 << 10, language="english", stopwords=True)
    for d in docs:
        t.add_faceted(d["text"], d["facets"])
    t.build(str(root / "termsplits"))
    tb = halcyra.TermBuilder(language="english", stem=False, case_sensitive=True)
    tb.add_many(list(enumerate(d["text"] for d in docs)))
    tb.finish(str(root / "cased.hyt"))

    rng = np.random.default_rng(7)
    vectors = rng.normal(size=(1500, 16)).astype(np.float32) + np.repeat(rng.normal(size=(15, 16)) * 4, 100, axis=0)
    for metric in ("l2", "ip"):
        v = halcyra.VectorBuilder(16, 12, 4, metric=metric, kmeans_iters=8)
        v.add_many(list(enumerate(vectors.tolist())))
        v.build(str(root / f"{metric}.hyvi"))
    out["vectors"] = vectors
    return out


def ngram_model(built, text, facets, ids, case_sensitive=False, live=None):
    """The ids whose text holds every n-gram key of `text`, in the facets."""
    docs = built["docs"]
    key = ("ngram", case_sensitive)
    if key not in built["models"]:
        built["models"][key] = [set(analysis.ngram_keys(d["text"], 3, case_sensitive).tolist()) for d in docs]
    wanted = set(analysis.ngram_keys(text, 3, case_sensitive).tolist())
    if not wanted:
        return halcyra_tools.QueryError  # nothing to look up
    return [i for i in ids if wanted <= built["models"][key][i] and in_facets(docs[i], facets)
            and (live is None or i not in live)]


def term_model(built, text, facets, analyzer, name):
    docs = built["docs"]
    if name not in built["models"]:
        built["models"][name] = [set(analysis.terms(d["text"], analyzer)) for d in docs]
    wanted = set(analysis.terms(text, analyzer))
    if not wanted:
        return halcyra_tools.QueryError
    return [i for i, terms in enumerate(built["models"][name]) if wanted <= terms and in_facets(docs[i], facets)]


def in_facets(doc, facets):
    return all(set(cats) & set(doc["facets"].get(field, [])) for field, cats in (facets or {}).items())


def queries(built):
    """(location relative to the root, search arguments, expected ids)."""
    n = len(built["docs"])
    everything = range(n)
    terms_analyzer = dict(language="english", stem=True, stopwords=True, case_sensitive=False)
    cased_analyzer = dict(language="english", stem=False, stopwords=False, case_sensitive=True)
    for text in TEXTS:
        for facets in FACETS:
            for where in ("dataset/", "splits/"):
                yield where, (text, facets, None), ngram_model(built, text, facets, everything)
            yield "termsplits/", (text, facets, None), term_model(built, text, facets, terms_analyzer, "terms")
        first = ngram_model(built, text, None, everything)
        yield "splits/", (text, None, 5), first if first is halcyra_tools.QueryError else first[:5]
        yield "cased/", (text, None, None), ngram_model(built, text, None, everything, case_sensitive=True)
        yield "stream/", (text, None, None), ngram_model(built, text, None, everything, live=built["deleted"])
        yield "cased.hyt", (text, None, None), term_model(built, text, None, cased_analyzer, "cased")


def checked_queries(built, base):
    opened = {}
    try:
        for where, (text, facets, limit), expected in queries(built):
            if where not in opened:
                opened[where] = halcyra_tools.open(base + where)
            if expected is halcyra_tools.QueryError:
                with pytest.raises(halcyra_tools.QueryError):
                    opened[where].search(text, facets=facets, limit=limit)
            else:
                assert opened[where].search(text, facets=facets, limit=limit) == expected, (where, text, facets)
        return {where: index.stats for where, index in opened.items()}
    finally:
        for index in opened.values():
            index.close()


def test_every_query_answers_as_the_model_from_the_folder(built):
    stats = checked_queries(built, str(built["root"]) + "/")
    # The Bloom filters and facet-presence lists let whole splits go unread.
    assert stats["splits/"].splits_skipped_bloom > 0 and stats["splits/"].splits_skipped_facets > 0
    assert stats["stream/"].splits_total > 0


@pytest.fixture(scope="module")
def server(built):
    if nginx.find() is None:
        pytest.skip("nginx is not installed (scripts/install-deps installs it)")
    with nginx.Nginx(built["root"]) as s:
        yield s


def test_every_query_answers_the_same_over_http(built, server):
    stats = checked_queries(built, server.url)
    assert stats["splits/"].requests > 0


def test_records_and_vectors_over_http(built, server):
    local = halcyra_tools.open(built["root"] / "dataset")
    remote = halcyra_tools.open(server.url + "dataset/")
    ids = remote.search("Kirk")
    assert ids and remote.records(ids) == local.records(ids) == [built["docs"][i]["text"].encode() for i in ids]
    queries = built["vectors"][::150] + 0.1
    for metric in ("l2", "ip"):
        local = halcyra_tools.open(built["root"] / f"{metric}.hyvi")
        remote = halcyra_tools.open(server.url + f"{metric}.hyvi")
        model = vector_model((built["root"] / f"{metric}.hyvi").read_bytes())
        for q in queries:
            hits = remote.search(q, k=8, nprobe=3)
            assert hits == local.search(q, k=8, nprobe=3)
            expected = model(q, 8, 3)
            assert [i for i, _ in hits] == [i for i, _ in expected]
            assert np.allclose([d for _, d in hits], [d for _, d in expected], rtol=1e-6, atol=1e-6)


def vector_model(data):
    """Brute force over reconstructed vectors (centroid + codewords): the
    exact distance to a reconstruction is what the lookup tables add up."""
    header, _, centroids, codebooks, lists = readers.vector_index(data)
    dim, m, ksub = header["dim"], header["m"], 1 << header["nbits"]
    centroids = np.array(centroids, np.float64).reshape(-1, dim)
    codebooks = np.array(codebooks, np.float64).reshape(m, ksub, dim // m)
    l2 = header["metric"] == 1

    def search(q, k, nprobe):
        q = np.asarray(q, np.float64)
        if not l2:
            q = q / np.linalg.norm(q)
        coarse = ((centroids - q) ** 2).sum(1) if l2 else -(centroids @ q)
        rows = []
        for c in np.argsort(coarse, kind="stable")[:nprobe]:
            ids, codes = lists[c]
            for i, code in zip(ids, np.frombuffer(codes, np.uint8).reshape(-1, m)):
                x = centroids[c] + np.concatenate([codebooks[j, code[j]] for j in range(m)])
                rows.append((((q - x) ** 2).sum() if l2 else -(q @ x), i))
        rows.sort(key=lambda r: r[0])
        return [(i, d if l2 else -d) for d, i in rows[:k]]

    return search


def test_query_requests_stay_within_their_budget(built, server):
    # A term: the header with the router, one block, one record.
    with halcyra_tools.open(server.url + "cased.hyt") as index:
        assert index.search("Linux")
        assert index.stats.requests <= 4
    # N-grams on a split set: the manifest, then 3 requests per split searched.
    with halcyra_tools.open(server.url + "splits/") as index:
        assert index.search("Linux")
        s = index.stats
        assert 0 < s.splits_searched < s.splits_total
        assert s.requests <= 1 + 3 * s.splits_searched


def test_verify_finds_every_output_sound_locally_and_over_http(built, server):
    for where in ("dataset", "splits", "cased", "stream", "termsplits", "cased.hyt", "l2.hyvi", "ip.hyvi"):
        assert halcyra_tools.verify(built["root"] / where) == [], where
        assert halcyra_tools.verify(server.url + where + ("/" if "." not in where else "")) == [], where


def test_ranges_read_over_http_equal_the_file(built, server):
    """Random sets of ranges, overlapping, touching or apart: one request per
    call, the bytes of the local file."""
    data = (built["root"] / "splits" / "index.hyss").read_bytes()
    source = halcyra_tools.source.Client().source(server.url + "splits/index.hyss")
    rng = np.random.default_rng(3)
    for _ in range(40):
        starts = rng.integers(0, len(data) - 1, size=rng.integers(1, 20))
        ranges = [(int(a), int(min(rng.integers(0, 3000), len(data) - a))) for a in starts]
        before = source.counters.requests
        got = source.read_many(ranges)
        assert got == [data[a : a + n] for a, n in ranges]
        assert source.counters.requests - before == (1 if any(n for _, n in ranges) else 0)
    assert source.read_rest(0) == data
    with pytest.raises(halcyra_tools.FormatError) as e:
        source.read(len(data) - 5, 10)
    assert str(e.value) == (f"{server.url}splits/index.hyss: byte {len(data) - 5}: truncated: 10 bytes wanted here, "
                            f"but the file ends at byte {len(data)}")
