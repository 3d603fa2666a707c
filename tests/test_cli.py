"""The command line, run as ``python -m ostrel.crawler.field_extractor``."""

import json
from pathlib import Path

import pytest

from tests.support.cli import page_html, rows_for, run_cli


def output_lines(result):
    return [json.loads(line) for line in result.stdout.decode("utf-8").splitlines()]


def stderr_lines_naming(result, text):
    return [line for line in result.stderr.decode("utf-8").splitlines() if text in line]


def test_one_json_line_per_page_in_argument_order(tmp_path, rules):
    (tmp_path / "b.html").write_text(page_html("第二页", ["键盘", "鼠标"], ["¥349", "¥89"]), encoding="utf-8")
    (tmp_path / "a.html").write_text(page_html("First page"), encoding="utf-8")

    result = run_cli(rules, "b.html", "a.html", cwd=tmp_path)

    assert result.returncode == 0, result.stderr
    assert output_lines(result) == [
        {"page": "b.html", "rows": rows_for("第二页", ["键盘", "鼠标"], ["¥349", "¥89"])},
        {"page": "a.html", "rows": rows_for("First page")},
    ]
    assert stderr_lines_naming(result, ".html") == []


def test_page_without_any_row_gives_an_empty_row_list(tmp_path):
    rules = tmp_path / "rules.json"
    rules.write_text('{"value_separator": " ", "rules": [{"title": {"rules": "//h1"}}]}')
    page = tmp_path / "empty.html"
    page.write_text("<html><body><p>nothing here</p></body></html>")

    result = run_cli(str(rules), str(page))

    assert result.returncode == 0, result.stderr
    assert output_lines(result) == [{"page": str(page), "rows": []}]


# The output is UTF-8 JSON whatever encoding the interpreter would pick for
# stdout, so a consumer never has to guess.
@pytest.mark.parametrize("env", [{}, {"PYTHONIOENCODING": "ascii"}, {"PYTHONIOENCODING": "latin-1"}])
def test_non_ascii_is_written_as_itself(tmp_path, rules, env):
    page = tmp_path / "页面.html"
    page.write_text(page_html("耳机 – “降噪” ✓"), encoding="utf-8")

    result = run_cli(rules, str(page), env=env)

    assert result.returncode == 0, result.stderr
    assert "耳机 – “降噪” ✓".encode() in result.stdout
    assert "页面.html".encode() in result.stdout
    assert b"\\u" not in result.stdout
    assert output_lines(result)[0]["rows"] == rows_for("耳机 – “降噪” ✓")


# Text that GB2312 and Big5 can both encode.
CHINESE = "商品名：中文 12.5 元"


@pytest.mark.parametrize(
    "data",
    [
        pytest.param(page_html(CHINESE).encode("utf-8"), id="utf-8"),
        pytest.param(b"\xef\xbb\xbf" + page_html(CHINESE).encode("utf-8"), id="utf-8-bom"),
        # Saved as UTF-8 while the markup still names the server's charset.
        pytest.param(page_html(CHINESE, head='<meta charset="gb2312">').encode("utf-8"), id="utf-8-declared-gb2312"),
        pytest.param(
            page_html(CHINESE, head=('<meta http-equiv="Content-Type" content="text/html; charset=GBK">')).encode(
                "utf-8"
            ),
            id="utf-8-declared-gbk-http-equiv",
        ),
        # Really stored in the declared legacy charset.
        pytest.param(page_html(CHINESE, head='<meta charset="gb2312">').encode("gb2312"), id="gb2312"),
        pytest.param(page_html(CHINESE, head="<meta charset='big5'>").encode("big5"), id="big5"),
        pytest.param(page_html(CHINESE).encode("utf-16"), id="utf-16-bom"),
    ],
)
def test_page_text_is_decoded_correctly(tmp_path, rules, data):
    page = tmp_path / "page.html"
    page.write_bytes(data)

    result = run_cli(rules, str(page))

    assert result.returncode == 0, result.stderr
    assert output_lines(result) == [{"page": str(page), "rows": rows_for(CHINESE)}]


@pytest.mark.parametrize(
    "data, text",
    [
        pytest.param(b"\xef\xbb\xbf<p>\xe4\xb8\xad</p>", "<p>中</p>", id="bom"),
        # Text whose declaration already fits is passed on untouched.
        pytest.param("<p>中</p>".encode(), "<p>中</p>", id="undeclared"),
        pytest.param(
            '<meta charset="UTF-8"><p>中</p>'.encode(), '<meta charset="UTF-8"><p>中</p>', id="declared-utf-8"
        ),
        pytest.param(
            '<meta charset="gb2312"><p>中</p>'.encode(), '<meta charset="gb2312"><p>中</p>', id="declared-gb2312"
        ),
        pytest.param(
            '<meta charset="gb2312"><p>中</p>'.encode("gb2312"), '<meta charset="gb2312"><p>中</p>', id="gb2312"
        ),
    ],
)
def test_decode_page(data, text):
    from ostrel.crawler.field_extractor.cli.sources import decode_page

    assert decode_page(data) == text


def test_declared_legacy_charset_in_latin_text(tmp_path, rules):
    page = tmp_path / "page.html"
    page.write_bytes(
        page_html(
            "Café crème", head=('<meta http-equiv="content-type" content="text/html; charset=windows-1252">')
        ).encode("cp1252")
    )

    result = run_cli(rules, str(page))

    assert result.returncode == 0, result.stderr
    assert output_lines(result)[0]["rows"] == rows_for("Café crème")


def _make_empty_directory(path):
    # A directory is walked for pages; one without any page is reported.
    path.mkdir()


def _make_unmatched_lists(path):
    # Two names but three prices: the rows cannot be paired.
    path.write_text(page_html("坏页", ["a", "b"], ["1", "2", "3"]), encoding="utf-8")


@pytest.mark.parametrize(
    "make_bad_page, error",
    [
        (_make_empty_directory, "FileNotFoundError"),
        (_make_unmatched_lists, "ValueError"),
    ],
)
def test_failing_page_is_reported_and_the_others_go_on(tmp_path, rules, make_bad_page, error):
    first = tmp_path / "first.html"
    first.write_text(page_html("一", ["x"], ["1"]), encoding="utf-8")
    bad = tmp_path / "bad.html"
    make_bad_page(bad)
    last = tmp_path / "last.html"
    last.write_text(page_html("三"), encoding="utf-8")

    result = run_cli(rules, str(first), str(bad), str(last))

    assert result.returncode == 1
    assert output_lines(result) == [
        {"page": str(first), "rows": rows_for("一", ["x"], ["1"])},
        {"page": str(last), "rows": rows_for("三")},
    ]
    reported = stderr_lines_naming(result, str(bad))
    assert len(reported) == 1
    assert f"{error}: " in reported[0]
    assert stderr_lines_naming(result, str(first)) == []
    assert stderr_lines_naming(result, str(last)) == []
    assert "Traceback" not in result.stderr.decode("utf-8")


def test_every_failing_page_is_reported(tmp_path, rules):
    good = tmp_path / "good.html"
    good.write_text(page_html("好"), encoding="utf-8")
    bad = []
    for i in range(3):
        bad.append(tmp_path / f"bad{i}.html")
        bad[-1].write_text(page_html("坏页", ["a", "b"], ["1"]), encoding="utf-8")
    bad = [str(path) for path in bad]

    result = run_cli(rules, bad[0], str(good), *bad[1:])

    assert result.returncode == 1
    assert [line["page"] for line in output_lines(result)] == [str(good)]
    for path in bad:
        assert len(stderr_lines_naming(result, path)) == 1


@pytest.mark.parametrize(
    "name, text, error",
    [
        ("absent.yaml", None, "FileNotFoundError"),
        ("rules.yaml", "rules:\n  - title: {rules: [//h1\n", "ValueError"),
        ("rules.json", '{"rules": [], ', "ValueError"),
        ("rules.yaml", "- title: {rules: //h1}\n", "ValueError"),
        ("rules.yaml", "value_separator: a\nvalue_separator: b\nrules: []\n", "ValueError"),
        ("rules.yaml", "value_separator: ' '\n", "KeyError"),
        ("rules.yaml", "rules: []\n", "KeyError"),
    ],
)
def test_rules_that_cannot_be_loaded_exit_with_2(tmp_path, name, text, error):
    rules = tmp_path / name
    if text is not None:
        rules.write_text(text, encoding="utf-8")
    page = tmp_path / "page.html"
    page.write_text(page_html("x"), encoding="utf-8")

    result = run_cli(str(rules), str(page))

    assert result.returncode == 2
    assert result.stdout == b""
    reported = stderr_lines_naming(result, str(rules))
    assert len(reported) == 1
    assert f"{error}" in reported[0]
    assert "Traceback" not in result.stderr.decode("utf-8")


def test_help_describes_the_arguments():
    result = run_cli("--help")

    assert result.returncode == 0
    usage = result.stdout.decode("utf-8")
    assert "RULES" in usage and "PAGE" in usage


def test_main_returns_the_exit_status(tmp_path, rules, capsys):
    # The console script calls sys.exit(main()): main must return the status
    # rather than exit itself.
    from ostrel.crawler.field_extractor.cli.main import main

    page = tmp_path / "page.html"
    page.write_text(page_html("标题"), encoding="utf-8")

    assert main([rules, str(page)]) == 0
    assert json.loads(capsys.readouterr().out) == {"page": str(page), "rows": rows_for("标题")}

    bad = tmp_path / "bad.html"
    bad.write_text(page_html("坏页", ["a", "b"], ["1"]), encoding="utf-8")
    assert main([rules, str(page), str(bad)]) == 1
    assert main([rules, str(page), str(tmp_path / "missing.html")]) == 2
    assert main([str(tmp_path / "missing.yaml"), str(page)]) == 2


EXAMPLES = Path(__file__).resolve().parents[1] / "examples"


def test_examples_run():
    pages = sorted((EXAMPLES / "pages").glob("*.html"))
    result = run_cli(str(EXAMPLES / "rules.yaml"), *map(str, pages))

    assert result.returncode == 0, result.stderr
    rows = {Path(line["page"]).name: line["rows"] for line in output_lines(result)}
    assert {name: [(row["section"], row["sku"]) for row in page_rows] for name, page_rows in rows.items()} == {
        "cables.html": [
            ("listing", "NORDLYS-A4"),
            ("listing", "ACME-C2M"),
            ("listing", "GIFT-100"),
            ("featured", "NORDLYS-A4"),
        ],
        "headphones.html": [
            ("listing", "ACME-H100"),
            ("listing", "NORDLYS-E2"),
            ("listing", "ACME-S3"),
            ("listing", "GIFT-100"),
            ("featured", "ACME-H100"),
            ("recommended", "ACME-B7"),
            ("recommended", "NORDLYS-C1"),
        ],
        "keyboards.html": [
            ("listing", "ACME-K87"),
            ("listing", "NORDLYS-K60"),
            ("recommended", "ACME-M5"),
            ("recommended", "GIFT-200"),
            ("recommended", "NORDLYS-W2"),
        ],
    }
    # Declared gb2312 but stored as UTF-8: the Chinese text survives.
    assert rows["keyboards.html"][0]["name"] == "艾克美 机械键盘 K87 青轴"
    assert rows["keyboards.html"][0]["tags"] == "热卖 | 包邮 | 赠键帽"
    assert rows["headphones.html"][4]["url"] == "/item/ACME-H100?from=featured"


# Rules that fail every page: extract stops before it opens its output.
STOPPING_RULES = [
    pytest.param({"title": {"rule": "//h1"}}, "did you mean 'rules'?", "KeyError", id="rule-for-rules"),
    pytest.param({"title": {"rules": "//h1[has-class('x')]"}}, "calls has-class()", "XPathEvalError", id="unknown-fn"),
    pytest.param({"title": {"rules": "//h1["}}, "does not compile", "XPathEvalError", id="syntax"),
    pytest.param({"title": {"rules": "//h1/node()"}}, "selects text", "AttributeError", id="node-step"),
    pytest.param({"title": {"rules": "//h1/text() | //h1"}}, "selects text", "AttributeError", id="union-text"),
    pytest.param({"title": {"rules": "//h1/@class | //h1"}}, "selects text", "AttributeError", id="union-attr"),
]


@pytest.mark.parametrize("entry, words, error", STOPPING_RULES)
def test_rules_that_fail_every_page_stop_the_run(tmp_path, entry, words, error):
    rules = tmp_path / "rules.json"
    rules.write_text(json.dumps({"value_separator": " ", "rules": [entry]}))
    page = tmp_path / "page.html"
    page.write_text("<html><body><h1 class='t'>Title</h1></body></html>")
    out = tmp_path / "out" / "rows.jsonl"
    out.parent.mkdir()

    stopped = run_cli("extract", str(rules), str(page), "-o", str(out))

    assert stopped.returncode == 2
    assert not out.exists()
    err = stopped.stderr.decode("utf-8")
    assert words in err and "stopped before the run: 1 problem" in err
    assert "Traceback" not in err
    # Without the check every page fails, as the check said.
    run = run_cli("extract", "--no-check", str(rules), str(page), "-o", str(out))
    assert run.returncode == 1
    assert f"{error}" in run.stderr.decode("utf-8")


# Rules that work, but likely not as meant: one warning at the start, and
# the run goes on.
def _containers(count):
    blocks = "".join(f"<div class='b'><ul><li>m{b}1</li><li>m{b}2</li></ul></div>" for b in range(count))
    return f"<html><body><h1>T</h1>{blocks}</body></html>"


@pytest.mark.parametrize(
    "conf, words",
    [
        pytest.param(
            {"rules": [{"t": {"rules": "//h1"}}], "not_empty_field": ["t"]},
            "warning: unknown top-level key: did you mean 'not_empty_fields'?",
            id="misspelt-optional-key",
        ),
        pytest.param(
            {"rules": [{"t": {"rules": "h1.main-heading span.struct"}}]},
            "warning: 'h1.main-heading span.struct' looks like a CSS selector",
            id="css-selector",
        ),
        pytest.param(
            {"rules": [{"m": {"rules": ["//div/ul/li[1]", "//div/ul/li[2]"]}}]},
            "warning: the list rule's row step //div/ul/li[N] selects 3 elements for row 1 on sample page 1",
            id="rows-in-several-containers",
        ),
    ],
)
def test_rules_warnings_are_printed_once_and_the_run_goes_on(tmp_path, conf, words):
    rules = tmp_path / "rules.json"
    rules.write_text(json.dumps({"value_separator": " | ", **conf}))
    for number in range(4):
        (tmp_path / f"p{number}.html").write_text(_containers(3))

    result = run_cli("extract", "-j", "2", str(rules), str(tmp_path))

    assert result.returncode == 0, result.stderr
    assert len(output_lines(result)) == 4
    assert len(stderr_lines_naming(result, words)) == 1, result.stderr.decode()
    quiet = run_cli("extract", "--no-check", str(rules), str(tmp_path))
    assert stderr_lines_naming(quiet, "warning") == []


def test_arguments_given_the_wrong_way_get_a_hint(tmp_path, rules):
    page = tmp_path / "page.html"
    page.write_text(page_html("x"), encoding="utf-8")

    result = run_cli("extract", str(page), rules)

    assert result.returncode == 2
    hints = stderr_lines_naming(result, "hint:")
    assert hints == [
        f"python -m ostrel.crawler.field_extractor: hint: {page} looks like a page and {rules} like a rules "
        "file; the rules file comes first: extract RULES INPUT..."
    ]
