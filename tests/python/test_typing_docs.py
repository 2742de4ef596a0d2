"""The API reference in docs/api/ is what scripts/api_docs.py makes from the stubs and the
docstrings of the built modules: a changed signature or docstring without a regenerated
page fails here."""

import os
import pathlib
import re
import shutil
import subprocess
import sys

import tovrane_core

from conftest import ROOT

PACKAGE_PARENT = pathlib.Path(tovrane_core.__file__).resolve().parent.parent


def run(tmp_path, *args):
    env = dict(os.environ, PYTHONPATH=str(PACKAGE_PARENT))
    return subprocess.run([sys.executable, str(ROOT / "scripts" / "api_docs.py"), *args], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=120)


def test_reference_pages_are_up_to_date(tmp_path):
    result = run(tmp_path, "--check")
    assert result.returncode == 0, result.stdout + result.stderr


def test_every_module_has_a_page_with_its_classes():
    pages = {p.name: p.read_text(encoding="utf-8") for p in (ROOT / "docs" / "api").glob("*.md")}
    assert len(pages) == 8
    assert "#### `process_question_paper(pdf_path: Union[str, os.PathLike[str]], subject: str" in pages["tovrane.md"]
    assert "#### `async generateRubric_async(question: str, max_marks: float" in pages["model_broker.md"]
    assert "## class `Rubric`" in pages["datastructures.rubric.md"]


def test_check_notices_a_stale_page(tmp_path):
    docs = tmp_path / "api"
    shutil.copytree(ROOT / "docs" / "api", docs)
    page = docs / "datastructures.rubric.md"
    page.write_text(page.read_text(encoding="utf-8").replace("Sum of the marks of all criteria.", "Sum of something."),
                    encoding="utf-8")
    result = run(tmp_path, "--check", "--docs", str(docs))
    assert result.returncode == 1 and "datastructures.rubric.md" in result.stderr
    assert "+Sum of the marks of all criteria." in result.stdout


def test_every_environment_variable_read_is_documented():
    constants = (ROOT / "src" / "engine" / "constants.hpp").read_text(encoding="utf-8")
    named = set(re.findall(r'Variable = "([A-Z0-9_]+)"', constants))
    sources = [p.read_text(encoding="utf-8") for p in ROOT.glob("src/python/**/*.cpp")]
    sources += [p.read_text(encoding="utf-8") for p in ROOT.glob("python/tovrane_core/**/*.py")]
    named |= {name for text in sources for name in re.findall(r'"(TOVRANE_[A-Z0-9_]+)"', text)}
    assert {"OPENAI_API_KEY", "TOVRANE_EXTRACTOR", "TOVRANE_MATHPIX_BASE_URL"} <= named
    documented = (ROOT / "docs" / "endpoints.md").read_text(encoding="utf-8")
    assert sorted(name for name in named if f"`{name}`" not in documented) == []
