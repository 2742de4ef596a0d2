#!/usr/bin/env bash
# Installs what building and running need, only when it is missing; with --test also what
# the tests need (a headless browser for the HTML report).
# Debian packages through apt-get, Python packages through pip; non-interactive.
# --fuzz adds clang and its libFuzzer runtime, which only scripts/fuzz.sh needs.
set -euo pipefail
cd "$(dirname "$0")/.."
with_tests=false
[ "${1:-}" = "--test" ] && with_tests=true

deb_packages=(
  build-essential cmake ninja-build pkg-config
  libpoppler-cpp-dev poppler-utils libtesseract-dev libpng-dev tesseract-ocr-eng tesseract-ocr-hin
  libfmt-dev libgtest-dev
)
# The browser checks the HTML report; the rest lets the tests regenerate the samples.
$with_tests && deb_packages+=(chromium qpdf img2pdf python3-gi python3-gi-cairo python3-cairo gir1.2-pango-1.0
  python3-pil fonts-noto-core fonts-dejavu-core fonts-dkg-handwriting fonts-rufscript fonts-breip fonts-sjfonts)
[ "${1:-}" = "--fuzz" ] && deb_packages+=(clang libclang-rt-dev)
missing=()
for p in "${deb_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing Debian packages: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# Python packages: the build's, the package's and, with --test, the test extra's, all read
# from pyproject.toml so that they are written once. pip installs only what is missing.
requirements=$(python3 - "$with_tests" <<'PY'
import sys, tomllib
project = tomllib.load(open("pyproject.toml", "rb"))
reqs = project["build-system"]["requires"] + project["project"]["dependencies"]
if sys.argv[1] == "true":
    reqs += project["project"]["optional-dependencies"]["test"]
print("\n".join(reqs))
PY
)
mapfile -t requirements <<<"$requirements"
if ! log=$(python3 -m pip install -q --disable-pip-version-check "${requirements[@]}" 2>&1); then
  echo "$log" >&2
  exit 1
fi
grep -v -e "^WARNING: Running pip as the 'root' user" -e "^WARNING: Location 'file:" <<<"$log" || true
