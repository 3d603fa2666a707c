"""Nasty pages: each is generated, then extracted with a small rules file in
a fresh interpreter, so that its peak memory (ru_maxrss) is its own. Prints
one line per page: size, outcome (rows, or the exception's type), peak
resident memory and time.

    python tests/support/hostile_pages.py                # every page
    python tests/support/hostile_pages.py --smoke        # the small ones only
    python tests/support/hostile_pages.py --smoke --one-process   # ... all in one interpreter
    python tests/support/hostile_pages.py --case NAME    # one page, in this process
    python tests/support/hostile_pages.py --list

A page that kills its interpreter (a signal, say a stack overflow in the
document library) is reported as "died" with the signal, and the script
exits with status 1.
"""

import argparse
import encodings.aliases
import json
import os
import random
import resource
import subprocess
import sys
import tempfile
import time

MB = 2**20

RULES = {
    "value_separator": " | ",
    "rules": [
        {"title": {"rules": "//title"}, "heading": {"rules": "//h1"}, "site": {"rules": "shop"}},
        {"link": {"rules": "//a", "type": "attr:href"}},
        {"item": {"rules": ["//ul/li[1]", "//ul/li[2]"]}, "price": {"rules": ["//ul/li[1]/b", "//ul/li[2]/b"]}},
        {"body": {"rules": "//body"}},
    ],
}

GOOD_PAGE = (
    "<html><head><title>t</title></head><body><h1>h</h1><a href='/x'>x</a>"
    "<ul><li>a<b>1</b></li><li>b<b>2</b></li></ul></body></html>"
)


def wrap(body, head=""):
    return f"<html><head>{head}<title>nasty</title></head><body>{body}</body></html>"


def garbage(size, seed=1):
    return random.Random(seed).randbytes(size)


def every_charset():
    """One page per charset name the codecs module knows (and a few it does
    not), each declaring it and holding text written in it."""
    names = sorted(set(encodings.aliases.aliases.values()) | set(encodings.aliases.aliases))
    names += ["x-unknown", "utf-7", "", "\u5317\u4eac", "utf-8\x00", "gb2312;x"]
    pages = []
    for name in names:
        pages.append(
            wrap(
                f"<h1>caf\u00e9 \u5317\u4eac {name}</h1><ul><li>a</li><li>b</li></ul>",
                head=f'<meta charset="{name}"><meta http-equiv="Content-Type" content="text/html; charset={name}">',
            )
        )
    return pages


# name: (builder returning one page text or a list of them, part of the smoke set)
CASES = {
    "empty": (lambda: "", True),
    "whitespace only": (lambda: " \n\t\r\u3000\u00a0" * 10000, True),
    "NUL bytes": (lambda: wrap("<h1>a\x00b</h1>" + "\x00" * 10000 + "<a href='\x00'>x</a>"), True),
    "only NUL bytes": (lambda: "\x00" * 100000, True),
    "lone surrogates": (lambda: wrap("<h1>\ud800 x \udfff</h1><a href='\udc80'>y</a><ul><li>\ud83d</li></ul>"), True),
    "binary garbage (latin-1)": (lambda: garbage(MB).decode("latin-1"), True),
    "binary garbage (surrogateescape)": (lambda: garbage(MB, 2).decode("utf-8", "surrogateescape"), True),
    "binary garbage in markup": (lambda: wrap("<h1>" + garbage(100000, 3).decode("latin-1") + "</h1>"), True),
    "broken entities": (
        lambda: wrap(
            "<h1>&amp &lt;&gt &#xZZ; &#99999999999; &#0; &#xD800; &#x110000; &#; &#x; &nosuch; &amp;amp;"
            "&#65&#x41 &</h1><a href='?a=1&b=2&#0;&#xD800;'>x</a>" * 1000
        ),
        True,
    ),
    "unclosed and stray tags": (
        lambda: (
            "<html><body><ul><li>a<li>b</ul></ul></li><h1>x<h1>y</td></tr>"
            "<table><tr><td>" * 1000 + "</body></html></html>"
        ),
        True,
    ),
    "deep nesting 10,000": (lambda: wrap("<div>" * 10000 + "<h1>deep</h1>" + "</div>" * 10000), True),
    "deep nesting 100,000": (lambda: wrap("<div>" * 100000 + "<h1>deep</h1>" + "</div>" * 100000), False),
    "deep inline nesting 100,000": (lambda: wrap("<b>" * 100000 + "x" + "</b>" * 100000), False),
    "deep list nesting 100,000": (lambda: wrap("<ul><li>" * 100000 + "x" + "</li></ul>" * 100000), False),
    "10,000 attributes on one element": (
        lambda: wrap("<a " + " ".join(f"a{i}='{i}'" for i in range(10000)) + " href='/h'>x</a>"),
        True,
    ),
    "attribute value of 1 MB": (lambda: wrap("<a href='" + "x" * MB + "'>x</a>"), True),
    "attribute value of 10 MB": (lambda: wrap("<a href='" + "x" * (10 * MB) + "'>x</a>"), False),
    "text node of 10 MB": (lambda: wrap("<h1>" + "word " * (2 * MB) + "</h1>"), False),
    "a million sibling elements": (lambda: wrap("<span>x</span>" * 1_000_000), False),
    "10,000 list rows": (lambda: wrap("<ul>" + "<li>row<b>1</b></li>" * 10000 + "</ul>"), False),
    "50 MB page": (
        lambda: wrap("<p>" + ("lorem ipsum <i>dolor</i> sit amet " * 20 + "</p><p>") * 75000 + "</p>"),
        False,
    ),
    "every declared charset": (every_charset, False),
    "some declared charsets": (lambda: every_charset()[::25], True),
}


def extractor():
    from ostrel.crawler.field_extractor.extractor import FieldExtractor

    with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False, encoding="utf-8") as rules:
        json.dump(RULES, rules)
    try:
        return FieldExtractor(rules.name)
    finally:
        os.unlink(rules.name)


def run_case(name):
    """Extracts the case's page(s) here; returns a JSON-ready summary."""
    pages = CASES[name][0]()
    pages = pages if isinstance(pages, list) else [pages]
    ex = extractor()
    start = time.perf_counter()
    outcomes = {}
    rows = 0
    for text in pages:
        try:
            rows += len(ex.extract(text))
            key = "rows"
        except Exception as error:  # noqa: BLE001 - the kind is the outcome
            key = type(error).__name__
        outcomes[key] = outcomes.get(key, 0) + 1
    seconds = time.perf_counter() - start
    # The extractor is still usable.
    assert ex.extract(GOOD_PAGE) == extractor().extract(GOOD_PAGE)
    return {
        "case": name,
        "pages": len(pages),
        "chars": sum(len(p) for p in pages),
        "rows": rows,
        "outcomes": outcomes,
        "seconds": round(seconds, 2),
        "peak_mb": round(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024, 1),
    }


def run_in_subprocess(name, timeout):
    import ostrel

    # The child imports the package from where this interpreter found it.
    env = dict(os.environ)
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(ostrel.__file__)))
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [package_root, env.get("PYTHONPATH")]))
    try:
        done = subprocess.run(
            [sys.executable, os.path.abspath(__file__), "--case", name, "--json"],
            env=env,
            capture_output=True,
            text=True,
            timeout=timeout,
        )
    except subprocess.TimeoutExpired:
        return {"case": name, "died": f"no result within {timeout} s"}
    if done.returncode != 0:
        how = f"signal {-done.returncode}" if done.returncode < 0 else f"exit status {done.returncode}"
        return {"case": name, "died": how, "stderr": done.stderr[-2000:]}
    return json.loads(done.stdout.splitlines()[-1])


def describe(result):
    if "died" in result:
        return f"{result['case']:<36} DIED: {result['died']}"
    outcome = ", ".join(f"{k} x{v}" if result["pages"] > 1 else k for k, v in sorted(result["outcomes"].items()))
    return (
        f"{result['case']:<36} {result['chars'] / MB:8.2f} M chars  {outcome:<24} rows {result['rows']:<7}"
        f" peak {result['peak_mb']:7.1f} MB  {result['seconds']:6.2f} s"
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--case", help="run one case in this process")
    parser.add_argument("--json", action="store_true", help="print JSON lines")
    parser.add_argument("--smoke", action="store_true", help="only the small pages")
    parser.add_argument(
        "--one-process",
        action="store_true",
        help="run the cases one after another in this process (peak memory is cumulative)",
    )
    parser.add_argument("--list", action="store_true", help="list the cases")
    parser.add_argument("--timeout", type=float, default=600, help="seconds allowed per case")
    args = parser.parse_args()

    if args.list:
        print("\n".join(CASES))
        return 0
    if args.case:
        result = run_case(args.case)
        print(json.dumps(result) if args.json else describe(result))
        return 0

    status = 0
    for name, (_, smoke) in CASES.items():
        if args.smoke and not smoke:
            continue
        result = run_case(name) if args.one_process else run_in_subprocess(name, args.timeout)
        status |= "died" in result
        print(json.dumps(result) if args.json else describe(result), flush=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
