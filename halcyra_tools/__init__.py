"""Readers, a checker and a query tool for the static index files halcyra
writes, over local files or HTTP servers that answer byte-range requests.

    import halcyra_tools
    index = halcyra_tools.open("out/")          # a dataset folder, index.hyss, .hys, .hyt, .hyvi
    index.search("open source", facets={"source": ["computers"]}, limit=10)
    index.stats                                 # requests, bytes, splits skipped ...
    halcyra_tools.verify("out/")                # [] when every file is sound
    halcyra_tools.merge_split_sets(["a/index.hyss", "b/index.hyss"], "out/index.hyss")

The query side needs the halcyra extension (query keys and terms are made by
the library that made the index); inspecting, verifying and merging do not.
`halcyra_tools.dask.build_split_set` builds a split set on a dask cluster
with the extension on every worker (imported on its own: it needs dask)."""

from .errors import FormatError, NotFound, QueryError, SourceError, ToolsError
from .indexes import Dataset, NgramFile, SplitSet, Stats, TermFile, VectorFile, open_index as open
from .merge import MergeError, merge_split_sets
from .verify import Problem, Report, check, verify

__all__ = ["open", "verify", "check", "Problem", "Report", "Stats", "Dataset", "SplitSet", "NgramFile", "TermFile", "VectorFile",
           "merge_split_sets", "MergeError", "ToolsError", "SourceError", "NotFound", "FormatError", "QueryError"]
