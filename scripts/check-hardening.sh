#!/usr/bin/env bash
# Checks that a built qv2_detect carries the hardening the build asks for:
# the stack protector and fortified calls linked in, full RELRO for a
# dynamic executable, and the kind of static executable the target can be
# (PIE where its C library links static PIE).
#   scripts/check-hardening.sh EXECUTABLE [static|static-pie]
# A static executable is stripped; its link map (EXECUTABLE.map) tells.
set -euo pipefail
exe=$1 kind=${2:-dynamic}
fail() { echo "$exe: $*" >&2; exit 1; }
if [ "$kind" = dynamic ]; then
    symbols=$(nm -D "$exe")
    readelf -d "$exe" | grep -q BIND_NOW || fail "not linked with -z now"
    readelf -lW "$exe" | grep -q GNU_RELRO || fail "no RELRO segment"
else
    symbols=$(cat "$exe.map")
    want=EXEC
    [ "$kind" = static-pie ] && want=DYN
    readelf -h "$exe" | grep -q "Type: *$want" || fail "not a $kind executable"
fi
grep -q '__stack_chk_fail' <<<"$symbols" || fail "no stack protector"
grep -qE '__[a-z0-9]+_chk\b' <<<"$(grep -v __stack_chk <<<"$symbols")" || fail "no fortified calls"
echo "$exe: hardened ($kind)"
