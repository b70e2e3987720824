#!/usr/bin/env bash
# Builds Quorvix and runs its test suite.
#   scripts/test.sh              normal build (warnings as errors) in build/
#   scripts/test.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
#   scripts/test.sh --tsan       ThreadSanitizer build in build-tsan/ (threaded areas only)
# Extra arguments after the mode go to ctest (for example -L engine).
set -euo pipefail
cd "$(dirname "$0")/.."

mode=normal
if [ $# -gt 0 ] && [[ "$1" == --* ]] && [[ "$1" != "--" ]]; then
  case "$1" in
    --sanitize|--tsan) mode="$1"; shift ;;
  esac
fi

ctest_args=(--output-on-failure -j2)
case "$mode" in
  normal)     dir=build;      flags=() ;;
  --sanitize) dir=build-asan; flags=(-DQUORVIX_SANITIZE=ON -DQUORVIX_BUILD_BENCH=OFF) ;;
  --tsan)     dir=build-tsan; flags=(-DQUORVIX_TSAN=ON -DQUORVIX_BUILD_BENCH=OFF)
              ctest_args+=(-L 'engine|ingest|output') ;;
esac

generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${flags[@]}"
fi
cmake --build "$dir" --parallel 2

if [ "$mode" = normal ]; then
  ctest --test-dir "$dir" "${ctest_args[@]}" "$@"
  exit
fi

# Under a sanitizer the program runs several times slower than real time, and a test that
# measures real-time behaviour (a stall, a dropout) can miss its bound on a busy machine: such
# a test gets a second attempt. A sanitizer's report fails the run whichever attempt had it.
status=0
ctest --test-dir "$dir" "${ctest_args[@]}" --repeat until-pass:2 "$@" || status=$?
log="$dir/Testing/Temporary/LastTest.log"
if [ -f "$log" ] && grep -E -n -m 20 \
    'ERROR: (Address|Leak)Sanitizer|WARNING: ThreadSanitizer|runtime error:' "$log"; then
  echo "sanitizer reports found (see $log)" >&2
  status=1
fi
exit "$status"
