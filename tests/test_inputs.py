"""The input side of ``extract`` and ``try``: which files a walk takes,
standard input, JSON-lines layouts, picking one page of a WARC or JSON-lines
file, usage errors of the inputs, and what the progress bar and the summary
say about the input."""

import gzip
import json

import pytest

from ostrel.crawler.field_extractor.cli import sources
from tests.support.cli import (
    DAMAGES,
    OVERSIZED,
    WARC_EXPECTED,
    WARC_RESPONSES,
    damaged_input,
    on_a_terminal,
    output_of,
    oversized_input,
    page_html,
    records_of,
    rows_for,
    run_cli,
    summary_of,
    write_warc,
)

# -- The walk ------------------------------------------------------------------

MIRROR = [
    "index",
    "page.php?id=3",
    "a.HTML",
    "b.html.gz",
    "c.htm",
    "d.XHTML",
    "e.shtml",
    "notes.txt",
    "style.css",
    "shop/item.php",
    "shop/list.html",
    "shop/deep/x.htm",
    "z.jsonl",
]


@pytest.mark.parametrize(
    "include, taken",
    [
        pytest.param(
            None,
            ["a.HTML", "b.html.gz", "c.htm", "d.XHTML", "e.shtml", "shop/deep/x.htm", "shop/list.html", "z.jsonl"],
            id="default",
        ),
        pytest.param(["*"], sorted(MIRROR), id="every-file"),
        pytest.param(["index", "*.php*"], ["index", "page.php?id=3", "shop/item.php", "z.jsonl"], id="base-names"),
        # With a '/', the pattern is matched against the path below the
        # walked directory; '*' crosses '/'.
        pytest.param(["shop/*"], ["shop/deep/x.htm", "shop/item.php", "shop/list.html", "z.jsonl"], id="relative"),
        pytest.param(["SHOP/*.HTM*"], ["shop/deep/x.htm", "shop/list.html", "z.jsonl"], id="any-letter-case"),
        pytest.param(["*.txt"], ["notes.txt", "z.jsonl"], id="jsonl-always"),
    ],
)
def test_walk_takes_the_included_files_and_counts_the_others(tmp_path, include, taken):
    site = tmp_path / "site"
    for name in MIRROR:
        (site / name).parent.mkdir(parents=True, exist_ok=True)
        (site / name).write_text(json.dumps({"html": "x"}) if name.endswith(".jsonl") else "<p>x</p>", "utf-8")
    stats = sources.InputStats()

    tasks = list(sources.iter_tasks([str(site)], stats, include=include))

    ids = [task.page_id for task in tasks]
    taken_ids = [f"{site}/{name}:1" if name.endswith(".jsonl") else f"{site}/{name}" for name in taken]
    assert sorted(ids) == sorted(taken_ids)
    assert stats.ignored_files == len(MIRROR) - len(taken)


def test_walk_reads_gzipped_pages_and_reports_the_ignored_files(tmp_path, rules):
    site = tmp_path / "site"
    site.mkdir()
    (site / "a.HTML").write_text(page_html("大写"), "utf-8")
    (site / "b.html.gz").write_bytes(gzip.compress(page_html("压缩").encode("utf-8")))
    (site / "index").write_text(page_html("no suffix"), "utf-8")
    (site / "page.php?id=3").write_text(page_html("query"), "utf-8")
    given = tmp_path / "given.html.gz"
    given.write_bytes(gzip.compress(page_html("直接").encode("utf-8")))

    result = run_cli("extract", rules, str(site), str(given), "--jobs", "2")
    everything = run_cli("extract", rules, str(site), "--include", "*", "--jobs", "1")

    assert result.returncode == 0, result.stderr
    assert output_of(result) == [
        {"page": str(site / "a.HTML"), "rows": rows_for("大写")},
        {"page": str(site / "b.html.gz"), "rows": rows_for("压缩")},
        {"page": str(given), "rows": rows_for("直接")},
    ]
    assert ", 2 files ignored " in summary_of(result)
    assert [r["page"] for r in output_of(everything)] == [
        str(site / name) for name in ("a.HTML", "b.html.gz", "index", "page.php?id=3")
    ]
    assert "ignored" not in summary_of(everything)


# -- Standard input ------------------------------------------------------------


def _warc_bytes(tmp_path, compress):
    path = tmp_path / "stdin.warc"
    write_warc(path, WARC_RESPONSES, compress=compress)
    return path.read_bytes()


JSONL = (
    json.dumps({"url": "http://x/1", "html": page_html("一")}, ensure_ascii=False)
    + "\n\n"
    + json.dumps({"html": page_html("二")}, ensure_ascii=False)
    + "\n"
).encode("utf-8")
JSONL_EXPECTED = [("http://x/1", rows_for("一")), ("-:3", rows_for("二"))]
PAGE = "\ufeff\n  " + page_html("标准输入")


@pytest.mark.parametrize(
    "data, expected",
    [
        pytest.param(lambda tmp: PAGE.encode("utf-8"), [("-", rows_for("标准输入"))], id="html"),
        pytest.param(lambda tmp: gzip.compress(PAGE.encode("utf-8")), [("-", rows_for("标准输入"))], id="html-gz"),
        pytest.param(lambda tmp: b"  " + JSONL, JSONL_EXPECTED, id="jsonl"),
        pytest.param(lambda tmp: gzip.compress(JSONL), JSONL_EXPECTED, id="jsonl-gz"),
        pytest.param(lambda tmp: _warc_bytes(tmp, False), WARC_EXPECTED, id="warc"),
        pytest.param(lambda tmp: _warc_bytes(tmp, True), WARC_EXPECTED, id="warc-gz"),
    ],
)
@pytest.mark.parametrize("jobs", ["1", "2"])
def test_standard_input_is_known_by_its_first_bytes(tmp_path, rules, data, expected, jobs):
    result = run_cli("extract", rules, "-", "--jobs", jobs, input=data(tmp_path))

    assert result.returncode == 0, result.stderr
    assert [(r["page"], r["rows"]) for r in output_of(result)] == expected


def test_input_format_overrides_the_name_and_the_first_bytes(tmp_path, rules):
    pages = tmp_path / "pages.jsonl"
    pages.write_bytes(JSONL)

    from_stdin = run_cli("extract", rules, "-", "--input-format", "html", input=JSONL)
    from_file = run_cli("extract", rules, str(pages), "--input-format", "html")

    assert [r["page"] for r in output_of(from_stdin)] == ["-"]
    assert [r["page"] for r in output_of(from_file)] == [str(pages)]


# -- JSON-lines layouts --------------------------------------------------------


def test_jsonl_keys_can_be_renamed_and_the_url_is_optional(tmp_path, rules):
    pages = tmp_path / "pages.jsonl"
    pages.write_text(
        json.dumps({"link": "http://x/a", "body": page_html("甲")}, ensure_ascii=False)
        + "\n"
        + json.dumps({"body": page_html("乙")}, ensure_ascii=False)
        + "\n"
        + json.dumps({"link": "http://x/c", "html": page_html("丙")}, ensure_ascii=False)
        + "\n",
        "utf-8",
    )

    result = run_cli("extract", rules, str(pages), "--html-key", "body", "--url-key", "link", "--jobs", "1")

    assert result.returncode == 1
    assert output_of(result) == [
        {"page": "http://x/a", "rows": rows_for("甲")},
        {"page": f"{pages}:2", "rows": rows_for("乙")},
    ]
    (error,) = result.stderr.decode("utf-8").splitlines()[:-1]
    assert error.endswith("http://x/c: ValueError: the page has no body (a string); its keys: link, html")


# -- try on a file of many pages ----------------------------------------------


@pytest.fixture
def many(tmp_path):
    pages = tmp_path / "pages.jsonl"
    pages.write_bytes(JSONL)
    warc = tmp_path / "crawl.warc.gz"
    write_warc(warc, WARC_RESPONSES)
    return {"jsonl": str(pages), "warc": str(warc)}


@pytest.mark.parametrize("kind", ["jsonl", "warc"])
def test_try_on_a_file_of_many_pages_needs_page(tmp_path, rules, many, kind):
    result = run_cli("try", rules, many[kind])

    assert result.returncode == 2
    assert result.stdout == b""
    assert "choose one with --page" in result.stderr.decode("utf-8")


@pytest.mark.parametrize(
    "kind, page, title",
    [
        ("jsonl", "http://x/1", "一"),
        ("jsonl", "{jsonl}:3", "二"),
        ("warc", "http://shop.example/gbk", "机械键盘 – 中文"),
    ],
)
def test_try_page_picks_one_page(tmp_path, rules, many, kind, page, title):
    result = run_cli("try", rules, many[kind], "--page", page.format(**many))

    assert result.returncode == 0, result.stderr
    text = result.stdout.decode("utf-8")
    assert f'-> "{title}"' in text
    assert text.count("rule 0:") == 1


@pytest.mark.parametrize(
    "arguments, message",
    [
        (["{jsonl}", "--page", "http://x/none"], "holds no page 'http://x/none'"),
        (["{html}", "--page", "http://x/1"], "--page picks a page of a WARC or JSON-lines file"),
    ],
)
def test_try_page_usage_errors(tmp_path, rules, many, arguments, message):
    html = tmp_path / "p.html"
    html.write_text(page_html("x"), "utf-8")

    result = run_cli("try", rules, *(argument.format(html=html, **many) for argument in arguments))

    assert result.returncode == 2
    assert message in result.stderr.decode("utf-8")


def test_try_reads_standard_input(rules):
    result = run_cli("try", rules, "-", "--page=-:3", input=gzip.compress(JSONL))

    assert result.returncode == 0, result.stderr
    assert '-> "二"' in result.stdout.decode("utf-8")


# -- Usage errors of the inputs ------------------------------------------------


@pytest.mark.parametrize(
    "inputs, message",
    [
        (["{page}", "missing.html"], "missing.html: no such file or directory"),
        (["missing-dir", "{page}"], "missing-dir: no such file or directory"),
        (["-", "{page}", "-"], "- (standard input) can be read only once"),
    ],
)
def test_input_usage_errors_exit_with_2_before_any_output(tmp_path, rules, inputs, message):
    page = tmp_path / "p.html"
    page.write_text(page_html("x"), "utf-8")
    out = tmp_path / "out.jsonl"

    result = run_cli(
        "extract", rules, *(name.format(page=page) for name in inputs), "-o", str(out), cwd=tmp_path, input=b""
    )

    assert result.returncode == 2
    stderr = result.stderr.decode("utf-8")
    assert "usage:" in stderr and message in stderr
    assert "pages" not in stderr
    assert not out.exists()


def test_try_on_a_missing_page_is_a_usage_error(tmp_path, rules):
    result = run_cli("try", rules, str(tmp_path / "missing.html"))

    assert result.returncode == 2
    assert "no such file or directory" in result.stderr.decode("utf-8")


# -- Undecodable bytes ---------------------------------------------------------


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_summary_counts_pages_with_undecodable_bytes(tmp_path, rules, jobs):
    # Declared UTF-8, stored as GBK: the text has replacement characters.
    wrong = tmp_path / "wrong.html"
    wrong.write_bytes(page_html("中文", head='<meta charset="utf-8">').encode("gbk"))
    right = tmp_path / "right.html"
    right.write_text(page_html("中文"), "utf-8")
    # Valid UTF-8 that holds U+FFFD as text: nothing failed to decode.
    literal = tmp_path / "literal.html"
    literal.write_text(page_html("替换字符 \ufffd 本身"), "utf-8")
    pages = [str(wrong), str(right), str(wrong), str(literal)]

    result = run_cli("extract", rules, *pages, "--jobs", jobs, "--chunk-size", "1", "-v")
    clean = run_cli("extract", rules, str(right), str(literal), "--jobs", jobs)

    assert result.returncode == 0, result.stderr
    assert ", 2 pages with undecodable bytes" in summary_of(result)
    assert "undecodable" not in summary_of(clean)
    # -v names them.
    named = [line for line in result.stderr.decode().splitlines() if "undecodable bytes, replaced" in line]
    assert named == [f"python -m ostrel.crawler.field_extractor: {wrong}: undecodable bytes, replaced by U+FFFD"] * 2
    # The mark is no part of the output.
    assert [set(record) for record in output_of(result)] == [{"page", "rows"}] * 4


# -- Pages that are no HTML pages ------------------------------------------------


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_binary_and_blank_pages_are_skipped_and_counted(tmp_path, rules, jobs):
    pages = {
        "image.html": b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR\x00\x00",
        "blank.html": b" \n\t\r\n ",
        "newline.html": b"\n",
        # NUL bytes in a real page: still a page.
        "nul.html": page_html("有\x00空").encode("utf-8"),
        "good.html": page_html("好").encode("utf-8"),
    }
    for name, data in pages.items():
        (tmp_path / name).write_bytes(data)

    result = run_cli("extract", rules, *pages, "--jobs", jobs, "-v", cwd=tmp_path)

    assert result.returncode == 0, result.stderr
    assert [record["page"] for record in output_of(result)] == ["nul.html", "good.html"]
    assert ", 3 pages skipped (1 binary, 2 empty)" in summary_of(result)
    stderr = result.stderr.decode()
    assert "image.html: skipped: binary: NUL bytes and no markup" in stderr
    assert "blank.html: skipped: empty: nothing but whitespace" in stderr


# -- Progress bar --------------------------------------------------------------


def shown_on_a_terminal(*args):
    """What the command shows on a terminal as its stderr (it must succeed)."""
    returncode, shown = on_a_terminal(*args)
    assert returncode == 0
    return shown


@pytest.mark.parametrize("kind", ["site", "jsonl", "warc"])
def test_progress_bar_shows_the_share_of_the_input_done(tmp_path, rules, kind):
    if kind == "site":
        (tmp_path / "site").mkdir()
        for i in range(5):
            (tmp_path / "site" / f"p{i}.html").write_text(page_html(f"t{i}"), "utf-8")
    elif kind == "jsonl":
        (tmp_path / "jsonl").write_bytes(gzip.compress(JSONL * 20))
    else:
        write_warc(tmp_path / "warc", WARC_RESPONSES, compress=True)
    path = str(tmp_path / kind)

    shown = shown_on_a_terminal("extract", rules, path, "--input-format", "auto" if kind == "site" else kind, "-j", "1")

    assert "100%|" in shown
    assert " pages/s" in shown


# -- Damaged inputs ----------------------------------------------------------------


@pytest.mark.parametrize("damage", DAMAGES)
@pytest.mark.parametrize("kind", ["warc", "warc.gz", "jsonl", "jsonl.gz", "html.gz"])
def test_a_damaged_stretch_is_one_error_and_reading_goes_on_after_it(tmp_path, rules, kind, damage):
    path, whole, lost = damaged_input(str(tmp_path), kind, damage)

    result = run_cli("extract", rules, path, "--jobs", "1", "--errors", str(tmp_path / "errors.jsonl"))

    assert result.returncode == 1, result.stderr
    read = {record["page"]: record["rows"] for record in output_of(result)}
    for page, title in whole.items():
        assert read.pop(page) == rows_for(title), page
    assert set(read) <= lost
    errors = records_of((tmp_path / "errors.jsonl").read_text("utf-8"))
    assert len(errors) == 1, errors
    (error,) = errors
    assert error["page"] in lost or error["page"].startswith(path), error
    if error["page"] == path:  # a damaged stretch of a file of many pages
        assert error["error"] == ("EOFError" if damage == "cut" else "DamagedInput")
        assert error["message"].startswith("at offset "), error


# -- Limits -------------------------------------------------------------------------------

GIB = 1 << 30


@pytest.mark.parametrize("jobs", ["1", "2"])
@pytest.mark.parametrize("kind", OVERSIZED)
def test_a_page_over_a_limit_fails_alone_naming_the_limit(tmp_path, rules, kind, jobs):
    arguments, data, whole, over, option = oversized_input(str(tmp_path), kind)

    # Within 2 GiB of address space: a 256 MiB page decompressed whole
    # would not leave the workers enough to parse it.
    result = run_cli("extract", rules, *arguments, "--jobs", jobs, input=data, memory=2 * GIB)

    assert result.returncode == 1, result.stderr
    assert {record["page"]: record["rows"] for record in output_of(result)} == {
        page: rows_for(title) for page, title in whole.items()
    }
    (failure,) = [line for line in result.stderr.decode("utf-8").splitlines() if ": TooLarge: " in line]
    assert f": {over}: TooLarge: " in failure and f"64 KiB ({option})" in failure, failure


YAML_ALIAS_BOMB = (
    "value_separator: ' '\na: &a ['lol', 'lol', 'lol', 'lol', 'lol', 'lol', 'lol', 'lol', 'lol']\n"
    + "".join(f"{name}: &{name} [{', '.join(['*' + before] * 9)}]\n" for before, name in zip("abcdefgh", "bcdefghi"))
    + "rules:\n  - title: {rules: '//h1'}\n    bomb: {rules: *i}\n"
)


@pytest.mark.parametrize(
    "command, more, status",
    [
        ("extract", ["--jobs", "1"], 2),  # the check before the run refuses the rules
        ("extract", ["--jobs", "1", "--no-check"], 1),  # the page fails
        ("try", [], 1),
    ],
)
def test_rules_built_of_yaml_aliases_stay_small(tmp_path, command, more, status):
    # Nine lines of aliases make a list of 387 million items that share
    # their nine; checking or showing them must not spell them out.
    (tmp_path / "bomb.yaml").write_text(YAML_ALIAS_BOMB, "utf-8")
    page = tmp_path / "p.html"
    page.write_text(page_html("t"), "utf-8")

    result = run_cli(command, str(tmp_path / "bomb.yaml"), str(page), *more, memory=1 * GIB)

    assert result.returncode == status, result.stderr
    stderr = result.stderr.decode("utf-8")
    assert "Traceback" not in stderr and "MemoryError" not in stderr, stderr
    if command == "try":  # the rule is shown, cut short
        assert '  bomb   [[[[[[[[["lol", "lol"' in result.stdout.decode("utf-8")


@pytest.mark.parametrize("seed", range(40))
def test_whole_inputs_read_as_the_plain_readers_read_them(seed):
    # The readers that survive damage must read a whole file exactly as
    # warcio, gzip and a line split do, however the bytes come in.
    import io
    import random

    from warcio.archiveiterator import ArchiveIterator

    from ostrel.crawler.field_extractor.cli import readers
    from tests.support.cli import random_pieces, random_warc

    rng = random.Random(seed)
    data, compress = random_warc(rng)
    plain = gzip.decompress(data) if compress else data
    expected = [
        (r.rec_type, r.rec_headers.get_header("WARC-Target-URI"), r.content_stream().read())
        for r in ArchiveIterator(io.BytesIO(data))
    ]

    pieces = readers.gzip_pieces(io.BytesIO(data), b"WARC/1.") if compress else random_pieces(data, rng)
    if compress:
        assert b"".join(piece for _, piece in readers.gzip_pieces(io.BytesIO(data))) == plain
    got = []
    for offset, record in readers.warc_records(pieces, 1 << 20, compress):
        r = next(iter(ArchiveIterator(io.BytesIO(record))))
        got.append((r.rec_type, r.rec_headers.get_header("WARC-Target-URI"), r.content_stream().read()))
        if not compress:
            assert data[offset : offset + len(record)] == record
    assert got == expected

    text = plain.replace(b"\r", b"")[: rng.randrange(len(plain))]

    def pieces_of(data):
        return random_pieces(data, random.Random(rng.random()))

    split = list(readers.lines(random_pieces(text, rng), 1 << 20))
    assert split == list(enumerate(text.splitlines(keepends=True), 1))
    # Lines by their place (over the limit told by their size, as above).
    spans = readers.lines(pieces_of(text), 99, keep=False)
    got = [(n, s if isinstance(s, int) else (text[s.offset : s.offset + s.length], s.blank)) for n, s in spans]
    lines = [(n, s if isinstance(s, int) else (s, s.isspace())) for n, s in readers.lines(pieces_of(text), 99)]
    assert got == lines
    members = b"".join(gzip.compress(text[i : i + 999]) for i in range(0, len(text), 999))
    assert b"".join(piece for _, piece in readers.gzip_pieces(io.BytesIO(members))) == text


@pytest.mark.parametrize("seed", range(60))
def test_damage_anywhere_loses_only_the_records_it_touches(seed):
    # A cut, a hole or flipped bytes at a random place of a WARC file: every
    # record clear of the damage is read, byte for byte, and a lost record
    # is reported where that can be told; a cut, or any damage to a gzipped
    # file, never yields a record whose block was not written.
    import io
    import random

    from ostrel.crawler.field_extractor.cli import readers
    from tests.support.cli import random_pieces, random_warc

    rng = random.Random(seed)
    data, compress = random_warc(rng, count=8)

    def read(data):
        pieces = readers.gzip_pieces(io.BytesIO(data), b"WARC/1.") if compress else random_pieces(data, rng)
        return list(readers.warc_records(pieces, 1 << 20, compress))

    records = read(data)
    starts = [offset for offset, _ in records] + [len(data)]
    spans = [(start, end, record) for (start, record), end in zip(records, starts[1:])]
    if not compress:
        assert [end - start for start, end, record in spans] == [len(record) for _, _, record in spans]
    damage = rng.choice(["cut", "hole", "flip"])
    at = rng.randrange(len(data))
    length = len(data) - at if damage == "cut" else rng.choice([1, 100, 4096])
    if damage == "cut":
        damaged = data[:at]
    elif damage == "hole":
        damaged = data[:at] + data[at + length :]
    else:
        damaged = data[:at] + bytes(b ^ 0xFF for b in data[at : at + length]) + data[at + length :]

    got = read(damaged)

    read_records = [item[1] for item in got if not isinstance(item, readers.Damage)]
    reports = [item for item in got if isinstance(item, readers.Damage)]
    clear = [record for start, end, record in spans if end <= at or start >= at + length]
    touched = [record for start, end, record in spans if not (end <= at or start >= at + length)]
    for record in clear:
        assert record in read_records
    if compress or damage == "cut":
        blocks = [record.split(b"\r\n\r\n", 1)[1] for _, _, record in spans]
        assert all(record.split(b"\r\n\r\n", 1)[1] in blocks for record in read_records)
    read_blocks = [record.split(b"\r\n\r\n", 1)[1] for record in read_records]
    lost = [record for record in touched if record.split(b"\r\n\r\n", 1)[1] not in read_blocks]
    # Without a CRC (a plain file), flipped bytes in a block cannot be
    # told, nor a hole that splices two records' headers into one that
    # reads as whole; a cut (but between two records) or a one-byte hole
    # always can.
    if lost and at not in starts and (compress or damage == "cut" or (damage, length) == ("hole", 1)):
        assert reports, (damage, at, length)


@pytest.mark.parametrize("change, failing", [("none", []), ("appended", []), ("cut", [3]), ("longer", [1, 2, 3])])
def test_a_line_read_by_its_offset_is_the_line_split_or_an_error(tmp_path, change, failing):
    # Workers read the lines of a plain JSON-lines file again by their
    # place; a file changed meanwhile fails the lines no longer there.
    path = tmp_path / "pages.jsonl"
    lines = [json.dumps({"url": f"u{i}", "html": page_html(f"t{i}")}) + "\n" for i in range(3)]
    path.write_text("".join(lines) + " \n", encoding="utf-8")
    tasks = list(sources.jsonl_tasks(str(path), keys=("html", "url"), by_offset=True))
    assert [type(task) for task in tasks] == [sources.JsonLineAt] * 3
    changed = {"none": lines, "appended": [*lines, "{}\n"], "cut": [*lines[:2], lines[2][:-9]]}
    path.write_text("".join(changed.get(change, ["\n", *lines])), encoding="utf-8")

    records = [sources.extract_task(None, task) if task.lineno in failing else task.load() for task in tasks]

    for task, record in zip(tasks, records):
        if task.lineno in failing:
            assert (record["page"], record["error"]) == (task.page_id, "ChangedInput")
        else:
            assert record == (f"u{task.lineno - 1}", page_html(f"t{task.lineno - 1}"))


@pytest.mark.parametrize("seed", range(16))
def test_warc_responses_read_where_they_are_extracted_give_the_same_records(tmp_path, rules, seed, monkeypatch):
    # Workers read a response's body themselves (a plain file's by its
    # place): the records are those of bodies read here, errors and limits
    # included, and a file changed meanwhile fails its records.
    import random

    from ostrel.crawler.field_extractor.extractor import FieldExtractor
    from tests.support.cli import random_warc

    rng = random.Random(seed)
    data, compress = random_warc(rng)
    path = tmp_path / ("crawl.warc.gz" if compress else "crawl.warc")
    path.write_bytes(data[: rng.randrange(len(data) // 2, len(data) + 1)])  # often cut short
    monkeypatch.setattr(sources, "LIMITS", sources.Limits(page_bytes=2000))  # some bodies are over it
    extractor = FieldExtractor(rules)

    def records(by_offset):
        stats = sources.InputStats()
        tasks = list(sources.warc_tasks(str(path), stats, by_offset=by_offset))
        got = [sources.extract_task(extractor, task) for task in tasks]
        return tasks, [(record, getattr(record, "undecodable", False)) for record in got], stats.skipped_records

    _, here, skipped = records(False)
    tasks, deferred, skipped_deferred = records(True)
    assert (deferred, skipped_deferred) == (here, skipped)
    responses = [task for task in tasks if isinstance(task, sources.WarcResponse)]
    assert all((task.data is None) != compress for task in responses)
    if not compress:
        path.write_bytes(b"\r\n" + path.read_bytes())
        assert {sources.extract_task(extractor, task)["error"] for task in responses} <= {"ChangedInput"}
