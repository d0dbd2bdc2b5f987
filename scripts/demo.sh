#!/usr/bin/env bash
# Sets everything up, then runs the example notebook through the `orvane` command: a first run,
# a rerun served from the disk cache, and a short parameter search.
set -euo pipefail
cd "$(dirname "$0")/.."
ORVANE_SKIP_BROWSER=${ORVANE_SKIP_BROWSER:-1} bash scripts/setup.sh  # the demo needs no browser
VENV=${ORVANE_VENV:-.venv}
ORVANE="$VENV/bin/orvane"
NOTEBOOK=examples/house_prices.ipynb
OUT=demo-output
mkdir -p "$OUT"

echo
echo "== 1. First run: every component runs, independent branches side by side in worker processes; results are cached on disk"
"$ORVANE" run "$NOTEBOOK" --parallel -o "$OUT/house_prices.ipynb" --fresh

echo
echo "== 2. Second run, in a new kernel: every component is served from the disk cache"
"$ORVANE" run "$NOTEBOOK" -o "$OUT/house_prices.ipynb"

echo
echo "== 3. Parameter search: alpha and degree for the best test R2 of 'evaluate'"
if "$ORVANE" optimize "$NOTEBOOK" evaluate alpha=0.001:100:log degree=1:4:int --trials 12 \
    -o "$OUT/house_prices.search.ipynb"; then
  SEARCH="$OUT/house_prices.search.ipynb and $OUT/house_prices.search.files/"
else
  SEARCH="(the search did not complete; see its message above)"
fi

echo
echo "== Where things went"
echo "  executed notebook:  $OUT/house_prices.ipynb (each cell with its outputs)"
echo "  pipeline picture:   $OUT/house_prices.files/pipeline.svg"
echo "  search results:     $SEARCH"
echo "  open the example in JupyterLab for the live view: $VENV/bin/jupyter lab $NOTEBOOK"
