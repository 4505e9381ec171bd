#!/usr/bin/env bash
# Cross-compiles the kernels and their GoogleTests for aarch64 and runs them under
# user-mode emulation: the portable code, with no x86 vector file in the build.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
need=()
command -v aarch64-linux-gnu-g++ > /dev/null || need+=(g++-aarch64-linux-gnu)
command -v qemu-aarch64 > /dev/null || command -v qemu-aarch64-static > /dev/null || need+=(qemu-user)
[ -d /usr/src/googletest ] || need+=(googletest)
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" > /dev/null
fi
qemu="$(command -v qemu-aarch64 || command -v qemu-aarch64-static)"
build="$ROOT/build/cross-aarch64"
cross=(-DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=aarch64 -DCMAKE_CXX_COMPILER=aarch64-linux-gnu-g++
       -DCMAKE_BUILD_TYPE=RelWithDebInfo)
jobs="$(( $(nproc) > 4 ? 4 : $(nproc) ))"
# GoogleTest for the target, from Debian's sources.
if ! [ -e "$build/gtest/lib/cmake/GTest/GTestConfig.cmake" ]; then
  cmake -S /usr/src/googletest -B "$build/gtest-build" "${cross[@]}" -DCMAKE_C_COMPILER=aarch64-linux-gnu-gcc \
    -DCMAKE_INSTALL_PREFIX="$build/gtest" \
    -DBUILD_GMOCK=OFF > /dev/null
  cmake --build "$build/gtest-build" -j "$jobs" > /dev/null
  cmake --install "$build/gtest-build" > /dev/null
fi
cmake -S "$ROOT" -B "$build/kernels" "${cross[@]}" -DQUORVANE_PYTHON=OFF -DQUORVANE_TESTS=ON \
  -DGTest_DIR="$build/gtest/lib/cmake/GTest" -DCMAKE_CROSSCOMPILING_EMULATOR="$qemu;-L;/usr/aarch64-linux-gnu" \
  > /dev/null
cmake --build "$build/kernels" -j "$jobs" > /dev/null
"$qemu" -L /usr/aarch64-linux-gnu "$build/kernels/kernels/kernel_tests" --gtest_brief=1
