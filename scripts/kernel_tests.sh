#!/usr/bin/env bash
# Builds and runs the GoogleTest suite of the kernels; "tsan" builds it under
# ThreadSanitizer, "asan" under AddressSanitizer and UBSan.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
mode="${1:-plain}"
if ! [ -e /usr/include/gtest/gtest.h ]; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev > /dev/null
fi
flags=()
case "$mode" in
  tsan) flags+=(-DQUORVANE_TSAN=ON) ;;
  asan) flags+=(-DQUORVANE_SANITIZE=ON) ;;
esac
build="$ROOT/build/kernel-tests-$mode"
cmake -S "$ROOT" -B "$build" -DQUORVANE_PYTHON=OFF -DQUORVANE_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo "${flags[@]}" > /dev/null
cmake --build "$build" -j "$(nproc)" > /dev/null
# TSan cannot map its shadow memory under high-entropy ASLR on some kernels.
if [ "$mode" = tsan ] && command -v setarch > /dev/null; then
  TSAN_OPTIONS="halt_on_error=1" setarch "$(uname -m)" -R "$build/kernels/kernel_tests"
else
  "$build/kernels/kernel_tests"
fi
