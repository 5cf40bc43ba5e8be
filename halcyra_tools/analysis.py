"""Query keys and terms, made by the library that made the index, so that a
query is keyed exactly as the documents were.

- n-gram keys: `halcyra.tokenize`, which folds case; for a case-sensitive
  index, the key dictionary of a one-document case-sensitive split that a
  `SplitSetWriter` builds in memory.
- terms: the dictionary of a one-document term index that a `TermBuilder`
  with the index's analyzer settings writes to a temporary file.

Both are cached per settings and text."""

import functools
import os
import tempfile

import numpy as np

from .errors import QueryError
from .formats import NGRAM_ENTRY, NgramHeader


def _halcyra():
    try:
        import halcyra
    except ImportError:
        raise QueryError("making query keys needs the halcyra extension: put its build folder "
                         "(build/python) on PYTHONPATH") from None
    return halcyra


@functools.lru_cache(maxsize=4096)
def _ngram_keys(text, gram_size, case_sensitive):
    halcyra = _halcyra()
    if not case_sensitive:
        return tuple(sorted(set(halcyra.tokenize(text, gram_size))))
    writer = halcyra.SplitSetWriter(gram_size=gram_size, case_sensitive=True, bloom_bits_per_key=0)
    writer.add(text)
    _, split, _ = writer.flush()
    header = NgramHeader(split, "<query split>")
    entries = np.frombuffer(split, NGRAM_ENTRY, header.count, header.dict_at)
    return tuple(int(k) for k in entries["key"])


def ngram_keys(text, gram_size, case_sensitive=False):
    """The distinct n-gram keys of `text`, ascending (a uint64 array)."""
    if not isinstance(text, str):
        raise QueryError("an n-gram query is a text")
    return np.array(_ngram_keys(text, max(int(gram_size), 1), bool(case_sensitive)), np.uint64)


@functools.lru_cache(maxsize=4096)
def _terms(text, language, stem, stopwords, case_sensitive):
    halcyra = _halcyra()
    from .source import BytesSource
    from .terms import TermIndex

    builder = halcyra.TermBuilder(language=language, stem=stem if language else None, stopwords=stopwords,
                                  case_sensitive=case_sensitive)
    builder.add_many([(0, text)])
    fd, path = tempfile.mkstemp(suffix=".hyt", prefix="halcyra-query-")
    os.close(fd)
    try:
        builder.finish(path)
        with open(path, "rb") as f:
            data = f.read()
    finally:
        os.unlink(path)
    return tuple(TermIndex(BytesSource(data, "<query terms>")).all_terms())


def terms(text, analyzer):
    """The distinct terms of `text` (UTF-8 bytes, in byte order) under the
    analyzer settings of a term index header (`TermHeader.analyzer`)."""
    if not isinstance(text, str):
        raise QueryError("a term query is a text")
    return list(_terms(text, analyzer["language"], analyzer["stem"], analyzer["stopwords"],
                       analyzer["case_sensitive"]))
