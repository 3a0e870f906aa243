#!/usr/bin/env bash
# Installs what is needed, builds Seafold and runs it on a default local setup.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
echo "Built. Executables are in build/bin/."
