import os
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
# The in-tree build lays the package out under build/python (TOVRANE_BUILD_DIR
# names another build, such as the sanitizer one); prefer it over an installed
# copy unless the caller chose another with PYTHONPATH.
_build_dir = pathlib.Path(os.environ.get("TOVRANE_BUILD_DIR") or ROOT / "build")
_build = _build_dir / "python"
if _build.is_dir() and str(_build) not in sys.path and "PYTHONPATH" not in os.environ:
    sys.path.insert(0, str(_build))
sys.path.insert(0, str(ROOT / "tests"))
sys.path.insert(0, str(ROOT / "scripts"))

SAMPLES = ROOT / "samples"
_native = _build_dir / "tests_native"
if _native.is_dir():
    sys.path.insert(0, str(_native))
from support.fake_openai import fake_openai  # noqa: E402,F401  (fixture for every test here)
