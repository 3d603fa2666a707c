"""Running the command line in a child interpreter, and the pages, rules
and WARC files the command-line tests give it."""

import io
import json
import os
import subprocess
import sys

RULES = """\
value_separator: " | "
rules:
  - title:
      rules: "//h1"
    site:
      rules: "示例商城"
  - name:
      rules: ["//ul[@id='names']/li[1]", "//ul[@id='names']/li[2]"]
    price:
      rules: ["//ul[@id='prices']/li[1]", "//ul[@id='prices']/li[2]"]
"""


# Under tools/sanitize.sh: the ASan runtime reserves terabytes of address
# space, and aborts the process where an allocation fails.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def page_html(title, names=(), prices=(), head=""):
    def items(id_, texts):
        if not texts:
            return ""
        lis = "".join(f"<li>{text}</li>" for text in texts)
        return f"<ul id='{id_}'>{lis}</ul>"

    return (
        f"<html><head>{head}<title>t</title></head><body>"
        f"<h1>{title}</h1>{items('names', names)}{items('prices', prices)}"
        f"</body></html>"
    )


def rows_for(title, names=(), prices=()):
    rows = [{"title": title, "site": "示例商城"}]
    rows += [{"name": n, "price": p} for n, p in zip(names, prices)]
    return rows


def package_root():
    """The folder holding the ``ostrel`` package that these tests import (the
    worktree's src/ when built in place), so that the child runs that same
    package and not another one installed in the interpreter."""
    import ostrel.crawler.field_extractor as package

    return os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(package.__file__)))))


def run_python(argv, cwd=None, env=None, input=None, prefix=None, memory=None):
    """The interpreter of the tests run with ``argv``, on the package the
    tests import; the child's environment is this one's plus ``env``;
    ``prefix`` is a command that runs it (strace ...); its address space is
    at most ``memory`` bytes when given (not under AddressSanitizer, whose
    runtime reserves terabytes of address space as it starts)."""
    if memory is not None and UNDER_ASAN:
        import pytest

        pytest.skip("an address-space cap leaves AddressSanitizer's runtime no room")
    full_env = dict(os.environ)
    full_env.pop("PYTHONIOENCODING", None)
    full_env["PYTHONPATH"] = os.pathsep.join(filter(None, [package_root(), full_env.get("PYTHONPATH")]))
    full_env.update(env or {})
    return subprocess.run(
        [*(prefix or ()), sys.executable, *argv],
        cwd=cwd,
        env=full_env,
        capture_output=True,
        input=input,
        timeout=300,
        preexec_fn=None if memory is None else lambda: _cap_memory(memory),
    )


def _cap_memory(memory):
    import resource

    resource.setrlimit(resource.RLIMIT_AS, (memory, memory))


def on_a_terminal(*args, cwd=None):
    """(exit status, what it showed) of the command line run with ``args``
    and its stderr on a terminal of 24 x 120 (stdout and stdin closed)."""
    import fcntl
    import pty
    import struct
    import termios

    controller, terminal = pty.openpty()
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 120, 0, 0))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [package_root(), env.get("PYTHONPATH")]))
    process = subprocess.Popen(
        [sys.executable, "-m", "ostrel.crawler.field_extractor", *args],
        stdout=subprocess.DEVNULL,
        stdin=subprocess.DEVNULL,
        stderr=terminal,
        env=env,
        cwd=cwd,
    )
    os.close(terminal)
    shown = b""
    try:
        while True:  # read as it comes, so that the child never blocks
            try:
                data = os.read(controller, 65536)
            except OSError:  # EIO: the child closed its end
                break
            if not data:
                break
            shown += data
    finally:
        os.close(controller)
        returncode = process.wait(timeout=300)
    return returncode, shown.decode("utf-8")


def run_cli(*args, cwd=None, env=None, input=None, prefix=None, memory=None):
    return run_python(
        ["-m", "ostrel.crawler.field_extractor", *args], cwd=cwd, env=env, input=input, prefix=prefix, memory=memory
    )


def records_of(text):
    return [json.loads(line) for line in text.splitlines()]


def output_of(result):
    """The JSON-lines records a finished run wrote on stdout."""
    return records_of(result.stdout.decode("utf-8"))


def summary_of(result):
    """The last line of a finished run's stderr: its summary."""
    lines = result.stderr.decode("utf-8").splitlines()
    assert lines, "no summary line"
    return lines[-1]


def write_warc(path, responses, compress=None):
    """A WARC file of (url, status, content type, body bytes) responses,
    each preceded by its request record, as a crawler writes them."""
    compress = str(path).endswith(".gz") if compress is None else compress
    with open(path, "wb") as stream:
        write_warc_stream(stream, responses, compress)


def write_warc_stream(stream, responses, compress):
    """``write_warc`` to a binary stream."""
    from warcio.statusandheaders import StatusAndHeaders
    from warcio.warcwriter import WARCWriter

    writer = WARCWriter(stream, gzip=compress)
    for url, status, content_type, body in responses:
        request = StatusAndHeaders("GET / HTTP/1.1", [("Host", "shop.example")], is_http_request=True)
        writer.write_record(writer.create_warc_record(url, "request", http_headers=request))
        headers = StatusAndHeaders(
            f"{status} X", [("Content-Type", content_type), ("Content-Length", str(len(body)))], protocol="HTTP/1.1"
        )
        writer.write_record(writer.create_warc_record(url, "response", payload=io.BytesIO(body), http_headers=headers))


# Chinese that GBK can encode, Japanese that Shift_JIS can encode.
GBK_TITLE = "机械键盘 – 中文"
SJIS_TITLE = "日本語のページ"

WARC_RESPONSES = [
    ("http://shop.example/1", 200, "text/html; charset=utf-8", page_html("第一", ["a"], ["1"]).encode("utf-8")),
    # Skipped: an image, an error page, a redirect.
    ("http://shop.example/logo.png", 200, "image/png", b"\x89PNG\r\n"),
    ("http://shop.example/missing", 404, "text/html", page_html("Not found").encode("utf-8")),
    ("http://shop.example/old", 301, "text/html", page_html("Moved").encode("utf-8")),
    # Charset given by the HTTP header only.
    ("http://shop.example/gbk", 200, "text/html; charset=GBK", page_html(GBK_TITLE).encode("gbk")),
    # Charset given by the markup only.
    (
        "http://shop.example/sjis",
        200,
        "application/xhtml+xml",
        page_html(SJIS_TITLE, head='<meta charset="shift_jis">').encode("shift_jis"),
    ),
]
WARC_EXPECTED = [
    ("http://shop.example/1", rows_for("第一", ["a"], ["1"])),
    ("http://shop.example/gbk", rows_for(GBK_TITLE)),
    ("http://shop.example/sjis", rows_for(SJIS_TITLE)),
]


# -- Damaged inputs ------------------------------------------------------------

DAMAGES = ("cut", "flip", "hole", "member")


def _padded_page(i):
    """A page of about 9 KB that compresses little (so that a 4 KB hole
    stays inside its gzip member)."""
    import base64
    import random

    noise = base64.b64encode(random.Random(i).randbytes(6000)).decode("ascii")
    return page_html(f"t{i}", head=f"<!-- {noise} -->")


def _damage(data, damage):
    """``data`` with ``damage``: cut in its middle, 200 bytes flipped, a
    4 KB hole in its middle, or bytes 2 to 10 (of a gzip member's header:
    a method that is not deflate) overwritten."""
    middle = len(data) // 2
    if damage == "cut":
        return data[:middle]
    if damage == "flip":
        return data[: middle - 100] + bytes(b ^ 0xFF for b in data[middle - 100 : middle + 100]) + data[middle + 100 :]
    if damage == "hole":
        return data[: middle - 2048] + data[middle + 2048 :]
    return data[:2] + b"\x00" + b"\xff" * 7 + data[10:]


def damaged_input(folder, kind, damage, count=24):
    """An input of ``count`` pages (``kind``: warc, warc.gz, jsonl,
    jsonl.gz, html.gz: a folder of gzipped pages) with ``damage`` (see
    ``_damage``) in the stretch of page 5, or for a cut, page 10 and after.

    Returns (input path, {page id: title} of the pages that must be read
    whole, page ids that may be lost with the damage). A WARC file holds a request
    and a response per page; a gzipped WARC a gzip member per record; a
    gzipped JSON-lines file a gzip member per 4 lines, as writers that
    flush as they go make them. A flip in a WARC file hits the response
    header of page 5."""
    import gzip as gz

    hit = 10 if damage == "cut" else 5
    if kind == "html.gz":
        folder = os.path.join(folder, "site")
        os.mkdir(folder)
        ids = []
        for i in range(count):
            path = os.path.join(folder, f"p{i:02}.html.gz")
            data = gz.compress(_padded_page(i).encode("utf-8"))
            if i == hit:
                data = _damage(data, damage)
            with open(path, "wb") as stream:
                stream.write(data)
            ids.append(path)
        return folder, {p: f"t{i}" for i, p in enumerate(ids) if i != hit}, {ids[hit]}
    urls = [f"http://shop.example/{i}" for i in range(count)]
    if kind.startswith("warc"):
        compress = kind.endswith(".gz")
        parts = []
        for url, i in zip(urls, range(count)):
            buffer = io.BytesIO()
            body = _padded_page(i).encode("utf-8")
            write_warc_stream(buffer, [(url, 200, "text/html; charset=utf-8", body)], compress)
            request, response = _records_of(buffer.getvalue(), compress)
            parts += [request, response]
        target = 2 * hit + 1
        part = parts[target]
        if damage == "flip" and not compress:  # in the response's header
            parts[target] = part[:12] + bytes(b ^ 0xFF for b in part[12:212]) + part[212:]
        elif damage == "cut" and not compress:  # inside the response's header
            parts[target] = part[:40]
        else:
            parts[target] = _damage(parts[target], damage)
        path = os.path.join(folder, f"crawl.{kind}")
    else:
        lines = [
            (json.dumps({"url": url, "html": _padded_page(i)}) + "\n").encode("utf-8") for i, url in enumerate(urls)
        ]
        if kind == "jsonl" and damage == "hole":
            # A hole inside a string leaves valid JSON; this one runs from
            # line 5's text into line 6's first key.
            lines[hit : hit + 2] = [lines[hit][:-4093] + lines[hit + 1][3:]]
            parts, target = lines, len(lines)
        elif kind == "jsonl":
            parts = lines
            target = hit
        else:
            parts = [gz.compress(b"".join(lines[i : i + 4])) for i in range(0, count, 4)]
            target = hit // 4
        if target < len(parts):
            parts[target] = _damage(parts[target], damage)
        path = os.path.join(folder, f"pages.{kind}")
    if damage == "cut":
        parts = parts[: target + 1]
    with open(path, "wb") as stream:
        stream.write(b"".join(parts))
    lost = {hit}
    if kind == "jsonl" and damage == "hole":
        lost = {hit, hit + 1}
    if kind == "jsonl.gz":
        lost = set(range(4 * target, 4 * target + 4))
    if damage == "cut":
        lost = set(range(min(lost), count))
    return path, {url: f"t{i}" for i, url in enumerate(urls) if i not in lost}, {urls[i] for i in lost}


def _records_of(data, compress):
    """The two records (request, response) of a WARC file's bytes."""
    if compress:
        import zlib

        first = zlib.decompressobj(31)
        first.decompress(data)
        rest = first.unused_data
        return data[: len(data) - len(rest)], rest
    second = data.index(b"WARC/1.", 1)
    return data[:second], data[second:]


# -- Inputs over the limits ------------------------------------------------------

OVERSIZED = ("gzip-bomb", "page", "stdin-page", "json-line", "warc-record")


def oversized_input(folder, kind):
    """An input with one page over a limit of 64 KiB between two pages
    within it: a gzip bomb (a page of 256 MiB in 256 KiB), a plain page, the
    same on standard input, a JSON line, a WARC response record (beside a
    large image record, which is skipped).

    Returns (arguments, standard input or None, {page id: title} of the
    pages read whole, page id of the page over the limit, the option named
    in its error)."""
    import gzip as gz

    big = page_html("big", head="<!--" + "x" * (256 << 10) + "-->").encode("utf-8")
    small = [page_html("a").encode("utf-8"), page_html("b").encode("utf-8")]
    if kind in ("gzip-bomb", "page"):
        paths = [os.path.join(folder, name) for name in ("a.html", "big.html.gz", "b.html")]
        if kind == "gzip-bomb":
            body = gz.compress(b"<html><body><h1>big</h1><p>" + b"x" * (256 << 20), 9)
        else:
            body = big
        for path, data in zip(paths, [small[0], body, small[1]]):
            with open(path, "wb") as stream:
                stream.write(data)
        return [*paths, "--max-page-bytes", "64K"], None, {paths[0]: "a", paths[2]: "b"}, paths[1], "--max-page-bytes"
    if kind == "stdin-page":
        return ["-", "--max-page-bytes", "64K"], gz.compress(big), {}, "-", "--max-page-bytes"
    if kind == "json-line":
        path = os.path.join(folder, "pages.jsonl")
        with open(path, "w", encoding="utf-8") as stream:
            for url, html in [("u1", page_html("a")), ("u2", big.decode("utf-8")), ("u3", page_html("b"))]:
                stream.write(json.dumps({"url": url, "html": html}) + "\n")
        return [path, "--max-line-bytes", "64K"], None, {"u1": "a", "u3": "b"}, f"{path}:2", "--max-line-bytes"
    path = os.path.join(folder, "crawl.warc")
    image = ("http://shop.example/big.png", 200, "image/png", b"\x89PNG" + b"\0" * (256 << 10))
    responses = [("http://shop.example/a", 200, "text/html", small[0]), image]
    responses += [
        ("http://shop.example/big", 200, "text/html", big),
        ("http://shop.example/b", 200, "text/html", small[1]),
    ]
    write_warc(path, responses)
    whole = {"http://shop.example/a": "a", "http://shop.example/b": "b"}
    return [path, "--max-record-bytes", "64K"], None, whole, "http://shop.example/big", "--max-record-bytes"


def random_pieces(data, rng):
    """``data`` as (offset, bytes) pieces cut at random places, as a reader
    of a file or pipe may get it."""
    pieces, offset = [], 0
    while offset < len(data):
        step = rng.choice([1, 2, 7, 100, 4096, 70000])
        pieces.append((offset, data[offset : offset + step]))
        offset += step
    return pieces


def random_warc(rng, count=12):
    """The bytes of a WARC file of ``count`` random responses (random
    sizes, status, content types, bodies with CR, LF and ``WARC/1.0``
    inside), and whether it is gzipped."""
    compress = rng.random() < 0.5
    responses = []
    for i in range(count):
        body = bytes(rng.choice(b"ab\r\n<>WARC/1.0 ") for _ in range(rng.choice([0, 1, 50, 5000])))
        kind = rng.choice(["text/html", "image/png", "application/xhtml+xml; charset=utf-8"])
        responses.append((f"http://shop.example/{i}", rng.choice([200, 404]), kind, body))
    stream = io.BytesIO()
    write_warc_stream(stream, responses, compress)
    return stream.getvalue(), compress
