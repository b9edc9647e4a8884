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
# Product code (tests and fuzz targets aside): no function over 60 lines.
git ls-files -z 'common/*.cpp' 'driver/*.cpp' 'store/*.cpp' 'probe/*.cpp' 'jobs/*.cpp' |
    grep -zv '_test\.cpp$\|_fuzz\.cpp$' |
    xargs -0 -P"$(nproc)" -n4 clang-tidy -p build --quiet --checks='-*,readability-function-size' \
        --warnings-as-errors='*' \
        --config='{CheckOptions: [{key: readability-function-size.LineThreshold, value: 60}]}' \
        2> >(grep -v 'warnings\? generated' >&2)
# No product file over 400 lines, no thread_local, and store.h within 150.
house=0
for f in $(git ls-files 'common/*' 'driver/*' 'store/*' 'probe/*' 'jobs/*' | grep -E '\.(cpp|h)$' |
    grep -v '_test\.cpp$\|_fuzz\.cpp$'); do
    lines=$(wc -l <"$f")
    [ "$lines" -le 400 ] || { echo "$f: $lines lines, more than 400" >&2; house=1; }
    if grep -n 'thread_local' "$f" >&2; then echo "$f: a thread_local" >&2; house=1; fi
done
[ "$(wc -l <store/include/store.h)" -le 150 ] || { echo "store.h: more than 150 lines" >&2; house=1; }
# The arrows between folders: a folder's own headers are its own (each
# library offers only its include/ folder, and common/ and testutil/ are
# there to be shared); the queue tool uses driver/ only through driver.h.
for dir in probe store driver jobs; do
    for header in $(git ls-files "$dir/*.h" | grep -v "^$dir/include/\|^jobs/jobs.h$"); do
        if users=$(git grep -l "#include \"$(basename "$header")\"" -- ":!$dir/"); then
            echo "$header is private to $dir/, but included by: $users" >&2
            house=1
        fi
    done
done
if users=$(git grep -l '#include "driver.h"' -- 'jobs/' ':!jobs/check.cpp'); then
    echo "only jobs/check.cpp may use driver/, not: $users" >&2
    house=1
fi
if users=$(git grep -l '#include "\(probe\|caps\)\.h"' -- 'jobs/'); then
    echo "jobs/ reaches past driver.h into probe/: $users" >&2
    house=1
fi
# No include circle among a folder's own headers.
python3 scripts/include_cycles.py || house=1
[ "$house" = 0 ]
echo "format, clang-tidy, sizes and arrows: clean"
