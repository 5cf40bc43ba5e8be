"""Portable Roaring bitmaps, the encoding of every posting and tombstone set.

    cookie u32      12346: no run containers, container count n u32 follows
                    12347 in the low 16 bits: n - 1 in the high 16 bits, then a
                    run flag per container, ceil(n / 8) bytes
    descriptors     n x (key u16, cardinality - 1 u16), keys strictly ascending
    offsets         n x u32 from the bitmap's first byte to each container;
                    present with cookie 12346, or with runs when n >= 4
    containers      in key order: run (count r u16, r x (start u16, length - 1
                    u16)), bitmap (cardinality > 4096: 1024 x u64) or array
                    (cardinality x u16, strictly ascending)

`decode` reads one bitmap and checks every invariant; `check_many` checks a
whole file's worth of bitmaps at once with numpy and falls back to `decode`
only for the rare bitmap with runs and for the ones it finds broken, so that
the problem is described precisely.
"""

import numpy as np

from .errors import FormatError

COOKIE = 12346
COOKIE_RUNS = 12347
MAX_ARRAY = 4096
BITMAP_BYTES = 8192
EMPTY = b"\x3a\x30\x00\x00\x00\x00\x00\x00"

_POPCOUNT = np.array([bin(i).count("1") for i in range(256)], np.uint8)
_LOWEST = np.array([(i & -i).bit_length() - 1 if i else 0 for i in range(256)], np.int64)
_HIGHEST = np.array([i.bit_length() - 1 if i else 0 for i in range(256)], np.int64)
_U16 = np.dtype("<u2")
_U32 = np.dtype("<u4")


def decode(data, pos=0, end=None, file="<bytes>", base=0, exact=False):
    """The ids (ascending, uint32) of the bitmap at data[pos:end], and the
    position after it. `base` is the file offset of data[0], for messages.
    With `exact`, bytes left before `end` are an error."""
    end = len(data) if end is None else end

    def fail(at, message):
        raise FormatError(file, base + at, f"posting bitmap: {message}")

    start = pos
    if end - pos < 4:
        fail(pos, "shorter than its cookie")
    cookie = int.from_bytes(data[pos : pos + 4], "little")
    pos += 4
    runs = None
    if cookie & 0xFFFF == COOKIE_RUNS:
        n = (cookie >> 16) + 1
        nflags = (n + 7) // 8
        if end - pos < nflags:
            fail(pos, "truncated in its run flags")
        runs = data[pos : pos + nflags]
        pos += nflags
    elif cookie == COOKIE:
        if end - pos < 4:
            fail(pos, "truncated in its container count")
        n = int.from_bytes(data[pos : pos + 4], "little")
        if n > 65536:
            fail(pos, f"claims {n} containers, more than 65536")
        pos += 4
    else:
        fail(pos - 4, f"unknown cookie {cookie}")
    if end - pos < 4 * n:
        fail(pos, "truncated in its container descriptors")
    desc = np.frombuffer(data, _U16, 2 * n, pos).reshape(n, 2).astype(np.uint32)
    desc_at = pos
    pos += 4 * n
    keys, cards = desc[:, 0], desc[:, 1] + 1
    if n > 1 and not (keys[1:] > keys[:-1]).all():
        i = int(np.argmin(keys[1:] > keys[:-1])) + 1
        fail(desc_at + 4 * i, "container keys not strictly ascending")
    offsets = None
    if runs is None or n >= 4:
        if end - pos < 4 * n:
            fail(pos, "truncated in its container offsets")
        offsets = np.frombuffer(data, _U32, n, pos)
        offsets_at = pos
        pos += 4 * n
    parts = []
    for i in range(n):
        key, card = int(keys[i]), int(cards[i])
        if offsets is not None and int(offsets[i]) != pos - start:
            fail(offsets_at + 4 * i, f"container {i} offset {int(offsets[i])}, but it starts at {pos - start}")
        if runs is not None and runs[i >> 3] >> (i & 7) & 1:
            if end - pos < 2:
                fail(pos, "run container truncated")
            r = int.from_bytes(data[pos : pos + 2], "little")
            if r == 0 or end - pos - 2 < 4 * r:
                fail(pos, "run container truncated" if r else "run container without runs")
            pairs = np.frombuffer(data, _U16, 2 * r, pos + 2).reshape(r, 2).astype(np.int64)
            starts, lasts = pairs[:, 0], pairs[:, 0] + pairs[:, 1]
            if (lasts > 0xFFFF).any():
                fail(pos, "run passes the end of its container")
            if r > 1 and not (starts[1:] > lasts[:-1]).all():
                fail(pos, "runs overlap or are out of order")
            if int((lasts - starts + 1).sum()) != card:
                fail(pos, "run container cardinality does not match its runs")
            lengths = lasts - starts + 1
            values = np.repeat(starts - np.cumsum(lengths) + lengths, lengths) + np.arange(card)
            parts.append((key << 16) | values.astype(np.uint32))
            pos += 2 + 4 * r
        elif card > MAX_ARRAY:
            if end - pos < BITMAP_BYTES:
                fail(pos, "bitmap container truncated")
            bits = np.unpackbits(np.frombuffer(data, np.uint8, BITMAP_BYTES, pos), bitorder="little")
            values = np.flatnonzero(bits).astype(np.uint32)
            if len(values) != card:
                fail(pos, f"bitmap container holds {len(values)} ids, its descriptor says {card}")
            parts.append((key << 16) | values)
            pos += BITMAP_BYTES
        else:
            if end - pos < 2 * card:
                fail(pos, "array container truncated")
            values = np.frombuffer(data, _U16, card, pos).astype(np.uint32)
            if card > 1 and not (values[1:] > values[:-1]).all():
                fail(pos, "array container not strictly ascending")
            parts.append((key << 16) | values)
            pos += 2 * card
    if exact and pos != end:
        fail(pos, f"{end - pos} stray bytes after the bitmap")
    ids = np.concatenate(parts) if parts else np.zeros(0, np.uint32)
    return ids.astype(np.uint32, copy=False), pos


def decode_exact(data, file="<bytes>", base=0):
    return decode(data, 0, len(data), file, base, exact=True)[0]


def encode(ids):
    """The portable bytes of a set of ids, as the library writes them (no run
    containers). For tests and for describing expected bytes."""
    ids = np.unique(np.asarray(ids, np.uint64)).astype(np.uint32)
    highs = ids >> 16
    keys, starts, counts = np.unique(highs, return_index=True, return_counts=True)
    n = len(keys)
    out = bytearray()
    out += COOKIE.to_bytes(4, "little") + n.to_bytes(4, "little")
    for key, count in zip(keys, counts):
        out += int(key).to_bytes(2, "little") + int(count - 1).to_bytes(2, "little")
    at = 8 + 8 * n
    bodies = []
    for start, count in zip(starts, counts):
        low = (ids[start : start + count] & 0xFFFF).astype(np.uint16)
        if count > MAX_ARRAY:
            bits = np.zeros(BITMAP_BYTES * 8, np.uint8)
            bits[low] = 1
            body = np.packbits(bits, bitorder="little").tobytes()
        else:
            body = low.astype("<u2").tobytes()
        out += at.to_bytes(4, "little")
        at += len(body)
        bodies.append(body)
    return bytes(out) + b"".join(bodies)


def _g16(u8, pos):
    return u8[pos].astype(np.uint32) | (u8[pos + 1].astype(np.uint32) << 8)


def _g32(u8, pos):
    return (u8[pos].astype(np.uint32) | (u8[pos + 1].astype(np.uint32) << 8)
            | (u8[pos + 2].astype(np.uint32) << 16) | (u8[pos + 3].astype(np.uint32) << 24))


class Checked:
    """The outcome of `check_many`: per bitmap its cardinality, smallest and
    largest id (meaningful where `ok` and the cardinality is not 0), and the
    problems found as (bitmap index, FormatError)."""

    def __init__(self, count):
        self.ok = np.ones(count, bool)
        self.cardinality = np.zeros(count, np.int64)
        self.minimum = np.zeros(count, np.int64)
        self.maximum = np.zeros(count, np.int64)
        self.problems = []


def check_many(data, offsets, lengths, file="<bytes>", chunk_values=1 << 22):
    """Checks the bitmaps at data[offsets[i] : offsets[i] + lengths[i]], each
    filling its range exactly. The ranges must lie inside data."""
    offsets = np.asarray(offsets, np.int64)
    lengths = np.asarray(lengths, np.int64)
    count = len(offsets)
    out = Checked(count)
    if count == 0:
        return out
    u8 = np.frombuffer(data, np.uint8)
    suspect = np.zeros(count, bool)  # handed to `decode` for the verdict
    suspect |= lengths < 8
    safe = ~suspect
    cookie = np.zeros(count, np.uint32)
    cookie[safe] = _g32(u8, offsets[safe])
    suspect |= cookie != COOKIE  # runs (rare) and garbage go the slow way
    plain = np.flatnonzero(~suspect)
    n = _g32(u8, offsets[plain] + 4).astype(np.int64)
    too_big = (n > 65536) | (8 + 8 * n > lengths[plain])
    suspect[plain[too_big]] = True
    plain, n = plain[~too_big], n[~too_big]

    # Every container of every plain bitmap, in order.
    total = int(n.sum())
    owner = np.repeat(np.arange(len(plain)), n)
    first = np.cumsum(n) - n
    j = np.arange(total, dtype=np.int64) - np.repeat(first, n)
    boff = offsets[plain][owner]
    desc = boff + 8 + 4 * j
    key = _g16(u8, desc).astype(np.int64)
    card = _g16(u8, desc + 2).astype(np.int64) + 1
    stored = _g32(u8, desc + 4 * n[owner]).astype(np.int64)
    size = np.where(card > MAX_ARRAY, BITMAP_BYTES, 2 * card)
    csum = np.cumsum(size)
    before = csum - size - np.repeat(np.concatenate([[0], csum])[first], n)
    expected = 8 + 8 * n[owner] + before
    bad_container = stored != expected
    if total > 1:
        same = owner[1:] == owner[:-1]
        bad_container[1:] |= same & (key[1:] <= key[:-1])
    ends = np.zeros(len(plain), np.int64)
    np.add.at(ends, owner, size)
    bad_bitmap = (8 + 8 * n + ends) != lengths[plain]
    bad_bitmap[owner[bad_container]] = True
    # Containers of bitmaps whose layout is wrong are not read any further.
    good_c = ~bad_bitmap[owner]
    cstart = boff + expected  # absolute position of each container
    low_min = np.zeros(total, np.int64)
    low_max = np.zeros(total, np.int64)

    arrays = np.flatnonzero(good_c & (card <= MAX_ARRAY))
    _check_arrays(data, cstart, card, arrays, low_min, low_max, bad_container, chunk_values)
    bitmaps = np.flatnonzero(good_c & (card > MAX_ARRAY))
    for i in range(0, len(bitmaps), 256):
        sel = bitmaps[i : i + 256]
        rows = np.stack([u8[a : a + BITMAP_BYTES] for a in cstart[sel].tolist()])
        ones = _POPCOUNT[rows].sum(axis=1, dtype=np.int64)
        bad_container[sel[ones != card[sel]]] = True
        filled = rows != 0
        first_byte = np.argmax(filled, axis=1)
        last_byte = BITMAP_BYTES - 1 - np.argmax(filled[:, ::-1], axis=1)
        r = np.arange(len(sel))
        low_min[sel] = 8 * first_byte + _LOWEST[rows[r, first_byte]]
        low_max[sel] = 8 * last_byte + _HIGHEST[rows[r, last_byte]]

    bad_bitmap[owner[bad_container]] = True
    cards = np.zeros(len(plain), np.int64)
    np.add.at(cards, owner, card)
    suspect[plain[bad_bitmap]] = True
    out.cardinality[plain] = cards
    nonempty = n > 0
    firsts = first[nonempty]
    lasts = firsts + n[nonempty] - 1
    idx = plain[nonempty]
    out.minimum[idx] = (key[firsts] << 16) | low_min[firsts]
    out.maximum[idx] = (key[lasts] << 16) | low_max[lasts]

    for i in np.flatnonzero(suspect):
        a, b = int(offsets[i]), int(offsets[i] + lengths[i])
        try:
            ids, _ = decode(data, a, b, file, 0, exact=True)
        except FormatError as e:
            out.ok[i] = False
            out.problems.append((int(i), e))
            continue
        out.cardinality[i] = len(ids)
        if len(ids):
            out.minimum[i], out.maximum[i] = int(ids[0]), int(ids[-1])
    return out


def _check_arrays(data, cstart, card, arrays, low_min, low_max, bad_container, chunk_values):
    """Array containers: values strictly ascending. The values of a container
    share the parity of its position, so they are read through one of two
    little-endian u16 views of the file."""
    if len(arrays) == 0:
        return
    views = (np.frombuffer(data, _U16, len(data) // 2, 0), np.frombuffer(data, _U16, (len(data) - 1) // 2, 1))
    for parity in (0, 1):
        sel = arrays[(cstart[arrays] & 1) == parity]
        if len(sel) == 0:
            continue
        view = views[parity]
        counts = card[sel]
        bounds = np.searchsorted(np.cumsum(counts), np.arange(chunk_values, int(counts.sum()), chunk_values))
        for part in np.split(np.arange(len(sel)), bounds):
            if len(part) == 0:
                continue
            s = sel[part]
            c = card[s]
            at = (cstart[s] - parity) // 2
            firsts = np.cumsum(c) - c
            index = np.repeat(at - firsts, c) + np.arange(int(c.sum()))
            values = view[index]
            low_min[s] = values[firsts]
            low_max[s] = values[firsts + c - 1]
            if len(values) > 1:
                rising = values[1:] > values[:-1]
                rising[firsts[1:] - 1] = True  # pairs across two containers
                broken = np.flatnonzero(~rising)
                if len(broken):
                    bad_container[s[np.searchsorted(firsts, broken, "right") - 1]] = True
