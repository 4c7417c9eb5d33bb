#!/bin/sh
# Installs what is missing, builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer (clang, so the libFuzzer targets build too) and
# runs every test, short fuzzing runs included. The engine is also built once
# on its own, without Qt Widgets, Qml or Quick, so that no window class can
# creep into it.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

# The tree must say what the build does (folder order, includes, file sizes).
python3 scripts/check-layout.py

CC=clang CXX=clang++ cmake -S . -B build/engine -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DVELM_ENGINE_ONLY=ON -DVELM_BENCH=OFF
cmake --build build/engine

CC=clang CXX=clang++ cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DVELM_SANITIZE=ON -DVELM_FUZZ=ON
cmake --build build/test
cd build/test
QT_QPA_PLATFORM=offscreen QT_QUICK_BACKEND=software \
    ctest --output-on-failure -j "$(nproc)" "$@"
