"""Hostile bytes, failures at the Python boundary, unsafe paths and durability.

Where a crash or a memory limit is involved the work runs in a child process
under an address-space limit.
"""

import os
import random
import re
import shutil
import struct
import subprocess
import sys
import textwrap

import pytest

import halcyra
from halcyra import SplitSetWriter
from halcyra_tools import parse as readers
from test_splitset_writer import entry, flush, manifest_bytes, parse, record, split_bytes

# The sanitizer runtime reserves terabytes of address space up front, so an
# address-space limit cannot be applied under it.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
needs_rlimit = pytest.mark.skipif(UNDER_ASAN, reason="address-space limits do not combine with AddressSanitizer")


def run_child(code, limit_mb=None, timeout=120, data=b""):
    """Runs code in a fresh interpreter that imports halcyra from the same place,
    under an address-space limit of limit_mb, with data on its standard input;
    returns the completed process."""
    prelude = "import resource, sys\n"
    if limit_mb is not None:
        prelude += f"resource.setrlimit(resource.RLIMIT_AS, ({limit_mb << 20}, {limit_mb << 20}))\n"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(halcyra.__file__), os.path.dirname(__file__)]))
    done = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)], env=env, capture_output=True,
                          input=data, timeout=timeout)
    return subprocess.CompletedProcess(done.args, done.returncode, done.stdout.decode(), done.stderr.decode())


def full_runs(containers):
    """A portable bitmap of `containers` run containers, each covering all 65536 ids of its key."""
    out = struct.pack("<I", 12347 | (containers - 1) << 16) + b"\xff" * ((containers + 7) // 8)
    out += b"".join(struct.pack("<HH", key, 0xFFFF) for key in range(containers))
    header = len(out) + (4 * containers if containers >= 4 else 0)
    out += b"".join(struct.pack("<I", header + 6 * key) for key in range(containers)) if containers >= 4 else b""
    return out + struct.pack("<HHH", 1, 0, 0xFFFF) * containers


@needs_rlimit
@pytest.mark.parametrize("containers", [4096, 65536])
def test_resume_and_compact_of_run_tombstones_stay_within_their_input(containers):
    # A tombstone record of full run containers stands for 2^28 (58 KB) or
    # 2^32 (0.9 MB) ids. Resume reads only its largest id; compaction carries
    # the record as it is. Both within 300 MB of address space.
    payload = full_runs(containers)
    manifest = manifest_bytes([entry("split-d00000.hys", 0, 0, flags=1, summary=record(4, payload))], flags=8)
    child = run_child(f"""
        import halcyra, struct
        manifest = sys.stdin.buffer.read()
        w = halcyra.SplitSetWriter.resume(manifest)
        print(w.doc_count())
        empty = b"HYSI" + struct.pack("<HHII", 3, 3, 0, 512)
        name, body, out, removed = w.compact([("split-d00000.hys", empty)])
        print(len(out), manifest[-{len(payload)}:] in out, removed)
    """, limit_mb=300, data=manifest)
    assert child.returncode == 0, child.stderr
    doc_count, compacted = child.stdout.splitlines()
    assert int(doc_count) == min(containers << 16, 4294967295)
    size, carried, removed = compacted.split(" ", 2)
    assert int(size) < len(manifest) + 200 and carried == "True" and removed == "['split-d00000.hys']"


def test_tombstone_unions_keep_their_containers():
    # Two records: one with a full run container at key 1 and an array at key
    # 3, one with an array at key 1 and a run at key 2. Their union: key 1 a
    # run (the array's ids inside it), key 2 the run as it was, key 3 the
    # array as it was.
    a = struct.pack("<IBHHHH", 12347 | 1 << 16, 0b01, 1, 0xFFFF, 3, 1) + struct.pack("<HHHHH", 1, 0, 0xFFFF, 7, 9)
    b = struct.pack("<IBHHHH", 12347 | 1 << 16, 0b10, 1, 0, 2, 4) + struct.pack("<HHHH", 5, 1, 100, 4)
    splits = [entry("split-d00000.hys", 0, 0, flags=1, summary=record(4, a)),
              entry("split-d00001.hys", 0, 0, flags=1, summary=record(4, b))]
    w = SplitSetWriter.resume(manifest_bytes(splits, flags=8))
    empty = b"HYSI" + struct.pack("<HHII", 3, 3, 0, 512)
    _, _, manifest, _ = w.compact([("split-d00000.hys", empty), ("split-d00001.hys", empty)])
    _, [compacted] = parse(manifest)
    union = compacted["records"][4]
    assert readers.roaring_exact(union) == (list(range(1 << 16, 2 << 16)) + list(range((2 << 16) + 100, (2 << 16) + 105))
                                            + [(3 << 16) + 7, (3 << 16) + 9])
    # A run cookie with run flags for keys 1 and 2, no offsets (3 containers).
    assert struct.unpack_from("<IB", union) == (12347 | 2 << 16, 0b011)


def test_manifest_entries_may_not_share_summaries_or_names():
    # 500 entries on one 1 KB summary (or one name) would stand for 500 KB.
    summary = record(1, bytes(1019))
    splits = [entry(f"split-d{i:05}.hys", 1, i) for i in range(500)]
    m = bytearray(manifest_bytes([dict(splits[0], summary=summary)] + splits[1:]))
    for i in range(1, 500):  # entry i at 64 + 56 i: summary offset at 40, length at 48
        struct.pack_into("<QI", m, 64 + 56 * i + 40, 0, len(summary))
    with pytest.raises(ValueError) as e:
        SplitSetWriter.resume(bytes(m))
    assert str(e.value) == "malformed index: HYSS summary regions overlap"
    m = bytearray(manifest_bytes(splits))
    struct.pack_into("<IH", m, 64 + 56 * 1, 0, 16)  # the second name over the first
    with pytest.raises(ValueError) as e:
        SplitSetWriter.resume(bytes(m))
    assert str(e.value) == "malformed index: HYSS names overlap"


def test_compaction_refuses_ids_its_entry_never_had():
    # One document in the entry, a posting of ten: the next id would be one
    # the compacted split already uses.
    w = SplitSetWriter.resume(manifest_bytes([entry("split-d00000.hys", 1, 0)]))
    with pytest.raises(OSError) as e:
        w.compact([("split-d00000.hys", split_bytes({7: list(range(10))}))])
    assert str(e.value) == "HYSS compact: split-d00000.hys holds id 9, outside the ids 0 to 0 of its manifest entry"
    assert w.doc_count() == 1
    w = SplitSetWriter.resume(manifest_bytes([entry("split-d00000.hys", 0, 5)]))
    with pytest.raises(OSError) as e:
        w.compact([("split-d00000.hys", split_bytes({7: [0]}))])
    assert str(e.value) == "HYSS compact: split-d00000.hys holds id 5, but its manifest entry has no documents"
    # Two keys on one posting's bytes: many such keys would make a small input
    # stand for a huge merge.
    shared = bytearray(split_bytes({7: [0], 8: [0]}))
    first_offset = struct.unpack_from("<Q", shared, 16 + 8 + 8)[0]
    struct.pack_into("<Q", shared, 16 + 8 + 20 + 8, first_offset)
    w = SplitSetWriter.resume(manifest_bytes([entry("split-d00000.hys", 1, 0)]))
    with pytest.raises(OSError) as e:
        w.compact([("split-d00000.hys", bytes(shared))])
    assert str(e.value) == "HYSS compact: split-d00000.hys has postings that share bytes"


def test_split_numbers_never_wrap_or_repeat():
    w = SplitSetWriter.resume(manifest_bytes([entry("split-d18446744073709551615.hys", 1, 0),
                                              entry("split-c18446744073709551614.hys", 1, 1)]))
    w.add("one")
    with pytest.raises(OSError) as e:
        w.flush()
    assert str(e.value) == "HYSS flush: delta split numbers are used up"
    assert w.memtable_doc_count() == 1
    name, _, _, _ = w.compact([])
    assert name == "split-c18446744073709551615.hys"
    with pytest.raises(OSError) as e:
        w.compact([])
    assert str(e.value) == "HYSS compact: compacted split numbers are used up"


# flush and compact under memory pressure: at every failure point the writer
# is left as it was, and the retry gives the bytes of a writer that never
# failed. The documents are random CJK text, whose trigrams never repeat, so
# every posting stays inline in the memtable.
PRESSURE = """
    import ctypes, halcyra, random, resource

    # Large blocks mapped anew each time (M_MMAP_THRESHOLD fixed at 64 KiB),
    # not carved from memory freed earlier, so that every call needs new
    # address space and meets the limit.
    ctypes.CDLL("libc.so.6").mallopt(-3, 1 << 16)

    def vm_bytes():
        with open("/proc/self/status") as f:
            return int(next(l for l in f if l.startswith("VmSize:")).split()[1]) << 10

    def writer():
        rng = random.Random(5)
        w = halcyra.SplitSetWriter()
        for _ in range(200):
            w.add("".join(chr(0x4E00 + rng.randrange(20000)) for _ in range(1000)))
        for doc in (3, 77):
            w.delete(doc)
        return w

    def state(w):
        return w.memtable_bytes(), w.memtable_doc_count(), w.doc_count()

    def under_pressure(w, call):
        before, failures, slack = state(w), 0, 0
        while True:
            resource.setrlimit(resource.RLIMIT_AS, (vm_bytes() + slack, resource.RLIM_INFINITY))
            try:
                result = call(w)
            except MemoryError:
                result = None
            resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
            if result is not None:
                return result, failures
            failures += 1
            assert state(w) == before, (state(w), before)
            slack += 1 << 20

    twin = writer()
    expected = twin.flush()
    w = writer()
    got, failures = under_pressure(w, lambda w: w.flush())
    assert got == expected and failures > 3, failures
    for _ in range(300):
        twin.add("x" * 20)
        w.add("x" * 20)
    expected = twin.flush()
    assert w.flush() == expected
    inputs = [got[:2], expected[:2]]
    expected = twin.compact(inputs)
    got, failures = under_pressure(w, lambda w: w.compact(inputs))
    assert got == expected and failures > 3, failures
    print("ok")
"""


@needs_rlimit
def test_flush_and_compact_change_nothing_until_their_result_exists():
    child = run_child(PRESSURE, timeout=300)
    assert child.returncode == 0 and child.stdout.strip() == "ok", child.stderr


def test_paths_with_a_nul_and_names_that_leave_the_directory(tmp_path):
    os.chdir(tmp_path)
    victim = tmp_path / "victim"
    victim.write_bytes(b"keep")
    calls = [
        lambda: halcyra.write_term_index("victim\x00.hyt", [(0, "a")]),
        lambda: halcyra.VectorBuilder(2, 1, 1).build("victim\x00.hyvi"),
        lambda: halcyra.write_hyvi_from_faiss("victim\x00", 2, 1, 1, b"", b"", b"", b"", b""),
        lambda: halcyra.Builder().build("made\x00dir"),
        lambda: halcyra.SplitSetBuilder().build("made\x00dir"),
        lambda: halcyra.SplitSetBuilder().build("out", manifest_name="index\x00"),
    ]
    for call in calls:
        with pytest.raises(ValueError) as e:
            call()
        assert str(e.value) == "embedded null byte"
    # A refused path leaves the builder as it was.
    t = halcyra.TermBuilder()
    t.add_many([(0, "kept")])
    with pytest.raises(ValueError) as e:
        t.finish("victim\x00.hyt")
    assert str(e.value) == "embedded null byte"
    assert t.term_count() == 1
    b = halcyra.SplitSetBuilder()
    b.add("kept")
    with pytest.raises(ValueError) as e:
        b.build("out", manifest_name="../escaped")
    assert str(e.value) == "manifest_name may not contain '/'"
    assert b.doc_count() == 1
    for make in (halcyra.SplitSetBuilder, halcyra.TermSplitSetBuilder, SplitSetWriter,
                 lambda name_prefix: SplitSetWriter.resume(manifest_bytes([]), name_prefix=name_prefix)):
        for prefix, message in (("../escaped", "name_prefix may not contain '/'"), ("a\x00b", "embedded null byte")):
            with pytest.raises(ValueError) as e:
                make(name_prefix=prefix)
            assert str(e.value) == message
    assert victim.read_bytes() == b"keep"
    assert sorted(os.listdir(tmp_path)) == ["victim"]


@pytest.mark.skipif(shutil.which("strace") is None, reason="strace is not installed")
def test_every_file_and_directory_entry_reaches_stable_storage(tmp_path):
    # Each file is synced before it is closed, and so is the directory that
    # holds it, as is each directory's parent once the directory is made.
    code = f"""
        import halcyra
        b = halcyra.Builder()
        b.add(1, "hello world", b"r", {{"f": ["x"]}})
        b.build("{tmp_path}/a/b")
        s = halcyra.SplitSetBuilder(byte_cap=200)
        for t in ("one doc", "two docs"):
            s.add(t)
        s.build("{tmp_path}/s")
        halcyra.write_term_index("{tmp_path}/t/index.hyt", [(0, "a")])
    """
    trace = tmp_path / "trace"
    env = dict(os.environ, PYTHONPATH=os.path.dirname(halcyra.__file__))
    # -y names the file behind each descriptor, so that no table of descriptors is kept
    # here (threads open, sync and close at once, and their lines interleave).
    done = subprocess.run(["strace", "-f", "-qq", "-y", "-o", str(trace), "-e", "trace=fsync", sys.executable,
                           "-c", textwrap.dedent(code)], env=env, capture_output=True, text=True, timeout=120)
    if done.returncode != 0 and "ptrace" in done.stderr:
        pytest.skip("tracing is not permitted here")
    assert done.returncode == 0, done.stderr
    synced, pending = set(), {}
    for line in trace.read_text().splitlines():
        # Calls of threads running at once come in two pieces: "PID call(... <unfinished ...>"
        # and later "PID <... call resumed>...".
        pid, _, line = line.partition(" ")
        line = line.lstrip()
        if line.endswith("<unfinished ...>"):
            pending[pid] = line[:-len("<unfinished ...>")].rstrip()
            continue
        resumed = re.match(r"<\.\.\. \w+ resumed>", line)
        if resumed:
            line = pending.pop(pid, "") + line[resumed.end():]
        fsync = re.search(r"fsync\(\d+<([^>]+)>\)\s*=\s*0", line)
        if fsync:
            synced.add(fsync.group(1))
    written = {str(p) for p in tmp_path.rglob("*") if p.is_file() and p.name != "trace"}
    assert written and written <= synced
    directories = {str(tmp_path / d) for d in ("a", "a/b", "s", "t")} | {str(tmp_path)}
    assert directories <= synced
