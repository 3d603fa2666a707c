"""Time FieldsProcessor.process_fields with de-duplication on growing inputs.

Rows look like extraction output: dicts of five str values, a third of them
repeats of earlier rows (rebuilt with their keys in another order). Prints the
median of several runs per size, next to a plain Python pipeline that
de-duplicates through a set of frozen items, so that the growth of both is
visible.

    PYTHONPATH=src python -m bench.bench_process_fields [runs]
"""

import random
import sys

from bench.timing import median_time
from ostrel.crawler.field_extractor.dravine import FieldsProcessor
from tests.support.models import process_text_rows

CONF = {
    "alias2main_name": {"city": {"BJ": "Beijing", "SH": "Shanghai"}},
    "not_empty_fields": ["title"],
}
SIZES = (1_000, 10_000, 100_000)


def make_rows(n, rnd):
    unique = n - n // 3
    rows = [
        {
            "title": f"title {i}",
            "url": f"https://example.com/item/{i}",
            "city": rnd.choice(["BJ", "SH", "Shenzhen"]),
            "price": str(rnd.randint(1, 10_000)),
            "summary": "text " * rnd.randint(1, 8),
        }
        for i in range(unique)
    ]
    for row in rnd.choices(rows, k=n - unique):
        rows.append(dict(reversed(list(row.items()))))
    rnd.shuffle(rows)
    return rows


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 7
    rnd = random.Random(42)
    processor = FieldsProcessor(CONF)
    print(f"process_fields(rows, de_dup=True), median of {runs} runs")
    for n in SIZES:
        rows = make_rows(n, rnd)
        result = processor.process_fields(rows, True)
        assert result == process_text_rows(rows, CONF)
        native = median_time(lambda: processor.process_fields(rows, True), runs)
        python = median_time(lambda: process_text_rows(rows, CONF), runs)
        print(
            f"{n:>8} rows -> {len(result):>7} kept: {native * 1e3:9.2f} ms native"
            f"   {python * 1e3:9.2f} ms plain Python (set of frozen items)"
        )


if __name__ == "__main__":
    main()
