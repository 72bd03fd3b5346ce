#!/bin/sh
# Checks the README's table of what the built module needs at run time against the module itself: the
# table names exactly the libraries of its dynamic section (NEEDED), for each one exactly the highest
# symbol version it needs of every version family (GLIBC_, GLIBCXX_, CXXABI_, ...), and, where dpkg is
# there to ask, the Debian package that holds the library on this machine. The table describes a g++ build
# (a clang++ link also names libm and needs other versions).
# Usage: check_module_runtime.sh MODULE README
set -eu
module=$1
readme=$2
heading='#### What the module needs at run time'

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# The table rows of the README section, as "soname|versions|package", versions space-separated.
awk -v heading="$heading" '
  $0 == heading { inside = 1; next }
  inside && /^#/ { exit }
  inside && /^\| `/ {
    n = split($0, cell, "|")
    row = ""
    for (i = 2; i <= 4 && i < n; i++) {
      text = cell[i]; words = ""
      while (match(text, /`[^`]+`/)) {
        words = words (words == "" ? "" : " ") substr(text, RSTART + 1, RLENGTH - 2)
        text = substr(text, RSTART + RLENGTH)
      }
      row = row (i == 2 ? "" : "|") words
    }
    print row
  }' "$readme" >"$tmp/table"
if [ ! -s "$tmp/table" ]; then
  echo "$readme has no table under '$heading'" >&2
  exit 1
fi

readelf -d "$module" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p' | sort >"$tmp/needed"
cut -d'|' -f1 "$tmp/table" | sort >"$tmp/listed"
if ! cmp -s "$tmp/needed" "$tmp/listed"; then
  echo "the libraries $module needs (left) and those $readme lists (right) differ:" >&2
  diff "$tmp/needed" "$tmp/listed" >&2 || true
  exit 1
fi

# "soname version" for each version the module needs, from the version-needs section.
readelf -V -W "$module" | awk '
  /File: / { for (i = 1; i <= NF; i++) if ($i == "File:") file = $(i + 1) }
  /Name: / && file != "" { for (i = 1; i <= NF; i++) if ($i == "Name:") print file, $(i + 1) }
  /^$/ { file = "" }' >"$tmp/versions"

status=0
arch=
if command -v dpkg >/dev/null 2>&1; then arch=$(dpkg --print-architecture); fi
while IFS='|' read -r soname listed package; do
  # The highest version of each family (the name up to "_<digit>"), in version order.
  highest=$(awk -v f="$soname" '$1 == f && $2 ~ /_[0-9]/ { print $2 }' "$tmp/versions" |
    awk '{ family = $0; sub(/_[0-9].*/, "", family); print family, $0 }' | sort -k1,1 -k2,2V |
    awk '{ last[$1] = $2 } END { for (f in last) print last[f] }' | sort)
  want=$(printf '%s\n' $listed | sort)
  if [ "$highest" != "$want" ]; then
    echo "$soname: the module needs at most: $(echo $highest); $readme says: $(echo $want)" >&2
    status=1
  fi
  if [ -n "$arch" ]; then
    owner=$(dpkg -S "*/$soname" 2>/dev/null | grep ":$arch: " | sed 's/:.*//' | sort -u | tr '\n' ' ' | sed 's/ $//')
    if [ "$owner" != "$package" ]; then
      echo "$soname: held here by the package '$owner'; $readme says '$package'" >&2
      status=1
    fi
  fi
done <"$tmp/table"
exit $status
