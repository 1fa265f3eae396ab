#!/usr/bin/env bash
# Installs what is needed, checks the sources' format, builds, and runs every test: in the dev
# build, again under the address and undefined-behaviour sanitizers, the parallel scan under the
# thread sanitizer, and each parser's fuzz target for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
echo "== format (${SECONDS} s)"
bash scripts/check-format.sh
for preset in dev asan; do
    echo "== $preset (${SECONDS} s)"
    bash scripts/build.sh "$preset"
    ctest --preset "$preset"
done
echo "== tsan (${SECONDS} s)"
cmake --preset tsan >/dev/null
cmake --build --preset tsan --target engine_tests
ctest --preset tsan
echo "== package (${SECONDS} s)"
# The container's system is bootstrapped while the packages build.
export NORV_DEBOOTSTRAP_CACHE=$PWD/build/bookworm
bash tests/app/package_install_test.sh --prepare >/dev/null 2>&1 &
bootstrap=$!
bash tests/app/package_test.sh build/package
wait "$bootstrap" || true
status=0
bash tests/app/package_install_test.sh build/package || status=$?
[ "$status" -eq 0 ] || [ "$status" -eq 77 ]
echo "== fuzz (${SECONDS} s)"
bash scripts/fuzz.sh
echo "== done (${SECONDS} s)"
