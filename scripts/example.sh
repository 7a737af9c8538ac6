#!/usr/bin/env bash
# Builds and installs the package into .venv (only when the source has changed
# since the last install there), then runs the main example: the report
# comparing two models of the inspect-ai logs in examples/data/inspect, topics
# as clusters, with its interval chart and JSON results; then the same report
# on the CSV table of examples/data, and the judge-bias checks.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
ensure_debian_packages cmake g++
ensure_venv
# The source's fingerprint: every file that goes into the package.
STAMP="$VENV/.mirabund-source"
SOURCE="$(cd "$ROOT" && find CMakeLists.txt pyproject.toml README.md core bindings src -type f ! -name '*.pyc' -print0 |
    sort -z | xargs -0 sha256sum | sha256sum | cut -d' ' -f1)"
if [ "$(cat "$STAMP" 2>/dev/null)" != "$SOURCE" ] || ! "$VENV/bin/python" -c 'import mirabund._native' 2>/dev/null; then
    "$VENV/bin/python" -m pip install -q "$ROOT[plot,inspect]"
    echo "$SOURCE" >"$STAMP"
fi
cd "$ROOT"
"$VENV/bin/mirabund" report examples/data/inspect --baseline mockllm/ember-1 --candidate mockllm/ember-2 \
    --cluster-column topic --lower-is-better brevity/words --seed 7 \
    --chart examples/report_intervals.png --json examples/report.json
echo
"$VENV/bin/mirabund" report examples/data/eval_items.csv --baseline ember-1 --candidate ember-2 \
    --metrics accuracy,helpfulness,faithfulness,coherence --cluster-column topic --seed 7
echo
"$VENV/bin/python" examples/evaluate.py
