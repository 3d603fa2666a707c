"""Resident memory: peak while extracting the largest corpus page, and growth
over many consecutive `extract` calls (it must stay flat).

    python -m bench.bench_memory [--calls 20000] [--corpus DIR]
"""

import argparse
import pathlib
import resource
import tempfile

from ostrel.crawler.field_extractor.extractor import FieldExtractor
from tests.support.corpus import CORPUS, EXAMPLE_RULES, EXAMPLES

# Rules that apply to any page: a few single values, an attribute, and a list
# over the children of <body>.
GENERIC_RULES = """
value_separator: " "
rules:
  - title: {rules: "//title"}
    first_link: {rules: "//a[@href]", type: "attr:href"}
    headings: {rules: "//h1 | //h2"}
  - block: {rules: ["/html/body/*[1]", "/html/body/*[2]"]}
"""


def rss_mb():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize() / 2**20


def peak_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=20_000)
    parser.add_argument("--corpus", type=pathlib.Path, default=CORPUS)
    args = parser.parse_args()

    with tempfile.NamedTemporaryFile("w", suffix=".yaml", delete=False) as rules:
        rules.write(GENERIC_RULES)
    extractor = FieldExtractor(rules.name)

    largest = max((args.corpus / "pages").glob("*.html"), key=lambda p: p.stat().st_size)
    text = largest.read_text(encoding="utf-8")
    before = rss_mb()
    extractor.extract(text)
    print(
        f"largest page {largest.name} ({len(text.encode()) / 2**20:.2f} MB): "
        f"resident {before:.1f} MB before, peak {peak_mb():.1f} MB",
        flush=True,
    )

    example = FieldExtractor(str(EXAMPLE_RULES))
    page = next((EXAMPLES / "pages").glob("*.html")).read_text(encoding="utf-8")
    checkpoints = {args.calls // 10, args.calls // 2, args.calls}
    start = None
    for call in range(1, args.calls + 1):
        example.extract(page)
        if call == args.calls // 10:
            start = rss_mb()  # after warm-up: caches and allocator pools filled
        if call in checkpoints:
            print(f"after {call:>6} calls: resident {rss_mb():.1f} MB", flush=True)
    growth = rss_mb() - start
    print(
        f"growth from call {args.calls // 10} to {args.calls}: {growth:+.2f} MB "
        f"({growth * 2**20 / (args.calls - args.calls // 10):+.1f} bytes per call)"
    )


if __name__ == "__main__":
    main()
