#!/usr/bin/env bash
# Sets everything up, then runs the example pipeline in a real IPython shell.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
"${ORVANE_VENV:-.venv}/bin/python" examples/demo.py "$@"
