"""Extraction time against the floor (the document work alone), per page.

For every corpus page that has a rules file (and for the bundled examples),
prints the median time of `extract`, the median time of the least document
work its rules ask for (bench/floor.py: the page tree, one evaluation of each
distinct selector, the text reads), and our overhead over that floor. Then
the same for synthetic tables of growing size.

    python -m bench.bench_corpus [--repeat N] [--corpus DIR] [--sizes 1000,3000,10000]
"""

import argparse
import pathlib
import statistics
import subprocess
import sys

from bench.floor import Floor
from bench.timing import median_time
from ostrel.crawler.field_extractor.extractor import FieldExtractor
from tests.support.corpus import CORPUS, ruled_pages


def measure(name, rules, text, repeat):
    extractor = FieldExtractor(str(rules))
    least = Floor(rules)
    rows = len(extractor.extract(text))
    # Interleave the two so that drifts of the machine hit both alike.
    ours, floor = [], []
    for _ in range(repeat):
        ours.append(median_time(lambda: extractor.extract(text), 1))
        floor.append(median_time(lambda: least.run(text), 1))
    ours, floor = statistics.median(ours), statistics.median(floor)
    calls = len(least.selectors)
    overhead = (ours - floor) / floor * 100
    print(
        f"{name:<28} rows {rows:>6}  selectors {calls:>3}  extract {ours * 1e3:9.2f} ms  "
        f"floor {floor * 1e3:9.2f} ms  overhead {overhead:+6.2f}%",
        flush=True,
    )
    return ours, floor


def corpus_cases(corpus):
    """(name, rules, text) for the corpus pages with rules, then the examples."""
    for name, rules, page in ruled_pages(corpus):
        yield name, rules, page.read_text(encoding="utf-8")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--corpus", type=pathlib.Path, default=CORPUS)
    parser.add_argument("--sizes", default="1000,3000,10000")
    args = parser.parse_args()

    print("# corpus pages (median of %d runs)" % args.repeat)
    total_ours = total_floor = 0.0
    for name, rules, text in corpus_cases(args.corpus):
        ours, floor = measure(name, rules, text, args.repeat)
        total_ours += ours
        total_floor += floor
    print(
        f"{'total':<28} extract {total_ours * 1e3:9.2f} ms  floor {total_floor * 1e3:9.2f} ms  "
        f"overhead {(total_ours - total_floor) / total_floor * 100:+6.2f}%"
    )

    print("# synthetic tables (make_big_table.py N, rules big_table.yaml)")
    for size in [int(s) for s in args.sizes.split(",") if s]:
        text = subprocess.run(
            [sys.executable, str(args.corpus / "make_big_table.py"), str(size)],
            check=True,
            capture_output=True,
            text=True,
        ).stdout
        measure(
            f"big_table {size}",
            args.corpus / "rules" / "big_table.yaml",
            text,
            max(1, args.repeat // (5 if size > 2000 else 1)) if size <= 3000 else 1,
        )


if __name__ == "__main__":
    main()
