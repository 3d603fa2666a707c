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
``JsonLineAt(source, lineno, offset, length, html_key, url_key)``
    the same line of a plain JSON-lines file, by its place in the file: it
    is read where it is extracted, so that its bytes do not cross to a
    worker process.
``HttpResponse(url, body, content_type)``
    the body (bytes) of an HTML response taken from a WARC file, decoded by
    its HTTP charset, then its markup charset.
``WarcResponse(source, offset, length, url, content_type, data)``
    the same response, whose body is read where it is extracted: from the
    record's bytes ``data``, or in a plain WARC file from its place.
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

- ``{"page": ID, "skipped": REASON}`` for a page that is no HTML page:
  binary data (NUL bytes and no markup) or nothing but whitespace.

The record is a ``PageRecord``, a dict that also tells, outside its
content, whether the page's bytes could not all be decoded.
"""

import fnmatch
import gzip
import io
import json
import os
import re
import stat
import sys
import threading
import time
from typing import NamedTuple

from w3lib.encoding import html_to_unicode
from warcio.archiveiterator import ArchiveIterator

from ostrel.crawler.field_extractor.cli import readers
from ostrel.crawler.field_extractor.cli.readers import Damage, Limits, TooLarge, size_text

__all__ = [
    "HttpResponse",
    "InputError",
    "InputStats",
    "JsonLine",
    "JsonLineAt",
    "Limits",
    "PageBytes",
    "PageFile",
    "PageNames",
    "PageRecord",
    "PageObject",
    "PageText",
    "WarcResponse",
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
    "set_limits",
    "warc_tasks",
]

#: The limits of the process (``set_limits``): one page after
#: decompression, one JSON line, one WARC record.
LIMITS = Limits()


def set_limits(limits):
    """Use ``limits`` (a ``Limits``) for the pages, lines and records read
    from now on in this process."""
    global LIMITS
    LIMITS = limits


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
        encoding, text = html_to_unicode(None, data)
        _note_decoding(data, encoding, text)
    return text


# Whether the last page decoded on this thread had bytes that its charset
# could not decode (read by extract_task right after it loads a page). A
# literal U+FFFD in a valid page is text like any other.
_decoding = threading.local()


def _note_decoding(data, encoding, text):
    if "\ufffd" not in text:
        return
    try:
        data.decode(encoding)
    except (UnicodeDecodeError, LookupError):
        _decoding.lossy = True


_MARKUP = re.compile(r"<[A-Za-z!?/]")


def skip_reason(text):
    """Why a page's text is no HTML page, or None: binary data (NUL bytes
    and no markup), or nothing but whitespace. An empty text is left to the
    extractor, which fails on it (reported as a failed page)."""
    if text and not text.strip():
        return "empty: nothing but whitespace"
    if "\x00" in text and not _MARKUP.search(text):
        return "binary: NUL bytes and no markup"
    return None


def gunzipped(data):
    """The bytes of a page, decompressed when they are gzipped (by their
    first bytes, whatever the file is called), within the page limit."""
    return readers.gunzip_bounded(data, LIMITS.page_bytes)


def decode_response(body, content_type):
    """Text of an HTTP response body: BOM, then the charset of the
    Content-Type header, then the markup's own declaration, then detection
    (UTF-8 when nothing else decides)."""
    encoding, text = html_to_unicode(content_type, body)
    _note_decoding(body, encoding, text)
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
            size = os.fstat(stream.fileno()).st_size
            if size > LIMITS.page_bytes:  # gzipped, it would be larger still
                raise TooLarge(
                    f"the page is {size} bytes, over the limit of {size_text(LIMITS.page_bytes)} (--max-page-bytes)"
                )
            return self.path, decode_page(gunzipped(stream.read(LIMITS.page_bytes + 1)))


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


class ChangedInput(OSError):
    """An input file that changed between two reads of the same run."""


def _read_at(path, offset, length):
    """``length`` bytes of a file at ``offset``, or b"" when it has fewer;
    and the file's size."""
    with open(path, "rb") as stream:
        data = os.pread(stream.fileno(), length, offset)
        return data if len(data) == length else b"", os.fstat(stream.fileno()).st_size


class _Failed(Exception):
    """A task's load failed with the record ``record``, given whole."""

    def __init__(self, record):
        super().__init__(record)
        self.record = record


class JsonLineAt(NamedTuple):
    """One line of a plain JSON-lines file, by its place: ``offset`` and
    ``length`` (its line break included)."""

    source: str
    lineno: int
    offset: int
    length: int
    html_key: str = "html"
    url_key: str = "url"

    @property
    def page_id(self):
        return f"{self.source}:{self.lineno}"

    @property
    def size(self):
        return 0

    def read(self):
        """The line's bytes; ``ChangedInput`` when the file no longer holds
        a line there (it was cut or rewritten since it was split)."""
        line, size = _read_at(self.source, self.offset, self.length)
        if not (line.endswith(b"\n") or (line and size == self.offset + self.length)):
            raise ChangedInput(
                f"the file changed during the run: line {self.lineno} is no longer the {self.length} bytes "
                f"at offset {self.offset}"
            )
        return line

    def load(self):
        return JsonLine(self.source, self.lineno, self.read(), self.html_key, self.url_key).load()


class WarcResponse(NamedTuple):
    """An HTML response of a WARC file whose body is read where it is
    extracted, from its record's bytes ``data`` or, when ``data`` is None,
    from the ``length`` bytes at ``offset`` in the plain file ``source``
    (``offset`` names the record in messages either way)."""

    source: str
    offset: int
    length: int
    url: object
    content_type: str
    data: object = None

    @property
    def page_id(self):
        return self.url

    @property
    def size(self):
        return 0 if self.data is None else len(self.data)

    def load(self):
        try:
            data = self.data
            if data is None:
                data = _read_at(self.source, self.offset, self.length)[0]
            record = next(iter(ArchiveIterator(io.BytesIO(data)))) if data.startswith(b"WARC/1.") else None
            if record is None or record.rec_headers.get_header("WARC-Target-URI") != self.url:
                raise ChangedInput(
                    f"the file changed during the run: the record is no longer the {self.length} bytes here"
                )
            body = _response_body(record)
        except Exception as exc:  # reported as when the record was first read
            error = _warc_error(self.source, self.offset, self.url, exc)
            raise _Failed({"page": error.page_id, "error": error.error, "message": error.message}) from None
        return self.url, decode_response(body, self.content_type)


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


def iter_tasks(inputs, stats=None, include=None, input_format="auto", html_key="html", url_key="url", by_offset=False):
    """Tasks for the command line's inputs, in order, read lazily.

    An input is a directory (walked recursively in name order, taking the
    files that ``PageNames(include)`` takes; the others are counted in
    ``stats.ignored_files``), ``-`` (standard input, see ``input_tasks``)
    or a file: by ``input_format``, or with ``auto`` by its name, a WARC
    file (``.warc``, ``.warc.gz``), a JSON-lines file of pages (``.jsonl``,
    ``.ndjson``, ``.jl``, also gzipped) or, any other name, one saved HTML
    page (plain or gzipped).

    With ``by_offset``, pages are read where they are extracted, and the
    tasks carry where they are rather than their bytes wherever they can:
    the lines of a plain JSON-lines file are ``JsonLineAt`` tasks, and the
    HTML responses of a WARC file ``WarcResponse`` tasks.
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
                    yield from _file_tasks(path, _kind_by_name(path), stats, keys, size, by_offset)
            if not found:
                yield InputError(
                    name,
                    "FileNotFoundError",
                    f"no page files in this directory ({stats.ignored_files - ignored} files ignored by name; "
                    "--include GLOB chooses which are pages)",
                )
        else:
            yield from input_tasks(name, input_format, stats, keys, by_offset)[1]


def input_tasks(name, input_format="auto", stats=None, keys=("html", "url"), by_offset=False):
    """(kind, tasks) of one file, or of standard input when ``name`` is
    ``-``: kind is ``html``, ``jsonl`` or ``warc``, from ``input_format``,
    or with ``auto`` from the file's name; standard input is decompressed
    when it is gzipped and then known by its first bytes (``WARC/``, ``{``
    for JSON lines, anything else is one HTML page). Its page ids are
    ``-`` for a page and ``-:LINE`` for JSON lines."""
    stats = stats if stats is not None else InputStats()
    if name != "-":
        kind = _kind_by_name(name) if input_format == "auto" else input_format
        return kind, _file_tasks(name, kind, stats, keys, by_offset=by_offset)
    stream = io.BufferedReader(_Meter(sys.stdin.buffer, stats))
    kind, stream = _sniffed(stream)
    if input_format != "auto":
        kind = input_format
    return kind, _stream_tasks("-", kind, stream, stats, keys)


def _stream_tasks(name, kind, stream, stats, keys):
    if kind == "html":
        try:
            data = stream.read(LIMITS.page_bytes + 1)
            if len(data) > LIMITS.page_bytes:
                raise TooLarge(f"the page is over the limit of {size_text(LIMITS.page_bytes)} (--max-page-bytes)")
            yield PageBytes(name, data)
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


def _file_tasks(path, kind, stats, keys=("html", "url"), size=None, by_offset=False):
    start = stats.bytes_read
    if kind == "warc":
        yield from warc_tasks(path, stats, by_offset=by_offset)
    elif kind == "jsonl":
        yield from jsonl_tasks(path, stats, keys, by_offset)
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


def jsonl_tasks(path, stats=None, keys=("html", "url"), by_offset=False):
    """One task per non-blank line of a JSON-lines file of pages, plain or
    gzipped (known by its first bytes); with ``by_offset``, the lines of a
    plain regular file are ``JsonLineAt`` tasks."""
    stats = stats if stats is not None else InputStats()
    try:
        stream = _open_metered(path, stats)
    except OSError as exc:
        yield InputError.of(path, exc)
        return
    with stream:
        yield from _jsonl_stream_tasks(path, stream, keys, by_offset and _is_regular(stream.raw.stream))


def _is_regular(file):
    try:
        return stat.S_ISREG(os.fstat(file.fileno()).st_mode)
    except (OSError, ValueError, AttributeError):
        return False


def _pieces(stream, head=b""):
    """(pieces, gzipped) of a binary stream: its gzip members
    decompressed one by one when it starts with one, else its bytes."""
    peek = getattr(stream, "peek", None)
    if peek is not None and peek(2)[:2] == _GZIP_MAGIC:
        return readers.gzip_pieces(stream, head), True
    return readers.plain_pieces(stream), False


def damage_error(name, damage):
    """The error task of a damaged stretch of the input ``name``."""
    error = "EOFError" if damage.cut else "DamagedInput"
    return InputError(name, error, f"at offset {damage.offset}: {damage.message}")


def _jsonl_stream_tasks(name, stream, keys, by_offset=False):
    pieces, gzipped = _pieces(stream)
    limit = LIMITS.line_bytes
    by_offset = by_offset and not gzipped
    for item in readers.lines(pieces, limit, keep=not by_offset):
        if isinstance(item, Damage):
            yield damage_error(name, item)
            continue
        lineno, line = item
        if isinstance(line, int):
            yield InputError(
                f"{name}:{lineno}",
                "TooLarge",
                f"the line is {line} bytes, over the limit of {size_text(limit)} (--max-line-bytes)",
            )
        elif by_offset:
            if not line.blank:
                yield JsonLineAt(name, lineno, line.offset, line.length, *keys)
        elif not line.isspace():
            yield JsonLine(name, lineno, line, *keys)


def warc_tasks(path, stats=None, opener=None, by_offset=False):
    """One task per HTML response (2xx) of a WARC file, plain or gzipped:
    an ``HttpResponse``, or with ``by_offset`` a ``WarcResponse``.

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
        regular = by_offset and _is_regular(stream.raw.stream)
        yield from _warc_stream_tasks(path, stream, stats, by_offset, regular)


def _warc_stream_tasks(path, stream, stats, defer=False, regular=False):
    """The tasks of a WARC stream; with ``defer``, ``WarcResponse`` tasks,
    by their place in a ``regular`` plain file."""
    pieces, gzipped = _pieces(stream, b"WARC/1.")
    limit = LIMITS.record_bytes
    for item in readers.warc_records(pieces, limit, gzipped):
        if isinstance(item, Damage):
            yield damage_error(path, item)
            continue
        if len(item) == 4:  # over the limit: known by its headers
            offset, headers, size, head = item
            if _is_html_response(headers, head):
                yield InputError(
                    headers.get("warc-target-uri") or path,
                    "TooLarge",
                    f"the WARC record at offset {offset} is {size} bytes, over the limit of {size_text(limit)} "
                    "(--max-record-bytes)",
                )
            else:
                stats.skipped_records += 1
            continue
        offset, data = item
        url = None
        try:
            record = next(iter(ArchiveIterator(io.BytesIO(data))))
            url = record.rec_headers.get_header("WARC-Target-URI")
            content_type = _html_response(record)
            if content_type is None:
                task = None
            elif defer:
                place = None if regular and not gzipped else data
                task = WarcResponse(path, offset, len(data), url, content_type, place)
            else:
                task = HttpResponse(url, _response_body(record), content_type)
        except Exception as exc:  # e.g. a body whose gzip is damaged
            task = _warc_error(path, offset, url, exc)
        if task is None:
            stats.skipped_records += 1
        else:
            yield task


def _is_html_response(headers, head):
    """Whether a record that is not read whole is an HTML response with a
    2xx status, by its WARC headers and the first bytes of its block."""
    if headers.get("warc-type") != "response":
        return False
    status, _, rest = head.partition(b"\r\n")
    parts = status.split()
    if len(parts) < 2 or not parts[1].startswith(b"2"):
        return False
    for line in rest.split(b"\r\n\r\n", 1)[0].split(b"\r\n"):
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-type":
            return value.split(b";", 1)[0].strip().lower().decode("latin-1") in HTML_MEDIA_TYPES
    return False


def _warc_error(path, offset, url, exc):
    return InputError(url or path, type(exc).__name__, f"at offset {offset}: {describe(exc)}")


def _html_response(record):
    """The Content-Type of a WARC record that is an HTML response with a
    2xx status, or None."""
    if record.rec_type != "response" or record.http_headers is None:
        return None
    headers = record.http_headers
    status = headers.get_statuscode() or ""
    content_type = headers.get_header("Content-Type") or ""
    media_type = content_type.split(";", 1)[0].strip().lower()
    if not status.startswith("2") or media_type not in HTML_MEDIA_TYPES:
        return None
    return content_type


def _response_body(record):
    """The body of a response record, decoded (chunks, compression), within
    the page limit."""
    limit = LIMITS.page_bytes
    body = record.content_stream().read(limit + 1)
    if len(body) > limit:
        raise TooLarge(f"the page is over the limit of {size_text(limit)} after decoding (--max-page-bytes)")
    return body


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
    _decoding.lossy = False
    try:
        page_id, text = task.load()
    except _Failed as exc:
        return exc.record
    except _PageError as exc:
        return error_record(exc.page_id, exc.error)
    except Exception as exc:
        return error_record(page_id, exc)
    reason = skip_reason(text) if isinstance(text, str) else None
    if reason is not None:
        return PageRecord(page=page_id, skipped=reason)
    try:
        record = PageRecord(page=page_id, rows=extractor.extract(text, de_dup))
    except Exception as exc:
        from ostrel.crawler.field_extractor.cli.explain import locate_failure

        return error_record(page_id, exc, locate_failure(extractor, text, exc))
    if _decoding.lossy:
        record.undecodable = True
    return record
