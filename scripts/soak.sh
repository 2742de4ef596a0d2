#!/usr/bin/env bash
# The long fault soak: TOVRANE_SOAK_CALLS model calls (2,000 by default) through the
# broker's blocking, async and batch routes against the loopback fake service injecting
# faults at random (seed TOVRANE_SOAK_SEED); prints the calls, requests, faults, usage
# records checked and the memory before and after. Builds first.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh >/dev/null
export TOVRANE_SOAK_CALLS="${TOVRANE_SOAK_CALLS:-2000}"
export TOVRANE_SOAK_SEED="${TOVRANE_SOAK_SEED:-18}"
PYTHONPATH="$PWD/build/python${PYTHONPATH:+:$PYTHONPATH}" exec python3 -W error::ResourceWarning -m pytest -q -s \
  -p no:cacheprovider "tests/python/test_model_broker_soak.py::test_long_soak_keeps_memory_stable" "$@"
