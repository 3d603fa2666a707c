"""The Debian chroot step of CI when it cannot run: a missing chroot with no
debootstrap to make it, or nothing built yet, is left out with a line saying
so and does not fail the run; a wrong command is refused."""

import os
import shutil
import subprocess

import pytest

from tests.support.corpus import ROOT

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
        (("build", "sid"), 2, "usage:"),
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
