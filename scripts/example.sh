#!/usr/bin/env bash
# Builds and installs the module into .venv, then runs the main example.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
ensure_debian_packages cmake g++
ensure_venv
install_module
"$VENV/bin/python" -m pip install -q matplotlib
cd "$ROOT/examples" && "$VENV/bin/python" evaluate.py
