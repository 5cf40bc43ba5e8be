"""halcyra_tools on damaged input: the Roaring checks against the decoder and
the library, corrupt and truncated files, servers that misbehave, and the
command line's exit codes."""

import http.server
import json
import os
import random
import struct
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import halcyra
import halcyra_tools
from halcyra_tools import parse, roaring
from halcyra_tools.formats import NgramHeader, VectorHeader

ROOT = os.path.normpath(os.path.join(os.path.dirname(__file__), "..", ".."))
DOCS = [f"document {i} about {w} and {v}" for i, (w, v) in
        enumerate(zip(["cats", "dogs", "birds", "fish", "ants"] * 40, ["red", "green", "blue", "gold"] * 50))]


def test_checks_agree_with_the_decoder_and_the_library(tmp_path):
    # The library's bytes: every posting and tombstone set re-encodes identically.
    w = halcyra.SplitSetWriter(bloom_bits_per_key=0)
    for i in range(9000):
        w.add(f"x{i % 3}")
    for i in range(0, 9000, 2):
        w.delete(i)
    name, split, manifest = w.flush()
    blobs = [parse.roaring(p["summary"][5:])[0] for p in parse.manifest(manifest)[2]]
    library = [roaring.encode(blobs[0])]
    header = NgramHeader(split, name)
    for key, offset, length in np.frombuffer(split, halcyra_tools.formats.NGRAM_ENTRY, header.count, header.dict_at):
        library.append(split[offset : offset + length])
    for data in library:
        assert roaring.encode(roaring.decode_exact(data)) == data
    assert any(len(d) > 8192 for d in library)  # bitmap containers among them

    # Random sets and damaged copies: the batch check and the decoder agree.
    rng = random.Random(5)
    blobs = list(library)
    for _ in range(150):
        universe = rng.choice([1 << 14, 1 << 18, 1 << 32])
        n = min(rng.choice([0, 1, 5, 300, 5000, 20000]), universe // 2)
        blobs.append(roaring.encode(rng.sample(range(universe), n)))
    for data in list(blobs):
        for _ in range(3):
            damaged = bytearray(data)
            damaged[rng.randrange(len(damaged))] ^= 1 << rng.randrange(8)
            blobs.append(bytes(damaged))
        blobs.append(data[: rng.randrange(len(data))])
    joined = b"".join(blobs)
    offsets = np.cumsum([0] + [len(b) for b in blobs[:-1]])
    checked = roaring.check_many(joined, offsets, [len(b) for b in blobs])
    for i, data in enumerate(blobs):
        try:
            ids = roaring.decode_exact(data)
        except halcyra_tools.FormatError:
            assert not checked.ok[i], i
            continue
        assert checked.ok[i] and checked.cardinality[i] == len(ids), i
        if len(ids):
            assert (checked.minimum[i], checked.maximum[i]) == (ids[0], ids[-1])
    assert 0 < checked.ok.sum() < len(blobs)
    # A container of runs (never written by the library, read all the same).
    runs = struct.pack("<IBHHHHHHH", 12347, 1, 0, 4, 2, 5, 2, 9, 1)
    assert roaring.decode_exact(runs).tolist() == [5, 6, 7, 9, 10]


@pytest.fixture
def dataset(tmp_path):
    b = halcyra.Builder()
    b.add_many([(-i, t, t.encode(), {"kind": [t.split()[3]]}) for i, t in enumerate(DOCS)])
    b.build(str(tmp_path / "ds"))
    return tmp_path / "ds"


def problems(location):
    return [(p.file, p.offset, p.message) for p in halcyra_tools.verify(location)]


def test_truncated_posting(dataset):
    path = dataset / "index.hys"
    data = path.read_bytes()
    h = NgramHeader(data, "")
    entries = np.frombuffer(data, halcyra_tools.formats.NGRAM_ENTRY, h.count, h.dict_at)
    last_key, last_offset, _ = entries[-1].tolist()
    path.write_bytes(data[: last_offset + 3])
    assert problems(dataset) == [
        (str(path), last_offset + 3, f"postings end at byte {len(data)}, the file at {last_offset + 3}"),
        (str(path), h.dict_at + 20 * (h.count - 1) + 8, f"posting {h.count - 1} lies outside the file"),
    ]
    # A reader that needs the posting names the file and where it ends.
    index = halcyra_tools.open(dataset)
    with pytest.raises(halcyra_tools.FormatError) as e:
        index.index.search_keys([last_key])
    assert str(e.value) == f"{path}: byte {last_offset}: truncated: {len(data) - last_offset} bytes wanted here, " \
                           f"but the file ends at byte {last_offset + 3}"


def test_flipped_dictionary_byte(dataset):
    path = dataset / "index.hys"
    data = bytearray(path.read_bytes())
    h = NgramHeader(data, "")
    at = h.dict_at + 20 * 5 + 7  # the high byte of key 5
    data[at] ^= 0x80
    path.write_bytes(data)
    found = problems(dataset)
    assert found == [(str(path), h.dict_at + 20 * 6, "dictionary key 6 not above the key before it")]


def test_broken_summaries_and_sizes(tmp_path):
    s = halcyra.SplitSetBuilder(byte_cap=2048, name_prefix="p")
    for t in DOCS:
        s.add_faceted(t, {"kind": [t.split()[3]]})
    s.build(str(tmp_path))
    assert problems(tmp_path) == []
    manifest = bytearray((tmp_path / "index.hyss").read_bytes())
    _, _, splits = parse.manifest(manifest)
    m = halcyra_tools.formats.Manifest(bytes(manifest), "")
    first = m.splits[0]
    # Clear the first split's Bloom bits; the last split file grows a byte.
    k, bits = struct.unpack_from("<II", manifest, first["summary_at"] + 5)
    manifest[first["summary_at"] + 13 : first["summary_at"] + 13 + bits // 8] = bytes(bits // 8)
    (tmp_path / "index.hyss").write_bytes(manifest)
    last = splits[-1]
    with open(tmp_path / last["name"], "ab") as f:
        f.write(b"\0")
    keys = len(parse.ngram_index((tmp_path / first["name"]).read_bytes())[1])
    found = problems(tmp_path)
    manifest_path = str(tmp_path / "index.hyss")
    assert found[0][:2] == (manifest_path, first["summary_at"] + 5)
    assert found[0][2].startswith(f"Bloom filter of p-s00000.hys lacks {keys} of its {keys} keys")
    assert found[1:] == [
        (manifest_path, m.splits[-1]["entry_at"] + 24,
         f"{last['name']} is {last['byte_size'] + 1} bytes, the manifest says {last['byte_size']}"),
        (str(tmp_path / last["name"]), last["byte_size"],
         f"postings end at byte {last['byte_size']}, the file at {last['byte_size'] + 1}"),
    ]


def test_term_and_vector_damage(tmp_path):
    halcyra.write_term_index(str(tmp_path / "t.hyt"), list(enumerate(DOCS)))
    data = bytearray((tmp_path / "t.hyt").read_bytes())
    router_length = struct.unpack_from("<Q", data, 16)[0]
    data[40 + router_length - 1] ^= 1  # the FST's checksum
    (tmp_path / "t.hyt").write_bytes(data)
    ((_, offset, message),) = problems(tmp_path / "t.hyt")
    assert offset == 40 + router_length - 4 and message.startswith("FST checksum")
    with pytest.raises(halcyra_tools.FormatError) as e:
        halcyra_tools.open(tmp_path / "t.hyt").search("cats")
    assert str(e.value).startswith(f"{tmp_path / 't.hyt'}: byte {40 + router_length - 4}: FST checksum")

    v = halcyra.VectorBuilder(4, 2, 2, nbits=3, metric="l2")
    v.add_many([(i, [i % 3, i % 5, i % 7, 1.0]) for i in range(40)])
    v.build(str(tmp_path / "v.hyvi"))
    data = bytearray((tmp_path / "v.hyvi").read_bytes())
    h = VectorHeader(data, "")
    offset, count = struct.unpack_from("<QI", data, h.directory_at)
    data[offset + 4 * count + 1] = 200
    (tmp_path / "v.hyvi").write_bytes(data)
    assert problems(tmp_path / "v.hyvi") == [
        (str(tmp_path / "v.hyvi"), offset + 4 * count + 1, "code 200 in list 0, but there are 8 codewords")]


def test_records_found_past_long_terms(tmp_path):
    # Tiny blocks and long terms: a block's last record ends in the next
    # block's first entry, sometimes too far ahead to be read with the block.
    rng = random.Random(2)
    words = ["".join(rng.choice("abcdefgh") for _ in range(rng.choice([3, 40, 600]))) for _ in range(60)]
    docs = [(i, " ".join(rng.sample(words, 5))) for i in range(80)]
    b = halcyra.TermBuilder(block_cap=64)
    b.add_many(docs)
    b.finish(str(tmp_path / "long.hyt"))
    index = halcyra_tools.open(tmp_path / "long.hyt")
    assert len(index.index.router()) > 20 and problems(tmp_path / "long.hyt") == []
    for word in words:
        assert index.search(word) == [i for i, text in docs if word in text.split()]


def test_a_resumed_set_keeps_its_splits_records_and_verifies(tmp_path):
    # The streaming writer writes its own header flags (no facet flag, Bloom
    # as it was told); the batch-built splits it carries keep their records.
    s = halcyra.SplitSetBuilder(byte_cap=2048, name_prefix="p")
    for t in DOCS:
        s.add_faceted(t, {"kind": [t.split()[3]]})
    s.build(str(tmp_path))
    w = halcyra.SplitSetWriter.resume((tmp_path / "index.hyss").read_bytes(), bloom_bits_per_key=0)
    w.add(DOCS[0])
    name, split, manifest = w.flush()
    (tmp_path / name).write_bytes(split)
    (tmp_path / "index.hyss").write_bytes(manifest)
    assert halcyra_tools.verify(str(tmp_path)) == []
    assert halcyra_tools.open(str(tmp_path)).search(DOCS[0][:12])[-1] == len(DOCS)


def test_manifest_summaries_against_the_splits(tmp_path):
    s = halcyra.SplitSetBuilder(byte_cap=2048, name_prefix="p")
    for t in DOCS:
        s.add_faceted(t, {"kind": [t.split()[3]]})
    s.build(str(tmp_path))
    m = halcyra_tools.formats.Manifest((tmp_path / "index.hyss").read_bytes(), "")
    manifest = bytearray((tmp_path / "index.hyss").read_bytes())
    records = halcyra_tools.formats.summary_records(m.splits[1]["summary"], "", m.splits[1]["summary_at"])
    (presence,) = [at for tag, _, at in records if tag == 2]
    n = struct.unpack_from("<I", manifest, presence)[0]
    manifest[presence + 4 : presence + 12] = struct.pack("<Q", 1)  # another first key, still ascending
    struct.pack_into("<H", manifest, m.splits[2]["entry_at"] + 20, 1)  # tombstone flag without the record
    (tmp_path / "index.hyss").write_bytes(manifest)
    (tmp_path / "p-s00003.hyf").unlink()
    path = str(tmp_path / "index.hyss")
    assert problems(tmp_path) == [
        (path, presence, f"facet-presence list of p-s00001.hys ({n} keys) is not the set of its sidecar's "
                         f"categories ({n} keys)"),
        (path, m.splits[2]["entry_at"] + 20, "split p-s00002.hys: tombstone flag and tombstone record disagree"),
        (path, m.splits[3]["entry_at"], "p-s00003.hys: a facet-presence record but no sidecar"),
    ]


class Misbehaving(http.server.BaseHTTPRequestHandler):
    """Answers every GET according to the server's `mode`."""

    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        body = self.server.body
        mode = self.server.mode
        if mode == "hang":
            time.sleep(3)
            return
        if mode == "ignore-range":
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            return
        first, last = 0, 99
        if mode == "wrong-range":
            first, last = 100, 199
        self.send_response(206)
        self.send_header("Content-Range", f"bytes {first}-{last}/{len(body)}")
        self.send_header("Content-Length", "100")
        self.end_headers()
        self.wfile.write(body[first : first + (10 if mode == "cut" else 100)])
        if mode == "cut":
            self.close_connection = True


@pytest.mark.parametrize("mode, message", [
    ("ignore-range", "the server ignored the Range header (answered 200 with the whole body, {size} bytes, to a "
                     "request for bytes 0-4095); refusing to download it whole"),
    ("wrong-range", "asked for bytes 0-4095, the server answered bytes 100-199"),
    ("cut", "connection broke off after 10 of 100 bytes of the answer to bytes 0-4095"),
    ("hang", "no answer within 0.5 s asking for bytes 0-4095"),
])
def test_misbehaving_servers(dataset, mode, message):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Misbehaving)
    server.daemon_threads = True
    server.body = (dataset / "index.hys").read_bytes()
    server.mode = mode
    threading.Thread(target=server.serve_forever, daemon=True).start()
    url = f"http://127.0.0.1:{server.server_address[1]}/index.hys"
    try:
        start = time.monotonic()
        with pytest.raises(halcyra_tools.SourceError) as e:
            halcyra_tools.open(url, timeout=0.5)
        assert str(e.value) == f"{url}: " + message.format(size=len(server.body))
        assert time.monotonic() - start < 2.5
        report = halcyra_tools.check(url, timeout=0.5)
        assert report.unreadable and [str(p) for p in report.problems] == [str(e.value)]
    finally:
        server.shutdown()
        server.server_close()


def cli(*args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(halcyra.__file__), ROOT]))
    return subprocess.run([sys.executable, "-m", "halcyra_tools", *map(str, args)], capture_output=True, text=True,
                          env=env, timeout=120)


def test_command_line(dataset, tmp_path):
    ok = cli("verify", dataset, "--json")
    assert ok.returncode == 0 and json.loads(ok.stdout)["sound"] is True
    query = cli("query", dataset, "about cats", "--facet", "kind=cats", "--facet", "kind=dogs", "--limit", "3",
                "--records", "--json")
    ids = halcyra_tools.open(dataset).search("about cats", facets={"kind": ["cats", "dogs"]}, limit=3)
    assert json.loads(query.stdout) == {"ids": ids, "records": [dict(id=i, record=DOCS[i]) for i in ids]}
    assert json.loads(cli("inspect", dataset, "--json").stdout)["records"] == len(DOCS)
    (tmp_path / "junk.hys").write_bytes(b"JUNK" + bytes(60))
    bad = cli("verify", tmp_path / "junk.hys")
    assert bad.returncode == 2 and "not a halcyra file: unknown magic b'JUNK'" in bad.stdout
    (dataset / "records.idx").write_bytes((dataset / "records.idx").read_bytes()[:-1])
    broken = cli("verify", dataset)
    assert broken.returncode == 1
    assert f"{dataset / 'records.idx'}: byte {16 + 8 * (len(DOCS) + 1) - 1}: {len(DOCS)} records need" in broken.stdout
    missing = cli("query", tmp_path / "none", "x")
    assert missing.returncode == 2 and missing.stderr.startswith("error: ")
