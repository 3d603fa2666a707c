"""Where the command line's records go: the output (JSON lines or CSV,
plain or gzip), the failed pages (stderr or a JSON-lines file), and the
check that no two of them, nor an input, are the same file.

An output or errors file that is a regular file is a ``DurableFile``: its
text is kept in memory until a commit writes it (gzip: as one member of its
own), then ``fsync`` makes it durable; only then does the journal (see
``resume``) record the new length, so that a run killed at any moment
leaves a file whose journalled part holds whole pages only.
"""

import csv
import errno
import fcntl
import gzip
import io
import json
import os
import signal
import stat
import sys
import zlib
from typing import NamedTuple

from ostrel.crawler.field_extractor.cli.sources import PageRecord

__all__ = [
    "STDIO",
    "CsvWriter",
    "DurableFile",
    "EncodedPage",
    "InUse",
    "WriteFailed",
    "ErrorWriter",
    "JsonLinesWriter",
    "Output",
    "csv_header",
    "error_line",
    "field_keys",
    "is_gzip",
    "output_format",
    "page_encoder",
    "same_destinations",
]

#: The name that stands for standard output (``-o``) or standard error (``--errors``).
STDIO = "-"


def is_gzip(path):
    return path not in (None, STDIO) and path.lower().endswith(".gz")


def output_format(path, chosen=None):
    """The output format: ``chosen`` (``--format``) when given, else
    ``csv`` for a file named ``*.csv`` or ``*.csv.gz``, else ``jsonl``."""
    if chosen:
        return chosen
    name = (path or "").lower()
    if name.endswith(".gz"):
        name = name[:-3]
    return "csv" if name.endswith(".csv") else "jsonl"


def _open(path, append):
    mode = "ab" if append else "wb"
    return gzip.open(path, mode) if is_gzip(path) else open(path, mode)


class WriteFailed(Exception):
    """An output, errors file or journal that could not be written, synced
    or closed; ``name`` is the file (or ``stdout``, ``stderr``)."""

    def __init__(self, name, error):
        super().__init__(name, error)
        self.name = name
        self.error = error


class InUse(Exception):
    """An output or errors file that another run is writing (it holds the
    file's lock)."""

    def __init__(self, path):
        super().__init__(path)
        self.path = path


def is_regular_destination(path):
    """Whether ``path`` names a regular file, or nothing yet (then one is
    created): a file that commits and the journal can make durable, unlike
    stdout, a device (/dev/null) or a pipe."""
    if path in (None, STDIO) or os.path.normpath(path) in _STREAM_PATHS:
        return False
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except FileNotFoundError:
        return True
    except OSError:
        return False


class Output:
    """Binary output: stdout (``None`` or ``-``) or a file that is not a
    regular file (a device, a pipe), gzip-compressed when its name ends in
    ``.gz``; UTF-8 whatever the locale says. Written as it comes; ``flush``
    after every batch of pages."""

    def __init__(self, path, append=False):
        self.path = None if path == STDIO else path
        self.name = self.path or "stdout"
        if self.path is None:
            sys.stdout.flush()
            self.stream = getattr(sys.stdout, "buffer", None)
            self.text_only = self.stream is None  # a stand-in for stdout
        else:
            self.stream = _open(self.path, append)
            self.text_only = False

    def write(self, text):
        """Write ``text``: a str, or bytes already encoded as UTF-8."""
        try:
            if self.text_only:
                sys.stdout.write(text if isinstance(text, str) else text.decode("utf-8"))
            else:
                self.stream.write(text.encode("utf-8") if isinstance(text, str) else text)
        except BrokenPipeError:
            raise
        except OSError as exc:
            raise WriteFailed(self.name, exc) from exc

    def flush(self):
        try:
            (sys.stdout if self.text_only else self.stream).flush()
        except BrokenPipeError:
            raise
        except OSError as exc:
            raise WriteFailed(self.name, exc) from exc

    write_pending = flush

    def sync(self):
        pass

    def rollback(self):
        pass

    def close(self):
        if self.path is not None:
            try:
                self.stream.close()
            except OSError as exc:
                raise WriteFailed(self.name, exc) from exc


class _Faults:
    """A fault planted at the Nth write of the durable files, for the
    crash-consistency tests where strace cannot inject one:
    ``OSTREL_EXTRACT_FAULT=kill:N`` (SIGKILL) or ``enospc:N`` (the write
    fails with ENOSPC)."""

    def __init__(self, plan):
        self.kind, _, at = (plan or "").partition(":")
        self.at = int(at) if at.isdigit() else 0
        self.count = 0

    def before_write(self):
        if not self.at:
            return
        self.count += 1
        if self.count != self.at:
            return
        if self.kind == "kill":
            os.kill(os.getpid(), signal.SIGKILL)
        elif self.kind == "enospc":
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))


_faults = _Faults(os.environ.get("OSTREL_EXTRACT_FAULT"))


def write_all(fd, data):
    """Write every byte of ``data`` to ``fd`` (a write may take only part)."""
    view = memoryview(data)
    while view:
        _faults.before_write()
        view = view[os.write(fd, view) :]


class DurableFile:
    """A regular file written in commits, locked against other runs.

    ``write`` keeps text in memory; ``write_pending`` writes it at the end
    of what is written so far (gzip-compressed: one whole gzip member, so
    the file is valid gzip after every commit and may be cut back to any
    commit's length); ``sync`` makes it durable. ``start(length)`` cuts the
    file back to ``length`` (0 for a new run, the journalled length for a
    resumed one) before anything is written. Every failure raises
    ``WriteFailed`` naming the file; ``rollback`` then cuts back what was
    written since the last sync, so that the file ends with a whole page.
    """

    def __init__(self, path, compressed=None):
        self.path = path
        self.name = path
        self.compressed = is_gzip(path) if compressed is None else compressed
        self.pending = []
        self.pending_chars = 0
        try:
            self.fd = os.open(path, os.O_RDWR | os.O_CREAT | getattr(os, "O_CLOEXEC", 0), 0o666)
        except OSError as exc:
            raise WriteFailed(path, exc) from exc
        try:
            fcntl.flock(self.fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError as exc:
            os.close(self.fd)
            if exc.errno in (errno.EWOULDBLOCK, errno.EAGAIN, errno.EACCES):
                raise InUse(path) from exc
            raise WriteFailed(path, exc) from exc
        self.end = self.synced = os.fstat(self.fd).st_size

    def size(self):
        return os.fstat(self.fd).st_size

    def start(self, length):
        try:
            os.ftruncate(self.fd, length)
            os.lseek(self.fd, length, os.SEEK_SET)
        except OSError as exc:
            raise WriteFailed(self.path, exc) from exc
        self.end = self.synced = length

    def write(self, text):
        """Keep ``text`` (a str, or bytes already encoded as UTF-8) for the
        next commit."""
        self.pending.append(text)
        self.pending_chars += len(text)

    def write_pending(self):
        if not self.pending:
            return
        pending = self.pending
        if all(isinstance(text, str) for text in pending):
            data = "".join(pending).encode("utf-8")
        else:
            data = b"".join(text.encode("utf-8") if isinstance(text, str) else text for text in pending)
        self.pending.clear()
        self.pending_chars = 0
        if self.compressed:
            member = zlib.compressobj(6, zlib.DEFLATED, 31)
            data = member.compress(data) + member.flush()
        try:
            write_all(self.fd, data)
        except OSError as exc:
            raise WriteFailed(self.path, exc) from exc
        self.end += len(data)

    def sync(self):
        try:
            os.fsync(self.fd)
        except OSError as exc:
            raise WriteFailed(self.path, exc) from exc
        self.synced = self.end

    def rollback(self):
        """Cut the file back to its last synced length (best effort: this
        runs after a failure, and needs no disk space)."""
        self.pending.clear()
        self.pending_chars = 0
        try:
            os.ftruncate(self.fd, self.synced)
            os.lseek(self.fd, self.synced, os.SEEK_SET)
            self.end = self.synced
        except OSError:
            pass

    def close(self):
        if self.fd is None:
            return
        fd, self.fd = self.fd, None
        try:
            os.close(fd)
        except OSError as exc:
            raise WriteFailed(self.path, exc) from exc


# -- Destinations that would overwrite each other ---------------------------

_STREAM_PATHS = {
    "/dev/stdout": 1,
    "/dev/fd/1": 1,
    "/proc/self/fd/1": 1,
    "/dev/stderr": 2,
    "/dev/fd/2": 2,
    "/proc/self/fd/2": 2,
}


def _file_key(info):
    # Devices (a terminal, /dev/null) take any number of writers unharmed.
    if stat.S_ISCHR(info.st_mode):
        return None
    return ("file", info.st_dev, info.st_ino)


def _keys(path, fd):
    """What a destination writes to: ("fd", N) for a standard stream, and
    ("file", dev, inode) for an existing file (whatever the path's spelling,
    symbolic or hard link), or ("path", real path) for one to be created."""
    if path is None:
        return {("fd", fd)}, True
    fd = _STREAM_PATHS.get(os.path.normpath(path))
    if fd is not None:
        return {("fd", fd)}, True
    try:
        key = _file_key(os.stat(path))
    except OSError:
        return {("path", os.path.realpath(path))}, False
    return ({key} if key else set()), False


def _stream_file_key(fd):
    try:
        return _file_key(os.fstat(fd))
    except OSError:
        return None


def same_destinations(destinations, inputs=()):
    """The first pair of names that would write to the same place, or that
    would write over an input, as (name, name); None when there is none.

    ``destinations`` are (name, path, fd) with path None for the standard
    stream ``fd``. Two standard streams clash only when they are the same
    stream (``-o -`` with ``--errors /dev/stdout``): stdout and stderr sent
    to one file by the shell (``> log 2>&1``) share one file offset and do
    not overwrite each other. A file named by an option clashes with a
    standard stream that the shell sent to that very file.
    """
    seen = []
    for name, path, fd in destinations:
        keys, is_stream = _keys(path, fd)
        file_keys = set(keys)
        if is_stream:
            key = _stream_file_key(next(k[1] for k in keys))
            if key:
                file_keys.add(key)
        for other_name, other_keys, other_file_keys, other_stream in seen:
            if is_stream and other_stream:
                clash = keys & other_keys
            else:
                clash = file_keys & other_file_keys
            if clash:
                return other_name, name
        seen.append((name, keys, file_keys, is_stream))
    for name, _, file_keys, is_stream in seen:
        if is_stream:
            continue
        for path in inputs:
            try:
                key = _file_key(os.stat(path))
            except OSError:
                continue
            if key and key in file_keys:
                return name, path
    return None


class EncodedPage(NamedTuple):
    """A page's rows as the output's own bytes (UTF-8 JSON line or CSV
    lines), made where the page was extracted, so that the process that
    writes the output only copies them: ``page`` its id, ``rows`` how many
    rows the bytes hold, ``undecodable`` as ``PageRecord.undecodable``."""

    page: object
    rows: int
    data: bytes
    undecodable: bool = False


def json_line(record):
    """The JSON line of a page's record."""
    return json.dumps(record, ensure_ascii=False) + "\n"


def csv_lines(record, keys):
    """The CSV lines of a page's rows: the page id, then a cell per key."""
    buffer = io.StringIO()
    writer = csv.writer(buffer, lineterminator="\n")
    page = record["page"]
    for row in record["rows"]:
        writer.writerow([page, *(_cell(row.get(key)) for key in keys)])
    return buffer.getvalue()


class _PageEncoder:
    """Turns the record of an extracted page into an ``EncodedPage`` in
    the output format; other records (failed and skipped pages), and a
    page whose rows do not encode (the writer then raises as it would
    have), are returned as they are. Picklable: it goes to the workers."""

    def __init__(self, fmt, keys):
        self.fmt, self.keys = fmt, keys

    def __call__(self, record):
        rows = record.get("rows") if type(record) is PageRecord else None
        if rows is None:
            return record
        try:
            text = csv_lines(record, self.keys) if self.fmt == "csv" else json_line(record)
            data = text.encode("utf-8")
        except Exception:  # noqa: BLE001 - left to the writer, which reports it as before
            return record
        return EncodedPage(record["page"], len(rows), data, record.undecodable)


def page_encoder(fmt, extractor):
    """The encoder of extracted pages for output format ``fmt`` (``jsonl``
    or ``csv``), given to ``pool.run``."""
    return _PageEncoder(fmt, field_keys(extractor.rules) if fmt == "csv" else None)


class JsonLinesWriter:
    def __init__(self, output, extractor):
        self.output = output

    def page(self, record):
        if isinstance(record, EncodedPage):
            self.output.write(record.data)
        else:
            self.output.write(json_line(record))


class CsvWriter:
    """One line per row: the page id, then one column per field key.

    The columns are known before the first page: every row holds only keys
    of the rule entry that made it, so the field keys of all rule entries,
    in the order in which the entries first name them, are all the columns
    there can be. A key missing from a row is an empty cell; a value that
    is not text (a list of a one-field list rule) is written as JSON.
    """

    def __init__(self, output, extractor, header=True):
        self.output = output
        self.keys = field_keys(extractor.rules)
        if header:
            buffer = io.StringIO()
            csv.writer(buffer, lineterminator="\n").writerow(csv_header(extractor))
            self.output.write(buffer.getvalue())

    def page(self, record):
        if isinstance(record, EncodedPage):
            self.output.write(record.data)
        else:
            self.output.write(csv_lines(record, self.keys))


def _cell(value):
    if value is None:
        return ""
    if isinstance(value, str):
        return value
    return json.dumps(value, ensure_ascii=False)


def csv_header(extractor):
    """The CSV columns: the page id (``page``, or ``_page``... when a field
    is called so), then every field key."""
    keys = field_keys(extractor.rules)
    page = "page"
    while page in keys:
        page = "_" + page
    return [page, *keys]


def field_keys(rules):
    """Every field key of the rule entries, each once, in first-use order."""
    keys = {}
    for entry in rules if isinstance(rules, (list, tuple)) else ():
        if isinstance(entry, dict):
            keys.update(dict.fromkeys(entry))
    return list(keys)


def where(record):
    """'rule N, field KEY: plain words' of an error record, as far as known."""
    parts = []
    if "rule" in record:
        parts.append(f"rule {record['rule']}")
    if "field" in record:
        parts.append(f"field {record['field']!r}")
    text = ", ".join(parts)
    if "hint" in record:
        text = f"{text}: {record['hint']}" if text else record["hint"]
    return text


def error_line(prog, record):
    """PROG: ID: TYPE: MESSAGE (rule N, field KEY: plain words)"""
    message = record["message"]
    detail = f"{record['error']}: {message}" if message else record["error"]
    place = where(record)
    if place:
        detail += f" ({place})"
    return f"{prog}: {record['page']}: {detail}"


class ErrorWriter:
    """Where failed pages go: lines on stderr (``path`` None), or JSON lines
    in a file or, for ``-``, on stderr. ``verbose`` adds a line on stderr per
    failed page when they go to a file as well."""

    def __init__(self, path, prog, verbose=False, stream=None):
        self.prog = prog
        self.path = path
        self.verbose = verbose
        self.stream = None  # a DurableFile or an Output, for a file
        if path is not None and path != STDIO:
            self.stream = stream if stream is not None else Output(path)
        self.progress = None  # a Progress whose bar the lines must avoid

    def _stderr(self, line):
        try:
            if self.progress is not None and self.progress.bar is not None:
                self.progress.bar.write(line, file=sys.stderr)
            else:
                sys.stderr.write(line + "\n")
                sys.stderr.flush()
        except OSError as exc:
            raise WriteFailed("stderr", exc) from exc

    def page(self, record):
        if self.path is None:
            self._stderr(error_line(self.prog, record))
            return
        line = json.dumps(record, ensure_ascii=False)
        if self.stream is None:
            self._stderr(line)
        else:
            self.stream.write(line + "\n")
            if self.verbose:
                self._stderr(error_line(self.prog, record))
