#!/bin/sh
# Reads a built ELF file and fails unless it carries the hardening of cmake/BrannicHardening.cmake:
#   - every import bound at load (DT_FLAGS BIND_NOW or DT_FLAGS_1 NOW) and a GNU_RELRO segment;
#   - a GNU_STACK segment without the execute flag;
#   - the stack protector (__stack_chk_fail imported);
#   - fortified libc calls, as FORTIFY says:
#       required  at least one __*_chk function imported;
#       traced    as required, or else nothing to fortify: every call of a plain libc function that glibc
#                 has a checked variant of (memcpy for __memcpy_chk, ...) is traced through the debug
#                 information to its innermost inlined frame, which must lie in libstdc++'s headers (whose
#                 __builtin_ calls glibc's wrappers never see) or in glibc's fortify wrappers themselves
#                 (fortification in force, the object size unknown); a call from any other source counts
#                 as built without fortification (gcc keeps the wrapper's frame; clang may give such a
#                 call its caller's line, so there it can fail where gcc passes);
#       skip      not checked (builds without _FORTIFY_SOURCE).
# Usage: check_hardening.sh --fortify=required|traced|skip FILE
set -eu
case ${1:-} in
  --fortify=required | --fortify=traced | --fortify=skip) fortify=${1#--fortify=} ;;
  *) echo "usage: $0 --fortify=required|traced|skip FILE" >&2; exit 2 ;;
esac
file=$2
status=0
fail() {
  echo "$file: $*" >&2
  status=1
}

dynamic=$(readelf -d -W "$file")
if ! printf '%s\n' "$dynamic" | grep -Eq '\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*\bNOW\b|\(BIND_NOW\)'; then
  fail "not linked with -z now (no BIND_NOW / NOW flag)"
fi
segments=$(readelf -l -W "$file")
if ! printf '%s\n' "$segments" | grep -q 'GNU_RELRO'; then
  fail "no GNU_RELRO segment (not linked with -z relro)"
fi
# The flags are the second to last field of the segment's line: RW, or RWE for an executable stack.
stack=$(printf '%s\n' "$segments" | awk '$1 == "GNU_STACK" { print $(NF - 1) }')
case $stack in
  "") fail "no GNU_STACK segment (the loader then makes the stack executable)" ;;
  *E*) fail "executable stack (GNU_STACK flags $stack)" ;;
esac

imports=$(nm -D --undefined-only "$file" | awk '{ sub(/@.*/, "", $2); print $2 }' | sort -u)
if ! printf '%s\n' "$imports" | grep -qx '__stack_chk_fail'; then
  fail "no stack protector (__stack_chk_fail not imported)"
fi

# Prints the plain imports of FILE that glibc has a __NAME_chk variant of.
fortifiable_plain_imports() {
  libc=$(ldd "$file" | awk '$1 == "libc.so.6" { print $3 }')
  if [ -z "$libc" ]; then
    echo "$file: cannot find the libc it loads" >&2
    return 1
  fi
  nm -D --defined-only "$libc" | awk '{ sub(/@.*/, "", $3); if ($3 ~ /^__.+_chk$/) print substr($3, 3, length($3) - 6) }' |
    sort -u | comm -12 - "$imports_file"
}

# Fails for each call of NAME@plt whose innermost inlined frame is neither libstdc++'s nor glibc's wrapper.
trace_calls() {
  name=$1
  objdump -d --no-show-raw-insn "$file" |
    awk -v target="<$name@plt>" '$2 ~ /^(call|jmp)q?$/ && $4 == target { sub(/:$/, "", $1); print "0x" $1 }' |
    while read -r address; do
      frame=$(addr2line -i -e "$file" "$address" | head -n 1)
      case $frame in
        "??:"*) echo "$name call at $address: no debug information to trace it" ;;
        */include/c++/*) ;;
        */include/bits/*.h:* | */include/*-linux-gnu/bits/*.h:*) ;;
        *) echo "$name call at $address from $frame, not fortified" ;;
      esac
    done
}

if [ "$fortify" != skip ] && ! printf '%s\n' "$imports" | grep -Eqx '__.+_chk'; then
  if [ "$fortify" = required ]; then
    fail "no fortified libc call (no __*_chk function imported)"
  else
    imports_file=$(mktemp)
    trap 'rm -f "$imports_file"' EXIT
    printf '%s\n' "$imports" >"$imports_file"
    plain=$(fortifiable_plain_imports) || exit 1
    unfortified=$(for name in $plain; do trace_calls "$name"; done)
    if [ -n "$unfortified" ]; then
      fail "no fortified libc call, and calls that fortification could rewrite:
$unfortified"
    else
      echo "$file: nothing to fortify (plain calls of:" $plain "come from libstdc++ or glibc's wrappers)"
    fi
  fi
fi
exit $status
