#!/usr/bin/env bash
# Configures and builds into build/; the importable package lands in build/python.
set -euo pipefail
cd "$(dirname "$0")/.."
werror=OFF
[ "${CI:-}" = "true" ] && werror=ON
generator=()
command -v ninja >/dev/null && [ ! -f build/Makefile ] && generator=(-G Ninja)
cmake -S . -B build "${generator[@]}" -DTOVRANE_WERROR=$werror -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc)"
