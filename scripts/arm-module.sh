#!/usr/bin/env bash
# The extension for CPython 3.13 on 32-bit ARM, built as the armv7l wheel is (same toolchain file,
# sysroot and flags) but not stripped, in a package directory that bench/cost.py --arm takes:
#   scripts/arm-module.sh        writes build/arm-module/pkg/korvane (roots made when missing)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOTS=$PWD/build/roots
WORK=$PWD/build/arm-module
TRIPLE=arm-linux-gnueabihf

# The same roots, with the same package lists, as scripts/dist.sh makes.
scripts/make-root.sh "$ROOTS/bullseye-armhf" armhf bullseye libc6-dev linux-libc-dev libgcc-s1
scripts/make-root.sh "$ROOTS/trixie-armhf" armhf trixie python3.13 python3.13-dev python3-pytest \
  python3-pip

headers=$WORK/headers
rm -rf "$headers" && mkdir -p "$headers/$TRIPLE"
ln -s "$(dirname "$(ls /usr/include/rapidjson/reader.h)")" "$headers/rapidjson"
ln -s "$(dirname "$(ls /usr/include/dragonbox*/dragonbox/dragonbox.h | sort -V | tail -n1)")" \
  "$headers/dragonbox"
ln -s /usr/include/fast_float "$headers/fast_float"
ln -s "$ROOTS/trixie-armhf/usr/include/python3.13" "$headers/python3.13"
ln -s "$ROOTS/trixie-armhf/usr/include/$TRIPLE/python3.13" "$headers/$TRIPLE/python3.13"

export KORVANE_SYSROOT=$ROOTS/bullseye-armhf KORVANE_TRIPLE=$TRIPLE KORVANE_PYTHON_HEADERS=$headers
cmake -S . -B "$WORK/build" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/wheel-sysroot.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DKORVANE_BUILD_PYTHON=ON -DKORVANE_BUILD_TESTS=OFF \
  -DKORVANE_BUILD_BENCHMARKS=OFF -DPython_INCLUDE_DIR="$headers/python3.13" \
  -DSKBUILD_SOABI=cpython-313-$TRIPLE >/dev/null
cmake --build "$WORK/build" -j"${JOBS:-2}" >/dev/null
rm -rf "$WORK/pkg" && mkdir -p "$WORK/pkg"
cp -r python/korvane "$WORK/pkg/"
find "$WORK/pkg" -name __pycache__ -prune -exec rm -rf {} +
cp "$WORK/build/engine/_engine.cpython-313-$TRIPLE.so" "$WORK/pkg/korvane/"
echo "$WORK/pkg"
