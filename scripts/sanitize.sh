#!/usr/bin/env bash
# Builds and runs every test (unit, end-to-end, fuzz corpus replay) under the
# sanitizers, in a build folder of their own:
#
#   scripts/sanitize.sh asan    build-asan: AddressSanitizer + UndefinedBehaviorSanitizer
#   scripts/sanitize.sh tsan    build-tsan: ThreadSanitizer
#
# Extra arguments go to ctest (e.g. -R unit_smtp). The end-to-end tests run
# the sanitized programs of the same folder (ctest gives them QP_BIN_DIR), so
# a report from a server process counts as well: every report of every
# process goes to a file below <build>/sanitizer-reports/, and the run fails
# when any file is there, whatever the tests themselves said. QP_SANITIZER
# (asan or tsan) tells tests that bound memory or time which run this is.
#
# Suppressions (scripts/sanitize-*.supp) name third-party code only, never
# ours: a report about our code is mended at its cause.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

mode=${1:-}
case "$mode" in
  asan) build=build-asan; sanitize=address,undefined ;;
  tsan) build=build-tsan; sanitize=thread ;;
  *) echo "usage: $0 asan|tsan [ctest arguments...]" >&2; exit 2 ;;
esac
shift
jobs=${QP_JOBS:-2}

scripts/install-deps.sh
# A folder configured from another source tree is configured afresh.
if [ -f "$build/CMakeCache.txt" ] &&
   ! grep -qx "CMAKE_HOME_DIRECTORY:INTERNAL=$root" "$build/CMakeCache.txt"; then
  rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"
fi
# GCC's -Wmaybe-uninitialized gives false reports inside the standard library
# (<regex>, <functional>) once the sanitizers instrument it; the warning stays
# on in every other build.
flags=()
if "${CXX:-c++}" --version 2>/dev/null | grep -q "Free Software Foundation"; then
  flags=(-DCMAKE_CXX_FLAGS=-Wno-maybe-uninitialized)
fi
# QP_SANITIZE_CMAKE_ARGS: further configure options (e.g. -DQP_BUILD_APPLET=OFF).
read -r -a extra <<<"${QP_SANITIZE_CMAKE_ARGS:-}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQP_SANITIZE="$sanitize" "${flags[@]}" "${extra[@]}" >/dev/null
cmake --build "$build" -j"$jobs"

# Tests that measure memory or time allow for the sanitizers when this is set.
export QP_SANITIZER="$mode"
reports="$root/$build/sanitizer-reports"
rm -rf "$reports"
mkdir -p "$reports"
supp="$root/scripts"
common="print_stacktrace=1:log_path=$reports/report"
export UBSAN_OPTIONS="$common:halt_on_error=1"
export ASAN_OPTIONS="$common:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1"
export LSAN_OPTIONS="$common:suppressions=$supp/sanitize-lsan.supp"
export TSAN_OPTIONS="$common:halt_on_error=1:second_deadlock_stack=1:suppressions=$supp/sanitize-tsan.supp"

status=0
# ThreadSanitizer of GCC 12 cannot map its shadow memory beside the wide
# address randomisation of newer kernels: run without it (setarch -R).
runner=()
[ "$sanitize" = thread ] && runner=(setarch "$(uname -m)" -R)
(cd "$build" && "${runner[@]}" ctest --output-on-failure --timeout 1200 -j"$jobs" "$@") || status=1

if compgen -G "$reports/report*" >/dev/null; then
  echo
  echo "Sanitizer reports ($reports):"
  for report in "$reports"/report*; do
    echo "--- $report"
    head -60 "$report"
  done
  status=1
fi
[ "$status" -eq 0 ] && echo "$mode: every test passed, no sanitizer report"
exit $status
