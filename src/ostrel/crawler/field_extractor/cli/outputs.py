"""Where the command line's records go: the output (JSON lines or CSV,
plain or gzip), the failed pages (stderr or a JSON-lines file), and the
check that no two of them, nor an input, are the same file."""

import csv
import gzip
import io
import json
import os
import stat
import sys

__all__ = [
    "STDIO",
    "CsvWriter",
    "ErrorWriter",
    "JsonLinesWriter",
    "Output",
    "csv_header",
    "error_line",
    "field_keys",
    "is_gzip",
    "output_format",
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


class Output:
    """Binary output: stdout (``None`` or ``-``) or a file, gzip-compressed
    when its name ends in ``.gz``; UTF-8 whatever the locale says."""

    def __init__(self, path, append=False):
        self.path = None if path == STDIO else path
        if self.path is None:
            sys.stdout.flush()
            self.stream = getattr(sys.stdout, "buffer", None)
            self.text_only = self.stream is None  # a stand-in for stdout
        else:
            self.stream = _open(self.path, append)
            self.text_only = False

    def write(self, text):
        if self.text_only:
            sys.stdout.write(text)
        else:
            self.stream.write(text.encode("utf-8"))

    def flush(self):
        (sys.stdout if self.text_only else self.stream).flush()

    def close(self):
        if self.path is not None:
            self.stream.close()


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


class JsonLinesWriter:
    def __init__(self, output, extractor):
        self.output = output

    def page(self, record):
        self.output.write(json.dumps(record, ensure_ascii=False) + "\n")


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
        self.buffer = io.StringIO()
        self.writer = csv.writer(self.buffer, lineterminator="\n")
        if header:
            self.writer.writerow(csv_header(extractor))
            self._flush_buffer()

    def _flush_buffer(self):
        self.output.write(self.buffer.getvalue())
        self.buffer.seek(0)
        self.buffer.truncate()

    def page(self, record):
        for row in record["rows"]:
            self.writer.writerow([record["page"], *(_cell(row.get(key)) for key in self.keys)])
        self._flush_buffer()


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

    def __init__(self, path, prog, append=False, verbose=False):
        self.prog = prog
        self.path = path
        self.verbose = verbose
        self.stream = None
        if path is not None and path != STDIO:
            self.stream = _open(path, append)
        self.progress = None  # a Progress whose bar the lines must avoid

    def _stderr(self, line):
        if self.progress is not None and self.progress.bar is not None:
            self.progress.bar.write(line, file=sys.stderr)
        else:
            sys.stderr.write(line + "\n")
            sys.stderr.flush()

    def page(self, record):
        if self.path is None:
            self._stderr(error_line(self.prog, record))
            return
        line = json.dumps(record, ensure_ascii=False)
        if self.stream is None:
            self._stderr(line)
        else:
            self.stream.write((line + "\n").encode("utf-8"))
            if self.verbose:
                self._stderr(error_line(self.prog, record))

    def flush(self):
        if self.stream is not None:
            self.stream.flush()

    def close(self):
        if self.stream is not None:
            self.stream.close()
