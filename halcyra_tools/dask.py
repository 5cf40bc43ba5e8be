"""`build_split_set(docs, out_dir)`: one split set built by a dask cluster.
Each partition of a bag becomes a split set of its own, built on a worker by
halcyra's batch builder; the driver then joins their manifests with
`merge_split_sets` and writes `index.hyss` last, once every partition has
succeeded and every split it names is in place.

    import dask.bag
    from dask.distributed import Client, LocalCluster
    from halcyra_tools.dask import build_split_set

    with LocalCluster(n_workers=2, threads_per_worker=1) as cluster, Client(cluster):
        bag = dask.bag.from_sequence(texts, npartitions=8)      # rank order, partition by partition
        stats = build_split_set(bag, "/shared/out", byte_cap=4 << 20, name_prefix="web")

Partition p writes its splits as `<name_prefix>-p<p>-s<n>` (p and n five
digits or more) straight into `out_dir`, which every worker must reach at the
same path (a shared file system). Its own manifest is written there as
`<name_prefix>-p<p>.hyss`, read back and removed by the worker, and travels
to the driver with the task's result, so that a finished build leaves only
splits, sidecars and `index.hyss` behind. A failed build writes no
`index.hyss` (an existing one is left as it was) and raises `BuildError`
naming every partition that failed; the splits already written stay, to be
overwritten by the next build.

The splits are cut per partition: a split never spans two partitions, so a
partition much smaller than the byte cap makes a small split, and growing
caps (`byte_cap_max`) start again at each partition. Ids and every query's
answer are those of one builder fed the whole bag in order.

This module is named after the package it drives: it imports the real `dask`
absolutely, and `halcyra_tools` does not import it unless asked."""

from __future__ import annotations

import dataclasses
import functools
import os
import socket
import time

import dask
import dask.bag

from .errors import ToolsError
from .formats import SUMMARY_FACETS, Manifest, summary_records
from .merge import _write, merge_split_sets
from .source import check_name

__all__ = ["build_split_set", "BuildStats", "PartitionStats", "BuildError"]

KINDS = ("ngram", "terms")


class BuildError(ToolsError):
    """A partition failed, or its files are not where the driver looks."""


@dataclasses.dataclass
class PartitionStats:
    partition: int
    docs: int
    splits: int
    total_bytes: int      # its splits and sidecars
    seconds: float        # adding its documents and writing its files, on the worker
    worker: str           # host:pid of the process that built it


@dataclasses.dataclass
class BuildStats:
    """The merged set's figures (as a single builder's `SplitSetBuildStats`),
    with each partition's and the wall-clock time of both phases."""

    splits: int
    docs: int
    total_bytes: int
    partitions: list
    build_seconds: float  # from submitting the partitions until the last finished
    merge_seconds: float  # checking their files, joining and writing the manifest
    manifest_bytes: int   # of the merged manifest


def _builder(kind, options, name_prefix):
    import halcyra

    if kind == "ngram":
        return halcyra.SplitSetBuilder(name_prefix=name_prefix, **options)
    if kind == "terms":
        return halcyra.TermSplitSetBuilder(name_prefix=name_prefix, **options)
    raise ValueError(f"kind is one of {', '.join(KINDS)}, not {kind!r}")


def _add(builder, item, n):
    if isinstance(item, str):
        return builder.add(item)
    if isinstance(item, (tuple, list)) and len(item) == 2 and isinstance(item[0], str):
        return builder.add_faceted(item[0], item[1])
    raise TypeError(f"item {n} ({type(item).__name__}) is not a text or a (text, facets) pair")


def _build_partition(items, partition, out_dir, kind, options, name_prefix):
    """Runs on a worker: the partition's split set, its manifest returned as bytes."""
    start = time.perf_counter()
    manifest = os.path.join(out_dir, name_prefix + ".hyss")
    result = dict(partition=partition, worker=f"{socket.gethostname()}:{os.getpid()}", error=None)
    try:
        builder = _builder(kind, options, name_prefix)
        for n, item in enumerate(items):
            _add(builder, item, n)
        stats = builder.build(out_dir, manifest_name=name_prefix)
        with open(manifest, "rb") as f:
            result["manifest"] = f.read()
        result.update(docs=stats.docs, splits=stats.splits, total_bytes=stats.total_bytes)
    except Exception as e:  # reported with the others once every partition has finished
        result["error"] = f"{type(e).__name__}: {e}"
    finally:
        try:
            os.remove(manifest)
        except FileNotFoundError:
            pass
    result["seconds"] = time.perf_counter() - start
    return result


def _check_files(out_dir, results):
    """Every split a partition names, and its sidecar, is in `out_dir` as the
    driver sees it: a folder that is not shared fails here, not in a reader."""
    missing = []
    for r in results:
        label = f"partition {r['partition']}"
        m = Manifest(r["manifest"], label)
        for s in m.splits:
            check_name(s["name"], label, s["entry_at"])
            path = os.path.join(out_dir, s["name"])
            try:
                size = os.stat(path).st_size
            except FileNotFoundError:
                missing.append(f"{label}: {path} is missing")
                continue
            if size != s["byte_size"]:
                missing.append(f"{label}: {path} is {size} bytes, its manifest says {s['byte_size']}")
            tags = [tag for tag, _, _ in summary_records(s["summary"], label, s["summary_at"])]
            sidecar = os.path.join(out_dir, s["name"].rsplit(".", 1)[0] + ".hyf")
            if SUMMARY_FACETS in tags and not os.path.exists(sidecar):
                missing.append(f"{label}: {sidecar} is missing")
    if missing:
        raise BuildError("; ".join(missing) + " (is the output folder shared by every worker?)")


def _commit(out_dir, results, manifest_name):
    """The driver's part once every partition has returned: the failures
    reported, the files checked, the manifests joined and written last."""
    failed = [f"partition {r['partition']}: {r['error']}" for r in results if r["error"]]
    if failed:
        raise BuildError(f"{len(failed)} of {len(results)} partitions failed: " + "; ".join(failed))
    _check_files(out_dir, results)
    merged = merge_split_sets([r["manifest"] for r in results])
    _write(os.path.join(out_dir, manifest_name + ".hyss"), merged)
    return merged


def build_split_set(docs, out_dir, *, kind="ngram", manifest_name="index", **options):
    """Builds the split set of the bag `docs` into `out_dir` (a folder every
    worker can write at that path) with the scheduler dask uses by default
    (a `dask.distributed.Client`'s cluster when one is open). Partitions hold
    the corpus in rank order, partition after partition; an item is a text
    or a `(text, {field: [categories]})` pair. `kind` chooses
    `halcyra.SplitSetBuilder` ("ngram") or `halcyra.TermSplitSetBuilder`
    ("terms"), which get the other keyword arguments; `name_prefix` (default
    "split") gets `-p<partition>` appended. Returns `BuildStats`."""
    if not isinstance(docs, dask.bag.Bag):
        raise TypeError(f"docs is a dask.bag.Bag, not a {type(docs).__name__}")
    name_prefix = options.pop("name_prefix", "split")
    if not isinstance(manifest_name, str) or manifest_name in ("", ".", "..") or set("/\\\0") & set(manifest_name):
        raise ValueError(f"manifest_name {manifest_name!r} is not a plain file name")
    _builder(kind, options, name_prefix)  # bad settings fail here, before any worker is asked
    out_dir = os.path.abspath(os.fspath(out_dir))
    os.makedirs(out_dir, exist_ok=True)

    start = time.perf_counter()
    tasks = []
    for p, part in enumerate(docs.to_delayed()):
        # The settings ride in a partial, where dask does not look for tasks among them.
        build = functools.partial(_build_partition, partition=p, out_dir=out_dir, kind=kind, options=options,
                                  name_prefix=f"{name_prefix}-p{p:05d}")
        tasks.append(dask.delayed(build, pure=False)(part))
    if tasks:
        try:
            results = list(dask.compute(*tasks))
        except Exception as e:  # a partition's input failed, or a worker was lost
            raise BuildError(f"the build stopped before every partition finished: {type(e).__name__}: {e}") from e
    else:  # a bag without partitions: an empty set
        results = [_build_partition([], 0, out_dir, kind, options, f"{name_prefix}-p00000")]
    built = time.perf_counter()
    merged = _commit(out_dir, results, manifest_name)
    partitions = [PartitionStats(r["partition"], r["docs"], r["splits"], r["total_bytes"], r["seconds"], r["worker"])
                  for r in results]
    return BuildStats(splits=sum(p.splits for p in partitions), docs=sum(p.docs for p in partitions),
                      total_bytes=sum(p.total_bytes for p in partitions), partitions=partitions,
                      build_seconds=built - start, merge_seconds=time.perf_counter() - built,
                      manifest_bytes=len(merged))
