"""Where ``extract``'s records go, in input order, and how far they are
safely written: the page writer over the output, the errors writer, and,
for an output file, the commits of the journal (see ``resume``)."""

import time

from ostrel.crawler.field_extractor.cli.outputs import EncodedPage
from ostrel.crawler.field_extractor.cli.resume import Commit, add_page_id, page_id_digest

__all__ = ["Sink"]

#: Text held in memory before a commit is made whatever the time.
COMMIT_CHARS = 8 << 20


class Sink:
    """Takes each batch of records with the page ids of their tasks, and
    writes them: the pages through ``writer`` to ``output``, the failed ones
    through ``errors`` (to ``errors_file``, or stderr when None).

    With a ``journal``, the files are ``DurableFile`` objects and the text
    is committed at most every ``interval`` seconds (0: after every batch),
    and at the end: written, synced, then the commit appended to the
    journal. Without one (stdout, a pipe), each batch is flushed as it
    comes. ``done`` is the commit that the run goes on from (``--resume``),
    and ``digest`` the digest of its page ids so far."""

    def __init__(self, writer, output, errors, errors_file, journal=None, interval=1.0, done=None, digest=None):
        self.writer, self.output, self.errors = writer, output, errors
        self.files = [output] + ([errors_file] if errors_file is not None else [])
        self.errors_file = errors_file
        self.journal = journal
        self.interval = interval
        done = done or Commit()
        self.records, self.failed = done.records, done.failed
        self.digest = digest or page_id_digest()
        self.last_commit = time.monotonic()

    def add(self, records, page_ids):
        for record, page_id in zip(records, page_ids):
            # An EncodedPage holds rows already in the output's format.
            encoded = isinstance(record, EncodedPage)
            if not encoded and "error" in record:
                self.errors.page(record)
                self.failed += 1
            elif not encoded and "skipped" in record:
                # No HTML page: counted in the summary, named with -v.
                if self.errors.verbose:
                    self.errors._stderr(f"{self.errors.prog}: {record['page']}: skipped: {record['skipped']}")
            else:
                if self.errors.verbose and getattr(record, "undecodable", False):
                    page = record.page if encoded else record["page"]
                    self.errors._stderr(f"{self.errors.prog}: {page}: undecodable bytes, replaced by U+FFFD")
                self.writer.page(record)
            add_page_id(self.digest, page_id)
            self.records += 1

    def after_batch(self):
        if self.journal is None:
            for file in self.files:
                file.write_pending()
        elif (
            time.monotonic() - self.last_commit >= self.interval
            or sum(getattr(file, "pending_chars", 0) for file in self.files) >= COMMIT_CHARS
        ):
            self.commit()

    def commit(self):
        """Write what is pending, sync it, then record it in the journal."""
        for file in self.files:
            file.write_pending()
        for file in self.files:
            file.sync()
        if self.journal is not None:
            errors = getattr(self.errors_file, "end", 0)  # 0: none, or not a regular file
            commit = Commit(self.records, self.output.end, errors, self.failed, self.digest.hexdigest())
            self.journal.append(commit)
        self.last_commit = time.monotonic()

    def rollback(self):
        """After a failed write: each file cut back to its last commit."""
        for file in self.files:
            file.rollback()

    def close(self):
        """Close every file; the first failure is raised once all are closed."""
        failure = None
        for file in [*self.files, self.journal]:
            if file is None:
                continue
            try:
                file.close()
            except Exception as exc:  # a WriteFailed
                failure = failure or exc
        if failure is not None:
            raise failure
