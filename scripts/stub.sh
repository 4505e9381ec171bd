#!/usr/bin/env bash
# Writes python/quorvane/_core.pyi from the binding declarations; with --check, fails when
# the file in the tree differs from what the declarations give.
source "$(dirname "$0")/env.sh"
"$VENV/bin/python" -m pip install -q "numpy>=2" scipy-openblas32
build="$ROOT/build/stub"
cmake -S "$ROOT" -B "$build" -DPython_EXECUTABLE="$VENV/bin/python" -DQUORVANE_STUB=ON \
  -DCMAKE_BUILD_TYPE=Debug > /dev/null
cmake --build "$build" -j 4 --target quorvane_stub > /dev/null
stub="$ROOT/python/quorvane/_core.pyi"
if [ "${1:-}" = --check ]; then
  "$build/src/lib/quorvane_stub" | diff -u "$stub" - || { echo "stale $stub: run scripts/stub.sh" >&2; exit 1; }
else
  "$build/src/lib/quorvane_stub" > "$stub"
fi
