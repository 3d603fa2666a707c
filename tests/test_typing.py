"""The type stubs of the native modules: mypy sees their signatures, and
stubtest finds each stubbed name at run time.

Skipped where mypy is not installed (``pip install '.[test]'`` installs it).
"""

import os
import site
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")

import ostrel  # noqa: E402

HERE = Path(__file__).resolve().parent / "typing"
PACKAGE_ROOT = Path(ostrel.__file__).resolve().parents[1]

# Every native module has a stub. stubtest checks that each stubbed class,
# method and module attribute exists at run time and that no public class is
# missing from a stub. It compares the parameters of FieldExtractor's
# methods, which carry a text signature; the other methods are native
# callables without one, so their parameter names and defaults were taken
# from the C++ sources. The abstract methods of quillan and
# ombrel are functools.partial objects (see typing/stubtest-allowlist-before-3.14.txt).
NATIVE_MODULES = [
    "ostrel.crawler.field_extractor.extractor",
    "ostrel.crawler.field_extractor.dravine",
    "ostrel.crawler.field_extractor.html_parsers.quillan",
    "ostrel.crawler.field_extractor.html_parsers.vintor",
    "ostrel.crawler.field_extractor.html_parsers.kestrum",
    "ostrel.crawler.field_extractor.html_parsers.selvane",
    "ostrel.crawler.field_extractor.utils.trummel",
    "ostrel.crawler.field_extractor.utils._treebuilder",
    "ostrel.crawler.field_extractor.pallock.ombrel",
    "ostrel.crawler.field_extractor.pallock.pallock",
]


def run_mypy(*args, cwd):
    """mypy of this interpreter on the package under test: found through its
    py.typed where it is installed, through MYPYPATH in a source tree."""
    env = dict(os.environ)
    installed = str(PACKAGE_ROOT) in map(str, site.getsitepackages())
    if not installed:
        env["MYPYPATH"] = str(PACKAGE_ROOT)
    env["PYTHONPATH"] = os.pathsep.join([str(PACKAGE_ROOT)] + [p for p in [env.get("PYTHONPATH")] if p])
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, env=env, capture_output=True, text=True, timeout=600)


def mypy_strict(tmp_path, source):
    path = tmp_path / "usage.py"
    path.write_text(source, "utf-8")
    return run_mypy(
        "mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"), str(path), cwd=tmp_path
    )


def test_the_native_modules_are_a_typed_package():
    for module in NATIVE_MODULES:
        stub = PACKAGE_ROOT / (module.replace(".", "/") + ".pyi")
        assert stub.is_file(), module
    assert (PACKAGE_ROOT / "ostrel" / "py.typed").is_file()


def test_example_usage_passes_strict_mypy(tmp_path):
    source = (HERE / "example_usage.py").read_text("utf-8")
    result = mypy_strict(tmp_path, source)
    assert result.returncode == 0, result.stdout + result.stderr


PRELUDE = """\
from typing import Any
from ostrel.crawler.field_extractor.extractor import FieldExtractor
from ostrel.crawler.field_extractor.html_parsers import FieldParser, FieldsParser
from ostrel.crawler.field_extractor.pallock import FieldsMatcher
from ostrel.crawler.field_extractor.utils.trummel import TextUtil

class Page:
    def xpath(self, selector: str) -> list[Any]:
        return []

"""


MISUSES = [
    # The arguments and results that the stubs give: each misuse is found.
    ("FieldExtractor(1)", "arg-type"),
    ("FieldExtractor('r.yaml').extract('<p/>', dedup=False)", "call-arg"),
    ("n: int = FieldExtractor('r.yaml').extract('<p/>')", "assignment"),
    ("FieldExtractor('r.yaml').extract('<p/>')[0].upper()", "attr-defined"),
    ("FieldExtractor('r.yaml')._match_fields({'key': 'value'})", "arg-type"),
    ("s: str = FieldParser().parse(Page(), '//p')", "assignment"),
    ("FieldsParser().parse(Page(), ['//a', '//b'], 5)", "arg-type"),
    ("FieldsParser().parse(object(), ['//a', '//b'])", "arg-type"),
    ("a, b = FieldsParser()._extract_rule(['//a', '//b'])", "misc"),
    ("FieldsMatcher().match(1, 'b')", "arg-type"),
    ("TextUtil().normalize_element(None)", "arg-type"),
]


@pytest.fixture(scope="module")
def misuse_report(tmp_path_factory):
    """mypy's output on all the misuses, one a line, checked at once."""
    tmp_path = tmp_path_factory.mktemp("misuse")
    source = PRELUDE + "".join(line + "\n" for line, _ in MISUSES)
    return mypy_strict(tmp_path, source).stdout


@pytest.mark.parametrize("index", range(len(MISUSES)), ids=[line for line, _ in MISUSES])
def test_misuse_is_reported(misuse_report, index):
    line, error = MISUSES[index]
    lineno = PRELUDE.count("\n") + index + 1
    assert any(f":{lineno}: error:" in report and f"[{error}]" in report for report in misuse_report.splitlines()), (
        misuse_report
    )


def allowlists():
    """stubtest's allowlists for this Python: an entry that is not needed
    is an error, so those that only older Pythons need are apart."""
    names = ["stubtest-allowlist.txt"]
    if sys.version_info < (3, 14):
        names.append("stubtest-allowlist-before-3.14.txt")
    return [option for name in names for option in ("--allowlist", str(HERE / name))]


def test_stubtest_finds_every_stubbed_name(tmp_path):
    result = run_mypy(
        "mypy.stubtest",
        "--mypy-config-file",
        os.devnull,
        *allowlists(),
        *NATIVE_MODULES,
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr
