#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: once in the dev build and once with the
# address and undefined-behaviour sanitizers.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
for preset in dev asan; do
    echo "== $preset"
    bash scripts/build.sh "$preset"
    ctest --preset "$preset"
done
