#!/bin/sh
# Installs what is missing, builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer (clang, so the libFuzzer targets build too) and
# runs every test, short fuzzing runs included.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
CC=clang CXX=clang++ cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DVELM_SANITIZE=ON -DVELM_FUZZ=ON
cmake --build build/test
cd build/test
QT_QPA_PLATFORM=offscreen QT_QUICK_BACKEND=software \
    ctest --output-on-failure -j "$(nproc)" "$@"
