#!/usr/bin/env bash
# Installs the wheel into a fresh virtualenv with only its PyPI dependencies and, from a folder
# outside the repository, runs the example notebook with `orvane run` and the magics in a kernel.
# Usage: scripts/test_wheel.sh [WHEEL]   (without WHEEL, scripts/dist.sh builds one first)
set -euo pipefail
cd "$(dirname "$0")/.."
REPO=$PWD
PYTHON=${PYTHON:-python3}
WHEEL=${1:-}
if [ -z "$WHEEL" ]; then
  ORVANE_WHEEL_PYTHONS=$PYTHON bash scripts/dist.sh
  WHEEL=$(ls dist/orvane_core-*-manylinux*.whl | head -n 1)
fi
WHEEL=$(realpath "$WHEEL")

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
echo "== installing $(basename "$WHEEL") ($(du -k "$WHEEL" | cut -f1) KiB) into a fresh virtualenv"
"$PYTHON" -m venv "$WORK/venv"
BIN=$WORK/venv/bin
start=$(date +%s%N)
# Binary packages only: installing must not need a compiler, for this package or its dependencies.
"$BIN/python" -m pip install -q --only-binary=:all: "$WHEEL" 2> >(grep -v '^WARNING: Location' >&2)
echo "   installed in $(( ($(date +%s%N) - start) / 1000000 )) ms"

# Nothing but the installed package can be imported: an empty folder, no PYTHONPATH, and the
# kernelspec of the virtualenv first.
mkdir "$WORK/run"
cp examples/house_prices.ipynb "$WORK/run/"
cd "$WORK/run"
export ORVANE_TEMP_DIR=$WORK/cache JUPYTER_PREFER_ENV_PATH=1
unset PYTHONPATH
echo "== orvane run on the example, then again from its disk cache"
"$BIN/orvane" run house_prices.ipynb --parallel --fresh
"$BIN/orvane" run house_prices.ipynb
for out in house_prices.out.ipynb house_prices.out.files/pipeline.svg; do
  [ -s "$out" ] || { echo "orvane run wrote no $out"; exit 1; }
done
echo "== the magics in a kernel of the installed package"
timeout 600 "$BIN/python" - <"$REPO/scripts/installed_magics.py"
