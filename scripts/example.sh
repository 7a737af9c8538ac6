#!/usr/bin/env bash
# Builds and installs the package into .venv, then runs the main example: the
# report comparing the two models of the example data, topics as clusters,
# with its interval chart and JSON results, then the judge-bias checks.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
ensure_debian_packages cmake g++
ensure_venv
"$VENV/bin/python" -m pip install -q "$ROOT[plot]"
cd "$ROOT"
"$VENV/bin/mirabund" report examples/data/eval_items.csv --baseline ember-1 --candidate ember-2 \
    --metrics accuracy,helpfulness,faithfulness,coherence --cluster-column topic --seed 7 \
    --chart examples/report_intervals.png --json examples/report.json
echo
"$VENV/bin/python" examples/evaluate.py
