"""Extraction time of the corpus pages that have rules, on this interpreter.

One line: the Python version, whether the native page tree is on, and the
median time of `extract` on each page with its own rules (and their sum).
CI runs it on each interpreter one after another, with nothing else running,
so that the figures of one run compare the interpreters.

    python -m bench.bench_interpreter [--repeat N] [--corpus DIR] [--json FILE]
"""

import argparse
import json
import pathlib
import platform
import sys
import warnings

from bench.timing import median_time
from tests.support.corpus import CORPUS, read, ruled_pages


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--corpus", type=pathlib.Path, default=CORPUS)
    parser.add_argument("--json", type=pathlib.Path, help="also write the figures to this file")
    args = parser.parse_args()

    # The gate's warning is the line's "tree off (...)".
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        from ostrel.crawler.field_extractor.extractor import FieldExtractor
        from ostrel.crawler.field_extractor.utils import _treegate

    times = {}
    for name, rules, page in ruled_pages(args.corpus):
        extractor = FieldExtractor(str(rules))
        text = read(page)
        extractor.extract(text)  # first call: caches, imports
        times[name] = median_time(lambda: extractor.extract(text), args.repeat)
    total = sum(times.values())
    tree = f"tree on ({_treegate.MODE})" if _treegate.ENABLED else f"tree off ({_treegate.DISABLED_REASON})"
    version = platform.python_version()
    pages = "  ".join(f"{name} {seconds * 1e3:.2f}" for name, seconds in times.items())
    print(f"Python {version} {tree}: ms per page  {pages}  total {total * 1e3:.2f}", flush=True)
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        record = {"python": version, "executable": sys.executable, "tree": _treegate.ENABLED}
        record.update(pages=times, total=total, repeat=args.repeat)
        args.json.write_text(json.dumps(record) + "\n", encoding="utf-8")


if __name__ == "__main__":
    main()
