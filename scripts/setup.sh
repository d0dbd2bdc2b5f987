#!/usr/bin/env bash
# Sets up a development environment: system packages, a virtualenv and an editable build.
set -euo pipefail
cd "$(dirname "$0")/.."

VENV=${ORVANE_VENV:-.venv}
PYTHON=${PYTHON:-python3}

need_apt=()
for pkg in libgtest-dev libxxhash-dev nlohmann-json3-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need_apt+=("$pkg")
done
command -v cmake >/dev/null 2>&1 || need_apt+=(cmake)
# Remote execution runs on Celery with a Redis broker; the tests start their own server.
command -v redis-server >/dev/null 2>&1 || need_apt+=(redis-server)
# The browser test opens the example in JupyterLab in headless Chromium.
if [ "${ORVANE_SKIP_BROWSER:-0}" != "1" ]; then
  command -v chromium >/dev/null 2>&1 || need_apt+=(chromium)
  command -v chromedriver >/dev/null 2>&1 || need_apt+=(chromium-driver)
fi
if [ ${#need_apt[@]} -gt 0 ]; then
  echo "== installing system packages: ${need_apt[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi

if [ ! -x "$VENV/bin/python" ]; then
  echo "== creating virtualenv $VENV"
  "$PYTHON" -m venv "$VENV"
fi
"$VENV/bin/python" -m pip install -q --upgrade pip
"$VENV/bin/python" -m pip install -q "scikit-build-core>=0.10" "pybind11>=3,<4" ninja
echo "== building orvane_core"
"$VENV/bin/python" -m pip install -q --no-build-isolation -e ".[test,bench]"
