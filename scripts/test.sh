#!/usr/bin/env bash
# Runs every test: the library's GoogleTest suite, the packaging (sdist,
# wheel, and the Python tests against the wheel installed on the newest
# CPython found), the Python tests again on 3.12, the oldest supported, the
# types, the Python tests again against a build of the module with
# AddressSanitizer and UndefinedBehaviorSanitizer, and a minute of fuzzing of
# every library operation.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
ensure_debian_packages cmake g++ libgtest-dev
ensure_venv
JOBS="$(nproc)"

stage "library tests (ctest)"
cmake -S "$ROOT" -B "$ROOT/build-tests" -DMIRABUND_BUILD_TESTS=ON -DMIRABUND_BUILD_EXTENSION=OFF \
    -DMIRABUND_WERROR=ON >/dev/null
cmake --build "$ROOT/build-tests" -j "$JOBS" >/dev/null
stage "library built; its tests"
ctest --test-dir "$ROOT/build-tests" --output-on-failure -j "$JOBS"

# The Python tests on the newest CPython run here, against the wheel built
# from the sdist, installed in $VENV with the tests' requirements.
bash "$ROOT/scripts/package-check.sh"

# Once more on the oldest CPython supported, unless that was the one above.
# The sanitizer and fuzzing runs below are not repeated, nor are the
# harnesses' own runs: they only make the logs that the package reads, which
# the tests above read on the newest CPython.
OLDEST=3.12
if [ "$(python_version "$VENV/bin/python")" != "$OLDEST" ]; then
    stage "Python tests (installed package, CPython $OLDEST)"
    if PYTHON_OLDEST="$(find_python_version "$OLDEST")"; then
        VENV_OLDEST="$ROOT/.venv-$OLDEST"
        ensure_venv "$VENV_OLDEST" "$PYTHON_OLDEST"
        "$VENV_OLDEST/bin/python" -m pip install -q -r "$ROOT/tests/requirements.txt" \
            -r "$ROOT/tests/requirements-toolkit.txt"
        install_module "$VENV_OLDEST"
        stage "module built for CPython $OLDEST; its tests"
        (cd "$ROOT" && "$VENV_OLDEST/bin/python" -m pytest "${PYTEST_OPTIONS[@]}" tests/python)
    elif [ -n "${CI:-}" ]; then
        echo "error: no CPython $OLDEST found (pyenv install $OLDEST, or put python$OLDEST on the PATH)" >&2
        exit 1
    else
        echo "skipped: no CPython $OLDEST found (pyenv install $OLDEST, or put python$OLDEST on the PATH)"
    fi
fi

# The type checks read the package installed in $VENV: the wheel that the
# packaging check built from this tree.
bash "$ROOT/scripts/typecheck.sh"

stage "Python tests (module built with ASan and UBSan)"
bash "$ROOT/scripts/sanitize.sh"

stage "fuzzing (libFuzzer with ASan and UBSan, about a minute)"
bash "$ROOT/scripts/fuzz.sh"
stage "every test passed"
