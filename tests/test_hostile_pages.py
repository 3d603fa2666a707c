"""The small nasty pages of tests/support/hostile_pages.py: each gives rows or a
Python exception, and the extractor stays usable (the script checks that
after every page). They run in a child interpreter, so that a page that
kills the interpreter fails this test instead of the whole run."""

import json
import os
import pathlib
import subprocess
import sys

import ostrel

ROOT = pathlib.Path(__file__).resolve().parent.parent

# Exceptions the document library raises for such pages (the extractor adds
# none of its own here): requests_html fails on an empty document with
# TypeError, cannot encode lone surrogates, and its parser recurses once per
# level of nesting.
ALLOWED = {"rows", "TypeError", "UnicodeEncodeError", "RecursionError", "ValueError"}
WITH_ROWS = [
    "NUL bytes",
    "broken entities",
    "binary garbage in markup",
    "10,000 attributes on one element",
    "attribute value of 1 MB",
    "some declared charsets",
]


def test_small_nasty_pages():
    env = dict(os.environ)
    # The child imports the package from where this interpreter found it.
    package_root = str(pathlib.Path(ostrel.__file__).resolve().parent.parent)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [package_root, env.get("PYTHONPATH")]))
    done = subprocess.run(
        [sys.executable, str(ROOT / "tests" / "support" / "hostile_pages.py"), "--smoke", "--one-process", "--json"],
        env=env,
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert done.returncode == 0, done.stderr[-3000:]
    results = {r["case"]: r for r in map(json.loads, done.stdout.splitlines())}
    assert len(results) >= 10
    for name, result in results.items():
        assert set(result["outcomes"]) <= ALLOWED, (name, result)
    for name in WITH_ROWS:
        assert results[name]["rows"] > 0 and set(results[name]["outcomes"]) == {"rows"}, results[name]
