#!/usr/bin/env bash
# Installs what is needed, checks the sources' format, builds, and runs every test: in the dev
# build, again under the address and undefined-behaviour sanitizers, the parallel scan under the
# thread sanitizer, and each parser's fuzz target for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
echo "== format"
bash scripts/check-format.sh
for preset in dev asan; do
    echo "== $preset"
    bash scripts/build.sh "$preset"
    ctest --preset "$preset"
done
echo "== tsan"
cmake --preset tsan >/dev/null
cmake --build --preset tsan --target engine_tests
ctest --preset tsan
echo "== fuzz"
bash scripts/fuzz.sh
