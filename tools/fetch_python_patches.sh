#!/usr/bin/env bash
# Fetches the html.parser of Debian 12's python3.11 security updates that the
# native tree builder has modes for, into build/stdlib/<package version>
# (usr/lib/python3.11/html/ and _markupbase.py), where tests/test_treebuilder_modes.py looks for
# them. Uses apt (apt-get download + dpkg -x); without apt, or when a version
# is no longer on the mirror, says so and goes on: the tests then skip that
# mode with the reason.
#
#   tools/fetch_python_patches.sh [DEST]     (default: build/stdlib)
set -uo pipefail
cd "$(dirname "$0")/.."
dest=${1:-build/stdlib}
versions=(3.11.2-6+deb12u8 3.11.2-6+deb12u9)
if ! command -v apt-get >/dev/null || ! command -v dpkg >/dev/null; then
    echo "fetch_python_patches: no apt-get/dpkg here: skipped"
    exit 0
fi
mkdir -p "$dest"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
updated=
for version in "${versions[@]}"; do
    if [ -f "$dest/$version/usr/lib/python3.11/html/parser.py" ]; then
        echo "fetch_python_patches: $version already in $dest"
        continue
    fi
    if ! (cd "$work" && apt-get download -q "libpython3.11-stdlib=$version" >/dev/null 2>&1); then
        if [ -z "$updated" ]; then
            updated=1
            apt-get update -qq >/dev/null 2>&1 || true
        fi
        if ! (cd "$work" && apt-get download -q "libpython3.11-stdlib=$version" >/dev/null 2>&1); then
            echo "fetch_python_patches: libpython3.11-stdlib=$version not available from apt: skipped"
            continue
        fi
    fi
    deb=$(ls "$work"/libpython3.11-stdlib_*.deb)
    rm -rf "$work/x" && dpkg -x "$deb" "$work/x" && rm -f "$deb"
    # Only the modules the builder follows are kept.
    lib=usr/lib/python3.11
    mkdir -p "$dest/$version/$lib/html"
    for file in html/__init__.py html/entities.py html/parser.py _markupbase.py; do
        cp "$work/x/$lib/$file" "$dest/$version/$lib/$file"
    done
    rm -rf "$work/x"
    echo "fetch_python_patches: $version unpacked into $dest/$version"
done
