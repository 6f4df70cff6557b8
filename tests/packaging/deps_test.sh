#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# scripts/deps.sh against a package world of its own: apt's configuration, lists and cache and
# dpkg's database live in a temporary folder, and apt's sources are two local repositories, one
# good and one whose index does not match its Release file (as a mirror caught mid-sync). An
# apt-get on PATH in front of the real one records each call. Nothing leaves the machine.
#   bash tests/packaging/deps_test.sh SOURCE_DIR      (as root: it fails otherwise; exits 77 without
#                                                     dpkg's tools)
set -u
top=$1
[ "$(id -u)" = 0 ] || { echo "FAILED: needs root: dpkg installs only as root"; exit 1; }
for tool in dpkg-deb dpkg-scanpackages; do
    command -v "$tool" >/dev/null || { echo "skipped: no $tool"; exit 77; }
done
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0
fail() { echo "FAIL: $*" && failures=$((failures + 1)); }

native=$(dpkg --print-architecture)
foreign=armhf
[ "$native" != armhf ] || foreign=arm64

# A package with no files: NAME ARCH REPO [VERSION].
make_deb() {
    local root=$dir/src/$1-$2 multiarch=same
    [ "$2" != all ] || multiarch=foreign
    mkdir -p "$root/DEBIAN" "$dir/$3"
    printf 'Package: %s\nVersion: %s\nArchitecture: %s\nMulti-Arch: %s\nMaintainer: test <t@example.org>\nDescription: deps test\n' \
        "$1" "${4:-1.0}" "$2" "$multiarch" >"$root/DEBIAN/control"
    dpkg-deb -Zxz --build "$root" "$dir/$3/$1_1.0_$2.deb" >/dev/null
}
make_deb kovex4-deptest-installed "$native" good
make_deb kovex4-deptest-installed "$foreign" good
make_deb kovex4-deptest-missing "$native" good
make_deb kovex4-deptest-elsewhere "$native" bad
make_deb kovex4-deptest-foreign "$foreign" good 2.0
make_deb kovex4-deptest-all all good 3.0
for repo in good bad; do
    (cd "$dir/$repo" && dpkg-scanpackages --multiversion . /dev/null 2>/dev/null >Packages &&
        printf 'Date: %s\nSHA256:\n %s %s Packages\n' "$(date -uR)" \
            "$(sha256sum <Packages | cut -d' ' -f1)" "$(stat -c %s Packages)" >Release)
done
# The bad repository's index changes after its Release file was written.
echo "Description-md5: 00000000000000000000000000000000" >>"$dir/bad/Packages"

mkdir -p "$dir/etc/apt.conf.d" "$dir/etc/preferences.d" "$dir/etc/sources.list.d" \
    "$dir/lists/partial" "$dir/cache/archives/partial" "$dir/dpkg/info" "$dir/dpkg/updates" \
    "$dir/root" "$dir/bin"
touch "$dir/dpkg/status" "$dir/dpkg/available"
cat >"$dir/etc/sources.list" <<EOF
deb [trusted=yes] file:$dir/good ./
deb [trusted=yes] file:$dir/bad ./
EOF
cat >"$dir/apt.conf" <<EOF
Dir::Etc "$dir/etc";
Dir::Etc::main "/dev/null";
Dir::State::lists "$dir/lists";
Dir::State::status "$dir/dpkg/status";
Dir::Cache "$dir/cache";
APT::Sandbox::User "root";
APT::Architectures { "$native"; "$foreign"; };
DPkg::Options { "--admindir=$dir/dpkg"; "--instdir=$dir/root"; "--force-script-chrootless"; };
EOF
export APT_CONFIG=$dir/apt.conf DPKG_ADMINDIR=$dir/dpkg KOVEX4_APT_RETRY_PAUSE=0
dpkg --add-architecture "$foreign"
cat >"$dir/bin/apt-get" <<EOF
#!/bin/sh
echo "\$*" >>"$dir/calls"
exec /usr/bin/apt-get "\$@"
EOF
chmod +x "$dir/bin/apt-get"
export PATH=$dir/bin:$PATH

# shellcheck source=scripts/deps.sh
. "$top/scripts/deps.sh"

# run NAME...: deps_install in a subshell, its exit status, output and apt-get calls kept.
run() {
    : >"$dir/calls"
    (deps_install "$@") >"$dir/out" 2>&1
    status=$?
}
updates() { grep -c '^update' "$dir/calls"; }

# A missing package is installed from the good index although the other one fails, after the
# update was tried three times, with one line saying so.
run kovex4-deptest-installed "kovex4-deptest-installed:$foreign" kovex4-deptest-missing
[ "$status" = 0 ] || fail "install beside a bad index: status $status: $(cat "$dir/out")"
[ "$(updates)" = 3 ] || fail "install beside a bad index: $(updates) updates, want 3"
[ "$(grep -c 'apt-get update failed 3 times' "$dir/out")" = 1 ] ||
    fail "install beside a bad index: no single line about the failed update: $(cat "$dir/out")"
for pkg in kovex4-deptest-installed:"$native" kovex4-deptest-installed:"$foreign" \
    kovex4-deptest-missing; do
    deps_installed "$pkg" || fail "$pkg not installed"
done
deps_installed kovex4-deptest-missing:"$foreign" && fail "missing:$foreign reported installed"

# Everything installed, for both architectures: no update, no install.
run kovex4-deptest-installed "kovex4-deptest-installed:$foreign" kovex4-deptest-missing
[ "$status" = 0 ] && [ ! -s "$dir/calls" ] ||
    fail "all installed: status $status, apt-get called: $(cat "$dir/calls")"

# A package installed for the other architecture only is missing for this one.
dpkg --remove kovex4-deptest-installed:"$native" >/dev/null 2>&1
run kovex4-deptest-installed
[ "$status" = 0 ] && [ "$(updates)" = 3 ] ||
    fail "reinstall for $native: status $status, $(updates) updates: $(cat "$dir/out")"

# A package no index offers (its only index is the bad one) fails with apt's own message.
run kovex4-deptest-elsewhere
[ "$status" != 0 ] || fail "a package found nowhere was reported installed"
grep -q "Unable to locate package kovex4-deptest-elsewhere" "$dir/out" ||
    fail "a package found nowhere: apt's message missing: $(cat "$dir/out")"

# The versions the lists name, each beside the name asked for, whatever the architecture; a
# package of all architectures stands for one of any; one the lists lack is "none".
want="kovex4-deptest-foreign:$foreign 2.0
kovex4-deptest-missing 1.0
kovex4-deptest-foreign none
kovex4-deptest-all:$foreign 3.0
kovex4-deptest-elsewhere:$native none"
got=$(deps_versions "$dir" "kovex4-deptest-foreign:$foreign" kovex4-deptest-missing \
    kovex4-deptest-foreign "kovex4-deptest-all:$foreign" "kovex4-deptest-elsewhere:$native")
[ "$got" = "$want" ] || fail "deps_versions: $got"

[ "$failures" = 0 ] && echo "deps_install: all cases passed"
exit $((failures > 0))
