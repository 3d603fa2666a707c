"""The ordered worker pool: the records of a stream of tasks, in task order.

``run`` extracts in ``jobs`` worker processes with one ``FieldExtractor``
each (or in this process for one job and no timeout), and keeps only a
bounded number of pages in flight, so inputs far larger than memory stream
through. The tasks and their records are those of ``sources``.

Each worker is a process of its own with a pipe to this one: it is sent a
chunk of tasks and sends back each page's record as soon as the page is
done, so this process always knows which page a worker is on and since
when. A worker that dies takes only that page with it, and one that spends
longer than the timeout on a page is killed; either way the page gets an
error record, a new worker takes the place of the old one and the rest of
its chunk.
"""

import collections
import ctypes
import multiprocessing
import multiprocessing.connection
import os
import signal
import sys
import threading
import time

from ostrel.crawler.field_extractor.cli import sources
from ostrel.crawler.field_extractor.extractor import FieldExtractor

__all__ = ["READ_AHEAD_BYTES", "READ_AHEAD_PAGES", "WorkersFailing", "run"]


def _worker_main(conn, parent, rules, de_dup, memory=None, limits=None, encode=None):
    """A worker process: extract the chunks it is sent, one record at a
    time, until it is sent None or its parent goes away. ``memory`` (bytes)
    caps its address space; ``limits`` are the page limits to read by;
    ``encode`` turns each record into what is sent back."""
    _follow_parent(parent)
    limit_memory(memory)
    if limits is not None:
        sources.set_limits(limits)
    # Ctrl-C and a terminal's hang-up reach the whole process group: the
    # parent alone handles them, and stops the workers. The parent's own
    # handlers, copied by a fork, are not for here.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGHUP, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    try:
        extractor = FieldExtractor(rules)
    except BaseException as exc:  # the worker cannot start: tell why
        conn.send(("cannot start", f"{type(exc).__name__}: {sources.describe(exc)}"))
        return
    conn.send(None)  # ready: the time of a page starts now
    while True:
        try:
            chunk = conn.recv()
        except (EOFError, OSError):
            return
        if chunk is None:
            return
        for task in chunk:
            start = time.perf_counter()
            record = sources.extract_task(extractor, task, de_dup)
            if encode is not None:
                record = encode(record)
            conn.send((record, time.perf_counter() - start))


class Headroom(int):
    """A memory cap of this many bytes beyond the address space that the
    process has mapped when it is capped. The default cap is one: what
    the interpreter and its libraries reserved before (a sanitizer's
    runtime reserves terabytes it never uses) must not count against the
    pages."""

    __slots__ = ()


def _mapped():
    """The bytes of address space this process maps (0 where unknown)."""
    try:
        with open("/proc/self/statm") as stream:
            return int(stream.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError, IndexError):
        return 0


def limit_memory(memory):
    """Cap this process's address space at ``memory`` bytes (None: leave
    it; a ``Headroom``: that much beyond what it maps now), so that one
    page cannot take the machine: an allocation past it fails (a
    ``MemoryError`` for the page) instead of the kernel's out-of-memory
    killer picking a process. A cap above the hard limit is lowered to
    it."""
    if not memory:
        return
    try:
        import resource
    except ImportError:  # not on this platform
        return
    if isinstance(memory, Headroom):
        memory = _mapped() + int(memory)
    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    if hard != resource.RLIM_INFINITY:
        memory = min(memory, hard)
    try:
        resource.setrlimit(resource.RLIMIT_AS, (memory, hard))
    except (ValueError, OSError):
        pass


PR_SET_PDEATHSIG = 1
PARENT_POLL_SECONDS = 0.5


def _follow_parent(parent):
    """Make this process end when its parent does, even by SIGKILL, even in
    the middle of a page that never ends.

    ``parent`` is the pid that the parent should have, or None to take the
    current one. On Linux the kernel sends SIGKILL when the parent dies
    (PR_SET_PDEATHSIG); the parent may have died before that was asked,
    hence the check of the parent pid right after. Elsewhere, and in case
    that fails, a thread checks every half second whether the process has
    been handed over to another parent.
    """
    if parent is None:
        parent = os.getppid()
    if sys.platform.startswith("linux"):
        try:
            libc = ctypes.CDLL(None, use_errno=True)
            libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
        except (OSError, AttributeError):
            pass
    if os.getppid() != parent:
        os._exit(1)

    def watch():
        while os.getppid() == parent:
            time.sleep(PARENT_POLL_SECONDS)
        os._exit(1)

    threading.Thread(target=watch, name="parent-watch", daemon=True).start()


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


def run(
    rules,
    tasks,
    jobs=1,
    de_dup=True,
    chunk_pages=None,
    chunk_bytes=8 << 20,
    extractor=None,
    timeout=None,
    memory=None,
    limits=None,
    encode=None,
):
    """Yield the records of the tasks, in task order, in lists.

    ``jobs`` 1 extracts in this process (with ``extractor`` when given),
    one record per list, unless there is a ``timeout``. More start that
    many worker processes, each building its own ``FieldExtractor(rules)``;
    tasks go to them in chunks of ``chunk_pages`` pages (by default as many
    as take about 50 ms) and at most ``chunk_bytes`` bytes of page data,
    and each chunk's records come back as one list once it and every chunk
    before it are done. Pages are read ahead of the output up to
    ``READ_AHEAD_PAGES`` pages and ``READ_AHEAD_BYTES`` bytes of page data
    (and always ``2 * jobs + 1`` chunks), so that a slow page at the head
    does not leave the other workers idle, while memory stays bounded
    whatever the size of the input.

    ``timeout`` (seconds, per page) bounds the time that one page may take:
    a page that takes longer gets an error record of type ``Timeout``, its
    worker is killed and replaced, and the pages after it go on. Native
    code cannot be interrupted in the process that runs it, so with a
    timeout pages are always extracted in worker processes, one for
    ``jobs`` 1.

    ``memory`` (bytes) caps the address space of each worker process
    (``limit_memory``); ``jobs`` 1 without a timeout leaves it to the
    caller. ``limits`` (``sources.Limits``) are those that the workers read
    pages by (by default those of this process).

    ``encode`` (a picklable callable, see ``outputs.page_encoder``) turns
    each record, where the page was extracted, into what is yielded in its
    place: a worker then sends back the output's own bytes rather than the
    rows, and this process only writes them. The records that this process
    makes itself (a dead worker's page, a timeout) are yielded as they are.

    A worker that dies on a page (a crash in native code, the kernel's OOM
    killer...) gives that page an error record of type
    ``BrokenProcessPool``; the pages after it go on in a new worker,
    however many die. Only workers that cannot start at all (that die or
    fail before they are ready for a page, several times in a row) raise
    ``WorkersFailing``, which says why. The workers never outlive this
    process, however it ends.
    """
    if timeout is not None and timeout <= 0:
        raise ValueError("timeout must be positive")
    if jobs <= 1 and timeout is None:
        extractor = extractor or FieldExtractor(rules)
        for task in tasks:
            record = sources.extract_task(extractor, task, de_dup)
            yield [record if encode is None else encode(record)]
        return

    initargs = (rules, de_dup, memory, limits or sources.LIMITS, encode)
    pool = _Pool(max(jobs, 1), initargs, timeout, _ChunkSizer(chunk_pages))
    least = 2 * pool.jobs + 1

    def full():
        return len(pool.pending) >= least and (
            pool.held_pages >= READ_AHEAD_PAGES or pool.held_bytes >= READ_AHEAD_BYTES
        )

    try:
        for chunk in _chunks(tasks, pool.sizer, chunk_bytes):
            pool.add(chunk)
            while full():
                yield pool.take()
        while pool.pending:
            yield pool.take()
    finally:
        pool.close()


class WorkersFailing(RuntimeError):
    """The worker processes cannot start here."""


class _Chunk:
    """Tasks handed to a worker at once, and their records so far."""

    __slots__ = ("tasks", "records", "seconds", "size")

    def __init__(self, tasks):
        self.tasks, self.records, self.seconds = tasks, [], 0.0
        self.size = sum(task.size for task in tasks)

    @property
    def done(self):
        return len(self.records) == len(self.tasks)

    @property
    def rest(self):
        return self.tasks[len(self.records) :]


class _Worker:
    """One worker process and the parent's end of its pipe."""

    def __init__(self, context, initargs):
        self.conn, child = context.Pipe()
        # The pid that the worker's parent will have: this process when it
        # forks or spawns the worker; a fork server's pid cannot be known
        # here, and the worker reads it itself.
        parent = os.getpid() if context.get_start_method() in ("fork", "spawn") else None
        self.process = context.Process(target=_worker_main, args=(child, parent, *initargs), daemon=True)
        self.process.start()
        child.close()
        self.chunk = None  # the chunk it works on
        self.ready = False  # it has built its extractor
        self.why = None  # why it could not start, as it said
        self.unsent = None  # why its chunk could not be sent to it
        self.since = 0.0  # when it started the page it is on, once ready

    def stop(self):
        """End the process: an idle one is asked to leave, a busy one
        (perhaps stuck in a page) is killed."""
        if self.chunk is None:
            try:
                self.conn.send(None)
            except OSError:
                pass
        else:
            self.process.kill()

    def reap(self):
        self.process.join(5)
        if self.process.exitcode is None:
            self.process.kill()
            self.process.join()
        self.conn.close()
        self.process.close()


class _Pool:
    """Worker processes, each with its own extractor, fed chunk by chunk;
    a worker that dies or takes too long on a page is replaced."""

    MOST_FAILED_STARTS = 3

    def __init__(self, jobs, initargs, timeout, sizer):
        self.jobs, self.initargs, self.timeout, self.sizer = jobs, initargs, timeout, sizer
        self.failed_starts = 0  # workers in a row that died before they were ready
        self.pending = collections.deque()  # chunks, in task order, until yielded
        self.waiting = collections.deque()  # chunks (or their rests) not handed out
        self.held_pages = self.held_bytes = 0  # in the pending chunks
        self.workers = []
        # Workers are forked where the platform allows it and no other
        # thread runs here (a fork copies locks that other threads may
        # hold): they start at once, with the modules already imported.
        methods = multiprocessing.get_all_start_methods()
        if "fork" in methods and threading.active_count() == 1:
            method = "fork"
        else:
            method = "forkserver" if "forkserver" in methods else "spawn"
        self.context = multiprocessing.get_context(method)

    def add(self, tasks):
        chunk = _Chunk(tasks)
        self.pending.append(chunk)
        self.waiting.append(chunk)
        self.held_pages += len(tasks)
        self.held_bytes += chunk.size
        self._serve(0)

    def take(self):
        """The records of the first pending chunk, once it is done."""
        head = self.pending[0]
        while not head.done:
            self._serve(self._wait_limit())
        self.pending.popleft()
        self.held_pages -= len(head.tasks)
        self.held_bytes -= head.size
        return head.records

    def close(self):
        for worker in self.workers:
            worker.stop()
        workers, self.workers = self.workers, []
        for worker in workers:
            worker.reap()

    def _wait_limit(self):
        if self.timeout is None:
            return None
        busy = [worker.since for worker in self.workers if worker.chunk is not None and worker.ready]
        if not busy:
            return None  # a worker that becomes ready or is done wakes us
        return max(0.0, min(busy) + self.timeout - time.monotonic())

    def _serve(self, limit):
        """Hand out waiting chunks, wait up to ``limit`` seconds (None: no
        limit) for news from the busy workers, and take it in."""
        self._hand_out()
        busy = [worker for worker in self.workers if worker.chunk is not None]
        if not busy:
            return
        ends = {}
        for worker in busy:
            ends[worker.conn] = ends[worker.process.sentinel] = worker
        ready = {ends[end] for end in multiprocessing.connection.wait(list(ends), limit)}
        for worker in busy:
            if worker in ready:
                self._receive(worker)
        if self.timeout is not None:
            now = time.monotonic()
            for worker in list(self.workers):
                if worker.chunk is not None and worker.ready and now - worker.since > self.timeout:
                    self._lose(worker, "Timeout", f"page took longer than {self.timeout:g} s")
        self._hand_out()

    def _hand_out(self):
        for worker in list(self.workers):
            if worker.chunk is None and not worker.process.is_alive():
                self.workers.remove(worker)
                worker.reap()
        idle = [worker for worker in self.workers if worker.chunk is None]
        while self.waiting:
            if not idle:
                if len(self.workers) >= self.jobs:
                    return
                try:
                    worker = _Worker(self.context, self.initargs)
                except OSError as exc:  # no process to be had (EAGAIN, ENOMEM)
                    self._failed_start(f"{type(exc).__name__}: {sources.describe(exc)}")
                    if self.workers:
                        return  # the workers there are go on
                    continue
                self.workers.append(worker)
                idle.append(worker)
            worker, chunk = idle.pop(), self.waiting.popleft()
            worker.chunk, worker.since = chunk, time.monotonic()
            try:
                worker.conn.send(chunk.rest)
            except OSError as exc:
                # Gone, or waiting for the rest of a half-sent message: it
                # is ended, and taken in as any worker that dies (_die).
                worker.unsent = f"cannot send it pages: {type(exc).__name__}: {sources.describe(exc)}"
                worker.process.kill()

    def _receive(self, worker):
        chunk = worker.chunk
        try:
            while worker.conn.poll():
                message = worker.conn.recv()
                if message is None:
                    worker.ready, worker.since = True, time.monotonic()
                    self.failed_starts = 0
                    continue
                if message[0] == "cannot start":
                    worker.why = message[1]
                    self._die(worker)
                    return
                record, seconds = message
                chunk.records.append(record)
                chunk.seconds += seconds
                worker.since = time.monotonic()
                if chunk.done:
                    worker.chunk = None
                    self.sizer.observe(len(chunk.records), chunk.seconds)
                    return
            if worker.process.is_alive():
                return
        except (EOFError, OSError):  # the end of the pipe: it died
            pass
        self._die(worker)

    def _die(self, worker):
        worker.process.join(5)
        code = worker.process.exitcode
        how = f"killed by signal {-code}" if code is not None and code < 0 else f"exit status {code}"
        if worker.ready and worker.unsent is None:
            self._lose(worker, "BrokenProcessPool", f"the worker process died on this page ({how})")
            return
        # It died before it could take a page, or before its chunk reached
        # it: no page is to blame. The chunk waits for the next worker,
        # unless none can start.
        chunk, worker.chunk = worker.chunk, None
        self.workers.remove(worker)
        worker.reap()
        self.waiting.appendleft(chunk)
        if worker.why is None and worker.unsent is not None and code == -signal.SIGKILL:
            why = worker.unsent  # ended here, for that
        else:
            why = worker.why or f"it ended {'between pages' if worker.ready else 'before it was ready'} ({how})"
        self._failed_start(why)

    def _failed_start(self, why):
        """Count a worker that could not start; raise ``WorkersFailing``
        when several could not in a row and none is running."""
        self.failed_starts += 1
        if self.failed_starts >= self.MOST_FAILED_STARTS and not any(worker.ready for worker in self.workers):
            instead = "--jobs 1 without --timeout" if self.timeout is not None else "--jobs 1"
            raise WorkersFailing(
                f"worker processes cannot start here ({self.failed_starts} tried): {why}; "
                f"{instead} extracts in this process, without workers"
            )

    def _lose(self, worker, error, message):
        """End a worker with the page it is on: that page gets an error
        record, the rest of its chunk goes to another worker."""
        chunk = worker.chunk
        worker.chunk = None
        self.workers.remove(worker)
        worker.process.kill()
        worker.reap()
        task = chunk.tasks[len(chunk.records)]
        chunk.records.append({"page": task.page_id, "error": error, "message": message})
        if not chunk.done:
            self.waiting.appendleft(chunk)
