#!/usr/bin/env bash
# Sets everything up, then runs every test: lint, the C++ unit tests (ctest), pytest, and the
# installed-wheel test (a wheel built from the source distribution, in a fresh virtualenv).
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

# The same tests under AddressSanitizer + UBSan and under ThreadSanitizer (the cache writer is a
# second thread). Release-level optimisation keeps the two extra builds and runs short.
for san in address thread; do
  echo "== C++ unit tests under the $san sanitizer"
  cmake -S . -B "build/cpp-$san" -DORVANE_TESTS=ON -DORVANE_SANITIZE=$san \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "build/cpp-$san" -j2 >/dev/null
  # ThreadSanitizer needs the address-space layout it was built for; without ASLR it always
  # gets it, whatever randomisation the machine's kernel applies.
  run=()
  if [ "$san" = thread ] && setarch "$(uname -m)" -R true 2>/dev/null; then
    run=(setarch "$(uname -m)" -R)
  fi
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    "${run[@]}" ctest --test-dir "build/cpp-$san" --output-on-failure
done

# Before pytest, whose summary stays the last line of the run.
if [ "${ORVANE_SKIP_WHEEL:-0}" != "1" ]; then
  echo "== installed-wheel test"
  bash scripts/test_wheel.sh
fi

echo "== Python tests"
"$PY" -m pytest -q "$@"
