#!/usr/bin/env bash
# Runs every test: the library's GoogleTest suite, the Python tests against
# the installed module, the type stub, the Python tests again against a build
# of the module with AddressSanitizer and UndefinedBehaviorSanitizer, the
# packaging (sdist, wheel, tests against the installed wheel), and a minute
# of fuzzing of every library operation.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
ensure_debian_packages cmake g++ libgtest-dev
ensure_venv
"$VENV/bin/python" -m pip install -q -r "$ROOT/tests/requirements.txt"
JOBS="$(nproc)"

echo "== library tests (ctest)"
cmake -S "$ROOT" -B "$ROOT/build-tests" -DMIRABUND_BUILD_TESTS=ON -DMIRABUND_BUILD_EXTENSION=OFF \
    -DMIRABUND_WERROR=ON >/dev/null
cmake --build "$ROOT/build-tests" -j "$JOBS" >/dev/null
ctest --test-dir "$ROOT/build-tests" --output-on-failure -j "$JOBS"

echo "== Python tests (installed module)"
install_module
(cd "$ROOT" && "$VENV/bin/python" -m pytest -q -p no:cacheprovider tests/python)
bash "$ROOT/scripts/typecheck.sh"

echo "== Python tests (module built with ASan and UBSan)"
cmake -S "$ROOT" -B "$ROOT/build-asan" -DMIRABUND_SANITIZE=ON -DMIRABUND_WERROR=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$VENV/bin/python" >/dev/null
cmake --build "$ROOT/build-asan" -j "$JOBS" --target _mirabund_core >/dev/null
# The interpreter is not instrumented: the runtime is preloaded (with the C++
# library, so that ASan finds the real exception thrower), Python's own
# allocator is bypassed so ASan sees every block, and leaks whose allocating
# frame lies in the interpreter are its own, not ours.
(cd "$ROOT" && \
    LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" \
    PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:allocator_may_return_null=1:malloc_context_size=2" \
    LSAN_OPTIONS="suppressions=$ROOT/tests/sanitizer/lsan.supp:print_suppressions=0" \
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
    MIRABUND_EXPECT_MODULE_DIR="$ROOT/build-asan" \
    PYTHONPATH="$ROOT/build-asan" \
    "$VENV/bin/python" -m pytest -q -p no:cacheprovider tests/python)

bash "$ROOT/scripts/package-check.sh"

echo "== fuzzing (libFuzzer with ASan and UBSan, about a minute)"
bash "$ROOT/scripts/fuzz.sh"
