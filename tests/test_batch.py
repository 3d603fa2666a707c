"""Batch extraction from the command line: ``extract`` over every kind of
input, ordering across worker processes, failed pages, CSV output."""

import csv
import gzip
import json
import os
import signal
from typing import NamedTuple

import pytest

from ostrel.crawler.field_extractor.cli import pool, sources
from ostrel.crawler.field_extractor.cli.sources import PageText
from ostrel.crawler.field_extractor.utils import _treegate
from tests.support.cli import (
    UNDER_ASAN,
    WARC_EXPECTED,
    WARC_RESPONSES,
    on_a_terminal,
    output_of,
    page_html,
    records_of,
    rows_for,
    run_cli,
    run_python,
    summary_of,
    write_warc,
)
from tests.support.crash import FORMATS, contents, write_every_kind


@pytest.mark.parametrize("name", ["crawl.warc.gz", "crawl.warc"])
def test_warc_html_responses_are_decoded_by_their_charset(tmp_path, rules, name):
    warc = tmp_path / name
    write_warc(warc, WARC_RESPONSES)

    result = run_cli("extract", rules, str(warc), "--jobs", "1")

    assert result.returncode == 0, result.stderr
    assert [(r["page"], r["rows"]) for r in output_of(result)] == WARC_EXPECTED
    assert "3 pages" in summary_of(result)
    # Six requests, an image, a 404 and a redirect.
    assert "9 WARC records skipped" in summary_of(result)


def make_inputs(tmp_path):
    """Every kind of input; returns (arguments, expected page ids and rows
    in output order)."""
    single = tmp_path / "single.html"
    single.write_text(page_html("单页"), encoding="utf-8")

    site = tmp_path / "site"
    (site / "b" / "deep").mkdir(parents=True)
    (site / "a.html").write_text(page_html("A", ["n"], ["p"]), "utf-8")
    (site / "b" / "c.htm").write_text(page_html("C"), "utf-8")
    (site / "b" / "deep" / "d.html").write_text(page_html("D"), "utf-8")
    (site / "b" / "notes.txt").write_text("not a page", "utf-8")
    (site / "b" / "style.css").write_text("h1 {}", "utf-8")
    # A link back up the tree is not walked round and round.
    (site / "b" / "loop").symlink_to(site, target_is_directory=True)
    (site / "z.jsonl").write_text(json.dumps({"url": "http://site/z", "html": page_html("Z")}) + "\n", "utf-8")

    pages = tmp_path / "pages.jsonl"
    pages.write_text(
        json.dumps({"url": "http://x/1", "html": page_html("一", ["甲", "乙"], ["1", "2"])}, ensure_ascii=False)
        + "\n\n"
        + json.dumps({"url": "http://x/2", "html": page_html("二")})
        + "\n",
        encoding="utf-8",
    )

    warc = tmp_path / "crawl.warc.gz"
    write_warc(warc, WARC_RESPONSES)

    arguments = [str(pages), str(single), str(warc), str(site)]
    expected = [
        ("http://x/1", rows_for("一", ["甲", "乙"], ["1", "2"])),
        ("http://x/2", rows_for("二")),
        (str(single), rows_for("单页")),
        *WARC_EXPECTED,
        (str(site / "a.html"), rows_for("A", ["n"], ["p"])),
        (str(site / "b" / "c.htm"), rows_for("C")),
        (str(site / "b" / "deep" / "d.html"), rows_for("D")),
        ("http://site/z", rows_for("Z")),
    ]
    return arguments, expected


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_every_input_kind_in_input_order(tmp_path, rules, jobs):
    arguments, expected = make_inputs(tmp_path)

    result = run_cli("extract", rules, *arguments, "--jobs", jobs, "--chunk-size", "2")

    assert result.returncode == 0, result.stderr
    assert [(r["page"], r["rows"]) for r in output_of(result)] == expected
    assert summary_of(result).startswith(
        f"python -m ostrel.crawler.field_extractor: {len(expected)} pages, "
        f"{sum(len(rows) for _, rows in expected)} rows, 0 failed"
    )
    assert result.stderr.decode("utf-8").splitlines() == [summary_of(result)]
    note = f" (native page tree off: {_treegate.DISABLED_REASON})"
    assert summary_of(result).endswith(note) == (not _treegate.ENABLED)


# The command line as `python -m`, with the native page tree's gate made to
# find another lxml than the proven one, so that it is off.
TREE_OFF = """\
import importlib.metadata, runpy
version = importlib.metadata.version
importlib.metadata.version = lambda name: "0" if name == "lxml" else version(name)
runpy.run_module("ostrel.crawler.field_extractor", run_name="__main__", alter_sys=True)
"""


def reason_with_another_lxml(monkeypatch):
    """The gate's reason under TREE_OFF's change, asked here."""
    import importlib.metadata

    version = importlib.metadata.version
    with monkeypatch.context() as patch:
        patch.setattr(importlib.metadata, "version", lambda name: "0" if name == "lxml" else version(name))
        return _treegate.detect()[1]


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_a_tree_that_is_off_is_told_in_the_summary_only(tmp_path, rules, jobs, monkeypatch):
    arguments, expected = make_inputs(tmp_path)
    reason = reason_with_another_lxml(monkeypatch)
    # Where the gate is on, the changed lxml is what turns it off; elsewhere
    # the first thing the gate finds unproven on this interpreter.
    assert reason == "lxml 0, proven on 6.2.1" or not _treegate.ENABLED

    result = run_python(["-c", TREE_OFF, "extract", rules, *arguments, "--jobs", jobs])

    assert result.returncode == 0, result.stderr
    assert [(r["page"], r["rows"]) for r in output_of(result)] == expected
    assert result.stderr.decode("utf-8").splitlines() == [summary_of(result)]
    assert summary_of(result).startswith(f"python -m ostrel.crawler.field_extractor: {len(expected)} pages, ")
    assert summary_of(result).endswith(f" (native page tree off: {reason})")


def test_the_short_form_is_extract(tmp_path, rules):
    arguments, _ = make_inputs(tmp_path)
    out = tmp_path / "out.jsonl"

    short = run_cli(rules, *arguments)
    long = run_cli("extract", rules, *arguments, "-o", str(out))

    assert short.returncode == long.returncode == 0
    assert short.stdout.decode("utf-8") == out.read_text("utf-8")
    assert long.stdout == b""


@pytest.mark.parametrize("chunk_size", [None, "1", "3", "16"])
def test_output_keeps_input_order_whatever_finishes_first(tmp_path, rules, chunk_size):
    # Page costs vary by two orders of magnitude, so later chunks often
    # finish before earlier ones.
    paths = []
    for i in range(40):
        n = 300 if i % 7 == 0 else 1
        path = tmp_path / f"p{i:02d}.html"
        path.write_text(page_html(f"t{i}", [f"n{j}" for j in range(n)], [str(j) for j in range(n)]), "utf-8")
        paths.append(str(path))
    paths.reverse()  # not the name order

    chunking = [] if chunk_size is None else ["--chunk-size", chunk_size]
    result = run_cli("extract", rules, *paths, "--jobs", "2", *chunking)

    assert result.returncode == 0, result.stderr
    records = output_of(result)
    assert [r["page"] for r in records] == paths
    assert [len(r["rows"]) for r in records] == [301 if int(os.path.basename(p)[1:3]) % 7 == 0 else 2 for p in paths]


@pytest.mark.parametrize("chunk_pages, most", [(4, 4), (None, 64)])
def test_read_ahead_is_bounded(chunk_pages, most):
    # Inputs far larger than memory must stream: the pool may only hold a
    # bounded number of pages beyond what has been yielded.
    pulled = 0

    def tasks():
        nonlocal pulled
        for i in range(10_000):
            pulled += 1
            yield PageText(f"p{i}", "<p>x</p>")

    rules = os.path.join(os.path.dirname(__file__), os.pardir, "examples", "rules.yaml")
    results = pool.run(rules, tasks(), jobs=2, chunk_pages=chunk_pages)
    first = next(results)
    results.close()

    assert len(first) == (chunk_pages or 1)
    assert pulled <= max(pool.READ_AHEAD_PAGES + most, (2 * 2 + 1) * most) + most


def _bad_inputs(tmp_path):
    good = tmp_path / "good.html"
    good.write_text(page_html("好"), "utf-8")
    unmatched = tmp_path / "unmatched.html"
    unmatched.write_text(page_html("坏", ["a", "b"], ["1", "2", "3"]), "utf-8")
    pages = tmp_path / "pages.jsonl"
    pages.write_text(
        json.dumps({"url": "http://x/ok", "html": page_html("ok")})
        + "\n"
        + '{"url": "http://x/cut", "html": "<p>\n'
        + json.dumps({"url": "http://x/nohtml"})
        + "\n"
        + json.dumps({"html": page_html("no url")})
        + "\n",
        "utf-8",
    )
    # Cut off in the last record: the first page is kept, the loss is
    # reported.
    broken_warc = tmp_path / "broken.warc.gz"
    write_warc(broken_warc, WARC_RESPONSES[:1] + WARC_RESPONSES[4:5])
    broken_warc.write_bytes(broken_warc.read_bytes()[:-100])
    arguments = [str(good), str(unmatched), str(pages), str(broken_warc)]
    outputs = [
        (str(good), rows_for("好")),
        ("http://x/ok", rows_for("ok")),
        # A line without a url is a page all the same, named by its line.
        (f"{pages}:4", rows_for("no url")),
        ("http://shop.example/1", rows_for("第一", ["a"], ["1"])),
    ]
    errors = [
        (str(unmatched), "ValueError"),
        (f"{pages}:2", "JSONDecodeError"),
        ("http://x/nohtml", "ValueError"),
        (str(broken_warc), "EOFError"),
    ]
    return arguments, outputs, errors


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_failed_pages_go_to_the_errors_file(tmp_path, rules, jobs):
    arguments, outputs, errors = _bad_inputs(tmp_path)
    errors_file = tmp_path / "errors.jsonl"

    result = run_cli("extract", rules, *arguments, "--jobs", jobs, "--errors", str(errors_file))

    assert result.returncode == 1
    assert [(r["page"], r["rows"]) for r in output_of(result)] == outputs
    reported = records_of(errors_file.read_text("utf-8"))
    assert [(r["page"], r["error"]) for r in reported] == errors
    assert all(r["message"] for r in reported)
    # Only the page that the rules fail on names a rule entry: the pairing
    # of rule 1's values.
    assert [(r["page"], r.get("rule"), r.get("field")) for r in reported if set(r) != {"page", "error", "message"}] == [
        (str(tmp_path / "unmatched.html"), 1, None)
    ]
    stderr = result.stderr.decode("utf-8")
    assert stderr.splitlines() == [summary_of(result)]
    assert f"{len(outputs) + len(errors)} pages" in stderr
    assert f"{len(errors)} failed" in stderr


def test_failed_pages_are_reported_on_stderr_by_default(tmp_path, rules):
    arguments, outputs, errors = _bad_inputs(tmp_path)

    result = run_cli("extract", rules, *arguments, "--jobs", "2")

    assert result.returncode == 1
    assert len(output_of(result)) == len(outputs)
    lines = result.stderr.decode("utf-8").splitlines()
    assert len(lines) == len(errors) + 1
    for line, (page, error) in zip(lines, errors):
        assert line.startswith(f"python -m ostrel.crawler.field_extractor: {page}: {error}: ")
    assert "Traceback" not in result.stderr.decode("utf-8")


@pytest.mark.parametrize(
    "arguments",
    [
        ["extract", "--jobs", "0"],
        ["extract", "--format", "xml"],
        ["extract", "--no-such-option"],
        ["extract"],
        [],
    ],
)
def test_usage_errors_exit_with_2(tmp_path, rules, arguments):
    page = tmp_path / "p.html"
    page.write_text(page_html("x"), "utf-8")
    if arguments[:1] == ["extract"] and len(arguments) > 1:
        arguments = arguments + [rules, str(page)]

    result = run_cli(*arguments)

    assert result.returncode == 2
    assert result.stdout == b""
    assert "usage:" in result.stderr.decode("utf-8")


def test_no_dedup_keeps_duplicate_rows(tmp_path, rules):
    page = tmp_path / "p.html"
    page.write_text(page_html("t", ["n", "n"], ["1", "1"]), "utf-8")

    deduped = run_cli("extract", rules, str(page), "--jobs", "1")
    kept = run_cli("extract", rules, str(page), "--jobs", "2", "--no-dedup")

    assert output_of(deduped)[0]["rows"] == rows_for("t", ["n"], ["1"])
    assert output_of(kept)[0]["rows"] == rows_for("t", ["n", "n"], ["1", "1"])


CSV_RULES = """\
value_separator: ","
rules:
  - title: {rules: "//h1"}
    name: {rules: ["//ul[@id='names']/li[1]", "//ul[@id='names']/li[2]"]}
  - title: {rules: "//h1"}
    price: {rules: ["//ul[@id='prices']/li[1]", "//ul[@id='prices']/li[2]"]}
    page: {rules: "a field called page"}
  - names: {rules: ["//ul[@id='names']/li[1]", "//ul[@id='names']/li[2]"]}
"""


def test_csv_has_one_line_per_row_and_a_column_per_field_key(tmp_path):
    rules = tmp_path / "rules.yaml"
    rules.write_text(CSV_RULES, "utf-8")
    first = tmp_path / "first.html"
    first.write_text(page_html("一, “quoted”", ["甲", "乙"], ["1", "2"]), "utf-8")
    empty = tmp_path / "empty.html"
    empty.write_text("<html><body></body></html>", "utf-8")
    out = tmp_path / "out.csv"

    result = run_cli("extract", str(rules), str(first), str(empty), "--format", "csv", "-o", str(out))

    assert result.returncode == 0, result.stderr
    with open(out, newline="", encoding="utf-8") as stream:
        table = list(csv.reader(stream))
    # The page id column gives way to a field called "page"; the columns
    # are the field keys in the order the rule entries first name them.
    assert table[0] == ["_page", "title", "name", "price", "page", "names"]
    f = str(first)
    title = "一, “quoted”"
    assert table[1:] == [
        [f, title, "甲", "", "", ""],
        [f, title, "乙", "", "", ""],
        [f, title, "", "1", "a field called page", ""],
        [f, title, "", "2", "a field called page", ""],
        # A one-field list rule keeps its list, written as JSON.
        [f, "", "", "", "", '["甲", "乙"]'],
    ]


def test_progress_bar_on_a_terminal(tmp_path, rules):
    page = tmp_path / "p.html"
    page.write_text(page_html("t", ["a"], ["1"]), "utf-8")
    unmatched = tmp_path / "unmatched.html"
    unmatched.write_text(page_html("t", ["a", "b"], ["1"]), "utf-8")
    returncode, shown = on_a_terminal("extract", rules, str(page), str(unmatched), "--jobs", "1")

    assert returncode == 1
    assert " pages/s" in shown
    assert "rows=2" in shown and "errors=1" in shown
    assert "2 pages, 2 rows, 1 failed" in shown


def test_help_names_the_commands_and_the_short_form():
    result = run_cli("--help")

    assert result.returncode == 0
    text = result.stdout.decode("utf-8")
    for word in ("extract", "check", "try", "RULES PAGE..."):
        assert word in text

    result = run_cli("extract", "--help")
    text = result.stdout.decode("utf-8")
    for word in ("--jobs", "--format", "--errors", "--no-dedup", "WARC", "JSON-lines"):
        assert word in text


def test_jsonl_pages_may_be_gzipped(tmp_path, rules):
    path = tmp_path / "pages.jsonl.gz"
    with gzip.open(path, "wt", encoding="utf-8") as stream:
        stream.write(json.dumps({"url": "u", "html": page_html("压缩")}) + "\n")

    result = run_cli("extract", rules, str(path))

    assert result.returncode == 0, result.stderr
    assert output_of(result) == [{"page": "u", "rows": rows_for("压缩")}]


def test_a_page_that_kills_its_worker_is_reported_and_the_rest_go_on(monkeypatch, rules):
    # A crash in native code or the OOM killer ends the worker process
    # itself; the pool is started again and only that page is lost.
    real = sources.extract_task

    def extract_or_die(extractor, task, de_dup=True):
        if task.page_id == "p7":
            os._exit(9)
        return real(extractor, task, de_dup)

    monkeypatch.setattr(sources, "extract_task", extract_or_die)
    tasks = [PageText(f"p{i}", page_html(f"t{i}")) for i in range(30)]

    records = [record for records in pool.run(rules, iter(tasks), jobs=2, chunk_pages=3) for record in records]

    assert [r["page"] for r in records] == [f"p{i}" for i in range(30)]
    assert [r["page"] for r in records if "error" in r] == ["p7"]
    assert records[7]["error"] == "BrokenProcessPool"
    assert [r["rows"] for r in records if "rows" in r] == [rows_for(f"t{i}") for i in range(30) if i != 7]


def _die_by_exit(task):
    os._exit(9)


def _die_by_kill(task):
    os.kill(os.getpid(), signal.SIGKILL)


def _die_by_segfault(task):
    import ctypes
    import faulthandler

    faulthandler.disable()  # the test's own handler would print a trace
    signal.signal(signal.SIGSEGV, signal.SIG_DFL)  # and AddressSanitizer's a report
    ctypes.string_at(0)


class _Hungry(NamedTuple):
    """A page whose reading takes a gigabyte."""

    page_id: str
    size = 0

    def load(self):
        return self.page_id, bytearray(1 << 30).decode()


_extract_task = sources.extract_task


def _grow_past_the_ceiling(task):
    return _extract_task(None, _Hungry(task.page_id))


def _address_space():
    with open("/proc/self/statm") as stream:
        return int(stream.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.parametrize("headroom", [True, False])
def test_the_default_memory_cap_is_beyond_what_the_process_mapped_before(headroom):
    # Address space reserved before the cap (a sanitizer's runtime reserves
    # terabytes) counts against a cap of 1 GiB, not against 1 GiB of headroom.
    import mmap
    import resource

    if not headroom and UNDER_ASAN:
        pytest.skip("AddressSanitizer's runtime aborts on a failed mapping")
    reserved = mmap.mmap(-1, 2 << 30, prot=mmap.PROT_READ)
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    try:
        pool.limit_memory(pool.Headroom(1 << 30) if headroom else 1 << 30)
        try:
            fits = len(bytearray(256 << 20)) > 0
        except MemoryError:
            fits = False
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        reserved.close()
    assert fits == headroom


@pytest.mark.parametrize(
    "die, dying, error",
    [
        # Four pages in a row that kill their worker, then every page.
        (_die_by_kill, {4, 5, 6, 7}, "BrokenProcessPool"),
        (_die_by_exit, set(range(40)), "BrokenProcessPool"),
        (_die_by_segfault, {0, 1, 2, 39}, "BrokenProcessPool"),
        # Under the memory ceiling an allocation fails as that page.
        (_grow_past_the_ceiling, {3, 4, 5}, "MemoryError"),
    ],
)
@pytest.mark.parametrize("jobs", [1, 2])
def test_pages_that_kill_their_worker_each_fail_alone_and_the_run_goes_on(monkeypatch, rules, die, dying, error, jobs):
    real = sources.extract_task

    def extract_or_die(extractor, task, de_dup=True):
        if int(task.page_id[1:]) in dying:
            return die(task)
        return real(extractor, task, de_dup)

    monkeypatch.setattr(sources, "extract_task", extract_or_die)
    tasks = [PageText(f"p{i}", page_html(f"t{i}")) for i in range(40)]
    memory = None
    if die is _grow_past_the_ceiling:
        memory = _address_space() + (256 << 20)

    records = [
        record
        for records in pool.run(rules, iter(tasks), jobs=jobs, chunk_pages=3, timeout=60, memory=memory)
        for record in records
    ]

    assert [r["page"] for r in records] == [f"p{i}" for i in range(40)]
    assert {i for i, r in enumerate(records) if "error" in r} == dying
    assert {r["error"] for r in records if "error" in r} == {error}
    assert [r["rows"] for r in records if "rows" in r] == [rows_for(f"t{i}") for i in range(40) if i not in dying]


class _Unsendable:
    """A worker's pipe end whose sends of pages fail every ``every``-th
    time, as a fault injector has them; the worker goes on waiting."""

    sends = 0

    def __init__(self, conn, every):
        self.conn, self.every = conn, every

    def __getattr__(self, name):
        return getattr(self.conn, name)

    def send(self, message):
        if isinstance(message, list):
            type(self).sends += 1
            if self.every and type(self).sends % self.every == 0:
                raise OSError(28, "No space left on device")
        self.conn.send(message)


@pytest.mark.parametrize("every, jobs", [(2, 1), (3, 2), (1, 2)])
def test_pages_that_cannot_be_sent_go_to_another_worker_and_fail_nowhere(monkeypatch, rules, every, jobs):
    class Worker(pool._Worker):
        def __init__(self, *args):
            super().__init__(*args)
            self.conn = _Unsendable(self.conn, every)

    monkeypatch.setattr(pool, "_Worker", Worker)
    monkeypatch.setattr(_Unsendable, "sends", 0)
    tasks = [PageText(f"p{i}", page_html(f"t{i}")) for i in range(12)]
    # A worker left waiting for its chunk times out on it rather than hang.
    run = pool.run(rules, iter(tasks), jobs=jobs, chunk_pages=2, timeout=30)
    if every == 1:  # nothing ever reaches a worker: the batch stops and says why
        with pytest.raises(pool.WorkersFailing, match="cannot send it pages: OSError: .*No space left on device"):
            next(run)
        return
    records = [record for records in run for record in records]
    assert [(r["page"], r.get("rows")) for r in records] == [(f"p{i}", rows_for(f"t{i}")) for i in range(12)]


@pytest.mark.parametrize(
    "start, why",
    [
        ("raise", "RuntimeError: no extractor here"),
        ("exit", "it ended before it was ready (exit status 3)"),
        ("fork", "OSError: [Errno 12] Cannot allocate memory"),
    ],
)
@pytest.mark.parametrize("timeout, advice", [(None, "; --jobs 1 extracts"), (30, "; --jobs 1 without --timeout")])
def test_workers_that_cannot_start_stop_the_batch_and_say_why(monkeypatch, rules, start, why, timeout, advice):
    # Workers that cannot start are no page's fault: rather than report
    # every page of a crawl as failed, the batch stops, with no page lost.
    class Broken:
        def __init__(self, rules):
            if start == "exit":
                os._exit(3)
            raise RuntimeError("no extractor here")

    def no_process(*args):
        raise OSError(12, "Cannot allocate memory")

    monkeypatch.setattr(pool, "FieldExtractor", Broken)
    if start == "fork":
        monkeypatch.setattr(pool, "_Worker", no_process)
    tasks = iter([PageText(f"p{i}", page_html("x")) for i in range(50)])

    with pytest.raises(pool.WorkersFailing) as failing:
        for records in pool.run(rules, tasks, jobs=2, chunk_pages=2, timeout=timeout):
            assert not records
    assert why + advice in str(failing.value)


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize("destination", ["-o", "--errors"])
def test_an_output_that_cannot_be_written_stops_with_a_message(tmp_path, rules, destination):
    page = tmp_path / "p.html"
    page.write_text(page_html("t", ["a", "b"], ["1"] if destination == "--errors" else ["1", "2"]), "utf-8")

    result = run_cli("extract", rules, str(page), destination, "/dev/full")

    assert result.returncode == 3  # the output is incomplete: not "some pages failed"
    stderr = result.stderr.decode("utf-8")
    assert "cannot write /dev/full: OSError: [Errno 28] No space left on device" in stderr
    assert "Traceback" not in stderr


@pytest.mark.parametrize(
    "task, page_id, size",
    [
        (sources.PageFile("site/a.html"), "site/a.html", 0),
        (sources.JsonLine("pages.jsonl", 3, b'{"url": "u", "html": "x"}\n'), "pages.jsonl:3", 26),
        (sources.JsonLineAt("pages.jsonl", 3, 80, 26), "pages.jsonl:3", 0),
        (sources.HttpResponse("http://x/1", b"<p>body</p>", "text/html"), "http://x/1", 11),
        (PageText("p1", "<p>x</p>"), "p1", 0),
        (sources.PageObject({"url": "u", "html": "x"}), "u", 0),
        (sources.PageObject(["not", "a", "page"]), None, 0),
        (sources.InputError("dir", "FileNotFoundError", "no page files"), "dir", 0),
    ],
)
def test_tasks_cross_to_workers_with_their_id_and_size(task, page_id, size):
    # Tasks are pickled to the worker processes; the pool bounds its read
    # ahead by their sizes and reports a dead worker's page by their ids.
    import pickle

    copy = pickle.loads(pickle.dumps(task))
    assert copy == task and type(copy) is type(task)
    assert (copy.page_id, copy.size) == (page_id, size)


@pytest.mark.parametrize("output", FORMATS)
def test_two_workers_write_the_files_of_one(tmp_path, output):
    # With workers, the lines of a plain JSON-lines file are read where they
    # are extracted and the rows come back already in the output's format:
    # the files, and what stderr says of the pages, are those of one process.
    inputs = write_every_kind(tmp_path)
    argv = ["extract", "rules.yaml", *inputs, "-o", output, "--errors", "errors.jsonl", "-v"]
    runs = []
    for jobs in ("1", "2"):
        result = run_cli(*argv, "--jobs", jobs, cwd=tmp_path)
        lines = result.stderr.decode("utf-8").splitlines()
        runs.append((result.returncode, contents(tmp_path, output), lines[:-1], lines[-1].split(" in ")[0]))
    assert runs[0] == runs[1]
    status, (text, errors), said, summary = runs[0]
    assert status == 1
    assert summary.endswith(
        ": 34 pages, 634 rows, 5 failed, 18 WARC records skipped (not 2xx HTML responses), "
        "1 page skipped (1 binary), 1 page with undecodable bytes"
    )
    assert len(said) == 7 and len(errors.splitlines()) == 5
    assert "http://q/last" in text and "http://q/crlf" in text and "caf\ufffd" in text
