#!/usr/bin/env bash
# Builds the extension modules with AddressSanitizer + UndefinedBehaviorSanitizer
# into a copy of the source tree (build/sanitize/tree, so the normal build and
# any in-place modules in src/ are left alone) and runs the test suite on it.
# A memory error or undefined behaviour aborts the interpreter and fails the run.
#
#   tools/sanitize.sh [pytest arguments...]
#
# PYTHON names the interpreter (default: python3); it needs pybind11, cmake,
# ninja and the test dependencies. The interpreter itself is not built with
# ASan, so the ASan runtime is preloaded.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/tools/python.sh"
work="$root/build/sanitize"
tree="$work/tree"

# Fresh copy of the sources (no build products, no virtualenvs, no git data).
rm -rf "$tree"
mkdir -p "$tree"
(cd "$root" && tar --exclude=./build --exclude=./.venv --exclude='./.venv-*' --exclude=./.git --exclude='*.so' \
    --exclude=__pycache__ --exclude=.pytest_cache -cf - .) | tar -C "$tree" -xf -

cmake -S "$tree" -B "$work/build" -G Ninja \
    -DOSTREL_SANITIZE=ON -DOSTREL_INPLACE=ON -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" \
    -DPython_EXECUTABLE="$python" \
    -Dpybind11_DIR="$("$python" -m pybind11 --cmakedir)" >/dev/null
cmake --build "$work/build"

libasan="$(g++ -print-file-name=libasan.so)"
libstdcxx="$(g++ -print-file-name=libstdc++.so)"
for lib in "$libasan" "$libstdcxx"; do
    if [ ! -e "$lib" ]; then
        echo "sanitize.sh: $lib not found (g++ -print-file-name)" >&2
        exit 1
    fi
done
logs="$work/logs"
rm -rf "$logs"
mkdir -p "$logs"

cd "$tree"
# libstdc++ is preloaded with the ASan runtime so that ASan finds the real
# __cxa_throw (the interpreter itself does not link libstdc++).
# detect_leaks=0: the interpreter keeps its own objects until exit.
# allocator_may_return_null=1: an allocation past a memory cap fails as it
# does without ASan (a MemoryError), instead of aborting the process.
# PYTHONMALLOC=malloc: every Python object comes from malloc, so ASan also
# sees overflows into the objects the modules read and write.
# Reports go to files as well as stderr: pytest captures stderr, and the
# subprocesses of the command-line tests have their own. The tests that read
# the page corpus find it beside the original tree, not beside the copy, and
# those of the tree builder's html.parser modes the sources that
# tools/fetch_python_patches.sh put in the original build/stdlib.
status=0
env LD_PRELOAD="$libasan $libstdcxx" \
    ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:abort_on_error=1:log_path=$logs/asan" \
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$logs/ubsan" \
    PYTHONMALLOC=malloc PYTHONPATH="$tree/src" \
    OSTREL_CORPUS="${OSTREL_CORPUS:-$root/../shared/corpus}" \
    OSTREL_STDLIB_PATCHES="${OSTREL_STDLIB_PATCHES:-$root/build/stdlib}" \
    "$python" -m pytest -q -p no:cacheprovider "$@" tests || status=$?
if compgen -G "$logs/*" >/dev/null; then
    echo "sanitize.sh: sanitizer reports:" >&2
    cat "$logs"/* >&2
    status=1
fi
exit "$status"
