# Type information for the halcyra extension module. This file is the single
# source: python/halcyra.pyi links to it, and the `halcyra-stubs` package
# around it is what an installed wheel carries for type checkers.
#
# Argument types say what the binding's conversions accept:
# - integers: an int or anything with __index__, range-checked at run time;
# - flags: a real bool, nothing that merely converts to one;
# - floats: anything with __float__ or __index__;
# - byte strings: bytes, bytearray or any other sequence of ints 0..255, but
#   not a str;
# - paths: a str (not an os.PathLike), holding no NUL;
# - sequences: anything with len() and indexing, but not a str; tuples
#   inside them must be real tuples of exactly the length shown;
# - facets: a real dict (or a dict subclass) from field to categories.

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, final

from typing_extensions import Never, TypeAlias

__all__ = [
    "Builder",
    "BuildStats",
    "VectorBuilder",
    "VectorBuildStats",
    "tokenize",
    "write_hyvi_from_faiss",
    "write_term_index",
    "TermBuilder",
    "SplitSetBuilder",
    "TermSplitSetBuilder",
    "SplitSetBuildStats",
    "SplitSetWriter",
]

_ByteString: TypeAlias = bytes | bytearray | Sequence[SupportsIndex]
_Float: TypeAlias = SupportsFloat | SupportsIndex
_Vector: TypeAlias = Sequence[_Float]
# Each field's categories: any sequence of str but a str itself, which the
# conversion refuses. dict is invariant in its values, so the usual kinds
# are spelled out.
_Facets: TypeAlias = dict[str, list[str]] | dict[str, tuple[str, ...]]
# (name, number 0..65535, flag), recorded in a split-set manifest.
_Sortcol: TypeAlias = tuple[str, SupportsIndex, bool]
# (rank, text, record, facets)
_Row: TypeAlias = tuple[SupportsIndex, str, _ByteString, _Facets | None]
# (doc_id, text)
_Doc: TypeAlias = tuple[SupportsIndex, str]

@final
class BuildStats:
    # Returned by Builder.build; no call constructs one.
    def __new__(cls, _: Never, /) -> BuildStats: ...
    @property
    def docs(self) -> int: ...
    @property
    def ngrams(self) -> int: ...
    @property
    def fields(self) -> int: ...

@final
class VectorBuildStats:
    # Returned by VectorBuilder.build and write_hyvi_from_faiss; no call
    # constructs one.
    def __new__(cls, _: Never, /) -> VectorBuildStats: ...
    @property
    def vectors(self) -> int: ...
    @property
    def dim(self) -> int: ...
    @property
    def nlist(self) -> int: ...
    @property
    def m(self) -> int: ...
    @property
    def nbits(self) -> int: ...

@final
class SplitSetBuildStats:
    # Returned by SplitSetBuilder.build and TermSplitSetBuilder.build; no
    # call constructs one.
    def __new__(cls, _: Never, /) -> SplitSetBuildStats: ...
    @property
    def splits(self) -> int: ...
    @property
    def docs(self) -> int: ...
    @property
    def total_bytes(self) -> int: ...

@final
class Builder:
    def __new__(cls, gram_size: SupportsIndex = 3, head_boundary: SupportsIndex = 65536) -> Builder: ...
    def add(self, rank: SupportsIndex, text: str, record: _ByteString, facets: _Facets | None = None) -> None: ...
    def add_many(self, rows: Sequence[_Row]) -> None: ...
    def build(self, out_dir: str) -> BuildStats: ...
    def __len__(self) -> int: ...

@final
class VectorBuilder:
    def __new__(
        cls,
        dim: SupportsIndex,
        nlist: SupportsIndex,
        m: SupportsIndex,
        nbits: SupportsIndex = 8,
        metric: str = "ip",
        kmeans_iters: SupportsIndex = 25,
        seed: SupportsIndex | None = None,
    ) -> VectorBuilder: ...
    def add(self, doc_id: SupportsIndex, vector: _Vector) -> None: ...
    def add_many(self, items: Sequence[tuple[SupportsIndex, _Vector]]) -> None: ...
    def build(self, out_path: str) -> VectorBuildStats: ...
    def __len__(self) -> int: ...

def tokenize(text: str, gram_size: SupportsIndex = 3) -> list[int]: ...
def write_hyvi_from_faiss(
    out_path: str,
    dim: SupportsIndex,
    nlist: SupportsIndex,
    m: SupportsIndex,
    centroids: _ByteString,
    codebooks: _ByteString,
    ids: _ByteString,
    assignments: _ByteString,
    codes: _ByteString,
    nbits: SupportsIndex = 8,
    metric: str = "ip",
    opq: _ByteString | None = None,
) -> VectorBuildStats: ...
def write_term_index(path: str, docs: Sequence[_Doc], head_boundary: SupportsIndex | None = None) -> None: ...

@final
class TermBuilder:
    def __new__(
        cls,
        head_boundary: SupportsIndex | None = None,
        language: str | None = None,
        stem: bool | None = None,
        stopwords: bool = False,
        block_cap: SupportsIndex | None = None,
        case_sensitive: bool = False,
    ) -> TermBuilder: ...
    def add_many(self, docs: Sequence[_Doc]) -> None: ...
    def term_count(self) -> int: ...
    def finish(self, path: str) -> None: ...

@final
class SplitSetBuilder:
    def __new__(
        cls,
        policy: str = "tiered",
        byte_cap: SupportsIndex = 33554432,
        gram_size: SupportsIndex = 3,
        head_boundary: SupportsIndex = 0,
        stride: SupportsIndex = 0,
        name_prefix: str = "split",
        sortcol: _Sortcol | None = None,
        bloom_bits_per_key: SupportsIndex = 10,
        byte_cap_max: SupportsIndex = 0,
        case_sensitive: bool = False,
    ) -> SplitSetBuilder: ...
    def add(self, text: str) -> int: ...
    def add_faceted(self, text: str, facets: _Facets) -> int: ...
    def doc_count(self) -> int: ...
    def build(self, out_dir: str, manifest_name: str = "index") -> SplitSetBuildStats: ...
    def __len__(self) -> int: ...

@final
class TermSplitSetBuilder:
    def __new__(
        cls,
        policy: str = "tiered",
        byte_cap: SupportsIndex = 33554432,
        head_boundary: SupportsIndex = 0,
        name_prefix: str = "split",
        sortcol: _Sortcol | None = None,
        language: str | None = None,
        stem: bool | None = None,
        stopwords: bool = False,
        byte_cap_max: SupportsIndex = 0,
        case_sensitive: bool = False,
    ) -> TermSplitSetBuilder: ...
    def add(self, text: str) -> int: ...
    def add_faceted(self, text: str, facets: _Facets) -> int: ...
    def doc_count(self) -> int: ...
    def build(self, out_dir: str, manifest_name: str = "index") -> SplitSetBuildStats: ...
    def __len__(self) -> int: ...

@final
class SplitSetWriter:
    def __new__(
        cls,
        gram_size: SupportsIndex = 3,
        byte_cap: SupportsIndex = 33554432,
        name_prefix: str = "split",
        policy: str = "stable_key",
        head_boundary: SupportsIndex = 0,
        stride: SupportsIndex = 0,
        tier_count: SupportsIndex = 0,
        sortcol: _Sortcol | None = None,
        bloom_bits_per_key: SupportsIndex = 10,
        case_sensitive: bool = False,
    ) -> SplitSetWriter: ...
    @staticmethod
    def resume(
        manifest: _ByteString,
        gram_size: SupportsIndex = 3,
        head_boundary: SupportsIndex = 0,
        stride: SupportsIndex = 0,
        name_prefix: str = "split",
        bloom_bits_per_key: SupportsIndex = 10,
    ) -> SplitSetWriter: ...
    def add(self, text: str) -> int: ...
    def delete(self, doc_id: SupportsIndex) -> None: ...
    def memtable_bytes(self) -> int: ...
    def memtable_doc_count(self) -> int: ...
    def doc_count(self) -> int: ...
    # (split_name, split_bytes, manifest_bytes), or None with nothing to flush.
    def flush(self) -> tuple[str, bytes, bytes] | None: ...
    # inputs: (name, split_bytes) pairs; returns (split_name, split_bytes,
    # manifest_bytes, removed split names).
    def compact(self, inputs: Sequence[tuple[str, _ByteString]]) -> tuple[str, bytes, bytes, list[str]]: ...
