"""Page tree time: requests_html's soupparser path against the native builder.

For every corpus page (and the bundled examples) prints the median time of
`doc.lxml` on a fresh requests_html document (html.parser, BeautifulSoup and
soupparser) and of `_treebuilder.build(doc.html)`, which gives the same tree,
then the totals and the ratio. Pages the builder declines are marked.

    python bench/bench_tree.py [--repeat N] [--corpus DIR]
"""

import argparse
import pathlib
import sys
import warnings

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from timing import median_time  # noqa: E402

from requests_html import HTML  # noqa: E402

from ostrel.crawler.field_extractor.utils import _treebuilder  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent


def document(text):
    doc = HTML(html=text)
    doc.encoding = "utf-8"
    return doc


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--corpus", type=pathlib.Path, default=ROOT.parent / "shared" / "corpus")
    args = parser.parse_args()
    warnings.simplefilter("ignore")

    pages = sorted((args.corpus / "pages").glob("*.html")) + sorted((ROOT / "examples" / "pages").glob("*.html"))
    total_slow = total_fast = 0.0
    size = 0
    print("# doc.lxml per page (median of %d runs)" % args.repeat)
    for page in pages:
        text = page.read_text(encoding="utf-8")
        size += len(text.encode("utf-8"))
        doc = document(text)
        html = doc.html
        nodes = sum(1 for _ in doc.lxml.iter())
        slow = median_time(lambda: document(text).lxml, args.repeat)
        fast = median_time(lambda: _treebuilder.build(html), args.repeat)
        declined = _treebuilder.build_with_reason(html)[1]
        total_slow += slow
        total_fast += fast
        print(f"{page.name:<28} nodes {nodes:>6}  soupparser {slow * 1e3:8.2f} ms  builder {fast * 1e3:7.2f} ms  "
              f"x{slow / fast:5.1f}" + (f"  (declined: {declined})" if declined else ""), flush=True)
    print(f"{'total':<28} {size / 1e6:.1f} MB  soupparser {total_slow * 1e3:8.1f} ms  "
          f"builder {total_fast * 1e3:7.1f} ms  x{total_slow / total_fast:5.1f}")


if __name__ == "__main__":
    main()
