#!/usr/bin/env bash
# cmake --install, staged in a temporary directory: the two programs, a valid launcher entry with its icons, and
# a udev rule that acts on the Orvik device's USB serial bridge 0403:6015 and on nothing else.
# Usage: test_install.sh BUILD_DIR SOURCE_DIR
set -u
build=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
root=$tmp/root
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

# DESTDIR keeps even an absolute destination inside the temporary directory.
if ! DESTDIR=$root cmake --install "$build" --prefix /usr/local >"$tmp/install.log" 2>&1; then
    cat "$tmp/install.log"
    echo "FAIL: cmake --install"
    exit 1
fi
usr=$root/usr/local
entry=$usr/share/applications/orvik-config.desktop
rule=$usr/lib/udev/rules.d/70-orvik.rules
icons=$usr/share/icons/hicolor

check "installs orvik-config" [ -x "$usr/bin/orvik-config" ]
check "installs orvik-sim" [ -x "$usr/bin/orvik-sim" ]
check "installs the rule where udev reads it" [ -f "$rule" ]
check "installs the scalable icon" grep -q '<svg' "$icons/scalable/apps/orvik-config.svg"

png_size() { # FILE: width x height from the PNG header
    local w h
    read -r w h < <(od -An -tu1 -j16 -N8 "$1" | awk '{ print $1*16777216+$2*65536+$3*256+$4, $5*16777216+$6*65536+$7*256+$8 }')
    echo "${w}x$h"
}
for size in 48x48 256x256; do
    check "installs the $size icon in its size" same "$(png_size "$icons/$size/apps/orvik-config.png")" "$size"
done

check "desktop-file-validate accepts the entry" same "$(desktop-file-validate "$entry" 2>&1)" ""
key() { sed -n "s/^$1=//p" "$entry"; }
check "entry starts the installed program" [ -x "$usr/bin/$(key Exec | cut -d' ' -f1)" ]
check "entry names the installed icon" [ -f "$icons/scalable/apps/$(key Icon).svg" ]
check "entry is titled Orvik Config" same "$(key Name)" "Orvik Config"

# A small udev rule evaluator: prints the assignments of every rule that matches DEVICE (KEY=VALUE lines).
# Match values are shell patterns with | between alternatives, as in udev; a key the device lacks never
# equals anything. A token it cannot read fails the test, so syntax slips show up as well.
apply_rules() { # DEVICE...
    local -A dev=()
    local kv line token key op value v alt matched out=() tokens alts
    for kv; do dev[${kv%%=*}]=${kv#*=}; done
    while IFS= read -r line; do
        [[ $line =~ ^[[:space:]]*(#|$) ]] && continue
        matched=1
        local assigns=()
        IFS=, read -ra tokens <<<"$line"
        for token in "${tokens[@]}"; do
            token=${token#"${token%%[![:space:]]*}"}
            if [[ ! $token =~ ^([A-Z_]+(\{[^}]+\})?)(==|!=|\+=|-=|:=|=)\"([^\"]*)\"$ ]]; then
                echo "unreadable token: $token" >&2
                return 1
            fi
            key=${BASH_REMATCH[1]} op=${BASH_REMATCH[3]} value=${BASH_REMATCH[4]}
            case $op in
                == | !=)
                    v=0
                    if [ -n "${dev[$key]+set}" ]; then
                        IFS='|' read -ra alts <<<"$value"
                        for alt in "${alts[@]}"; do
                            # shellcheck disable=SC2053
                            [[ ${dev[$key]} == $alt ]] && v=1
                        done
                    fi
                    [ "$op" = "==" ] && [ $v = 0 ] && matched=0
                    [ "$op" = "!=" ] && [ $v = 1 ] && matched=0
                    ;;
                *) assigns+=("$key$op$value") ;;
            esac
        done
        [ $matched = 1 ] && out+=("${assigns[@]}")
    done <"$1"
    [ ${#out[@]} -eq 0 ] || printf '%s\n' "${out[@]}" | sort
}
rule_case() { # NAME EXPECTED DEVICE...
    local actual
    actual=$(apply_rules "$rule" "${@:3}") || { echo "FAIL: $1"; failed=$((failed + 1)); return; }
    check "$1" same "$actual" "$2"
}
# The tty of the bridge: the user's access, no ModemManager, a 1 ms latency timer on the port behind it.
orvik=$'ATTR{device/latency_timer}=1\nENV{ID_MM_DEVICE_IGNORE}=1\nTAG+=uaccess'
rule_case ruleServesOrvikBridgeWhenAdded "$orvik" \
    ACTION=add SUBSYSTEM=tty 'ATTRS{idVendor}=0403' 'ATTRS{idProduct}=6015'
rule_case ruleKeepsAccessOnChange $'ENV{ID_MM_DEVICE_IGNORE}=1\nTAG+=uaccess' \
    ACTION=change SUBSYSTEM=tty 'ATTRS{idVendor}=0403' 'ATTRS{idProduct}=6015'
rule_case ruleSkipsOtherFtdiBridge "" ACTION=add SUBSYSTEM=tty 'ATTRS{idVendor}=0403' 'ATTRS{idProduct}=6001'
rule_case ruleSkipsNeighbourProduct "" ACTION=add SUBSYSTEM=tty 'ATTRS{idVendor}=0403' 'ATTRS{idProduct}=6014'
rule_case ruleSkipsOtherVendorSameProduct "" ACTION=add SUBSYSTEM=tty 'ATTRS{idVendor}=1a86' 'ATTRS{idProduct}=6015'
rule_case ruleSkipsTtyWithoutUsbIds "" ACTION=add SUBSYSTEM=tty
rule_case ruleLeavesUsbDeviceAlone "" ACTION=add SUBSYSTEM=usb 'ATTRS{idVendor}=0403' 'ATTRS{idProduct}=6015'

finish
