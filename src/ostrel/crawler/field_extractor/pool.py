"""The ordered worker pool: the records of a stream of tasks, in task order.

``run`` extracts in ``jobs`` worker processes with one ``FieldExtractor``
each (or in this process for one job), and keeps only a bounded number of
pages in flight, so inputs far larger than memory stream through. The
tasks and their records are those of ``sources``.
"""

import collections
import concurrent.futures
import concurrent.futures.process
import multiprocessing
import signal
import threading
import time

from ostrel.crawler.field_extractor import sources
from ostrel.crawler.field_extractor.extractor import FieldExtractor
from ostrel.crawler.field_extractor.sources import error_record

__all__ = ["READ_AHEAD_BYTES", "READ_AHEAD_PAGES", "WorkersFailing", "run"]

_worker = None  # (extractor, de_dup) of a worker process


def _init_worker(rules, de_dup):
    global _worker
    # Ctrl-C reaches the whole process group: the parent alone handles it,
    # and stops the workers.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    _worker = (FieldExtractor(rules), de_dup)


def _run_chunk(chunk):
    extractor, de_dup = _worker
    start = time.perf_counter()
    records = [sources.extract_task(extractor, task, de_dup) for task in chunk]
    return records, time.perf_counter() - start


class _ChunkSizer:
    """How many pages go to a worker at once.

    A fixed number when one is given. Otherwise one page at first, then as
    many as take about ``target`` seconds at the pace of the pages done so
    far: pages that take a second each go one by one, so that the workers
    stay evenly loaded, and pages of a millisecond go by the dozen, so that
    handing them over costs little.
    """

    def __init__(self, fixed=None, target=0.05, most=64):
        self.fixed, self.target, self.most = fixed, target, most
        self.page_seconds = None  # moving average of one page's time

    @property
    def pages(self):
        if self.fixed:
            return self.fixed
        if self.page_seconds is None:
            return 1
        wanted = self.target / max(self.page_seconds, 1e-6)
        return max(1, min(self.most, int(wanted)))

    def observe(self, pages, seconds):
        if pages:
            pace = seconds / pages
            self.page_seconds = pace if self.page_seconds is None else 0.7 * self.page_seconds + 0.3 * pace


def _chunks(tasks, sizer, size):
    chunk, held = [], 0
    for task in tasks:
        chunk.append(task)
        held += task.size
        if len(chunk) >= sizer.pages or held >= size:
            yield chunk
            chunk, held = [], 0
    if chunk:
        yield chunk


# How far the input is read ahead of the output with worker processes.
READ_AHEAD_PAGES = 1024
READ_AHEAD_BYTES = 64 << 20


def run(rules, tasks, jobs=1, de_dup=True, chunk_pages=None, chunk_bytes=8 << 20, extractor=None):
    """Yield the records of the tasks, in task order, in lists.

    ``jobs`` 1 extracts in this process (with ``extractor`` when given),
    one record per list. More start that many worker processes, each
    building its own ``FieldExtractor(rules)``; tasks go to them in chunks
    of ``chunk_pages`` pages (by default as many as take about 50 ms) and
    at most ``chunk_bytes`` bytes of page data, and each chunk's records
    come back as one list once it and every chunk before it are done.
    Pages are read ahead of the output up to ``READ_AHEAD_PAGES`` pages and
    ``READ_AHEAD_BYTES`` bytes of page data (and always ``2 * jobs + 1``
    chunks), so that a slow page at the head does not leave the other
    workers idle, while memory stays bounded whatever the size of the input.
    """
    if jobs <= 1:
        extractor = extractor or FieldExtractor(rules)
        for task in tasks:
            yield [sources.extract_task(extractor, task, de_dup)]
        return

    pool = _Pool(jobs, rules, de_dup)
    sizer = _ChunkSizer(chunk_pages)
    pending = collections.deque()  # (chunk, future), in task order
    held = [0, 0]  # pages and bytes of page data in pending chunks
    least = 2 * jobs + 1

    def full():
        return len(pending) >= least and (held[0] >= READ_AHEAD_PAGES or held[1] >= READ_AHEAD_BYTES)

    def hold(chunk, sign):
        held[0] += sign * len(chunk)
        held[1] += sign * sum(task.size for task in chunk)

    def take():
        chunk, future = pending.popleft()
        hold(chunk, -1)
        try:
            records, seconds = future.result()
        except concurrent.futures.process.BrokenProcessPool:
            # A worker died (a crash in native code, the kernel's OOM
            # killer...) and took every chunk in flight with it. Redo the
            # first one page by page to find the page that kills workers;
            # send the others again as they were.
            lost = [chunk for chunk, _ in pending]
            pending.clear()
            pool.restart()
            records = [pool.run_alone(task) for task in chunk]
            for chunk in lost:
                pending.append((chunk, pool.submit(chunk)))
            return records
        sizer.observe(len(records), seconds)
        return records

    try:
        for chunk in _chunks(tasks, sizer, chunk_bytes):
            pending.append((chunk, pool.submit(chunk)))
            hold(chunk, +1)
            while full():
                yield take()
        while pending:
            yield take()
    finally:
        for _, future in pending:
            future.cancel()
        pool.shutdown()


class WorkersFailing(RuntimeError):
    """The worker processes die whatever page they are given."""


class _Pool:
    """Worker processes, each with its own extractor; restartable."""

    MOST_DEATHS_IN_A_ROW = 3

    def __init__(self, jobs, rules, de_dup):
        self.deaths = 0  # pages run alone in a row on which a worker died
        self.jobs, self.initargs = jobs, (rules, de_dup)
        # Workers are forked where the platform allows it and no other
        # thread runs here (a fork copies locks that other threads may
        # hold): they start at once, with the modules already imported.
        methods = multiprocessing.get_all_start_methods()
        if "fork" in methods and threading.active_count() == 1:
            method = "fork"
        else:
            method = "forkserver" if "forkserver" in methods else "spawn"
        self.context = multiprocessing.get_context(method)
        self.executor = self._start()

    def _start(self):
        return concurrent.futures.ProcessPoolExecutor(
            max_workers=self.jobs, mp_context=self.context, initializer=_init_worker, initargs=self.initargs
        )

    def submit(self, chunk):
        try:
            return self.executor.submit(_run_chunk, chunk)
        except concurrent.futures.process.BrokenProcessPool as exc:
            # Broken by a chunk still waiting in line: this chunk is lost
            # with the others, and is sent again once the pool restarts.
            future = concurrent.futures.Future()
            future.set_exception(exc)
            return future

    def restart(self):
        self.executor.shutdown(wait=True, cancel_futures=True)
        self.executor = self._start()

    def run_alone(self, task):
        """The record of one task run by itself; an error record when the
        worker dies on it. Raises WorkersFailing when workers die on
        several pages in a row: then they cannot start at all."""
        try:
            records, _ = self.submit([task]).result()
        except concurrent.futures.process.BrokenProcessPool as exc:
            self.deaths += 1
            if self.deaths >= self.MOST_DEATHS_IN_A_ROW:
                raise WorkersFailing(
                    f"worker processes died on {self.deaths} pages in a row; "
                    f"they cannot start or run here (try --jobs 1)"
                ) from exc
            self.restart()
            return error_record(task.page_id, exc)
        self.deaths = 0
        return records[0]

    def shutdown(self):
        self.executor.shutdown(wait=True, cancel_futures=True)
