#!/usr/bin/env bash
# Runs every test: the library's GoogleTest suite, the Python tests against
# the installed package (on the newest CPython found and on 3.12, the oldest
# supported), the type stub, the Python tests again against a build
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

echo "== Python tests (installed package, CPython $(python_version "$VENV/bin/python"))"
install_module
(cd "$ROOT" && "$VENV/bin/python" -m pytest -q -p no:cacheprovider tests/python)

# Once more on the oldest CPython supported, unless that was the one above.
# The sanitizer, packaging and fuzzing runs below are not repeated.
OLDEST=3.12
if [ "$(python_version "$VENV/bin/python")" != "$OLDEST" ]; then
    echo "== Python tests (installed package, CPython $OLDEST)"
    if PYTHON_OLDEST="$(find_python_version "$OLDEST")"; then
        VENV_OLDEST="$ROOT/.venv-$OLDEST"
        ensure_venv "$VENV_OLDEST" "$PYTHON_OLDEST"
        "$VENV_OLDEST/bin/python" -m pip install -q -r "$ROOT/tests/requirements.txt" \
            -r "$ROOT/tests/requirements-toolkit.txt"
        install_module "$VENV_OLDEST"
        (cd "$ROOT" && "$VENV_OLDEST/bin/python" -m pytest -q -p no:cacheprovider tests/python)
    elif [ -n "${CI:-}" ]; then
        echo "error: no CPython $OLDEST found (pyenv install $OLDEST, or put python$OLDEST on the PATH)" >&2
        exit 1
    else
        echo "skipped: no CPython $OLDEST found (pyenv install $OLDEST, or put python$OLDEST on the PATH)"
    fi
fi
bash "$ROOT/scripts/typecheck.sh"

echo "== Python tests (module built with ASan and UBSan)"
bash "$ROOT/scripts/sanitize.sh"

bash "$ROOT/scripts/package-check.sh"

echo "== fuzzing (libFuzzer with ASan and UBSan, about a minute)"
bash "$ROOT/scripts/fuzz.sh"
