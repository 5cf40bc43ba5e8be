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


# --- FST maps (the term index's router) -------------------------------------

# Bytes with the common input indices 1..63, in index order.
FST_COMMON_BYTES = b"te/oasripcnw.hlm-du012g=:bf3y5&_4v9678k%?xCDASFIBEjPTzRNM+LOqHG"


def _crc32c_table():
    table = []
    for n in range(256):
        c = n
        for _ in range(8):
            c = (c >> 1) ^ (0x82F63B78 if c & 1 else 0)
        table.append(c)
    return table


_CRC32C = _crc32c_table()


def crc32c(data):
    c = 0xFFFFFFFF
    for b in data:
        c = _CRC32C[(c ^ b) & 0xFF] ^ (c >> 8)
    return c ^ 0xFFFFFFFF


def masked_crc32c(data):
    c = crc32c(data)
    return (((c >> 15) | (c << 17)) + 0xA282EAD8) & 0xFFFFFFFF


class Fst:
    """A byte-keyed map to u64 values stored as a compiled transducer.

    Nodes are decoded backwards from their state byte; a key's value is the
    sum of the outputs along its path plus the final output of its last node.
    """

    def __init__(self, data):
        data = bytes(data)
        assert len(data) >= 36, "fst too short"
        version, kind = struct.unpack_from("<QQ", data, 0)
        assert (version, kind) == (3, 0), (version, kind)
        self.nodes_end = len(data) - 20
        self.len, self.root = struct.unpack_from("<QQ", data, self.nodes_end)
        (crc,) = struct.unpack_from("<I", data, len(data) - 4)
        assert crc == masked_crc32c(data[:-4]), "fst checksum mismatch"
        self.data = data
        self._nodes = {}

    def _byte(self, pos):
        assert 16 <= pos < self.nodes_end, f"node byte {pos} outside the node region"
        return self.data[pos]

    def _packed(self, first, n):
        assert n == 0 or (16 <= first and first + n <= self.nodes_end)
        return int.from_bytes(self.data[first : first + n], "little")

    def node(self, addr):
        """(is_final, final_output, [(input, output, target)] by increasing input)."""
        if addr not in self._nodes:
            self._nodes[addr] = self._decode(addr)
        return self._nodes[addr]

    def _decode(self, addr):
        if addr == 0:
            return True, 0, []
        state = self._byte(addr)
        low = state & 0x3F
        pos = addr - 1  # next unread byte, moving backwards
        kind = state >> 6

        def input_byte():
            nonlocal pos
            if low:
                return FST_COMMON_BYTES[low - 1]
            pos -= 1
            return self._byte(pos + 1)

        if kind == 3:  # one transition, output 0, to the node written just before
            inp = input_byte()
            return False, 0, [(inp, 0, pos)]
        if kind == 2:  # one transition
            inp = input_byte()
            sizes = self._byte(pos)
            pos -= 1
            tsize, osize = sizes >> 4, sizes & 0xF
            delta = self._packed(pos + 1 - tsize, tsize)
            pos -= tsize
            out = self._packed(pos + 1 - osize, osize)
            pos -= osize
            start = pos + 1
            return False, 0, [(inp, out, 0 if delta == 0 else start - delta)]
        final = bool(state & 0x40)
        n = low
        if n == 0:
            count = self._byte(pos)
            pos -= 1
            n = 256 if count == 1 else count
        sizes = self._byte(pos)
        pos -= 1
        tsize, osize = sizes >> 4, sizes & 0xF
        if n > 32:
            pos -= 256  # position index by input byte; not needed to walk
        inputs = self.data[pos + 1 - n : pos + 1]
        pos -= n
        deltas_at = pos + 1 - n * tsize
        pos -= n * tsize
        outs_at = pos + 1 - n * osize
        pos -= n * osize
        final_output = 0
        if final and osize:
            final_output = self._packed(pos + 1 - osize, osize)
            pos -= osize
        start = pos + 1
        arcs = []
        for k in reversed(range(n)):  # stored by decreasing input
            delta = self._packed(deltas_at + k * tsize, tsize)
            out = self._packed(outs_at + k * osize, osize) if osize else 0
            arcs.append((inputs[k], out, 0 if delta == 0 else start - delta))
        assert all(a[0] < b[0] for a, b in zip(arcs, arcs[1:])), "transition inputs out of order"
        return final, final_output, arcs

    def items(self):
        """Every (key, value) in byte order."""
        out = []

        def walk(addr, prefix, total):
            final, final_output, arcs = self.node(addr)
            if final:
                out.append((bytes(prefix), total + final_output))
            for inp, o, target in arcs:
                assert target == 0 or target < addr, "transition to a later node"
                walk(target, prefix + bytes([inp]), total + o)

        walk(self.root, b"", 0)
        return out

    def get(self, key):
        addr, total = self.root, 0
        for b in key:
            arcs = [a for a in self.node(addr)[2] if a[0] == b]
            if not arcs:
                return None
            total += arcs[0][1]
            addr = arcs[0][2]
        final, final_output, _ = self.node(addr)
        return total + final_output if final else None

    def _first(self, addr, prefix, total):
        """The smallest key at or below addr."""
        while True:
            final, final_output, arcs = self.node(addr)
            if final:
                return bytes(prefix), total + final_output
            inp, o, addr = arcs[0]
            prefix, total = prefix + bytes([inp]), total + o

    def lower_bound(self, key):
        """(key, value) of the smallest key >= `key`, or None."""

        def walk(addr, depth, total):
            final, final_output, arcs = self.node(addr)
            if depth == len(key):
                return self._first(addr, key, total)
            # A final node here is a proper prefix of `key`: smaller, skipped.
            for inp, o, target in arcs:
                if inp == key[depth]:
                    found = walk(target, depth + 1, total + o)
                    if found is not None:
                        return found
                elif inp > key[depth]:
                    return self._first(target, key[:depth] + bytes([inp]), total + o)
            return None

        return walk(self.root, 0, 0)


# --- term indexes (.hyt) -----------------------------------------------------


def varint(data, pos):
    """Unsigned LEB128 at pos: (value, next position)."""
    value = shift = 0
    while True:
        b = data[pos]
        pos += 1
        value |= (b & 0x7F) << shift
        shift += 7
        if not b & 0x80:
            return value, pos


class TermIndex:
    """A term index read the way a range-reading client reads it: the 40-byte
    header, the router FST fetched whole, then for one term the single
    dictionary block the router names, then that term's postings record."""

    def __init__(self, data):
        data = bytes(data)
        (magic, version, self.flags, self.term_count, self.head_boundary, router_len, dict_len, self.block_cap,
         self.language, pad) = struct.unpack_from("<4sHHIIQQIB3s", data, 0)
        assert magic == b"HYTI" and version == 2, (magic, version)
        assert pad == b"\0\0\0"
        self.data = data
        self.fst = Fst(data[40 : 40 + router_len])
        self.dict_at = 40 + router_len
        self.dict_len = dict_len
        self.postings_at = self.dict_at + dict_len
        assert self.postings_at <= len(data)

    def router(self):
        """Every block as (last term, offset in the dictionary region, length)."""
        return [(k.decode(), v >> 24, v & 0xFFFFFF) for k, v in self.fst.items()]

    def block(self, offset, length):
        """The entries of one dictionary block: [(term, record offset, head length)]."""
        assert offset + length <= self.dict_len
        data = self.data[self.dict_at + offset : self.dict_at + offset + length]
        entries, pos, prev, prev_offset = [], 0, b"", 0
        while pos < len(data):
            shared, pos = varint(data, pos)
            suffix_len, pos = varint(data, pos)
            suffix = data[pos : pos + suffix_len]
            assert len(suffix) == suffix_len, "suffix runs past the block"
            pos += suffix_len
            delta, pos = varint(data, pos)
            head_len, pos = varint(data, pos)
            if entries:
                assert shared <= len(prev)
                term, record = prev[:shared] + suffix, prev_offset + delta
            else:
                assert shared == 0, "a block's first entry shares nothing"
                term, record = suffix, delta
            assert not entries or term > prev, "block terms out of order"
            entries.append((term.decode(), record, head_len))
            prev, prev_offset = term, record
        assert pos == len(data)
        return entries

    def terms(self):
        """Every term, in byte order, block by block (checking the blocks tile the region)."""
        out, expected_offset = [], 0
        for last, offset, length in self.router():
            assert offset == expected_offset, "blocks do not tile the dictionary region"
            entries = self.block(offset, length)
            assert entries[-1][0] == last, "router key is not the block's last term"
            out.extend(term for term, _, _ in entries)
            expected_offset += length
        assert expected_offset == self.dict_len
        return out

    def _entry(self, term):
        found = self.fst.lower_bound(term.encode())
        if found is None:
            return None
        value = found[1]
        for t, record, head_len in self.block(value >> 24, value & 0xFFFFFF):
            if t == term:
                return record, head_len
        return None

    def head_tail(self, term):
        """(head ids, tail ids) of `term`'s record, or None when it is absent."""
        entry = self._entry(term)
        if entry is None:
            return None
        record, head_len = entry
        at = self.postings_at + record
        (tail_len,) = struct.unpack_from("<I", self.data, at)
        head = roaring_exact(self.data[at + 4 : at + 4 + head_len])
        tail_at = at + 4 + head_len
        assert tail_at + tail_len <= len(self.data)
        tail = roaring_exact(self.data[tail_at : tail_at + tail_len])
        return head, tail

    def postings(self, term):
        """Every id of `term` (head then tail, ascending), or None when it is absent."""
        found = self.head_tail(term)
        return None if found is None else found[0] + found[1]
