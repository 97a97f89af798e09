#!/usr/bin/env bash
# Runs the libFuzzer targets of tests/fuzz for a given time each.
#
#   scripts/fuzz.sh [--merge] TARGET|all SECONDS
#
# Builds the fuzz folder (build-fuzz: clang, -DQP_FUZZ=ON, ASan and UBSan),
# then runs each target for SECONDS on its work corpus (build-fuzz/corpus/
# <target>, where new inputs collect) together with its committed seeds
# (tests/fuzz/corpus/<target>, only read). With --merge, the inputs of the
# work corpus that add coverage to the seeds are merged into the seed folder
# afterwards: only inputs that reach new code (the committed corpora stay at
# a few hundred KB in all).
#
# A crash or broken invariant stops that target; its input is kept in
# build-fuzz/artifacts/<target>/. Mend the cause, copy the input into the
# seed folder (so that the corpus replay of every test run keeps it fixed)
# and run again. Prints executions and coverage (libFuzzer's cov: and ft:)
# per target; exits non-zero when a target failed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

targets_all=(serial_list reg_file smtp_session pop3_session dns_message base64 ip_filter wildcard)
# Largest input per target: the sessions get room for command lines at the
# receive limit (8192 bytes) and a few lines more.
declare -A max_len=([smtp_session]=20000 [pop3_session]=20000 [reg_file]=8192)

merge=0
if [ "${1:-}" = "--merge" ]; then
  merge=1
  shift
fi
if [ $# -ne 2 ] || ! [[ "$2" =~ ^[0-9]+$ ]]; then
  echo "usage: $0 [--merge] TARGET|all SECONDS   (targets: ${targets_all[*]})" >&2
  exit 2
fi
if [ "$1" = all ]; then
  targets=("${targets_all[@]}")
else
  case " ${targets_all[*]} " in
    *" $1 "*) targets=("$1") ;;
    *) echo "unknown target '$1' (targets: ${targets_all[*]})" >&2; exit 2 ;;
  esac
fi
seconds=$2

if ! grep -q QP_FUZZ CMakeLists.txt; then
  echo "the top-level CMakeLists.txt has no QP_FUZZ option yet" >&2
  exit 1
fi
build=build-fuzz
# A folder configured from another source tree is configured afresh.
if [ -f "$build/CMakeCache.txt" ] &&
   ! grep -qx "CMAKE_HOME_DIRECTORY:INTERNAL=$root" "$build/CMakeCache.txt"; then
  rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"
fi
CC=clang CXX=clang++ cmake -S . -B "$build" -DQP_FUZZ=ON -DQP_BUILD_APPLET=OFF -DQP_BUILD_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"${QP_JOBS:-2}" --target "${targets[@]/#/fuzz_}"

# The session targets keep their state root on tmpfs, in a folder of this run.
if [ -d /dev/shm ]; then
  QP_FUZZ_TMPDIR=$(mktemp -d /dev/shm/qp-fuzz-run.XXXXXX)
else
  QP_FUZZ_TMPDIR=$(mktemp -d)
fi
export QP_FUZZ_TMPDIR
trap 'rm -rf "$QP_FUZZ_TMPDIR"' EXIT

# The value of the last "key: value" in a libFuzzer log line.
field() { grep -oE "$1: *[0-9]+" <<<"$2" | tail -1 | grep -oE '[0-9]+$' || echo "-"; }

status=0
summary=()
for t in "${targets[@]}"; do
  program="$build/tests/fuzz/fuzz_$t"
  work="$build/corpus/$t"
  seeds="tests/fuzz/corpus/$t"
  artifacts="$build/artifacts/$t"
  log="$build/fuzz-$t.log"
  mkdir -p "$work" "$artifacts"
  args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -print_final_stats=1
        -artifact_prefix="$artifacts/")
  [ -n "${max_len[$t]:-}" ] && args+=(-max_len="${max_len[$t]}")
  [ -f "tests/fuzz/dict/$t.dict" ] && args+=(-dict="tests/fuzz/dict/$t.dict")
  echo "== $t: ${seconds}s (log: $log)"
  result=ok
  started=$SECONDS
  if ! "$program" "${args[@]}" "$work" "$seeds" >"$log" 2>&1; then
    result="FAILED (input in $artifacts/)"
    status=1
    grep -E "invariant failed|ERROR: (AddressSanitizer|UndefinedBehaviorSanitizer|libFuzzer)|runtime error|^  [^ #]" \
      "$log" | head -5 || true
  fi
  elapsed=$((SECONDS - started))
  stats=$(grep -E "^#[0-9]+.*cov: " "$log" | tail -1 || true)
  runs=$(field "stat::number_of_executed_units" "$(grep number_of_executed_units "$log" || true)")
  [ "$runs" = "-" ] && runs=$(grep -oE '^#[0-9]+' <<<"$stats" | tr -d '#' || echo "-")
  summary+=("$(printf '%-13s %6ss %12s execs  cov %6s  ft %7s  corpus %6s  %s' "$t" "$elapsed" "$runs" \
    "$(field cov "$stats")" "$(field ft "$stats")" "$(find "$work" -type f | wc -l)" "$result")")
  if [ "$merge" = 1 ] && [ "$result" = ok ]; then
    # Only inputs that reach code the seeds do not reach move into the seed
    # folder: edges count, hit counts do not (-use_counters=0), which keeps
    # the committed corpus to a few dozen small files per target.
    "$program" -merge=1 -use_counters=0 ${max_len[$t]:+-max_len=${max_len[$t]}} "$seeds" "$work" \
      >>"$log" 2>&1 || true
    echo "   seeds now: $(find "$seeds" -type f | wc -l) files," \
      "$(du -sk --apparent-size "$seeds" | cut -f1) KB"
  fi
done

echo
echo "target        time          executions       coverage (cov / ft)      work corpus"
printf '%s\n' "${summary[@]}"
exit $status
