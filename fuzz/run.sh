#!/usr/bin/env bash
# Runs the fuzzers for SECONDS each (default 20), from an empty corpus or
# from fuzz/corpus/<name> when it exists; findings are written to
# build/fuzz/<name>/ and make the script fail.
#
#   fuzz/run.sh [SECONDS] [--asan]
#
# --asan runs them on the sanitizer build that tools/sanitize.sh leaves in
# build/sanitize/tree: memory errors in the native code then abort the run,
# but libFuzzer loses its coverage feedback (the preloaded ASan runtime
# takes over the coverage hooks), so the inputs are mutated blindly.
# PYTHON names the interpreter (default: python3); it needs atheris. The
# fuzzers run as modules from the repository root (python -m fuzz.NAME),
# which is how they find tests/support.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/tools/python.sh"
seconds="${1:-20}"
asan="${2:-}"
cd "$root"

for name in fuzz_components fuzz_extract fuzz_treebuilder fuzz_list_rows fuzz_document; do
    out="$root/build/fuzz/$name$asan"
    mkdir -p "$out"
    args=(-max_total_time="$seconds" -print_final_stats=1 -timeout=60 -artifact_prefix="$out/")
    corpus=()
    if [ -d "$root/fuzz/corpus/$name" ]; then
        corpus=("$root/fuzz/corpus/$name")
    fi
    echo "== $name$asan: $seconds s"
    status=0
    if [ "$asan" = "--asan" ]; then
        env LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" \
            ASAN_OPTIONS="detect_leaks=0:abort_on_error=1" \
            UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
            PYTHONMALLOC=malloc PYTHONPATH="$root/build/sanitize/tree/src" \
            "$python" -m "fuzz.$name" "${args[@]}" -rss_limit_mb=6144 "${corpus[@]}" \
            >"$out/log" 2>&1 || status=$?
    else
        "$python" -m "fuzz.$name" "${args[@]}" "${corpus[@]}" >"$out/log" 2>&1 || status=$?
    fi
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|Done)' "$out/log" || true
    if [ "$status" -ne 0 ] || compgen -G "$out/crash-*" >/dev/null || compgen -G "$out/timeout-*" >/dev/null ||
            compgen -G "$out/oom-*" >/dev/null; then
        tail -n 60 "$out/log" >&2
        echo "fuzz/run.sh: $name found something (exit status $status), see $out" >&2
        exit 1
    fi
done
