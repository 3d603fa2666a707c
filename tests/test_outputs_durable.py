"""An output file that never loses a row: a run killed or stopped by a full
disk at any write, then resumed, leaves exactly the files of an
uninterrupted run; what cannot be resumed is refused; a locked output is
refused; the statuses tell an incomplete output from failed pages."""

import fcntl
import os
import signal
import subprocess
import sys
import time

import pytest

from tests.support.cli import RULES, on_a_terminal, package_root, run_cli
from tests.support.crash import FORMATS, contents, extract, resume_until_done, write_inputs

EXIT_INCOMPLETE = 3


@pytest.fixture(scope="module")
def uninterrupted(tmp_path_factory):
    """Each format's files from a run that nothing stopped."""
    folder = tmp_path_factory.mktemp("whole")
    inputs = write_inputs(folder)
    whole = {}
    for output in FORMATS:
        result = extract(folder, output, inputs)
        assert result.returncode == 1, result.stderr  # some pages fail
        whole[output] = contents(folder, output)
        (folder / "errors.jsonl").unlink()
    return inputs, whole


# Kill points: the first writes (the journal's start, the first pages), some
# in the middle, one near the end.
KILL_POINTS = (1, 3, 8, 17)


@pytest.mark.parametrize("fault", ["kill", "enospc"])
@pytest.mark.parametrize("output", FORMATS)
def test_a_run_cut_at_any_write_then_resumed_gives_the_uninterrupted_files(tmp_path, uninterrupted, output, fault):
    inputs, whole = uninterrupted
    write_inputs(tmp_path)
    for n in KILL_POINTS:
        for name in (output, output + ".journal", "errors.jsonl"):
            (tmp_path / name).unlink(missing_ok=True)

        cut = extract(tmp_path, output, inputs, fault=(fault, n))

        stderr = cut.stderr.decode("utf-8")
        assert "Traceback" not in stderr
        if fault == "kill":
            assert cut.returncode == -signal.SIGKILL, stderr
        else:
            assert cut.returncode == EXIT_INCOMPLETE, stderr
            assert "No space left on device" in stderr and "the output is incomplete" in stderr
            named = [name for name in (output + ".journal", output, "errors.jsonl") if f"write {name}:" in stderr]
            assert named, stderr
            # Cut back to its last commit: whole pages only, valid gzip.
            text, errors = contents(tmp_path, output)
            assert whole[output][0].startswith(text) and whole[output][1].startswith(errors)
        resumed = resume_until_done(tmp_path, output, inputs)
        assert resumed.returncode == 1, resumed.stderr  # the failed pages, resumed or not
        assert contents(tmp_path, output) == whole[output], f"{fault} at write {n}"


def _other_rules(folder, inputs):
    (folder / "rules.yaml").write_text(RULES.replace("//h1", "//title"), encoding="utf-8")
    return inputs


def _other_inputs(folder, inputs):
    return inputs[:1]


def _changed_input(folder, inputs):
    with open(folder / "pages.jsonl", "a", encoding="utf-8") as stream:
        stream.write('{"url": "http://shop.example/new", "html": "<h1>x</h1>"}\n')
    return inputs


def _no_journal(folder, inputs):
    (folder / "out.jsonl.journal").unlink()
    return inputs


def _locked(folder, inputs):
    stream = open(folder / "out.jsonl", "rb")  # noqa: SIM115 - held by the "other run" until the test ends
    fcntl.flock(stream, fcntl.LOCK_EX)
    _locked.held = stream
    return inputs


@pytest.mark.parametrize(
    "change, resume, message",
    [
        (_other_rules, True, "other inputs, rules or options"),
        (_other_inputs, True, "other inputs, rules or options"),
        (_changed_input, True, "other inputs, rules or options"),
        (_no_journal, True, "has no journal"),
        (_locked, True, "in use by another run"),
        (_locked, False, "in use by another run"),
    ],
)
def test_what_cannot_be_resumed_or_written_is_refused_untouched(tmp_path, change, resume, message):
    inputs = write_inputs(tmp_path)
    assert extract(tmp_path, "out.jsonl", inputs, fault=("kill", 6)).returncode == -signal.SIGKILL
    inputs = change(tmp_path, inputs)
    before = {p.name: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()}

    result = extract(tmp_path, "out.jsonl", inputs, *(["--resume"] if resume else []))

    stderr = result.stderr.decode("utf-8")
    assert result.returncode == 2, stderr
    assert message in stderr and "Traceback" not in stderr
    assert {name: (tmp_path / name).read_bytes() for name in before} == before


def test_the_progress_bar_of_a_resumed_run_reaches_the_end(tmp_path):
    inputs = write_inputs(tmp_path)
    assert extract(tmp_path, "out.jsonl", inputs, fault=("kill", 8)).returncode == -signal.SIGKILL

    returncode, shown = on_a_terminal(
        "extract", "rules.yaml", *inputs, "-o", "out.jsonl", "--errors", "errors.jsonl",
        "--resume", "--jobs", "1", "--sync-interval", "0", cwd=tmp_path,
    )  # fmt: skip

    assert returncode == 1, shown
    assert "100%" in shown and "already done" in shown


def _handles_sigterm(pid):
    """Whether the process has a handler of its own for SIGTERM: the command
    line installs one first thing, to hold the signals while it starts."""
    try:
        with open(f"/proc/{pid}/status", encoding="ascii") as stream:
            caught = next(line for line in stream if line.startswith("SigCgt:"))
    except (OSError, StopIteration):
        return False
    return bool(int(caught.split()[1], 16) >> (signal.SIGTERM - 1) & 1)


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="needs /proc")
@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
@pytest.mark.parametrize("delay", [0.0, 0.05, 0.1, 0.2])
def test_a_signal_during_start_up_ends_the_run_as_at_any_other_time(tmp_path, signum, delay):
    inputs = write_inputs(tmp_path, pages=30)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [package_root(), os.environ.get("PYTHONPATH")])))
    argv = [sys.executable, "-m", "ostrel.crawler.field_extractor", "extract", "rules.yaml", *inputs]
    process = subprocess.Popen(
        [*argv, "-o", "out.csv.gz", "--jobs", "1", "-q"], cwd=tmp_path, env=env, stderr=subprocess.PIPE
    )
    deadline = time.monotonic() + 60
    while not _handles_sigterm(process.pid) and time.monotonic() < deadline:
        time.sleep(0.002)
    time.sleep(delay)  # the native modules load in the next 0.1-0.3 s
    process.send_signal(signum)
    _, stderr = process.communicate(timeout=120)

    assert process.returncode == 128 + signum, stderr
    assert b"Traceback" not in stderr and b"initialization failed" not in stderr
    if (tmp_path / "out.csv.gz").exists():  # whole pages, and a resume completes the run
        result = run_cli("extract", "rules.yaml", *inputs, "-o", "out.csv.gz", "--resume", "-q", cwd=tmp_path)
        assert result.returncode == 1, result.stderr
        assert run_cli("extract", "rules.yaml", *inputs, "-o", "whole.csv.gz", "-q", cwd=tmp_path).returncode == 1
        assert contents(tmp_path, "out.csv.gz")[0] == contents(tmp_path, "whole.csv.gz")[0]
