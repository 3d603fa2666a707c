"""The progress bar of an extraction (on stderr, when it is a terminal) and
the summary line that closes the run."""

import collections
import sys
import time

from ostrel.crawler.field_extractor.cli.outputs import EncodedPage

__all__ = ["Progress", "plural"]


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
        self.skipped = {}  # pages that are no HTML pages, by kind (binary, empty)
        self.resumed = 0  # input records passed over, done by the run resumed
        self.errors_before = 0  # the failed pages among them
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

    @property
    def failed(self):
        """Failed pages of the whole run, the part resumed included."""
        return self.errors + self.errors_before

    def skip(self, count, bytes_read):
        """``count`` input records (``bytes_read`` input bytes) passed over,
        done by the run that is resumed."""
        self.resumed += count
        if self.bar is not None:
            self.bar.update(bytes_read if self.marks is not None else count)

    def add(self, records):
        for record in records:
            if isinstance(record, EncodedPage):
                self.rows += record.rows
                self.undecodable += record.undecodable
            elif "error" in record:
                self.errors += 1
            elif "skipped" in record:
                kind = record["skipped"].split(":")[0]
                self.skipped[kind] = self.skipped.get(kind, 0) + 1
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

    def discard(self):
        """Take the bar away, with no summary: the run did not start."""
        if self.bar is not None:
            self.bar.leave = False
            self.bar.close()
            self.bar = None

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
        if self.skipped:
            kinds = ", ".join(f"{count} {kind}" for kind, count in sorted(self.skipped.items()))
            skipped += f", {plural(sum(self.skipped.values()), 'page')} skipped ({kinds})"
        if self.undecodable:
            skipped += f", {plural(self.undecodable, 'page')} with undecodable bytes"
        if self.resumed:
            skipped += f", {plural(self.resumed, 'page')} already done ({self.errors_before} failed)"
        stopped = f"interrupted by {interrupted}: " if interrupted else ""
        try:
            sys.stderr.write(
                f"{prog}: {stopped}{plural(self.pages, 'page')}, {plural(self.rows, 'row')}, "
                f"{self.errors} failed{skipped} in {elapsed:.1f} s "
                f"({rate:.1f} pages/s){_tree_note()}\n"
            )
            sys.stderr.flush()
        except OSError:  # a full disk under stderr: the summary alone is lost
            pass


def _tree_note():
    """' (native page tree off: REASON)' when it is off, else ''."""
    from ostrel.crawler.field_extractor.utils import _treegate

    return "" if _treegate.ENABLED else f" (native page tree off: {_treegate.DISABLED_REASON})"
