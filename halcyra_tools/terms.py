"""Range reader of a term index (`.hyt`): the header (40 bytes), the router
FST fetched whole, the one dictionary block the router names for a term, and
that term's postings record (tail length u32, head, tail).

A dictionary entry gives its record's offset and head length but not the
tail's length; the record ends where the next term's begins. For the last
term of a block that is in the next block's first entry, so a block is read
with a few bytes of the next one, and the whole record then takes one read."""

import struct

import numpy as np

from . import roaring
from .errors import FormatError, QueryError
from .formats import TermHeader, term_block, varint
from .fst import Fst
from .ngram import PREFIX, intersect

# Bytes read past a block for the next block's first entry.
LOOKAHEAD = 320


class TermIndex:
    def __init__(self, source):
        self.source = source
        self.header = TermHeader(source.read_upto(0, PREFIX), source.location)
        self._fst = None
        self._router = None

    @property
    def fst(self):
        if self._fst is None:
            h = self.header
            self._fst = Fst(self.source.read(h.router_at, h.router_length), self.source.location, h.router_at)
        return self._fst

    def router(self):
        """Every block as (last term bytes, offset in the dictionary, length)."""
        if self._router is None:
            self._router = [(k, v >> 24, v & 0xFFFFFF) for k, v in self.fst.items()]
        return self._router

    def all_terms(self):
        """Every term (bytes) in order, reading the whole dictionary."""
        h = self.header
        data = self.source.read(h.dict_at, h.dict_length) if h.dict_length else b""
        out = []
        for _, offset, length in self.router():
            if offset + length > len(data):
                raise FormatError(self.source.location, h.router_at, "router names a block past the dictionary")
            out.extend(t for t, _, _ in term_block(data, self.source.location, h.dict_at, offset, offset + length))
        return out

    def _next_offset(self, data, start):
        """The record offset of the first entry in data[start:], or None when
        it is not all there."""
        try:
            _, pos = varint(data, start, len(data), "", 0)
            suffix_length, pos = varint(data, pos, len(data), "", 0)
            offset, _ = varint(data, pos + suffix_length, len(data), "", 0)
        except FormatError:
            return None
        return offset

    def locate(self, terms):
        """{term: (record offset, head length, record length or None)} for the
        terms (bytes) the index holds."""
        h = self.header
        where = {}
        for term in terms:
            found = self.fst.lower_bound(term)
            if found is not None:
                where[term] = (found[1] >> 24, found[1] & 0xFFFFFF)
        blocks = sorted(set(where.values()))
        ranges = []
        for offset, length in blocks:
            if offset + length > h.dict_length:
                raise FormatError(self.source.location, h.router_at,
                                  f"router names block {offset}+{length} past the {h.dict_length}-byte dictionary")
            ranges.append((h.dict_at + offset, min(length + LOOKAHEAD, h.dict_length - offset)))
        datas = dict(zip(blocks, self.source.read_many(ranges)))
        found = {}
        for term, block in where.items():
            data = datas[block]
            offset, length = block
            entries = term_block(data, self.source.location, h.dict_at + offset, 0, length)
            for i, (t, record, head_length) in enumerate(entries):
                if t != term:
                    continue
                if i + 1 < len(entries):
                    end = entries[i + 1][1]
                elif offset + length == h.dict_length:
                    size = self.source.known_size()
                    end = None if size is None else size - h.postings_at
                else:
                    end = self._next_offset(data, length)
                found[term] = (record, head_length, None if end is None else end - record)
        return found

    def records(self, terms):
        """{term: (head ids, tail ids)} for the terms the index holds."""
        h = self.header
        found = self.locate(terms)
        names = list(found)
        known = [t for t in names if found[t][2] is not None]
        unknown = [t for t in names if found[t][2] is None]
        out = {}
        datas = self.source.read_many([(h.postings_at + found[t][0], found[t][2]) for t in known])
        for t, data in zip(known, datas):
            out[t] = self._record(data, h.postings_at + found[t][0], found[t][1], exact=True)
        if unknown:  # the head first, its tail length then tells the rest
            heads = self.source.read_many([(h.postings_at + found[t][0], 4 + found[t][1]) for t in unknown])
            tails = self.source.read_many([(h.postings_at + found[t][0] + 4 + found[t][1],
                                            struct.unpack_from("<I", d)[0]) for t, d in zip(unknown, heads)])
            for t, head, tail in zip(unknown, heads, tails):
                out[t] = self._record(head + tail, h.postings_at + found[t][0], found[t][1], exact=True)
        return out

    def _record(self, data, at, head_length, exact):
        file = self.source.location
        if len(data) < 4 + head_length:
            raise FormatError(file, at, f"postings record of {len(data)} bytes, its head alone is {head_length}")
        (tail_length,) = struct.unpack_from("<I", data, 0)
        if exact and 4 + head_length + tail_length != len(data):
            raise FormatError(file, at, f"postings record holds {4 + head_length + tail_length} bytes by its "
                                        f"lengths, but the next record starts {len(data)} bytes after it")
        head = roaring.decode_exact(data[4 : 4 + head_length], file, at + 4)
        tail = roaring.decode_exact(data[4 + head_length : 4 + head_length + tail_length], file,
                                    at + 4 + head_length)
        return head, tail

    def search_terms(self, terms):
        if not terms:
            raise QueryError("the query has no terms (only stop words or no letters?)")
        found = self.records(terms)
        if len(found) < len(set(terms)):
            return np.zeros(0, np.uint32)
        return intersect([np.concatenate(found[t]) for t in found])

    def describe(self):
        h = self.header
        return dict(terms=h.term_count, head_boundary=h.head_boundary, router_bytes=h.router_length,
                    dictionary_bytes=h.dict_length, block_cap=h.block_cap, analyzer=h.analyzer,
                    size=self.source.size())
