#!/usr/bin/env bash
# Checks the types: mypy checks the examples and tests/typing/usage.py
# against the engine's stub, stubtest compares the stub with the installed
# module, and the usage file is run to show that the module accepts what the
# stub accepts. Then the same for the mirabund package: mypy --strict on its
# sources and on tests/typing/toolkit_usage.py (which uses the installed
# package through its py.typed marker), stubtest on the installed package,
# and the usage file run.
# Uses the package installed in the virtual environment, building and
# installing it only when none is there.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
ensure_venv
if ! "$VENV/bin/python" -c 'import _mirabund_core, mirabund, mirabund._native' 2>/dev/null; then
    ensure_debian_packages cmake g++
    install_module
fi
"$VENV/bin/python" -m pip install -q "mypy==2.4.1" numpy pandas pandas-stubs scipy-stubs

CONFIG="$ROOT/tests/typing/mypy.ini"
CACHE="$ROOT/build-typecheck/mypy-cache"
cd "$ROOT"

stage "type stub (mypy on the examples and the typed usage file)"
# Run first: it fails if the stub cannot be found, which stubtest, given a
# module name with a leading underscore, would pass over in silence.
"$VENV/bin/python" -m mypy --config-file "$CONFIG" --cache-dir "$CACHE" \
    tests/typing/usage.py examples/*.py

stage "type stub against the installed module (stubtest)"
"$VENV/bin/python" -m mypy.stubtest --mypy-config-file "$CONFIG" _mirabund_core

(cd "$ROOT/tests/typing" && "$VENV/bin/python" usage.py)

stage "the mirabund package (mypy --strict on its sources and a typed usage file)"
"$VENV/bin/python" -m mypy --config-file "$CONFIG" --cache-dir "$CACHE" src/mirabund
# From the tests' folder, so that mirabund is the installed package.
(cd "$ROOT/tests/typing" && "$VENV/bin/python" -m mypy --config-file "$CONFIG" --cache-dir "$CACHE" toolkit_usage.py)

stage "the installed mirabund package against its annotations (stubtest)"
# Its submodules too: mirabund._native against the stub installed beside it.
(cd "$ROOT/tests/typing" && "$VENV/bin/python" -m mypy.stubtest --mypy-config-file "$CONFIG" \
    --allowlist stubtest-toolkit-allowlist.txt mirabund)

(cd "$ROOT/tests/typing" && "$VENV/bin/python" toolkit_usage.py)
