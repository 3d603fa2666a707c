"""Batch throughput of the command line: pages per second with 1 and 2 jobs.

Runs ``python -m ostrel.crawler.field_extractor extract`` over the corpus
pages (each page REPEAT times over, so that a run lasts long enough to
measure) with every --jobs value, ROUNDS times, interleaved so that a drift
in the machine's load hits every setting alike, and prints the median
pages per second of each setting and its speed-up over the first.

    python -m bench.bench_batch [--corpus DIR] [--rules FILE] [--repeat N]
                                [--rounds N] [--jobs 1,2] [--input files|jsonl|warc|jsonl.gz|warc.gz]

``--input`` says how the pages are given: as files, or the same pages as one
JSON-lines or WARC file, plain or gzipped. With workers, only a page's place
crosses to them for files and plain JSON-lines and WARC files (a worker
reads the page itself), while the pages of a gzipped file are read by the
command's own process and cross the pipes. Each run
prints the user and system CPU seconds of the whole run and, apart, of the
command's own process (reading the inputs, handing pages out, writing the
output), so that the CPU that a second job adds can be told where it goes.

The machine may be shared: besides the wall-clock rate, each run prints the
CPU seconds that it used (all processes) and the load average, and the
script measures before and after how many CPUs one and two busy-looping
processes get, so that a small speed-up can be told from a busy machine;
at the end it also times the same extraction in one process alone and in
two processes at once (no pool, pipes or output), since two busy processes
may slow each other on a machine whose CPUs share caches or cores. Output goes to /dev/null; the
time is the command line's own (from reading the first page to writing the
last, worker start-up included), without the interpreter's start.
"""

import argparse
import gzip
import os
import pathlib
import re
import resource
import statistics
import subprocess
import sys
import time

from tests.support.corpus import CORPUS, GENERIC_RULES

SUMMARY = re.compile(r": (\d+) pages, (\d+) rows, (\d+) failed.* in ([\d.]+) s")


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime, usage.ru_stime


# Runs the command line and then tells, on the last line of stderr, the
# user and system CPU seconds of its own process.
_OWN_CPU = """
import resource, runpy, sys
sys.argv[0] = "ostrel-extract"
try:
    runpy.run_module("ostrel.crawler.field_extractor", run_name="__main__")
finally:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    print(f"own cpu {usage.ru_utime} {usage.ru_stime}", file=sys.stderr)
"""


def run_once(rules, inputs, jobs):
    command = [sys.executable, "-c", _OWN_CPU, "extract", str(rules), *map(str, inputs)]
    command += ["--jobs", str(jobs), "-o", os.devnull]
    user, system = children_cpu()
    start = time.perf_counter()
    result = subprocess.run(command, capture_output=True, text=True)
    wall = time.perf_counter() - start
    after = children_cpu()
    user, system = after[0] - user, after[1] - system
    if result.returncode not in (0, 1):
        sys.exit(f"extract failed ({result.returncode}):\n{result.stderr}")
    lines = result.stderr.splitlines()
    own = tuple(map(float, lines[-1].split()[2:]))
    match = SUMMARY.search(lines[-2])
    count, rows, failed, seconds = (int(match[1]), int(match[2]), int(match[3]), float(match[4]))
    # The summary rounds to 0.1 s; the wall clock less the interpreter's
    # start is as good for runs of many seconds.
    return count, rows, failed, seconds, wall, (user, system), own


def make_inputs(pages, kind, folder):
    """The pages as ``kind`` inputs: their paths, or one JSON-lines or WARC
    file of them in ``folder``."""
    if kind == "files":
        return pages
    path = folder / f"pages.{kind}"
    with open(path, "wb") as file, gzip.GzipFile(fileobj=file, mode="wb") if kind == "jsonl.gz" else file as stream:
        if kind.startswith("jsonl"):
            import json

            for index, page in enumerate(pages):
                line = {"url": f"{page.as_uri()}#{index}", "html": page.read_text("utf-8")}
                stream.write(json.dumps(line, ensure_ascii=False).encode("utf-8") + b"\n")
        else:
            from tests.support.cli import write_warc_stream

            responses = [
                (f"http://corpus.example/{page.stem}/{index}", 200, "text/html; charset=utf-8", page.read_bytes())
                for index, page in enumerate(pages)
            ]
            write_warc_stream(stream, responses, compress=kind == "warc.gz")
    return [path]


def _spin(seconds):
    start = time.perf_counter()
    cpu = time.process_time()
    while time.perf_counter() - start < seconds:
        pass
    return time.process_time() - cpu


def machine_parallelism(seconds=2.0):
    """CPU seconds that 1 and then 2 busy processes get in ``seconds`` of
    wall time: on a shared machine, what a 2-job speed-up could be now."""
    import multiprocessing

    got = {}
    for n in (1, 2):
        with multiprocessing.Pool(n) as pool:
            got[n] = sum(pool.map(_spin, [seconds] * n))
    return got[1] / seconds, got[2] / seconds


def _extract_pages(rules, paths):
    """CPU ms per page of extracting ``paths`` in this process, warmed up."""
    from ostrel.crawler.field_extractor.extractor import FieldExtractor

    texts = [pathlib.Path(path).read_text("utf-8") for path in paths]
    extractor = FieldExtractor(str(rules))
    for text in texts:
        extractor.extract(text)
    start = time.process_time()
    for text in texts:
        extractor.extract(text)
    return (time.process_time() - start) / len(texts) * 1e3


def paired_cost(rules, paths):
    """CPU ms per page of the same in-process extraction alone and, each,
    with two processes at once: what two busy processes cost each other on
    this machine, with no pool, pipe or output involved."""
    import multiprocessing

    got = {}
    for n in (1, 2):
        with multiprocessing.Pool(n) as pool:
            got[n] = pool.starmap(_extract_pages, [(rules, paths)] * n)
    return got[1][0], got[2]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--corpus",
        type=pathlib.Path,
        default=CORPUS,
        help="corpus folder with pages/ (default: OSTREL_CORPUS or ../shared/corpus beside the repository)",
    )
    parser.add_argument("--rules", type=pathlib.Path, default=GENERIC_RULES)
    parser.add_argument("--repeat", type=int, default=2, help="times each page is given (default 2)")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--jobs", default="1,2", help="comma-separated --jobs values (default 1,2)")
    parser.add_argument(
        "--input",
        choices=("files", "jsonl", "warc", "jsonl.gz", "warc.gz"),
        default="files",
        help="how pages are given",
    )
    args = parser.parse_args()

    pages = sorted((args.corpus / "pages").glob("*.html")) * args.repeat
    if not pages:
        sys.exit(f"no pages in {args.corpus / 'pages'}")
    settings = [int(value) for value in args.jobs.split(",")]
    print(
        f"{len(pages)} pages ({len(pages) // args.repeat} corpus pages x "
        f"{args.repeat}) as {args.input}, rules {args.rules.name}, {os.cpu_count()} CPUs"
    )
    import tempfile

    folder = tempfile.TemporaryDirectory()
    inputs = make_inputs(pages, args.input, pathlib.Path(folder.name))

    one, two = machine_parallelism()
    print(
        f"machine now: 1 busy process gets {one:.2f} CPUs, 2 get {two:.2f} "
        f"(a 2-job speed-up of at most x{two / one:.2f})"
    )

    rates = {jobs: [] for jobs in settings}
    cpu_per_page = {jobs: [] for jobs in settings}
    for round_ in range(args.rounds):
        for jobs in settings:
            load = os.getloadavg()[0]
            count, rows, failed, seconds, wall, (user, system), own = run_once(args.rules, inputs, jobs)
            cpu = user + system
            rate = count / seconds
            rates[jobs].append(rate)
            cpu_per_page[jobs].append(cpu / count)
            print(
                f"round {round_ + 1}  --jobs {jobs}: {count} pages, "
                f"{rows} rows, {failed} failed in {seconds:.1f} s = "
                f"{rate:6.2f} pages/s  (wall {wall:.1f} s, user {user:.1f} s, sys {system:.1f} s "
                f"= {cpu / wall:.2f} CPUs busy; command's own process user {own[0]:.1f} s, sys {own[1]:.1f} s; "
                f"load {load:.1f})",
                flush=True,
            )

    base = statistics.median(rates[settings[0]])
    for jobs in settings:
        rate = statistics.median(rates[jobs])
        print(
            f"--jobs {jobs}: median {rate:6.2f} pages/s  "
            f"x{rate / base:.2f} of --jobs {settings[0]}  "
            f"({statistics.median(cpu_per_page[jobs]) * 1e3:.0f} CPU ms "
            f"per page)"
        )
    one, two = machine_parallelism()
    print(f"machine now: 1 busy process gets {one:.2f} CPUs, 2 get {two:.2f}")
    alone, paired = paired_cost(args.rules, sorted((args.corpus / "pages").glob("*.html")) * 2)
    print(
        f"the same extraction in one process: {alone:.2f} CPU ms per page alone, "
        f"{' and '.join(f'{cost:.2f}' for cost in paired)} with two at once (load {os.getloadavg()[0]:.1f})"
    )


if __name__ == "__main__":
    main()
