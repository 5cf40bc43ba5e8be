"""Small independent readers of the files halcyra writes, for round-trip tests.

They follow the published byte layouts only: little-endian integers, the
portable Roaring bitmap serialization, and each file's header and tables.
"""

import struct


def roaring(data):
    """Decodes one portable Roaring bitmap; returns (sorted ids, bytes consumed)."""
    (cookie,) = struct.unpack_from("<I", data, 0)
    pos = 4
    runs = None
    if cookie & 0xFFFF == 12347:
        size = (cookie >> 16) + 1
        runs = data[pos : pos + (size + 7) // 8]
        pos += (size + 7) // 8
    elif cookie == 12346:
        (size,) = struct.unpack_from("<I", data, pos)
        pos += 4
    else:
        raise ValueError(f"bad roaring cookie {cookie}")
    descriptors = [struct.unpack_from("<HH", data, pos + 4 * i) for i in range(size)]
    pos += 4 * size
    if runs is None or size >= 4:
        pos += 4 * size  # offsets; containers follow them contiguously anyway
    ids = []
    for i, (key, card_minus_one) in enumerate(descriptors):
        card = card_minus_one + 1
        high = key << 16
        if runs is not None and runs[i // 8] >> (i % 8) & 1:
            (n,) = struct.unpack_from("<H", data, pos)
            pos += 2
            for _ in range(n):
                start, length = struct.unpack_from("<HH", data, pos)
                pos += 4
                ids.extend(high | v for v in range(start, start + length + 1))
        elif card > 4096:
            words = struct.unpack_from("<1024Q", data, pos)
            pos += 8192
            ids.extend(high | (w * 64 + b) for w, word in enumerate(words) for b in range(64) if word >> b & 1)
        else:
            ids.extend(high | v for v in struct.unpack_from(f"<{card}H", data, pos))
            pos += 2 * card
    return ids, pos


def roaring_exact(data):
    ids, used = roaring(data)
    assert used == len(data), (used, len(data))
    return ids


def ngram_index(data):
    """index.hys: returns (header dict, {key: [ids]}, [block keys])."""
    magic, version, gram_size, count, stride = struct.unpack_from("<4sHHII", data, 0)
    assert magic == b"HYSI"
    h = 16
    case_sensitive = False
    if version == 4:
        (marker,) = struct.unpack_from("<H", data, 16)
        assert marker == 1
        case_sensitive = True
        h = 18
    else:
        assert version == 3
    blocks = (count + stride - 1) // stride
    block_keys = list(struct.unpack_from(f"<{blocks}Q", data, h))
    dict_at = h + 8 * blocks
    postings = {}
    expected_offset = dict_at + 20 * count
    keys = []
    for i in range(count):
        key, offset, length = struct.unpack_from("<QQI", data, dict_at + 20 * i)
        assert offset == expected_offset
        expected_offset += length
        keys.append(key)
        postings[key] = roaring_exact(data[offset : offset + length])
    assert expected_offset == len(data)
    assert keys == sorted(keys) and len(set(keys)) == len(keys)
    assert block_keys == keys[::stride]
    header = dict(version=version, gram_size=gram_size, count=count, stride=stride, case_sensitive=case_sensitive)
    return header, postings, block_keys


def facet_sidecar(data):
    """index.hyf: returns (case_sensitive, [(field, [(category, key, head ids, tail ids, cardinality)])])."""
    magic, version, flag, nfields, ncats, blob_len, reserved = struct.unpack_from("<4sHHIIII", data, 0)
    assert (magic, version, reserved) == (b"HYSF", 1, 0)
    cats_at = 24 + 16 * nfields
    blob_at = cats_at + 36 * ncats
    blob = data[blob_at : blob_at + blob_len]
    expected_offset = blob_at + blob_len
    fields = []
    for f in range(nfields):
        name_off, name_len, res, first, count = struct.unpack_from("<IHHII", data, 24 + 16 * f)
        assert res == 0
        cats = []
        for c in range(first, first + count):
            key, offset, head_len, tail_len, card, cat_off, cat_len, res = struct.unpack_from(
                "<QQIIIIHH", data, cats_at + 36 * c
            )
            assert res == 0 and offset == expected_offset
            head = roaring_exact(data[offset : offset + head_len])
            tail = roaring_exact(data[offset + head_len : offset + head_len + tail_len])
            expected_offset += head_len + tail_len
            assert card == len(head) + len(tail)
            cats.append((blob[cat_off : cat_off + cat_len].decode(), key, head, tail, card))
        fields.append((blob[name_off : name_off + name_len].decode(), cats))
    assert expected_offset == len(data)
    assert sum(len(c) for _, c in fields) == ncats
    return flag == 1, fields


def record_store(idx, bin_data):
    """records.idx + records.bin: returns the list of payloads."""
    magic, version, res1, count, res2 = struct.unpack_from("<4sHHII", idx, 0)
    assert (magic, version, res1, res2) == (b"HYSR", 1, 0, 0)
    assert len(idx) == 16 + 8 * (count + 1)
    offsets = struct.unpack_from(f"<{count + 1}Q", idx, 16)
    assert offsets[0] == 0 and offsets[-1] == len(bin_data)
    return [bin_data[offsets[i] : offsets[i + 1]] for i in range(count)]


def fnv1a64(data):
    h = 0xCBF29CE484222325
    for b in data:
        h = ((h ^ b) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return h


def facet_key(field, category, fold_case=True):
    if fold_case:
        field, category = field.lower(), category.lower()
    return fnv1a64(field.encode() + b"\x1f" + category.encode())


# ---------------------------------------------------------------------------
# Split sets: the .hyss manifest and the summary records of its split entries.


def manifest(data):
    """A .hyss manifest: returns (header dict, sortcol or None, [split entry dicts]).

    Each split entry carries its name, tier, document count, first and last
    id, flags, byte size, epoch and its summary bytes (see summary_records).
    The header's "size" is the manifest's own length, 64 + 56N + S + U; any
    bytes after it are not part of the manifest.
    """
    if len(data) < 64:
        raise ValueError("short HYSS header")
    (magic, version, flags, policy, body_kind, tier_count, count, base_count, strings_len, summaries_len, byte_cap,
     sortcol_off, sortcol_len, sortcol_number, sortcol_flag, gram_size) = struct.unpack_from(
        "<4sHHBBHIIIQQIHHBH", data, 0)
    if magic != b"HYSS":
        raise ValueError(f"bad magic {list(magic)}")
    if version != 1:
        raise ValueError(f"unsupported version {version}")
    if base_count > count:
        raise ValueError("HYSS base count exceeds split count")
    strings_at = 64 + 56 * count
    summaries_at = strings_at + strings_len
    size = summaries_at + summaries_len
    if size > len(data):
        raise ValueError("short HYSS body")
    if policy not in (0, 1):
        raise ValueError("HYSS unknown policy code")
    if body_kind not in (0, 1):
        raise ValueError("HYSS unknown body-kind code")
    strings = data[strings_at:summaries_at]
    summaries = data[summaries_at:size]

    def name(offset, length):
        if offset + length > len(strings):
            raise ValueError("HYSS name out of string blob")
        return strings[offset : offset + length].decode()  # UnicodeDecodeError: not UTF-8

    sortcol = None
    if sortcol_len:
        sortcol = (name(sortcol_off, sortcol_len), sortcol_number, bool(sortcol_flag & 1))
    splits = []
    for i in range(count):
        (name_off, name_len, tier, docs, first_id, last_id, split_flags, _, byte_size, epoch, summary_off,
         summary_len, _) = struct.unpack_from("<IHHIIIHHQQQII", data, 64 + 56 * i)
        summary = b""
        if summary_len:
            if summary_off + summary_len > summaries_len:
                raise ValueError("HYSS summary out of summary blob")
            summary = summaries[summary_off : summary_off + summary_len]
        splits.append(dict(name=name(name_off, name_len), tier=tier, docs=docs, first_id=first_id, last_id=last_id,
                           flags=split_flags, byte_size=byte_size, epoch=epoch, summary=summary,
                           summary_offset=summary_off, name_offset=name_off))
    header = dict(flags=flags, policy=policy, body_kind=body_kind, tier_count=tier_count, count=count,
                  base_count=base_count, byte_cap=byte_cap, gram_size=gram_size, strings=strings,
                  summaries_len=summaries_len, size=size, reserved=data[51:64])
    return header, sortcol, splits


SUMMARY_BLOOM, SUMMARY_FACETS, SUMMARY_TOMBSTONES = 1, 2, 4


def summary_records(summary):
    """A split's summary: its records as a list of (tag, payload), in order.
    Records are a tag byte and a u32 length followed by the payload, back to
    back with nothing after the last one."""
    records = []
    pos = 0
    while pos < len(summary):
        if pos + 5 > len(summary):
            raise ValueError("HYSS summary: stray bytes after the last record")
        tag, length = struct.unpack_from("<BI", summary, pos)
        if pos + 5 + length > len(summary):
            raise ValueError("HYSS summary TLV out of range")
        records.append((tag, summary[pos + 5 : pos + 5 + length]))
        pos += 5 + length
    return records


MASK64 = 0xFFFFFFFFFFFFFFFF


def splitmix64_mix(z):
    """The output function of the SplitMix64 generator, modulo 2^64."""
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9 & MASK64
    z = (z ^ (z >> 27)) * 0x94D049BB133111EB & MASK64
    return z ^ (z >> 31)


class Bloom:
    """A split's Bloom filter over its n-gram keys: k probes into m bits, bit j
    being bit j % 8 (least significant first) of byte j // 8."""

    def __init__(self, k, m, bits):
        self.k, self.m, self.bits = k, m, bits

    def positions(self, key):
        """The k bit positions of key, by double hashing over two mixes of it."""
        h = splitmix64_mix(key)
        g = splitmix64_mix(key ^ 0x9E3779B97F4A7C15) | 1
        out = []
        for _ in range(self.k):
            out.append(h % self.m)
            h = (h + g) & MASK64
        return out

    def may_contain(self, key):
        """False proves key absent from the split; True means it may be present."""
        return all(self.bits[j >> 3] >> (j & 7) & 1 for j in self.positions(key))

    def popcount(self):
        return sum(bin(b).count("1") for b in self.bits)


def bloom(payload):
    """A tag-1 summary payload: k u32, m u32 (a multiple of 8), then m/8 bytes of bits."""
    k, m = struct.unpack_from("<II", payload, 0)
    if m == 0 or m % 8 or len(payload) != 8 + m // 8:
        raise ValueError(f"malformed Bloom filter: m={m}, {len(payload)} bytes")
    return Bloom(k, m, payload[8:])


def facet_presence(payload):
    """A tag-2 summary payload: key count n u32, then n facet keys u64, strictly ascending."""
    (n,) = struct.unpack_from("<I", payload, 0)
    if len(payload) != 4 + 8 * n:
        raise ValueError(f"malformed facet-presence list: {n} keys in {len(payload)} bytes")
    keys = list(struct.unpack_from(f"<{n}Q", payload, 4))
    if any(a >= b for a, b in zip(keys, keys[1:])):
        raise ValueError("facet-presence keys not strictly ascending")
    return keys


def vector_index(data):
    """.hyvi: returns (header dict, opq, centroids, codebooks, lists).

    opq (None when absent), centroids and codebooks are flat tuples of floats
    in file order; lists holds one (ids, codes) pair per coarse cluster, codes
    being the list's code bytes (m per id, in id order)."""
    magic, version, metric, has_opq, dim, nlist, m, nbits, reserved1, n, reserved2 = struct.unpack_from(
        "<4sHBBIIIB3sQ16s", data, 0
    )
    assert (magic, version, reserved1, reserved2) == (b"HYVI", 1, bytes(3), bytes(16))
    assert metric in (0, 1) and has_opq in (0, 1) and 1 <= nbits <= 8
    assert m > 0 and dim % m == 0
    ksub = 1 << nbits

    pos = 48

    def floats(count):
        nonlocal pos
        values = struct.unpack_from(f"<{count}f", data, pos)
        pos += 4 * count
        return values

    opq = floats(dim * dim) if has_opq else None
    centroids = floats(nlist * dim)
    codebooks = floats(m * ksub * (dim // m))
    directory = [struct.unpack_from("<QI", data, pos + 12 * c) for c in range(nlist)]
    pos += 12 * nlist
    lists = []
    for offset, count in directory:
        assert offset == pos, (offset, pos)  # lists are packed in cluster order
        ids = list(struct.unpack_from(f"<{count}I", data, pos))
        codes = data[pos + 4 * count : pos + 4 * count + m * count]
        assert len(codes) == m * count
        assert all(code < ksub for code in codes)
        pos += (4 + m) * count
        lists.append((ids, codes))
    assert pos == len(data)
    assert sum(len(ids) for ids, _ in lists) == n
    header = dict(version=version, metric=metric, has_opq=has_opq, dim=dim, nlist=nlist, m=m, nbits=nbits, n=n)
    return header, opq, centroids, codebooks, lists
