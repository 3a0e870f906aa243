#!/usr/bin/env bash
# Builds the Debian package build/seafold_VERSION_amd64.deb (CPack): the two
# programs, their media, manual pages, the menu entry and the server's unit,
# installed under /usr. Its dependencies are computed from the programs.
# Builds only what the package holds (in build/, beside the normal build).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
# Installing must not build everything (tests, benchmarks, tools): only the
# targets below go into the package.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
      -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON "$@" >/dev/null
cmake --build build -j"$jobs" --target programs seafold_manpages seafold_changelog
rm -f build/seafold_*.deb
(cd build && cpack -G DEB >/dev/null)
ls build/seafold_*.deb
