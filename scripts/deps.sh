# SPDX-License-Identifier: Apache-2.0
# shellcheck shell=bash disable=SC2034 # the lists at the end are for the scripts that source it
# Sourced by the scripts: installs the Debian packages given that are not installed yet, and looks
# up the packages of another Debian release on the machine's mirror. The lists of packages the
# scripts install are at the end.

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

# deps_mirror: the machine's own Debian mirror, the URI of its apt source for the release's main
# suite.
deps_mirror() {
    local codename
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    # shellcheck disable=SC2016 # apt's own placeholder
    apt-get indextargets --format '$(REPO_URI)' "Codename: $codename" 'Component: main' \
        'Identifier: Packages' | head -n 1
}

# deps_suite DIR SUITE ARCH...: fetches the package lists of SUITE's main component on the
# machine's mirror, for the architectures given (the first is the native one), into DIR, apart
# from the machine's own apt (which knows nothing of them afterwards), and writes DIR/apt.conf
# for APT_CONFIG. The lists are fetched anew each time (a mirror caught mid-sync is tried three
# times); fails when they cannot be.
deps_suite() {
    local dir=$1 suite=$2 mirror
    shift 2
    mirror=$(deps_mirror)
    [ -n "$mirror" ] || { echo "deps: no Debian mirror in the apt sources" >&2; return 1; }
    mkdir -p "$dir/lists/partial" "$dir/cache/archives/partial" "$dir/sources.list.d" "$dir/preferences.d"
    # One at a time: two system tests at once share the lists.
    (
        flock 9
        deps_suite_fetch "$dir" "$suite" "$mirror" "$@"
    ) 9>"$dir.lock"
}
deps_suite_fetch() {
    local dir=$1 suite=$2 mirror=$3 arch try
    shift 3
    : >"$dir/status"
    echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $suite main" \
        >"$dir/sources.list"
    {
        echo "Dir::State \"$dir\"; Dir::State::Lists \"$dir/lists\"; Dir::State::status \"$dir/status\";"
        echo "Dir::Cache \"$dir/cache\"; Dir::Etc::SourceList \"$dir/sources.list\";"
        echo "Dir::Etc::SourceParts \"$dir/sources.list.d\"; Dir::Etc::PreferencesParts \"$dir/preferences.d\";"
        echo "APT::Architecture \"$1\"; Acquire::Languages \"none\";"
        echo "APT::Architectures { $(for arch in "$@"; do printf '"%s"; ' "$arch"; done)};"
    } >"$dir/apt.conf"
    for try in 1 2 3; do
        APT_CONFIG=$dir/apt.conf apt-get update -qq >/dev/null 2>"$dir/update.err" && return 0
        [ "$try" = 3 ] || sleep "${KOVEX4_APT_RETRY_PAUSE:-10}"
    done
    echo "deps: the lists of $suite: $(grep -m1 '^E:' "$dir/update.err" || tail -n1 "$dir/update.err")" >&2
    return 1
}

# deps_versions DIR NAME[:ARCH]...: "NAME[:ARCH] VERSION" for each package, as the lists of
# deps_suite DIR have it (a package of all architectures stands for any); "NAME[:ARCH] none" for a
# package they lack. One apt-cache for all: each reads the lists whole.
deps_versions() {
    local dir=$1
    shift
    APT_CONFIG=$dir/apt.conf apt-cache show --no-all-versions "$@" "${@%%:*}" 2>/dev/null |
        awk -v native="$(APT_CONFIG=$dir/apt.conf apt-config dump --format '%v%n' APT::Architecture)" \
            -v names="$*" '
        /^Package: / { name = $2 }
        /^Version: / { version = $2 }
        /^Architecture: / { arch = $2 }
        /^$/ { if (name != "" && !((name ":" arch) in found)) found[name ":" arch] = version; name = "" }
        END {
            if (name != "" && !((name ":" arch) in found)) found[name ":" arch] = version
            n = split(names, list, " ")
            for (i = 1; i <= n; i++) {
                want = list[i] ~ /:/ ? list[i] : list[i] ":" native
                base = want; sub(/:.*/, "", base)
                version = want in found ? found[want] : (base ":all") in found ? found[base ":all"] : "none"
                print list[i], version
            }
        }'
}

# The -dev packages of the libraries the programs link, one a line: installed for the machine and,
# as NAME:armhf, for the ARM cross build, on this machine (scripts/test-arm.sh) and in the root of
# another Debian release (scripts/test-release.sh).
KOVEX4_LIBRARY_DEPS=(
    libssl-dev        # Modbus over TLS, and the MQTT broker's TLS
    libc-ares-dev     # the push looks up its receiver's name beside the loop, without waiting
    libmosquitto-dev  # the MQTT client, maintained, driven from the gateway's own loop
    libprotobuf-c-dev # the Sparkplug B payload: small, without a C++ runtime of its own
)

# Packages every build needs (groff-base: the test suite checks the manual pages with groff;
# openssl: the TLS tests make their certificates with it; protobuf-c-compiler: the Sparkplug B
# payload's C code is generated from its schema at build time; pkgconf: the systemd unit's folder is
# systemd's own, which systemd.pc names), and the libraries.
KOVEX4_BUILD_DEPS=(g++ cmake ninja-build pkgconf libgtest-dev libgmock-dev groff-base openssl
    protobuf-c-compiler
    "${KOVEX4_LIBRARY_DEPS[@]}")

# Packages the package tests need: cpack's dependency search (dpkg-dev, file), lintian,
# hardening-check (devscripts), git (the reproducibility test clones the tree), and for the install
# test the namespaces (util-linux, iproute2), the postinst's adduser, systemd-analyze and
# systemd.pc (systemd), strace, man-db.
KOVEX4_PACKAGE_DEPS=(dpkg-dev file lintian devscripts git util-linux iproute2 adduser systemd strace
    man-db)

# The end-to-end tests' third-party peers: Modbus clients; Debian's MQTT broker and its clients,
# paho-mqtt for the subscriber and Python's protobuf to decode Sparkplug B with a schema of the
# test's own.
KOVEX4_PEER_DEPS=(python3-pymodbus mbpoll mosquitto mosquitto-clients python3-paho-mqtt
    python3-protobuf)

# The system test's tools (scripts/test-system.sh): mmdebstrap for the image, kmod, cpio and
# xz-utils for its initramfs, e2fsprogs for its disk, the emulators (qemu-user for the armhf image's
# own programs run on the machine), the Modbus client, openssl for the certificates, and the MQTT
# broker and client on the machine.
KOVEX4_SYSTEM_DEPS=(mmdebstrap kmod cpio xz-utils e2fsprogs qemu-system-x86 qemu-system-arm
    qemu-user-static mbpoll openssl mosquitto mosquitto-clients)

# The ARM cross build: the compiler with the target's C and C++ libraries, and binutils (objdump
# for the packages' glibc version). The target's other libraries are KOVEX4_LIBRARY_DEPS:armhf.
KOVEX4_CROSS_DEPS=(g++-arm-linux-gnueabihf binutils-arm-linux-gnueabihf)
