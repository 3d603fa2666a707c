"""Reading inputs that may be damaged, in bounded memory.

A crawl is read for days, and files get cut short, holed and bit-flipped
on the way. The readers here never read a damaged stretch as if it were
whole and never stop at it: each damaged stretch is one ``Damage`` (its
offset in the file, what is wrong, where reading goes on), and reading
goes on at the next thing that can be found:

- ``gzip_pieces`` decompresses the gzip members of a file one after the
  other; a member that is damaged or cut short is reported, and reading
  goes on at the next gzip member found after its start.
- ``warc_records`` cuts WARC records out of the bytes by their headers and
  ``Content-Length``, checks that each block ends with its blank lines,
  and after a damaged record goes on at the next ``WARC/1.`` header.
- ``lines`` splits bytes into lines, bounded in length.

Every piece of data is at most ``CHUNK`` bytes, and nothing is held whole
that is over its limit (``Limits``): a gzip bomb is never decompressed
whole.
"""

import re
import zlib
from typing import NamedTuple

__all__ = [
    "CHUNK",
    "Damage",
    "Limits",
    "TooLarge",
    "gunzip_bounded",
    "gzip_pieces",
    "lines",
    "plain_pieces",
    "Span",
    "warc_records",
]

CHUNK = 1 << 16
_GZIP_MAGIC = b"\x1f\x8b\x08"
_MIB = 1 << 20


class Limits(NamedTuple):
    """The most bytes of one page (after decompression), one JSON line and
    one WARC record."""

    page_bytes: int = 32 * _MIB
    line_bytes: int = 64 * _MIB
    record_bytes: int = 64 * _MIB


class TooLarge(ValueError):
    """A page, line or record over its limit."""


class Damage(NamedTuple):
    """A damaged stretch of a file: ``offset`` where it starts, ``message``
    what is wrong and where reading goes on; ``cut`` when the file ends in
    it."""

    offset: int
    message: str
    cut: bool = False


def size_text(count):
    for unit, size in (("GiB", 1 << 30), ("MiB", _MIB), ("KiB", 1 << 10)):
        if count >= size and count % size == 0:
            return f"{count // size} {unit}"
    return f"{count} bytes"


# -- Bytes, plain or gzipped -------------------------------------------------


def plain_pieces(stream):
    """(offset, data) of a binary stream, ``CHUNK`` bytes at a time; a
    stream that cannot be read on (a gzip stream cut short) ends with a
    ``Damage``."""
    read = getattr(stream, "read1", stream.read)
    offset = 0
    while True:
        try:
            data = read(CHUNK)
        except (OSError, EOFError, zlib.error) as exc:
            cut = isinstance(exc, EOFError)
            yield Damage(offset, f"the data cannot be read on ({type(exc).__name__}: {exc})", cut)
            return
        if not data:
            return
        yield offset, data
        offset += len(data)


def gzip_pieces(stream, head=b""):
    """(offset of its gzip member, data) of the decompressed bytes of a
    stream of gzip members, and a ``Damage`` for each damaged stretch.

    A member that does not decompress (a hole, flipped bytes, a wrong CRC)
    or that the file ends in is reported; reading goes on at the next
    offset after its start where a member starts whose first bytes
    decompress and begin with ``head``. The compressed bytes of a member
    are kept for that search up to ``KEPT`` bytes; past that, the search
    starts where the damage was found."""
    read = getattr(stream, "read1", stream.read)
    buf = bytearray()
    base = 0  # file offset of buf[0]
    ended = False

    def fill():
        nonlocal ended
        if ended:
            return False
        data = read(CHUNK)
        if not data:
            ended = True
            return False
        buf.extend(data)
        return True

    def drop(count):
        nonlocal base
        del buf[:count]
        base += count

    damage = None  # (offset, why, cut) of the stretch being skipped
    pos = 0  # where to look for the next member, in buf
    while True:
        if damage is not None:  # find a member start from pos on
            found = buf.find(_GZIP_MAGIC, pos)
            while found < 0:
                drop(max(pos, len(buf) - 2))
                pos = 0
                if not fill():
                    start, why, cut = damage
                    yield Damage(start, f"{why}; nothing could be read after it", cut)
                    return
                found = buf.find(_GZIP_MAGIC)
            pos = found
        drop(pos)
        pos = 0
        while len(buf) < 3 and fill():
            pass
        if not buf:
            return
        if damage is None and buf[:3] != _GZIP_MAGIC:
            if not buf.strip(b"\0") and not fill():
                return  # zeros after the last member, as some writers pad
            damage, pos = (base, "not a gzip member", False), 1
            continue
        member, kept = base, True
        decompressor = zlib.decompressobj(31)
        fed = 0  # bytes of buf given to the decompressor
        trying = damage is not None  # output held back until it starts with head
        waiting = b""
        held, holding = [], True  # output held back until the member's CRC is checked
        failure = None
        while not decompressor.eof:
            data = decompressor.unconsumed_tail
            if not data:
                if fed >= len(buf) and not fill():
                    failure = ("the file ends inside this gzip member: it is truncated", True)
                    break
                data = bytes(buf[fed:])
                fed = len(buf)
            try:
                out = decompressor.decompress(data, CHUNK)
            except zlib.error as exc:
                failure = (f"the gzip member is damaged ({exc})", False)
                break
            if trying:
                waiting += out
                if len(waiting) < max(len(head), 1) and not decompressor.eof:
                    continue
                if not waiting.startswith(head):
                    failure = ("", False)
                    break
                trying, out = False, waiting
            if out and holding:
                held.append(out)
                if len(held) * CHUNK > KEPT:  # a long member is handed on as it comes
                    holding = False
                    if damage is not None:
                        yield _resumed(damage, member)
                        damage = None
                    for piece in held:
                        yield member, piece
            elif out:
                yield member, out
            if kept and fed > KEPT:
                kept = False  # a long member: its start is not kept for a search
            if not kept and not decompressor.unconsumed_tail:
                drop(fed)
                fed = 0
        if failure is None:
            if damage is not None:
                yield _resumed(damage, member)
                damage = None
            if holding:
                for piece in held:
                    yield member, piece
            pos = fed - len(decompressor.unused_data)
            continue
        why, cut = failure
        if damage is None:
            damage = (member, why, cut)
        pos = 1 if kept else fed


def _resumed(damage, offset):
    start, why, cut = damage
    return Damage(start, f"{why}; reading goes on at offset {offset}", cut)


KEPT = CHUNK * 64


# -- WARC records ---------------------------------------------------------------

_RECORD_START = re.compile(rb"WARC/1\.[01]\r\n")
_LINE_BREAKS = re.compile(rb"[\r\n]*")
_TOKEN = re.compile(rb"[!#$%&'*+.^_`|~0-9A-Za-z-]+")
HEADER_MOST = 1 << 20  # bytes of one record header
HEAD_KEPT = 1 << 14  # bytes of the block of a record over the limit


class _Bytes:
    """The bytes of a stream of pieces, buffered from the current record on,
    with the file offset of any position in them."""

    def __init__(self, pieces, exact=True):
        self.pieces, self.exact = iter(pieces), exact
        self.buf = bytearray()
        self.start = 0  # position of buf[0] in the stream of data
        self.marks = []  # (position, file offset, exact) of recent pieces
        self.ended = False

    def fill(self):
        """More data: True, False at the end, or the ``Damage`` that the
        pieces report (the data buffered so far is then dropped)."""
        if self.ended:
            return False
        for item in self.pieces:
            if isinstance(item, Damage):
                self.drop(len(self.buf))
                return item
            offset, data = item
            end = self.start + len(self.buf)
            self.marks.append((end, offset, self.exact))
            self.buf.extend(data)
            return True
        self.ended = True
        return False

    def drop(self, count):
        del self.buf[:count]
        self.start += count
        while len(self.marks) > 1 and self.marks[1][0] <= self.start:
            del self.marks[0]

    def offset(self, index=0):
        """The file offset of buf[index]: exact in a plain file, that of
        its gzip member in a gzipped one."""
        position = self.start + index
        for mark, offset, exact in reversed(self.marks):
            if mark <= position:
                return offset + (position - mark) if exact else offset
        return position


def warc_records(pieces, limit, gzipped=False):
    """The WARC records of a stream of pieces (``plain_pieces`` or
    ``gzip_pieces``): ``(offset, bytes)`` of each whole record,
    ``(offset, headers, size, head)`` of a record over ``limit`` bytes
    (passed over; its headers a dict with lower-case names, ``head`` the
    first bytes of its block), and a ``Damage`` for
    each damaged stretch, after which reading goes on at the next
    ``WARC/1.`` header. ``offset`` is the file offset of the record, or in
    a gzipped file that of its gzip member."""
    data = _Bytes(pieces, exact=not gzipped)
    damaged = None  # (offset, why, cut) of a stretch being skipped
    look_from = None  # where to look for a record start, when damaged

    def stretch_end(where):
        offset, why, cut = damaged
        return Damage(offset, f"{why}; reading goes on at offset {where}", cut)

    while True:
        if look_from is not None:
            found = _RECORD_START.search(data.buf, look_from)
            while found is None:
                data.drop(max(look_from, len(data.buf) - 9))
                look_from = 0
                more = data.fill()
                if isinstance(more, Damage):
                    yield stretch_end(more.offset)
                    damaged = None
                    yield more
                    break
                if not more:
                    offset, why, cut = damaged
                    yield Damage(offset, f"{why}; no record could be read after it", cut)
                    return
                found = _RECORD_START.search(data.buf)
            look_from = None
            if found is not None:
                data.drop(found.start())
        # A record should start here.
        while len(data.buf) < 9:
            more = data.fill()
            if isinstance(more, Damage):
                if damaged is not None:
                    yield stretch_end(more.offset)
                    damaged = None
                yield more
                continue
            if not more:
                break
        if damaged is None:
            skip = _LINE_BREAKS.match(data.buf).end()
            data.drop(skip)
            if skip and len(data.buf) < 9:
                continue
        if not data.buf:
            if damaged is not None:
                yield Damage(damaged[0], f"{damaged[1]}; no record could be read after it", damaged[2])
            return
        here = data.offset()
        problem, record = _one_record(data, limit, here)
        if problem is None:
            if damaged is not None:
                yield stretch_end(here)
                damaged = None
            if record is not None:
                yield record
            continue
        if isinstance(problem, Damage):  # the pieces were damaged: start again after it
            if damaged is not None:
                yield stretch_end(problem.offset)
                damaged = None
            yield problem
            continue
        why, cut, resume_at = problem
        if damaged is None:
            damaged = (here, why, cut)
        look_from = resume_at


def _one_record(data, limit, here):
    """Read the record at the start of ``data.buf``: (None, record) when it
    is whole (record None when it was over the limit and passed over),
    (Damage, None) when the pieces were damaged, or ((why, cut, where to
    look for the next record), None) when it is damaged."""
    buf = data.buf
    if not buf.startswith(b"WARC/1."):
        return ("no WARC record starts here", False, 1), None
    end = buf.find(b"\r\n\r\n")
    while end < 0:
        if len(buf) > HEADER_MOST:
            return (f"a record header longer than {size_text(HEADER_MOST)}", False, 1), None
        more = data.fill()
        if isinstance(more, Damage):
            return more, None
        if not more:
            return ("the file ends inside a record header: it is truncated", True, 1), None
        buf = data.buf
        end = buf.find(b"\r\n\r\n", max(0, len(buf) - CHUNK - 3))
    headers = {}
    for line in bytes(buf[:end]).split(b"\r\n")[1:]:
        name, colon, value = line.partition(b":")
        if line[:1] in (b" ", b"\t") and headers:
            continue  # a folded line goes on with the value above
        if not colon or not _TOKEN.fullmatch(name):
            return ("the record header is damaged: a line is not a header", False, 1), None
        try:
            headers[name.lower().decode("ascii")] = value.strip().decode("utf-8")
        except UnicodeDecodeError:
            return ("the record header is damaged: a value is not UTF-8", False, 1), None
    length = headers.get("content-length", "")
    if not length.isdigit() or not length.isascii() or "warc-type" not in headers:
        return ("the record header is damaged: no WARC-Type or no valid Content-Length", False, 1), None
    total = end + 4 + int(length) + 4
    if total > limit:
        # Passed over in pieces, never held whole; the start of its block
        # tells what it holds.
        wanted = min(total - 4, end + 4 + HEAD_KEPT)
        while len(data.buf) < wanted and data.fill() is True:
            pass
        head = bytes(data.buf[end + 4 : wanted])
        left = total - 4
        while left > 0:
            if not data.buf:
                more = data.fill()
                if isinstance(more, Damage):
                    return more, None
                if not more:
                    return ("the file ends inside a record: it is truncated", True, 0), None
            step = min(left, len(data.buf))
            data.drop(step)
            left -= step
        if not _ends_block(data):
            return ("the record's block does not end where its Content-Length says", False, 0), None
        data.drop(4)
        return None, (here, headers, total, head)
    while len(data.buf) < total:
        more = data.fill()
        if isinstance(more, Damage):
            return more, None
        if not more:
            return (
                f"the file ends inside a record: it is truncated ({total - len(data.buf)} bytes missing)",
                True,
                1,
            ), None
    if data.buf[total - 4 : total] != b"\r\n\r\n":
        return (
            "the record's block does not end where its Content-Length says (bytes missing or a damaged header)",
            False,
            1,
        ), None
    record = bytes(data.buf[:total])
    data.drop(total)
    return None, (here, record)


def _ends_block(data):
    while len(data.buf) < 4:
        more = data.fill()
        if more is not True:
            return False
    return data.buf[:4] == b"\r\n\r\n"


# -- Lines ------------------------------------------------------------------------


class Span(NamedTuple):
    """Where a line is in a plain file: ``offset``, ``length`` (its line
    break included), and whether it holds only whitespace (``blank``)."""

    offset: int
    length: int
    blank: bool


_NOT_SPACE = re.compile(rb"[^ \t\n\r\x0b\x0c]")


def lines(pieces, limit, keep=True):
    """The lines of a stream of pieces, each ``(lineno, bytes)`` with its
    line break; ``(lineno, size)`` for a line over ``limit`` bytes, passed
    over without being held; the pieces' ``Damage`` reports as they come
    (a line that a damage cuts is dropped with it, and the line after the
    damage counts as a new one).

    With ``keep`` False no line is gathered: a ``Span`` (by the pieces'
    offsets, exact in a plain file) comes in place of its bytes, so that
    the line can be read later where it is needed."""
    parts = []  # the current line's bytes so far, unless it is over the limit
    size = 0  # bytes of the current line so far
    first = 0  # offset of the current line
    blank = True  # the current line holds only whitespace so far
    lineno = 0
    for item in pieces:
        if isinstance(item, Damage):
            if size:
                lineno += 1  # the cut line is lost with the damage...
                if size > limit:  # ...but one over the limit is told as such
                    yield lineno, size
            parts, size, blank = [], 0, True
            yield item
            continue
        offset, data = item
        start = 0
        end = data.find(b"\n")
        while end >= 0:
            lineno += 1
            length = size + end + 1 - start
            if length > limit:
                yield lineno, length
            elif not keep:
                blank = blank and _NOT_SPACE.search(data, start, end + 1) is None
                yield lineno, Span(offset + start if not size else first, length, blank)
            elif parts:
                parts.append(data[start : end + 1])
                yield lineno, b"".join(parts)
            else:
                yield lineno, data[start : end + 1]
            parts, size, blank = [], 0, True
            start = end + 1
            end = data.find(b"\n", start)
        if start < len(data):
            if not size:
                first = offset + start
            size += len(data) - start
            if size > limit:
                parts = []
            elif not keep:
                blank = blank and _NOT_SPACE.search(data, start) is None
            else:
                parts.append(data[start:] if start else data)
    if size:
        if size > limit:
            yield lineno + 1, size
        else:
            yield lineno + 1, Span(first, size, blank) if not keep else b"".join(parts)


def gunzip_bounded(data, limit):
    """The bytes of a page, decompressed when they are gzipped (by their
    first bytes), at most ``limit`` bytes: ``TooLarge`` past it, without
    ever decompressing more than that; ``EOFError`` when the gzip data is
    cut short, ``zlib.error`` when it is damaged."""
    if data[:2] != _GZIP_MAGIC[:2]:
        if len(data) > limit:
            raise TooLarge(f"the page is {len(data)} bytes, over the limit of {size_text(limit)} (--max-page-bytes)")
        return data
    out = bytearray()
    view = memoryview(data)
    while view:
        decompressor = zlib.decompressobj(31)
        chunk = view
        while not decompressor.eof:
            piece = decompressor.decompress(chunk, CHUNK)
            out += piece
            if len(out) > limit:
                raise TooLarge(
                    f"the page is over the limit of {size_text(limit)} after decompression (--max-page-bytes)"
                )
            chunk = decompressor.unconsumed_tail
            if not chunk and not piece and not decompressor.eof:
                raise EOFError("the page's gzip data is cut short: the file is truncated")
        rest = decompressor.unused_data
        view = memoryview(rest) if rest.strip(b"\0") else memoryview(b"")
    return bytes(out)
