"""`merge_split_sets(manifests, out)`: split sets built apart (on several
machines, or one per slice of a corpus) joined into one set by a new manifest.
No split file is read or rewritten: a split's postings hold ids relative to
its entry's first id, so moving a whole set up the id space only changes its
manifest entries.

    merge_split_sets(["part0/index.hyss", "part1/index.hyss"], "out/index.hyss")

The parts are taken in the order given: the ids of each part follow the
documents of the parts before it. The split files must end up beside the
merged manifest (split names are relative to it); the merge only joins the
manifests.

What is kept and what is derived:

- Entries keep their order (part by part), names, sizes, epochs, flags and
  summaries byte for byte; their first and last ids move up by the documents
  before their part.
- A part's documents: one past its largest id, taken over the entries that
  hold documents and over its tombstone records (the id a writer resuming the
  part would hand out next, so that no tombstone of a part can hide a
  document of the next one). A part without documents moves nothing.
- Ids that cannot move are refused where they would have to: compacted
  splits (postings holding absolute ids) and tombstone records (absolute ids
  in a summary carried byte for byte) are only allowed in parts that nothing
  precedes but empty parts.
- Gram size, body kind, case folding, policy, sort column and byte cap must
  be the same in every part (the byte cap is recorded only, but a manifest
  records one for all its splits).
- Header flags are OR'ed: Bloom filters requested by some part, facet
  sidecars in some part, tombstones in some part.
- Base count: the sum of the parts'. Base splits lead a set, so a part with
  delta or compacted splits may only be followed by parts without base splits.
- Tiers: under the tiered policy base splits are numbered on across parts as
  one build numbers its splits (capped at 65535), and the tier count is the
  sum of the parts' (capped alike); other entries keep their tiers.

Merging one part gives back its bytes."""

import os

import numpy as np

from . import roaring
from .errors import FormatError, NotFound, SourceError, ToolsError
from .formats import (
    MANIFEST_CASE_SENSITIVE, MANIFEST_ENTRY, MANIFEST_MAGIC, SPLIT_ABSOLUTE_IDS, SPLIT_TOMBSTONES, SUMMARY_TOMBSTONES,
    Manifest, summary_records,
)
from .source import check_name

__all__ = ["merge_split_sets", "MergeError", "documents"]

ID_LIMIT = 0xFFFFFFFF  # ids are 32-bit and this one is never handed out
TIER_CAP = 0xFFFF
BLOB_LIMIT = 1 << 32
POLICIES = {0: "tiered", 1: "stable_key"}
BODIES = {0: "ngram", 1: "terms"}


class MergeError(ToolsError, ValueError):
    """The parts are sound but cannot be joined into one set."""


class _Part:
    """One input manifest, parsed and checked."""

    def __init__(self, label, data):
        self.label = label
        m = self.manifest = Manifest(data, label)
        if len(data) != m.size:
            raise FormatError(label, m.size, f"{len(data) - m.size} bytes after the manifest's end")
        h = self.header = m.header
        _disjoint(label, [(s["name_offset"], len(s["name"].encode())) for s in m.splits], h.strings_at, "name")
        _disjoint(label, [(s["summary_offset"], len(s["summary"])) for s in m.splits], h.summaries_at, "summary")
        self.tombstone_ids = 0  # one past the largest tombstoned id
        self.moving = []        # (entry, what keeps it in place) for entries whose ids cannot move
        for s in m.splits:
            check_name(s["name"], label, s["entry_at"])
            if s["flags"] & ~(SPLIT_TOMBSTONES | SPLIT_ABSOLUTE_IDS):
                raise FormatError(label, s["entry_at"] + 20, f"split {s['name']}: unknown flags {s['flags']:#x}")
            records = {tag: (payload, at) for tag, payload, at in summary_records(s["summary"], label, s["summary_at"])}
            if SUMMARY_TOMBSTONES in records:
                payload, at = records[SUMMARY_TOMBSTONES]
                ids = roaring.decode_exact(payload, label, at)
                if len(ids):
                    self.tombstone_ids = max(self.tombstone_ids, int(ids[-1]) + 1)
            if s["flags"] & SPLIT_ABSOLUTE_IDS:
                self.moving.append((s, "holds absolute ids (a compacted split)"))
            elif SUMMARY_TOMBSTONES in records or s["flags"] & SPLIT_TOMBSTONES:
                self.moving.append((s, "carries tombstones, which name absolute ids"))
        self.documents = max([s["last_id"] + 1 for s in m.splits if s["docs"]] + [self.tombstone_ids])
        # The sort column as the writer left it: a name of length 0 still carries a number and flag.
        has_sortcol = bool(h.sortcol_length or h.sortcol_offset or h.sortcol_number or h.sortcol_flag)
        self.sortcol = (m.strings[h.sortcol_offset : h.sortcol_offset + h.sortcol_length], h.sortcol_number,
                        h.sortcol_flag) if has_sortcol else None

    def settings(self):
        """The fields every part must share, as (name, shown value, compared value)."""
        h = self.header
        sortcol = self.sortcol if self.sortcol != (b"", 0, 0) else None
        shown = None if sortcol is None else (sortcol[0].decode(errors="replace"), sortcol[1], bool(sortcol[2] & 1))
        case = "case-sensitive" if h.flags & MANIFEST_CASE_SENSITIVE else "folded"
        return [("body kind", BODIES[h.body_kind], h.body_kind), ("gram size", h.gram_size, h.gram_size),
                ("case folding", case, case), ("policy", POLICIES[h.policy], h.policy),
                ("sortcol", shown, sortcol), ("byte cap", h.byte_cap, h.byte_cap)]


def _disjoint(label, ranges, base, what):
    """Two entries sharing name or summary bytes would be copied twice: refused as the library's parser does."""
    spans = sorted((o, o + n) for o, n in ranges if n)
    for (a, a_end), (b, _) in zip(spans, spans[1:]):
        if b < a_end:
            raise FormatError(label, base + b, f"entries share {what} bytes")


def _read(item, i):
    if isinstance(item, (bytes, bytearray, memoryview)):
        return f"input {i}", bytes(item)
    path = os.fspath(item)
    if isinstance(path, bytes):
        path = os.fsdecode(path)
    if os.path.isdir(path):
        path = os.path.join(path, "index.hyss")
    try:
        with open(path, "rb") as f:
            return path, f.read()
    except FileNotFoundError:
        raise NotFound(path) from None
    except OSError as e:
        raise SourceError(path, f"cannot read: {e.strerror}") from None


def documents(manifest):
    """The documents of a split set (manifest bytes): the id a set joined
    after it would start at."""
    return _Part("<bytes>", bytes(manifest)).documents


def merge_split_sets(manifests, out=None):
    """One manifest for the split sets `manifests` (paths of `.hyss` files or
    of folders holding `index.hyss`, or manifest bytes), in the order given.
    Writes it to the path `out` (replacing the file in one step, once it is
    on disk) and returns None, or returns its bytes when `out` is None.
    Raises `MergeError` for parts that cannot be joined, `FormatError` for a
    damaged part and `SourceError` for one that cannot be read."""
    if isinstance(manifests, (bytes, bytearray, memoryview, str, os.PathLike)):
        raise TypeError("manifests is a list of paths or of manifest bytes")
    parts = [_Part(*_read(item, i)) for i, item in enumerate(manifests)]
    if not parts:
        raise MergeError("no split sets to merge")
    data = _merge(parts)
    if out is None:
        return data
    _write(os.fspath(out), data)
    return None


def _merge(parts):
    first = parts[0]
    reference = first.settings()
    for part in parts[1:]:
        for (field, shown, value), (_, first_shown, first_value) in zip(part.settings(), reference):
            if value != first_value:
                raise MergeError(f"{part.label}: {field} {shown} differs from {first_shown} in {first.label}")

    tiered = first.header.policy == 0
    entries, names, owner = [], [], {}
    flags = base_count = tier_count = 0
    shift = 0
    trailing = None  # a part whose delta or compacted splits follow its base splits
    for part in parts:
        h, splits = part.header, part.manifest.splits
        if h.base_count and trailing is not None:
            raise MergeError(f"{part.label}: its base splits would follow the delta or compacted splits of "
                             f"{trailing.label}; base splits lead a set")
        if h.count > h.base_count:
            trailing = part
        if shift and part.moving:
            s, reason = part.moving[0]
            raise MergeError(f"{part.label}: split {s['name']} {reason}; they cannot move up by {shift}")
        if shift + part.documents > ID_LIMIT:
            raise MergeError(f"{part.label}: its ids would pass the 32-bit id space ({shift} documents before it, "
                             f"{part.documents} in it)")
        for i, s in enumerate(splits):
            if s["name"] in owner:
                where = "twice in" if owner[s["name"]] is part else f"in both {owner[s['name']].label} and"
                raise MergeError(f"split name {s['name']} is {where} {part.label}")
            owner[s["name"]] = part
            moves = not s["flags"] & SPLIT_ABSOLUTE_IDS
            tier = s["tier"]
            if tiered and i < h.base_count:
                tier = min(base_count + i, TIER_CAP)
            entries.append(dict(s, first_id=s["first_id"] + shift * moves, last_id=s["last_id"] + shift * moves,
                                tier=tier))
            names.append(s["name"].encode())
        flags |= h.flags
        base_count += h.base_count
        tier_count += h.tier_count
        shift += part.documents
    return _manifest(first, flags, min(tier_count, TIER_CAP), base_count, entries, names)


def _manifest(first, flags, tier_count, base_count, entries, names):
    """The manifest bytes, laid out as the library writes them."""
    h = first.header
    n = len(entries)
    if n > ID_LIMIT:
        raise MergeError("the merged set has more splits than a manifest can list")
    strings = b"".join(names)
    sortcol_offset = 0
    if first.sortcol is not None:
        sortcol_offset = len(strings)
        strings += first.sortcol[0]
    if len(strings) >= BLOB_LIMIT:
        raise MergeError("the merged string blob exceeds the 32-bit limit")
    lengths = np.array([len(name) for name in names], np.uint64)
    sizes = np.array([len(e["summary"]) for e in entries], np.uint64)
    table = np.zeros(n, MANIFEST_ENTRY)
    table["name_offset"] = np.cumsum(lengths) - lengths
    table["name_length"] = lengths
    for field in ("tier", "docs", "first_id", "last_id", "flags", "byte_size", "epoch"):
        table[field] = [e[field] for e in entries]
    table["summary_offset"] = np.where(sizes > 0, np.cumsum(sizes) - sizes, 0)
    table["summary_length"] = sizes
    summary_length = int(sizes.sum())
    sortcol_number, sortcol_flag = first.sortcol[1:] if first.sortcol is not None else (0, 0)
    header = b"".join([
        MANIFEST_MAGIC,
        np.array([1, flags], "<u2").tobytes(),
        bytes([h.policy, h.body_kind]),
        np.array([tier_count], "<u2").tobytes(),
        np.array([n, base_count, len(strings)], "<u4").tobytes(),
        np.array([summary_length, h.byte_cap], "<u8").tobytes(),
        np.array([sortcol_offset], "<u4").tobytes(),
        np.array([len(first.sortcol[0]) if first.sortcol else 0, sortcol_number], "<u2").tobytes(),
        bytes([sortcol_flag]),
        np.array([h.gram_size], "<u2").tobytes(),
        bytes(13),
    ])
    assert len(header) == 64
    return b"".join([header, table.tobytes(), strings] + [e["summary"] for e in entries])


def _write(path, data):
    """Writes the file whole under a temporary name, syncs it and renames it
    over `path`: a reader sees the old manifest or the new one, never a part."""
    folder = os.path.dirname(os.path.abspath(path))
    tmp = os.path.join(folder, f".{os.path.basename(path)}.{os.getpid()}.{os.urandom(4).hex()}.tmp")
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)  # the umask applies, as to the splits
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except FileNotFoundError:
            pass
        raise
    dir_fd = os.open(folder, os.O_RDONLY)
    try:
        os.fsync(dir_fd)
    finally:
        os.close(dir_fd)
