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
# A folder's headers are its own, but for the one it offers the others
# (common/ and testutil/ are there to be shared).
private=0
for dir in probe store driver jobs; do
    for header in $(git ls-files "$dir/*.h"); do
        case "$header" in probe/probe.h | store/store.h | driver/driver.h | jobs/jobs.h) continue ;; esac
        if users=$(git grep -l "#include \"$(basename "$header")\"" -- ":!$dir/"); then
            echo "$header is private to $dir/, but included by: $users" >&2
            private=1
        fi
    done
done
[ "$private" = 0 ]
echo "format, clang-tidy and private headers: clean"
