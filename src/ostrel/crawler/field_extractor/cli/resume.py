"""What an earlier, stopped run left in its output and errors file
(``--resume``): the page ids already written, and the file made ready to be
appended to."""

import csv
import gzip
import json
import os
import zlib

from ostrel.crawler.field_extractor.cli.outputs import is_gzip

__all__ = ["ResumeError", "is_empty_file", "resume_file"]


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
