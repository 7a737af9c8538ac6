#!/usr/bin/env bash
# Runs every test: the library's GoogleTest suite, the Python tests against
# the installed module, the type stub, the Python tests again against a build
# of the module with AddressSanitizer and UndefinedBehaviorSanitizer, the
# packaging (sdist, wheel, tests against the installed wheel), and a minute
# of fuzzing of every library operation.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
ensure_debian_packages cmake g++ libgtest-dev
ensure_venv
"$VENV/bin/python" -m pip install -q -r "$ROOT/tests/requirements.txt" -r "$ROOT/tests/requirements-toolkit.txt"
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
bash "$ROOT/scripts/sanitize.sh"

bash "$ROOT/scripts/package-check.sh"

echo "== fuzzing (libFuzzer with ASan and UBSan, about a minute)"
bash "$ROOT/scripts/fuzz.sh"
