"""Batch extraction: page sources, per-page work and an ordered process pool.

A batch is a stream of *tasks*, small picklable tuples that say where one
page comes from; the text of a page is only read and decoded where the page
is extracted (in a worker process when there are several), so the process
that walks the inputs does little more than list them.

Task kinds:

``("file", path)``
    a saved HTML page; its id is the path.
``("jsonl", source, lineno, line)``
    one line (bytes) of a JSON-lines file of pages, an object with the
    members ``url`` (its id) and ``html``; a line that cannot be read is
    reported as ``source:lineno``.
``("http", url, body, content_type)``
    the body (bytes) of an HTML response taken from a WARC file, decoded by
    its HTTP charset, then its markup charset.
``("text", page_id, text)``
    a page whose text is already decoded.
``("object", page)``
    a page as a mapping with ``url`` and ``html``, like a JSON-lines line.
``("error", page_id, error_type, message)``
    an input that could not be read at all (an unreadable WARC file, a
    directory without pages); it is reported in its place in the order.

Every task gives one *record*, a dict:

- ``{"page": ID, "rows": [ROW, ...]}`` for an extracted page;
- ``{"page": ID, "error": TYPE, "message": TEXT}`` for a page that failed.

``run`` yields the records of a task stream in input order, extracting in
``jobs`` worker processes with one ``FieldExtractor`` each, and keeps only a
bounded number of chunks in flight, so inputs far larger than memory stream
through.
"""

import collections
import concurrent.futures
import concurrent.futures.process
import gzip
import json
import multiprocessing
import os
import signal
import threading
import time

from w3lib.encoding import html_to_unicode
from warcio.archiveiterator import ArchiveIterator

from ostrel.crawler.field_extractor.extractor import FieldExtractor

__all__ = [
    "decode_page", "error_record", "extract_task", "iter_tasks", "run",
    "warc_tasks", "InputStats", "WorkersFailing", "PAGE_SUFFIXES",
]

#: File names taken as saved HTML pages when a directory is walked. A file
#: named on the command line is taken as a page whatever its name, unless
#: its name marks a JSON-lines or WARC file.
HTML_SUFFIXES = (".html", ".htm", ".xhtml", ".shtml")
JSONL_SUFFIXES = (".jsonl", ".ndjson", ".jl", ".jsonl.gz", ".ndjson.gz",
                  ".jl.gz")
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


def error_record(page_id, exc):
    return {"page": page_id, "error": type(exc).__name__,
            "message": describe(exc)}


class InputStats:
    """What the input walk passed over, for the closing summary."""

    def __init__(self):
        self.skipped_records = 0  # WARC records that are not HTML responses


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
                if isinstance(path, tuple):  # a folder that cannot be read
                    yield path
                else:
                    yield from _file_tasks(path, stats)
            if not found:
                yield ("error", name, "FileNotFoundError",
                       "no page files (" + ", ".join(PAGE_SUFFIXES)
                       + ") in this directory")
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
        yield ("error", top, type(exc).__name__, describe(exc))
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
        yield ("file", path)


def jsonl_tasks(path):
    """One task per non-blank line of a JSON-lines file of pages."""
    try:
        stream = gzip.open(path, "rb") if path.endswith(".gz") else open(path, "rb")
    except OSError as exc:
        yield ("error", path, type(exc).__name__, describe(exc))
        return
    with stream:
        for lineno, line in enumerate(stream, 1):
            if line.strip():
                yield ("jsonl", path, lineno, line)


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
        yield ("error", path, type(exc).__name__, describe(exc))
        return
    with stream:
        archive = _Archive(stream)
        records = iter(archive)
        while True:
            try:
                record = next(records)
            except StopIteration:
                if archive.truncated:
                    yield ("error", path, "EOFError",
                           "the file ends inside a gzip member: it is "
                           "truncated, and its last record is lost")
                return
            except Exception as exc:  # a malformed archive
                yield ("error", path, type(exc).__name__, describe(exc))
                return
            try:
                task = _warc_task(record)
            except Exception as exc:  # e.g. a body whose gzip is damaged
                url = record.rec_headers.get_header("WARC-Target-URI")
                task = ("error", url or path, type(exc).__name__,
                        describe(exc))
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
        raise EOFError(f"the record is truncated: "
                       f"{record.raw_stream.limit} bytes are missing")
    return ("http", url, body, content_type)


# -- One page ---------------------------------------------------------------

def load_task(task):
    """(page id, page text) of a task; raises when the page cannot be read."""
    kind = task[0]
    if kind == "file":
        with open(task[1], "rb") as stream:
            return task[1], decode_page(stream.read())
    if kind == "http":
        return task[1], decode_response(task[2], task[3])
    if kind == "text":
        if not isinstance(task[2], str):
            raise TypeError(f"the page text must be a str, not "
                            f"{type(task[2]).__name__}")
        return task[1], task[2]
    if kind == "jsonl":
        return page_of_object(json.loads(task[3]))
    if kind == "object":
        return page_of_object(task[1])
    raise ValueError(f"unknown task kind {kind!r}")


def page_of_object(page):
    """(url, html) of a page given as a JSON object."""
    if not isinstance(page, dict):
        raise ValueError(f"expected a JSON object with url and html, "
                         f"found {type(page).__name__}")
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


def task_id(task):
    """The id under which a task is reported before its page is read."""
    if task[0] == "jsonl":
        return f"{task[1]}:{task[2]}"
    if task[0] == "object":
        page = task[1]
        return page.get("url") if isinstance(page, dict) else None
    return task[1]


def extract_task(extractor, task, de_dup=True):
    """The record of one task; a failing page gives an error record."""
    if task[0] == "error":
        return {"page": task[1], "error": task[2], "message": task[3]}
    page_id = task_id(task)
    try:
        page_id, text = load_task(task)
        return {"page": page_id, "rows": extractor.extract(text, de_dup)}
    except _PageError as exc:
        return error_record(exc.page_id, exc.error)
    except Exception as exc:
        return error_record(page_id, exc)


# -- Many pages -------------------------------------------------------------

_worker = None  # (extractor, de_dup) of a worker process


def _init_worker(rules, de_dup):
    global _worker
    # Ctrl-C reaches the whole process group: the parent alone handles it,
    # and stops the workers.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    _worker = (FieldExtractor(rules), de_dup)


def _run_chunk(chunk):
    extractor, de_dup = _worker
    start = time.perf_counter()
    records = [extract_task(extractor, task, de_dup) for task in chunk]
    return records, time.perf_counter() - start


class _ChunkSizer:
    """How many pages go to a worker at once.

    A fixed number when one is given. Otherwise one page at first, then as
    many as take about ``target`` seconds at the pace of the pages done so
    far: pages that take a second each go one by one, so that the workers
    stay evenly loaded, and pages of a millisecond go by the dozen, so that
    handing them over costs little.
    """

    def __init__(self, fixed=None, target=0.05, most=64):
        self.fixed, self.target, self.most = fixed, target, most
        self.page_seconds = None  # moving average of one page's time

    @property
    def pages(self):
        if self.fixed:
            return self.fixed
        if self.page_seconds is None:
            return 1
        wanted = self.target / max(self.page_seconds, 1e-6)
        return max(1, min(self.most, int(wanted)))

    def observe(self, pages, seconds):
        if pages:
            pace = seconds / pages
            self.page_seconds = pace if self.page_seconds is None \
                else 0.7 * self.page_seconds + 0.3 * pace


def _chunks(tasks, sizer, size):
    chunk, held = [], 0
    for task in tasks:
        chunk.append(task)
        held += _task_size(task)
        if len(chunk) >= sizer.pages or held >= size:
            yield chunk
            chunk, held = [], 0
    if chunk:
        yield chunk


def _task_size(task):
    kind = task[0]
    if kind == "http":
        return len(task[2])
    if kind == "jsonl":
        return len(task[3])
    return 0


# How far the input is read ahead of the output with worker processes.
READ_AHEAD_PAGES = 1024
READ_AHEAD_BYTES = 64 << 20


def run(rules, tasks, jobs=1, de_dup=True, chunk_pages=None,
        chunk_bytes=8 << 20, extractor=None):
    """Yield the records of the tasks, in task order, in lists.

    ``jobs`` 1 extracts in this process (with ``extractor`` when given),
    one record per list. More start that many worker processes, each
    building its own ``FieldExtractor(rules)``; tasks go to them in chunks
    of ``chunk_pages`` pages (by default as many as take about 50 ms) and
    at most ``chunk_bytes`` bytes of page data, and each chunk's records
    come back as one list once it and every chunk before it are done.
    Pages are read ahead of the output up to ``READ_AHEAD_PAGES`` pages and
    ``READ_AHEAD_BYTES`` bytes of page data (and always ``2 * jobs + 1``
    chunks), so that a slow page at the head does not leave the other
    workers idle, while memory stays bounded whatever the size of the input.
    """
    if jobs <= 1:
        extractor = extractor or FieldExtractor(rules)
        for task in tasks:
            yield [extract_task(extractor, task, de_dup)]
        return

    pool = _Pool(jobs, rules, de_dup)
    sizer = _ChunkSizer(chunk_pages)
    pending = collections.deque()  # (chunk, future), in task order
    held = [0, 0]  # pages and bytes of page data in pending chunks
    least = 2 * jobs + 1

    def full():
        return len(pending) >= least and (
            held[0] >= READ_AHEAD_PAGES or held[1] >= READ_AHEAD_BYTES)

    def hold(chunk, sign):
        held[0] += sign * len(chunk)
        held[1] += sign * sum(_task_size(task) for task in chunk)

    def take():
        chunk, future = pending.popleft()
        hold(chunk, -1)
        try:
            records, seconds = future.result()
        except concurrent.futures.process.BrokenProcessPool:
            # A worker died (a crash in native code, the kernel's OOM
            # killer...) and took every chunk in flight with it. Redo the
            # first one page by page to find the page that kills workers;
            # send the others again as they were.
            lost = [chunk for chunk, _ in pending]
            pending.clear()
            pool.restart()
            records = [pool.run_alone(task) for task in chunk]
            for chunk in lost:
                pending.append((chunk, pool.submit(chunk)))
            return records
        sizer.observe(len(records), seconds)
        return records

    try:
        for chunk in _chunks(tasks, sizer, chunk_bytes):
            pending.append((chunk, pool.submit(chunk)))
            hold(chunk, +1)
            while full():
                yield take()
        while pending:
            yield take()
    finally:
        for _, future in pending:
            future.cancel()
        pool.shutdown()


class WorkersFailing(RuntimeError):
    """The worker processes die whatever page they are given."""


class _Pool:
    """Worker processes, each with its own extractor; restartable."""

    MOST_DEATHS_IN_A_ROW = 3

    def __init__(self, jobs, rules, de_dup):
        self.deaths = 0  # pages run alone in a row on which a worker died
        self.jobs, self.initargs = jobs, (rules, de_dup)
        # Workers are forked where the platform allows it and no other
        # thread runs here (a fork copies locks that other threads may
        # hold): they start at once, with the modules already imported.
        methods = multiprocessing.get_all_start_methods()
        if "fork" in methods and threading.active_count() == 1:
            method = "fork"
        else:
            method = "forkserver" if "forkserver" in methods else "spawn"
        self.context = multiprocessing.get_context(method)
        self.executor = self._start()

    def _start(self):
        return concurrent.futures.ProcessPoolExecutor(
            max_workers=self.jobs, mp_context=self.context,
            initializer=_init_worker, initargs=self.initargs)

    def submit(self, chunk):
        try:
            return self.executor.submit(_run_chunk, chunk)
        except concurrent.futures.process.BrokenProcessPool as exc:
            # Broken by a chunk still waiting in line: this chunk is lost
            # with the others, and is sent again once the pool restarts.
            future = concurrent.futures.Future()
            future.set_exception(exc)
            return future

    def restart(self):
        self.executor.shutdown(wait=True, cancel_futures=True)
        self.executor = self._start()

    def run_alone(self, task):
        """The record of one task run by itself; an error record when the
        worker dies on it. Raises WorkersFailing when workers die on
        several pages in a row: then they cannot start at all."""
        try:
            records, _ = self.submit([task]).result()
        except concurrent.futures.process.BrokenProcessPool as exc:
            self.deaths += 1
            if self.deaths >= self.MOST_DEATHS_IN_A_ROW:
                raise WorkersFailing(
                    f"worker processes died on {self.deaths} pages in a row; "
                    f"they cannot start or run here (try --jobs 1)") from exc
            self.restart()
            return error_record(task_id(task), exc)
        self.deaths = 0
        return records[0]

    def shutdown(self):
        self.executor.shutdown(wait=True, cancel_futures=True)
