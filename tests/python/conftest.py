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

# ---- Secrets: every test runs with a recognisable API key that must never show ----------------
import time  # noqa: E402

import pytest  # noqa: E402

from support.secret_scan import SECRET_API_KEY, files_with_secret, report_leaks  # noqa: E402


@pytest.fixture(autouse=True)
def _secret_api_key(monkeypatch):
    """The key a test gets unless it sets its own."""
    monkeypatch.setenv("OPENAI_API_KEY", SECRET_API_KEY)


@pytest.hookimpl(wrapper=True)
def pytest_runtest_makereport(item, call):
    report = yield
    where = report_leaks(report)
    if where:
        report.outcome = "failed"
        report.longrepr = (f"{report.longreprtext}\n\nthe test API key shows in its {', '.join(where)} "
                           f"({report.when})")
    return report


_SOURCE_DIRS = {".git", "bench", "docs", "fuzz", "python", "samples", "scripts", "src", "tests"}


@pytest.fixture(scope="session", autouse=True)
def _no_secret_in_written_files(tmp_path_factory):
    """Fails the last teardown when a file written during the session holds the key: the
    tests' temporary folders, and anything new in the checkout."""
    started = time.time()
    basetemp = tmp_path_factory.getbasetemp()
    yield
    # In the checkout, what tests may write into: not the sources, which name the key.
    roots = [basetemp] + [p for p in ROOT.iterdir() if p.name not in _SOURCE_DIRS and not p.name.startswith("build")]
    leaked = list(files_with_secret(roots, since=started))
    assert not leaked, f"the test API key was written to: {', '.join(map(str, leaked))}"
