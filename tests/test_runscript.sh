#!/usr/bin/env bash
# scripts/run without a display and without building: the line it prints on each path, what it starts, and that
# a simulator session leaves no process, link or lock behind however it ends.
# Usage: test_runscript.sh BUILD_DIR SOURCE_DIR
set -u -m    # job control: the script under test must receive SIGINT like a foreground command
build=$1
run=$2/scripts/run
tmp=$(mktemp -d)
export ORVIK_RUN_BUILD_DIR=$build QT_QPA_PLATFORM=offscreen TMPDIR=$tmp
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
# Waits up to 60 s (sanitized builds on a loaded machine are slow) for a command to succeed.
eventually() {
    local i
    for ((i = 0; i < 600; i++)); do "$@" && return 0; sleep 0.1; done
    return 1
}
has_line() { [ -s "$1" ] && [ "$(wc -l <"$1")" -ge 1 ]; }
child() { # PPID COMM: the pid of that child process
    local f pid comm state ppid
    for f in /proc/[0-9]*/stat; do
        read -r pid comm state ppid _ 2>/dev/null <"$f" || continue
        [ "$ppid" = "$1" ] && [ "$comm" = "($2)" ] && { echo "$pid"; return 0; }
    done
    return 1
}
# A process that has ended, or whose pid now belongs to something unrelated.
gone() { [ ! -e "/proc/$1" ] || ! grep -q "$tmp" "/proc/$1/cmdline" 2>/dev/null; }
ended() { ! kill -0 "$1" 2>/dev/null; }
cmdline_is() { same "$(tr '\0' ' ' <"/proc/$1/cmdline" 2>/dev/null)" "$2" >/dev/null; }
pty_link() { [[ $(readlink "$1") == /dev/pts/* ]]; }
sent() { grep -i "$2" "$1" 2>/dev/null | grep -q '"tx"'; }
locked() { [ -e /var/lock/"LCK..${1//\//_}" ] || [ -e /tmp/"LCK..${1//\//_}" ]; }
nothing() { local f; for f; do [ ! -e "$f" ] && [ ! -L "$f" ] || return 1; done; }

cleanup() {
    local pid
    for pid in $(jobs -p); do kill -KILL "$pid" 2>/dev/null; done
    rm -rf "$tmp"
}
trap cleanup EXIT

# Fake sysfs: two tty ports on other USB serial bridges and the Orvik bridge 0403:6015 listed last.
fake_tty() { # CLASS_DIR NAME VENDOR PRODUCT
    local usb=$tmp/sys/devices/usb1/1-$2
    mkdir -p "$usb/1-1:1.0/$2" "$1/$2"
    echo "$3" >"$usb/idVendor"
    echo "$4" >"$usb/idProduct"
    ln -s "$usb/1-1:1.0/$2" "$1/$2/device"
}
others=$tmp/sys/class-others
fake_tty "$others" ttyUSB0 0403 6001
fake_tty "$others" ttyUSB1 1a86 6015
mkdir -p "$others/tty0"
orvik=$tmp/sys/class-orvik
cp -a "$others" "$orvik"
fake_tty "$orvik" ttyUSBorvik 0403 6015

usage="Usage: scripts/run [PORT]                         Orvik Config on PORT, else on an attached Orvik device,
                                                  else on the simulator
       scripts/run --sim [SIM-OPTION...]          Orvik Config on the simulator
       scripts/run --update-demo [SIM-OPTION...]  the same with old device software, to watch an update
SIM-OPTIONs go to orvik-sim after the script's own (see orvik-sim --help)."

# Arguments and build directory that stop the script before it runs anything.
refused() { # NAME EXPECTED_STATUS EXPECTED_STDOUT EXPECTED_STDERR ARGS...
    local out err status=0
    out=$(bash "$run" "${@:5}" 2>"$tmp/err") || status=$?
    err=$(cat "$tmp/err")
    check "$1: status" same "$status" "$2"
    check "$1: stdout" same "$out" "$3"
    check "$1: stderr" same "$err" "$4"
}
refused helpPrintsUsage 0 "$usage" "" --help
refused unknownOptionIsRefused 2 "" "scripts/run: unknown option: --bogus
$usage" --bogus
refused secondArgumentIsRefused 2 "" "scripts/run: unexpected argument: extra
$usage" /dev/ttyUSB0 extra
ORVIK_RUN_BUILD_DIR=$tmp/empty refused missingBuildIsReported 1 "" \
    "scripts/run: $tmp/empty/app/orvik-config is missing: build first" /dev/ttyUSB0

# A simulator that cannot start (here: an option it does not know) is reported, and nothing is left behind.
status=0
bash "$run" --sim --no-such-option >"$tmp/failing.out" 2>"$tmp/failing.err" || status=$?
check "simulatorFailureIsReported: status" same "$status" 1
check "simulatorFailureIsReported: stdout" same "$(cat "$tmp/failing.out")" ""
check "simulatorFailureIsReported: message" same "$(grep '^scripts/run' "$tmp/failing.err")" \
    "scripts/run: orvik-sim did not start"
check "simulatorFailureIsReported: no run directory left" nothing "$tmp"/orvik-run.*

# Port and device paths: the script becomes the tool itself, with the port or with no argument at all.
direct() { # NAME EXPECTED_LINE EXPECTED_STDERR EXPECTED_CMDLINE ARGS...
    bash "$run" "${@:5}" >"$tmp/$1.out" 2>"$tmp/$1.err" &
    local pid=$!
    check "$1: line" eventually has_line "$tmp/$1.out"
    check "$1: line" same "$(head -n1 "$tmp/$1.out")" "$2"
    check "$1: tool" eventually cmdline_is "$pid" "$4"
    check "$1: stderr" same "$(grep '^scripts/run' "$tmp/$1.err")" "$3"
    kill -TERM "$pid"
    wait "$pid"
}
direct portArgumentRunsToolOnPort "Running Orvik Config on $tmp/port." "" \
    "$build/app/orvik-config $tmp/port " "$tmp/port"
ORVIK_RUN_TTY_CLASS=$orvik direct attachedDeviceIsLeftToTool \
    "Orvik device found at /dev/ttyUSBorvik: Orvik Config finds it by its USB ids." \
    "scripts/run: no read/write access to /dev/ttyUSBorvik: install the udev rule or join the dialout group (see README.md)." \
    "$build/app/orvik-config "

# Simulator paths. STOP is how the session ends: the window closes (the tool exits), Ctrl-C or SIGTERM.
simulated() { # NAME EXPECTED_LINE(printf format, %s = link) STOP STATUS REPLY_HEX ARGS...
    local name=$1 trace=$tmp/$1.jsonl
    bash "$run" "${@:6}" >"$tmp/$name.out" 2>"$tmp/$name.err" &
    local pid=$! sim tool link status=0
    check "$name: line" eventually has_line "$tmp/$name.out"
    link=$(echo "$tmp"/orvik-run.*/orvik-"$pid")
    # shellcheck disable=SC2059
    check "$name: line" same "$(head -n1 "$tmp/$name.out")" "$(printf "$2" "$link")"
    sim=$(eventually child "$pid" orvik-sim)
    tool=$(eventually child "$pid" orvik-config)
    check "$name: simulator runs" [ -n "$sim" ]
    check "$name: tool runs on the link" cmdline_is "$tool" "$build/app/orvik-config $link "
    check "$name: link to a pty" pty_link "$link"
    if [ -n "$5" ]; then
        check "$name: device answers the tool" eventually sent "$trace" "$5"
    fi
    check "$name: tool holds the port" eventually locked "$link"
    case $3 in
        window) kill -TERM "$tool" ;;
        *) kill "-$3" "$pid" ;;
    esac
    check "$name: script ends" eventually ended "$pid"
    wait "$pid" || status=$?
    check "$name: exit status" same "$status" "$4"
    check "$name: simulator stopped" gone "$sim"
    check "$name: tool stopped" gone "$tool"
    check "$name: no run directory left" nothing "$tmp"/orvik-run.*
    check "$name: no port lock left" nothing /var/lock/"LCK..${link//\//_}" /tmp/"LCK..${link//\//_}"
    check "$name: no sanitizer report" eval '! grep -E "Sanitizer|runtime error" "$tmp/$name.err"'
    if [ -n "$5" ]; then
        check "$name: simulator wrote its summary" grep -q '"summary"' "$trace"
    fi
}
# The reply to the software revision request (0x0B) carries 1.5.3 or, in the demo, 1.4.0.
ORVIK_RUN_TTY_CLASS=$others simulated noDeviceStartsSimulator \
    'No Orvik device found: running Orvik Config on the simulator at %s.' window 143 ""
simulated simulatorOnRequest 'Running Orvik Config on the simulator at %s.' INT 130 \
    8c312e352e33 --sim --trace "$tmp/simulatorOnRequest.jsonl"
simulated updateDemoOffersOldSoftware \
    'Running Orvik Config on the simulator at %s with old software 1.4.0: answer Yes to "Flash Orvik Device" to watch an update.' \
    TERM 143 8c312e342e30 --update-demo --trace "$tmp/updateDemoOffersOldSoftware.jsonl"

finish
