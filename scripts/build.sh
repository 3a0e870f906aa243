#!/usr/bin/env bash
# Configures and builds Seafold into build/ (executables in build/bin/).
# Everything the configuration turns on by default (the tests and benchmarks
# need the packages of scripts/install-deps.sh --test); SEAFOLD_TARGET=programs
# builds only the two programs and their media (what scripts/run.sh needs).
# Arguments go to cmake's configuration (-DSEAFOLD_TESTS=OFF, say).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build build -j"$jobs" ${SEAFOLD_TARGET:+--target "$SEAFOLD_TARGET"}
