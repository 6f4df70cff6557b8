# SPDX-License-Identifier: Apache-2.0
# Sourced by the scripts: installs the Debian packages given that are not installed yet.
deps_install() {
    local missing=()
    for pkg in "$@"; do
        dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "installing: ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq
        apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
}

# Packages every build needs (groff-base: the test suite checks the manual pages with groff;
# libmbedtls-dev: Modbus over TLS; openssl: the TLS tests make their certificates with it).
KOVEX4_BUILD_DEPS=(g++ cmake ninja-build libgtest-dev libgmock-dev groff-base libmbedtls-dev openssl)

# Packages the package tests need: cpack's dependency search (dpkg-dev, file), lintian,
# hardening-check (devscripts), git (the reproducibility test clones the tree), and for the install
# test the namespaces (util-linux, iproute2), the postinst's adduser, systemd-analyze (systemd),
# strace, man-db.
KOVEX4_PACKAGE_DEPS=(dpkg-dev file lintian devscripts git util-linux iproute2 adduser systemd strace
    man-db)
