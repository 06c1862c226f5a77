#!/usr/bin/env bash
# Runs every test of serio8: the unit tests on Linux (plain and under the
# sanitizers), both Windows builds, and the program itself under Wine.
# Installs whatever it needs on a fresh Debian/Ubuntu machine.
set -euo pipefail
cd "$(dirname "$0")"
scripts/deps.sh

log=build/test-summary.log
mkdir -p build
: > "$log"
status=0
step() {  # step NAME COMMAND...
    local name=$1
    shift
    echo "=== $name"
    if "$@" 2>&1 | tee -a "$log"; then :; else status=1; echo "=== $name FAILED"; fi
}

step "unit tests" cmake --workflow --preset native
step "unit tests under sanitizers" cmake --workflow --preset native-sanitize
step "bounded fuzz run of the library" fuzz/run.sh 60
step "32-bit Windows build" cmake --workflow --preset windows-x86
step "64-bit Windows build" cmake --workflow --preset windows-x64
step "the program and the library under Wine" cmake --workflow --preset wine

# One closing line for all the CTest runs above.
passed=0
failed=0
while read -r _ _ _ nfail _ _ _ _ total; do
    passed=$((passed + total - nfail))
    failed=$((failed + nfail))
done < <(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$log" || true)
[ "$status" -eq 0 ] || failed=$((failed > 0 ? failed : 1))
echo "$passed passed, $failed failed"
exit "$status"
