"""How far a run got, kept where ``--resume`` can read it back: the journal
beside the output (``OUT.journal``).

The journal's first line describes the run (a fingerprint of the rules file,
the inputs and the options that shape the output); each later line is a
commit: the number of input records done, the output's and the errors
file's lengths that hold exactly their records, the number of them that
failed, and a digest of their page ids in order. A commit line is appended
and synced only after the output and errors file are synced up to those
lengths, so the last whole line always describes bytes that are on disk. A
resumed run cuts both files back to those lengths, passes over that many
input records unread (after checking that their page ids give the same
digest) and appends the rest: the files end as an uninterrupted run leaves
them.
"""

import hashlib
import json
import os

from ostrel.crawler.field_extractor.cli.outputs import WriteFailed, write_all

__all__ = ["Commit", "Journal", "ResumeError", "fingerprint", "journal_path"]

JOURNAL_VERSION = 1


class ResumeError(ValueError):
    """An existing output that cannot be resumed."""


def journal_path(output):
    return output + ".journal"


def _input_identity(name):
    """An input as the journal knows it: its absolute path, and for a file
    its size and modification time (a file changed since cannot be resumed)."""
    if name == "-":
        return ["-"]
    path = os.path.abspath(name)
    try:
        info = os.stat(path)
    except OSError:
        return [path]
    if os.path.isdir(path):
        return [path]
    return [path, info.st_size, info.st_mtime_ns]


def fingerprint(rules, inputs, options):
    """The digest of what decides a run's output: the rules file's bytes,
    the inputs, and ``options`` (a JSON-able mapping)."""
    digest = hashlib.sha256()
    with open(rules, "rb") as stream:
        digest.update(hashlib.sha256(stream.read()).digest())
    described = {"inputs": [_input_identity(name) for name in inputs], "options": options}
    digest.update(json.dumps(described, sort_keys=True, default=str).encode("utf-8"))
    return digest.hexdigest()


def page_id_digest():
    return hashlib.sha256()


def add_page_id(digest, page_id):
    digest.update(f"{page_id}\n".encode("utf-8", "surrogatepass"))


class Commit:
    """One journal line: how far the run got, durably."""

    FIELDS = ("records", "output", "errors", "failed", "pages")

    def __init__(self, records=0, output=0, errors=0, failed=0, pages=None):
        self.records, self.output, self.errors, self.failed = records, output, errors, failed
        self.pages = pages if pages is not None else page_id_digest().hexdigest()

    def line(self):
        return json.dumps({name: getattr(self, name) for name in self.FIELDS}, separators=(",", ":")) + "\n"

    @classmethod
    def parse(cls, line):
        value = json.loads(line)
        if not isinstance(value, dict) or set(value) != set(cls.FIELDS):
            raise ValueError("not a commit")
        numbers = [value[name] for name in cls.FIELDS[:4]]
        if not all(type(n) is int and n >= 0 for n in numbers) or not isinstance(value["pages"], str):
            raise ValueError("not a commit")
        return cls(*numbers, value["pages"])


class Journal:
    """The journal file of an output; opened only by the run that holds the
    output's lock."""

    def __init__(self, output):
        self.path = journal_path(output)
        self.fd = None
        self.whole = 0  # the length of the whole lines read

    def read(self):
        """(header, last whole commit), or None when there is no journal or
        it is empty (a run stopped before its first line was synced). A
        last line cut off by a crash is not a commit."""
        try:
            with open(self.path, "rb") as stream:
                data = stream.read()
        except FileNotFoundError:
            return None
        except OSError as exc:
            raise ResumeError(f"{self.path}: {exc.strerror or exc}") from exc
        lines = data.split(b"\n")[:-1]  # the part after the last newline is cut off
        if not lines:
            return None
        try:
            header = json.loads(lines[0])
            if not isinstance(header, dict) or header.get("journal") != JOURNAL_VERSION:
                raise ValueError
        except ValueError:
            raise ResumeError(f"{self.path} is not a journal of this program: cannot resume") from None
        last = None
        self.whole = len(lines[0]) + 1
        for line in lines[1:]:
            try:
                last = Commit.parse(line)
            except ValueError:
                break
            self.whole += len(line) + 1
        if last is None:
            return None
        return header, last

    def _open(self):
        if self.fd is None:
            try:
                self.fd = os.open(self.path, os.O_WRONLY | os.O_CREAT | getattr(os, "O_CLOEXEC", 0), 0o666)
            except OSError as exc:
                raise WriteFailed(self.path, exc) from exc

    def start(self, header, commit):
        """A new journal: the header and the first commit, written to a
        file of its own, synced, then put in the place of the old journal
        (whose run is then still whole, should this one stop first)."""
        header = dict(header, journal=JOURNAL_VERSION)
        temporary = f"{self.path}.new-{os.getpid()}"
        self.close()
        try:
            self.fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | getattr(os, "O_CLOEXEC", 0), 0o666)
        except OSError as exc:
            raise WriteFailed(self.path, exc) from exc
        try:
            self._append(json.dumps(header, sort_keys=True) + "\n" + commit.line())
            try:
                os.replace(temporary, self.path)
            except OSError as exc:
                raise WriteFailed(self.path, exc) from exc
        except WriteFailed:
            self.close()
            try:
                os.unlink(temporary)
            except OSError:
                pass
            raise
        directory = os.open(os.path.dirname(os.path.abspath(self.path)), os.O_RDONLY)
        try:
            os.fsync(directory)
        except OSError:
            pass  # some file systems cannot sync a directory
        finally:
            os.close(directory)

    def reopen(self):
        """Go on with the journal read: a last line cut off by a crash is
        cut away, so that the next commit starts a line of its own."""
        self._open()
        try:
            os.ftruncate(self.fd, self.whole)
        except OSError as exc:
            raise WriteFailed(self.path, exc) from exc

    def append(self, commit):
        self._open()
        try:
            os.lseek(self.fd, 0, os.SEEK_END)
        except OSError as exc:
            raise WriteFailed(self.path, exc) from exc
        self._append(commit.line())

    def _append(self, text):
        try:
            write_all(self.fd, text.encode("utf-8"))
            os.fsync(self.fd)
        except OSError as exc:
            raise WriteFailed(self.path, exc) from exc

    def close(self):
        if self.fd is not None:
            fd, self.fd = self.fd, None
            try:
                os.close(fd)
            except OSError as exc:
                raise WriteFailed(self.path, exc) from exc
