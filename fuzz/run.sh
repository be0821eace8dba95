#!/usr/bin/env bash
# Builds the fuzz targets with clang in their own build folder and runs each for
# a bounded time on its corpus kept in fuzz/corpus/<target> (new inputs go to a
# scratch copy, so the repo's corpus only changes by hand).
#   fuzz/run.sh [seconds per target, default 60] [build folder]
# Exits non-zero when a target crashes, hangs or a sanitizer reports.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
seconds="${1:-60}"
build="$(realpath -m "${2:-$here/../build-fuzz}")"
targets=(fuzz_command_line fuzz_ini fuzz_registry fuzz_packet)

CC=clang CXX=clang++ cmake -S "$here/.." -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCORV_FUZZ=ON -DCORV_TESTS=OFF -DCORV_BENCH=OFF >/dev/null
cmake --build "$build" -j2 --target "${targets[@]}"

work="$(mktemp -d /tmp/corv-fuzz-run-XXXXXX)"
trap 'rm -rf "$work"' EXIT
failed=0
for t in "${targets[@]}"; do
  mkdir -p "$work/$t"
  echo "== $t: ${seconds} s"
  if ! (cd "$work" && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$build/bin/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
        -print_final_stats=1 "$work/$t" "$here/corpus/$t" >"$work/$t.log" 2>&1); then
    failed=1
    echo "$t FAILED:"
    tail -60 "$work/$t.log"
    ls "$work"/crash-* "$work"/timeout-* "$work"/leak-* 2>/dev/null || true
    mkdir -p "$build/findings"
    cp "$work"/crash-* "$work"/timeout-* "$work"/leak-* "$work"/oom-* "$build/findings/" 2>/dev/null || true
  else
    grep -E "^stat::number_of_executed_units|^stat::new_units_added" "$work/$t.log" | tr '\n' ' '
    echo
  fi
done
exit $failed
