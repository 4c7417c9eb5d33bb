#!/bin/sh
# Installs what is missing, builds Velm (Release) and starts it. Without a
# display it runs under Xvfb. Extra arguments go to velm.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELM_TESTS=OFF -DVELM_BENCH=OFF
cmake --build build/release --target velm
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
    exec build/release/bin/velm "$@"
else
    exec xvfb-run -a -s "-screen 0 1600x1000x24" build/release/bin/velm "$@"
fi
