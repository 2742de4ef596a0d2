#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer into
# build-asan/ (CMake preset "asan") and runs the C++ tests and the Python tests
# under them. Any memory error, leak or undefined behaviour fails the run.
#   scripts/sanitize.sh                the C++ tests and the whole pytest suite
#   scripts/sanitize.sh --ci           the C++ tests and the broker's pytest files (CI runs this)
#   scripts/sanitize.sh [--ci] ARGS    pytest ARGS instead of the default selection
# JOBS=N sets the build's parallel jobs (default: all cores).
set -uo pipefail
cd "$(dirname "$0")/.."
ci=0
if [ "${1:-}" = "--ci" ]; then
  ci=1
  shift
fi

scripts/setup.sh || exit 1
generator=()
command -v ninja >/dev/null && [ ! -f build-asan/Makefile ] && generator=(-G Ninja)
cmake --preset asan "${generator[@]}" >/dev/null || exit 1
cmake --build build-asan -j "${JOBS:-$(nproc)}" || exit 1

here=$PWD
supp=$here/scripts/sanitizers
# intercept_tls_get_addr=0: the runtime of GCC 12 sometimes takes a dynamic TLS
# block of a loaded module for an old glibc's layout, and LeakSanitizer then
# dies at exit ("Tracer caught signal 11"); the blocks are still scanned as
# ordinary heap memory.
common="strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:intercept_tls_get_addr=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
status=0

echo "== CTest (AddressSanitizer, UndefinedBehaviorSanitizer)"
# The test binaries are all ours: every leak counts, bar the libraries' own
# process-lifetime caches listed in the engine's suppression file.
ASAN_OPTIONS="detect_leaks=1:$common" LSAN_OPTIONS="suppressions=$supp/lsan-engine.supp:print_suppressions=0" \
  ctest --test-dir build-asan --output-on-failure -j "$(nproc)" || status=1

echo "== pytest (AddressSanitizer, UndefinedBehaviorSanitizer)"
if (($# == 0)); then
  if ((ci)); then
    set -- tests/python/test_model_broker*.py tests/python/test_broker_*.py
  else
    set -- tests/python
  fi
fi
# Python is not built with ASan, so its runtime is preloaded, with libstdc++
# (ASan wraps __cxa_throw only when the C++ runtime is there at start-up); the
# interpreter is started directly, not through a wrapper script such as pyenv's
# bash shims, which would be leak-checked too. PYTHONMALLOC=malloc puts every
# object in memory ASan watches. CPython and the packages' native code keep
# objects until exit by design: lsan-python.supp names their allocators, so
# what is left is memory our modules allocate. Reports go to files: pytest
# holds stderr while a test runs, and a report would die with it.
python=$(python3 -c 'import sys; print(sys.executable)')
reports=$here/build-asan/sanitizer-report
rm -f "$reports".*
LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)" PYTHONMALLOC=malloc \
ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1:log_path=$reports:$common" \
UBSAN_OPTIONS="$UBSAN_OPTIONS:log_path=$reports" \
LSAN_OPTIONS="suppressions=$supp/lsan-python.supp:print_suppressions=0" \
TOVRANE_BUILD_DIR="$here/build-asan" PYTHONPATH="$here/build-asan/python${PYTHONPATH:+:$PYTHONPATH}" \
  "$python" -m pytest -q -p no:cacheprovider "$@" || status=1
for report in "$reports".*; do
  [ -e "$report" ] || continue
  status=1
  echo "-- $report"
  cat "$report"
done
exit $status
