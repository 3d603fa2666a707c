"""Where a page's time goes, as multiples of a bare `lxml.html.fromstring` of
the same page.

For every corpus page (with its own rules file, else bench/generic_rules.yaml)
and the bundled examples, best of N runs, interleaved:

- `HTML(html=text)`: requests_html's constructor as a caller would call it;
- document: the document `extract` makes (utils/_document.py: without the
  PyQuery parse and session that nothing reads, where that is provably the
  same);
- tree: the page tree as `extract` gets it (the native builder where it is
  enabled and takes the page, soupparser otherwise);
- rules: the rules on a ready document and tree (`_extract_fields`, matching,
  processing);
- extract: the whole `extract` call.

Prints each page's multiples, their geometric means and the worst page, then
big_table (make_big_table.py N) extract times, with the load average.

    python -m bench.bench_parts [--repeat N] [--corpus DIR] [--sizes 10000]
"""

import argparse
import math
import os
import pathlib
import subprocess
import sys
import time

import lxml.html
import lxml.html.soupparser
from requests_html import HTML

from ostrel.crawler.field_extractor import extractor as extractor_module
from ostrel.crawler.field_extractor.extractor import FieldExtractor
from tests.support.corpus import CORPUS, EXAMPLE_RULES, GENERIC_RULES, corpus_pages, example_pages, read, rules_of

PARTS = ["HTML()", "document", "tree", "rules", "extract"]


def best(fn, repeat):
    low = math.inf
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        low = min(low, time.perf_counter() - start)
    return low


def document(text):
    """The document and tree as extract makes them."""
    made = extractor_module._deferred_html
    doc = (made(text) if made is not None else None) or HTML(html=text)
    doc.encoding = "utf-8"
    build = extractor_module._build_tree
    root = build(doc.html) if build is not None else None
    doc._lxml = root if root is not None else doc.lxml
    return doc


def measure(extractor, text, repeat):
    doc = document(text)
    made = extractor_module._deferred_html or (lambda t: None)
    build = extractor_module._build_tree

    def tree():
        root = build(doc.html) if build is not None else None
        if root is None:
            lxml.html.soupparser.fromstring(doc.html, features="html.parser")

    def rules():
        fresh = HTML.__new__(HTML)
        fresh.__dict__.update(vars(doc))
        rows = extractor._match_fields(extractor._extract_fields(fresh))
        extractor.dravine.process_fields(rows, True)

    runs = {
        "fromstring": lambda: lxml.html.fromstring(text),
        "HTML()": lambda: HTML(html=text),
        "document": lambda: made(text) or HTML(html=text),
        "tree": tree,
        "rules": rules,
        "extract": lambda: extractor.extract(text),
    }
    times = dict.fromkeys(runs, math.inf)
    for _ in range(repeat):
        for name, fn in runs.items():
            times[name] = min(times[name], best(fn, 1))
    return times


def cases(corpus):
    for page in corpus_pages(corpus):
        yield page.stem, rules_of(page, corpus) or GENERIC_RULES, read(page)
    for page in example_pages():
        yield "examples/" + page.stem, EXAMPLE_RULES, read(page)


def gmean(values):
    return math.exp(sum(map(math.log, values)) / len(values))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--corpus", type=pathlib.Path, default=CORPUS)
    parser.add_argument("--sizes", default="10000")
    args = parser.parse_args()
    print(f"# load average {os.getloadavg()[0]:.2f}; best of {args.repeat}; multiples of lxml.html.fromstring")
    print(f"{'page':<26} {'fromstring':>10}  " + "  ".join(f"{p:>8}" for p in PARTS))
    multiples = {p: [] for p in PARTS}
    worst = ("", 0.0)
    for name, rules, text in cases(args.corpus):
        times = measure(FieldExtractor(str(rules)), text, args.repeat)
        base = times["fromstring"]
        row = {p: times[p] / base for p in PARTS}
        for p in PARTS:
            multiples[p].append(row[p])
        if row["extract"] > worst[1]:
            worst = (name, row["extract"])
        print(f"{name:<26} {base * 1e3:8.2f}ms  " + "  ".join(f"{row[p]:7.2f}x" for p in PARTS), flush=True)
    print(f"{'geometric mean':<26} {'':>10}  " + "  ".join(f"{gmean(multiples[p]):7.2f}x" for p in PARTS))
    print(f"worst extract / fromstring: {worst[1]:.2f}x ({worst[0]})")

    for size in [int(s) for s in args.sizes.split(",") if s]:
        text = subprocess.run(
            [sys.executable, str(args.corpus / "make_big_table.py"), str(size)],
            check=True,
            capture_output=True,
            text=True,
        ).stdout
        extractor = FieldExtractor(str(args.corpus / "rules" / "big_table.yaml"))
        rows = len(extractor.extract(text))
        seconds = best(lambda: extractor.extract(text), 3)
        base = best(lambda: lxml.html.fromstring(text), 3)
        print(f"big_table {size}: {rows} rows, extract {seconds:.3f} s ({seconds / base:.2f}x fromstring)")
    print(f"# load average {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
