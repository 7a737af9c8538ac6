# Shared by the project's scripts: finds a CPython 3.12+ and prepares the
# virtual environment. Sourced, not run.

set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${VENV:-$ROOT/.venv}"

# Stage headings carry the seconds since the outermost script started, which
# shows where a run's minutes go.
export MIRABUND_STARTED="${MIRABUND_STARTED:-$(date +%s)}"
stage() { echo "== $* ($(($(date +%s) - MIRABUND_STARTED)) s)"; }

python_ok() {
    "$1" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 12) else 1)' >/dev/null 2>&1
}

# $PYTHON first, then versioned commands on the PATH, then pyenv's installs,
# then plain python3.
find_python() {
    local candidate
    for candidate in ${PYTHON:-} python3.13 python3.12 \
        "$(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.1[2-9]*/bin/python3 2>/dev/null | sort -V -r | head -n 1)" \
        python3; do
        [ -n "$candidate" ] || continue
        if command -v "$candidate" >/dev/null 2>&1 && python_ok "$candidate"; then
            command -v "$candidate"
            return 0
        fi
    done
    echo "error: no CPython 3.12 or later found; set PYTHON to one" >&2
    return 1
}

# "3.12" for a CPython 3.12.
python_version() {
    "$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])'
}

# The newest CPython of one minor version (say 3.12), from the PATH or from
# pyenv's installs; fails when there is none.
find_python_version() {
    local version="$1" candidate
    for candidate in "python$version" \
        $(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$version".*/bin/python3 2>/dev/null | sort -V -r); do
        if command -v "$candidate" >/dev/null 2>&1 && [ "$(python_version "$candidate" 2>/dev/null)" = "$version" ]; then
            command -v "$candidate"
            return 0
        fi
    done
    return 1
}

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Debian packages, installed only when missing.
ensure_debian_packages() {
    local missing=()
    local package
    for package in "$@"; do
        dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
    done
    if [ "${#missing[@]}" -gt 0 ]; then
        as_root apt-get update -qq
        DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
}

# Debian's clang with its sanitizer and fuzzer runtimes; 14 is too old for
# <expected>.
CLANG_VERSION="${CLANG_VERSION:-19}"
ensure_clang() {
    ensure_debian_packages cmake g++ "clang-$CLANG_VERSION" "libclang-rt-$CLANG_VERSION-dev"
}

# The virtual environment $VENV, or the one given, made with the given
# interpreter (by default the one find_python finds). pip is upgraded when the
# environment is made, not again by every script that uses it.
ensure_venv() {
    local venv="${1:-$VENV}" python="${2:-$(find_python)}"
    if [ ! -x "$venv/bin/python" ] || ! python_ok "$venv/bin/python" ||
        [ "$(python_version "$venv/bin/python")" != "$(python_version "$python")" ]; then
        rm -rf "$venv"
        "$python" -m venv "$venv"
        "$venv/bin/python" -m pip install -q --upgrade pip >/dev/null
    fi
}

# How every pass runs the Python tests: spread over the cores (pytest-xdist),
# which halves the wall time of each pass on two.
PYTEST_OPTIONS=(-q -p no:cacheprovider -n auto)

# Builds and installs the module into $VENV, or the virtual environment given.
install_module() {
    "${1:-$VENV}/bin/python" -m pip install -q "$ROOT"
}
