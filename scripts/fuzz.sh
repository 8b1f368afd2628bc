#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer) and
# runs each for a while, starting from its seed corpus in fuzz/corpus/<target>.
#   scripts/fuzz.sh [seconds per target, default 60] [target ...]
# New inputs collect in build-fuzz/corpus/<target>, crashes in build-fuzz/findings/.
# Prints the executions of every target and exits non-zero when any of them found something.
set -uo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(FormEncodeFuzz UUEncodeFuzz RequestFuzz ReplyFuzz TlsPeerFuzz HarReaderFuzz ContentDecoderFuzz
    Http2SessionFuzz)
fi

# clang and its libFuzzer runtime come from Debian's packages, like everything else.
if ! command -v clang++ >/dev/null || ! dpkg-query -W -f='${Status}' libclang-rt-14-dev 2>/dev/null |
  grep -q 'install ok installed'; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -q
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
    clang libclang-rt-14-dev || exit 2
fi

build=build-fuzz
# Warnings are the regular build's business (CI builds with -Werror); here they would only keep
# the fuzzers from running.
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DORRERY_BUILD_FUZZ=ON -DORRERY_BUILD_TESTS=OFF -DORRERY_BUILD_APP=OFF \
  -DORRERY_BUILD_BENCH=OFF -DORRERY_WERROR=OFF >/dev/null || exit 2
cmake --build "$build" -j2 --target "${targets[@]}" >/dev/null || exit 2

mkdir -p "$build/findings"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
summary=()
for t in "${targets[@]}"; do
  work="$build/corpus/$t"
  mkdir -p "$work"
  dict=()
  if [ -f "fuzz/$t.dict" ]; then dict=(-dict="fuzz/$t.dict"); fi
  log="$build/$t.log"
  echo "== $t for ${seconds}s"
  # The first folder receives new inputs; the seeds in the repository stay as they are.
  "$build/fuzz/$t" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=8192 \
    -print_final_stats=1 -artifact_prefix="$build/findings/$t-" "${dict[@]}" \
    "$work" "fuzz/corpus/$t" >"$log" 2>&1
  rc=$?
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | awk '{print $2}')
  speed=$(grep -o 'stat::average_exec_per_sec: *[0-9]*' "$log" | awk '{print $2}')
  units=$(find "$work" -type f | wc -l)
  if [ $rc -eq 0 ]; then
    verdict="nothing found"
  else
    status=1
    verdict="FOUND: $(grep -m1 -E 'property broken|ERROR: |runtime error' "$log") (see $log)"
  fi
  summary+=("$(printf '%-15s %10s executions  %6s/s  corpus %5s  %s' "$t" "${runs:-?}" "${speed:-?}" "$units" "$verdict")")
done
echo
echo "== Summary"
printf '%s\n' "${summary[@]}"
exit $status
