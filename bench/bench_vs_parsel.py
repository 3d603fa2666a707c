"""`extract` against the same extraction written the way a parsel user would
write it, on the corpus pages that have rules and the bundled examples.

The parsel script (`ParselScript`) parses the page with `Selector(text=...)`,
selects each list rule's rows once and reads each field of a row with the
relative XPath of the rule (the part after the row step), joins the texts
with the separator and normalises them with `str.strip` and `re.sub`; then
pairs the fields by position (one value broadcast over a list), converts
aliases, filters with plain comparisons and drops exact duplicates, as the
rules file asks. Both must give identical rows (checked before timing);
then they are timed in the same run, interleaved, best of N, and the script
prints ours / parsel per case and the geometric mean, with the load average.

    python -m bench.bench_vs_parsel [--repeat N] [--corpus DIR]

parsel is an optional dependency: pip install '.[bench]'.
"""

import argparse
import math
import os
import pathlib
import re
import time

import yaml
from parsel import Selector

from ostrel.crawler.field_extractor.extractor import FieldExtractor
from tests.support.corpus import CORPUS, ruled_pages

BLANKS = "\n \u3000\u00a0\r"
RUNS = re.compile("[\n \u3000\u00a0\r]+")
CASES = ["athletics_results_de", "banklist", "youth_cn"]


def normalised(text):
    return RUNS.sub(" ", text.strip(BLANKS))


def split_list_rule(first, second):
    """The row XPath, the XPath of the field inside a row, and the first row
    (1-based): where the two sample XPaths differ in a row position."""
    a, b = first.split("/"), second.split("/")
    for k, (x, y) in enumerate(zip(a, b)):
        if x != y:
            step, number = re.split(r"[\[\]]", x)[:2]
            return "/".join(a[:k] + [step]), "/".join(a[k + 1 : len(b)]), int(number)
    return "/".join(a[: len(b)]), "", 0


class ParselScript:
    def __init__(self, rules_file):
        with open(rules_file, encoding="utf-8") as stream:
            conf = yaml.safe_load(stream)
        self.separator = conf["value_separator"]
        self.aliases = conf.get("alias2main_name", {})
        self.filter = conf.get("filter")
        self.required = conf.get("not_empty_fields", [])
        self.entries = []
        for entry in conf["rules"]:
            fields = []
            for key, field in entry.items():
                rules, kind = field["rules"], field.get("type", "text")
                if kind.startswith("attr:"):
                    fields.append((key, "attr", (rules, kind[5:])))
                elif isinstance(rules, list):
                    fields.append((key, "list", split_list_rule(*rules)))
                elif rules.startswith("/"):
                    fields.append((key, "text", rules))
                else:
                    fields.append((key, "constant", rules))
            self.entries.append(fields)

    def text(self, nodes):
        return normalised(self.separator.join(node.xpath("string()").get() for node in nodes))

    def value(self, page, kind, rule):
        if kind == "constant":
            return rule
        if kind == "text":
            nodes = page.xpath(rule)
            return self.text(nodes) if nodes else None
        if kind == "attr":
            nodes = page.xpath(rule[0])
            return nodes[0].attrib[rule[1]] if nodes else None
        rows_path, inside, first = rule
        rows = page.xpath(rows_path)
        if not rows:
            return None
        return [
            self.text(row.xpath(inside) if inside else [row]) if i >= 1 else ""
            for i, row in ((i, rows[i - 1] if i >= 1 else None) for i in range(first, len(rows) + 1))
        ]

    def rows(self, page):
        out = []
        for fields in self.entries:
            record = {key: self.value(page, kind, rule) for key, kind, rule in fields}
            if any(v is None for v in record.values()):
                continue
            lists = [v for v in record.values() if isinstance(v, list)]
            if not lists:
                out.append(record)
                continue
            for i in range(len(lists[0])):
                out.append({k: v[i] if isinstance(v, list) else v for k, v in record.items()})
        return self.processed(out)

    def processed(self, rows):
        rows = [{k: self.aliases.get(k, {}).get(v, v) for k, v in row.items()} for row in rows]
        if self.filter:
            key, values = self.filter["key"], self.filter.get("values", {})
            words, formats = values.get("words", []), values.get("format", [])

            def kept(row):
                if row[key] in words:
                    return True
                for rule in formats:
                    for name in re.findall("<(.*?)>", rule):
                        rule = rule.replace(f"<{name}>", row[name])
                    if rule == row[key]:
                        return True
                return False

            rows = [row for row in rows if kept(row)]
        rows = [row for row in rows if not any(row.get(k) == "" for k in self.required)]
        seen, unique = set(), []
        for row in rows:
            fingerprint = tuple(row.items())
            if fingerprint not in seen:
                seen.add(fingerprint)
                unique.append(row)
        return unique

    def extract(self, text):
        return self.rows(Selector(text=text))


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=9)
    parser.add_argument("--corpus", type=pathlib.Path, default=CORPUS)
    args = parser.parse_args()
    print(f"# load average {os.getloadavg()[0]:.2f}; best of {args.repeat}, interleaved")
    ratios = []
    for name, rules, page in ruled_pages(args.corpus):
        if name not in CASES and not name.startswith("examples/"):
            continue
        text = page.read_text(encoding="utf-8")
        ours, theirs = FieldExtractor(str(rules)), ParselScript(rules)
        rows = ours.extract(text)
        if rows != theirs.extract(text):
            print(f"{name:<24} rows differ: skipped")
            continue
        a = b = math.inf
        for _ in range(args.repeat):
            a = min(a, best(lambda: ours.extract(text), 1))
            b = min(b, best(lambda: theirs.extract(text), 1))
        ratios.append(a / b)
        print(
            f"{name:<24} rows {len(rows):>4}  extract {a * 1e3:8.2f} ms  parsel {b * 1e3:8.2f} ms  "
            f"ours/parsel {a / b:5.2f}x",
            flush=True,
        )
    if ratios:
        gmean = math.exp(sum(map(math.log, ratios)) / len(ratios))
        print(f"{'geometric mean':<24} ours/parsel {gmean:5.2f}x  (worst {max(ratios):.2f}x)")
    print(f"# load average {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
