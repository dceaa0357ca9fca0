#!/usr/bin/env bash
# The Debian packages as scripts/package builds them, from a copy of the tree: orvik-config carries every program
# that CMake installs to bin but the simulator, the launcher entry with its icons and the udev rule where udev reads
# it; orvik-sim carries the simulator. Both at the project's version, with their library dependencies filled in,
# and no lintian errors (lintian's other findings are printed).
# Usage: test_package.sh BUILD_DIR SOURCE_DIR
set -u
build=$1
source=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
has() { grep -qxF "$2" <<<"$1"; } # LINES LINE

# Niced: other tests running meanwhile time their events.
if ! nice -n 10 bash "$source/scripts/package" "$tmp/out" >"$tmp/package.log" 2>&1; then
    tail -n 40 "$tmp/package.log"
    echo "FAIL: scripts/package"
    exit 1
fi
config=$(echo "$tmp"/out/orvik-config_*.deb)
sim=$(echo "$tmp"/out/orvik-sim_*.deb)
listing() { dpkg-deb -c "$1" | awk '{ print substr($6, 2) }'; }
config_files=$(listing "$config")
sim_files=$(listing "$sim")
dpkg-deb -x "$config" "$tmp/config"

# What CMake installs to bin, in a staged install of the build under test.
DESTDIR=$tmp/root cmake --install "$build" --prefix /usr >/dev/null 2>&1
programs=$(ls "$tmp/root/usr/bin" 2>/dev/null)
check "cmake installs orvik-config" has "$programs" orvik-config
for program in $programs; do
    [ "$program" = orvik-sim ] && continue
    check "orvik-config ships $program" has "$config_files" "/usr/bin/$program"
done
check "orvik-sim ships the simulator alone" same "$(grep '^/usr/bin/.' <<<"$sim_files")" /usr/bin/orvik-sim
check "orvik-config leaves the simulator out" same "$(grep -c orvik-sim <<<"$config_files")" 0

rules=$(grep -E '^(/usr)?/lib/udev/rules\.d/.' <<<"$config_files")
check "ships the one rule in udev's folder" same "$(basename -a $rules)" 70-orvik.rules
check "ships the rule unchanged" cmp -s "$tmp/config$rules" "$source/resources/linux/70-orvik.rules"

entry=$tmp/config/usr/share/applications/orvik-config.desktop
check "desktop-file-validate accepts the entry" same "$(desktop-file-validate "$entry" 2>&1)" ""
check "entry starts a shipped program" has "$config_files" "/usr/bin/$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")"
icon=$(sed -n 's/^Icon=//p' "$entry")
for file in scalable/apps/$icon.svg 48x48/apps/$icon.png 256x256/apps/$icon.png; do
    check "ships the icon $file" has "$config_files" "/usr/share/icons/hicolor/$file"
done

check "orvik-config depends on Qt's SQLite driver, the history's default" \
    grep -q libqt5sql5-sqlite <<<"$(dpkg-deb -f "$config" Depends)"

version=$(sed -n 's/^project(.* VERSION \([0-9.]*\).*/\1/p' "$source/CMakeLists.txt")
for deb in "$config" "$sim"; do
    check "$(basename "$deb") is at version $version" same "$(dpkg-deb -f "$deb" Version)" "$version"
    check "$(basename "$deb") depends on the Qt it links" grep -q libqt5core5a <<<"$(dpkg-deb -f "$deb" Depends)"
done

lintian --fail-on error "$tmp"/out/*.changes >"$tmp/lintian.log" 2>&1
status=$?
grep -v 'root privileges' "$tmp/lintian.log"
check "lintian finds no errors" [ "$status" -eq 0 ]

finish
