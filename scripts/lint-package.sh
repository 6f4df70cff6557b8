#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Makes the Debian packages of a build folder (native or cross), or takes those in a folder of
# packages, and checks each with lintian: the test fails on any error or warning, and on any hardening tag (those are notes, I:). Tags that are
# overridden carry their reason in the package's lintian overrides
# (cmake/debian/*.lintian-overrides); they are listed, as are the notes. Every program in the
# packages must pass hardening-check (devscripts): PIE, stack protector, fortified functions,
# full RELRO. Its control-flow check is left out: it looks for the x86 CET mark, which the ARM
# target does not have and which no program linked with Debian 12's C start files gets. So is its
# branch-protection check where it has one (Debian 13): it looks for AArch64's marks, which
# neither amd64 nor armhf programs can have.
#   bash scripts/lint-package.sh BUILD_DIR|PACKAGES_DIR   (PACKAGES_DIR: kovex4_*.deb, kovex4-tools_*.deb)
set -euo pipefail
SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:?usage: lint-package.sh BUILD_DIR|PACKAGES_DIR}" && pwd)

fail() {
    echo "lint-package.sh: $*" >&2
    exit 1
}
for tool in cpack lintian hardening-check; do
    command -v "$tool" >/dev/null || fail "$tool is missing (Debian packages cmake, lintian, devscripts)"
done
# shellcheck source=scripts/namespace.sh
. "$SRC/scripts/namespace.sh"
WORK=$(ns_workdir lint)
trap 'rm -rf "$WORK"' EXIT

if [ -f "$BUILD/CMakeCache.txt" ]; then
    (cd "$BUILD" && cpack -G DEB -B "$WORK" >"$WORK/cpack.log" 2>&1) || fail "cpack: $(cat "$WORK/cpack.log")"
else
    cp "$BUILD"/kovex4_*.deb "$BUILD"/kovex4-tools_*.deb "$WORK/" || fail "no packages in $BUILD"
fi
debs=("$WORK"/*.deb)
[ "${#debs[@]}" = 2 ] || fail "want two packages, cpack made: ${debs[*]}"
# Overridden tags (O:) are shown with their reason (N:); the verdict comes from the E: and W: lines
# (lintian's own exit status counts an overridden error when overrides are shown).
# Run as root, lintian drops to nobody, as it recommends.
lint=(lintian)
if [ "$(id -u)" = 0 ]; then
    chmod 755 "$WORK"
    lint=(setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME=/nonexistent lintian)
fi
status=0
for deb in "${debs[@]}"; do
    echo "=== lintian $(basename "$deb")"
    "${lint[@]}" --display-info --show-overrides --fail-on none "$deb" | tee "$WORK/lintian.out" ||
        fail "lintian did not run"
    if grep -q -e '^[EW]: ' -e '^[A-Z]: [^ ]*: hardening-' "$WORK/lintian.out"; then status=1; fi
done
[ "$status" = 0 ] || fail "lintian reports errors, warnings or hardening tags"
echo "lintian: no errors, no warnings, no hardening tags"

skip=(--nocfprotection)
if [[ $(hardening-check --help 2>&1) == *--nobranchprotection* ]]; then skip+=(--nobranchprotection); fi
programs=0
for deb in "${debs[@]}"; do
    dir="$WORK/$(basename "$deb" .deb)"
    dpkg-deb -x "$deb" "$dir"
    while IFS= read -r -d '' file; do
        [ "$(head -c 4 "$file" | od -An -c | tr -d ' ')" = '177ELF' ] || continue
        programs=$((programs + 1))
        hardening-check "${skip[@]}" "$file" || status=1
    done < <(find "$dir" -type f -perm -u+x -print0 | sort -z)
done
[ "$programs" -ge 4 ] || fail "want the daemon and three tools, found $programs programs"
[ "$status" = 0 ] || fail "hardening-check fails on a program above"
echo "hardening-check: $programs programs pass"
