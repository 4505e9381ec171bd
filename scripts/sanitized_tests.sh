#!/usr/bin/env bash
# The pytest suite against an extension built with AddressSanitizer and UBSan. The
# interpreter is not instrumented, so the ASan runtime is preloaded and leak checks,
# which would report the interpreter's own allocations, are off.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
export VENV="${VENV:-$ROOT/.venv-ci-asan}"
source "$ROOT/scripts/env.sh"
"$VENV/bin/python" -m pip install -q scikit-build-core "numpy>=2" pytest hypothesis scipy scikit-learn scipy-openblas32
"$VENV/bin/python" -m pip install -q --no-build-isolation \
  -Ccmake.define.QUORVANE_SANITIZE=ON -Ccmake.build-type=RelWithDebInfo -Cbuild-dir=build/asan "$ROOT"
asan="$(g++ -print-file-name=libasan.so)"
ubsan="$(g++ -print-file-name=libubsan.so)"
cd "$ROOT"
LD_PRELOAD="$asan:$ubsan" ASAN_OPTIONS="detect_leaks=0:abort_on_error=0" \
  UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" QUORVANE_SANITIZED=1 \
  "$VENV/bin/python" -m pytest -q -p no:cacheprovider -x
