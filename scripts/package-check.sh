#!/usr/bin/env bash
# Checks the packaging: builds the sdist and, from it, the wheel; checks the
# wheel's contents; installs the wheel alone into a new, empty virtual
# environment, where it must import and run a report with only the
# dependencies it declares; then installs it in $VENV and runs the Python
# tests against it there, from outside the source tree, so that nothing is
# imported from the checkout.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
ensure_debian_packages cmake g++
ensure_venv
"$VENV/bin/python" -m pip install -q build -r "$ROOT/tests/requirements.txt" \
    -r "$ROOT/tests/requirements-toolkit.txt" -r "$ROOT/tests/requirements-harnesses.txt"

WORK="$(mktemp -d "${TMPDIR:-/tmp}/mirabund-package.XXXXXX")"
trap 'rm -rf "$WORK"' EXIT

stage "sdist, and a wheel built from it"
# With no --sdist/--wheel flag, build makes the sdist first and the wheel
# from the unpacked sdist, so a file missing from the sdist fails the build.
if ! "$VENV/bin/python" -m build --outdir "$WORK/dist" "$ROOT" >"$WORK/build.log" 2>&1; then
    cat "$WORK/build.log"
    exit 1
fi
SDIST=("$WORK"/dist/*.tar.gz)
WHEEL=("$WORK"/dist/*.whl)
echo "${SDIST[0]##*/} ${WHEEL[0]##*/}"

"$VENV/bin/python" - "${SDIST[0]}" "${WHEEL[0]}" <<'EOF'
import sys
import tarfile
import zipfile

sdist, wheel = sys.argv[1:]
with tarfile.open(sdist) as tar:
    names = [n.split("/", 1)[1] for n in tar.getnames() if "/" in n]
stray = [n for n in names if n.startswith(("build", ".venv")) or n.endswith((".so", ".pyc"))]
assert not stray, f"sdist carries build output: {stray[:5]}"

with zipfile.ZipFile(wheel) as whl:
    names = whl.namelist()
    top = sorted(n for n in names if "/" not in n)
    metadata = next(whl.read(n).decode() for n in names if n.endswith(".dist-info/METADATA"))
    entry_points = next(whl.read(n).decode() for n in names if n.endswith(".dist-info/entry_points.txt"))
assert "_mirabund_core.pyi" in top, f"wheel lacks the stub: {top}"
modules = [n for n in top if n.startswith("_mirabund_core.") and n.endswith(".so")]
assert len(modules) == 1, f"wheel should hold one extension module: {top}"
assert sorted(top) == sorted(["_mirabund_core.pyi", *modules]), f"unexpected files in the wheel: {top}"
for line in ["Name: mirabund", "Requires-Python: >=3.12", "Requires-Dist: numpy>=1.26", "Requires-Dist: pyarrow>=14",
             "Requires-Dist: narwhals>=2.0"]:
    assert line in metadata.splitlines(), f"wheel metadata lacks {line!r}"
assert "_mirabund_core-stubs/__init__.pyi" in names, "wheel lacks the stub-only package"
package = sorted(n for n in names if n.startswith("mirabund/"))
for required in ["mirabund/__init__.py", "mirabund/__main__.py", "mirabund/py.typed", "mirabund/_native.pyi"]:
    assert required in package, f"wheel lacks {required}: {package}"
native = [n for n in package if n.startswith("mirabund/_native.") and n.endswith(".so")]
assert len(native) == 1, f"wheel should hold mirabund/_native as one extension module: {package}"
assert "mirabund = mirabund._cli:main" in entry_points, f"wheel lacks the mirabund command: {entry_points}"
print(f"wheel holds {', '.join(top)}, _mirabund_core-stubs/ and {', '.join(package)}")
EOF

stage "the wheel alone in a new virtual environment"
"$(find_python)" -m venv "$WORK/venv"
"$WORK/venv/bin/python" -m pip install -q "${WHEEL[0]}"
printf 'model,item,score\na,q1,1\na,q2,0\na,q3,1\nb,q1,1\nb,q2,1\nb,q3,1\n' >"$WORK/scores.csv"
(cd "$WORK" && env -u PYTHONPATH "$WORK/venv/bin/python" -m mirabund report scores.csv --baseline a \
    --candidate b >/dev/null) || { echo "error: the wheel alone cannot run a report" >&2; exit 1; }

# The same wheel into $VENV, where the tests and the type checks read the
# installed package, so that the module is not compiled a second time.
stage "Python tests against the wheel"
"$VENV/bin/python" -m pip install -q --force-reinstall --no-deps "${WHEEL[0]}"
"$VENV/bin/python" -m pip install -q "${WHEEL[0]}"
SITE="$("$VENV/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')"
[ -f "$SITE/_mirabund_core.pyi" ] || { echo "error: the stub is not installed beside the module" >&2; exit 1; }
compgen -G "$SITE/mirabund/_native.*.so" >/dev/null && [ -f "$SITE/mirabund/_native.pyi" ] ||
    { echo "error: mirabund._native or its stub is not installed in the package" >&2; exit 1; }

# The tests read README.md and examples/ beside tests/; copy all three, and
# nothing that could be imported in place of the installed module.
mkdir "$WORK/tree"
cp -r "$ROOT/README.md" "$ROOT/examples" "$ROOT/tests" "$WORK/tree/"
(cd "$WORK/tree" && env -u PYTHONPATH MIRABUND_EXPECT_MODULE_DIR="$SITE" \
    "$VENV/bin/python" -m pytest "${PYTEST_OPTIONS[@]}" tests/python)
