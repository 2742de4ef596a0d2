"""The stubs agree with the compiled modules (mypy's stubtest), and the examples type-check
against them."""

import os
import pathlib
import re
import subprocess
import sys

import pytest

import tovrane_core

from conftest import ROOT

pytest.importorskip("mypy")

PACKAGE = pathlib.Path(tovrane_core.__file__).resolve().parent
MODULES = [
    "tovrane_core.tovrane",
    "tovrane_core.model_broker",
    "tovrane_core.paper_pipeline",
    "tovrane_core.sheet_pipeline",
    "tovrane_core.datastructures.question_paper",
    "tovrane_core.datastructures.rubric",
    "tovrane_core.datastructures.answersheet",
    "tovrane_core.ocr_extractor.extractor_client",
]


def run(args, tmp_path):
    env = dict(os.environ, PYTHONPATH=str(PACKAGE.parent), MYPY_CACHE_DIR=str(tmp_path / "mypy-cache"))
    # Run from an empty folder, so the checkout's package sources cannot stand in for the build.
    return subprocess.run([sys.executable, "-m", *args], cwd=tmp_path, env=env, capture_output=True, text=True,
                          timeout=600)


def test_the_package_ships_its_stubs_and_marker():
    assert (PACKAGE / "py.typed").is_file()
    for name in MODULES:
        stub = PACKAGE.joinpath(*name.split(".")[1:]).with_suffix(".pyi")
        assert stub.is_file(), stub


def test_stubtest_is_clean_for_the_compiled_modules(tmp_path):
    result = run(["mypy.stubtest", *MODULES], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_stubtest_is_clean_for_the_whole_package(tmp_path):
    # The Python modules too (rehearsal, the untyped command line), under the project's mypy settings.
    result = run(["mypy.stubtest", "--mypy-config-file", str(ROOT / "pyproject.toml"), "tovrane_core"], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    # Every module of the package was walked, not just the top one.
    checked = re.search(r"no issues found in (\d+) modules", result.stdout)
    assert checked and int(checked.group(1)) >= 20, result.stdout


def test_examples_type_check_against_the_stubs(tmp_path):
    examples = sorted(str(p) for p in (ROOT / "examples").glob("*.py"))
    assert len(examples) >= 4
    result = run(["mypy", "--strict", "--no-incremental", *examples], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_stubtest_notices_a_stub_that_disagrees(tmp_path):
    # A stub with a misnamed parameter must fail, or a clean run above proves nothing.
    wrong = tmp_path / "stubs" / "tovrane_core"
    (wrong / "datastructures").mkdir(parents=True)
    for name in ("__init__.pyi", "py.typed"):
        (wrong / name).write_text((PACKAGE / name).read_text())
    (wrong / "datastructures" / "__init__.pyi").write_text("")
    stub = (PACKAGE / "datastructures" / "rubric.pyi").read_text()
    (wrong / "datastructures" / "rubric.pyi").write_text(stub.replace("def set_fulfill(self, flag", "def set_fulfill(self, value"))
    env_path = f"{tmp_path / 'stubs'}"
    env = dict(os.environ, PYTHONPATH=str(PACKAGE.parent), MYPYPATH=env_path,
               MYPY_CACHE_DIR=str(tmp_path / "mypy-cache"))
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "tovrane_core.datastructures.rubric"],
                            cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600)
    assert result.returncode != 0 and "set_fulfill" in result.stdout


def test_mypy_rejects_misuse_through_the_stubs(tmp_path):
    # Without the stubs every name would be Any and nothing below would be flagged.
    (tmp_path / "misuse.py").write_text(
        "from tovrane_core.tovrane import Tovrane\n"
        "from tovrane_core.model_broker import ModelBroker\n"
        "Tovrane().process_question_paper(1, 'Science', 'English', 'Class 8')\n"
        "async def f(broker: ModelBroker) -> None:\n"
        "    marks: int = await broker.generateRubric_async('q', 1, 'Class 8', 'Science')\n"
        "Tovrane().save_answersheet(None, 'out.json', fmt='json')\n")
    result = run(["mypy", "--strict", "--no-incremental", str(tmp_path / "misuse.py")], tmp_path)
    assert result.returncode == 1
    assert 'expected "str | PathLike[str]"' in result.stdout
    assert 'expression has type "Rubric", variable has type "int"' in result.stdout
    assert 'Unexpected keyword argument "fmt"' in result.stdout
