#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs each for a bounded time from its
# committed seed inputs. Fails when any target finds a crash or a broken
# check; the input that did it is kept in build-fuzz/artifacts/.
#   FUZZ_SECONDS  time per target (default 6)
#   CLANG_VERSION Debian clang to use (default 19)
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
FUZZ_SECONDS="${FUZZ_SECONDS:-6}"
ensure_clang

BUILD="$ROOT/build-fuzz"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_CXX_COMPILER="clang++-$CLANG_VERSION" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DMIRABUND_BUILD_FUZZ=ON -DMIRABUND_BUILD_EXTENSION=OFF >/dev/null
cmake --build "$BUILD" -j "$(nproc)" >/dev/null
stage "fuzz targets built; fuzzing"

# Runs write new inputs into their corpus folder: each works on a copy, so
# the committed seeds stay as they are.
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$BUILD/artifacts" "$BUILD/logs"

passed=0
failed=0
for source in "$ROOT"/fuzz/fuzz_*.cpp; do
    target="$(basename "$source" .cpp)"
    mkdir -p "$WORK/$target"
    if [ -d "$ROOT/fuzz/corpus/$target" ]; then
        cp -R "$ROOT/fuzz/corpus/$target"/. "$WORK/$target"
    fi
    log="$BUILD/logs/$target.log"
    if "$BUILD/$target" -max_total_time="$FUZZ_SECONDS" -timeout=10 -rss_limit_mb=4096 \
        -artifact_prefix="$BUILD/artifacts/$target-" "$WORK/$target" >"$log" 2>&1; then
        echo "ok      $target ($(grep -Eo '^Done [0-9]+ runs' "$log" | grep -Eo '[0-9]+') runs)"
        passed=$((passed + 1))
    else
        echo "FAILED  $target (log: $log)"
        grep -E -A3 '^\*\*\* check failed|ERROR: (libFuzzer|AddressSanitizer)|runtime error' "$log" | head -n 20 || true
        grep -Eo 'Test unit written to .*' "$log" || true
        echo "        rerun an input with: $BUILD/$target <input file>"
        failed=$((failed + 1))
    fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
