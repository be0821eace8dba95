#!/usr/bin/env bash
# Holds the line between the program and the operating system:
#  1. no file outside the platform folders, sim/, tests/, bench/ and fuzz/
#     includes a system header;
#  2. every platform-neutral source of the program compiles for Windows
#     (mingw-w64, syntax only, warnings as errors);
#  3. no neutral header declares a name the Windows headers define as a macro
#     (CreateFile, DeleteFile, ...), so a Windows backend may include
#     <windows.h> after any of them;
#  4. the platform folder includes only its own headers and the standard
#     library: the subsystems build on the platform, never the other way.
# Files still waiting for their move into the platform layer are named in
# pending below and left out of all three; the list only ever shrinks.
# Usage: tools/check_platform.sh [compiler]   (x86_64-w64-mingw32-g++-posix)
set -euo pipefail
cd "$(dirname "$0")/.."

cxx=${1:-x86_64-w64-mingw32-g++-posix}
pending=()
product=(run payloads link flash unitdata support platform)
system_headers='#include <(unistd|fcntl|termios|poll|signal|spawn|windows)\.h>|#include <sys/'

is_pending() {
  local f
  for f in "${pending[@]}"; do [ "$f" = "$1" ] && return 0; done
  return 1
}
# The neutral sources and headers of the program: the product folders less the
# backend folders and the build-time generator.
neutral_files() {
  find "${product[@]}" -path platform/posix -prune -o -path platform/win32 -prune -o -path payloads/generator -prune -o \
    \( -name '*.cpp' -o -name '*.h' \) -print | sort | while read -r f; do
    is_pending "$f" || echo "$f"
  done
}

failed=0

echo "== system headers outside the platform folders"
while read -r f; do
  f=${f#./}
  case "$f" in platform/* | sim/* | tests/* | bench/* | fuzz/* | build*/*) continue ;; esac
  if is_pending "$f"; then
    echo "pending: $f"
  else
    echo "FAIL: $f includes a system header"
    failed=1
  fi
done < <(grep -rlE "$system_headers" --include='*.cpp' --include='*.h' .)

echo "== neutral sources compiled for Windows with $cxx"
mapfile -t files < <(neutral_files)
for f in "${files[@]}"; do
  case "$f" in *.cpp) ;; *) continue ;; esac
  if ! "$cxx" -std=c++20 -fsyntax-only -I. -Wall -Wextra -Wpedantic -Werror "$f"; then
    echo "FAIL: $f"
    failed=1
  fi
done

echo "== neutral headers against the Windows headers' macros"
macros() { printf '%s\n' "$@" | "$cxx" -std=c++20 -dM -E -x c++ - | awk '{ sub(/\(.*/, "", $2); print $2 }' | sort -u; }
std_includes=('#include <cstdint>' '#include <cstdlib>' '#include <cstdio>' '#include <string>' '#include <vector>')
win_only=$(comm -23 <(macros "${std_includes[@]}" '#include <windows.h>') <(macros "${std_includes[@]}"))
for f in "${files[@]}"; do
  case "$f" in *.h) ;; *) continue ;; esac
  # Comments may name anything; the code may not.
  names=$("$cxx" -fpreprocessed -E -P -x c++ "$f" 2>/dev/null | grep -oE '\b[A-Za-z_][A-Za-z0-9_]*\b' | sort -u)
  clash=$(comm -12 <(echo "$names") <(echo "$win_only") | tr '\n' ' ')
  if [ -n "$clash" ]; then
    echo "FAIL: $f declares $clash"
    failed=1
  fi
done

echo "== the platform folder includes only itself"
while read -r hit; do
  echo "FAIL: $hit"
  failed=1
done < <(grep -rnE '#include "' --include='*.cpp' --include='*.h' platform | grep -v '#include "platform/' || true)

if [ "$failed" -ne 0 ]; then
  echo "platform check failed"
  exit 1
fi
echo "platform check passed (${#files[@]} neutral files, ${#pending[@]} pending)"
