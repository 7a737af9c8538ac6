#!/usr/bin/env bash
# Runs the Python tests against a build of the module with AddressSanitizer
# (leak detection on) and UndefinedBehaviorSanitizer. The build uses clang and
# its sanitizer runtime: the runtime of Debian's gcc 12 now and then crashes
# while scanning thread-local storage for leaks at exit (seen with
# matplotlib loaded), which would fail a clean run.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
ensure_clang
ensure_venv

BUILD="$ROOT/build-sanitize"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_CXX_COMPILER="clang++-$CLANG_VERSION" -DMIRABUND_SANITIZE=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$VENV/bin/python" >/dev/null
cmake --build "$BUILD" -j "$(nproc)" --target _mirabund_core _native >/dev/null
# The build holds mirabund._native in mirabund/; the package's own files are
# linked in beside it, so that the package imported is this one, whatever
# copy is installed.
for file in "$ROOT"/src/mirabund/*; do
    ln -sfn "$file" "$BUILD/mirabund/"
done
stage "sanitized module built; its tests"
RUNTIME="$(clang++-"$CLANG_VERSION" -print-file-name=libclang_rt.asan-x86_64.so)"

# The interpreter is not instrumented: the runtime is preloaded (with the C++
# library, so that ASan finds the real exception thrower), Python's own
# allocator is bypassed so ASan sees every block, and leaks whose allocating
# frame lies in the interpreter are its own, not ours.
# The tests that time the interpreter lock and Ctrl-C run in one process
# after the rest, which run on every core: their timing is tight enough
# under the sanitizer without a second worker beside them.
TIMED=(tests/python/test_interruption.py tests/python/test_native.py tests/python/test_threads.py)
cd "$ROOT"
sanitized() {
    LD_PRELOAD="$RUNTIME $(g++ -print-file-name=libstdc++.so)" \
        PYTHONMALLOC=malloc \
        ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:allocator_may_return_null=1:malloc_context_size=2" \
        LSAN_OPTIONS="suppressions=$ROOT/tests/sanitizer/lsan.supp:print_suppressions=0" \
        UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
        MIRABUND_EXPECT_MODULE_DIR="$BUILD" \
        MIRABUND_SANITIZED=1 \
        PYTHONPATH="$BUILD" \
        "$VENV/bin/python" -m pytest "${PYTEST_OPTIONS[@]}" "$@"
}
sanitized "${TIMED[@]/#/--ignore=}" tests/python
sanitized -n 0 "${TIMED[@]}"
