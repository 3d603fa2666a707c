"""Where the command line's records go: the output (JSON lines or CSV,
plain or gzip), the failed pages (stderr or a JSON-lines file), and the
progress bar with the closing summary; and what an earlier, stopped run left
in them (``--resume``)."""

import collections
import csv
import gzip
import io
import json
import os
import stat
import sys
import time
import zlib

__all__ = [
    "STDIO",
    "CsvWriter",
    "ErrorWriter",
    "JsonLinesWriter",
    "Output",
    "Progress",
    "ResumeError",
    "csv_header",
    "error_line",
    "field_keys",
    "is_empty_file",
    "output_format",
    "plural",
    "resume_file",
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


# -- Resuming ---------------------------------------------------------------


class ResumeError(ValueError):
    """An existing output that cannot be resumed."""


def _read_all(path):
    """(bytes, whether the data was cut short): a gzip file that ends inside
    a member (a run that was killed) gives what could be read of it."""
    with open(path, "rb") as stream:
        raw = stream.read()
    if not is_gzip(path):
        return raw, False
    pieces = []
    while raw:
        member = zlib.decompressobj(wbits=31)
        try:
            pieces.append(member.decompress(raw))
        except zlib.error:
            return b"".join(pieces), True
        if not member.eof:
            return b"".join(pieces), True
        raw = member.unused_data
    return b"".join(pieces), False


def _lines(data):
    start = 0
    while start < len(data):
        end = data.find(b"\n", start)
        if end < 0:
            return  # the last line was cut off
        yield data[start : end + 1], end + 1
        start = end + 1


def _jsonl_ids(data, path):
    ids, kept = set(), 0
    for lineno, (line, end) in enumerate(_lines(data), 1):
        if line.strip():
            try:
                record = json.loads(line)
                ids.add(_hashable(record["page"]))
            except (ValueError, TypeError, KeyError) as exc:
                raise ResumeError(f"{path}: line {lineno} is not a JSON object with a page: cannot resume") from exc
        kept = end
    return ids, kept


def _csv_ids(data, path, header):
    ids, kept = set(), 0
    ends = []

    def lines():
        for line, end in _lines(data):
            ends.append(end)
            yield line.decode("utf-8")

    reader = csv.reader(lines())
    first = True
    try:
        for row in reader:
            if first:
                if header is not None and row != header:
                    raise ResumeError(
                        f"{path}: its columns are not those of these rules ({', '.join(header)}): cannot resume"
                    )
                first = False
            elif row:
                ids.add(row[0])
            kept = ends[-1]
    except (csv.Error, UnicodeDecodeError):
        pass  # a row cut off inside a quoted cell: dropped with what follows
    return ids, kept


def _hashable(page_id):
    return json.dumps(page_id, sort_keys=True) if isinstance(page_id, (list, dict)) else page_id


def resume_file(path, fmt="jsonl", header=None):
    """Make an existing output ready to be appended to, and return the page
    ids that it holds (None when there is no such file yet).

    A last line that was cut off (no newline: a run that was stopped in the
    middle of a write) is dropped, so that what is appended starts on a line
    of its own; a gzip file that ends inside a member is written again with
    its complete lines, since a member appended after a cut-off one could not
    be read. ``fmt`` ``csv`` reads the ids from the first column and checks
    that the header is ``header``; an empty file gets no header back here:
    then the caller writes one.
    """
    if not os.path.exists(path):
        return None
    data, cut = _read_all(path)
    if fmt == "csv":
        ids, kept = _csv_ids(data, path, header)
    else:
        ids, kept = _jsonl_ids(data, path)
    if is_gzip(path):
        if cut or kept < len(data):
            temporary = f"{path}.resume-{os.getpid()}"
            with gzip.open(temporary, "wb") as stream:
                stream.write(data[:kept])
            os.replace(temporary, path)
    elif kept < len(data):
        os.truncate(path, kept)
    return ids


def is_empty_file(path):
    try:
        return os.path.getsize(path) == 0 if not is_gzip(path) else not _read_all(path)[0]
    except OSError:
        return True


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


def plural(count, word):
    return f"{count} {word}{'' if count == 1 else 's'}"


class Progress:
    """Counts pages, rows, errors and pages with undecodable bytes; a tqdm
    bar when stderr is a terminal (and not ``quiet``).

    ``measure()``, asked only for the bar, gives the bytes of the input or
    None. When they are known the bar shows how much of the input is done,
    with an estimate of the time left: then ``marks`` is a deque to which
    the input side appends, after reading each task, the input bytes read
    so far; the records of the tasks, coming back in task order, take their
    marks from it.
    """

    def __init__(self, measure=None, quiet=False):
        self.pages = self.rows = self.errors = self.undecodable = 0
        self.resumed = 0  # pages passed over, already in the output
        self.quiet = quiet
        self.start = time.perf_counter()
        self.bar = None
        self.marks = None
        if sys.stderr.isatty() and not quiet:
            from tqdm import tqdm

            # No monitor thread: worker processes are forked after this.
            tqdm.monitor_interval = 0
            total = measure() if measure is not None else None
            if total:
                self.marks = collections.deque()
                self.bar = tqdm(
                    total=total,
                    unit="B",
                    unit_scale=True,
                    unit_divisor=1024,
                    file=sys.stderr,
                    dynamic_ncols=True,
                    mininterval=0.5,
                    smoothing=0.1,
                    bar_format="{percentage:3.0f}%|{bar}| {n_fmt}/{total_fmt} [{elapsed}<{remaining}{postfix}]",
                )
            else:
                self.bar = tqdm(
                    unit=" pages",
                    file=sys.stderr,
                    dynamic_ncols=True,
                    mininterval=0.5,
                    smoothing=0.1,
                    bar_format="{n_fmt}{unit} [{elapsed}, {rate_noinv_fmt}{postfix}]",
                )

    def add(self, records):
        for record in records:
            if "error" in record:
                self.errors += 1
            else:
                self.rows += len(record["rows"])
                self.undecodable += getattr(record, "undecodable", False)
        self.pages += len(records)
        if self.bar is None:
            return
        if self.marks is None:
            self.bar.set_postfix(rows=self.rows, errors=self.errors, refresh=False)
            self.bar.update(len(records))
            return
        done = self.bar.n
        for _ in records:
            if self.marks:
                done = self.marks.popleft()
        elapsed = time.perf_counter() - self.start
        rate = self.pages / elapsed if elapsed > 0 else 0.0
        self.bar.set_postfix_str(
            f"{self.pages} pages, {rate:.1f} pages/s, rows={self.rows}, errors={self.errors}", refresh=False
        )
        self.bar.update(done - self.bar.n)

    def close(self, prog, stats, interrupted=None):
        """Write the summary; ``interrupted`` names the signal that stopped
        the run, if one did."""
        if self.bar is not None:
            self.bar.close()
            self.bar = None
        if self.quiet:
            return
        elapsed = time.perf_counter() - self.start
        rate = self.pages / elapsed if elapsed > 0 else 0.0
        skipped = ""
        if stats.skipped_records:
            skipped = f", {plural(stats.skipped_records, 'WARC record')} skipped (not 2xx HTML responses)"
        if getattr(stats, "ignored_files", 0):
            skipped += f", {plural(stats.ignored_files, 'file')} ignored (not pages by name, see --include)"
        if self.undecodable:
            skipped += f", {plural(self.undecodable, 'page')} with undecodable bytes"
        if self.resumed:
            skipped += f", {plural(self.resumed, 'page')} already in the output"
        stopped = f"interrupted by {interrupted}: " if interrupted else ""
        sys.stderr.write(
            f"{prog}: {stopped}{plural(self.pages, 'page')}, {plural(self.rows, 'row')}, "
            f"{self.errors} failed{skipped} in {elapsed:.1f} s "
            f"({rate:.1f} pages/s){_tree_note()}\n"
        )
        sys.stderr.flush()


def _tree_note():
    """' (native page tree off: REASON)' when it is off, else ''."""
    from ostrel.crawler.field_extractor.utils import _treegate

    return "" if _treegate.ENABLED else f" (native page tree off: {_treegate.DISABLED_REASON})"
