#!/usr/bin/env bash
# Builds the release files into dist/: the source distribution and, from it alone (unpacked in an
# empty folder, the system's copies of the header-only libraries out of sight), a manylinux wheel.
set -euo pipefail
cd "$(dirname "$0")/.."
VENV=${ORVANE_VENV:-.venv}
OUT=${ORVANE_DIST:-dist}
# Interpreters to build wheels for, e.g. ORVANE_WHEEL_PYTHONS="python3.11 python3.12 python3.13".
PYTHONS=${ORVANE_WHEEL_PYTHONS:-${PYTHON:-python3}}
"$VENV/bin/python" -c "import build, auditwheel" 2>/dev/null || bash scripts/setup.sh

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$OUT"
rm -f "$OUT"/orvane_core-*

echo "== source distribution"
"$VENV/bin/python" -m build --sdist --no-isolation --outdir "$OUT" . >"$WORK/sdist.log" 2>&1 ||
  { cat "$WORK/sdist.log"; exit 1; }
SDIST=$(ls "$OUT"/orvane_core-*.tar.gz)
mkdir "$WORK/src"
tar -xzf "$SDIST" -C "$WORK/src"
SRC=$(echo "$WORK"/src/orvane_core-*)

# The Debian packages' copies are hidden in a private mount namespace: an overlay whites out their
# files under /usr/include and empty folders cover their CMake configurations, so the build sees a
# machine without them. Where that is not allowed, the build is told to skip the search instead.
mapfile -t SYSTEM_FILES < <(dpkg -L nlohmann-json3-dev libxxhash-dev 2>/dev/null |
  grep -E '^/usr/include/[^/]+$|/cmake/nlohmann_json$' || true)
hidden=(env)
cmake_defines=()
if [ ${#SYSTEM_FILES[@]} -gt 0 ]; then
  mkdir -p "$WORK/overlay/upper" "$WORK/overlay/work" "$WORK/empty"
  binds=""
  for path in "${SYSTEM_FILES[@]}"; do
    case $path in
      /usr/include/*) mknod "$WORK/overlay/upper/${path#/usr/include/}" c 0 0 2>/dev/null || true ;;
      *) [ -d "$path" ] && binds+="mount --bind $WORK/empty $path && " ;;
    esac
  done
  hidden=(unshare -m --propagation private bash -c "mount -t overlay overlay -o \
lowerdir=/usr/include,upperdir=$WORK/overlay/upper,workdir=$WORK/overlay/work /usr/include && \
$binds [ ! -e /usr/include/xxhash.h ] && exec \"\$@\"" hide)
  if ! "${hidden[@]}" true 2>/dev/null; then
    echo "   (the system's header packages cannot be hidden here: the build skips them instead)"
    hidden=(env)
    cmake_defines=(-C cmake.define.ORVANE_BUNDLED_DEPS=ON)
  fi
fi

for python in $PYTHONS; do
  echo "== wheel for $("$python" -c 'import sys; print(sys.implementation.cache_tag)'), built from the source distribution alone"
  rm -rf "$SRC/build" "$WORK/wheel"
  # Build isolation, as a user's `pip install` of the sdist: build requirements come from PyPI.
  if ! "${hidden[@]}" "$python" -m pip wheel -q --no-deps "${cmake_defines[@]}" \
      -w "$WORK/wheel" "$SRC" >"$WORK/wheel.log" 2>&1; then
    cat "$WORK/wheel.log"
    exit 1
  fi
  # The bundled copies were the ones used: the search found nothing, or was skipped.
  cache=$(echo "$SRC"/build/*/CMakeCache.txt)
  if ! grep -qE 'XXHASH_INCLUDE_DIR:PATH=XXHASH_INCLUDE_DIR-NOTFOUND|ORVANE_BUNDLED_DEPS:BOOL=ON' "$cache" ||
      grep -q '^nlohmann_json_DIR:PATH=/' "$cache"; then
    echo "the wheel was built with a system copy of a header-only library"
    exit 1
  fi
  # Repaired into a manylinux wheel holding every library it links outside the manylinux set.
  PATH="$PWD/$VENV/bin:$PATH" "$VENV/bin/auditwheel" repair -w "$OUT" "$WORK"/wheel/*.whl \
    >"$WORK/repair.log" 2>&1 || { cat "$WORK/repair.log"; exit 1; }
done
ls -l "$OUT"/orvane_core-*
