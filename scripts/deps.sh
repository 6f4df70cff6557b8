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

# Packages every build needs.
KOVEX4_BUILD_DEPS=(g++ cmake ninja-build libgtest-dev libgmock-dev)
