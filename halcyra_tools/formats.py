"""The fixed parts of every file halcyra writes: magic numbers, headers,
fixed-size tables as numpy record types, summary records, Bloom filters, facet
keys and term-dictionary blocks. Integers are little-endian everywhere.

Readers (`ngram`, `terms`, `splitset`, `vectors`) fetch the bytes and hand
them to these parsers; every parser raises `FormatError` naming the file and
the byte offset of what is wrong."""

import struct

import numpy as np

from .errors import FormatError

NGRAM_MAGIC = b"HYSI"
FACETS_MAGIC = b"HYSF"
RECORDS_MAGIC = b"HYSR"
MANIFEST_MAGIC = b"HYSS"
TERMS_MAGIC = b"HYTI"
VECTORS_MAGIC = b"HYVI"

MAGICS = {
    NGRAM_MAGIC: "ngram",
    FACETS_MAGIC: "facets",
    RECORDS_MAGIC: "records",
    MANIFEST_MAGIC: "manifest",
    TERMS_MAGIC: "terms",
    VECTORS_MAGIC: "vectors",
}

# n-gram index: header, block index (u64 keys), dictionary of these, postings
NGRAM_ENTRY = np.dtype([("key", "<u8"), ("offset", "<u8"), ("length", "<u4")])
# facet sidecar: header, fields, categories, name blob, postings (head, tail)
FACET_FIELD = np.dtype([("name_offset", "<u4"), ("name_length", "<u2"), ("reserved", "<u2"),
                        ("first", "<u4"), ("count", "<u4")])
FACET_CATEGORY = np.dtype([("key", "<u8"), ("offset", "<u8"), ("head", "<u4"), ("tail", "<u4"),
                           ("cardinality", "<u4"), ("name_offset", "<u4"), ("name_length", "<u2"),
                           ("reserved", "<u2")])
# manifest: header (64 B), entries, string blob, summary blob
MANIFEST_ENTRY = np.dtype([("name_offset", "<u4"), ("name_length", "<u2"), ("tier", "<u2"), ("docs", "<u4"),
                           ("first_id", "<u4"), ("last_id", "<u4"), ("flags", "<u2"), ("reserved", "<u2"),
                           ("byte_size", "<u8"), ("epoch", "<u8"), ("summary_offset", "<u8"),
                           ("summary_length", "<u4"), ("reserved2", "<u4")])
# vector index: directory entries
VECTOR_LIST = np.dtype([("offset", "<u8"), ("count", "<u4")])

MANIFEST_BLOOM, MANIFEST_FACETS, MANIFEST_TOMBSTONES, MANIFEST_CASE_SENSITIVE = 0x1, 0x2, 0x8, 0x10
SPLIT_TOMBSTONES, SPLIT_ABSOLUTE_IDS = 0x1, 0x2
BODY_NGRAM, BODY_TERMS = 0, 1
SUMMARY_BLOOM, SUMMARY_FACETS, SUMMARY_TOMBSTONES = 1, 2, 4
TERMS_STEM, TERMS_STOPWORDS, TERMS_CASE_SENSITIVE = 0x1, 0x2, 0x4

# The term index header stores language code + 1 (0: none), codes in this order.
LANGUAGES = ("english", "spanish", "arabic", "danish", "dutch", "finnish", "french", "german", "greek",
             "hungarian", "italian", "norwegian", "portuguese", "romanian", "russian", "swedish", "tamil",
             "turkish")


def need(data, size, file, what, base=0):
    if len(data) < size:
        raise FormatError(file, base + len(data), f"{what}: {size} bytes needed, only {len(data)} there")


def magic_of(data, file, expected):
    if data[:4] != expected:
        raise FormatError(file, 0, f"bad magic {bytes(data[:4])!r}, expected {expected!r}")


def table(data, dtype, count, file, at, what):
    """`count` records of `dtype` from data (which starts at file offset `at`)."""
    size = dtype.itemsize * count
    if len(data) < size:
        raise FormatError(file, at + len(data), f"{what}: {size} bytes needed, only {len(data)} there")
    return np.frombuffer(data, dtype, count) if count else np.zeros(0, dtype)


class NgramHeader:
    """version u16 (3: keys folded, 4: not, + u16 marker 1), gram size u16,
    key count u32, stride u32; then ceil(K / S) block keys u64 and K
    dictionary entries (key u64, posting offset u64, posting length u32)."""

    def __init__(self, data, file):
        need(data, 16, file, "n-gram index header")
        magic_of(data, file, NGRAM_MAGIC)
        self.version, self.gram_size, self.count, self.stride = struct.unpack_from("<HHII", data, 4)
        if self.version == 4:
            need(data, 18, file, "n-gram index header")
            (marker,) = struct.unpack_from("<H", data, 16)
            if marker != 1:
                raise FormatError(file, 16, f"case marker {marker}, expected 1")
            self.case_sensitive, self.size = True, 18
        elif self.version == 3:
            self.case_sensitive, self.size = False, 16
        else:
            raise FormatError(file, 4, f"unsupported n-gram index version {self.version}")
        if self.stride == 0 and self.count:
            raise FormatError(file, 12, "stride 0")
        self.blocks = -(-self.count // self.stride) if self.count else 0
        self.block_index_at = self.size
        self.dict_at = self.size + 8 * self.blocks
        self.postings_at = self.dict_at + NGRAM_ENTRY.itemsize * self.count

    def describe(self):
        return dict(version=self.version, gram_size=self.gram_size, keys=self.count, stride=self.stride,
                    case_sensitive=self.case_sensitive, blocks=self.blocks, postings_at=self.postings_at)


class FacetHeader:
    """case-sensitive flag u16, field count F u32, category count C u32, name
    blob length B u32, reserved u32; the metadata (16F + 36C + B bytes)
    follows the 24-byte header, then the postings."""

    SIZE = 24

    def __init__(self, data, file):
        need(data, 24, file, "facet sidecar header")
        magic_of(data, file, FACETS_MAGIC)
        version, flag, self.fields, self.categories, self.blob, reserved = struct.unpack_from("<HHIIII", data, 4)
        if version != 1:
            raise FormatError(file, 4, f"unsupported facet sidecar version {version}")
        if flag not in (0, 1):
            raise FormatError(file, 6, f"case flag {flag}, expected 0 or 1")
        if reserved:
            raise FormatError(file, 20, "reserved header field not zero")
        self.case_sensitive = flag == 1
        self.meta_length = FACET_FIELD.itemsize * self.fields + FACET_CATEGORY.itemsize * self.categories + self.blob
        self.postings_at = 24 + self.meta_length


class FacetMeta:
    """The field table, category table and name blob of a facet sidecar."""

    def __init__(self, header, meta, file):
        self.header = header
        at = 24
        self.fields = table(meta, FACET_FIELD, header.fields, file, at, "facet field table")
        cats_at = FACET_FIELD.itemsize * header.fields
        self.categories = table(meta[cats_at:], FACET_CATEGORY, header.categories, file, at + cats_at,
                                "facet category table")
        blob_at = cats_at + FACET_CATEGORY.itemsize * header.categories
        self.blob = meta[blob_at : blob_at + header.blob]
        self.blob_at = at + blob_at
        need(self.blob, header.blob, file, "facet name blob", self.blob_at)
        self.file = file

    def name(self, offset, length, at):
        if offset + length > len(self.blob):
            raise FormatError(self.file, at, "name outside the name blob")
        try:
            return bytes(self.blob[offset : offset + length]).decode()
        except UnicodeDecodeError:
            raise FormatError(self.file, self.blob_at + offset, "name is not UTF-8") from None

    def field_at(self, f):
        return 24 + FACET_FIELD.itemsize * f

    def category_at(self, c):
        return 24 + FACET_FIELD.itemsize * self.header.fields + FACET_CATEGORY.itemsize * c

    def field_names(self):
        return [self.name(int(r["name_offset"]), int(r["name_length"]), self.field_at(f))
                for f, r in enumerate(self.fields)]

    def categories_of(self, f):
        """Category-table indexes of field f."""
        first, count = int(self.fields[f]["first"]), int(self.fields[f]["count"])
        if first + count > self.header.categories:
            raise FormatError(self.file, self.field_at(f) + 8, "field's categories run past the category table")
        return range(first, first + count)

    def category_name(self, c):
        row = self.categories[c]
        return self.name(int(row["name_offset"]), int(row["name_length"]), self.category_at(c))


class RecordsHeader:
    """records.idx: version u16 = 1, reserved u16, count N u32, reserved u32,
    then N + 1 offsets u64 into records.bin."""

    def __init__(self, data, file):
        need(data, 16, file, "record index header")
        magic_of(data, file, RECORDS_MAGIC)
        version, reserved, self.count, reserved2 = struct.unpack_from("<HHII", data, 4)
        if version != 1:
            raise FormatError(file, 4, f"unsupported record index version {version}")
        if reserved or reserved2:
            raise FormatError(file, 6 if reserved else 12, "reserved header field not zero")
        self.size = 16 + 8 * (self.count + 1)


class ManifestHeader:
    """The 64-byte manifest header; the manifest is 64 + 56N + S + U bytes."""

    SIZE = 64

    def __init__(self, data, file):
        need(data, 64, file, "manifest header")
        magic_of(data, file, MANIFEST_MAGIC)
        (version, self.flags, self.policy, self.body_kind, self.tier_count, self.count, self.base_count,
         self.strings_length, self.summaries_length, self.byte_cap, self.sortcol_offset, self.sortcol_length,
         self.sortcol_number, self.sortcol_flag, self.gram_size) = struct.unpack_from("<HHBBHIIIQQIHHBH", data, 4)
        self.reserved = bytes(data[51:64])
        if version != 1:
            raise FormatError(file, 4, f"unsupported manifest version {version}")
        if self.base_count > self.count:
            raise FormatError(file, 16, f"base count {self.base_count} exceeds the split count {self.count}")
        if self.policy not in (0, 1):
            raise FormatError(file, 8, f"unknown policy code {self.policy}")
        if self.body_kind not in (BODY_NGRAM, BODY_TERMS):
            raise FormatError(file, 9, f"unknown body kind {self.body_kind}")
        self.strings_at = 64 + MANIFEST_ENTRY.itemsize * self.count
        self.summaries_at = self.strings_at + self.strings_length
        self.size = self.summaries_at + self.summaries_length

    @property
    def case_sensitive(self):
        return bool(self.flags & MANIFEST_CASE_SENSITIVE)


class Manifest:
    """A parsed manifest: its header and one dict per split entry (name, tier,
    docs, first_id, last_id, flags, byte_size, epoch, summary, and where the
    entry, its name and its summary sit in the file)."""

    def __init__(self, data, file):
        self.file = file
        self.header = h = ManifestHeader(data, file)
        need(data, h.size, file, "manifest")
        self.size = h.size
        entries = table(data[64:], MANIFEST_ENTRY, h.count, file, 64, "manifest entries")
        self.strings = bytes(data[h.strings_at : h.summaries_at])
        self.summaries = bytes(data[h.summaries_at : h.size])
        self.sortcol = None
        if h.sortcol_length:
            name = self._name(h.sortcol_offset, h.sortcol_length, 40)
            self.sortcol = (name, h.sortcol_number, bool(h.sortcol_flag & 1))
        self.splits = []
        for i, e in enumerate(entries):
            at = 64 + MANIFEST_ENTRY.itemsize * i
            summary_offset, summary_length = int(e["summary_offset"]), int(e["summary_length"])
            summary = b""
            if summary_length:
                if summary_offset + summary_length > h.summaries_length:
                    raise FormatError(file, at + 40, "split summary outside the summary blob")
                summary = self.summaries[summary_offset : summary_offset + summary_length]
            self.splits.append(dict(
                name=self._name(int(e["name_offset"]), int(e["name_length"]), at), tier=int(e["tier"]),
                docs=int(e["docs"]), first_id=int(e["first_id"]), last_id=int(e["last_id"]),
                flags=int(e["flags"]), byte_size=int(e["byte_size"]), epoch=int(e["epoch"]), summary=summary,
                summary_offset=summary_offset, name_offset=int(e["name_offset"]), entry_at=at,
                summary_at=h.summaries_at + summary_offset))

    def _name(self, offset, length, at):
        if offset + length > len(self.strings):
            raise FormatError(self.file, at, "name outside the string blob")
        try:
            return self.strings[offset : offset + length].decode()
        except UnicodeDecodeError:
            raise FormatError(self.file, self.header.strings_at + offset, "name is not UTF-8") from None


def summary_records(summary, file="<summary>", base=0):
    """[(tag, payload, file offset of the payload)]: records of tag u8,
    length u32 and payload, back to back with nothing after the last."""
    records = []
    pos = 0
    while pos < len(summary):
        if pos + 5 > len(summary):
            raise FormatError(file, base + pos, "stray bytes after the last summary record")
        tag, length = struct.unpack_from("<BI", summary, pos)
        if pos + 5 + length > len(summary):
            raise FormatError(file, base + pos, f"summary record of {length} bytes runs past the summary")
        records.append((tag, summary[pos + 5 : pos + 5 + length], base + pos + 5))
        pos += 5 + length
    return records


MASK64 = 0xFFFFFFFFFFFFFFFF
GOLDEN = 0x9E3779B97F4A7C15


def splitmix64_mix(z):
    """The SplitMix64 output function, modulo 2^64 (ints or uint64 arrays)."""
    if isinstance(z, np.ndarray):
        z = (z ^ (z >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
        z = (z ^ (z >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
        return z ^ (z >> np.uint64(31))
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9 & MASK64
    z = (z ^ (z >> 27)) * 0x94D049BB133111EB & MASK64
    return z ^ (z >> 31)


class Bloom:
    """A split's Bloom filter over its n-gram keys: k u32, m u32 (a multiple of
    8), m/8 bytes; probe i of key x is bit (h + i g) mod m, h = mix(x), g =
    mix(x ^ golden) | 1, bit j being bit j % 8 of byte j / 8."""

    def __init__(self, payload, file="<bloom>", base=0):
        if len(payload) < 8:
            raise FormatError(file, base, f"Bloom filter of {len(payload)} bytes, shorter than its header")
        self.k, self.m = struct.unpack_from("<II", payload, 0)
        if self.m == 0 or self.m % 8 or len(payload) != 8 + self.m // 8:
            raise FormatError(file, base, f"malformed Bloom filter: m={self.m} bits in {len(payload) - 8} bytes")
        if not 1 <= self.k <= 16:
            raise FormatError(file, base, f"Bloom filter with {self.k} probes (1 to 16 allowed)")
        self.bits = bytes(payload[8:])

    def positions(self, key):
        h = splitmix64_mix(key)
        g = splitmix64_mix(key ^ GOLDEN) | 1
        out = []
        for _ in range(self.k):
            out.append(h % self.m)
            h = (h + g) & MASK64
        return out

    def may_contain(self, key):
        """False proves the key absent from the split."""
        return all(self.bits[j >> 3] >> (j & 7) & 1 for j in self.positions(key))

    def may_contain_all(self, keys):
        return all(self.may_contain(k) for k in keys)

    def missing(self, keys):
        """The keys (a uint64 array) the filter rules out."""
        keys = np.asarray(keys, np.uint64)
        bits = np.frombuffer(self.bits, np.uint8)
        m = np.uint64(self.m)
        h = splitmix64_mix(keys)
        g = splitmix64_mix(keys ^ np.uint64(GOLDEN)) | np.uint64(1)
        present = np.ones(len(keys), bool)
        for _ in range(self.k):
            j = h % m
            present &= (bits[(j >> np.uint64(3)).astype(np.int64)] >> (j & np.uint64(7)).astype(np.uint8)) & 1 == 1
            h = h + g
        return keys[~present]

    def popcount(self):
        return int(np.unpackbits(np.frombuffer(self.bits, np.uint8)).sum())


def facet_presence(payload, file="<summary>", base=0):
    """Tag-2 payload: count n u32, then n facet keys u64, strictly ascending."""
    if len(payload) < 4:
        raise FormatError(file, base, "facet-presence list shorter than its count")
    (n,) = struct.unpack_from("<I", payload, 0)
    if len(payload) != 4 + 8 * n:
        raise FormatError(file, base, f"facet-presence list of {n} keys in {len(payload)} bytes")
    keys = np.frombuffer(payload, "<u8", n, 4)
    if n > 1 and not (keys[1:] > keys[:-1]).all():
        i = int(np.argmin(keys[1:] > keys[:-1])) + 1
        raise FormatError(file, base + 4 + 8 * i, "facet-presence keys not strictly ascending")
    return keys


def fnv1a64(data):
    h = 0xCBF29CE484222325
    for b in data:
        h = ((h ^ b) * 0x100000001B3) & MASK64
    return h


def facet_key(field, category, fold_case=True):
    """FNV-1a 64 over field, 0x1F, category (both lowercased when folding)."""
    if fold_case:
        field, category = field.lower(), category.lower()
    return fnv1a64(field.encode() + b"\x1f" + category.encode())


class TermHeader:
    """version u16 = 2, flags u16 (1 stemmed, 2 stop words, 4 case-sensitive),
    term count u32, head boundary u32, router length R u64, dictionary length
    D u64, block cap u32, language u8 (code + 1, 0 none), 3 zero bytes; the
    router FST, the dictionary blocks and the postings records follow."""

    SIZE = 40

    def __init__(self, data, file):
        need(data, 40, file, "term index header")
        magic_of(data, file, TERMS_MAGIC)
        (version, self.flags, self.term_count, self.head_boundary, self.router_length, self.dict_length,
         self.block_cap, self.language, pad) = struct.unpack_from("<HHIIQQIB3s", data, 4)
        if version != 2:
            raise FormatError(file, 4, f"unsupported term index version {version}")
        if self.flags & ~0x7:
            raise FormatError(file, 6, f"unknown term index flags {self.flags:#x}")
        if pad != b"\0\0\0":
            raise FormatError(file, 37, "padding after the language byte not zero")
        if self.language > len(LANGUAGES):
            raise FormatError(file, 36, f"unknown language code {self.language}")
        if bool(self.flags & (TERMS_STEM | TERMS_STOPWORDS)) != bool(self.language):
            raise FormatError(file, 36, "stemming or stop-word flags and the language byte disagree")
        self.router_at = 40
        self.dict_at = 40 + self.router_length
        self.postings_at = self.dict_at + self.dict_length

    @property
    def analyzer(self):
        """The settings a query text is analyzed with, as TermBuilder arguments."""
        return dict(language=LANGUAGES[self.language - 1] if self.language else None,
                    stem=bool(self.flags & TERMS_STEM), stopwords=bool(self.flags & TERMS_STOPWORDS),
                    case_sensitive=bool(self.flags & TERMS_CASE_SENSITIVE))


def varint(data, pos, end, file, base):
    """Unsigned LEB128 at pos: (value, next position)."""
    value = shift = 0
    start = pos
    while True:
        if pos >= end:
            raise FormatError(file, base + start, "varint runs past the end of its block")
        b = data[pos]
        pos += 1
        value |= (b & 0x7F) << shift
        if not b & 0x80:
            return value, pos
        shift += 7
        if shift > 63:
            raise FormatError(file, base + start, "varint longer than 64 bits")


def term_block(data, file, base, start=0, end=None):
    """The entries of one dictionary block, data[start:end] (file offset base
    + start): [(term bytes, postings record offset, head length)]. Each entry
    is shared prefix length, suffix length, suffix, offset (absolute for the
    first entry, a delta after), head length; all varints."""
    end = len(data) if end is None else end
    entries = []
    pos = start
    prev, prev_offset = b"", 0
    while pos < end:
        at = pos
        # Most fields fit one byte: read those inline, the rest through varint().
        if pos + 2 <= end and data[pos] < 0x80 and data[pos + 1] < 0x80:
            shared, suffix_length = data[pos], data[pos + 1]
            pos += 2
        else:
            shared, pos = varint(data, pos, end, file, base)
            suffix_length, pos = varint(data, pos, end, file, base)
        if pos + suffix_length > end:
            raise FormatError(file, base + at, "term suffix runs past the end of its block")
        suffix = bytes(data[pos : pos + suffix_length])
        pos += suffix_length
        delta, pos = varint(data, pos, end, file, base)
        if pos < end and data[pos] < 0x80:
            head_length = data[pos]
            pos += 1
        else:
            head_length, pos = varint(data, pos, end, file, base)
        if entries:
            if shared > len(prev):
                raise FormatError(file, base + at, f"entry shares {shared} bytes of a {len(prev)}-byte term")
            term, offset = prev[:shared] + suffix, prev_offset + delta
            if term <= prev:
                raise FormatError(file, base + at, "block terms not strictly ascending")
        else:
            if shared:
                raise FormatError(file, base + at, "a block's first entry shares a prefix")
            term, offset = suffix, delta
        entries.append((term, offset, head_length))
        prev, prev_offset = term, offset
    return entries


class VectorHeader:
    """metric u8 (0 inner product, 1 L2), has_opq u8, dim u32, nlist u32, m u32,
    nbits u8, 3 reserved, n u64, 16 reserved; then the rotation (dim x dim f32
    when has_opq), centroids (nlist x dim), codebooks (m x 2^nbits x dim/m),
    the directory (nlist x (offset u64, count u32)) and the lists (ids u32,
    then codes, m bytes each)."""

    SIZE = 48

    def __init__(self, data, file):
        need(data, 48, file, "vector index header")
        magic_of(data, file, VECTORS_MAGIC)
        (version, self.metric, self.has_opq, self.dim, self.nlist, self.m, self.nbits, reserved, self.n,
         reserved2) = struct.unpack_from("<HBBIIIB3sQ16s", data, 4)
        if version != 1:
            raise FormatError(file, 4, f"unsupported vector index version {version}")
        if self.metric not in (0, 1):
            raise FormatError(file, 6, f"unknown metric {self.metric}")
        if self.has_opq not in (0, 1):
            raise FormatError(file, 7, f"rotation flag {self.has_opq}, expected 0 or 1")
        if not 1 <= self.nbits <= 8:
            raise FormatError(file, 20, f"nbits {self.nbits}, expected 1 to 8")
        if self.m == 0 or self.dim % self.m:
            raise FormatError(file, 16, f"m = {self.m} does not divide dim = {self.dim}")
        if reserved != bytes(3) or reserved2 != bytes(16):
            raise FormatError(file, 21 if reserved != bytes(3) else 32, "reserved header bytes not zero")
        self.ksub = 1 << self.nbits
        self.dsub = self.dim // self.m
        self.rotation_at = 48
        self.centroids_at = 48 + (4 * self.dim * self.dim if self.has_opq else 0)
        self.codebooks_at = self.centroids_at + 4 * self.nlist * self.dim
        self.directory_at = self.codebooks_at + 4 * self.m * self.ksub * self.dsub
        self.lists_at = self.directory_at + VECTOR_LIST.itemsize * self.nlist
        self.size = self.lists_at + (4 + self.m) * self.n

    def describe(self):
        return dict(metric="l2" if self.metric else "ip", rotation=bool(self.has_opq), dim=self.dim,
                    nlist=self.nlist, m=self.m, nbits=self.nbits, vectors=self.n)
