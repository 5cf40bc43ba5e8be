"""The errors every reader raises: each names the file (path or URL) and, for a
format problem, the byte offset where the reader found it."""


class ToolsError(Exception):
    """Base of every error this package raises on purpose."""


class SourceError(ToolsError):
    """The bytes could not be fetched: a missing file, an HTTP failure, a
    server that ignores Range, a timeout, a connection that broke off."""

    def __init__(self, location, message):
        super().__init__(f"{location}: {message}")
        self.location = location
        self.message = message


class NotFound(SourceError):
    """The file does not exist (a missing file, HTTP 404)."""

    def __init__(self, location):
        super().__init__(location, "no such file" if "://" not in str(location) else "not found (HTTP 404)")


class FormatError(ToolsError):
    """The bytes were fetched but are not what the format allows."""

    def __init__(self, file, offset, message):
        where = f"{file}: byte {offset}" if offset is not None else f"{file}"
        super().__init__(f"{where}: {message}")
        self.file = file
        self.offset = offset
        self.message = message


class QueryError(ToolsError, ValueError):
    """The query itself cannot be answered (no keys, wrong kind of index, ...)."""
