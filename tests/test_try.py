"""``try``: what each field yields on one page, dropped rule entries, rows."""

import json

from tests.support.cli import run_cli

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
