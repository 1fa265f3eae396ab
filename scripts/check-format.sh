#!/usr/bin/env bash
# Fails when a C or C++ file the repository tracks is not as clang-format (.clang-format) writes it.
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files '*.c' '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
