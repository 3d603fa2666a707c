"""The Debian chroot step of CI when it cannot run: a missing chroot with no
debootstrap to make it, or nothing built yet, is left out with a line saying
so and does not fail the run; a wrong command is refused. CI's comparison of
the interpreters: rounds of each in turn, one not there left out, a broken
one failing the stage."""

import json
import os
import shlex
import shutil
import statistics
import subprocess
import sys

import pytest

from bench.bench_interpreter import rotated
from tests.support.corpus import ROOT, example_pages

SCRIPT = ROOT / "tools" / "debian_chroot.sh"

pytestmark = pytest.mark.skipif(shutil.which("bash") is None, reason="needs bash")


def run_script(tmp_path, *args):
    # No /usr/sbin on PATH: no debootstrap (nor chroot) to be found.
    env = dict(os.environ, PATH="/usr/bin:/bin", OSTREL_CHROOTS=str(tmp_path / "chroots"))
    return subprocess.run(["bash", str(SCRIPT), *args], env=env, capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize(
    "args, status, says",
    [
        (("test", "trixie"), 0, "no debootstrap here and no chroot in"),
        (("test", "sid"), 0, "no debootstrap here and no chroot in"),
        (("bench", "sid"), 0, "no chroot in"),
        (("clean", "trixie"), 0, ""),
        (("test", "bookworm"), 2, "usage:"),
        (("build", "sid"), 0, "no debootstrap here and no chroot in"),
        (("python", "sid", "3.14", "-c", "pass"), 0, "no chroot in"),
        (("python", "sid", "3.13"), 2, "usage:"),
        (("shell", "sid"), 2, "usage:"),
        ((), 2, "usage:"),
    ],
)
def test_chroot_step_left_out_or_refused(tmp_path, args, status, says):
    result = run_script(tmp_path, *args)
    output = result.stdout + result.stderr
    if status == 0 and os.geteuid() != 0:
        says = "not root"
    assert (result.returncode, says in output) == (status, True), output
    assert not (tmp_path / "chroots").exists() or not any((tmp_path / "chroots").iterdir())


def compare(tmp_path, *interpreters):
    """bench.bench_interpreter --compare on the example pages (an empty corpus)."""
    (tmp_path / "corpus" / "rules").mkdir(parents=True)
    command = [sys.executable, "-m", "bench.bench_interpreter", "--compare", "--rounds", "3", "--repeat", "1"]
    command += ["--corpus", str(tmp_path / "corpus"), "--json", str(tmp_path / "out.json"), *interpreters]
    return subprocess.run(command, cwd=ROOT, capture_output=True, text=True, timeout=300)


def test_bench_compare_takes_rounds_of_each_in_turn(tmp_path):
    python = shlex.quote(sys.executable)
    result = compare(tmp_path, f"a={python}", "gone=true", f"b={python} -X dev")
    assert result.returncode == 0, result.stderr
    assert "# gone: left out" in result.stdout
    records = json.loads((tmp_path / "out.json").read_text())
    pages = ["examples/" + page.stem for page in example_pages()]
    assert [r["name"] for r in records] == ["a", "b"]
    for r in records:
        assert (
            [list(round_["wall"]) for round_ in r["rounds"]]
            == [list(round_["cpu"]) for round_ in r["rounds"]]
            == [pages] * 3
        )
        assert r["total"] == statistics.median(sum(round_["wall"].values()) for round_ in r["rounds"])
        assert r["cpu"] > 0 and r["gc"] >= 0
        assert r["low"] <= 0 <= r["high"]
    # One line per interpreter, set against the first.
    rows = {line.split()[0]: line.split() for line in result.stdout.splitlines() if line[:2] in ("a ", "b ")}
    assert sorted(rows) == ["a", "b"], result.stdout
    # ... total, spread, vs a, cpu, cpu vs a, gc
    assert (rows["a"][-4], rows["a"][-2]) == ("+0.0%", "+0.0%"), result.stdout


@pytest.mark.parametrize(
    "interpreters, says",
    [
        (["bad=false"], "bad: the worker ended (exit status 1)"),
        (["x"], "not NAME=COMMAND"),
        (["--base", "c", "a=true"], "--base c: no interpreter of that NAME"),
    ],
)
def test_bench_compare_fails_on_a_broken_interpreter(tmp_path, interpreters, says):
    result = compare(tmp_path, *interpreters)
    assert result.returncode != 0 and says in result.stderr, result.stderr


def test_bench_compare_rotates_the_order():
    order = [rotated(list("abc"), k) for k in range(6)]
    assert all(sorted(o) == list("abc") for o in order)
    # Each interpreter goes first, and last, in some round.
    assert {o[0] for o in order} == {o[-1] for o in order} == set("abc")
