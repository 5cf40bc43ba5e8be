"""python3 -m halcyra_tools inspect|verify|query LOCATION ...

    inspect LOCATION [--json]          what the location holds: kind, headers, splits
    verify LOCATION [--json]           every check; exit 0 sound, 1 problems, 2 unreadable
    query LOCATION TEXT [--facet FIELD=CATEGORY ...] [--limit N] [--records] [--stats] [--json]
    query LOCATION --vector X,Y,... [--k K] [--nprobe P] [--stats] [--json]

LOCATION is a path, a file:// URL or an http(s):// URL (a folder URL ends in
'/'). Output is for people by default and stable JSON with --json."""

import argparse
import base64
import json
import os
import struct
import sys
import time

from .errors import QueryError, ToolsError
from .indexes import Dataset, VectorFile, open_index
from .source import DEFAULT_TIMEOUT
from .verify import check


def _json(value):
    print(json.dumps(value, indent=2, sort_keys=True, ensure_ascii=False))


def _show(value, indent=0):
    """A describe() dict for people: nested dicts indented, lists of dicts
    as tables."""
    pad = " " * indent
    for key, item in value.items():
        if isinstance(item, dict):
            if not item:
                print(f"{pad}{key}: (none)")
                continue
            print(f"{pad}{key}:")
            _show(item, indent + 2)
        elif isinstance(item, list) and item and isinstance(item[0], dict):
            print(f"{pad}{key}: {len(item)}")
            columns = list(item[0])
            cells = [[_cell(row.get(c)) for c in columns] for row in item]
            widths = [max(len(c), *(len(r[i]) for r in cells)) for i, c in enumerate(columns)]
            print(pad + "  " + "  ".join(c.ljust(w) for c, w in zip(columns, widths)).rstrip())
            for r in cells:
                print(pad + "  " + "  ".join(v.ljust(w) for v, w in zip(r, widths)).rstrip())
        else:
            print(f"{pad}{key}: {_cell(item)}")


def _cell(value):
    if isinstance(value, bool):
        return "yes" if value else "no"
    if isinstance(value, int):
        return f"{value:,}" if abs(value) >= 10000 else str(value)
    if isinstance(value, list):
        return ",".join(str(v) for v in value) or "-"
    return "-" if value is None else str(value)


def _facets(pairs):
    facets = {}
    for pair in pairs or ():
        field, sep, category = pair.partition("=")
        if not sep or not field:
            raise QueryError(f"--facet wants FIELD=CATEGORY, not {pair!r}")
        facets.setdefault(field, []).append(category)
    return facets or None


def _vector(text):
    try:
        return [float(x) for x in text.split(",") if x.strip()]
    except ValueError:
        raise QueryError(f"--vector wants numbers separated by commas, not {text!r}") from None


def inspect(args):
    with open_index(args.location, args.timeout) as index:
        described = index.describe()
        described["stats"] = index.stats.as_dict()
    if args.json:
        _json(described)
    else:
        _show(described)
    return 0


def verify(args):
    start = time.perf_counter()
    report = check(args.location, args.timeout)
    seconds = time.perf_counter() - start
    code = 2 if report.unreadable else 1 if report.problems else 0
    if args.json:
        _json(dict(location=args.location, sound=code == 0, readable=not report.unreadable,
                   problems=[p.as_dict() for p in report.problems], bytes_checked=report.bytes_checked,
                   requests=report.requests, bytes_read=report.bytes))
        return code
    for p in report.problems:
        print(p)
    rate = report.bytes_checked / seconds / 1e6 if seconds > 0 else 0.0
    if code == 2:
        print(f"{args.location}: cannot be read")
    elif code == 1:
        print(f"{args.location}: {len(report.problems)} problem(s) in {report.bytes_checked:,} bytes checked")
    else:
        print(f"{args.location}: sound ({report.bytes_checked:,} bytes checked in {seconds:.2f} s, {rate:.0f} MB/s)")
    return code


def query(args):
    with open_index(args.location, args.timeout) as index:
        out = {}
        if isinstance(index, VectorFile):
            if args.vector is None:
                raise QueryError("a vector index is queried with --vector X,Y,...")
            hits = index.search(_vector(args.vector), k=args.k, nprobe=args.nprobe)
            out["hits"] = [dict(id=i, distance=d) for i, d in hits]
        else:
            if args.vector is not None:
                raise QueryError(f"--vector applies to vector indexes, {args.location} is a {index.kind} index")
            if args.text is None:
                raise QueryError("the query text is missing")
            ids = index.search(args.text, facets=_facets(args.facet), limit=args.limit)
            out["ids"] = ids
            if args.records:
                if not isinstance(index, Dataset):
                    raise QueryError("--records needs a dataset folder (records.idx and records.bin)")
                out["records"] = [_record(i, r) for i, r in zip(ids, index.records(ids))]
        stats = index.stats.as_dict()
    if args.json:
        if args.stats:
            out["stats"] = stats
        _json(out)
        return 0
    if "hits" in out:
        print(f"{len(out['hits'])} nearest vectors")
        for hit in out["hits"]:
            print(f"  {hit['id']:>10}  {hit['distance']:.6g}")
    else:
        print(f"{len(out['ids'])} documents" + (f" (limit {args.limit})" if args.limit is not None else ""))
        if "records" in out:
            for r in out["records"]:
                print(f"--- {r['id']}")
                print(r.get("record", r.get("record_base64")).rstrip("\n"))
        elif out["ids"]:
            print(" ".join(str(i) for i in out["ids"]))
    if args.stats:
        print("stats: " + ", ".join(f"{k}={v}" for k, v in stats.items()))
    return 0


def _record(i, data):
    try:
        return dict(id=i, record=data.decode())
    except UnicodeDecodeError:
        return dict(id=i, record_base64=base64.b64encode(data).decode())


def parser():
    p = argparse.ArgumentParser(prog="python3 -m halcyra_tools",
                                description="Inspect, verify and query halcyra index files, local or over HTTP.")
    sub = p.add_subparsers(dest="command", required=True)

    def common(q):
        q.add_argument("location", help="path, file:// URL, or http(s):// URL (folders end in '/')")
        q.add_argument("--json", action="store_true", help="stable JSON output")
        q.add_argument("--timeout", type=float, default=DEFAULT_TIMEOUT, help="seconds per network operation")

    common(sub.add_parser("inspect", help="what the location holds"))
    common(sub.add_parser("verify", help="check every file; exit 0 sound, 1 problems, 2 unreadable"))
    q = sub.add_parser("query", help="search the index")
    common(q)
    q.add_argument("text", nargs="?", help="query text (n-gram and term indexes)")
    q.add_argument("--facet", action="append", metavar="FIELD=CATEGORY",
                   help="restrict to a category (repeat: OR within a field, AND across fields)")
    q.add_argument("--limit", type=int, help="at most this many ids (the smallest)")
    q.add_argument("--records", action="store_true", help="print the records of the hits (datasets)")
    q.add_argument("--stats", action="store_true", help="requests, bytes and splits skipped")
    q.add_argument("--vector", metavar="X,Y,...", help="query vector (vector indexes)")
    q.add_argument("--k", type=int, default=10, help="nearest vectors wanted (default 10)")
    q.add_argument("--nprobe", type=int, default=8, help="lists probed (default 8)")
    return p


def main(argv=None):
    args = parser().parse_args(argv)
    try:
        return {"inspect": inspect, "verify": verify, "query": query}[args.command](args)
    except BrokenPipeError:  # the reader of the output went away (| head)
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except ToolsError as e:
        print(f"error: {e}", file=sys.stderr)
        return 2
    except (ValueError, IndexError, OverflowError, struct.error, OSError) as e:
        # Damage no check anticipated still ends in one line, not a traceback.
        print(f"error: {args.location}: unreadable: {type(e).__name__}: {e}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
