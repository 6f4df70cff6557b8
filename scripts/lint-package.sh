#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Makes the Debian packages of a build folder (native or cross) and checks each with lintian: the
# test fails on any error or warning. Tags that are overridden carry their reason in the package's
# lintian overrides (cmake/debian/*.lintian-overrides); they are listed, as are the notes (I:).
#   bash scripts/lint-package.sh BUILD_DIR
set -euo pipefail
SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:?usage: lint-package.sh BUILD_DIR}" && pwd)

fail() {
    echo "lint-package.sh: $*" >&2
    exit 1
}
for tool in cpack lintian; do
    command -v "$tool" >/dev/null || fail "$tool is missing (Debian package ${tool/cpack/cmake})"
done
# shellcheck source=scripts/namespace.sh
. "$SRC/scripts/namespace.sh"
WORK=$(ns_workdir lint)
trap 'rm -rf "$WORK"' EXIT

(cd "$BUILD" && cpack -G DEB -B "$WORK" >"$WORK/cpack.log" 2>&1) || fail "cpack: $(cat "$WORK/cpack.log")"
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
    if grep -q '^[EW]: ' "$WORK/lintian.out"; then status=1; fi
done
[ "$status" = 0 ] || fail "lintian reports errors or warnings"
echo "lintian: no errors, no warnings"
