"""List rules read in one pass against the row XPaths, end to end.

`FieldExtractor.extract` as it is, against the same extractor made to read
every list rule one row XPath at a time (its documents get an instance
`xpath` attribute calling requests_html's own, which FieldsParser does not
read in one pass; the page tree is the same). Both answers are compared.

    python -m bench.bench_list_rows [--repeat N] [--corpus DIR] [--sizes 1000,3000,10000,30000]

Prints: the athletics results page with its rules (and the ratio to a bare
lxml.html.fromstring of the page), also read through lxml's element proxies
(the parsers' `_read_in_tree` off); synthetic tables of growing size (time per
row); every corpus page with bench/generic_rules.yaml and the rules files
written for it; a page of 160,000 paragraphs; which list rules of the rules
files are read in one pass.
"""

import argparse
import contextlib
import functools
import os
import pathlib
import subprocess
import sys
import tempfile
import time

import lxml.html
import yaml
from requests_html import HTML

from bench.timing import median_time
from ostrel.crawler.field_extractor import extractor as extractor_module
from ostrel.crawler.field_extractor.extractor import FieldExtractor
from ostrel.crawler.field_extractor.html_parsers import FieldsParser, kestrum, selvane, vintor
from tests.support.corpus import CORPUS, EXAMPLE_RULES, GENERIC_RULES, example_pages


def row_by_row_document(html):
    doc = HTML(html=html)
    # Not requests_html's own bound method: read one row XPath at a time.
    doc.xpath = functools.partial(HTML.xpath, doc)
    return doc


@contextlib.contextmanager
def row_by_row():
    original = extractor_module.HTML
    extractor_module.HTML = row_by_row_document
    try:
        yield
    finally:
        extractor_module.HTML = original


@contextlib.contextmanager
def through_proxies():
    """The parsers read through lxml's element proxies, never on the tree itself."""
    modules = (kestrum, vintor, selvane)
    for module in modules:
        module._read_in_tree = False
    try:
        yield
    finally:
        for module in modules:
            module._read_in_tree = True


def timed(fn, repeat):
    return median_time(fn, repeat), fn()


def compare(rules, text, repeat, slow_repeat=1):
    """(one pass s, row by row s): medians, after checking the answers agree."""
    extractor = FieldExtractor(str(rules))
    fast, rows = timed(lambda: extractor.extract(text), repeat)
    with row_by_row():
        slow, slow_rows = timed(lambda: extractor.extract(text), slow_repeat)
    assert rows == slow_rows, f"different rows for {rules}"
    return fast, slow


def athletics(corpus, repeat):
    page = (corpus / "pages" / "athletics_results_de.html").read_text(encoding="utf-8")
    fast, slow = compare(corpus / "rules" / "athletics_results_de.yaml", page, repeat, 3)
    extractor = FieldExtractor(str(corpus / "rules" / "athletics_results_de.yaml"))
    with through_proxies():
        proxies = median_time(lambda: extractor.extract(page), repeat)
    parse = median_time(lambda: lxml.html.fromstring(page), repeat)
    print("# athletics_results_de with its rules")
    print(
        f"one pass {fast * 1e3:8.1f} ms   through proxies {proxies * 1e3:8.1f} ms   row XPaths {slow * 1e3:8.1f} ms"
        f"   x{slow / fast:6.1f}   lxml.html.fromstring {parse * 1e3:6.1f} ms (one pass = x{fast / parse:4.1f} of it)",
        flush=True,
    )


def big_tables(corpus, sizes, repeat):
    print("# big_table (make_big_table.py N, rules big_table.yaml)")
    for size in sizes:
        text = subprocess.run(
            [sys.executable, str(corpus / "make_big_table.py"), str(size)], check=True, capture_output=True, text=True
        ).stdout
        extractor = FieldExtractor(str(corpus / "rules" / "big_table.yaml"))
        fast, rows = timed(lambda: extractor.extract(text), max(3, repeat // (size // 1000)))
        with through_proxies():
            proxies, proxy_rows = timed(lambda: extractor.extract(text), max(3, repeat // (size // 1000)))
        assert rows == proxy_rows
        parse = median_time(lambda: lxml.html.fromstring(text), 3)
        line = (
            f"{size:>6} rows  one pass {fast * 1e3:8.1f} ms ({fast / size * 1e6:6.1f} us/row, x{fast / parse:4.1f}"
            f" fromstring)   through proxies {proxies * 1e3:8.1f} ms"
        )
        if size <= 10000:
            with row_by_row():
                slow, slow_rows = timed(lambda: extractor.extract(text), 1)
            assert rows == slow_rows
            line += f"   row XPaths {slow * 1e3:9.1f} ms ({slow / size * 1e6:7.1f} us/row)   x{slow / fast:6.1f}"
        print(line, flush=True)


def corpus_pages(corpus, repeat):
    print("# corpus pages: bench/generic_rules.yaml, and the rules file of the page")
    total_fast = total_slow = 0.0
    slower = []
    for page in sorted((corpus / "pages").glob("*.html")):
        text = page.read_text(encoding="utf-8")
        rule_files = [GENERIC_RULES]
        if (corpus / "rules" / (page.stem + ".yaml")).exists():
            rule_files.append(corpus / "rules" / (page.stem + ".yaml"))
        for rules in rule_files:
            fast, slow = compare(rules, text, repeat)
            total_fast += fast
            total_slow += slow
            if fast > slow:
                slower.append((page.stem, rules.stem))
            print(
                f"{page.stem:<24} {rules.stem:<22} one pass {fast * 1e3:8.1f} ms   row XPaths {slow * 1e3:8.1f} ms"
                f"   x{slow / fast:5.1f}",
                flush=True,
            )
    print(
        f"{'total':<47} one pass {total_fast * 1e3:8.1f} ms   row XPaths {total_slow * 1e3:8.1f} ms   "
        f"x{total_slow / total_fast:5.1f}   slower: {slower or 'none'}"
    )


def paragraphs():
    text = "<html><head><title>p</title></head><body>" + "<p>x</p>" * 160000 + "</body></html>"
    with tempfile.NamedTemporaryFile("w", suffix=".yaml", delete=False) as stream:
        yaml.safe_dump({"value_separator": " ", "rules": [{"p": {"rules": ["//body/p[1]", "//body/p[2]"]}}]}, stream)
    extractor = FieldExtractor(stream.name)
    began = time.perf_counter()
    rows = extractor.extract(text)
    print(
        f"# 160,000 <p> with the list rule //body/p[N]: {time.perf_counter() - began:.2f} s, {len(rows[0]['p'])} texts"
    )
    pathlib.Path(stream.name).unlink()


def which_rules(corpus):
    """One pass or not, observed: a parse read in one pass evaluates one XPath
    on the page tree (the length rule), one by row XPaths 1 + rows."""
    print("# list rules of the rules files: read in one pass?")
    calls = [0]
    original = lxml.html.HtmlElement.xpath

    def counted(element, *args, **kwargs):
        calls[0] += 1
        return original(element, *args, **kwargs)

    texts = {path.stem: path.read_text(encoding="utf-8") for path in sorted((corpus / "pages").glob("*.html"))}
    texts["big_table"] = subprocess.run(
        [sys.executable, str(corpus / "make_big_table.py"), "200"], check=True, capture_output=True, text=True
    ).stdout
    examples = [path.read_text(encoding="utf-8") for path in example_pages()]
    files = sorted((corpus / "rules").glob("*.yaml")) + [GENERIC_RULES, EXAMPLE_RULES]
    lxml.html.HtmlElement.xpath = counted
    try:
        for path in files:
            conf = yaml.safe_load(path.read_text(encoding="utf-8"))
            pages = (
                [texts[path.stem]]
                if path.stem in texts
                else examples
                if path.parent.name == "examples"
                else list(texts.values())
            )
            seen = set()
            for entry in conf["rules"]:
                for field in entry.values():
                    rules = field["rules"]
                    if not isinstance(rules, list) or tuple(rules) in seen:
                        continue
                    seen.add(tuple(rules))
                    tally = {"one pass": 0, "some rows by XPath": 0, "row XPaths": 0}
                    for text in pages:
                        doc = HTML(html=text)
                        doc.lxml  # noqa: B018 - builds the tree
                        calls[0] = 0
                        result = FieldsParser().parse(doc, rules)
                        if result is None:
                            continue
                        kind = (
                            "one pass"
                            if calls[0] == 1
                            else "row XPaths"
                            if calls[0] == 1 + len(result)
                            else "some rows by XPath"
                        )
                        tally[kind] += 1
                    print(
                        f"{path.name:<24} {rules[0]:<64} "
                        + (
                            ", ".join(f"{kind} on {count}" for kind, count in tally.items() if count)
                            or "matches no page"
                        )
                    )
    finally:
        lxml.html.HtmlElement.xpath = original


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--corpus", type=pathlib.Path, default=CORPUS)
    parser.add_argument("--sizes", default="1000,3000,10000,30000")
    parser.add_argument("--only", default="athletics,tables,corpus,paragraphs,rules")
    args = parser.parse_args()
    only = args.only.split(",")
    print("load average at start: %.1f %.1f %.1f" % os.getloadavg())
    if "athletics" in only:
        athletics(args.corpus, args.repeat)
    if "tables" in only:
        big_tables(args.corpus, [int(s) for s in args.sizes.split(",") if s], args.repeat)
    if "corpus" in only:
        corpus_pages(args.corpus, args.repeat)
    if "paragraphs" in only:
        paragraphs()
    if "rules" in only:
        which_rules(args.corpus)


if __name__ == "__main__":
    main()
