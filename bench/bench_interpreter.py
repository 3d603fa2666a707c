"""Extraction time of the corpus pages that have rules, on one interpreter or
several compared in one run.

One interpreter (this one): a line with the Python version, whether the
native page tree is on, and the median time of `extract` on each page with
its own rules (and their sum).

    python -m bench.bench_interpreter [--repeat N] [--corpus DIR] [--json FILE]

Several, fairly: one worker process per interpreter (`--serve`), each
warmed up, then asked for one round at a time in turn (the order rotates
from round to round, so that no interpreter always follows the same one),
so that a burst of load from elsewhere falls on all of them alike rather
than on whichever ran while it lasted. A round is the median of `--repeat`
calls on each page; each interpreter's figure is its median round, and the
spread of its round totals (lowest and highest against the median) is
printed beside it, with its total in CPU time (the worker's thread: what
waiting for a core under load from elsewhere adds is left out) and the
garbage collector's part of the total. A COMMAND is how to start that
interpreter (`.venv/bin/python`, or `tools/debian_chroot.sh python sid
3.14`); NAME labels it. One that ends with status 0 before it is ready (a
chroot not made here) is left out.

    python -m bench.bench_interpreter --compare [--rounds R] [--repeat N]
        [--json FILE] [--base NAME] NAME=COMMAND...
"""

import argparse
import gc
import json
import os
import pathlib
import platform
import shlex
import statistics
import subprocess
import sys
import time
import warnings

from bench.timing import median_time, median_wall_and_cpu
from tests.support.corpus import CORPUS, read, ruled_pages


def load_average():
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


class Pages:
    """This interpreter's extractors and pages, warmed up."""

    def __init__(self, corpus):
        # The gate's warning is the line's "tree off (...)".
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            from ostrel.crawler.field_extractor.extractor import FieldExtractor
            from ostrel.crawler.field_extractor.utils import _treegate
        self.gate = _treegate
        self.cases = []
        for name, rules, page in ruled_pages(corpus):
            extractor = FieldExtractor(str(rules))
            text = read(page)
            extractor.extract(text)  # first call: caches, imports
            self.cases.append((name, extractor, text))

    def header(self):
        gate = self.gate
        return {
            "python": platform.python_version(),
            "executable": sys.executable,
            "tree": gate.ENABLED,
            "tree_text": f"tree on ({gate.MODE})" if gate.ENABLED else f"tree off ({gate.DISABLED_REASON})",
            "pages": [name for name, _, _ in self.cases],
        }

    def times(self, repeat):
        return {name: median_time(lambda: extractor.extract(text), repeat) for name, extractor, text in self.cases}

    def round(self, repeat):
        """{"wall": {page: seconds}, "cpu": {page: seconds}, "gc": seconds}:
        the medians of each page, and the time the collector took during the
        round divided by `repeat` (its share of one pass over the pages)."""
        result = {"wall": {}, "cpu": {}}
        with CollectorTime() as collector:
            for name, extractor, text in self.cases:
                wall, cpu = median_wall_and_cpu(lambda: extractor.extract(text), repeat)
                result["wall"][name], result["cpu"][name] = wall, cpu
        result["gc"] = collector.seconds / repeat
        return result


class CollectorTime:
    """The time of the garbage collector's runs while it is entered."""

    def __init__(self):
        self.seconds = 0.0
        self.started = None

    def __call__(self, phase, info):
        if phase == "start":
            self.started = time.perf_counter()
        elif self.started is not None:
            self.seconds += time.perf_counter() - self.started
            self.started = None

    def __enter__(self):
        gc.callbacks.append(self)
        return self

    def __exit__(self, *exc):
        gc.callbacks.remove(self)


def single(args):
    pages = Pages(args.corpus)
    head = pages.header()
    times = pages.times(args.repeat)
    total = sum(times.values())
    line = "  ".join(f"{name} {seconds * 1e3:.2f}" for name, seconds in times.items())
    print(f"Python {head['python']} {head['tree_text']}: ms per page  {line}  total {total * 1e3:.2f}", flush=True)
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        record = {"python": head["python"], "executable": head["executable"], "tree": head["tree"]}
        record.update(pages=times, total=total, repeat=args.repeat)
        args.json.write_text(json.dumps(record) + "\n", encoding="utf-8")


def serve(args):
    """A worker: its header once warmed up, then one round per line read."""
    pages = Pages(args.corpus)
    print(json.dumps(pages.header()), flush=True)
    for line in sys.stdin:
        if line.strip() != "round":
            break
        print(json.dumps(pages.round(args.repeat)), flush=True)


class Worker:
    def __init__(self, name, command, args):
        self.name = name
        argv = [*shlex.split(command), "-m", "bench.bench_interpreter", "--serve", "--repeat", str(args.repeat)]
        if args.corpus_given:
            argv += ["--corpus", str(args.corpus)]
        self.process = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.header = None
        self.rounds = []

    def reply(self):
        """The worker's next line, or None when it ended with status 0
        before its header (an interpreter not there, said on stderr)."""
        line = self.process.stdout.readline()
        if line:
            return json.loads(line)
        status = self.process.wait()
        if status == 0 and self.header is None:
            return None
        raise SystemExit(f"{self.name}: the worker ended (exit status {status})")

    def run_round(self):
        self.process.stdin.write("round\n")
        self.process.stdin.flush()
        self.rounds.append(self.reply())

    def close(self):
        if self.process.stdin:
            self.process.stdin.close()
        self.process.wait()


def rotated(items, k):
    """The order of round k: a rotation, reversed every other round."""
    k_mod = k % len(items)
    order = items[k_mod:] + items[:k_mod]
    return order if k % 2 == 0 else order[::-1]


def summarize(rounds):
    """Per page and total: the median wall time over rounds; the total's
    lowest and highest round against that median; the median CPU total."""
    walls = [r["wall"] for r in rounds]
    pages = {name: statistics.median(w[name] for w in walls) for name in walls[0]}
    totals = [sum(w.values()) for w in walls]
    total = statistics.median(totals)
    cpu = statistics.median(sum(r["cpu"].values()) for r in rounds)
    collector = statistics.median(r["gc"] for r in rounds)
    spread = {"low": min(totals) / total - 1, "high": max(totals) / total - 1}
    return {"pages": pages, "total": total, **spread, "cpu": cpu, "gc": collector}


def table(records, base_name):
    """The comparison's lines: ms per page, the total, its spread over rounds,
    and the total against the base interpreter's."""
    base = next((r for r in records if r["name"] == base_name), records[0])
    pages = list(base["pages"])
    lines = [
        f"{'Python':<18} {'tree':<4}"
        + "".join(f" {name.split('/')[-1][:10]:>10}" for name in pages)
        + f" {'total':>8} {'spread':>14} {'vs ' + base['name']:>12} {'cpu':>8} {'cpu vs':>7} {'gc':>6}"
    ]
    for r in records:
        cells = "".join(f" {r['pages'].get(name, float('nan')) * 1e3:10.2f}" for name in pages)
        spread = f"{r['low'] * 100:+.1f}/{r['high'] * 100:+.1f}%"
        ratio = (r["total"] / base["total"] - 1) * 100
        cpu_ratio = (r["cpu"] / base["cpu"] - 1) * 100
        label = f"{r['name']} {r['python']}" if r["name"] != r["python"] else r["name"]
        lines.append(
            f"{label:<18} {'on' if r['tree'] else 'off':<4}{cells}"
            f" {r['total'] * 1e3:8.2f} {spread:>14} {ratio:+11.1f}% {r['cpu'] * 1e3:8.2f} {cpu_ratio:+6.1f}% {r['gc'] * 1e3:6.2f}"
        )
    return lines


def compare(args):
    named = []
    for given in args.interpreters:
        name, sep, command = given.partition("=")
        if not sep or not name or not command:
            raise SystemExit(f"not NAME=COMMAND: {given!r}")
        named.append((name, command))
    if args.base is not None and args.base not in [name for name, _ in named]:
        raise SystemExit(f"--base {args.base}: no interpreter of that NAME")
    print(f"# load average before: {load_average()}", flush=True)
    workers = []
    try:
        for name, command in named:
            worker = Worker(name, command, args)
            worker.header = worker.reply()  # warmed up before the next one starts
            if worker.header is None:
                print(f"# {name}: left out (not there)", flush=True)
                continue
            print(f"# {name}: Python {worker.header['python']} {worker.header['tree_text']}", flush=True)
            workers.append(worker)
        for k in range(args.rounds):
            for worker in rotated(workers, k):
                worker.run_round()
    finally:
        for worker in workers:
            worker.close()
    if not workers:
        raise SystemExit("no interpreter to compare")
    records = []
    for worker in workers:
        record = {"name": worker.name, "python": worker.header["python"], "tree": worker.header["tree"]}
        record.update(summarize(worker.rounds))
        record.update(rounds=worker.rounds, repeat=args.repeat)
        records.append(record)
    print(f"ms per page (wall): median over {args.rounds} rounds of the median of {args.repeat} calls;")
    print("spread: the lowest and highest round total against the median; cpu: the total in CPU time;")
    print("gc: the garbage collector's part of the total (median over rounds)")
    for line in table(records, args.base or named[0][0]):
        print(line)
    print(f"# load average after: {load_average()}", flush=True)
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps(records) + "\n", encoding="utf-8")
    return records


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=None, help="calls per page (per round with --compare)")
    parser.add_argument("--corpus", type=pathlib.Path, default=None)
    parser.add_argument("--json", type=pathlib.Path, help="also write the figures to this file")
    parser.add_argument("--serve", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--compare", action="store_true", help="compare the interpreters given as NAME=COMMAND")
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--base", help="the NAME the others are set against (default: the first)")
    parser.add_argument("interpreters", nargs="*", metavar="NAME=COMMAND")
    args = parser.parse_args(argv)
    args.corpus_given = args.corpus is not None
    args.corpus = args.corpus or CORPUS
    if args.repeat is None:
        args.repeat = 5 if args.compare or args.serve else 15
    if args.repeat < 1 or args.rounds < 1:
        parser.error("--repeat and --rounds must be at least 1")
    if args.compare:
        if not args.interpreters:
            parser.error("--compare needs at least one NAME=COMMAND")
        compare(args)
    elif args.interpreters:
        parser.error("NAME=COMMAND only with --compare")
    elif args.serve:
        serve(args)
    else:
        single(args)


if __name__ == "__main__":
    main()
