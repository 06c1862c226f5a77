#!/usr/bin/env bash
# Builds fuzz_comopen with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer and runs it for a bounded time from the seed
# corpus. Exits non-zero when an input crashes; the input is left as
# <build>/crash-* for a regression test.
#   fuzz/run.sh [SECONDS]        default 60; FUZZ_BUILD_DIR overrides build/fuzz
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=${FUZZ_BUILD_DIR:-build/fuzz}

cmake --preset fuzz -B "$build" >/dev/null
cmake --build "$build" --target fuzz_comopen

# What the run finds goes to a scratch corpus; the committed seeds stay as they are.
found=$(mktemp -d)
trap 'rm -rf "$found"' EXIT
status=0
"$build/fuzz/fuzz_comopen" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -dict=fuzz/comopen.dict -print_final_stats=1 -artifact_prefix="$build/" \
    "$found" fuzz/corpus || status=$?
if [ "$status" -ne 0 ]; then
    echo "fuzz_comopen: an input crashed (exit $status); see $build/crash-* and the report above" >&2
else
    echo "fuzz_comopen: no crash in ${seconds} s"
fi
exit "$status"
