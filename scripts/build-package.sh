#!/usr/bin/env bash
# Builds norv's Debian source and binary packages with Debian's own tools, from a copy of this
# tree (tracked files and new ones not ignored), and checks them with lintian.
#
#   scripts/build-package.sh OUT_DIR
#
# OUT_DIR receives the .dsc, the source tarball, the .deb files and lintian's report. Exits
# non-zero when the build fails or lintian reports an error or a warning.
set -euo pipefail
out=$(realpath -m "${1:?usage: build-package.sh OUT_DIR}")
source_tree=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/norv" "$out"
(cd "$source_tree" && git ls-files -z --cached --others --exclude-standard |
    xargs -0 -r sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh |
    tar --null -T - -cf -) | tar -xf - -C "$work/norv"
cd "$work/norv"
# ccache, where the machine has it, keeps a second build short; the package is the same.
launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
DEB_BUILD_OPTIONS="parallel=$(nproc)" NORV_CMAKE_EXTRA="${launcher[*]}" \
    dpkg-buildpackage -us -uc >"$out/build.log" 2>&1 || {
    tail -40 "$out/build.log"
    echo "FAIL: dpkg-buildpackage (the whole log: $out/build.log)"
    exit 1
}
rm -f "$out"/*.deb "$out"/*.changes "$out"/*.dsc "$out"/*.tar.* "$out"/*.buildinfo
cp "$work"/*.deb "$work"/*.changes "$work"/*.dsc "$work"/*.tar.* "$work"/*.buildinfo "$out/"
cd "$out"
lintian --fail-on error,warning --info --display-level ">=warning" ./*.changes | tee lintian.txt
echo "package: built, lintian clean ($out)"
