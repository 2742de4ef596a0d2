#!/usr/bin/env bash
# The main job: installs what is missing, builds, then grades the sample class that ships
# in the package with `tovrane demo` (offline: no key, no network) and names what it wrote.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh >/dev/null
PYTHONPATH="$PWD/build/python${PYTHONPATH:+:$PYTHONPATH}" python3 -m tovrane_core demo -o "$PWD/build/demo" "$@"
