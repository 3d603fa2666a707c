"""Our native components in isolation, each beside the plain-Python way.

    python -m bench.bench_components [--repeat N]

- the normaliser on 1 MB of mixed text, against str.strip + re.sub;
- row matching of one record of 10,000-item lists, against the same steps
  written in Python (json.dumps / json.loads per partial row);
- process_fields on 100,000 rows with a third duplicates (see also
  bench/bench_process_fields.py for its growth with the number of rows).
"""

import argparse
import random

from bench.bench_process_fields import CONF, make_rows
from bench.timing import median_time
from ostrel.crawler.field_extractor.dravine import FieldsProcessor
from ostrel.crawler.field_extractor.extractor import FieldExtractor
from ostrel.crawler.field_extractor.pallock import FieldsMatcher
from ostrel.crawler.field_extractor.utils.trummel import TextUtil
from tests.support import models


def report(name, ours, plain):
    print(
        f"{name:<44} native {ours * 1e3:9.3f} ms  plain Python {plain * 1e3:9.3f} ms  speed-up {plain / ours:6.1f}x",
        flush=True,
    )


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
    assert util.normalize_element(text) == models.normalize(text)
    ours = median_time(lambda: util.normalize_element(text), repeat)
    plain = median_time(lambda: models.normalize(text), repeat)
    report("normalise 1 MB of mixed text", ours, plain)


def bench_matching(repeat):
    n = 10_000
    field = {"shop": "example"}
    for column in ("sku", "name", "city", "price", "note"):
        field[column] = [f"{column} {i} 北京" for i in range(n)]
    extractor = FieldExtractor.__new__(FieldExtractor)
    extractor.pallock = FieldsMatcher()
    assert extractor._match_multiple_fields(field) == models.match_record(extractor.pallock.match, field)
    ours = median_time(lambda: extractor._match_multiple_fields(field), repeat)
    plain = median_time(lambda: models.match_record(extractor.pallock.match, field), repeat)
    report("match a record of 6 fields x 10,000 values", ours, plain)


def bench_processor(repeat):
    rows = make_rows(100_000, random.Random(2))
    processor = FieldsProcessor(CONF)
    assert processor.process_fields(rows, True) == models.process_text_rows(rows, CONF)
    ours = median_time(lambda: processor.process_fields(rows, True), repeat)
    plain = median_time(lambda: models.process_text_rows(rows, CONF), repeat)
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
