"""Time FieldsProcessor.process_fields with de-duplication on growing inputs.

Rows look like extraction output: dicts of five str values, a third of them
repeats of earlier rows (rebuilt with their keys in another order). Prints the
median of several runs per size, next to a plain Python pipeline that
de-duplicates through a set of frozen items, so that the growth of both is
visible.

    PYTHONPATH=src python bench/bench_process_fields.py [runs]
"""
import pathlib
import random
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from timing import median_time  # noqa: E402

from ostrel.crawler.field_extractor.dravine import FieldsProcessor  # noqa: E402

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


def plain_python(rows, conf=CONF):
    """The same pipeline in plain Python, de-duplicating through a set."""
    alias, required = conf["alias2main_name"], conf["not_empty_fields"]
    converted = [{k: (alias.get(k) or {}).get(v, v) for k, v in row.items()} for row in rows]
    kept = [row for row in converted if not any(k in required and v == "" for k, v in row.items())]
    seen, out = set(), []
    for row in kept:
        key = frozenset(row.items())
        if key not in seen:
            seen.add(key)
            out.append(row)
    return out



def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 7
    rnd = random.Random(42)
    processor = FieldsProcessor(CONF)
    print(f"process_fields(rows, de_dup=True), median of {runs} runs")
    for n in SIZES:
        rows = make_rows(n, rnd)
        result = processor.process_fields(rows, True)
        assert result == plain_python(rows)
        native = median_time(lambda: processor.process_fields(rows, True), runs)
        python = median_time(lambda: plain_python(rows), runs)
        print(f"{n:>8} rows -> {len(result):>7} kept: {native * 1e3:9.2f} ms native"
              f"   {python * 1e3:9.2f} ms plain Python (set of frozen items)")


if __name__ == "__main__":
    main()
