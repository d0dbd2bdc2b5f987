#!/usr/bin/env bash
# Sets everything up, then runs every test: lint, the C++ unit tests (ctest) and pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
VENV=${ORVANE_VENV:-.venv}
PY="$VENV/bin/python"

echo "== ruff"
"$VENV/bin/ruff" check orvane_core tests bench examples

echo "== C++ unit tests"
cmake -S . -B build/cpp-tests -DORVANE_TESTS=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/cpp-tests -j2 >/dev/null
ctest --test-dir build/cpp-tests --output-on-failure

echo "== Python tests"
"$PY" -m pytest -q "$@"
