# Sourced by the shell tests: counted checks and a summary that sets the exit status.
failed=0
passed=0

check() { # NAME COMMAND...
    if "${@:2}"; then passed=$((passed + 1)); else echo "FAIL: $1"; failed=$((failed + 1)); fi
}
same() { [ "$1" = "$2" ] || { printf 'expected: %s\nactual:   %s\n' "$2" "$1"; return 1; }; }
finish() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}
