"""Where the command line's records go: the output (JSON lines or CSV),
the failed pages (stderr or a JSON-lines file), and the progress bar with
the closing summary."""

import csv
import io
import json
import sys
import time

__all__ = ["CsvWriter", "ErrorWriter", "JsonLinesWriter", "Output", "Progress", "field_keys"]


class Output:
    """Binary output: stdout or a file, UTF-8 whatever the locale says."""

    def __init__(self, path):
        self.path = path
        if path is None:
            sys.stdout.flush()
            self.stream = getattr(sys.stdout, "buffer", None)
            self.text_only = self.stream is None  # a stand-in for stdout
        else:
            self.stream = open(path, "wb")
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

    def __init__(self, output, extractor):
        self.output = output
        self.keys = field_keys(extractor.rules)
        page = "page"
        while page in self.keys:
            page = "_" + page
        self.buffer = io.StringIO()
        self.writer = csv.writer(self.buffer, lineterminator="\n")
        self.writer.writerow([page, *self.keys])
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


def field_keys(rules):
    """Every field key of the rule entries, each once, in first-use order."""
    keys = {}
    for entry in rules if isinstance(rules, (list, tuple)) else ():
        if isinstance(entry, dict):
            keys.update(dict.fromkeys(entry))
    return list(keys)


class ErrorWriter:
    """Where failed pages go: stderr lines, or a JSON-lines file."""

    def __init__(self, path, prog):
        self.prog = prog
        self.stream = None if path is None else open(path, "w", encoding="utf-8")
        self.progress = None  # a Progress whose bar the lines must avoid

    def page(self, record):
        if self.stream is None:
            message = record["message"]
            detail = f"{record['error']}: {message}" if message else record["error"]
            line = f"{self.prog}: {record['page']}: {detail}"
            if self.progress is not None and self.progress.bar is not None:
                self.progress.bar.write(line, file=sys.stderr)
            else:
                sys.stderr.write(line + "\n")
                sys.stderr.flush()
        else:
            self.stream.write(json.dumps(record, ensure_ascii=False) + "\n")

    def flush(self):
        if self.stream is not None:
            self.stream.flush()

    def close(self):
        if self.stream is not None:
            self.stream.close()


class Progress:
    """Counts pages, rows and errors; a tqdm bar when stderr is a terminal."""

    def __init__(self):
        self.pages = self.rows = self.errors = 0
        self.start = time.perf_counter()
        self.bar = None
        if sys.stderr.isatty():
            from tqdm import tqdm

            # No monitor thread: worker processes are forked after this.
            tqdm.monitor_interval = 0
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
        self.pages += len(records)
        if self.bar is not None:
            self.bar.set_postfix(rows=self.rows, errors=self.errors, refresh=False)
            self.bar.update(len(records))

    def close(self, prog, stats, interrupted=None):
        """Write the summary; ``interrupted`` names the signal that stopped
        the run, if one did."""
        if self.bar is not None:
            self.bar.close()
        elapsed = time.perf_counter() - self.start
        rate = self.pages / elapsed if elapsed > 0 else 0.0
        skipped = ""
        if stats.skipped_records:
            skipped = f", {stats.skipped_records} WARC records skipped (not 2xx HTML responses)"
        stopped = f"interrupted by {interrupted}: " if interrupted else ""
        sys.stderr.write(
            f"{prog}: {stopped}{self.pages} pages, {self.rows} rows, "
            f"{self.errors} failed{skipped} in {elapsed:.1f} s "
            f"({rate:.1f} pages/s)\n"
        )
        sys.stderr.flush()
