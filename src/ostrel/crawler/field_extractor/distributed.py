"""Extraction over a Dask cluster.

Turn a Dask bag of pages, or of WARC file paths, into a bag of records, one
per page, the same records that the command line writes:

- ``{"page": ID, "rows": [ROW, ...]}`` for an extracted page;
- ``{"page": ID, "error": TYPE, "message": TEXT}`` for a page that failed.

A failing page never fails the computation; it becomes an error record.

    import dask.bag as db
    from ostrel.crawler.field_extractor.distributed import extract_pages

    pages = db.read_text("crawl/*.jsonl").map(json.loads)   # {"url", "html"}
    records = extract_pages(pages, "rules.yaml")
    records.map(json.dumps).to_textfiles("out/*.jsonl")

The rules file is read once, here, on the client, and its text travels with
the graph: the workers need not see the client's files. Each partition
builds one ``FieldExtractor`` from it and extracts its pages in order.

Needs the ``dask`` extra: ``pip install 'ostrel-field-extractor[dask]'``.
"""

import os
import tempfile

from ostrel.crawler.field_extractor.extractor import FieldExtractor
from ostrel.crawler.field_extractor.sources import PageObject, PageText, error_record, extract_task, warc_tasks

__all__ = ["RulesText", "extract_pages", "extract_warc_files"]


class RulesText:
    """The text of a rules file, to build extractors where the file is not.

    ``RulesText.read(path)`` checks that the rules load (so a broken file
    fails on the client, not in every task) and keeps the file's bytes and
    its name's suffix, which decides between JSON and YAML.
    """

    def __init__(self, data, suffix):
        self.data = data
        self.suffix = suffix

    @classmethod
    def read(cls, path):
        path = os.fspath(path)
        FieldExtractor(path)
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


def _rules(rules):
    return rules if isinstance(rules, RulesText) else RulesText.read(rules)


def _page_task(page):
    """The task of one bag item: a mapping with ``url`` and ``html``, or
    a pair (page id, text)."""
    if isinstance(page, dict):
        return PageObject(page)
    if isinstance(page, (tuple, list)) and len(page) == 2:
        return PageText(page[0], page[1])
    raise TypeError(f"a page is a mapping with url and html, or a pair (id, text); found {type(page).__name__}")


def _extract_page_partition(pages, rules, de_dup):
    extractor = rules.extractor()
    records = []
    for page in pages:
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


def extract_pages(pages, rules, de_dup=True):
    """Bag of records for a bag of pages.

    ``pages`` holds mappings ``{"url": URL, "html": TEXT}`` (a JSON-lines
    page file read with ``db.read_text(...).map(json.loads)``) or pairs
    ``(page id, text)``. ``rules`` is the path of a rules file or a
    ``RulesText``. The result keeps the partitions and the order of
    ``pages``.
    """
    return pages.map_partitions(_extract_page_partition, _rules(rules), de_dup)


def extract_warc_files(paths, rules, de_dup=True):
    """Bag of records for a bag of WARC file paths (``.warc``,
    ``.warc.gz``), one record per 2xx HTML response, in file order; each
    body is decoded by its HTTP charset, then its markup charset. The files
    are opened on the workers with fsspec, so a path is a local path valid
    on every worker (a shared file system) or a URL such as
    ``s3://bucket/crawl-00001.warc.gz``."""
    return paths.map_partitions(_extract_warc_partition, _rules(rules), de_dup)
