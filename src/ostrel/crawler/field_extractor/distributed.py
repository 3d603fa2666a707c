"""Extraction over a Dask cluster.

Turn a Dask bag of pages, or of WARC file paths, into a bag of records, one
per page, the same records that the command line writes:

- ``{"page": ID, "rows": [ROW, ...]}`` for an extracted page;
- ``{"page": ID, "error": TYPE, "message": TEXT}`` for a page that failed.
- ``{"page": ID, "skipped": REASON}`` for a page that is no HTML page
  (binary data, or nothing but whitespace).

A failing page never fails the computation; it becomes an error record.

    import dask.bag as db
    from ostrel.crawler.field_extractor.distributed import extract_pages

    lines = db.read_text("crawl/*.jsonl")          # {"url": ..., "html": ...}
    records = extract_pages(lines, "rules.yaml")
    records.map(lambda r: json.dumps(r, ensure_ascii=False)).to_textfiles(
        "out/*.jsonl")

The lines of a JSON-lines file are parsed here, one by one, like the command
line does: a blank line is skipped, a line that is not a page gives an error
record. (``.map(json.loads)`` before would end the whole computation on the
first such line.)

The rules file is read once, here, on the client, and its text travels with
the graph: the workers need not see the client's files. It is checked first,
as the command line's ``extract`` does: problems that would fail every page
(a field without ``rules``, an XPath that does not compile or calls an
unknown function, one that gives text or attribute nodes) raise
``RulesError`` before any task is made; the other findings are issued once
as a ``RulesWarning``. ``check=False`` skips the check. Each partition
builds one ``FieldExtractor`` from it and extracts its pages in order.

Needs the ``dask`` extra: ``pip install 'ostrel-field-extractor[dask]'``.
"""

import json
import os
import tempfile

from ostrel.crawler.field_extractor.cli.sources import (
    PageObject,
    PageText,
    error_record,
    extract_task,
    page_of_object,
    warc_tasks,
)
from ostrel.crawler.field_extractor.extractor import FieldExtractor

__all__ = ["RulesError", "RulesText", "RulesWarning", "extract_pages", "extract_warc_files"]


class RulesError(ValueError):
    """Rules that would fail every page; ``problems`` lists the findings."""

    def __init__(self, path, problems):
        self.problems = problems
        lines = "\n".join(f"  {problem}" for problem in problems)
        super().__init__(f"{path}: the rules would fail every page:\n{lines}")


class RulesWarning(UserWarning):
    """Findings of the rules check that do not stop the computation."""


def check_rules_file(path):
    """Raise ``RulesError`` for the problems of the rules at ``path`` that
    fail every page; warn once (``RulesWarning``) of the others."""
    import warnings

    from ostrel.common.utils import ConfigUtils
    from ostrel.crawler.field_extractor.cli.precheck import warning_line
    from ostrel.crawler.field_extractor.cli.rules_check import check_rules

    problems = check_rules(ConfigUtils.load(path, readonly=False))
    fatal = [problem for problem in problems if problem.fatal]
    if fatal:
        raise RulesError(path, fatal)
    if problems:
        lines = "\n".join(f"  {str(p) if p.warning else warning_line(p)}" for p in problems)
        warnings.warn(f"{path}: the rules check found:\n{lines}", RulesWarning, stacklevel=4)


class RulesText:
    """The text of a rules file, to build extractors where the file is not.

    ``RulesText.read(path)`` checks that the rules load (so a broken file
    fails on the client, not in every task) and, unless ``check`` is false,
    that they would not fail every page (``RulesError``); it keeps the file's
    bytes and its name's suffix, which decides between JSON and YAML.
    """

    def __init__(self, data, suffix):
        self.data = data
        self.suffix = suffix

    @classmethod
    def read(cls, path, check=True):
        path = os.fspath(path)
        FieldExtractor(path)
        if check:
            check_rules_file(path)
        with open(path, "rb") as stream:
            data = stream.read()
        suffix = ".json" if path.lower().endswith(".json") else ".yaml"
        return cls(data, suffix)

    def extractor(self):
        """A new ``FieldExtractor`` built from the kept text."""
        fd, path = tempfile.mkstemp(suffix=self.suffix, prefix="ostrel-rules-")
        try:
            with os.fdopen(fd, "wb") as stream:
                stream.write(self.data)
            return FieldExtractor(path)
        finally:
            os.unlink(path)


def _rules(rules, check):
    return rules if isinstance(rules, RulesText) else RulesText.read(rules, check)


def _page_task(page):
    """The task of one bag item: a mapping with ``url`` and ``html``, or
    a pair (page id, text)."""
    if isinstance(page, dict):
        return PageObject(page)
    if isinstance(page, (tuple, list)) and len(page) == 2:
        return PageText(page[0], page[1])
    raise TypeError(f"a page is a mapping with url and html, or a pair (id, text); found {type(page).__name__}")


def _line_id(line):
    """The id of a JSON-lines line that names no page: its beginning."""
    return repr(line)[:200]


def _extract_line(extractor, line, de_dup):
    """The record of one line of a JSON-lines file of pages, or None for a
    blank line."""
    if not line.strip():
        return None
    try:
        page = json.loads(line)
        if not (isinstance(page, dict) and isinstance(page.get("url"), str)):
            page_of_object(page)  # raises the command line's error
    except Exception as exc:  # a page never fails the computation
        return error_record(_line_id(line), exc)
    return extract_task(extractor, PageObject(page), de_dup)


def _extract_page_partition(pages, rules, de_dup):
    extractor = rules.extractor()
    records = []
    for page in pages:
        if isinstance(page, str):
            record = _extract_line(extractor, page, de_dup)
            if record is not None:
                records.append(record)
            continue
        try:
            task = _page_task(page)
        except TypeError as exc:
            records.append(error_record(repr(page)[:200], exc))
            continue
        records.append(extract_task(extractor, task, de_dup))
    return records


def _open_binary(path):
    """A local path, or a URL of any file system that fsspec knows
    (``s3://``, ``gs://``, ``hdfs://``... with its package installed)."""
    import fsspec

    return fsspec.open(path, "rb").open()


def _extract_warc_partition(paths, rules, de_dup):
    extractor = rules.extractor()
    records = []
    for path in paths:
        for task in warc_tasks(os.fspath(path), opener=_open_binary):
            records.append(extract_task(extractor, task, de_dup))
    return records


def extract_pages(pages, rules, de_dup=True, check=True):
    """Bag of records for a bag of pages.

    ``pages`` holds the lines of JSON-lines page files as
    ``db.read_text(...)`` gives them (str, each an object ``{"url": URL,
    "html": TEXT}``), mappings ``{"url": URL, "html": TEXT}``, or pairs
    ``(page id, text)``. A blank line gives no record; a line that is not
    JSON, or not an object with a string ``url``, gives an error record
    whose page is the line's beginning (its ``repr``, 200 characters at
    most), since a bag item does not know its file and line number.
    ``rules`` is the path of a rules file or a ``RulesText``. The result
    keeps the partitions and the order of ``pages``. ``check``: see the
    module's documentation.
    """
    return pages.map_partitions(_extract_page_partition, _rules(rules, check), de_dup)


def extract_warc_files(paths, rules, de_dup=True, check=True):
    """Bag of records for a bag of WARC file paths (``.warc``,
    ``.warc.gz``), one record per 2xx HTML response, in file order; each
    body is decoded by its HTTP charset, then its markup charset. The files
    are opened on the workers with fsspec, so a path is a local path valid
    on every worker (a shared file system) or a URL such as
    ``s3://bucket/crawl-00001.warc.gz``."""
    return paths.map_partitions(_extract_warc_partition, _rules(rules, check), de_dup)
