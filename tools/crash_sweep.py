"""Kill ``extract`` (SIGKILL) at each of the first N writes of its main
process, or fail that write with ENOSPC, for every output format, with two
workers; resume each cut run until it ends, and count the output and error
lines lost or duplicated against an uninterrupted run.

    python -m tools.crash_sweep [--first 1] [--points 110] [--pages 40] [--fault kill|enospc] [--jobs 2]

strace injects the faults (it must be installed); it traces the main
process only, whose writes include those to the workers' pipes. A full disk
never fails a pipe write, so ENOSPC sweeps are meant for --jobs 1.

Prints one line per format, with the load average beside the figures.
"""

import argparse
import collections
import os
import sys
import tempfile
import time
from pathlib import Path

from tests.support.crash import FORMATS, contents, extract, resume_until_done, write_inputs


def _lines(files):
    output, errors = files
    return collections.Counter(output.splitlines()) + collections.Counter(errors.splitlines())


def sweep(folder, output, inputs, first, points, fault, jobs):
    for name in (output, output + ".journal", "errors.jsonl"):
        (folder / name).unlink(missing_ok=True)
    whole = extract(folder, output, inputs, jobs=jobs)
    if whole.returncode not in (0, 1):
        sys.exit(f"uninterrupted run failed: {whole.stderr.decode()}")
    expected = contents(folder, output)
    lost = duplicated = differing = cut_runs = 0
    for n in range(first, points + 1):
        for name in (output, output + ".journal", "errors.jsonl"):
            (folder / name).unlink(missing_ok=True)
        cut = extract(folder, output, inputs, fault=(fault, n), jobs=jobs)
        cut_runs += cut.returncode in (-9, 3)
        resume_until_done(folder, output, inputs)
        got = contents(folder, output)
        differing += got != expected
        want, have = _lines(expected), _lines(got)
        lost += sum((want - have).values())
        duplicated += sum((have - want).values())
    return cut_runs, lost, duplicated, differing


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--first", type=int, default=1, help="the first write to cut (default 1)")
    parser.add_argument("--points", type=int, default=110, help="the last write to cut (default 110)")
    parser.add_argument("--pages", type=int, default=40)
    parser.add_argument("--fault", choices=("kill", "enospc"), default="kill")
    parser.add_argument("--jobs", default="2")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as temporary:
        folder = Path(temporary)
        inputs = write_inputs(folder, pages=args.pages)
        for output in FORMATS:
            start = time.perf_counter()
            cut_runs, lost, duplicated, differing = sweep(
                folder, output, inputs, args.first, args.points, args.fault, args.jobs
            )
            print(
                f"{output:13} {args.fault} at writes {args.first}..{args.points}, --jobs {args.jobs}: {cut_runs} runs cut, "
                f"{lost} lines lost, {duplicated} duplicated, {differing} outputs differing "
                f"({time.perf_counter() - start:.0f} s, load {os.getloadavg()[0]:.1f})",
                flush=True,
            )


if __name__ == "__main__":
    main()
