"""Page sources: the tasks of a batch, where they come from, and one task's record.

A batch is a stream of *tasks*, small named picklable records that say
where one page comes from; the text of a page is only read and decoded where
the page is extracted (in a worker process when there are several), so the
process that walks the inputs does little more than list them. Every task
has a ``page_id``, under which it is reported before its page is read, and
a ``size``, the bytes of page data it carries (0 when the page is read
later).

``PageFile(path)``
    a saved HTML page; its id is the path.
``JsonLine(source, lineno, line)``
    one line (bytes) of a JSON-lines file of pages, an object with the
    members ``url`` (its id) and ``html``; a line that cannot be read is
    reported as ``source:lineno``.
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
"""

import gzip
import json
import os
from typing import NamedTuple

from w3lib.encoding import html_to_unicode
from warcio.archiveiterator import ArchiveIterator

__all__ = [
    "HttpResponse",
    "InputError",
    "InputStats",
    "JsonLine",
    "PageFile",
    "PageObject",
    "PageText",
    "PAGE_SUFFIXES",
    "decode_page",
    "decode_response",
    "describe",
    "error_record",
    "extract_task",
    "iter_tasks",
    "jsonl_tasks",
    "page_of_object",
    "warc_tasks",
]

#: File names taken as saved HTML pages when a directory is walked. A file
#: named on the command line is taken as a page whatever its name, unless
#: its name marks a JSON-lines or WARC file.
HTML_SUFFIXES = (".html", ".htm", ".xhtml", ".shtml")
JSONL_SUFFIXES = (".jsonl", ".ndjson", ".jl", ".jsonl.gz", ".ndjson.gz", ".jl.gz")
WARC_SUFFIXES = (".warc", ".warc.gz")
PAGE_SUFFIXES = HTML_SUFFIXES + JSONL_SUFFIXES + WARC_SUFFIXES

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


# -- Tasks ------------------------------------------------------------------


class PageFile(NamedTuple):
    """A saved HTML page, read and decoded where it is extracted."""

    path: str

    @property
    def page_id(self):
        return self.path

    size = 0

    def load(self):
        with open(self.path, "rb") as stream:
            return self.path, decode_page(stream.read())


class JsonLine(NamedTuple):
    """One line of a JSON-lines file of pages."""

    source: str
    lineno: int
    line: bytes

    @property
    def page_id(self):
        return f"{self.source}:{self.lineno}"

    @property
    def size(self):
        return len(self.line)

    def load(self):
        return page_of_object(json.loads(self.line))


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

    size = 0

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

    size = 0

    def load(self):
        return page_of_object(self.page)


class InputError(NamedTuple):
    """An input that could not be read at all, reported in its place."""

    page_id: object
    error: str
    message: str

    size = 0

    @classmethod
    def of(cls, page_id, exc):
        return cls(page_id, type(exc).__name__, describe(exc))


# -- Inputs -----------------------------------------------------------------


def _has_suffix(name, suffixes):
    return name.lower().endswith(suffixes)


def iter_tasks(inputs, stats=None):
    """Tasks for the command line's inputs, in order, read lazily.

    An input is a directory (walked recursively in name order, taking the
    files whose names end in one of ``PAGE_SUFFIXES``), a WARC file
    (``.warc``, ``.warc.gz``), a JSON-lines file of pages (``.jsonl``,
    ``.ndjson``, ``.jl``) or, any other name, one saved HTML page.
    """
    stats = stats if stats is not None else InputStats()
    for name in inputs:
        if os.path.isdir(name):
            found = False
            for path in _walk(name):
                found = True
                if isinstance(path, InputError):  # a folder that cannot be read
                    yield path
                else:
                    yield from _file_tasks(path, stats)
            if not found:
                yield InputError(
                    name, "FileNotFoundError", "no page files (" + ", ".join(PAGE_SUFFIXES) + ") in this directory"
                )
        else:
            yield from _file_tasks(name, stats)


def _walk(top, seen=None):
    """Page files under ``top``, depth first, each directory in name order;
    an error task for a directory that cannot be listed. A directory met
    again through a symbolic link is not walked twice."""
    seen = set() if seen is None else seen
    real = os.path.realpath(top)
    if real in seen:
        return
    seen.add(real)
    try:
        with os.scandir(top) as listing:
            entries = sorted(listing, key=lambda entry: entry.name)
    except OSError as exc:
        yield InputError.of(top, exc)
        return
    for entry in entries:
        if entry.is_dir():
            yield from _walk(entry.path, seen)
        elif _has_suffix(entry.name, PAGE_SUFFIXES):
            yield entry.path


def _file_tasks(path, stats):
    if _has_suffix(path, WARC_SUFFIXES):
        yield from warc_tasks(path, stats)
    elif _has_suffix(path, JSONL_SUFFIXES):
        yield from jsonl_tasks(path)
    else:
        yield PageFile(path)


def jsonl_tasks(path):
    """One task per non-blank line of a JSON-lines file of pages."""
    try:
        stream = gzip.open(path, "rb") if path.endswith(".gz") else open(path, "rb")
    except OSError as exc:
        yield InputError.of(path, exc)
        return
    with stream:
        for lineno, line in enumerate(stream, 1):
            if line.strip():
                yield JsonLine(path, lineno, line)


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
        stream = opener(path) if opener else open(path, "rb")
    except OSError as exc:
        yield InputError.of(path, exc)
        return
    with stream:
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


def page_of_object(page):
    """(url, html) of a page given as a JSON object."""
    if not isinstance(page, dict):
        raise ValueError(f"expected a JSON object with url and html, found {type(page).__name__}")
    url, html = page.get("url"), page.get("html")
    if not isinstance(url, str):
        raise ValueError("the page has no url (a string)")
    if not isinstance(html, str):
        raise _PageError(url, ValueError("the page has no html (a string)"))
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
        return {"page": page_id, "rows": extractor.extract(text, de_dup)}
    except Exception as exc:
        from ostrel.crawler.field_extractor.explain import locate_failure

        return error_record(page_id, exc, locate_failure(extractor, text, exc))
