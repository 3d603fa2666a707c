"""Runs of ``extract`` cut short on purpose: the inputs they read, a fault
at the Nth write (SIGKILL, or a full disk) injected by strace where it is
installed and else by the writer's own hook, and what the files hold.
Shared by the crash-consistency tests and ``tools/crash_sweep.py``."""

import gzip
import json
import os
import shutil

from tests.support.cli import RULES, WARC_RESPONSES, page_html, run_cli, write_warc

FORMATS = ("out.jsonl", "out.jsonl.gz", "out.csv", "out.csv.gz")


def write_inputs(folder, pages=12, rows=40, repeats=3):
    """rules.yaml and inputs of ``pages`` pages in one order: a JSON-lines
    file whose urls repeat (a re-crawl: ``repeats`` pages share a url),
    every fifth page one that fails, and two saved pages; returns the input
    names."""
    (folder / "rules.yaml").write_text(RULES, encoding="utf-8")
    lines = []
    for i in range(pages):
        names = [f"n{i}-{j}" for j in range(rows)]
        prices = [str(j) for j in range(rows if i % 5 != 4 else rows + 1)]  # unequal: fails
        url = f"http://shop.example/{i // repeats}"
        lines.append(json.dumps({"url": url, "html": page_html(f"t{i}", names, prices)}, ensure_ascii=False))
    (folder / "pages.jsonl").write_text("\n".join(lines) + "\n", encoding="utf-8")
    (folder / "a.html").write_text(page_html("甲", ["x"], ["1"]), encoding="utf-8")
    (folder / "b.html").write_text(page_html("乙", ["y", "z"], ["2", "3"]), encoding="utf-8")
    return ["a.html", "pages.jsonl", "b.html"]


def write_every_kind(folder):
    """``write_inputs`` and, after them, every other kind of input with its
    quirks: the JSON lines gzipped, lines that are blank, whitespace, CRLF,
    no JSON, no url, a last line without its line break; plain and gzipped
    WARC files; a page with undecodable bytes and a binary one."""
    inputs = write_inputs(folder)
    data = (folder / "pages.jsonl").read_bytes()
    (folder / "again.jsonl.gz").write_bytes(gzip.compress(data[: len(data) // 2 + 1]))
    quirks = [
        json.dumps({"url": "http://q/1", "html": page_html("一", ["a"], ["1"])}, ensure_ascii=False),
        "",
        " \t ",
        json.dumps({"url": "http://q/crlf", "html": page_html("crlf")}) + "\r",
        '{"url": "http://q/cut", "html": "<h1>',
        json.dumps({"html": page_html("no url")}),
        json.dumps({"url": "http://q/last", "html": page_html("last")}),
    ]
    (folder / "quirks.jsonl").write_text("\n".join(quirks), encoding="utf-8")
    write_warc(folder / "crawl.warc", WARC_RESPONSES)
    write_warc(folder / "crawl.warc.gz", WARC_RESPONSES[::-1])
    (folder / "latin.html").write_bytes(b"<meta charset='utf-8'><h1>caf\xe9</h1>")
    (folder / "binary.html").write_bytes(b"\x00\x01\x02\x03")
    return [*inputs, "again.jsonl.gz", "quirks.jsonl", "crawl.warc", "crawl.warc.gz", "latin.html", "binary.html"]


def extract(folder, output, inputs, *options, fault=None, jobs="1"):
    """Run ``extract`` into ``output`` with an errors file, syncing after
    every batch; ``fault`` is (kind, n): "kill" or "enospc" at the main
    process's nth write."""
    argv = [
        "extract", "rules.yaml", *inputs, "-o", output, "--errors", "errors.jsonl",
        "--jobs", jobs, "--chunk-size", "1", "--sync-interval", "0", "-q", *options,
    ]  # fmt: skip
    env = None
    prefix = None
    if fault is not None:
        kind, n = fault
        if shutil.which("strace"):
            action = "signal=KILL" if kind == "kill" else "error=ENOSPC"
            prefix = ["strace", "-qq", "-o", os.devnull, "-e", "trace=write", "-e", f"inject=write:{action}:when={n}"]
        else:
            env = {"OSTREL_EXTRACT_FAULT": f"{kind}:{n}"}
    return run_cli(*argv, cwd=folder, env=env, prefix=prefix)


def contents(folder, output):
    """(output text, errors text) as a reader sees them: gunzipped."""
    raw = (folder / output).read_bytes() if (folder / output).exists() else b""
    text = gzip.decompress(raw) if output.endswith(".gz") and raw else raw
    errors = (folder / "errors.jsonl").read_bytes() if (folder / "errors.jsonl").exists() else b""
    return text.decode("utf-8"), errors.decode("utf-8")


def resume_until_done(folder, output, inputs, most=5):
    """Resume a stopped run until it ends by itself; its exit status."""
    for _ in range(most):
        result = extract(folder, output, inputs, "--resume")
        if result.returncode not in (-9, 3):
            return result
    raise AssertionError(f"no run ended by itself in {most} resumes")
