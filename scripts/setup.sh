#!/usr/bin/env bash
# Installs what building and running need, only when it is missing; with --test also what
# the tests need (a headless browser for the HTML report).
# Debian packages through apt-get, Python packages through pip; non-interactive.
# --fuzz adds clang and its libFuzzer runtime, which only scripts/fuzz.sh needs.
set -euo pipefail
with_tests=false
[ "${1:-}" = "--test" ] && with_tests=true

deb_packages=(
  build-essential cmake ninja-build pkg-config
  libpoppler-cpp-dev poppler-utils libtesseract-dev libpng-dev tesseract-ocr-eng tesseract-ocr-hin
  libfmt-dev libgtest-dev
)
$with_tests && deb_packages+=(chromium)
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

# module name = pip requirement
py_packages=(
  "pybind11=pybind11>=3.0"
  "scikit_build_core=scikit-build-core>=0.10"
  "openai=openai>=1.40,<4"
  "tiktoken=tiktoken>=0.7,<1"
  "pydantic=pydantic>=2,<3"
  "dotenv=python-dotenv>=1.0,<2"
  "click=click>=8.1,<9"
  "rich=rich>=13,<16"
  "jinja2=jinja2>=3.1,<4"
  "pytest=pytest>=7"
  "pytest_asyncio=pytest-asyncio>=0.23"
  "respx=respx>=0.21"
)
# The browser comes from Debian; playwright drives it as it is (no browser download).
$with_tests && py_packages+=("playwright=playwright>=1.40" "hypothesis=hypothesis>=6.100")
need=()
for entry in "${py_packages[@]}"; do
  mod=${entry%%=*}
  python3 -c "import $mod" 2>/dev/null || need+=("${entry#*=}")
done
if ((${#need[@]})); then
  echo "setup: installing Python packages: ${need[*]}"
  python3 -m pip install -q --disable-pip-version-check "${need[@]}"
fi
