"""`verify(location)`: every check a reader's correctness depends on, over
every file an index is made of, reported as problems (file, byte offset,
what is wrong) instead of stopping at the first.

The bulk work (Roaring containers, dictionary order, offsets, Bloom probes,
vector codes) is done with numpy over whole files."""

import struct

import numpy as np

from . import roaring
from .errors import FormatError, NotFound, SourceError, ToolsError
from .formats import (
    BODY_NGRAM, MAGICS,
    MANIFEST_TOMBSTONES, NGRAM_ENTRY, SPLIT_ABSOLUTE_IDS, SPLIT_TOMBSTONES, SUMMARY_BLOOM, SUMMARY_FACETS,
    SUMMARY_TOMBSTONES, TERMS_CASE_SENSITIVE, VECTOR_LIST, Bloom, FacetHeader, FacetMeta, Manifest, NgramHeader,
    RecordsHeader, TermHeader, VectorHeader, facet_key, facet_presence, summary_records, term_block,
)
from .fst import Fst
from .ngram import PREFIX
from .source import DEFAULT_TIMEOUT, Client, check_name, child, is_folder

# Problems listed per file before the rest are only counted.
PER_FILE = 25
ID_LIMIT = 0xFFFFFFFF  # ids are 32-bit; 4294967295 is never handed out


class Problem:
    __slots__ = ("file", "offset", "message")

    def __init__(self, file, offset, message):
        self.file, self.offset, self.message = file, offset, message

    def as_dict(self):
        return dict(file=self.file, offset=self.offset, message=self.message)

    def __eq__(self, other):
        return isinstance(other, Problem) and self.as_dict() == other.as_dict()

    def __repr__(self):
        return f"Problem({self.file!r}, {self.offset!r}, {self.message!r})"

    def __str__(self):
        where = self.file if self.offset is None else f"{self.file}: byte {self.offset}"
        return f"{where}: {self.message}"


class Checker:
    def __init__(self, client):
        self.client = client
        self.problems = []
        self._per_file = {}
        self.bytes_checked = 0

    def problem(self, file, offset, message):
        n = self._per_file.get(file, 0) + 1
        self._per_file[file] = n
        if n <= PER_FILE:
            self.problems.append(Problem(file, None if offset is None else int(offset), message))

    def finish(self):
        for file, n in self._per_file.items():
            if n > PER_FILE:
                self.problems.append(Problem(file, None, f"{n - PER_FILE} more problems not listed"))
        return self.problems

    def guarded(self, file, check, *args):
        """Runs a check; a structural error it raises becomes a problem."""
        try:
            return check(*args)
        except FormatError as e:
            self.problem(e.file, e.offset, e.message)
        except SourceError as e:
            self.problem(e.location, None, e.message)
        except (ValueError, IndexError, struct.error, MemoryError) as e:  # never a traceback from deep inside
            self.problem(file, None, f"unreadable: {type(e).__name__}: {e}")
        return None

    def whole(self, source):
        data = source.whole()
        self.bytes_checked += len(data)
        return data

    # --- postings -----------------------------------------------------------

    def postings(self, file, data, offsets, lengths, lo, hi, what="posting", allow_empty=False):
        """Checks bitmaps inside data; ids must lie in [lo, hi]. Returns the
        `roaring.Checked` result."""
        checked = roaring.check_many(data, offsets, lengths, file)
        for i, e in checked.problems:
            self.problem(file, e.offset, f"{what} {i}: {e.message}")
        good = checked.ok
        card = checked.cardinality
        if not allow_empty:
            for i in np.flatnonzero(good & (card == 0))[:PER_FILE]:
                self.problem(file, offsets[i], f"{what} {i} is empty")
        filled = good & (card > 0)
        outside = np.flatnonzero(filled & ((checked.minimum < lo) | (checked.maximum > hi)))
        for i in outside[:PER_FILE]:
            bad = int(checked.maximum[i]) if checked.maximum[i] > hi else int(checked.minimum[i])
            self.problem(file, offsets[i], f"{what} {i} holds id {bad}, outside {lo}..{hi}" if hi >= lo
                         else f"{what} {i} holds id {bad}, but there are no documents")
        return checked

    # --- n-gram index -------------------------------------------------------

    def ngram(self, file, data, lo=0, hi=ID_LIMIT - 1):
        """An n-gram index; returns (header, keys) or None."""
        h = NgramHeader(data, file)
        if h.postings_at > len(data):
            raise FormatError(file, len(data), f"file of {len(data)} bytes ends inside the dictionary "
                                               f"({h.count} keys need {h.postings_at} bytes before the postings)")
        entries = np.frombuffer(data, NGRAM_ENTRY, h.count, h.dict_at)
        keys = entries["key"]
        falling = np.flatnonzero(keys[1:] <= keys[:-1])
        for i in falling[:PER_FILE]:
            self.problem(file, h.dict_at + NGRAM_ENTRY.itemsize * (i + 1),
                         f"dictionary key {i + 1} not above the key before it")
        block_keys = np.frombuffer(data, "<u8", h.blocks, h.block_index_at)
        wrong = np.flatnonzero(block_keys != keys[:: h.stride]) if h.count else []
        for b in wrong[:PER_FILE]:
            self.problem(file, h.block_index_at + 8 * b, f"block index key {b} is not the key of entry {b * h.stride}")
        offsets = entries["offset"].astype(np.int64)
        lengths = entries["length"].astype(np.int64)
        expected = h.postings_at + np.cumsum(lengths) - lengths
        moved = np.flatnonzero(offsets != expected)
        for i in moved[:PER_FILE]:
            self.problem(file, h.dict_at + NGRAM_ENTRY.itemsize * i + 8,
                         f"posting {i} at offset {offsets[i]}, expected {expected[i]} (postings back to back)")
        end = h.postings_at + int(lengths.sum())
        if len(moved) == 0 and end != len(data):
            self.problem(file, min(end, len(data)), f"postings end at byte {end}, the file at {len(data)}")
        inside = (offsets >= h.postings_at) & (offsets + lengths <= len(data))
        for i in np.flatnonzero(~inside)[:PER_FILE]:
            self.problem(file, h.dict_at + NGRAM_ENTRY.itemsize * i + 8, f"posting {i} lies outside the file")
        idx = np.flatnonzero(inside)
        self.postings(file, data, offsets[idx], lengths[idx], lo, hi)
        return h, keys

    # --- facet sidecar ------------------------------------------------------

    def facets(self, file, data, lo=0, hi=ID_LIMIT - 1, case_sensitive=None):
        """A facet sidecar; returns its sorted distinct facet keys or None."""
        h = FacetHeader(data, file)
        if case_sensitive is not None and h.case_sensitive != case_sensitive:
            self.problem(file, 6, "case flag differs from the index's case setting")
        meta = FacetMeta(h, data[24 : h.postings_at], file)
        fold = not h.case_sensitive
        running = 0
        keys = []
        for f, row in enumerate(meta.fields):
            at = meta.field_at(f)
            if row["reserved"]:
                self.problem(file, at + 6, "reserved field-table bytes not zero")
            if int(row["first"]) != running:
                self.problem(file, at + 8, f"field {f} starts at category {int(row['first'])}, expected {running}")
                raise FormatError(file, at + 8, "field table does not tile the category table")
            running += int(row["count"])
            name = meta.name(int(row["name_offset"]), int(row["name_length"]), at)
            cats = list(meta.categories_of(f))
            ckeys = meta.categories["key"][cats[0] : cats[-1] + 1] if cats else np.zeros(0, np.uint64)
            for i in np.flatnonzero(ckeys[1:] < ckeys[:-1]):
                self.problem(file, meta.category_at(cats[0] + i + 1), f"category keys of field {name!r} not ascending")
            for c in cats:
                category = meta.category_name(c)
                if int(meta.categories["key"][c]) != facet_key(name, category, fold):
                    self.problem(file, meta.category_at(c), f"facet key of {name}={category} is not its hash")
                keys.append(int(meta.categories["key"][c]))
        if running != h.categories:
            self.problem(file, 12, f"fields hold {running} categories, the header says {h.categories}")
        cats = meta.categories
        heads = cats["head"].astype(np.int64)
        tails = cats["tail"].astype(np.int64)
        offsets = cats["offset"].astype(np.int64)
        expected = h.postings_at + np.cumsum(heads + tails) - heads - tails
        moved = np.flatnonzero(offsets != expected)
        for c in moved[:PER_FILE]:
            self.problem(file, meta.category_at(c) + 8, f"category {c} postings at {offsets[c]}, expected {expected[c]}")
        end = h.postings_at + int((heads + tails).sum())
        if len(moved) == 0 and end != len(data):
            self.problem(file, min(end, len(data)), f"postings end at byte {end}, the file at {len(data)}")
        for c in np.flatnonzero(cats["reserved"] != 0)[:PER_FILE]:
            self.problem(file, meta.category_at(c) + 34, "reserved category-table bytes not zero")
        inside = np.flatnonzero((offsets >= h.postings_at) & (offsets + heads + tails <= len(data)))
        for c in np.setdiff1d(np.arange(len(cats)), inside)[:PER_FILE]:
            self.problem(file, meta.category_at(c) + 8, f"category {c} postings lie outside the file")
        head = self.postings(file, data, offsets[inside], heads[inside], lo, hi, "head posting", allow_empty=True)
        tail = self.postings(file, data, offsets[inside] + heads[inside], tails[inside], lo, hi, "tail posting",
                             allow_empty=True)
        both = head.ok & tail.ok
        total = head.cardinality + tail.cardinality
        for j in np.flatnonzero(both & (total != cats["cardinality"][inside]))[:PER_FILE]:
            c = inside[j]
            self.problem(file, meta.category_at(c) + 24,
                         f"category {c} counts {int(cats['cardinality'][c])} documents, its postings hold {total[j]}")
        for j in np.flatnonzero(both & (total == 0))[:PER_FILE]:
            self.problem(file, meta.category_at(inside[j]), f"category {inside[j]} has no documents")
        split = both & (head.cardinality > 0) & (tail.cardinality > 0) & (head.maximum >= tail.minimum)
        for j in np.flatnonzero(split)[:PER_FILE]:
            self.problem(file, offsets[inside[j]], f"category {inside[j]}: head and tail overlap")
        return np.unique(np.array(keys, np.uint64))

    # --- record store -------------------------------------------------------

    def records(self, idx_file, idx, bin_size):
        h = RecordsHeader(idx, idx_file)
        if len(idx) != h.size:
            self.problem(idx_file, min(len(idx), h.size), f"{h.count} records need {h.size} bytes, the file has {len(idx)}")
            if len(idx) < h.size:
                return h.count
        offsets = np.frombuffer(idx, "<u8", h.count + 1, 16)
        if offsets[0] != 0:
            self.problem(idx_file, 16, "the first record does not start at 0")
        for i in np.flatnonzero(offsets[1:] < offsets[:-1])[:PER_FILE]:
            self.problem(idx_file, 16 + 8 * (i + 1), f"record {i} ends before it starts")
        if int(offsets[-1]) != bin_size:
            self.problem(idx_file, 16 + 8 * h.count, f"records end at {int(offsets[-1])}, records.bin has {bin_size} bytes")
        return h.count

    # --- term index ---------------------------------------------------------

    def terms(self, file, data, lo=0, hi=ID_LIMIT - 1):
        """A term index; returns its header or None."""
        h = TermHeader(data, file)
        if h.postings_at > len(data):
            raise FormatError(file, len(data), f"file of {len(data)} bytes ends before its postings region "
                                               f"(byte {h.postings_at})")
        fst = Fst(data[h.router_at : h.dict_at], file, h.router_at)
        router = fst.items()
        running = 0
        terms, offsets, head_lengths = [], [], []
        previous = None
        for b, (last, value) in enumerate(router):
            offset, length = value >> 24, value & 0xFFFFFF
            if offset != running or length == 0:
                raise FormatError(file, h.router_at, f"router block {b} at {offset}+{length}, expected to start at "
                                                     f"{running} (blocks tile the dictionary)")
            if offset + length > h.dict_length:
                raise FormatError(file, h.router_at, f"router block {b} runs past the dictionary")
            entries = term_block(data, file, 0, h.dict_at + offset, h.dict_at + offset + length)
            if entries[-1][0] != last:
                self.problem(file, h.dict_at + offset, f"router key of block {b} is not the block's last term")
            if previous is not None and entries[0][0] <= previous:
                self.problem(file, h.dict_at + offset, f"block {b} does not start above the block before it")
            previous = entries[-1][0]
            for term, record, head_length in entries:
                terms.append(term)
                offsets.append(record)
                head_lengths.append(head_length)
            running += length
        if running != h.dict_length:
            self.problem(file, h.dict_at + running, f"blocks cover {running} of the dictionary's {h.dict_length} bytes")
        if len(terms) != h.term_count:
            self.problem(file, 8, f"header counts {h.term_count} terms, the dictionary holds {len(terms)}")
        bad_text = [i for i, t in enumerate(terms) if not _utf8(t)]
        for i in bad_text[:PER_FILE]:
            self.problem(file, h.dict_at, f"term {i} is not UTF-8")
        offsets = np.array(offsets, np.int64) + h.postings_at
        heads = np.array(head_lengths, np.int64)
        if len(offsets) == 0:
            if len(data) != h.postings_at:
                self.problem(file, h.postings_at, "bytes after the postings region of an empty index")
            return h
        inside = offsets + 4 <= len(data)
        u8 = np.frombuffer(data, np.uint8)
        tails = np.zeros(len(offsets), np.int64)
        at = offsets[inside]
        tails[inside] = (u8[at].astype(np.int64) | u8[at + 1].astype(np.int64) << 8
                         | u8[at + 2].astype(np.int64) << 16 | u8[at + 3].astype(np.int64) << 24)
        sizes = 4 + heads + tails
        expected = h.postings_at + np.cumsum(sizes) - sizes
        moved = np.flatnonzero(offsets != expected)
        for i in moved[:PER_FILE]:
            self.problem(file, h.dict_at, f"record of term {i} ({_show(terms[i])}) at {offsets[i] - h.postings_at} "
                                          f"in the postings region, expected {expected[i] - h.postings_at}")
        end = int(offsets[-1] + sizes[-1])
        if len(moved) == 0 and end != len(data):
            self.problem(file, min(end, len(data)), f"postings end at byte {end}, the file at {len(data)}")
        ok = np.flatnonzero(inside & (offsets + sizes <= len(data)))
        for i in np.setdiff1d(np.arange(len(offsets)), ok)[:PER_FILE]:
            self.problem(file, int(offsets[i]), f"record of term {i} ({_show(terms[i])}) runs past the file")
        head = self.postings(file, data, offsets[ok] + 4, heads[ok], lo, hi, "head posting", allow_empty=True)
        tail = self.postings(file, data, offsets[ok] + 4 + heads[ok], tails[ok], lo, hi, "tail posting",
                             allow_empty=True)
        both = head.ok & tail.ok
        for j in np.flatnonzero(both & (head.cardinality + tail.cardinality == 0))[:PER_FILE]:
            self.problem(file, int(offsets[ok[j]]), f"term {ok[j]} ({_show(terms[ok[j]])}) has no documents")
        above = both & (head.cardinality > 0) & (head.maximum >= h.head_boundary)
        for j in np.flatnonzero(above)[:PER_FILE]:
            self.problem(file, int(offsets[ok[j]]) + 4, f"head of term {ok[j]} holds id {int(head.maximum[j])}, "
                                                         f"not below the head boundary {h.head_boundary}")
        below = both & (tail.cardinality > 0) & (tail.minimum < h.head_boundary)
        for j in np.flatnonzero(below)[:PER_FILE]:
            self.problem(file, int(offsets[ok[j]] + 4 + heads[ok[j]]),
                         f"tail of term {ok[j]} holds id {int(tail.minimum[j])}, below the head boundary "
                         f"{h.head_boundary}")
        return h

    # --- vector index -------------------------------------------------------

    def vectors(self, file, data):
        h = VectorHeader(data, file)
        if len(data) < h.lists_at:
            raise FormatError(file, len(data), f"file of {len(data)} bytes ends inside the model "
                                               f"({h.lists_at} bytes before the lists)")
        floats = np.frombuffer(data, "<f4", (h.directory_at - 48) // 4, 48)
        bad = np.flatnonzero(~np.isfinite(floats))
        for i in bad[:PER_FILE]:
            self.problem(file, 48 + 4 * i, "model number is not finite")
        directory = np.frombuffer(data, VECTOR_LIST, h.nlist, h.directory_at)
        counts = directory["count"].astype(np.int64)
        offsets = directory["offset"].astype(np.int64)
        expected = h.lists_at + np.cumsum((4 + h.m) * counts) - (4 + h.m) * counts
        moved = np.flatnonzero(offsets != expected)
        for c in moved[:PER_FILE]:
            self.problem(file, h.directory_at + 12 * c, f"list {c} at offset {offsets[c]}, expected {expected[c]}")
        if int(counts.sum()) != h.n:
            self.problem(file, 24, f"header counts {h.n} vectors, the lists hold {int(counts.sum())}")
        end = h.lists_at + (4 + h.m) * int(counts.sum())
        if end != len(data):
            self.problem(file, min(end, len(data)), f"lists end at byte {end}, the file at {len(data)}")
            return h
        if len(moved):
            return h
        u8 = np.frombuffer(data, np.uint8)
        for c in np.flatnonzero(counts):
            codes = u8[offsets[c] + 4 * counts[c] : offsets[c] + (4 + h.m) * counts[c]]
            if h.nbits < 8 and codes.size and int(codes.max()) >= h.ksub:
                i = int(np.argmax(codes >= h.ksub))
                self.problem(file, offsets[c] + 4 * counts[c] + i,
                             f"code {int(codes[i])} in list {c}, but there are {h.ksub} codewords")
        return h

    # --- whole indexes ------------------------------------------------------

    def dataset(self, folder):
        sources = {name: self.client.source(child(folder, name))
                   for name in ("index.hys", "index.hyf", "records.idx", "records.bin")}
        count = None
        try:
            bin_size = sources["records.bin"].size()
            idx = self.whole(sources["records.idx"])
            count = self.guarded(sources["records.idx"].location, self.records, sources["records.idx"].location,
                                 idx, bin_size)
        except SourceError as e:
            self.problem(e.location, None, e.message)
        hi = ID_LIMIT - 1 if count is None else count - 1
        for name, check, extra in (("index.hys", self.ngram, ()), ("index.hyf", self.facets, (False,))):
            source = sources[name]
            try:
                data = self.whole(source)
            except SourceError as e:
                self.problem(e.location, None, e.message)
                continue
            # A dataset's facet keys are always made with case folding.
            self.guarded(source.location, check, source.location, data, 0, hi, *extra)

    def split_set(self, source):
        file = source.location
        data = source.read_rest(0)
        self.bytes_checked += len(data)
        m = Manifest(data, file)
        h = m.header
        ngram_body = h.body_kind == BODY_NGRAM
        extension = ".hys" if ngram_body else ".hyt"
        case_sensitive = h.case_sensitive
        seen = set()
        ranges = []
        any_tombstones = False
        for i, s in enumerate(m.splits):
            at = s["entry_at"]
            try:
                check_name(s["name"], file, at)
            except FormatError as e:
                self.problem(file, e.offset, e.message)
                continue
            if s["name"] in seen:
                self.problem(file, at, f"split {s['name']} listed twice")
            seen.add(s["name"])
            if not s["name"].endswith(extension):
                self.problem(file, at, f"split {s['name']} of a set of {extension} splits")
            absolute = bool(s["flags"] & SPLIT_ABSOLUTE_IDS)
            docs, first, last = s["docs"], s["first_id"], s["last_id"]
            if s["flags"] & ~(SPLIT_TOMBSTONES | SPLIT_ABSOLUTE_IDS):
                self.problem(file, at + 20, f"unknown split flags {s['flags']:#x}")
            if docs == 0:
                if first != last:
                    self.problem(file, at + 12, f"split {s['name']} without documents has ids {first}..{last}")
                lo, hi = 0, -1
            elif absolute:
                if last < first or docs > last - first + 1:
                    self.problem(file, at + 8, f"split {s['name']}: {docs} documents cannot lie in ids {first}..{last}")
                lo, hi = first, last
            else:
                if first + docs - 1 != last or last > ID_LIMIT - 1:
                    self.problem(file, at + 12, f"split {s['name']}: {docs} documents from id {first} end at "
                                                f"{first + docs - 1}, not at its last id {last}")
                lo, hi = 0, docs - 1
                ranges.append((first, last, i, at))
            try:
                records = summary_records(s["summary"], file, s["summary_at"])
            except FormatError as e:
                self.problem(e.file, e.offset, e.message)
                records = []
            tags = [tag for tag, _, _ in records]
            for tag, _, payload_at in records:
                if tag not in (SUMMARY_BLOOM, SUMMARY_FACETS, SUMMARY_TOMBSTONES):
                    self.problem(file, payload_at - 5, f"unknown summary record tag {tag}")
            if tags != sorted(set(tags)):
                self.problem(file, s["summary_at"], f"summary records of {s['name']} repeated or out of order")
            by_tag = {tag: (payload, payload_at) for tag, payload, payload_at in records}
            if (SUMMARY_TOMBSTONES in by_tag) != bool(s["flags"] & SPLIT_TOMBSTONES):
                self.problem(file, at + 20, f"split {s['name']}: tombstone flag and tombstone record disagree")
            if SUMMARY_TOMBSTONES in by_tag:
                any_tombstones = True
                payload, payload_at = by_tag[SUMMARY_TOMBSTONES]
                self.guarded(file, self._tombstones, file, payload, payload_at)
            # The Bloom and facet flags of the header say what the set was
            # built with; a streaming writer that resumed the set keeps the
            # splits' records but writes its own flags, so the records, not
            # the flags, are what a reader relies on.
            if SUMMARY_BLOOM in by_tag and not ngram_body:
                self.problem(file, by_tag[SUMMARY_BLOOM][1] - 5, "Bloom record in a set of term splits")
            self._split(source, m, s, by_tag, lo, hi, ngram_body, case_sensitive)
        if any_tombstones != bool(h.flags & MANIFEST_TOMBSTONES):
            self.problem(file, 6, "the tombstone flag does not match the splits' tombstone records")
        ranges.sort()
        for (a_first, a_last, a, _), (b_first, b_last, b, b_at) in zip(ranges, ranges[1:]):
            if b_first <= a_last:
                self.problem(file, b_at + 12, f"ids {b_first}..{b_last} of {m.splits[b]['name']} overlap "
                                              f"{a_first}..{a_last} of {m.splits[a]['name']}")
        order = [i for _, _, i, _ in sorted(ranges, key=lambda r: r[2])]
        if order != sorted(order, key=lambda i: m.splits[i]["first_id"]):
            self.problem(file, 64, "splits' id ranges are not ascending in entry order")

    def _tombstones(self, file, payload, at):
        ids = roaring.decode_exact(payload, file, at)
        if len(ids) and int(ids[-1]) >= ID_LIMIT:
            self.problem(file, at, f"tombstone id {int(ids[-1])} outside the 32-bit id space")

    def _split(self, manifest_source, m, s, by_tag, lo, hi, ngram_body, case_sensitive):
        file = manifest_source.location
        body = manifest_source.sibling(s["name"])
        try:
            size = body.size()
        except NotFound:
            self.problem(body.location, None, f"missing (named by {file})")
            return
        except SourceError as e:
            self.problem(e.location, None, e.message)
            return
        if size != s["byte_size"]:
            self.problem(file, s["entry_at"] + 24, f"{s['name']} is {size} bytes, the manifest says {s['byte_size']}")
        data = self.guarded(body.location, self.whole, body)
        if data is None:
            return
        if ngram_body:
            found = self.guarded(body.location, self.ngram, body.location, data, lo, hi)
            if found is not None:
                header, keys = found
                if header.gram_size != m.header.gram_size:
                    self.problem(body.location, 6, f"gram size {header.gram_size}, the manifest's is "
                                                   f"{m.header.gram_size}")
                if header.case_sensitive != case_sensitive:
                    self.problem(body.location, 4, "case setting differs from the manifest's")
                if SUMMARY_BLOOM in by_tag:
                    payload, payload_at = by_tag[SUMMARY_BLOOM]
                    bloom = self.guarded(file, Bloom, payload, file, payload_at)
                    if bloom is not None:
                        missing = bloom.missing(keys)
                        if len(missing):
                            self.problem(file, payload_at, f"Bloom filter of {s['name']} lacks {len(missing)} of its "
                                                           f"{len(keys)} keys (e.g. {int(missing[0])})")
        else:
            header = self.guarded(body.location, self.terms, body.location, data, lo, hi)
            if header is not None and bool(header.flags & TERMS_CASE_SENSITIVE) != case_sensitive:
                self.problem(body.location, 6, "case setting differs from the manifest's")
        sidecar = manifest_source.sibling(s["name"].rsplit(".", 1)[0] + ".hyf")
        try:
            sidecar_data = self.whole(sidecar)
        except NotFound:
            sidecar_data = None
        except SourceError as e:
            self.problem(e.location, None, e.message)
            return
        if (sidecar_data is None) != (SUMMARY_FACETS not in by_tag):
            self.problem(file, s["entry_at"], f"{s['name']}: " + ("a facet-presence record but no sidecar"
                                                                    if sidecar_data is None else
                                                                    "a sidecar but no facet-presence record"))
        if sidecar_data is None:
            return
        keys = self.guarded(sidecar.location, self.facets, sidecar.location, sidecar_data, lo, hi, case_sensitive)
        if keys is not None and SUMMARY_FACETS in by_tag:
            payload, payload_at = by_tag[SUMMARY_FACETS]
            present = self.guarded(file, facet_presence, payload, file, payload_at)
            if present is not None and not np.array_equal(present, keys):
                self.problem(file, payload_at, f"facet-presence list of {s['name']} ({len(present)} keys) is not the "
                                               f"set of its sidecar's categories ({len(keys)} keys)")


def _utf8(term):
    try:
        term.decode()
        return True
    except UnicodeDecodeError:
        return False


def _show(term):
    return repr(term.decode(errors="replace"))


class Report:
    """What `check` found: the problems, whether the location could be read
    at all, the bytes checked and the traffic."""

    def __init__(self, problems, unreadable, bytes_checked, requests, nbytes):
        self.problems, self.unreadable = problems, unreadable
        self.bytes_checked, self.requests, self.bytes = bytes_checked, requests, nbytes


class Unreadable(ToolsError):
    """Nothing at the location can be checked (no file, no server, not ours)."""


def check(location, timeout=DEFAULT_TIMEOUT):
    """The `Report` of verifying `location`."""
    client = Client(timeout)
    checker = Checker(client)
    location = str(location)
    unreadable = False
    try:
        _verify(checker, location)
    except Unreadable as e:
        unreadable = True
        checker.problem(location, None, str(e))
    except SourceError as e:
        unreadable = not checker.bytes_checked
        checker.problem(e.location, None, e.message)
    except FormatError as e:
        checker.problem(e.file, e.offset, e.message)
    except ToolsError as e:
        checker.problem(location, None, str(e))
    finally:
        client.close()
    return Report(checker.finish(), unreadable, checker.bytes_checked, client.counters.requests,
                  client.counters.bytes)


def verify(location, timeout=DEFAULT_TIMEOUT):
    """The problems found in the index at `location` (a dataset folder, a
    split set, or one .hys/.hyf/.hyt/.hyvi file): a list of `Problem`, empty
    when everything checks. An unreadable location is one problem."""
    return check(location, timeout).problems


def _verify(checker, location):
    client = checker.client
    if is_folder(location):
        manifest = client.source(child(location, "index.hyss"))
        try:
            manifest.read_rest(0)
        except NotFound:
            if not checker.client.source(child(location, "index.hys")).exists():
                raise Unreadable("the folder holds neither a split-set manifest (index.hyss) "
                                 "nor a dataset (index.hys)") from None
            return checker.dataset(location)
        return checker.guarded(manifest.location, checker.split_set, manifest)
    source = client.source(location)
    head = source.read_upto(0, PREFIX)
    kind = MAGICS.get(bytes(head[:4]))
    file = source.location
    if kind == "manifest":
        return checker.guarded(file, checker.split_set, source)
    checks = {"ngram": checker.ngram, "facets": checker.facets, "terms": checker.terms, "vectors": checker.vectors}
    if kind in checks:
        data = checker.whole(source)
        return checker.guarded(file, checks[kind], file, data)
    if kind == "records":
        bin_source = source.sibling(source.name.rsplit(".", 1)[0] + ".bin")
        return checker.guarded(file, checker.records, file, checker.whole(source), bin_source.size())
    raise Unreadable(f"not a halcyra file: unknown magic {bytes(head[:4])!r}")
