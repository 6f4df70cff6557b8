#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Two builds of one commit give byte-identical Debian packages: the source tree's last commit,
# with the tracked files as they are in the working tree, is cloned into two folders of different
# names and depths; each is configured and built as a packager would (Release, no test suite), the
# second later and under another umask, and both packages of each are made with cpack. Set
# KOVEX4_KEEP to keep the folders for a closer look. Any
# difference fails the test and is shown (diffoscope when installed, else the archives' listings).
#   bash scripts/test-reproducible.sh [SOURCE_DIR]
set -euo pipefail
SRC=$(cd "${1:-$(dirname "$0")/..}" && pwd)

fail() {
    echo "test-reproducible.sh: $*" >&2
    exit 1
}
for tool in git cmake cpack ninja dpkg-deb; do
    command -v "$tool" >/dev/null || fail "$tool is missing"
done
WORK=$(mktemp -d "${TMPDIR:-/tmp}/kovex4-repro.XXXXXX")
[ -n "${KOVEX4_KEEP:-}" ] || trap 'rm -rf "$WORK"' EXIT

# build DIR UMASK: clone, build and package into DIR/out.
build() {
    local dir=$1
    mkdir -p "$dir"
    git clone --quiet --shared --no-checkout "$SRC" "$dir/kovex4"
    git -C "$dir/kovex4" checkout --quiet --detach "$(git -C "$SRC" rev-parse HEAD)"
    # Uncommitted changes and new files (not ignored) go along, so that the test checks what is about to be
    # committed; the packages' times still come from the last commit.
    (cd "$SRC" && git ls-files -z --cached --others --exclude-standard | tar --null -T - --ignore-failed-read -cf - 2>/dev/null) |
        tar -xf - -C "$dir/kovex4"
    (
        umask "$2"
        cmake -S "$dir/kovex4" -B "$dir/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
            -DKOVEX4_TESTS=OFF >"$dir/log" 2>&1 &&
            cmake --build "$dir/build" >>"$dir/log" 2>&1 &&
            # cpack gives the archive's members (debian-binary, control.tar.gz, data.tar.gz) the
            # modes its umask leaves; it runs under 022 as dpkg-buildpackage runs its builds.
            cd "$dir/build" && umask 022 && cpack -G DEB -B "$dir/out" >>"$dir/log" 2>&1
    ) || fail "build in $dir: $(tail -n 20 "$dir/log")"
}

echo "=== build 1: $WORK/a"
build "$WORK/a" 022
# Another second, so that the build times cannot agree by chance.
sleep 1
echo "=== build 2: $WORK/second/folder"
build "$WORK/second/folder" 002

status=0
count=0
for deb in "$WORK"/a/out/*.deb; do
    other="$WORK/second/folder/out/$(basename "$deb")"
    [ -f "$other" ] || fail "build 2 made no $(basename "$deb")"
    count=$((count + 1))
    if cmp -s "$deb" "$other"; then
        echo "identical: $(basename "$deb") $(sha256sum <"$deb" | cut -c1-16)"
        continue
    fi
    status=1
    echo "DIFFERENT: $(basename "$deb")"
    if command -v diffoscope >/dev/null; then
        diffoscope "$deb" "$other" | head -n 80 || true
    else
        diff <(dpkg-deb -c "$deb"; dpkg-deb -I "$deb") <(dpkg-deb -c "$other"; dpkg-deb -I "$other") |
            head -n 40 || true
    fi
done
[ "$count" = 2 ] || fail "want two packages per build, got $count"
[ "$status" = 0 ] || fail "the two builds' packages differ"
echo "two builds in different folders give identical packages"
