#!/usr/bin/env bash
# Compiles every source of the macOS builds (the addon's module and flat interface, the daemon client, the
# RPC layer, kalvex-helper) on Linux, as those builds select them: glibc in strict POSIX mode
# (-U_GNU_SOURCE -D_POSIX_C_SOURCE=200809L), the Darwin-only names from the stand-ins, and the names that
# only Linux has poisoned after the system headers (macos-portability/linux_only_names_poison.h). Each
# source is compiled with g++ and with clang++-14 (whichever are installed), syntax only; the stand-ins
# themselves are not macOS sources and are left out.
# Usage: scripts/check-macos-portability.sh [work-dir]   (default: build-portability; configured, never built)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd -P)
work=${1:-build-portability}
prelude="$root/scripts/macos-portability/libstdcxx_glibc_declarations.h"
poison="$root/scripts/macos-portability/linux_only_names_poison.h"
mode=(-U_GNU_SOURCE -D_POSIX_C_SOURCE=200809L)

# The targets whose sources make up the macOS deliverables, and the stand-ins that take macOS's place on
# Linux (not macOS sources).
targets=(brannic_rcf brannic_client brannic_flat brannic_addon kalvex-helper)
standins=(src/client/platform/macos_services_standin.cc src/rcf/standin/darwin_sockets_standin.cc)

compilers=()
for cxx in g++ clang++-14; do
  command -v "$cxx" >/dev/null 2>&1 && compilers+=("$cxx")
done
if [ ${#compilers[@]} -eq 0 ]; then
  echo "check-macos-portability: neither g++ nor clang++-14 is installed" >&2
  exit 2
fi

# The macOS flavour selects the macOS sources; its compile commands give each one's include paths and
# definitions.
mkdir -p "$work"
if ! cmake -S . -B "$work" -DBRANNIC_CLIENT_FLAVOUR=macos -DBRANNIC_TESTS=OFF -DBRANNIC_BENCH=OFF \
  -DBRANNIC_FUZZ=OFF -DBRANNIC_SANITIZE=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >"$work/configure.log" 2>&1; then
  cat "$work/configure.log" >&2
  exit 2
fi
scratch="$work/portability"
rm -rf "$scratch"
mkdir -p "$scratch"

# One line per compile command: the target, the source, then the command (JSON escapes undone).
sed -n 's/^ *"command": "\(.*\)",\{0,1\}$/\1/p' "$work/compile_commands.json" |
  sed -e 's/\\"/"/g' -e 's/\\\\/\\/g' |
  while IFS= read -r command; do
    target=$(printf '%s\n' "$command" | sed -n 's|.* -o [^ ]*CMakeFiles/\([^ /]*\)\.dir/[^ ]* .*|\1|p')
    source=${command##* -c }
    printf '%s\t%s\t%s\n' "$target" "$source" "$command"
  done >"$scratch/commands.tsv"

# The flags of a compile command that decide what a source sees: include paths, definitions, language.
source_flags() {
  printf '%s\n' "$1" | xargs printf '%s\n' | awk '
    take { print; take = 0; next }
    /^-(isystem|iquote|idirafter|include)$/ { print; take = 1; next }
    /^-(I|D|U|std=)/ { print }'
}

# The headers from outside src/ that the source's own files include directly, spelt so that an
# #include <...> finds them: the -H tree of a preprocessing run, and the compiler's search list.
outside_headers() {
  local cxx=$1 source=$2
  shift 2
  "$cxx" "$@" -E -v -x c++ -o /dev/null /dev/null 2>&1 |
    sed -n '/^#include <...> search starts here:/,/^End of search list./p' | sed -n 's/^ \([^ ]*\).*/\1/p' |
    xargs -r realpath -s -m >"$scratch/dirs" || true
  # A source that does not preprocess gives its errors in the compilation that follows.
  { "$cxx" "$@" -E -H -o /dev/null "$source" 2>&1 || true; } | awk -v src="$source" -v own="$root/src/" '
    /^\.+ / {
      depth = index($0, " ") - 1
      path = substr($0, depth + 2)
      at[depth] = path
      parent = depth == 1 ? src : at[depth - 1]
      if (index(parent, own) == 1 && index(path, own) != 1 && !(path in seen)) { seen[path] = 1; print path }
    }' | while IFS= read -r header; do
    local full best=""
    full=$(realpath -s -m "$header")
    while IFS= read -r dir; do
      case $full in
        "$dir"/*) [ ${#dir} -gt ${#best} ] && best=$dir ;;
      esac
    done <"$scratch/dirs"
    if [ -n "$best" ]; then echo "#include <${full#"$best"/}>"; else echo "#include \"$full\""; fi
  done
}

failures=0
checked=0
declare -A per_target=()
while IFS=$'\t' read -r target source command; do
  case " ${targets[*]} " in *" $target "*) ;; *) continue ;; esac
  relative=${source#"$root"/}
  case " ${standins[*]} " in *" $relative "*) continue ;; esac
  per_target[$target]=1
  mapfile -t flags < <(source_flags "$command")
  for cxx in "${compilers[@]}"; do
    name="$scratch/$(printf '%s' "$cxx-$relative" | tr '/+' '_p')"
    # The headers from outside src/ first, then the poison, then the source itself.
    {
      echo "#include \"$prelude\""
      outside_headers "$cxx" "$source" "${flags[@]}" "${mode[@]}"
      echo "#include \"$poison\""
      echo "#include \"$source\""
    } >"$name.cc" 2>"$name.log"
    checked=$((checked + 1))
    if "$cxx" "${flags[@]}" "${mode[@]}" -fsyntax-only "$name.cc" >>"$name.log" 2>&1; then
      echo "ok    $cxx $relative"
    else
      echo "FAIL  $cxx $relative (all of it in $name.log)"
      # Each error with the source line it points at.
      grep -E -A1 ': (fatal )?error:' "$name.log" | grep -v '^--$' | sed 's/^/      /'
      failures=$((failures + 1))
    fi
  done
done <"$scratch/commands.tsv"

for target in "${targets[@]}"; do
  if [ -z "${per_target[$target]:-}" ]; then
    echo "check-macos-portability: no source of target $target found in $work/compile_commands.json" >&2
    failures=$((failures + 1))
  fi
done
if [ "$failures" -ne 0 ]; then
  echo "check-macos-portability: $failures of $checked compilations failed"
  exit 1
fi
echo "check-macos-portability: all $checked compilations passed (${compilers[*]})"
