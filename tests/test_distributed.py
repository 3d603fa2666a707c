"""The Dask engine gives the records that the serial command line gives."""

import json
import re
from pathlib import Path

import pytest

db = pytest.importorskip("dask.bag")
distributed = pytest.importorskip("dask.distributed")

from ostrel.crawler.field_extractor.cli.sources import decode_page  # noqa: E402
from ostrel.crawler.field_extractor.distributed import (  # noqa: E402
    RulesError,
    RulesText,
    RulesWarning,
    extract_pages,
    extract_warc_files,
)
from tests.support.cli import WARC_RESPONSES, page_html, records_of, run_cli, write_warc  # noqa: E402

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
RULES = str(EXAMPLES / "rules.yaml")


@pytest.fixture(scope="module")
def client():
    with (
        distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=":0") as cluster,
        distributed.Client(cluster) as client,
    ):
        yield client


def serial(tmp_path, *inputs):
    """(results, errors) of the command line with one process."""
    errors = tmp_path / "serial-errors.jsonl"
    result = run_cli("extract", RULES, *map(str, inputs), "--jobs", "1", "--errors", str(errors))
    assert result.returncode in (0, 1), result.stderr
    return (records_of(result.stdout.decode("utf-8")), records_of(errors.read_text("utf-8")))


def split(records):
    return ([r for r in records if "rows" in r], [r for r in records if "error" in r])


def example_pages(tmp_path):
    """The example pages, repeated, an odd one and two that fail, as a
    JSON-lines file of pages."""
    pages = []
    for copy in range(4):
        for path in sorted((EXAMPLES / "pages").glob("*.html")):
            pages.append({"url": f"http://shop.example/{copy}/{path.name}", "html": path.read_text("utf-8")})
    pages.insert(
        3,
        {
            "url": "http://shop.example/bad",
            "html": "<table id='items'><tr></tr><tr><td>1</td></tr></table><ul id='recommend'></ul>",
        },
    )
    pages.insert(7, {"url": "http://shop.example/no-html"})
    pages.insert(9, {"url": "http://shop.example/number", "html": 5})
    path = tmp_path / "pages.jsonl"
    path.write_text("".join(json.dumps(page, ensure_ascii=False) + "\n" for page in pages), "utf-8")
    return path


def test_pages_give_the_command_line_records(tmp_path, client):
    path = example_pages(tmp_path)
    bag = db.read_text(str(path), blocksize=4000).map(json.loads)
    assert bag.npartitions > 2

    records = extract_pages(bag, RULES).compute()

    results, errors = serial(tmp_path, path)
    assert split(records) == (results, errors)
    assert len(results) == 13 and [e["page"] for e in errors] == [
        "http://shop.example/no-html",
        "http://shop.example/number",
    ]


def test_id_text_pairs(tmp_path, client):
    files = sorted((EXAMPLES / "pages").glob("*.html"))
    bag = db.from_sequence([(str(p), decode_page(p.read_bytes())) for p in files], npartitions=2)

    records = extract_pages(bag, RulesText.read(RULES)).compute()

    assert split(records) == serial(tmp_path, *files)


def test_warc_paths_give_the_command_line_records(tmp_path, client):
    warcs = []
    for i, compress in enumerate((True, False, True)):
        path = tmp_path / f"crawl{i}.warc{'.gz' if compress else ''}"
        responses = [(f"{url}?{i}", status, kind, body) for url, status, kind, body in WARC_RESPONSES]
        responses.append(
            (
                f"http://shop.example/keyboards?{i}",
                200,
                "text/html",
                (EXAMPLES / "pages" / "keyboards.html").read_bytes(),
            )
        )
        write_warc(path, responses)
        warcs.append(str(path))
    # Any file system that fsspec knows: here a file URL.
    urls = [warcs[0], Path(warcs[1]).as_uri(), warcs[2]]
    bag = db.from_sequence(urls, npartitions=2)

    records = extract_warc_files(bag, RULES).compute()

    results, errors = serial(tmp_path, *warcs)
    assert split(records) == (results, errors)
    assert len(results) == 3 * 4 and errors == []
    missing = extract_warc_files(db.from_sequence([str(tmp_path / "missing.warc.gz")]), RULES).compute()
    assert [r["error"] for r in missing] == ["FileNotFoundError"]
    # The legacy-charset pages of the archive were decoded alike.
    assert [r["page"] for r in records[:4]] == [
        "http://shop.example/1?0",
        "http://shop.example/gbk?0",
        "http://shop.example/sjis?0",
        "http://shop.example/keyboards?0",
    ]


def test_broken_rules_fail_on_the_client(tmp_path):
    rules = tmp_path / "rules.yaml"
    rules.write_text("value_separator: ' '\n")
    with pytest.raises(KeyError):
        extract_pages(db.from_sequence([("p", page_html("x"))]), str(rules))


def comparable(error):
    """(kind, message) of a failed page. From Python 3.14 on, the message of
    a RecursionError names the stack it used ("Stack overflow (used 8156
    kB) while ..."), which differs from one process to another."""
    message = error["message"]
    if error["error"] == "RecursionError":
        message = re.sub(r"\(used \d+ kB\)", "(used N kB)", message)
    return error["error"], message


def test_json_lines_with_blank_and_broken_lines(tmp_path, client):
    """The lines as db.read_text gives them: a blank line is skipped and
    a broken one is a failed page, as on the command line; the written
    rows are the command line's output, line for line."""
    path = example_pages(tmp_path)
    lines = path.read_text("utf-8").splitlines(keepends=True)
    lines[2:2] = ["\n", "   \n"]
    lines[6:6] = ['{"url": "http://shop.example/cut", "html": "<p>\n']
    lines[9:9] = ["[1, 2]\n", '"just text"\n', "[" * 100000 + "\n"]
    path.write_text("".join(lines), "utf-8")
    bag = db.read_text(str(path), blocksize=4000)
    assert bag.npartitions > 2

    records = extract_pages(bag, RULES).persist()
    out = tmp_path / "out"
    records.filter(lambda r: "rows" in r).map(lambda r: json.dumps(r, ensure_ascii=False)).to_textfiles(
        str(out / "rows-*.jsonl")
    )

    results, errors = serial(tmp_path, path)
    rows, failed = split(records.compute())
    assert rows == results and len(rows) == 13
    # The command line names a line by file and number, unknown here.
    assert [comparable(e) for e in failed] == [comparable(e) for e in errors]
    assert [e["error"] for e in failed] == [
        "JSONDecodeError",
        "ValueError",
        "ValueError",
        "RecursionError",
        "ValueError",
        "ValueError",
    ]
    assert failed[0]["page"].startswith('\'{"url": "http://shop.example/cut')
    parts = sorted(out.glob("rows-*.jsonl"), key=lambda p: int(p.stem.split("-")[1]))
    written = [line for p in parts for line in p.read_text("utf-8").splitlines()]
    cli = run_cli("extract", RULES, str(path), "--jobs", "1", "--errors", str(tmp_path / "cli-errors.jsonl"))
    assert written == cli.stdout.decode("utf-8").splitlines()
    text = "\n".join(written)
    assert any(ord(c) > 127 for c in text) and "\\u" not in text


@pytest.mark.parametrize(
    "entry, check, raised",
    [
        pytest.param({"t": {"rule": "//h1"}}, True, RulesError, id="rule-for-rules"),
        pytest.param({"t": {"rules": "//h1/text() | //h1"}}, True, RulesError, id="union-text"),
        pytest.param({"t": {"rules": "h1.title"}}, True, RulesWarning, id="css-constant-warns"),
        pytest.param({"t": {"rule": "//h1"}}, False, None, id="no-check"),
    ],
)
def test_rules_are_checked_on_the_client(tmp_path, entry, check, raised):
    rules = tmp_path / "rules.json"
    rules.write_text(json.dumps({"value_separator": " ", "rules": [entry]}))
    bag = db.from_sequence([("p", "<h1>T</h1>")], npartitions=1)
    if raised is RulesError:
        with pytest.raises(RulesError, match="would fail every page"):
            extract_pages(bag, str(rules), check=check)
    elif raised is RulesWarning:
        with pytest.warns(RulesWarning, match="looks like a CSS selector"):
            extract_pages(bag, str(rules), check=check)
    else:
        records = extract_pages(bag, str(rules), check=check).compute(scheduler="sync")
        assert records[0]["error"] == "KeyError"
