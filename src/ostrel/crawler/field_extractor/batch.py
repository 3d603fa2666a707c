"""Batch extraction, by role: ``cli.sources`` (the tasks that say where pages
come from, reading and decoding them, one task's record) and ``cli.pool``
(the ordered worker pool). This module gathers their public names in one
place.
"""

from ostrel.crawler.field_extractor.cli.pool import READ_AHEAD_BYTES, READ_AHEAD_PAGES, WorkersFailing, run
from ostrel.crawler.field_extractor.cli.sources import (
    PAGE_SUFFIXES,
    HttpResponse,
    InputError,
    InputStats,
    JsonLine,
    JsonLineAt,
    PageBytes,
    PageFile,
    PageObject,
    PageText,
    WarcResponse,
    decode_page,
    error_record,
    extract_task,
    iter_tasks,
    warc_tasks,
)

__all__ = [
    "decode_page",
    "error_record",
    "extract_task",
    "iter_tasks",
    "run",
    "warc_tasks",
    "InputStats",
    "WorkersFailing",
    "PAGE_SUFFIXES",
    "READ_AHEAD_BYTES",
    "READ_AHEAD_PAGES",
    "HttpResponse",
    "InputError",
    "JsonLine",
    "JsonLineAt",
    "PageBytes",
    "PageFile",
    "PageObject",
    "PageText",
    "WarcResponse",
]
