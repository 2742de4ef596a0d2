#!/usr/bin/env bash
# Installs what is missing, builds, then runs the C++ tests (CTest) and the
# Python tests (pytest); with CI=true also the sanitizer run of scripts/sanitize.sh --ci.
# Exits non-zero when anything fails.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --test || exit 1
scripts/build.sh || exit 1

status=0
echo "== CTest"
ctest --test-dir build --output-on-failure -j "$(nproc)" || status=1
echo "== pytest"
PYTHONPATH="$PWD/build/python${PYTHONPATH:+:$PYTHONPATH}" python3 -m pytest -q -p no:cacheprovider "$@" || status=1
if [ "${CI:-}" = "true" ]; then
  # The C++ tests and the broker's Python tests again, under ASan and UBSan.
  echo "== sanitizers (scripts/sanitize.sh --ci)"
  scripts/sanitize.sh --ci || status=1
fi
exit $status
