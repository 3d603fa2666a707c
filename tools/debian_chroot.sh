#!/usr/bin/env bash
# The suite on the Pythons of Debian's own packages, each in a chroot of its
# release: Debian 13 (trixie: python3.13) and unstable (sid: python3.14 and
# python3.15).
#
#   tools/debian_chroot.sh test RELEASE    build the package and run the suite on each
#                                          Python of RELEASE (a tree fuzz where the tree is on)
#   tools/debian_chroot.sh build RELEASE   build the package on each Python of RELEASE (no suite)
#   tools/debian_chroot.sh bench RELEASE   bench.bench_interpreter on each of them (after test
#                                          or build), its figures into build/ci/bench/
#   tools/debian_chroot.sh python RELEASE VERSION ARGS...
#                                          that Python's venv (after test or build), in the
#                                          copy of the checkout, stdin and stdout passed through
#   tools/debian_chroot.sh clean RELEASE   remove this checkout's folder from the chroot
#
# The chroot is $OSTREL_CHROOTS/RELEASE (default /var/cache/ostrel-chroots),
# made with debootstrap when it is not there yet and reused as it is after
# that; what a run adds goes into one folder in it, /root/ostrel-ci/KEY (KEY
# names this checkout; pip's cache and the bytecode too, and /tmp is a tmpfs
# while it runs), which `clean` removes. pip inside the chroot cannot
# verify this network's TLS, so the wheels are downloaded here for the
# chroot's Python and installed there with --no-index; websockets 10.4
# (pyppeteer wants <11) has no wheel for 3.13 and later, so its sdist is
# built inside first. The chroot sees a copy of the checkout (with the
# build/stdlib of tools/fetch_python_patches.sh) and ../shared beside it,
# read-only. Without root, debootstrap or the network the step says so and
# exits 0; a failing build or suite exits 1.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
command=${1:-}
release=${2:-}
case "$release" in
    trixie) pythons=(3.13) ;;
    sid) pythons=(3.14 3.15) ;;
    *)
        echo "usage: $0 test|build|bench|clean trixie|sid, or python RELEASE VERSION ARGS..." >&2
        exit 2
        ;;
esac
case "$command" in test | build | bench | clean | python) ;; *)
    echo "usage: $0 test|build|bench|clean trixie|sid, or python RELEASE VERSION ARGS..." >&2
    exit 2
    ;;
esac
say() { echo "debian_chroot $release: $*"; }
if [ "$command" = python ]; then
    wanted=${3:-}
    if [[ " ${pythons[*]} " != *" $wanted "* ]]; then
        echo "usage: $0 python RELEASE VERSION ARGS... (VERSION: one of ${pythons[*]})" >&2
        exit 2
    fi
    # Messages on stderr: stdout is the Python's own.
    say() { echo "debian_chroot $release: $*" >&2; }
fi

if [ "$(id -u)" != 0 ]; then
    say "not root (chroot needs it): skipped"
    exit 0
fi
# A mount namespace of its own: the mounts below vanish with this process
# even when it is killed (the trap unmounts them otherwise).
if [ -z "${OSTREL_CHROOT_NS:-}" ] && command -v unshare >/dev/null && unshare --mount true 2>/dev/null; then
    exec env OSTREL_CHROOT_NS=1 unshare --mount --propagation private "$0" "$@"
fi

cache=${OSTREL_CHROOTS:-/var/cache/ostrel-chroots}
chroot_dir="$cache/$release"
key="$(basename "$root")-$(printf %s "$root" | sha256sum | cut -c1-8)"
work="/root/ostrel-ci/$key"
wheels="$root/build/chroot/wheels"
packages=(g++ cmake)
for version in "${pythons[@]}"; do
    packages+=("python$version" "python$version-venv" "python$version-dev")
done

if [ "$command" = clean ]; then
    if [ -d "$chroot_dir$work" ] && ! findmnt -rn -o TARGET | grep -q -F "$chroot_dir$work/"; then
        rm -rf "$chroot_dir$work"
        rmdir --ignore-fail-on-non-empty "$chroot_dir/root/ostrel-ci"
    fi
    exit 0
fi

# -- The chroot ---------------------------------------------------------------

make_chroot() {
    if ! command -v debootstrap >/dev/null; then
        say "no debootstrap here and no chroot in $chroot_dir: skipped"
        exit 0
    fi
    local include new="$chroot_dir.new.$$"
    include=$(
        IFS=,
        echo "${packages[*]}"
    )
    say "debootstrap --variant=minbase --include=$include $release $chroot_dir"
    mkdir -p "$cache"
    rm -rf "$new"
    # OSTREL_DEBIAN_MIRROR: another mirror than debootstrap's default.
    if ! debootstrap --variant=minbase --include="$include" "$release" "$new" ${OSTREL_DEBIAN_MIRROR:-} \
        >"$root/build/chroot/debootstrap-$release.log" 2>&1; then
        tail -n 20 "$root/build/chroot/debootstrap-$release.log"
        rm -rf "$new"
        say "debootstrap failed (no network?): skipped"
        exit 0
    fi
    mv "$new" "$chroot_dir"
}

mkdir -p "$root/build/chroot" "$wheels"
if [ ! -x "$chroot_dir/usr/bin/python${pythons[0]}" ]; then
    if [ "$command" = bench ] || [ "$command" = python ]; then
        say "no chroot in $chroot_dir: skipped"
        exit 0
    fi
    make_chroot
fi
for version in "${pythons[@]}"; do
    if [ ! -x "$chroot_dir/usr/bin/python$version" ]; then
        say "$chroot_dir has no python$version (remove it to have it made again): failed"
        exit 1
    fi
done

mounted=()
unmount_all() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" || true
    done
    mounted=()
}
trap unmount_all EXIT
mount_at() {  # TARGET mount-arguments...
    local target=$1
    shift
    mkdir -p "$target"
    mount "$@" "$target"
    mounted+=("$target")
}
mount_at "$chroot_dir/proc" -t proc proc
mount_at "$chroot_dir/sys" -t sysfs -o ro sysfs
mount_at "$chroot_dir/dev/shm" -t tmpfs -o mode=1777 tmpfs
mount_at "$chroot_dir/dev/pts" --bind /dev/pts
# What the runs leave in /tmp (pip's build folders, pytest's) goes with the run.
mount_at "$chroot_dir/tmp" -t tmpfs -o mode=1777 tmpfs

if [ "$command" = test ] || [ "$command" = build ]; then
    # A fresh copy of the sources, as tools/sanitize.sh makes one.
    rm -rf "$chroot_dir$work"
    mkdir -p "$chroot_dir$work/repo" "$chroot_dir$work/shared" "$chroot_dir$work/wheels" "$chroot_dir$work/home"
    (cd "$root" && tar --exclude=./build --exclude=./.venv --exclude='./.venv-*' --exclude=./.git --exclude='*.so' \
        --exclude=__pycache__ --exclude=.pytest_cache --exclude=.mypy_cache -cf - .) | tar -C "$chroot_dir$work/repo" -xf -
    if [ -d "$root/build/stdlib" ]; then
        mkdir -p "$chroot_dir$work/repo/build"
        cp -a "$root/build/stdlib" "$chroot_dir$work/repo/build/"
    fi
elif [ ! -d "$chroot_dir$work/repo" ]; then
    say "nothing built in the chroot yet (run test or build first): skipped"
    exit 0
fi
if [ -d "$root/../shared" ]; then
    mount_at "$chroot_dir$work/shared" --bind -o ro "$root/../shared"
fi
mount_at "$chroot_dir$work/wheels" --bind "$wheels"

# HOME (pip's cache) and the bytecode of every module are in the work folder:
# the chroot itself stays as debootstrap made it.
inside() {  # COMMAND... : run in the chroot, in the copy of the checkout, with a clean environment
    chroot "$chroot_dir" /usr/bin/env -i HOME="$work/home" PYTHONPYCACHEPREFIX="$work/pycache" \
        PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 \
        CI="${CI:-}" PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INDEX=1 PIP_ROOT_USER_ACTION=ignore \
        /bin/bash -c 'cd "$0" && exec "$@"' "$work/repo" "$@"
}

# -- Wheels for one Python, downloaded here --------------------------------------

host_pip() { "${PYTHON:-python3}" -m pip "$@"; }

platforms=()
for minor in $(seq 39 -1 17); do platforms+=(--platform "manylinux_2_${minor}_x86_64"); done
platforms+=(--platform manylinux2014_x86_64 --platform linux_x86_64)

requirements() {  # what the build, the package and its test extra need, one a line
    "${PYTHON:-python3}" - "$root/pyproject.toml" <<'EOF'
import sys, tomllib
with open(sys.argv[1], "rb") as f:
    project = tomllib.load(f)
wanted = project["build-system"]["requires"] + project["project"]["dependencies"]
wanted += project["project"]["optional-dependencies"]["test"]
# scikit-build-core asks for ninja where the system has no build tool.
print("\n".join(wanted + ["ninja"]))
EOF
}

download_wheels() {  # VERSION: into $wheels/VERSION
    local version=$1 dir="$wheels/$1"
    mkdir -p "$dir"
    # The sdist that has no wheel for this Python, and what building it needs.
    if ! host_pip download -q --no-deps --no-binary=:all: -d "$dir" 'websockets>=10,<11' >"$dir/download.log" 2>&1; then
        cat "$dir/download.log"
        say "pip download failed (no network?): Python $version skipped"
        return 2
    fi
    host_pip download -q --no-deps --only-binary=:all: --python-version "$version" -d "$dir" setuptools wheel ||
        return 1
    # websockets' wheel, built inside, lets pip resolve the rest for that Python.
    local sdist
    sdist=$(cd "$dir" && ls websockets-*.tar.gz | sort -V | tail -n 1)
    inside "$work/venv-$version/bin/pip" wheel -q --find-links "$work/wheels/$version" --no-deps \
        -w "$work/wheels/$version" "$work/wheels/$version/$sdist" || return 1
    requirements >"$dir/requirements.txt" || return 1
    host_pip download -q --only-binary=:all: --python-version "$version" "${platforms[@]}" \
        --find-links "$dir" -d "$dir" -r "$dir/requirements.txt"
}

# -- Commands --------------------------------------------------------------------

if [ "$command" = python ]; then
    shift 3
    if [ ! -f "$chroot_dir$work/venv-$wanted/pyvenv.cfg" ]; then
        say "Python $wanted: nothing built yet (run test or build first): skipped"
        exit 0
    fi
    # Not exec: the trap unmounts when the Python is done.
    inside "$work/venv-$wanted/bin/python" "$@"
    exit
fi

status=0
for version in "${pythons[@]}"; do
    venv="$work/venv-$version"
    python="$venv/bin/python"
    if [ "$command" = bench ]; then
        if [ -f "$chroot_dir$venv/pyvenv.cfg" ]; then
            inside "$python" -m bench.bench_interpreter --json "build/bench/$version.json" || status=1
            mkdir -p "$root/build/ci/bench"
            cp "$chroot_dir$work/repo/build/bench/$version.json" "$root/build/ci/bench/debian-$release-$version.json" ||
                status=1
        fi
        continue
    fi
    say "Python $version: $(inside "python$version" -c 'import sys; print(sys.version.split()[0])')"
    inside "python$version" -m venv "$venv"
    rc=0
    download_wheels "$version" || rc=$?
    if [ "$rc" = 2 ]; then
        continue
    elif [ "$rc" != 0 ]; then
        say "Python $version: the wheels could not be had: failed"
        status=1
        continue
    fi
    # pybind11's headers: the tokenizer's own test program builds with them.
    if ! inside "$venv/bin/pip" install -q --find-links "$work/wheels/$version" '.[test]' pybind11; then
        say "Python $version: the package does not build: failed"
        status=1
        continue
    fi
    if [ "$command" = build ]; then
        inside "$python" -m ostrel.crawler.field_extractor --version || status=1
        continue
    fi
    # The README's first command, then its second one's suite.
    inside "$python" -m ostrel.crawler.field_extractor --version || status=1
    if ! inside /bin/bash -c "$python -m ostrel.crawler.field_extractor examples/rules.yaml examples/pages/*.html" \
        >/dev/null; then
        say "Python $version: the extraction of the examples failed"
        status=1
    fi
    if ! inside "$python" -m pytest -q -p no:cacheprovider; then
        say "Python $version: the suite failed"
        status=1
    fi
    if inside "$python" -c 'from ostrel.crawler.field_extractor.utils import _treegate as g; assert g.ENABLED' 2>/dev/null; then
        if ! inside "$python" -m fuzz.fuzz_treebuilder --count 10000 --jobs 2 --out "build/fuzz-$version"; then
            say "Python $version: the tree fuzz found differences"
            status=1
        fi
    else
        say "Python $version: native tree off, no tree fuzz"
    fi
done
exit "$status"
