"""Page sources: the tasks of a batch, where they come from, and one task's record.

A batch is a stream of *tasks*, small named picklable records that say
where one page comes from; the text of a page is only read and decoded where
the page is extracted (in a worker process when there are several), so the
process that walks the inputs does little more than list them. Every task
has a ``page_id``, under which it is reported before its page is read, and
a ``size``, the bytes of page data it carries (0 when the page is read
later).

``PageFile(path)``
    a saved HTML page, plain or gzipped; its id is the path.
``PageBytes(page_id, data)``
    a saved HTML page already read (standard input), plain or gzipped.
``JsonLine(source, lineno, line, html_key, url_key)``
    one line (bytes) of a JSON-lines file of pages, an object with the
    members ``url`` (its id) and ``html`` (or other keys); a line without
    ``url``, or that cannot be read, is reported as ``source:lineno``.
``HttpResponse(url, body, content_type)``
    the body (bytes) of an HTML response taken from a WARC file, decoded by
    its HTTP charset, then its markup charset.
``PageText(page_id, text)``
    a page whose text is already decoded.
``PageObject(page)``
    a page as a mapping with ``url`` and ``html``, like a JSON-lines line.
``InputError(page_id, error, message)``
    an input that could not be read at all (an unreadable WARC file, a
    directory without pages); it is reported in its place in the order.

Every task gives one *record*, a dict (``extract_task``):

- ``{"page": ID, "rows": [ROW, ...]}`` for an extracted page;
- ``{"page": ID, "error": TYPE, "message": TEXT}`` for a page that failed.

The record is a ``PageRecord``, a dict that also tells, outside its
content, whether the page's text held U+FFFD replacement characters.
"""

import fnmatch
import gzip
import io
import json
import os
import stat
import sys
import time
from typing import NamedTuple

from w3lib.encoding import html_to_unicode
from warcio.archiveiterator import ArchiveIterator

__all__ = [
    "HttpResponse",
    "InputError",
    "InputStats",
    "JsonLine",
    "PageBytes",
    "PageFile",
    "PageNames",
    "PageRecord",
    "PageObject",
    "PageText",
    "PAGE_SUFFIXES",
    "decode_page",
    "decode_response",
    "describe",
    "error_record",
    "extract_task",
    "input_size",
    "input_tasks",
    "iter_tasks",
    "jsonl_tasks",
    "page_of_object",
    "warc_tasks",
]

#: File names taken as saved HTML pages when a directory is walked (see
#: ``PageNames``). A file named on the command line is taken as a page
#: whatever its name, unless its name marks a JSON-lines or WARC file.
HTML_SUFFIXES = (".html", ".htm", ".xhtml", ".shtml")
DEFAULT_INCLUDE = tuple("*" + suffix + gz for gz in ("", ".gz") for suffix in HTML_SUFFIXES)
JSONL_SUFFIXES = (".jsonl", ".ndjson", ".jl", ".jsonl.gz", ".ndjson.gz", ".jl.gz")
WARC_SUFFIXES = (".warc", ".warc.gz")
PAGE_SUFFIXES = tuple(pattern[1:] for pattern in DEFAULT_INCLUDE) + JSONL_SUFFIXES + WARC_SUFFIXES

#: The kinds of input, as ``--input-format`` names them.
INPUT_FORMATS = ("auto", "html", "jsonl", "warc")

_GZIP_MAGIC = b"\x1f\x8b"

#: HTTP media types of the WARC responses that are extracted.
HTML_MEDIA_TYPES = frozenset({"text/html", "application/xhtml+xml"})


def decode_page(data):
    """Turn the bytes of a saved page into text.

    Pages are normally stored as UTF-8 (a BOM is dropped); strict UTF-8 is
    tried first because crawlers often save pages as UTF-8 while leaving the
    original charset declaration in the markup. Anything that is not valid
    UTF-8 is decoded by what the page itself declares (BOM, meta charset),
    falling back to detection. The text is then taken as it is: the
    extractor does not decode it again by the charset that the markup
    declares.
    """
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError:
        _, text = html_to_unicode(None, data)
    return text


def gunzipped(data):
    """The bytes of a page, decompressed when they are gzipped (by their
    first bytes, whatever the file is called)."""
    if data[:2] == _GZIP_MAGIC:
        return gzip.decompress(data)
    return data


def decode_response(body, content_type):
    """Text of an HTTP response body: BOM, then the charset of the
    Content-Type header, then the markup's own declaration, then detection
    (UTF-8 when nothing else decides)."""
    _, text = html_to_unicode(content_type, body)
    return text


def describe(exc):
    """One line: the exception's message, without line breaks."""
    return " ".join(str(exc).splitlines())


def error_record(page_id, exc, where=None):
    """``{"page", "error", "message"}`` of a failed page, and ``rule``,
    ``field`` and ``hint`` from ``where`` when known (see
    ``explain.locate_failure``)."""
    record = {"page": page_id, "error": type(exc).__name__, "message": describe(exc)}
    if where:
        record.update(where)
    return record


class InputStats:
    """What the input walk passed over, for the closing summary."""

    def __init__(self):
        self.skipped_records = 0  # WARC records that are not HTML responses
        self.ignored_files = 0  # files of a walk that are not pages by name
        self.bytes_read = 0  # of the input files, as stored (compressed)


class PageNames:
    """Which files of a directory walk are pages: those matching one of the
    glob ``patterns`` (by default ``DEFAULT_INCLUDE``), case-insensitively.
    A pattern holding a ``/`` is matched against the path relative to the
    walked directory (``/`` separated; ``*`` crosses ``/`` too), any other
    against the base name. JSON-lines and WARC files are always taken."""

    def __init__(self, patterns=None):
        self.patterns = [pattern.lower() for pattern in (patterns or DEFAULT_INCLUDE)]

    def __call__(self, relpath):
        relpath = relpath.lower()
        name = relpath.rsplit("/", 1)[-1]
        if name.endswith(JSONL_SUFFIXES + WARC_SUFFIXES):
            return True
        return any(fnmatch.fnmatchcase(relpath if "/" in pattern else name, pattern) for pattern in self.patterns)


class PageRecord(dict):
    """A task's record; ``undecodable`` (not part of the content) tells that
    the page's text held U+FFFD replacement characters: bytes that its
    charset could not decode, usually a page whose charset is mislabelled."""

    undecodable = False


# -- Tasks ------------------------------------------------------------------


class PageFile(NamedTuple):
    """A saved HTML page, read and decoded where it is extracted."""

    path: str

    @property
    def page_id(self):
        return self.path

    @property
    def size(self):
        return 0

    def load(self):
        with open(self.path, "rb") as stream:
            return self.path, decode_page(gunzipped(stream.read()))


class PageBytes(NamedTuple):
    """A saved HTML page already read, plain or gzipped."""

    page_id: str
    data: bytes

    @property
    def size(self):
        return len(self.data)

    def load(self):
        return self.page_id, decode_page(gunzipped(self.data))


class JsonLine(NamedTuple):
    """One line of a JSON-lines file of pages."""

    source: str
    lineno: int
    line: bytes
    html_key: str = "html"
    url_key: str = "url"

    @property
    def page_id(self):
        return f"{self.source}:{self.lineno}"

    @property
    def size(self):
        return len(self.line)

    def load(self):
        return page_of_object(json.loads(self.line), self.page_id, self.html_key, self.url_key)


class HttpResponse(NamedTuple):
    """The body of an HTML response from a WARC file."""

    url: str
    body: bytes
    content_type: str

    @property
    def page_id(self):
        return self.url

    @property
    def size(self):
        return len(self.body)

    def load(self):
        return self.url, decode_response(self.body, self.content_type)


class PageText(NamedTuple):
    """A page whose text is already decoded."""

    page_id: object
    text: str

    @property
    def size(self):
        return 0

    def load(self):
        if not isinstance(self.text, str):
            raise TypeError(f"the page text must be a str, not {type(self.text).__name__}")
        return self.page_id, self.text


class PageObject(NamedTuple):
    """A page as a mapping with ``url`` and ``html``."""

    page: object

    @property
    def page_id(self):
        return self.page.get("url") if isinstance(self.page, dict) else None

    @property
    def size(self):
        return 0

    def load(self):
        return page_of_object(self.page)


class InputError(NamedTuple):
    """An input that could not be read at all, reported in its place."""

    page_id: object
    error: str
    message: str

    @property
    def size(self):
        return 0

    @classmethod
    def of(cls, page_id, exc):
        return cls(page_id, type(exc).__name__, describe(exc))


# -- Inputs -----------------------------------------------------------------


def _has_suffix(name, suffixes):
    return name.lower().endswith(suffixes)


def _kind_by_name(path):
    if _has_suffix(path, WARC_SUFFIXES):
        return "warc"
    if _has_suffix(path, JSONL_SUFFIXES):
        return "jsonl"
    return "html"


def iter_tasks(inputs, stats=None, include=None, input_format="auto", html_key="html", url_key="url"):
    """Tasks for the command line's inputs, in order, read lazily.

    An input is a directory (walked recursively in name order, taking the
    files that ``PageNames(include)`` takes; the others are counted in
    ``stats.ignored_files``), ``-`` (standard input, see ``input_tasks``)
    or a file: by ``input_format``, or with ``auto`` by its name, a WARC
    file (``.warc``, ``.warc.gz``), a JSON-lines file of pages (``.jsonl``,
    ``.ndjson``, ``.jl``, also gzipped) or, any other name, one saved HTML
    page (plain or gzipped).
    """
    stats = stats if stats is not None else InputStats()
    names = PageNames(include)
    keys = (html_key, url_key)
    for name in inputs:
        if name != "-" and os.path.isdir(name):
            found = False
            ignored = stats.ignored_files
            for path, size in _walk(name, names, stats):
                found = True
                if isinstance(path, InputError):  # a folder that cannot be read
                    yield path
                else:
                    yield from _file_tasks(path, _kind_by_name(path), stats, keys, size)
            if not found:
                yield InputError(
                    name,
                    "FileNotFoundError",
                    f"no page files in this directory ({stats.ignored_files - ignored} files ignored by name; "
                    "--include GLOB chooses which are pages)",
                )
        else:
            yield from input_tasks(name, input_format, stats, keys)[1]


def input_tasks(name, input_format="auto", stats=None, keys=("html", "url")):
    """(kind, tasks) of one file, or of standard input when ``name`` is
    ``-``: kind is ``html``, ``jsonl`` or ``warc``, from ``input_format``,
    or with ``auto`` from the file's name; standard input is decompressed
    when it is gzipped and then known by its first bytes (``WARC/``, ``{``
    for JSON lines, anything else is one HTML page). Its page ids are
    ``-`` for a page and ``-:LINE`` for JSON lines."""
    stats = stats if stats is not None else InputStats()
    if name != "-":
        kind = _kind_by_name(name) if input_format == "auto" else input_format
        return kind, _file_tasks(name, kind, stats, keys)
    stream = io.BufferedReader(_Meter(sys.stdin.buffer, stats))
    kind, stream = _sniffed(stream)
    if input_format != "auto":
        kind = input_format
    return kind, _stream_tasks("-", kind, stream, stats, keys)


def _stream_tasks(name, kind, stream, stats, keys):
    if kind == "html":
        try:
            yield PageBytes(name, stream.read())
        except Exception as exc:  # e.g. gzip cut short
            yield InputError.of(name, exc)
    elif kind == "jsonl":
        yield from _jsonl_stream_tasks(name, stream, keys)
    else:
        yield from _warc_stream_tasks(name, stream, stats)


def input_size(inputs, include=None, budget=1.0):
    """Bytes of all the inputs as stored, or None when that is not known
    (standard input from a pipe) or not cheap: when walking the
    directories takes more than ``budget`` seconds."""
    names = PageNames(include)
    deadline = time.monotonic() + budget
    total = 0
    for name in inputs:
        if name == "-":
            try:
                info = os.fstat(sys.stdin.fileno())
            except (OSError, ValueError, AttributeError):
                return None
            if not stat.S_ISREG(info.st_mode):
                return None
            total += info.st_size
        elif os.path.isdir(name):
            for _path, size in _walk(name, names, InputStats()):
                total += size
                if time.monotonic() > deadline:
                    return None
        else:
            total += _size_of(name)
    return total


def _size_of(path):
    try:
        return os.stat(path).st_size
    except OSError:
        return 0


def _walk(top, names, stats, seen=None, relative=""):
    """(path, size) of the page files under ``top``, depth first, each
    directory in name order; an error task for a directory that cannot be
    listed. Files that ``names`` does not take are counted in
    ``stats.ignored_files``. A directory met again through a symbolic link
    is not walked twice."""
    seen = set() if seen is None else seen
    real = os.path.realpath(top)
    if real in seen:
        return
    seen.add(real)
    try:
        with os.scandir(top) as listing:
            entries = sorted(listing, key=lambda entry: entry.name)
    except OSError as exc:
        yield InputError.of(top, exc), 0
        return
    for entry in entries:
        path = relative + entry.name
        if entry.is_dir():
            yield from _walk(entry.path, names, stats, seen, path + "/")
        elif names(path):
            try:
                size = entry.stat().st_size
            except OSError:  # a dangling link: reported when it is read
                size = 0
            yield entry.path, size
        else:
            stats.ignored_files += 1


def _file_tasks(path, kind, stats, keys=("html", "url"), size=None):
    start = stats.bytes_read
    if kind == "warc":
        yield from warc_tasks(path, stats)
    elif kind == "jsonl":
        yield from jsonl_tasks(path, stats, keys)
    else:
        stats.bytes_read += _size_of(path) if size is None else size
        yield PageFile(path)
        return
    stats.bytes_read = max(stats.bytes_read, start + (_size_of(path) if size is None else size))


class _Meter(io.RawIOBase):
    """A binary stream that adds the bytes read from it to
    ``stats.bytes_read``."""

    def __init__(self, stream, stats):
        self.stream, self.stats, self.count = stream, stats, 0
        self._read = getattr(stream, "read1", stream.read)

    def readable(self):
        return True

    def readinto(self, buffer):
        data = self._read(len(buffer))
        buffer[: len(data)] = data
        self.count += len(data)
        self.stats.bytes_read += len(data)
        return len(data)

    def tell(self):
        return self.count

    def close(self):
        if not self.closed:
            self.stream.close()
        super().close()


class _Rewound(io.RawIOBase):
    """A binary stream that gives ``head`` again, then the rest of
    ``stream``."""

    def __init__(self, head, stream):
        self.head, self.stream = head, stream
        self._read = getattr(stream, "read1", stream.read)

    def readable(self):
        return True

    def readinto(self, buffer):
        data = self.head[: len(buffer)] if self.head else self._read(len(buffer))
        self.head = self.head[len(data) :] if self.head else b""
        buffer[: len(data)] = data
        return len(data)


_BOM = b"\xef\xbb\xbf"


def _sniffed(stream):
    """(kind, stream) of a binary stream, known by its first bytes: gzip is
    decompressed and looked at again; then ``WARC/`` is a WARC stream, ``{``
    JSON lines, anything else one HTML page."""
    read = getattr(stream, "read1", stream.read)
    head = b""
    while len(head) < 1 << 16:
        chunk = read(1 << 16)
        if not chunk:
            break
        head += chunk
        if len(head) >= 2 and (head[:2] == _GZIP_MAGIC or len(head.removeprefix(_BOM).lstrip()) >= 5):
            break
    stream = io.BufferedReader(_Rewound(head, stream))
    if head[:2] == _GZIP_MAGIC:
        return _sniffed(gzip.GzipFile(fileobj=stream, mode="rb"))
    start = head.removeprefix(_BOM).lstrip()
    if start.startswith(b"WARC/"):
        return "warc", stream
    if start.startswith(b"{"):
        return "jsonl", stream
    return "html", stream


def _open_metered(path, stats, opener=None):
    return io.BufferedReader(_Meter(opener(path) if opener else open(path, "rb"), stats))


def jsonl_tasks(path, stats=None, keys=("html", "url")):
    """One task per non-blank line of a JSON-lines file of pages, plain or
    gzipped (known by its first bytes)."""
    stats = stats if stats is not None else InputStats()
    try:
        stream = _open_metered(path, stats)
        if stream.peek(2)[:2] == _GZIP_MAGIC:
            stream = gzip.GzipFile(fileobj=stream, mode="rb")
    except OSError as exc:
        yield InputError.of(path, exc)
        return
    with stream:
        yield from _jsonl_stream_tasks(path, stream, keys)


def _jsonl_stream_tasks(name, stream, keys):
    lineno = 0
    try:
        for lineno, line in enumerate(stream, 1):
            if line.strip():
                yield JsonLine(name, lineno, line, *keys)
    except Exception as exc:  # e.g. gzip cut short
        yield InputError.of(f"{name}:{lineno + 1}", exc)


def warc_tasks(path, stats=None, opener=None):
    """One task per HTML response (2xx) of a WARC file, plain or gzipped.

    Other records (requests, metadata, revisits, non-HTML or non-2xx
    responses) are passed over and counted in ``stats.skipped_records``.
    A file that cannot be opened or read on gives an error task in its
    place; the pages read before the damage are kept. ``opener(path)``
    opens the file for binary reading (by default ``open``).
    """
    stats = stats if stats is not None else InputStats()
    try:
        stream = _open_metered(path, stats, opener)
    except OSError as exc:
        yield InputError.of(path, exc)
        return
    with stream:
        yield from _warc_stream_tasks(path, stream, stats)


def _warc_stream_tasks(path, stream, stats):
    archive = _Archive(stream)
    records = iter(archive)
    while True:
        try:
            record = next(records)
        except StopIteration:
            if archive.truncated:
                yield InputError(
                    path,
                    "EOFError",
                    "the file ends inside a gzip member: it is truncated, and its last record is lost",
                )
            return
        except Exception as exc:  # a malformed archive
            yield InputError.of(path, exc)
            return
        try:
            task = _warc_task(record)
        except Exception as exc:  # e.g. a body whose gzip is damaged
            url = record.rec_headers.get_header("WARC-Target-URI")
            task = InputError.of(url or path, exc)
        if task is None:
            stats.skipped_records += 1
        else:
            yield task


class _Archive(ArchiveIterator):
    """warcio's ArchiveIterator, noting a file that ends in the middle of a
    gzip member (warcio itself stops there without a word)."""

    truncated = False

    def close(self):
        reader = getattr(self, "reader", None)
        decompressor = getattr(reader, "decompressor", None)
        if decompressor is not None and not getattr(decompressor, "eof", True):
            self.truncated = True
        super().close()


def _warc_task(record):
    if record.rec_type != "response" or record.http_headers is None:
        return None
    headers = record.http_headers
    status = headers.get_statuscode() or ""
    content_type = headers.get_header("Content-Type") or ""
    media_type = content_type.split(";", 1)[0].strip().lower()
    if not status.startswith("2") or media_type not in HTML_MEDIA_TYPES:
        return None
    url = record.rec_headers.get_header("WARC-Target-URI")
    body = record.content_stream().read()
    if getattr(record.raw_stream, "limit", 0) > 0:
        # warcio hands out what there is of a record cut short.
        raise EOFError(f"the record is truncated: {record.raw_stream.limit} bytes are missing")
    return HttpResponse(url, body, content_type)


# -- One page ---------------------------------------------------------------


def page_of_object(page, page_id=None, html_key="html", url_key="url"):
    """(url, html) of a page given as a JSON object; ``page_id`` stands for
    the url when the object has none (without it a url is required)."""
    if not isinstance(page, dict):
        raise ValueError(f"expected a JSON object with {url_key} and {html_key}, found {type(page).__name__}")
    url, html = page.get(url_key), page.get(html_key)
    if url is None and page_id is not None:
        url = page_id
    if not isinstance(url, str):
        raise ValueError(f"the page has no {url_key} (a string)")
    if not isinstance(html, str):
        keys = ", ".join(map(str, list(page)[:8]))
        raise _PageError(url, ValueError(f"the page has no {html_key} (a string); its keys: {keys}"))
    return url, html


class _PageError(Exception):
    """A failure of a page whose id was learnt while reading it."""

    def __init__(self, page_id, error):
        super().__init__(page_id, error)
        self.page_id, self.error = page_id, error


def extract_task(extractor, task, de_dup=True):
    """The record of one task; a failing page gives an error record."""
    if isinstance(task, InputError):
        return {"page": task.page_id, "error": task.error, "message": task.message}
    page_id = task.page_id
    try:
        page_id, text = task.load()
    except _PageError as exc:
        return error_record(exc.page_id, exc.error)
    except Exception as exc:
        return error_record(page_id, exc)
    try:
        record = PageRecord(page=page_id, rows=extractor.extract(text, de_dup))
    except Exception as exc:
        from ostrel.crawler.field_extractor.explain import locate_failure

        return error_record(page_id, exc, locate_failure(extractor, text, exc))
    if "\ufffd" in text:
        record.undecodable = True
    return record
