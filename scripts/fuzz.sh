#!/usr/bin/env bash
# Fuzzes the engine with libFuzzer (clang, AddressSanitizer, UBSan), outside the
# default tests: scripts/fuzz.sh [SECONDS per target, default 60] [TARGET...]
# Targets: pdf (any bytes as a PDF through the extractor), text (report layouts,
# prompts, usage records, text helpers), hypothesis (the property tests of the
# Python surface, tests/python/test_*_properties.py, with random examples until
# the time is up; failures are kept in build/hypothesis-db and printed with the
# example to commit as @example). The libFuzzer targets start from the committed corpus in
# tests/data/fuzz/TARGET (the PDF target also from tests/data/*.pdf); new inputs
# go to build-fuzz/corpus/TARGET, crashes, time-outs and memory blow-ups to
# build-fuzz/findings/TARGET. Minimise a finding with
#   build-fuzz/fuzz_TARGET -minimize_crash=1 -runs=10000 FILE
# and commit it under tests/data/fuzz/TARGET, where the default tests replay it.
# Exits non-zero when any target found something.
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
((${#targets[@]})) || targets=(pdf text hypothesis)

status=0
native=()
for target in "${targets[@]}"; do
  [ "$target" = hypothesis ] || native+=("$target")
done

# Rounds of random examples (a fresh seed each) until SECONDS have passed.
run_hypothesis() {
  scripts/setup.sh --test >/dev/null || return 1
  scripts/build.sh >/dev/null || return 1
  local end=$((SECONDS + seconds)) rounds=0 examples=${TOVRANE_FUZZ_EXAMPLES:-500}
  local files=(tests/python/test_*_properties.py)
  echo "== hypothesis for ${seconds}s (${#files[@]} files, $examples examples per test per round)"
  while ((SECONDS < end)) || ((rounds == 0)); do
    rounds=$((rounds + 1))
    if ! HYPOTHESIS_PROFILE=fuzz TOVRANE_FUZZ_EXAMPLES=$examples python3 -m pytest -q -p no:cacheprovider \
        "${files[@]}" --hypothesis-seed="$RANDOM$RANDOM" -x >build/fuzz_hypothesis.log 2>&1; then
      echo "hypothesis found a failure in round $rounds (log: build/fuzz_hypothesis.log):"
      grep -E -A12 "^(E  |Falsifying example|FAILED)" build/fuzz_hypothesis.log | grep -v "^-> " | head -40
      return 1
    fi
  done
  echo "rounds: $rounds, examples: at most $((rounds * examples)) per test, no failure"
}

if printf '%s\n' "${targets[@]}" | grep -qx hypothesis; then
  run_hypothesis || status=1
fi
((${#native[@]})) || exit $status
targets=("${native[@]}")

scripts/setup.sh --fuzz || exit 1
cmake --preset fuzz -G Ninja >/dev/null || exit 1
cmake --build build-fuzz -j "${JOBS:-$(nproc)}" --target "${targets[@]/#/fuzz_}" || exit 1

# Hostile PDFs may make poppler work hard: a page taking over 10 s or the
# process over 2 GB (ASan's shadow memory included) counts as a finding.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$PWD/scripts/sanitizers/lsan-engine.supp:print_suppressions=0}"
for target in "${targets[@]}"; do
  corpus=build-fuzz/corpus/$target
  findings=build-fuzz/findings/$target
  mkdir -p "$corpus" "$findings"
  seeds=(tests/data/fuzz/"$target")
  options=()
  if [ "$target" = pdf ]; then
    # The test PDFs too; mutants of up to 64 KiB (the largest is 146 KiB).
    mkdir -p build-fuzz/seeds/pdf && cp tests/data/*.pdf build-fuzz/seeds/pdf/
    seeds+=(build-fuzz/seeds/pdf)
    options+=(-max_len=65536)
  fi
  echo "== fuzz_$target for ${seconds}s"
  build-fuzz/fuzz_"$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 "${options[@]}" \
    -dict=fuzz/"$target".dict -artifact_prefix="$findings/" -print_final_stats=1 \
    "$corpus" "${seeds[@]}" 2>build-fuzz/fuzz_"$target".log
  rc=$?
  grep -E "^stat::number_of_executed_units|^stat::peak_rss_mb|^#[0-9]+.*DONE" build-fuzz/fuzz_"$target".log
  echo "corpus: $(find "$corpus" -type f | wc -l) inputs; findings: $(find "$findings" -type f | wc -l)"
  if [ $rc -ne 0 ]; then
    status=1
    echo "fuzz_$target found a failure (log: build-fuzz/fuzz_$target.log):"
    grep -m5 -E "ERROR: |SUMMARY: |runtime error|Test unit written" build-fuzz/fuzz_"$target".log
  fi
done
exit $status
