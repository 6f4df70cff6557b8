# SPDX-License-Identifier: Apache-2.0
# Sourced by the scripts: installs the Debian packages given that are not installed yet.

# deps_installed NAME[:ARCH]: whether the package is installed for that architecture. A name without
# an architecture means the machine's own (or "all"), as it does to apt-get install; asking dpkg
# by the bare name is ambiguous once a package is installed for two architectures.
deps_installed() {
    local name=${1%%:*} arch=${1#*:} native state
    native=$(dpkg --print-architecture)
    [ "$arch" != "$1" ] || arch=$native
    while read -r state pkg_arch; do
        if [ "$state" = installed ] &&
            { [ "$pkg_arch" = "$arch" ] || { [ "$arch" = "$native" ] && [ "$pkg_arch" = all ]; }; }; then
            return 0
        fi
    done < <(dpkg-query -W -f='${db:Status-Status} ${Architecture}\n' "$name" 2>/dev/null)
    return 1
}

# deps_update: apt-get update, tried a few times since a mirror may be caught mid-sync. When an
# index still fails, one line says so and the work goes on with the indexes that were fetched:
# apt-get install then either finds every package or names the one it cannot find. Both wait up
# to ten minutes for another apt that holds the lock (a fresh machine's own updates at boot).
deps_update() {
    local try err
    err=$(mktemp)
    for try in 1 2 3; do
        if apt-get update -qq -o DPkg::Lock::Timeout=600 2>"$err" >/dev/null; then
            rm -f "$err"
            return 0
        fi
        [ "$try" = 3 ] || sleep "${KOVEX4_APT_RETRY_PAUSE:-10}"
    done
    echo "deps: apt-get update failed 3 times, going on with the indexes it fetched:" \
        "$(grep -m1 '^E:' "$err" || tail -n1 "$err")" >&2
    rm -f "$err"
}

deps_install() {
    local missing=()
    for pkg in "$@"; do
        deps_installed "$pkg" || missing+=("$pkg")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "installing: ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        deps_update
        apt-get install -y -qq -o DPkg::Lock::Timeout=600 "${missing[@]}" >/dev/null
    fi
}

# Packages every build needs (groff-base: the test suite checks the manual pages with groff;
# libssl-dev: Modbus over TLS; openssl: the TLS tests make their certificates with it).
KOVEX4_BUILD_DEPS=(g++ cmake ninja-build libgtest-dev libgmock-dev groff-base libssl-dev openssl)
# libc-ares-dev: the push looks up its receiver's name beside the loop, without waiting for it.
KOVEX4_BUILD_DEPS+=(libc-ares-dev)
# libmosquitto-dev: the MQTT client, maintained, driven from the gateway's own loop through its
# socket (its TLS is OpenSSL's); libprotobuf-c-dev and protobuf-c-compiler: the Sparkplug B
# payload, C code generated from its schema at build time, small and without a C++ runtime of its
# own.
KOVEX4_BUILD_DEPS+=(libmosquitto-dev libprotobuf-c-dev protobuf-c-compiler)
# The MQTT tests' peers: Debian's broker and its clients, paho-mqtt for the subscriber and Python's
# protobuf to decode Sparkplug B with a schema of the test's own.
KOVEX4_MQTT_TEST_DEPS=(mosquitto mosquitto-clients python3-paho-mqtt python3-protobuf)

# Packages the package tests need: cpack's dependency search (dpkg-dev, file), lintian,
# hardening-check (devscripts), git (the reproducibility test clones the tree), and for the install
# test the namespaces (util-linux, iproute2), the postinst's adduser, systemd-analyze (systemd),
# strace, man-db.
KOVEX4_PACKAGE_DEPS=(dpkg-dev file lintian devscripts git util-linux iproute2 adduser systemd strace
    man-db)
