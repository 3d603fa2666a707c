"""Building `doc.lxml`: the slow path against the native tree builder, then
extraction with the builder off and on.

First, the tree alone for every corpus page as a multiple of a bare
`lxml.html.fromstring` of the same page (lxml's C parser, the least a tree
can cost): the builder as the extractor uses it (the page made in libxml2
and adopted whole by lxml), the builder with its reference emitter (each
node through lxml's C API), and soupparser; per page and in geometric mean.

First, for every corpus page and bundled example, the median time of the
slow path (soupparser on html.parser, as requests_html builds `doc.lxml`)
and of the native builder, the speed-up, and the reason when the builder
bails out (the page then costs the builder's attempt plus the slow path).
Then, for every page that has a rules file (the typical mix), the bundled
examples and the other pages under bench/generic_rules.yaml, the median
time of `extract` with the builder switched off and on, the speed-up, and the share of the
extraction (off) that soupparser took; pages where the XPath queries
dominate gain little and are named at the end. The load average is printed
before and after: the machine may be shared.

    python -m bench.bench_treebuilder [--repeat N] [--corpus DIR] [--no-generic] [--trees-only]
"""

import argparse
import importlib
import os
import pathlib
import statistics
import sys
import time
import warnings

import lxml.html

from bench.bench_corpus import corpus_cases
from bench.timing import median_time
from ostrel.crawler.field_extractor import extractor as extractor_module
from ostrel.crawler.field_extractor.extractor import FieldExtractor
from tests.support.corpus import CORPUS, corpus_pages, example_pages, generic_pages, read
from tests.support.treecanon import GATE, native_builder, slow_path

# Below this speed-up of `extract` a page is said to gain little.
LITTLE = 1.5


def all_pages(corpus):
    for page in corpus_pages(corpus):
        yield page.stem, read(page)
    for page in example_pages():
        yield "examples/" + page.stem, read(page)


def interleaved(first, second, repeat):
    """Medians of `first` and `second`, run in turns so that drifts of the
    machine hit both alike."""
    a, b = [], []
    for _ in range(repeat):
        a.append(median_time(first, 1))
        b.append(median_time(second, 1))
    return statistics.median(a), statistics.median(b)


def rounds(functions, repeat):
    """The least time of each function, all run in turn in every round (on a
    shared machine the least is the figure other processes disturb least)."""
    times = [[] for _ in functions]
    for _ in range(repeat):
        for function, spent in zip(functions, times):
            spent.append(median_time(function, 1))
    return [min(spent) for spent in times]


def tree_multiples(builder, corpus, repeat):
    """The tree alone, per corpus page and in geometric mean, as multiples
    of lxml.html.fromstring of the same page."""
    emitters = getattr(builder, "EMITTERS", ())
    if "lxml" not in emitters or "libxml2" not in emitters:
        print(f"# tree alone: the builder has the emitters {emitters}, nothing to compare")
        return
    print(f"# the tree alone, as multiples of lxml.html.fromstring of the page (least of {repeat} rounds)")
    print(f"{'page':<28} {'KiB':>5}  {'fromstring':>10}  {'builder':>7}  {'lxml API':>8}  {'soupparser':>10}")
    multiples = {"builder": [], "lxml API": [], "soupparser": []}
    for path in corpus_pages(corpus):
        text = read(path)
        if builder.build(text) is None:
            print(f"{path.stem:<28} declined by the builder: left out")
            continue
        bare, ours, api, soup = rounds(
            [
                lambda: lxml.html.fromstring(text),
                lambda: builder.build(text),
                lambda: builder.build(text, emitter="lxml"),
                lambda: slow_path(text),
            ],
            repeat,
        )
        for key, spent in zip(multiples, (ours, api, soup)):
            multiples[key].append(spent / bare)
        print(
            f"{path.stem:<28} {len(text) / 1024:5.0f}  {bare * 1e3:7.2f} ms  {ours / bare:6.2f}x  "
            f"{api / bare:7.2f}x  {soup / bare:9.2f}x",
            flush=True,
        )
    if multiples["builder"]:
        means = [statistics.geometric_mean(values) for values in multiples.values()]
        print(
            f"{'geometric mean':<28} {len(multiples['builder']):>5}  {'1.00x':>10}  "
            + "  ".join(f"{mean:{width}.2f}x" for mean, width in zip(means, (6, 7, 9)))
        )
        print(
            f"{'worst page':<28} {'':>5}  {'':>10}  "
            + "  ".join(f"{max(values):{width}.2f}x" for values, width in zip(multiples.values(), (6, 7, 9)))
        )


def build_times(builder, corpus, repeat):
    print(f"# building doc.lxml (median of {repeat} runs)")
    total_slow = total_ours = 0.0
    pages = bailed = 0
    for name, text in all_pages(corpus):
        root, reason = builder.build_with_reason(text)
        slow, ours = interleaved(lambda: slow_path(text), lambda: builder.build(text), repeat)
        pages += 1
        note = ""
        if root is None:
            bailed += 1
            note = f"  bail-out: {reason}"
            ours += slow
        total_slow += slow
        total_ours += ours
        print(
            f"{name:<28} {len(text) / 1024:7.0f} KiB  slow path {slow * 1e3:8.2f} ms  "
            f"builder {ours * 1e3:7.2f} ms  x{slow / ours:6.1f}{note}",
            flush=True,
        )
    print(
        f"{'total':<28} {pages:>3} pages      slow path {total_slow * 1e3:8.2f} ms  "
        f"builder {total_ours * 1e3:7.2f} ms  x{total_slow / total_ours:6.1f}  bail-outs {bailed}"
    )


def switch(on):
    """The extractor takes the builder from its module's `_build_tree`
    (None: requests_html's own path)."""
    extractor_module._build_tree = importlib.import_module(GATE).build_tree if on else None


class SoupTimer:
    """Times the soupparser calls that requests_html makes for `doc.lxml`."""

    def __init__(self):
        import requests_html

        self.spent = 0.0
        real = requests_html.soup_parse

        def timed(*args, **kwargs):
            start = time.perf_counter()
            try:
                return real(*args, **kwargs)
            finally:
                self.spent += time.perf_counter() - start

        requests_html.soup_parse = timed


def extract_times(title, cases, repeat, soup):
    """Per page and in total, `extract` with the builder off and on."""
    print(f"# {title}: extract with the builder off and on (median of {repeat} runs)")
    total_off = total_on = 0.0
    gains, little = [], []
    for name, rules, text in cases:
        extractor = FieldExtractor(str(rules))
        switch(False)
        rows_off = extractor.extract(text)
        switch(True)
        rows_on = extractor.extract(text)
        if rows_on != rows_off:
            sys.exit(f"{name}: the rows differ with the builder on and off")

        shares = []

        def run(on):
            switch(on)
            soup.spent = 0.0
            start = time.perf_counter()
            extractor.extract(text)
            if not on:
                shares.append(soup.spent / (time.perf_counter() - start) * 100)

        off, on = interleaved(lambda: run(False), lambda: run(True), repeat)
        total_off += off
        total_on += on
        share = statistics.median(shares)
        gains.append(off / on)
        print(
            f"{name:<28} rows {len(rows_on):>5}  off {off * 1e3:8.2f} ms  on {on * 1e3:8.2f} ms  "
            f"x{off / on:5.2f}  soupparser {share:3.0f}% of extraction off",
            flush=True,
        )
        if off / on < LITTLE:
            little.append((name, off / on, share))
    switch(True)
    print(
        f"{'total':<28} {len(gains):>3} pages  off {total_off * 1e3:8.2f} ms  on {total_on * 1e3:8.2f} ms  "
        f"x{total_off / total_on:5.2f}  (geometric mean of the pages x{statistics.geometric_mean(gains):.2f})"
    )
    for name, gain, share in little:
        bound = 100 / (100 - share) if share < 100 else float("inf")
        why = "the XPath queries and the fields dominate" if share < 50 else "the builder gains little on it"
        print(
            f"gains little: {name} x{gain:.2f}: soupparser is {share:.0f}% of its extraction "
            f"(at most x{bound:.2f} with a tree for free); {why}"
        )


def generic_cases(corpus):
    """The corpus pages without rules of their own, under rules that find
    something on any page."""
    for name, rules, page in generic_pages(corpus):
        yield name, rules, read(page)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--corpus", type=pathlib.Path, default=CORPUS)
    parser.add_argument("--no-generic", action="store_true", help="skip the pages under bench/generic_rules.yaml")
    parser.add_argument("--trees-only", action="store_true", help="only the tree alone against lxml.html.fromstring")
    args = parser.parse_args()
    warnings.simplefilter("ignore")  # bs4's remarks on odd markup
    builder, why_not = native_builder()
    if builder is None:
        sys.exit(f"bench_treebuilder.py: {why_not}")
    print("# load average %.2f %.2f %.2f" % os.getloadavg())
    tree_multiples(builder, args.corpus, args.repeat)
    if args.trees_only:
        print("# load average %.2f %.2f %.2f" % os.getloadavg())
        return
    build_times(builder, args.corpus, args.repeat)
    soup = SoupTimer()
    cases = list(corpus_cases(args.corpus))
    extract_times("typical mix: the corpus pages with rules", [c for c in cases if "/" not in c[0]], args.repeat, soup)
    extract_times("the bundled examples", [c for c in cases if "/" in c[0]], args.repeat, soup)
    if not args.no_generic:
        extract_times("generic rules on the other corpus pages", list(generic_cases(args.corpus)), args.repeat, soup)
    print("# load average %.2f %.2f %.2f" % os.getloadavg())


if __name__ == "__main__":
    main()
