#!/usr/bin/env bash
# Runs the fuzz targets of build-fuzz (cmake --preset fuzz && cmake --build
# --preset fuzz), each for FUZZ_SECONDS seconds (default 20), starting from
# the committed seed corpus. What a run adds to the corpus goes to
# build-fuzz/fuzz-corpus/<target>; a crashing input is kept as
# build-fuzz/fuzz-artifacts/<target>-crash-...; the full output of each
# target is in build-fuzz/fuzz-logs/<target>.log. A target that has not
# ended FUZZ_MARGIN seconds (default 40) after its time is stopped and
# reported as failed, with the end of its log: a hang never stalls the run.
#
#   tests/fuzz/run.sh                      every target, 20 s each
#   FUZZ_SECONDS=600 tests/fuzz/run.sh reply netrc
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${FUZZ_SECONDS:-20}
margin=${FUZZ_MARGIN:-40}
build=${FUZZ_BUILD:-build-fuzz}
targets=("$@")
((${#targets[@]})) || targets=(record_cut reply netrc options mget_list glob passive_reply mlsd)

mkdir -p "$build/fuzz-artifacts" "$build/fuzz-logs"
failed=0
for t in "${targets[@]}"; do
  work="$build/fuzz-corpus/$t"
  log="$build/fuzz-logs/$t.log"
  mkdir -p "$work"
  # The seeds are named one by one: an i386 libFuzzer run through qemu may
  # find no files when it lists a directory itself.
  seeds=$(find "tests/fuzz/corpus/$t" "$work" -type f | paste -sd, -)
  extra=()
  [ -f "tests/fuzz/$t.dict" ] && extra+=("-dict=tests/fuzz/$t.dict")
  status=0
  timeout -k 5 $((seconds + margin)) \
    "$build/tests/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=60 -max_len=8192 \
      -print_final_stats=1 -artifact_prefix="$build/fuzz-artifacts/$t-" "${extra[@]}" \
      -seed_inputs="$seeds" "$work" >"$log" 2>&1 || status=$?
  if ((status == 0)); then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz $t: $runs inputs in ${seconds} s, no finding"
  elif ((status == 124 || status == 137)); then
    echo "fuzz $t: FAILED: still running $margin s after its $seconds s, stopped; its log ends:"
    tail -n 5 "$log" | sed 's/^/    /'
    failed=1
  else
    echo "fuzz $t: FAILED (exit status $status, see $log)"
    grep -E '^(==[0-9]+==ERROR|SUMMARY|fuzz check failed|.*runtime error)' "$log" | head -5 || true
    failed=1
  fi
done
exit $failed
