import os
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
# `python -m pytest` run from the checkout puts the checkout first on sys.path; its
# tovrane_core holds no compiled modules and would shadow the built package.
sys.path[:] = [p for p in sys.path if pathlib.Path(p or ".").resolve() != ROOT]
# The in-tree build lays the package out under build/python; prefer it over an
# installed copy unless the caller chose another with PYTHONPATH.
_build = ROOT / "build" / "python"
if _build.is_dir() and str(_build) not in sys.path and "PYTHONPATH" not in os.environ:
    sys.path.insert(0, str(_build))
sys.path.insert(0, str(ROOT / "tests"))

SAMPLES = ROOT / "samples"
_native = ROOT / "build" / "tests_native"
if _native.is_dir():
    sys.path.insert(0, str(_native))
from support.fake_openai import fake_openai  # noqa: E402,F401  (fixture for every test here)
