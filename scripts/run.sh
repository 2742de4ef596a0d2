#!/usr/bin/env bash
# The main job: installs what is missing, builds, and reports the package.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh >/dev/null
# Run from build/ so the checkout's source tovrane_core (no compiled modules) is not imported.
cd build
PYTHONPATH="$PWD/python${PYTHONPATH:+:$PYTHONPATH}" python3 - "$@" <<'PY'
import importlib
import tovrane_core

print(f"tovrane_core {tovrane_core.__version__}")
for name in ("model_broker", "paper_pipeline", "sheet_pipeline", "tovrane",
             "datastructures.question_paper", "datastructures.rubric",
             "datastructures.answersheet", "ocr_extractor.extractor_client"):
    module = importlib.import_module(f"tovrane_core.{name}")
    public = sorted(n for n in vars(module) if not n.startswith("_"))
    print(f"  tovrane_core.{name}: {', '.join(public) or '(empty)'}")
PY
