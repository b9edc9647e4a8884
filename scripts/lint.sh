#!/usr/bin/env bash
# The house checks: clang-format over every source, and clang-tidy (the
# checks in .clang-tidy) over every compiled one. Needs the configured
# build/ folder for its compile_commands.json; the test command runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror
# The fuzz targets are compiled only in the clang build; the rest here.
git ls-files -z '*.cpp' | grep -zv '_fuzz\.cpp$' |
    xargs -0 -P"$(nproc)" -n4 clang-tidy -p build --quiet 2> >(grep -v 'warnings\? generated' >&2)
echo "format and clang-tidy: clean"
