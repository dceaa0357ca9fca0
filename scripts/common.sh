# Shared by scripts/run and scripts/test: install what is missing, configure, build.
set -euo pipefail

ORVIK_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
ORVIK_PACKAGES=(cmake g++ make qtbase5-dev qtbase5-private-dev libqt5serialport5-dev fonts-dejavu-core desktop-file-utils
    libqt5sql5-sqlite libqt5sql5-psql)
# The tests start PostgreSQL servers of their own.
ORVIK_TEST_PACKAGES=(postgresql)
# Only the Qt 6 leg of scripts/test builds against these.
ORVIK_QT6_PACKAGES=(qt6-base-dev qt6-base-private-dev qt6-serialport-dev libqt6sql6-sqlite libqt6sql6-psql)

orvik_install_packages() {
    local missing=()
    local pkg
    for pkg in "${ORVIK_PACKAGES[@]}" "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# orvik_build BUILD_DIR [cmake options...]
orvik_build() {
    local dir=$1
    shift
    cmake -S "$ORVIK_ROOT" -B "$dir" "$@" >/dev/null
    cmake --build "$dir" -j "$(nproc)"
}
