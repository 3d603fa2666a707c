"""``try``: what each field yields on one page, dropped rule entries, rows."""

import json

import lxml.html
import pytest

from tests.support.cli import run_cli, write_warc
from tests.support.corpus import read, ruled_pages
from tests.support.report_pages import (
    HOSTILE,
    RIGHT_WAY,
    SHOP_LABELS,
    SHOP_PAGE,
    SHOP_ROWS,
    SHOP_RULES,
    UNEQUAL,
    WRONG_WAY,
    Picture,
    shop_rules,
)

RULES = """\
value_separator: " | "
rules:
  - name:
      rules: ["//ul/li[1]/b", "//ul/li[2]/b"]
    link:
      rules: "//ul/li[1]/a"
      type: "attr:href"
    shop:
      rules: "示例"
  - featured:
      rules: "//div[@id='featured']"
    shop:
      rules: "示例"
  - tags:
      rules: "//span"
alias2main_name:
  name: {Acme: ACME}
"""

PAGE = """<html><head><meta charset="gb2312"></head><body><ul>
<li><b>Acme</b><a href="/1">x</a></li><li><b>诺德</b></li><li><b>Acme</b></li>
</ul><span>a</span><span> b </span></body></html>"""


def write(tmp_path, rules=RULES, page=PAGE):
    (tmp_path / "rules.yaml").write_text(rules, "utf-8")
    (tmp_path / "page.html").write_text(page, "utf-8")
    return str(tmp_path / "rules.yaml"), str(tmp_path / "page.html")


def test_try_shows_values_drops_and_rows(tmp_path):
    result = run_cli("try", *write(tmp_path))

    assert result.returncode == 0, result.stderr
    lines = result.stdout.decode("utf-8").splitlines()
    text = "\n".join(lines)
    assert lines[0] == "rule 0: kept: 3 rows before filtering"
    # Values before matching and before aliases.
    assert '-> 3 values: ["Acme", "诺德", "Acme"]' in text
    assert '-> "/1"' in text
    assert 'shop  constant "示例"' in text
    assert "rule 1: dropped: nothing found for 'featured'" in text
    assert "-> nothing found (None)" in text
    assert "rule 2: kept: 1 row before filtering" in text
    assert '-> "a | b"' in text
    # The final rows: aliased, and the duplicate of the first row removed.
    start = lines.index("rows after aliases, filters and de-duplication: 3")
    assert [json.loads(line) for line in lines[start + 1 :]] == [
        {"name": "ACME", "link": "/1", "shop": "示例"},
        {"name": "诺德", "link": "/1", "shop": "示例"},
        {"tags": "a | b"},
    ]


def test_try_without_dedup_keeps_duplicates(tmp_path):
    result = run_cli("try", *write(tmp_path), "--no-dedup")

    assert "rows after aliases, filters: 4" in result.stdout.decode("utf-8")


def test_try_shows_where_a_page_fails(tmp_path):
    rules = RULES.replace('type: "attr:href"', 'type: "attr"')

    result = run_cli("try", *write(tmp_path, rules=rules))

    assert result.returncode == 1
    text = result.stdout.decode("utf-8")
    assert "rule 0: fails at 'link': the whole page fails" in text
    assert "-> fails: IndexError" in text
    assert "extract fails: IndexError" in text


def test_try_shows_rows_that_cannot_be_paired(tmp_path):
    rules = RULES.replace(
        'rules: "//span"', 'rules: ["//span[1]", "//span[2]"]\n    name:\n      rules: ["//ul/li[1]/b", "//ul/li[2]/b"]'
    )

    result = run_cli("try", *write(tmp_path, rules=rules))

    assert result.returncode == 1
    text = result.stdout.decode("utf-8")
    assert (
        "rule 2: fails when pairing the values into rows: ValueError: head_fields and tail_fields  is unequal"
    ) in text


def test_try_with_unloadable_rules_exits_with_2(tmp_path):
    rules, page = write(tmp_path, rules="rules: [")

    result = run_cli("try", rules, page)

    assert result.returncode == 2
    assert "cannot load rules" in result.stderr.decode("utf-8")


# The picture (try --html) -------------------------------------------------


def shop_inputs(tmp_path, form):
    """(PAGE arguments, standard input) that give try the shop page as a
    file, on standard input, or as one record of a WARC or JSON-lines file."""
    body = SHOP_PAGE.encode("utf-8")
    if form == "file":
        (tmp_path / "shop.html").write_bytes(body)
        return [str(tmp_path / "shop.html")], None
    if form == "stdin":
        return ["-"], body
    if form == "warc":
        write_warc(tmp_path / "shop.warc.gz", [("http://shop.example/", 200, "text/html; charset=utf-8", body)])
        return [str(tmp_path / "shop.warc.gz"), "--page", "http://shop.example/"], None
    lines = [json.dumps({"url": "http://other.example/", "html": "<p>x</p>"}), json.dumps({"html": SHOP_PAGE})]
    (tmp_path / "pages.jsonl").write_text("\n".join(lines) + "\n", "utf-8")
    return [str(tmp_path / "pages.jsonl"), "--page", f"{tmp_path / 'pages.jsonl'}:2"], None


@pytest.mark.parametrize(
    "form, to_stdout", [("file", False), ("stdin", False), ("warc", False), ("jsonl", False), ("file", True)]
)
def test_try_html_pictures_the_rows_their_elements_and_the_dropped_rows(tmp_path, form, to_stdout):
    (tmp_path / "rules.yaml").write_text(SHOP_RULES, "utf-8")
    page, stdin = shop_inputs(tmp_path, form)
    out = tmp_path / "shop-report.html"

    result = run_cli("try", str(tmp_path / "rules.yaml"), *page, "--html", "-" if to_stdout else str(out), input=stdin)

    assert result.returncode == 0, result.stderr
    if to_stdout:  # the picture instead of the text report
        out.write_bytes(result.stdout)
    else:
        assert result.stdout.decode("utf-8").startswith("rule 0: kept: 5 rows before filtering")
    picture = Picture(out.read_text("utf-8"))
    assert picture.labels() == SHOP_LABELS
    assert {n: (cells[2], why) for n, (cells, why) in picture.rows().items()} == SHOP_ROWS
    # Values after aliases, as extract gives them.
    assert picture.rows()[1][0][2:] == ["Acme", "1.00", "Example", "/acme"]
    assert "rule 2: dropped: nothing found for 'note'" in picture.panel_text()


@pytest.mark.parametrize(
    "entries, options, status, said",
    [
        # Without de-duplication row 4 is kept.
        ((RIGHT_WAY,), ["--no-dedup"], 0, ["Rows 3", "Dropped rows 2"]),
        (
            (WRONG_WAY,),
            [],
            0,
            [
                "rows: //div[@class='block']/ul/li[i]/b for i = 1 … 5",
                "5 rows",
                "2 of 5 rows select several elements (rows 1, 2): their texts are joined into one value",
            ],
        ),
        (
            (RIGHT_WAY,),
            [],
            0,
            ["rows: (//div[@class='block']/ul/li)[i]/b for i = 1 … 5", "Rows 2", "Dropped rows 3"],
        ),
        (
            (UNEQUAL,),
            [],
            1,
            [
                "extract fails on this page: ValueError",
                "paired lists of unequal length (name has 5, price has 3): the rows cannot be paired",
                "Rows 0",
            ],
        ),
    ],
    ids=["no-dedup", "rows-in-several-containers", "rows-counted-across-containers", "unequal-lists"],
)
def test_try_html_shows_list_rules_and_their_warnings(tmp_path, entries, options, status, said):
    (tmp_path / "rules.yaml").write_text(shop_rules(*entries), "utf-8")
    (tmp_path / "shop.html").write_text(SHOP_PAGE, "utf-8")
    out = tmp_path / "report.html"

    result = run_cli("try", str(tmp_path / "rules.yaml"), str(tmp_path / "shop.html"), "--html", str(out), *options)

    assert result.returncode == status, result.stderr
    text = Picture(out.read_text("utf-8")).panel_text()
    for words in said:
        assert words in text
    assert ("select several elements" in text) == (entries == (WRONG_WAY,))


@pytest.mark.parametrize(
    "page, error",
    [("", "TypeError: Type 'PyQuery' cannot be serialized."), ("<!-- a comment -->", "ParserError: Document is empty")],
    ids=["empty", "no-element"],
)
def test_try_html_pictures_a_page_without_elements(tmp_path, page, error):
    rules, page = write(tmp_path, page=page)

    result = run_cli("try", rules, page, "--html", str(tmp_path / "report.html"))

    assert result.returncode == 1
    assert f"extract fails: {error}" in result.stdout.decode("utf-8")
    picture = Picture((tmp_path / "report.html").read_text("utf-8"))
    assert f"extract fails on this page: {error}" in picture.panel_text()
    assert picture.page.xpath("string(//body)").startswith("The page has no element to show")


@pytest.mark.parametrize(
    "out, said",
    [
        ("no/report.html", "no/report.html: its directory does not exist"),
        ("page.html", "--html {tmp}/page.html would overwrite {tmp}/page.html"),
        ("./rules.yaml", "--html {tmp}/./rules.yaml would overwrite {tmp}/rules.yaml"),
    ],
)
def test_try_html_refuses_an_output_it_cannot_or_must_not_write(tmp_path, out, said):
    rules, page = write(tmp_path)
    before = (tmp_path / "page.html").read_bytes(), (tmp_path / "rules.yaml").read_bytes()

    result = run_cli("try", rules, page, "--html", f"{tmp_path}/{out}")

    assert result.returncode == 2
    assert said.format(tmp=tmp_path) in result.stderr.decode("utf-8")
    assert ((tmp_path / "page.html").read_bytes(), (tmp_path / "rules.yaml").read_bytes()) == before


@pytest.mark.parametrize("selects", ["//h1", "//*"], ids=["unmarked", "marked"])
@pytest.mark.parametrize("markup", HOSTILE)
def test_the_pictured_page_neither_runs_nor_fetches_anything(tmp_path, markup, selects):
    from ostrel.crawler.field_extractor.cli.report import analyse_page, render_report
    from ostrel.crawler.field_extractor.extractor import FieldExtractor

    (tmp_path / "rules.yaml").write_text(f'value_separator: " "\nrules:\n  - all:\n      rules: "{selects}"\n', "utf-8")
    kept = '<img alt="dot" src="data:image/gif;base64,R0lGODlhAQABAAAAACw=">'
    page = f"<html><head>{markup}</head><body><h1>t</h1>{markup}{kept}</body></html>"

    picture = Picture(render_report(analyse_page(FieldExtractor(str(tmp_path / "rules.yaml")), page), "p"))

    assert picture.frame.get("sandbox") == "allow-same-origin"  # scripts off in the frame
    for link in picture.page.xpath("//*[@data-ostrel-href]"):
        assert link.get("data-ostrel-href").startswith("http")  # a link shown, not followed
        del link.attrib["data-ostrel-href"]
    inert = lxml.html.tostring(picture.page, encoding="unicode")
    assert "x.invalid" not in inert and "alert" not in inert
    assert not picture.page.xpath("//@*[starts-with(name(), 'on')]")
    assert picture.page.xpath("//img[@alt='dot']/@src") == ["data:image/gif;base64,R0lGODlhAQABAAAAACw="]
    # A selected element that had to be emptied keeps its mark.
    assert ({element.tag for element in picture.marked()} == {"h1"}) == (selects == "//h1")


@pytest.mark.parametrize("rules, page", [case[1:] for case in ruled_pages()], ids=[case[0] for case in ruled_pages()])
def test_the_pictures_rows_are_those_of_extract(rules, page):
    from ostrel.crawler.field_extractor.cli.report import analyse_page
    from ostrel.crawler.field_extractor.extractor import FieldExtractor

    extractor = FieldExtractor(str(rules))
    text = read(page)

    for de_dup in (True, False):
        report = analyse_page(extractor, text, de_dup)
        assert (report.error, report.mismatch) == (None, None)
        assert [row.values for row in report.rows if row.dropped is None] == extractor.extract(text, de_dup)
        for field in report.fields:  # one element list per value of a list rule
            if field.how == "list":
                assert len(field.row_elements) == len(field.value or [])


@pytest.mark.parametrize(
    "entries",
    [
        "[[1, 2]]",
        "[null]",
        "[{}]",
        '[{a: "x"}]',
        "[{a: {rules: 5}}]",
        '[{a: {rules: "//p", type: attr}}]',
        '[{a: {rules: "//p", type: "link:href"}}]',
        '[{a: {rules: ["//p[1]"]}}]',
        "[{a: {rules: [1, 2]}}]",
        '[{a: {rules: "//p/text()"}}]',
        '[{a: {rules: "//p["}}]',
        '[{a: {rules: "count(//p)"}}]',
        '[{a: {rules: ["//p[1]", "//p[2]"]}, b: {rules: ["//i[1]", "//i[2]"]}}]',
    ],
)
def test_the_picture_of_broken_rules_says_how_extract_fails(tmp_path, entries):
    from ostrel.crawler.field_extractor.cli.report import analyse_page, render_report
    from ostrel.crawler.field_extractor.extractor import FieldExtractor

    (tmp_path / "rules.yaml").write_text(f'value_separator: " "\nrules: {entries}\n', "utf-8")
    extractor = FieldExtractor(str(tmp_path / "rules.yaml"))
    page = "<p>1</p><p class='x'>2</p><i>a</i>"
    try:
        extractor.extract(page)
        failure = None
    except Exception as exc:
        failure = type(exc).__name__

    report = analyse_page(extractor, page)

    # Pictured whatever the rules hold, with extract's own failure on top.
    assert (report.error or "").partition(":")[0] == (failure or "")
    text = Picture(render_report(report, "p")).panel_text()
    assert ("extract fails on this page" in text) == (failure is not None)
