"""One extractor shared by four threads gives exactly the serial results."""

import json
import pathlib
import random
import threading

from ostrel.crawler.field_extractor.extractor import FieldExtractor

ROOT = pathlib.Path(__file__).resolve().parent.parent

RULES = {
    "value_separator": " | ",
    "rules": [
        {
            "title": {"rules": "//h1"},
            "site": {"rules": "示例"},
            "link": {"rules": "//a[@class='main']", "type": "attr:href"},
        },
        {
            "name": {"rules": ["//table/tr[2]/td[1]", "//table/tr[3]/td[1]"]},
            "price": {"rules": ["//table/tr[2]/td[2]", "//table/tr[3]/td[2]"]},
            "tags": {"rules": ["//table/tr[2]/td[3]/i", "//table/tr[3]/td[3]/i"]},
        },
        {"item": {"rules": ["//ul/li[1]", "//ul/li[2]"]}, "kind": {"rules": "list"}},
        # Pages with an <ol> of another length than their <ul> fail here.
        {"a": {"rules": ["//ul/li[1]", "//ul/li[2]"]}, "b": {"rules": ["//ol/li[1]", "//ol/li[2]"]}},
    ],
    "alias2main_name": {"price": {"0": "free"}},
    "not_empty_fields": ["tags"],
}


def page(rng, n):
    rows = "".join(
        f"<tr><td>{rng.choice(['keep', f'{n}-{i}-x', '北京'])}</td><td>{rng.choice([str(n), '0', str(i)])}</td>"
        f"<td>{''.join(f'<i>t{k}</i>' for k in range(rng.randint(0, 3)))}</td></tr>"
        for i in range(rng.randint(0, 12))
    )
    items = "".join(f"<li> item {n}.{i}\u3000</li>" for i in range(rng.randint(0, 8)))
    # Some pages have lists of unequal length in one rule entry: they fail.
    extra = "<ol><li>a</li><li>b</li></ol>" if rng.random() < 0.1 else ""
    return (
        f"<html><body><h1> Page {n} </h1><a class='main' href='/p/{n}'>x</a>"
        f"<table><tr><th>h</th></tr>{rows}</table>{extra}<ul>{items}</ul></body></html>"
    )


def outcome(extractor, text):
    try:
        return extractor.extract(text)
    except Exception as error:  # noqa: BLE001 - failures are compared too
        return (type(error), str(error))


def test_four_threads_give_the_serial_results(tmp_path):
    path = tmp_path / "rules.json"
    path.write_text(json.dumps(RULES, ensure_ascii=False), encoding="utf-8")
    extractor = FieldExtractor(str(path))
    rng = random.Random(11)
    pages = [page(rng, n) for n in range(200)]
    pages += [p.read_text(encoding="utf-8") for p in sorted((ROOT / "examples" / "pages").glob("*.html"))]
    serial = [outcome(extractor, text) for text in pages]
    assert any(isinstance(o, tuple) for o in serial) and sum(len(o) for o in serial if isinstance(o, list)) > 500

    results = [None] * len(pages)
    next_page = iter(range(len(pages)))
    lock = threading.Lock()
    start = threading.Barrier(4)

    def work():
        start.wait()
        while True:
            with lock:
                index = next(next_page, None)
            if index is None:
                return
            results[index] = outcome(extractor, pages[index])

    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == serial
