"""The html.parser tokenizer of the tree builder, compiled and run on its own.

tests/native/test_html_tokenizer.cpp feeds hand-written pages to the tokenizer
with a recording sink (no BeautifulSoup tree, no lxml) and checks the events;
this test builds it with the C++ compiler, with the module's warning flags as
errors, with AddressSanitizer and UndefinedBehaviorSanitizer where the
compiler has them, and runs it.
"""

import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
TREEBUILDER = ROOT / "src" / "native" / "field_extractor" / "treebuilder"
PROGRAM = ROOT / "tests" / "native" / "test_html_tokenizer.cpp"
SANITIZE = ["-fsanitize=address,undefined", "-fno-sanitize-recover=undefined", "-fno-omit-frame-pointer"]


def compiler():
    for name in (os.environ.get("CXX"), "g++", "c++", "clang++"):
        if name and shutil.which(name):
            return shutil.which(name)
    return None


def python_link_flags():
    """Linker flags for a program that embeds this interpreter."""
    version = sysconfig.get_config_var("LDVERSION") or sysconfig.get_python_version()
    if sysconfig.get_config_var("Py_ENABLE_SHARED"):
        libdir = sysconfig.get_config_var("LIBDIR")
        return ["-L" + libdir, "-lpython" + version, "-Wl,-rpath," + libdir]
    flags = ["-L" + sysconfig.get_config_var("LIBPL"), "-lpython" + version]
    for var in ("LIBS", "SYSLIBS"):
        flags += (sysconfig.get_config_var(var) or "").split()
    return flags


def clean_env():
    # Under tools/sanitize.sh the ASan runtime is preloaded for the
    # interpreter; the compiler and the program get their own.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    # The embedded interpreter finds its standard library beside the base
    # installation, not the virtualenv.
    env["PYTHONHOME"] = os.pathsep.join([sys.base_prefix, sys.base_exec_prefix])
    env["ASAN_OPTIONS"] = "detect_leaks=0"
    return env


def test_tokenizer_events(tmp_path):
    cxx = compiler()
    if cxx is None:
        pytest.skip("no C++ compiler (g++, c++, clang++ or $CXX) to build tests/native/test_html_tokenizer.cpp")
    pybind11 = pytest.importorskip("pybind11", reason="pybind11 headers are needed to build chars.cpp")
    exe = tmp_path / "test_html_tokenizer"
    base = [
        cxx,
        "-std=c++17",
        "-O0",
        "-g1",
        # The module's warning flags, as errors; Python's and pybind11's
        # headers are the system's, as in the module's build.
        "-Wall",
        "-Wextra",
        "-Wconversion",
        "-Wsign-conversion",
        "-Wno-unused-parameter",
        "-Werror",
        "-I" + str(TREEBUILDER),
        "-isystem",
        sysconfig.get_paths()["include"],
        "-isystem",
        pybind11.get_include(),
        str(PROGRAM),
        str(TREEBUILDER / "chars.cpp"),
        "-o",
        str(exe),
    ]
    env = clean_env()
    build = subprocess.run(
        base[:2] + SANITIZE + base[2:] + python_link_flags(), env=env, capture_output=True, text=True
    )
    if build.returncode != 0:  # no sanitizer runtime: build without
        build = subprocess.run(base + python_link_flags(), env=env, capture_output=True, text=True)
    assert build.returncode == 0, build.stderr
    run = subprocess.run([str(exe)], env=env, capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
    assert " 0 failures" in run.stdout
