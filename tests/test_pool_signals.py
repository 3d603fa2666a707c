"""Stopping a batch: signals to the command line, a parent that is killed,
and pages that take longer than --timeout."""

import json
import os
import signal
import subprocess
import sys
import time

import pytest

from ostrel.crawler.field_extractor.cli import pool
from ostrel.crawler.field_extractor.cli.progress import plural
from ostrel.crawler.field_extractor.cli.sources import PageText
from tests.support.cli import RULES, package_root, page_html, run_cli

# A list rule whose row numbers start far below 1: on a page with a <ul>
# the extractor counts its way up for minutes, in native code; on a page
# without one it is done at once.
SLOW_RULES = """\
value_separator: " | "
rules:
  - title:
      rules: "//h1"
  - name:
      rules: ["//ul/li[-2000000000]", "//ul/li[-1999999999]"]
"""
SLOW_PAGE = "<html><body><h1>slow</h1><ul><li>a</li></ul></body></html>"


def fast_page(title):
    return f"<html><body><h1>{title}</h1></body></html>"


# The child interpreters import the package under test, wherever it is.
PACKAGE_ROOT = package_root()
CHILD_ENV = {"PYTHONPATH": os.pathsep.join(filter(None, [PACKAGE_ROOT, os.environ.get("PYTHONPATH")]))}


def spawn_cli(*args, cwd):
    env = dict(os.environ, **CHILD_ENV)
    env.pop("PYTHONIOENCODING", None)
    return subprocess.Popen(
        [sys.executable, "-m", "ostrel.crawler.field_extractor", *args],
        cwd=cwd,
        env=env,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
    )


def children_of(pid):
    found = set()
    try:
        for task in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{task}/children") as stream:
                found.update(int(child) for child in stream.read().split())
    except FileNotFoundError:
        pass
    return found


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as stream:
            state = stream.read().rpartition(")")[2].split()[0]
    except (FileNotFoundError, ProcessLookupError):
        return False
    return state not in ("Z", "X")


def wait_until(condition, deadline_seconds, step=0.05):
    end = time.monotonic() + deadline_seconds
    while not condition():
        if time.monotonic() > end:
            return False
        time.sleep(step)
    return True


def kill_left_over(pids):
    for pid in pids:
        if alive(pid):
            os.kill(pid, signal.SIGKILL)


needs_proc = pytest.mark.skipif(not os.path.exists("/proc/self/task"), reason="needs /proc")


@pytest.fixture
def many_pages(tmp_path):
    """Enough slow-ish pages that a run lasts far longer than the test
    waits before stopping it."""
    (tmp_path / "rules.yaml").write_text(RULES, "utf-8")
    pages = tmp_path / "pages"
    pages.mkdir()
    names, prices = [f"n{j}" for j in range(3000)], [str(j) for j in range(3000)]
    for i in range(400):
        (pages / f"p{i:03d}.html").write_text(page_html(f"t{i}", names, prices), "utf-8")
    return tmp_path


@needs_proc
@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP, signal.SIGINT])
def test_a_signal_stops_the_run_with_whole_lines_a_summary_and_no_worker_left(many_pages, signum):
    out = many_pages / "out.jsonl"
    process = spawn_cli(
        "extract", "rules.yaml", "pages", "--jobs", "2", "--chunk-size", "1", "-o", str(out), cwd=many_pages
    )
    workers = set()
    try:
        assert wait_until(lambda: out.exists() and out.stat().st_size > 0, 120), "no output"
        workers = children_of(process.pid)
        assert workers

        process.send_signal(signum)  # to the main process only
        _, stderr = process.communicate(timeout=120)

        assert process.returncode == 128 + signum
        text = out.read_text("utf-8")
        assert text.endswith("\n")
        records = [json.loads(line) for line in text.splitlines()]
        assert 0 < len(records) < 400
        assert [r["page"] for r in records] == [f"pages/p{i:03d}.html" for i in range(len(records))]
        summary = stderr.decode("utf-8").splitlines()[-1]
        assert f"interrupted by {signal.Signals(signum).name}" in summary
        assert f": {plural(len(records), 'page')}, " in summary
        assert "Traceback" not in stderr.decode("utf-8")
        assert wait_until(lambda: not any(alive(pid) for pid in workers), 2), "workers outlived the run"
    finally:
        process.kill()
        process.wait()
        kill_left_over(workers)


@needs_proc
def test_workers_stuck_in_a_page_die_with_a_killed_parent(tmp_path):
    (tmp_path / "rules.yaml").write_text(SLOW_RULES, "utf-8")
    (tmp_path / "slow.html").write_text(SLOW_PAGE, "utf-8")
    process = spawn_cli("extract", "rules.yaml", *["slow.html"] * 4, "--jobs", "2", cwd=tmp_path)
    workers = set()
    try:
        assert wait_until(lambda: len(children_of(process.pid)) == 2, 120), "the workers did not start"
        workers = children_of(process.pid)
        time.sleep(0.5)  # into the page

        process.kill()
        process.wait()

        assert wait_until(lambda: not any(alive(pid) for pid in workers), 10), "workers outlived their parent"
    finally:
        process.kill()
        process.wait()
        kill_left_over(workers)


@pytest.mark.parametrize("jobs, chunk_size", [("1", "1"), ("2", "1"), ("2", "3"), ("1", "6")])
def test_a_page_over_the_timeout_fails_and_the_others_go_on_in_order(tmp_path, jobs, chunk_size):
    (tmp_path / "rules.yaml").write_text(SLOW_RULES, "utf-8")
    names = []
    for i in range(6):
        name = f"p{i}.html"
        (tmp_path / name).write_text(SLOW_PAGE if i in (1, 4) else fast_page(f"t{i}"), "utf-8")
        names.append(name)

    result = run_cli(
        "extract", "rules.yaml", *names, "--jobs", jobs, "--chunk-size", chunk_size,
        "--timeout", "2", "--errors", "errors.jsonl", cwd=tmp_path, env=CHILD_ENV,
    )  # fmt: skip

    assert result.returncode == 1, result.stderr
    records = [json.loads(line) for line in result.stdout.decode("utf-8").splitlines()]
    assert records == [{"page": f"p{i}.html", "rows": [{"title": f"t{i}"}]} for i in (0, 2, 3, 5)]
    errors = [json.loads(line) for line in (tmp_path / "errors.jsonl").read_text("utf-8").splitlines()]
    assert errors == [
        {"page": f"p{i}.html", "error": "Timeout", "message": "page took longer than 2 s"} for i in (1, 4)
    ]
    assert "6 pages, 4 rows, 2 failed" in result.stderr.decode("utf-8")


@pytest.mark.parametrize("jobs, chunk_pages", [(1, 3), (2, 3), (2, 1)])
def test_run_replaces_a_worker_over_the_timeout_and_keeps_the_order(tmp_path, jobs, chunk_pages):
    rules = tmp_path / "rules.yaml"
    rules.write_text(SLOW_RULES, "utf-8")
    slow = (4, 5)
    tasks = [PageText(f"p{i}", SLOW_PAGE if i in slow else fast_page(f"t{i}")) for i in range(12)]

    records = [
        r for chunk in pool.run(str(rules), iter(tasks), jobs, chunk_pages=chunk_pages, timeout=1) for r in chunk
    ]

    assert [r["page"] for r in records] == [f"p{i}" for i in range(12)]
    assert [r for r in records if "error" in r] == [
        {"page": f"p{i}", "error": "Timeout", "message": "page took longer than 1 s"} for i in slow
    ]
    assert [r["rows"] for r in records if "rows" in r] == [[{"title": f"t{i}"}] for i in range(12) if i not in slow]


@pytest.mark.parametrize("value", ["0", "-1", "soon", "nan", "inf"])
def test_timeout_must_be_a_positive_number_of_seconds(tmp_path, value):
    (tmp_path / "rules.yaml").write_text(RULES, "utf-8")
    (tmp_path / "p.html").write_text(page_html("t"), "utf-8")

    result = run_cli("extract", "rules.yaml", "p.html", "--timeout", value, cwd=tmp_path, env=CHILD_ENV)

    assert result.returncode == 2
    assert "--timeout: must be a number of seconds above 0" in result.stderr.decode("utf-8")
    assert result.stdout == b""
