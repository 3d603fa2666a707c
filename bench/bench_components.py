"""Our native components in isolation, each beside the plain-Python way.

    python bench/bench_components.py [--repeat N]

- the normaliser on 1 MB of mixed text, against str.strip + re.sub;
- row matching of one record of 10,000-item lists, against the same steps
  written in Python (json.dumps / json.loads per partial row);
- process_fields on 100,000 rows with a third duplicates (see also
  bench_process_fields.py for its growth with the number of rows).
"""

import argparse
import json
import pathlib
import random
import re
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from bench_process_fields import CONF, make_rows, plain_python  # noqa: E402
from timing import median_time  # noqa: E402

from ostrel.crawler.field_extractor.dravine import FieldsProcessor  # noqa: E402
from ostrel.crawler.field_extractor.extractor import FieldExtractor
from ostrel.crawler.field_extractor.pallock import FieldsMatcher
from ostrel.crawler.field_extractor.utils.trummel import TextUtil

BLANKS = "\n \u3000\u00a0\r"
PATTERN = re.compile("[" + BLANKS + "]+")



def report(name, ours, plain):
    print(f"{name:<44} native {ours * 1e3:9.3f} ms  plain Python {plain * 1e3:9.3f} ms  "
          f"speed-up {plain / ours:6.1f}x", flush=True)


def mixed_text(size):
    rng = random.Random(1)
    words = ["price", "北京", "東京", "Москва", "café", "\t", "1,299.00", "—"]
    parts, length = [], 0
    while length < size:
        part = rng.choice(words) + rng.choice([" ", "  ", "\n", "\u3000", "\u00a0", "\r\n", ""])
        parts.append(part)
        length += len(part)
    return "".join(parts)


def bench_normaliser(repeat):
    text = mixed_text(1 << 20)
    util = TextUtil()
    assert util.normalize_element(text) == PATTERN.sub(" ", text.strip(BLANKS))
    ours = median_time(lambda: util.normalize_element(text), repeat)
    plain = median_time(lambda: PATTERN.sub(" ", text.strip(BLANKS)), repeat)
    report("normalise 1 MB of mixed text", ours, plain)


def python_match_record(matcher, field):
    """The row matching of one record, step by step in Python."""
    keys = list(field)
    matched_key = {"0": keys[0]}
    first = field[keys[0]]
    values = (json.dumps({"0": first}, ensure_ascii=False) if isinstance(first, str)
              else [json.dumps({"0": v}, ensure_ascii=False) for v in first])
    for i in range(1, len(keys)):
        matched_key[str(i)] = keys[i]
        pairs, is_str = matcher.match(values, field[keys[i]])
        values = []
        for head, tail in pairs:
            row = json.loads(head)
            row[str(i)] = tail
            values.append(json.dumps(row, ensure_ascii=False))
        if is_str and i != len(keys) - 1:
            values = values[0]
    rows = []
    for text in values:
        row = json.loads(text)
        rows.append({key: row[number] for number, key in matched_key.items()})
    return rows


def bench_matching(repeat):
    n = 10_000
    field = {"shop": "example"}
    for column in ("sku", "name", "city", "price", "note"):
        field[column] = [f"{column} {i} 北京" for i in range(n)]
    extractor = FieldExtractor.__new__(FieldExtractor)
    extractor.pallock = FieldsMatcher()
    assert extractor._match_multiple_fields(field) == python_match_record(extractor.pallock, field)
    ours = median_time(lambda: extractor._match_multiple_fields(field), repeat)
    plain = median_time(lambda: python_match_record(extractor.pallock, field), repeat)
    report("match a record of 6 fields x 10,000 values", ours, plain)


def bench_processor(repeat):
    rows = make_rows(100_000, random.Random(2))
    processor = FieldsProcessor(CONF)
    assert processor.process_fields(rows, True) == plain_python(rows)
    ours = median_time(lambda: processor.process_fields(rows, True), repeat)
    plain = median_time(lambda: plain_python(rows), repeat)
    report("process_fields, 100,000 rows, 1/3 duplicates", ours, plain)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    bench_normaliser(args.repeat)
    bench_matching(args.repeat)
    bench_processor(args.repeat)


if __name__ == "__main__":
    main()
