#!/usr/bin/env bash
# Fetches the html.parser versions that the native tree builder has modes
# for, into build/stdlib/<package version>/usr/lib/pythonX.Y/ (html/ and
# _markupbase.py), where tests/test_treebuilder_modes.py looks for them:
# - Debian 12's python3.11 security updates, through apt (apt-get download +
#   dpkg -x);
# - Debian 13's python3.13 and unstable's python3.14 and python3.15, copied
#   out of the Debian chroots under $OSTREL_CHROOTS (default
#   /var/cache/ostrel-chroots: trixie/ and sid/, as CI makes them).
# Without apt or a chroot, or when a version is no longer on the mirror, it
# says so and goes on: the tests then skip that mode with the reason.
#
#   tools/fetch_python_patches.sh [DEST]     (default: build/stdlib)
set -uo pipefail
cd "$(dirname "$0")/.."
dest=${1:-build/stdlib}
versions=(3.11.2-6+deb12u8 3.11.2-6+deb12u9)
modules="html/__init__.py html/entities.py html/parser.py _markupbase.py"
mkdir -p "$dest"
chroots=${OSTREL_CHROOTS:-/var/cache/ostrel-chroots}
for pair in trixie:3.13 sid:3.14 sid:3.15; do
    root=$chroots/${pair%%:*} python=python${pair##*:}
    status=$root/var/lib/dpkg/status
    if [ ! -f "$root/usr/lib/$python/html/parser.py" ] || [ ! -f "$status" ]; then
        echo "fetch_python_patches: no $python in $root: skipped"
        continue
    fi
    version=$(awk -v p="Package: lib$python-stdlib" '$0 == p {found=1} found && /^Version:/ {print $2; exit}' "$status")
    mkdir -p "$dest/$version/usr/lib/$python/html"
    for file in $modules; do
        cp "$root/usr/lib/$python/$file" "$dest/$version/usr/lib/$python/$file"
    done
    echo "fetch_python_patches: $python $version copied from $root into $dest/$version"
done
if ! command -v apt-get >/dev/null || ! command -v dpkg >/dev/null; then
    echo "fetch_python_patches: no apt-get/dpkg here: Debian 12's updates skipped"
    exit 0
fi
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
    for file in $modules; do
        cp "$work/x/$lib/$file" "$dest/$version/$lib/$file"
    done
    rm -rf "$work/x"
    echo "fetch_python_patches: $version unpacked into $dest/$version"
done
