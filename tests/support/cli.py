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


def run_python(argv, cwd=None, env=None, input=None, prefix=None):
    """The interpreter of the tests run with ``argv``, on the package the
    tests import; the child's environment is this one's plus ``env``;
    ``prefix`` is a command that runs it (strace ...)."""
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
    )


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


def run_cli(*args, cwd=None, env=None, input=None, prefix=None):
    return run_python(["-m", "ostrel.crawler.field_extractor", *args], cwd=cwd, env=env, input=input, prefix=prefix)


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
    from warcio.statusandheaders import StatusAndHeaders
    from warcio.warcwriter import WARCWriter

    compress = str(path).endswith(".gz") if compress is None else compress
    with open(path, "wb") as stream:
        writer = WARCWriter(stream, gzip=compress)
        for url, status, content_type, body in responses:
            request = StatusAndHeaders("GET / HTTP/1.1", [("Host", "shop.example")], is_http_request=True)
            writer.write_record(writer.create_warc_record(url, "request", http_headers=request))
            headers = StatusAndHeaders(
                f"{status} X", [("Content-Type", content_type), ("Content-Length", str(len(body)))], protocol="HTTP/1.1"
            )
            writer.write_record(
                writer.create_warc_record(url, "response", payload=io.BytesIO(body), http_headers=headers)
            )


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
