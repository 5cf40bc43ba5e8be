"""Byte sources: a local file or a file behind an HTTP server, both read by
byte ranges through one small interface. Every source counts the requests it
makes and the bytes it receives, into its own counters and into the shared
counters of the `Client` that made it, so that a reader opened on a split set
reports the traffic of the manifest and every split together.

A source caches the first bytes it was asked for with `read_upto(0, n)`
(readers ask for a generous prefix when they sniff a file), so that a header
and the small tables that follow it cost no second request."""

import bisect
import http.client
import mmap
import os
import re
import socket
import time
import urllib.parse

from .errors import FormatError, NotFound, SourceError

DEFAULT_TIMEOUT = 10.0
# Ranges per HTTP request; a Range header of this many stays well inside the
# header size limits of common servers.
MAX_RANGES_PER_REQUEST = 64
# A whole-file read (verification) asks for chunks of this size.
WHOLE_CHUNK = 16 << 20

_CONTENT_RANGE = re.compile(r"bytes\s+(\d+)-(\d+)/(\d+|\*)\s*$")
_UNSATISFIED = re.compile(r"bytes\s+\*/(\d+)\s*$")


class Counters:
    """Requests made and bytes received."""

    __slots__ = ("requests", "bytes", "files")

    def __init__(self):
        self.requests = 0
        self.bytes = 0
        self.files = []  # file sources holding a descriptor, closed with their client


def coalesce(ranges, gap=0):
    """The (offset, length) ranges merged where they overlap, touch, or lie at
    most `gap` bytes apart; returned sorted, as (offset, end) pairs."""
    merged = []
    for offset, length in sorted((o, n) for o, n in ranges if n > 0):
        end = offset + length
        if merged and offset <= merged[-1][1] + gap:
            if end > merged[-1][1]:
                merged[-1][1] = end
        else:
            merged.append([offset, end])
    return [(a, b) for a, b in merged]


def check_name(name, manifest, offset=None):
    """A file name taken from an index (a split named by a manifest) must stay
    beside that index."""
    if (not name or name in (".", "..") or "/" in name or "\\" in name or "\0" in name):
        raise FormatError(manifest, offset, f"split name {name!r} is not a plain file name")
    return name


class Source:
    """A file read by byte ranges. Subclasses provide `_fetch` and `_size`."""

    def __init__(self, location, shared=None, size=None):
        self.location = location
        self.counters = Counters()
        self._shared = shared
        self._size = size
        self._cache = b""  # the file's first bytes, once read

    @property
    def name(self):
        return self.location.rstrip("/").rsplit("/", 1)[-1]

    def _count(self, requests, nbytes):
        self.counters.requests += requests
        self.counters.bytes += nbytes
        if self._shared is not None:
            self._shared.requests += requests
            self._shared.bytes += nbytes

    def size(self):
        if self._size is None:
            self._size = self._learn_size()
        return self._size

    def known_size(self):
        """The size if it is known without a request, else None."""
        return self._size

    def exists(self):
        try:
            self.read_upto(0, 1)
            return True
        except NotFound:
            return False

    def _cached(self, offset, length):
        if offset + length <= len(self._cache):
            return self._cache[offset : offset + length]
        return None

    def read_upto(self, offset, length):
        """Up to `length` bytes at `offset`: fewer only where the file ends."""
        hit = self._cached(offset, length)
        if hit is not None:
            return hit
        (data,) = self._fetch([(offset, offset + length)], short_ok=True)
        if offset == 0 and len(data) > len(self._cache):
            self._cache = data
        return data

    def read_rest(self, offset=0):
        """Every byte from `offset` to the end of the file, in one request."""
        if offset == 0 and self._size is not None and len(self._cache) == self._size:
            return self._cache
        data = self._fetch_rest(offset)
        if offset == 0:
            self._cache = data
            self._size = len(data)
        return data

    def _fetch_rest(self, offset):
        return self._fetch([(offset, max(self.size(), offset))], short_ok=True)[0]

    def read(self, offset, length):
        """Exactly `length` bytes at `offset`; a file that ends before is a
        format error (a truncated file) at `offset`."""
        return self.read_many([(offset, length)])[0]

    def read_many(self, ranges, gap=0):
        """The bytes of every (offset, length) range, in the order given.
        Ranges that overlap or touch (or lie within `gap` bytes) are fetched
        as one; an HTTP source asks for all of them in one request."""
        ranges = list(ranges)
        for offset, length in ranges:
            if offset < 0 or length < 0:
                raise FormatError(self.location, offset, f"negative range of {length} bytes")
        out = [None] * len(ranges)
        wanted = []
        for i, (offset, length) in enumerate(ranges):
            hit = self._cached(offset, length)
            if hit is not None:
                out[i] = hit
            else:
                wanted.append(i)
        if wanted:
            spans = coalesce([ranges[i] for i in wanted], gap)
            known = self.known_size()
            for offset, end in spans:
                if known is not None and end > known:
                    self._truncated(offset, end, known)
            fetched = self._fetch(spans, short_ok=False)
            for (offset, end), data in zip(spans, fetched):
                if len(data) != end - offset:
                    self._truncated(offset, end, offset + len(data))
            starts = [a for a, _ in spans]
            for i in wanted:
                offset, length = ranges[i]
                k = bisect.bisect_right(starts, offset) - 1
                a = offset - spans[k][0]
                out[i] = fetched[k][a : a + length]
        return out

    def _truncated(self, offset, end, size):
        raise FormatError(self.location, offset,
                          f"truncated: {end - offset} bytes wanted here, but the file ends at byte {size}")

    def whole(self):
        """The whole file (for verification)."""
        size = self.size()
        if len(self._cache) == size:
            return self._cache
        start = len(self._cache)
        chunks = self.read_many([(o, min(WHOLE_CHUNK, size - o)) for o in range(start, size, WHOLE_CHUNK)])
        return b"".join([self._cache] + chunks)

    def sibling(self, name, size=None):
        """The file `name` in the same folder, sharing counters and connections."""
        raise NotImplementedError

    def close(self):
        pass


class BytesSource(Source):
    """Bytes already in memory, read as if they were a file (no requests)."""

    def __init__(self, data, location="<bytes>"):
        super().__init__(location, size=len(data))
        self._data = bytes(data)
        self._cache = self._data

    def _fetch(self, spans, short_ok):
        return [self._data[a:b] for a, b in spans]

    def whole(self):
        return self._data


class FileSource(Source):
    def __init__(self, path, shared=None, size=None):
        super().__init__(path, shared, size)
        self.path = path
        self._fd = None

    def _open(self):
        if self._fd is None:
            try:
                self._fd = os.open(self.path, os.O_RDONLY)
            except FileNotFoundError:
                raise NotFound(self.path) from None
            except IsADirectoryError:
                raise SourceError(self.path, "is a folder, not a file") from None
            except OSError as e:
                raise SourceError(self.path, f"cannot open: {e.strerror}") from None
            if self._shared is not None:
                self._shared.files.append(self)
        return self._fd

    def known_size(self):
        return self.size()  # a stat, not a read

    def _learn_size(self):
        try:
            return os.fstat(self._open()).st_size
        except OSError as e:
            raise SourceError(self.path, f"cannot stat: {e.strerror}") from None

    def _fetch(self, spans, short_ok):
        fd = self._open()
        out = []
        for a, b in spans:
            try:
                data = os.pread(fd, b - a, a)
                # pread may return less than asked before the end; finish the range
                while len(data) < b - a:
                    more = os.pread(fd, b - a - len(data), a + len(data))
                    if not more:
                        break
                    data += more
            except OSError as e:
                raise SourceError(self.path, f"read of bytes {a}-{b - 1} failed: {e.strerror}") from None
            self._count(1, len(data))
            out.append(data)
        return out

    def sibling(self, name, size=None):
        return FileSource(os.path.join(os.path.dirname(self.path), name), self._shared, size)

    def whole(self):
        """The file mapped into memory, read-only (one request)."""
        size = self.size()
        if size == 0:
            return b""
        try:
            data = mmap.mmap(self._open(), 0, access=mmap.ACCESS_READ)
        except (OSError, ValueError):
            return super().whole()
        self._count(1, len(data))
        return data

    def close(self):
        if self._fd is not None:
            os.close(self._fd)
            self._fd = None

    def __del__(self):
        try:
            self.close()
        except (OSError, TypeError):  # at interpreter exit
            pass


class HttpPool:
    """Persistent connections, one per scheme and host, shared by every HTTP
    source one `Client` makes."""

    def __init__(self, timeout):
        self.timeout = timeout
        self._connections = {}

    def get(self, scheme, netloc):
        key = (scheme, netloc)
        conn = self._connections.get(key)
        if conn is not None:
            return conn, True
        cls = http.client.HTTPSConnection if scheme == "https" else http.client.HTTPConnection
        conn = cls(netloc, timeout=self.timeout)
        self._connections[key] = conn
        return conn, False

    def drop(self, scheme, netloc):
        conn = self._connections.pop((scheme, netloc), None)
        if conn is not None:
            conn.close()

    def close(self):
        for conn in self._connections.values():
            conn.close()
        self._connections.clear()


class HttpSource(Source):
    """A file behind an HTTP server that answers Range requests (206). A server
    that ignores Range is an error: the whole body is never downloaded."""

    def __init__(self, url, pool, shared=None, size=None):
        super().__init__(url, shared, size)
        parts = urllib.parse.urlsplit(url)
        self.scheme, self.netloc = parts.scheme, parts.netloc
        self.path = parts.path + (f"?{parts.query}" if parts.query else "")
        self.pool = pool

    def sibling(self, name, size=None):
        base = self.location.rsplit("/", 1)[0]
        return HttpSource(f"{base}/{urllib.parse.quote(name)}", self.pool, self._shared, size)

    def _fetch_rest(self, offset):
        if self._size is not None:
            return super()._fetch_rest(offset)
        return self._request_live([(offset, None)])[0]

    def _learn_size(self):
        self._fetch([(0, 1)], short_ok=True)
        if self._size is None:
            raise SourceError(self.location, "the server did not say how long the file is")
        return self._size

    def _fetch(self, spans, short_ok):
        out = []
        for i in range(0, len(spans), MAX_RANGES_PER_REQUEST):
            out.extend(self._request(spans[i : i + MAX_RANGES_PER_REQUEST], short_ok))
        return out

    def _fail(self, message):
        self.pool.drop(self.scheme, self.netloc)
        raise SourceError(self.location, message)

    def _request(self, spans, short_ok):
        if self._size is not None:
            clipped = [(a, min(b, self._size)) for a, b in spans]
            if all(a >= b for a, b in clipped):
                return [b"" for _ in spans]
            if short_ok:
                live = [(a, b) for a, b in clipped if a < b]
                got = dict(zip(live, self._request_live(live)))
                return [got.get((a, b), b"") for a, b in clipped]
        return self._request_live(spans)

    def _request_live(self, spans):
        header = "bytes=" + ",".join(f"{a}-{'' if b is None else b - 1}" for a, b in spans)
        what = "bytes " + header[6:]
        timeout = self.pool.timeout
        for attempt in (0, 1):
            conn, reused = self.pool.get(self.scheme, self.netloc)
            try:
                conn.request("GET", self.path, headers={"Range": header, "Accept-Encoding": "identity"})
                response = conn.getresponse()
                break
            except (http.client.RemoteDisconnected, ConnectionResetError, BrokenPipeError) as e:
                self.pool.drop(self.scheme, self.netloc)
                if reused and attempt == 0:
                    continue  # a kept-alive connection the server had closed
                raise SourceError(self.location, f"connection lost asking for {what}: {e}") from None
            except socket.timeout:
                self._fail(f"no answer within {timeout:g} s asking for {what}")
            except (OSError, http.client.HTTPException) as e:
                self._fail(f"request for {what} failed: {e}")
        self._count(1, 0)
        status = response.status
        if status == 200:
            length = response.getheader("Content-Length", "unknown")
            self._fail(f"the server ignored the Range header (answered 200 with the whole body, {length} bytes, "
                       f"to a request for {what}); refusing to download it whole")
        if status == 416:
            match = _UNSATISFIED.match(response.getheader("Content-Range") or "")
            self._read_body(response, what)
            if not match:
                self._fail(f"range {what} not satisfiable (HTTP 416) and no file size given")
            self._size = int(match.group(1))
            if spans[-1][1] is None:
                return [b""]
            return self._request(spans, short_ok=True)
        if status == 404:
            self._read_body(response, what)
            raise NotFound(self.location)
        if 300 <= status < 400 and (response.getheader("Location") or "").endswith("/"):
            self._fail(f"HTTP {status} {response.reason}: redirected to {response.getheader('Location')} "
                       f"(a folder's URL ends in '/')")
        if status != 206:
            self._fail(f"HTTP {status} {response.reason} for {what}")
        ctype = response.getheader("Content-Type") or ""
        if ctype.lower().startswith("multipart/byteranges"):
            return self._multipart(response, ctype, spans, what)
        body = self._read_body(response, what)
        start, end, total = self._content_range(response.getheader("Content-Range"), what)
        if len(body) != end - start:
            self._fail(f"Content-Range says {end - start} bytes, the body has {len(body)}")
        # One part may answer several ranges (servers may merge them).
        out = []
        for a, b in spans:
            if b is None:  # to the end of the file
                if a != start or total is None or end != total:
                    self._fail(f"asked for {what}, the server answered bytes {start}-{end - 1}/{total}")
                out.append(body)
                continue
            want_end = min(b, total) if total is not None else b
            if a < want_end and not (start <= a and want_end <= end):
                self._fail(f"asked for bytes {a}-{b - 1}, the server answered bytes {start}-{end - 1}")
            out.append(body[a - start : want_end - start] if a < want_end else b"")
        return out

    def _content_range(self, value, what):
        match = _CONTENT_RANGE.match(value or "")
        if not match:
            self._fail(f"answer to {what} has no usable Content-Range ({value!r})")
        start, last = int(match.group(1)), int(match.group(2))
        total = None if match.group(3) == "*" else int(match.group(3))
        if total is not None:
            if self._size is not None and self._size != total:
                self._fail(f"the file changed size while being read ({self._size} then {total} bytes)")
            self._size = total
        if last < start:
            self._fail(f"answer to {what} has an empty Content-Range ({value!r})")
        return start, last + 1, total

    def _read_body(self, response, what):
        length = response.getheader("Content-Length")
        deadline = time.monotonic() + 6 * self.pool.timeout
        chunks, got = [], 0
        try:
            while True:
                chunk = response.read(1 << 20)
                if not chunk:
                    break
                chunks.append(chunk)
                got += len(chunk)
                if time.monotonic() > deadline:
                    self._fail(f"answer to {what} still incomplete after {6 * self.pool.timeout:g} s")
        except http.client.IncompleteRead as e:
            self._count(0, got + len(e.partial))
            self._fail(f"connection broke off after {got + len(e.partial)} of {length} bytes of the answer to {what}")
        except socket.timeout:
            self._count(0, got)
            self._fail(f"answer to {what} stalled: nothing for {self.pool.timeout:g} s after {got} bytes")
        except (OSError, http.client.HTTPException) as e:
            self._count(0, got)
            self._fail(f"reading the answer to {what} failed after {got} bytes: {e}")
        self._count(0, got)
        if length is not None and got != int(length):
            self._fail(f"connection broke off after {got} of {length} bytes of the answer to {what}")
        return b"".join(chunks)

    def _multipart(self, response, ctype, spans, what):
        match = re.search(r'boundary="?([^";]+)"?', ctype)
        if not match:
            self._fail(f"multipart answer to {what} without a boundary")
        body = self._read_body(response, what)
        delimiter = b"--" + match.group(1).encode("latin-1")
        parts = {}
        pos = 0
        while True:
            at = body.find(delimiter, pos)
            if at < 0:
                self._fail(f"multipart answer to {what} ends without its closing boundary")
            pos = at + len(delimiter)
            if body[pos : pos + 2] == b"--":
                break
            head_end = body.find(b"\r\n\r\n", pos)
            if head_end < 0:
                self._fail(f"multipart answer to {what} has a part without headers")
            content_range = None
            for line in body[pos:head_end].split(b"\r\n"):
                name, _, value = line.partition(b":")
                if name.strip().lower() == b"content-range":
                    content_range = value.strip().decode("latin-1")
            start, end, _ = self._content_range(content_range, what)
            data_at = head_end + 4
            if data_at + end - start > len(body):
                self._fail(f"multipart answer to {what} cut short in the part for bytes {start}-{end - 1}")
            parts[start] = (end, body[data_at : data_at + end - start])
            pos = data_at + end - start
        out = []
        for a, b in spans:
            want_end = min(b, self._size) if self._size is not None else b
            part = parts.get(a)
            if part is None or part[0] != want_end:
                self._fail(f"multipart answer to {what} lacks bytes {a}-{b - 1}")
            out.append(part[1])
        return out


class Client:
    """Makes the sources of one opened index: one set of shared counters, one
    HTTP connection pool, one timeout."""

    def __init__(self, timeout=DEFAULT_TIMEOUT):
        self.counters = Counters()
        self.pool = HttpPool(timeout)

    def source(self, location, size=None):
        kind, where = classify(location)
        if kind == "http":
            return HttpSource(where, self.pool, self.counters, size)
        return FileSource(where, self.counters, size)

    def close(self):
        self.pool.close()
        for source in self.counters.files:
            source.close()
        self.counters.files.clear()


def classify(location):
    """("http", url) or ("file", local path) for a location string."""
    location = os.fspath(location)
    lowered = location.lower()
    if lowered.startswith(("http://", "https://")):
        return "http", location
    if lowered.startswith("file://"):
        parts = urllib.parse.urlsplit(location)
        if parts.netloc not in ("", "localhost"):
            raise SourceError(location, "file:// URLs must name a local path")
        return "file", urllib.parse.unquote(parts.path)
    if re.match(r"^[a-zA-Z][a-zA-Z0-9+.-]*://", location):
        raise SourceError(location, "unsupported URL scheme (use a path, file://, http:// or https://)")
    return "file", location


def is_folder(location):
    """Whether a location names a folder: an existing local folder, or a URL
    ending in '/'."""
    kind, where = classify(location)
    if kind == "http":
        path = urllib.parse.urlsplit(where).path
        return path == "" or path.endswith("/")
    return os.path.isdir(where)


def child(folder, name):
    """The location of `name` inside a folder location."""
    kind, where = classify(folder)
    if kind == "http":
        return where.rstrip("/") + "/" + urllib.parse.quote(name)
    return os.path.join(where, name)
