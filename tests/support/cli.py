"""Running the `tovrane` command line as a user would: a subprocess of the built package."""

from __future__ import annotations

import json
import os
import pathlib
import subprocess
import sys
from typing import Optional

import tovrane_core

PACKAGE_ROOT = pathlib.Path(tovrane_core.__file__).resolve().parent
SAMPLE_CLASS = PACKAGE_ROOT / "_data" / "sample_class"

# Variables of the developer's shell that would change what the command does.
_CLEARED = ("OPENAI_API_KEY", "OPENAI_BASE_URL", "TOVRANE_EXTRACTOR", "TOVRANE_OCR_TEXT_LAYER", "TOVRANE_OCR_LANG",
            "AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY", "GEMINI_API_KEY", "MATHPIX_APP_ID", "MATHPIX_APP_KEY")


def sample_manifest() -> dict:
    return json.loads((SAMPLE_CLASS / "manifest.json").read_text(encoding="utf-8"))


def sample_sheets(text_layer: Optional[bool] = None) -> list[pathlib.Path]:
    """The sample class's answersheets; only those with (or without) a text layer when asked."""
    return [SAMPLE_CLASS / sheet["file"] for sheet in sample_manifest()["sheets"]
            if text_layer is None or sheet["text_layer"] == text_layer]


def cli_env(base_url: Optional[str] = None, key: Optional[str] = "sk-test-cli", **extra: str) -> dict[str, str]:
    env = {k: v for k, v in os.environ.items() if k not in _CLEARED}
    env["PYTHONPATH"] = str(PACKAGE_ROOT.parent)
    if base_url:
        env["OPENAI_BASE_URL"] = base_url
    if key:
        env["OPENAI_API_KEY"] = key
    env.update(extra)
    return env


def run_cli(*args: object, cwd: pathlib.Path, env: dict[str, str], timeout: float = 120,
            ) -> subprocess.CompletedProcess:
    """`python3 -m tovrane_core ARGS` in `cwd` (never the checkout: its sources would shadow the build)."""
    return subprocess.run([sys.executable, "-m", "tovrane_core", *map(str, args)], cwd=cwd, env=env,
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=timeout)


def spawn_cli(*args: object, cwd: pathlib.Path, env: dict[str, str]) -> subprocess.Popen:
    return subprocess.Popen([sys.executable, "-m", "tovrane_core", *map(str, args)], cwd=cwd, env=env,
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

# The fake service has no quota: lift the default limit of 50 requests a minute, which a
# class of sheets would reach.
FAST = ("--rpm", "100000")
